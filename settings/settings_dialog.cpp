#include "settings/settings_dialog.h"

#include <cstdio>

#include "plugin/plugin_state.h"

namespace {

const char kErrorTitle[] = "Error";
const char kSaveFailedFormat[] = "Could not save settings\n'%s'\nError code=%lu";
// The format's own characters, the longest settings path and a 32-bit code.
constexpr size_t kSaveFailedMessageSize = sizeof kSaveFailedFormat + kSettingsPathChars + 10;

// Writes the settings; when a write failed, says so in a box owned by the
// dialog, so that the user knows the values will not be there next time.
void SaveOrReport(platform::DialogHandle dialog) {
    uint32_t code = 0;
    if (SaveSettings(&g_State.Settings, g_State.SettingsFilePath, &code)) return;
    char message[kSaveFailedMessageSize];
    snprintf(message, sizeof message, kSaveFailedFormat, g_State.SettingsFilePath, static_cast<unsigned long>(code));
    platform::ShowErrorBox(dialog, message, kErrorTitle);
}

} // namespace

intptr_t OpenSettingsDialog() {
    return platform::ShowSettingsDialog(g_State.ModuleInstance, g_State.Host->OwnerWindow);
}

void SettingsDialogInit(platform::DialogHandle dialog) {
    ToolSettings &settings = g_State.Settings;
    LoadSettings(g_State.ModuleInstance, &settings, g_State.SettingsFilePath);
    platform::DialogSetText(dialog, platform::kItemWorkingDirectory, settings.WorkingDirectory);
    platform::DialogSetText(dialog, platform::kItemCommandLine, settings.CommandLine);
    platform::DialogSetText(dialog, platform::kItemMenuItem, settings.MenuItem);
    char timeout[kTimeoutTextSize];
    TimeoutText(settings.Timeout, timeout);
    platform::DialogSetText(dialog, platform::kItemTimeout, timeout);
    // A hand-edited switch value other than 0 or 1 is on: shown checked, so
    // OK without touching the box keeps it on.
    platform::DialogSetCheck(dialog, platform::kItemReadOnly, settings.ReadOnly != 0);
    platform::DialogSetCheck(dialog, platform::kItemDeleteTemp, settings.DeleteTemp != 0);
    platform::DialogSetCheck(dialog, platform::kItemFilter, settings.Filter != 0);
    // The choices in TextEncoding's order, so that a choice's index is its value.
    for (int encoding = 0; encoding <= static_cast<int>(TextEncoding::Oem); ++encoding)
        platform::DialogAddChoice(dialog, platform::kItemEncoding, EncodingText(static_cast<TextEncoding>(encoding)));
    platform::DialogSetChoice(dialog, platform::kItemEncoding, static_cast<int>(settings.Encoding));
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
        settings.Filter = platform::DialogGetCheck(dialog, platform::kItemFilter) ? 1 : 0;
        // The field takes digits only; an emptied field is no limit.
        char timeout[kTimeoutChars + 1];
        platform::DialogGetText(dialog, platform::kItemTimeout, timeout, sizeof timeout);
        settings.Timeout = TimeoutValue(timeout);
        const int encoding = platform::DialogGetChoice(dialog, platform::kItemEncoding);
        settings.Encoding = encoding > 0 && encoding <= static_cast<int>(TextEncoding::Oem)
                                ? static_cast<TextEncoding>(encoding)
                                : TextEncoding::Ansi;
        SaveOrReport(dialog);
        platform::DialogEnd(dialog, platform::kCommandOk);
        return 1;
    }
    if (command == platform::kCommandCancel) {
        platform::DialogEnd(dialog, platform::kCommandCancel);
        return 1;
    }
    return 0;
}
