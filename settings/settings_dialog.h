// What the settings dialog does to ToolSettings and the settings file,
// apart from how the platform draws it: the real dialog on Windows and the
// terminal form on POSIX both call these two functions.
#pragma once

#include <cstdint>

#include "platform/platform.h"
#include "settings/settings_file.h"

// The Environment field (kItemEnvironment) shows the [Environment] lines
// joined by "\r\n". Each line takes at least two bytes of the section, so
// the joined text is at most half as long again.
constexpr uint32_t kEnvironmentTextChars = kEnvironmentSectionBytes + kEnvironmentSectionBytes / 2;

// Shows the dialog over the host's window; returns its end code.
intptr_t OpenSettingsDialog();

// Initialisation: reloads the settings from the file (memory and path are
// refreshed whatever closes the dialog later) and fills the controls.
void SettingsDialogInit(platform::DialogHandle dialog);

// A command whose whole first parameter is `command`. OK (1) reads the
// controls into ToolSettings (the Environment field split at its line
// breaks, each line without the blanks at its ends, empty lines left out,
// and the lines from the first that does not fit left out too), saves them, shows "Could not save settings"
// over the dialog when a write failed, and ends the dialog with 1; Cancel
// (2) ends it with 2. Returns 1 for those two and 0 for anything else.
intptr_t SettingsDialogCommand(platform::DialogHandle dialog, uintptr_t command);
