// The command-line template and its placeholders.
#pragma once

#include "plugin/host_contract.h"

// Sets CommandBuffer to the CommandLine setting with "%f", "%u", "%p", "%d",
// "%o" and "%N" replaced, in this order, each at its first occurrence.
// Returns false when a replacement makes the command line longer than the
// 260 characters of CommandBuffer; the buffer then holds an empty text.
bool ExpandCommandLine(const char *tempFilePath, const HostRecord *hostRecord);

// Replaces the first occurrence of the two-character `placeholder` in
// CommandBuffer by `value` (searched from the start of the whole current
// buffer). Nothing happens when there is none. Returns false, and leaves
// CommandBuffer unchanged, when the result would not fit into it.
bool ReplacePlaceholder(const char *placeholder, const char *value);
