// The module's exported entry points. The host calls OnInstall first, then
// any number of OnCall and OnSettings, one at a time, on its own thread.
#pragma once

#include <cstdint>

#include "plugin/host_contract.h"

#if defined(_WIN32)
#define EXTTOOL_EXPORT
#else
#define EXTTOOL_EXPORT __attribute__((visibility("default")))
#endif

extern "C" {

#if defined(_WIN32)
// Stores the module instance, whatever the reason, and reports success.
EXTTOOL_EXPORT int32_t EXTTOOL_WINAPI DllMain(void *instance, uint32_t reason, void *reserved);
#endif

// Loads the settings, remembers the host record, reports PluginKind 5 and
// the MenuItem caption. Always returns 0.
EXTTOOL_EXPORT int32_t EXTTOOL_WINAPI OnInstall(InstallRecord *installRecord, const HostRecord *hostRecord);

// Runs the external program once on the host's text.
EXTTOOL_EXPORT void EXTTOOL_WINAPI OnCall();

// Shows the settings dialog; returns 1 after OK, 2 after Cancel, or the
// platform's failure value.
EXTTOOL_EXPORT int32_t EXTTOOL_WINAPI OnSettings();

} // extern "C"
