#include "settings/settings_dialog.h"

#include "plugin/plugin_state.h"

intptr_t OpenSettingsDialog() {
    return platform::ShowSettingsDialog(g_State.ModuleInstance, g_State.Host->OwnerWindow);
}

void SettingsDialogInit(platform::DialogHandle dialog) {
    ToolSettings &settings = g_State.Settings;
    LoadSettings(g_State.ModuleInstance, &settings, g_State.SettingsFilePath);
    platform::DialogSetText(dialog, platform::kItemWorkingDirectory, settings.WorkingDirectory);
    platform::DialogSetText(dialog, platform::kItemCommandLine, settings.CommandLine);
    platform::DialogSetText(dialog, platform::kItemMenuItem, settings.MenuItem);
    // A hand-edited switch value other than 0 or 1 is on: shown checked, so
    // OK without touching the box keeps it on.
    platform::DialogSetCheck(dialog, platform::kItemReadOnly, settings.ReadOnly != 0);
    platform::DialogSetCheck(dialog, platform::kItemDeleteTemp, settings.DeleteTemp != 0);
}

intptr_t SettingsDialogCommand(platform::DialogHandle dialog, uintptr_t command) {
    if (command == platform::kCommandOk) {
        ToolSettings &settings = g_State.Settings;
        platform::DialogGetText(dialog, platform::kItemWorkingDirectory, settings.WorkingDirectory,
                                sizeof settings.WorkingDirectory);
        platform::DialogGetText(dialog, platform::kItemCommandLine, settings.CommandLine, sizeof settings.CommandLine);
        platform::DialogGetText(dialog, platform::kItemMenuItem, settings.MenuItem, sizeof settings.MenuItem);
        settings.ReadOnly = platform::DialogGetCheck(dialog, platform::kItemReadOnly) ? 1 : 0;
        settings.DeleteTemp = platform::DialogGetCheck(dialog, platform::kItemDeleteTemp) ? 1 : 0;
        SaveSettings(&settings, g_State.SettingsFilePath);
        platform::DialogEnd(dialog, platform::kCommandOk);
        return 1;
    }
    if (command == platform::kCommandCancel) {
        platform::DialogEnd(dialog, platform::kCommandCancel);
        return 1;
    }
    return 0;
}
