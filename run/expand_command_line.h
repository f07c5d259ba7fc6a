// The command-line template and its placeholders.
#pragma once

#include <cstddef>

#include "plugin/host_contract.h"

// Sets CommandBuffer to the CommandLine setting with "%f", "%u", "%p", "%d",
// "%o" and "%N" replaced, in this order, each at its first occurrence.
// Returns false when the expanded command line is longer than the 260
// characters of CommandBuffer; the buffer then holds an empty text.
bool ExpandCommandLine(const char *tempFilePath, const HostRecord *hostRecord);

// Replaces the first occurrence of the two-character `placeholder` in `text`
// (searched from the start of the whole current text) by `value`. Nothing
// happens when there is none. Returns false, and leaves `text` unchanged,
// when the result would exceed `capacity` characters.
bool ReplacePlaceholder(char *text, size_t capacity, const char *placeholder, const char *value);
