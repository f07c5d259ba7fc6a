#include "settings/settings_dialog.h"

#include <cstdio>
#include <cstring>

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

// The Environment field's text, in and out of the dialog.
char g_EnvironmentText[kEnvironmentTextChars + 1];

// The lines of `lines` (`size` bytes, never read beyond) joined by "\r\n",
// as a multi-line edit shows them, into g_EnvironmentText.
void JoinEnvironmentLines(const char *lines, uint32_t size) {
    uint32_t at = 0;
    for (uint32_t from = 0; from < size && lines[from] != '\0';) {
        const uint32_t length = static_cast<uint32_t>(strnlen(lines + from, size - from));
        const uint32_t breakLength = at > 0 ? 2 : 0;
        if (breakLength + length > kEnvironmentTextChars - at) break;
        memcpy(g_EnvironmentText + at, "\r\n", breakLength);
        memcpy(g_EnvironmentText + at + breakLength, lines + from, length);
        at += breakLength + length;
        from += length + 1;
    }
    g_EnvironmentText[at] = '\0';
}

// g_EnvironmentText back into `lines` (`size` bytes): split at "\r\n", "\n"
// or a lone "\r" (which the profile file would also take for a line end),
// each line without its blanks at both ends, empty lines left out. Lines
// stop at the first that does not fit whole, and a last line that the
// field's buffer may have cut (`cut`) is left out, so no part of a line is
// ever kept.
void SplitEnvironmentText(bool cut, char *lines, uint32_t size) {
    uint32_t at = 0;
    for (const char *line = g_EnvironmentText; *line != '\0';) {
        const char *end = line + strcspn(line, "\r\n");
        const char *next = end;
        if (*next == '\r') ++next;
        if (*next == '\n') ++next;
        if (cut && *end == '\0') break;
        const char *first = line;
        while (first < end && platform::IsProfileBlank(*first)) ++first;
        while (end > first && platform::IsProfileBlank(end[-1])) --end;
        const uint32_t length = static_cast<uint32_t>(end - first);
        if (length > 0) {
            // The line, its zero byte and the final zero byte.
            if (length + 2 > size - at) break;
            memcpy(lines + at, first, length);
            at += length;
            lines[at++] = '\0';
        }
        line = next;
    }
    lines[at] = '\0';
    if (at == 0) lines[1] = '\0';
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
    platform::DialogSetText(dialog, platform::kItemStartDirectory, settings.StartDirectory);
    platform::DialogSetText(dialog, platform::kItemSuccessCodes, settings.SuccessCodes);
    platform::DialogSetText(dialog, platform::kItemExchangeExtension, settings.ExchangeExtension);
    JoinEnvironmentLines(settings.Environment, sizeof settings.Environment);
    platform::DialogSetText(dialog, platform::kItemEnvironment, g_EnvironmentText);
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
        // SuccessCodes and ExchangeExtension keep one character more than
        // they may hold, so the run refuses a longer value rather than
        // taking the start of it.
        platform::DialogGetText(dialog, platform::kItemStartDirectory, settings.StartDirectory,
                                sizeof settings.StartDirectory);
        platform::DialogGetText(dialog, platform::kItemSuccessCodes, settings.SuccessCodes,
                                sizeof settings.SuccessCodes);
        platform::DialogGetText(dialog, platform::kItemExchangeExtension, settings.ExchangeExtension,
                                sizeof settings.ExchangeExtension);
        platform::DialogGetText(dialog, platform::kItemEnvironment, g_EnvironmentText, sizeof g_EnvironmentText);
        const bool filled = strlen(g_EnvironmentText) == kEnvironmentTextChars;
        SplitEnvironmentText(filled, settings.Environment, sizeof settings.Environment);
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
