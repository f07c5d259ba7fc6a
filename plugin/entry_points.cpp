#include "plugin/entry_points.h"

#include <cstring>

#include "plugin/plugin_state.h"
#include "run/run_tool.h"
#include "settings/settings_dialog.h"

#if defined(_WIN32)
int32_t EXTTOOL_WINAPI DllMain(void *instance, uint32_t /*reason*/, void * /*reserved*/) {
    g_State.ModuleInstance = instance;
    return 1;
}
#else
// Shared objects have no DllMain: an address inside this module stands for
// the module instance and leads back to its file.
__attribute__((constructor)) static void RecordModuleInstance() {
    g_State.ModuleInstance = platform::CurrentModule();
}
#endif

int32_t EXTTOOL_WINAPI OnInstall(InstallRecord *installRecord, const HostRecord *hostRecord) {
    if (!installRecord || !hostRecord) return 0;
    LoadSettings(g_State.ModuleInstance, &g_State.Settings, g_State.SettingsFilePath);
    g_State.Host = hostRecord;
    installRecord->PluginKind = kPluginKind;
    // The caption and its terminator only; the host's bytes after it stay.
    const size_t length = strnlen(g_State.Settings.MenuItem, kMenuItemChars);
    memcpy(installRecord->Caption, g_State.Settings.MenuItem, length);
    installRecord->Caption[length] = '\0';
    return 0;
}

// One call at a time: a call that arrives while another is in progress (a
// run with its message boxes, or the settings dialog) returns at once; for
// OnSettings as after Cancel.
void EXTTOOL_WINAPI OnCall() {
    if (!g_State.Host || g_State.CallInProgress) return;
    g_State.CallInProgress = true;
    RunTool();
    g_State.CallInProgress = false;
}

int32_t EXTTOOL_WINAPI OnSettings() {
    if (!g_State.Host) return 0;
    if (g_State.CallInProgress) return platform::kCommandCancel;
    g_State.CallInProgress = true;
    const intptr_t result = OpenSettingsDialog();
    g_State.CallInProgress = false;
    return static_cast<int32_t>(result);
}
