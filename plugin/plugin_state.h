// The module-wide state: one record, zero at load, alive until unload.
// Every entry point works on it; nothing in it is freed or reset.
#pragma once

#include "platform/platform.h"
#include "plugin/host_contract.h"
#include "run/text_encoding.h"
#include "settings/settings_file.h"

constexpr int kCommandChars = 260;

struct PluginState {
    platform::ModuleHandle ModuleInstance; // set at load
    const HostRecord *Host;                // null until OnInstall; read afresh at every use
    ToolSettings Settings;
    char SettingsFilePath[kSettingsPathChars + 1];
    char CommandBuffer[kCommandChars + 1];         // the expanded command line
    char TempFilePath[platform::kMaxPath + 2];     // 260 characters; the platform fills at most 259
    char TextBuffer[kTextCapacity + 1];            // the last byte is always zero
    // The text in the program's character set, going out and coming back,
    // when Encoding is not ANSI.
    char EncodedBuffer[kEncodedCapacity + 1];
    // Set while OnCall or OnSettings is in progress. The "Execute Error!" box
    // has no owner, so the host stays usable while it shows and its user can
    // call the plug-in again; such a call is refused.
    bool CallInProgress;
};

extern PluginState g_State;
