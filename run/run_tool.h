// The run cycle behind OnCall: the host's text goes out through an exchange
// file, the external program is started and waited for, and the file's
// content comes back to the host.
#pragma once

#include <cstdint>

// One run on the settings held in memory and the remembered host record.
void RunTool();

// Empties `buffer` (of `size` bytes, terminator included), takes the
// platform's last error code and copies at most size - 1 characters of the
// system's message text for it into `buffer`. Returns the code.
int32_t FormatSystemError(char *buffer, uint32_t size);
