// What the Windows files of the platform share among themselves; only
// platform/win32/ includes this.
#pragma once

#include <windows.h>

#include <cstdint>

namespace platform {

// process_start_win32.cpp: ends the started program's job, or the program
// alone where it has none.
void TerminateStarted(HANDLE process);
// Closes `process` and the thread and job handles kept with it. Closing the
// job ends nothing: what a program that ended by itself started runs on.
void ReleaseStarted(HANDLE process);

// environment_win32.cpp: the copy the Environment calls made, a block of
// "NAME=value" entries, each ended by a zero, and one more zero after the
// last, for CreateProcessA with CREATE_UNICODE_ENVIRONMENT.
wchar_t *EnvironmentBlock();
// The value the copy gives the variable `name` (compared without regard to
// case) and its length in `length`; null when it has none.
const wchar_t *EnvironmentValue(const wchar_t *name, uint32_t *length);

} // namespace platform
