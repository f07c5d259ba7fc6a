// The command-line template and its placeholders.
#pragma once

#include <cstddef>
#include <cstdint>

#include "plugin/host_contract.h"

// The five host texts in the order they are replaced: "%u", "%p", "%d", "%o"
// and "%N".
constexpr int kHostTexts = 5;
// "%u" and so on for host text `index` (0 to 4).
const char *HostPlaceholder(int index);
// Host text `index` as it was copied for the last expansion (at most 63
// characters, terminated).
const char *ExpandedHostText(int index);

// What the last expansion did with the host texts, for the checks that
// refuse a run. Bit i of each mask stands for host text i.
struct InsertedTexts {
    uint8_t Used;         // its placeholder was replaced, in the template or in inserted text
    uint8_t QuoteInQuotes; // a character of it inserted inside double quotes is itself a double quote
};

// Sets CommandBuffer to the CommandLine setting with "%f", "%u", "%p", "%d",
// "%o" and "%N" replaced, in this order, each at its first occurrence.
// Inside double quotes (by the Windows argv rules) the backslashes of a host
// text that stand directly before a closing quote are doubled, so that the
// program receives them as they are instead of a quotation mark.
// Returns false when the expanded command line is longer than the 260
// characters of CommandBuffer; the buffer then holds an empty text.
// `inserted`, when given, receives what the expansion did with the host texts.
bool ExpandCommandLine(const char *tempFilePath, const HostRecord *hostRecord, InsertedTexts *inserted = nullptr);

// Replaces the first occurrence of the two-character `placeholder` in `text`
// (searched from the start of the whole current text) by `value`. Nothing
// happens when there is none. Returns false, and leaves `text` unchanged,
// when the result would exceed `capacity` characters.
bool ReplacePlaceholder(char *text, size_t capacity, const char *placeholder, const char *value);
