// The command-line template and its placeholders.
#pragma once

#include "plugin/host_contract.h"

// Sets CommandBuffer to the CommandLine setting with "%f", "%u", "%p", "%d",
// "%o" and "%N" replaced, in this order, each at its first occurrence.
// Returns false when the result does not fit into CommandBuffer; the
// buffer then holds an empty text.
bool ExpandCommandLine(const char *tempFilePath, const HostRecord *hostRecord);
