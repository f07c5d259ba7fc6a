// The program's environment and start directory (not yet built: every call
// refuses, so that a run that needs them says so rather than runs without).
#include "platform/platform.h"

namespace platform {

bool DirectoryUsable(const char *) { return false; }
EnvironmentStatus EnvironmentCopyHost() { return EnvironmentStatus::Full; }
EnvironmentStatus EnvironmentAppendText(const char *, uint32_t) { return EnvironmentStatus::Full; }
EnvironmentStatus EnvironmentAppendValueOf(const char *, uint32_t) { return EnvironmentStatus::Unknown; }
EnvironmentStatus EnvironmentPut(const char *, uint32_t) { return EnvironmentStatus::Full; }

} // namespace platform
