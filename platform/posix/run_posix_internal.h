// What the POSIX exchange files, the program's start, its environment and
// the wait share; nothing outside platform/posix/ includes this.
#pragma once

#include <cstdint>

#include "platform/platform.h"

namespace platform::internal {

// ---- The files CreateUniqueFile made (exchange_files_posix.cpp) ----------

// A file CreateUniqueFile made, with the descriptor it was made with: in a
// shared folder another user may put something else in place of such a
// file, so the text is written, and a redirected program started, through
// this descriptor rather than by name.
struct MadeFile {
    char Path[kMaxPath + 1];
    int Fd; // -1: a free slot
};

// The made file at `path`, or null when it was not made or is let go.
MadeFile *FindMade(const char *path);
// Every made file but `kept` (null: all) is reached by name from now on.
void ForgetMadeFilesBut(const MadeFile *kept);
// Closes a descriptor (-1: none) without changing errno, which may tell why
// a call failed.
void CloseKeepingError(int fd);

// ---- The program's start (process_start_posix.cpp) -----------------------

// Whether the last program started leads a process group of its own (a
// redirected start), so that ending a run ends the whole group. Runs never
// overlap, so one flag is enough.
extern bool g_StartedInGroup;

// ---- The program's environment (environment_posix.cpp) -------------------

// The value the copy the Environment calls made gives `name`, or null when
// it has none; it stays valid until the next Environment call.
const char *CopiedValueOf(const char *name);
// The copy as posix_spawn's envp: its entries, then a null pointer.
char *const *CopiedEnvironment();

} // namespace platform::internal
