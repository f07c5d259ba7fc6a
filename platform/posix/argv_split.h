// One Windows command-line string into program and arguments, so that a
// command-line template means the same on POSIX as on Windows.
#pragma once

#include <cstddef>

namespace platform {

// Splits `commandLine` by the rules stated in argv_split.cpp. The items are
// stored one after another, each with its terminator, in `storage` (of
// `storageSize` bytes); `argv` (room for `maxItems` pointers) receives their
// addresses followed by a null pointer. Returns the number of items, or -1
// when they do not fit. A storage of twice the command line's length plus
// two bytes, and (length + 3) / 2 + 1 pointers, always suffice.
int SplitCommandLine(const char *commandLine, char *storage, size_t storageSize, char **argv, int maxItems);

} // namespace platform
