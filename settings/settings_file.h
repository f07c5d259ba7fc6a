// The settings file: exttool.ini beside the module.
//
//   [Settings]               [Path]
//   ReadOnly=0|1             WorkingDirectory=<directory of the exchange file>
//   DeleteTemp=0|1           CommandLine=<command-line template>
//   MenuItem=<caption>
//   Filter=0|1               (only once it has been turned on)
//   Timeout=<seconds>        (only once it has been set; 0: no time limit)
//   Encoding=ANSI|UTF-8|OEM  (only once it has been set to other than ANSI)
//   SuccessCodes=<exit codes> (only once it has been set, as each below)
//   [Path] StartDirectory=<template of the program's current directory>
//   [Path] ExchangeExtension=<extension of the exchange file>
//   [Environment] NAME=value lines, applied in order to the program's copy
//
// Reading goes through the platform's profile service, so a missing file,
// section or key gives its default and a long value is cut to its capacity
// (SuccessCodes and ExchangeExtension to one character more than they may
// hold, so that the run refuses them; [Environment] to the lines that fit
// whole into kEnvironmentSectionBytes).
#pragma once

#include <cstdint>

#include "platform/platform.h"

// Capacities in characters; every buffer has one more byte for the terminator.
constexpr int kPathChars = 259;         // WorkingDirectory and CommandLine
constexpr int kMenuItemChars = 30;      // the host's Caption has room for 31 bytes
constexpr int kModulePathChars = 260;
// A module path whose extension becomes "ini" grows by at most 3 characters;
// one without any "." grows by 4 (".ini" appended).
constexpr int kSettingsPathChars = kModulePathChars + 4;

// The character set the program reads and writes (Settings/Encoding): ANSI,
// the host's own, passes the bytes unchanged; UTF-8 and OEM convert.
enum class TextEncoding : int32_t { Ansi, Utf8, Oem };

// Run options. Each is kept one character longer than it may be, so that a
// longer value is seen and refused rather than cut to a valid one.
constexpr int kSuccessCodesChars = 63;
constexpr int kExtensionChars = 16; // at most 15 after an optional leading dot
// The [Environment] section as the profile service gives it: lines, each
// zero-terminated, and one more zero byte after the last.
constexpr int kEnvironmentLines = 32;
constexpr uint32_t kEnvironmentSectionBytes = 32768;

struct ToolSettings {
    int32_t ReadOnly;   // 0 off, anything else on: the result is not read back
    int32_t DeleteTemp; // 0 off, anything else on: the exchange file is deleted
    char WorkingDirectory[kPathChars + 1]; // empty: the system temporary directory
    char CommandLine[kPathChars + 1];
    char MenuItem[kMenuItemChars + 1];
    int32_t Filter; // 0 off, anything else on: the text goes through standard input and output
    bool FilterInFile; // the file held Filter when it was read, so it is saved also when off
    uint32_t Timeout;   // the time limit of a run in whole seconds; 0: none
    bool TimeoutInFile; // the file held Timeout when it was read, so it is saved also when 0
    TextEncoding Encoding;
    bool EncodingInFile; // the file held Encoding when it was read, so it is saved also as ANSI
    // Run options; empty: as without them. Each *InFile says the file held
    // the key (the section for Environment), so it is saved also when empty.
    char SuccessCodes[kSuccessCodesChars + 2];
    bool SuccessCodesInFile;
    char StartDirectory[kPathChars + 1]; // a template with %u %p %d %o %N; empty: the host's directory
    bool StartDirectoryInFile;
    char ExchangeExtension[kExtensionChars + 2];
    bool ExchangeExtensionInFile;
    char Environment[kEnvironmentSectionBytes]; // lines, each zero-terminated, an empty one last
    bool EnvironmentInFile;
};

// Timeout keeps its first 9 characters, so its value stays below 10^9 s.
constexpr uint32_t kTimeoutChars = 9;

// The time limit a text gives: leading blanks skipped, then decimal digits
// up to the first non-digit, at most kTimeoutChars of them; a text that does
// not begin with a digit (empty, "-5", "none") gives 0, no limit.
uint32_t TimeoutValue(const char *text);
// The time limit as SaveSettings writes it and the dialog shows it, in
// decimal, into `buffer` of kTimeoutTextSize bytes.
constexpr uint32_t kTimeoutTextSize = 11; // any 32-bit value and the terminator
void TimeoutText(uint32_t seconds, char *buffer);

// The settings file's path for a module path: everything after the last "."
// of the whole path becomes "ini"; a path without any "." gets ".ini"
// appended, so the module file itself is never taken for the settings file.
// `settingsPath` has room for kSettingsPathChars + 1 bytes. Returns false
// (and an empty path) when the module path is empty or too long.
bool SettingsPathForModule(const char *modulePath, char *settingsPath);

// The integer value of a switch text as the profile service gives it:
// leading white space, an optional sign, decimal digits up to the first
// non-digit; no digits gives 0.
int32_t SwitchValue(const char *text);

// The Encoding value as the file holds it: "ANSI", "UTF-8" or "OEM", without
// regard to case; anything else, the empty text included, is ANSI.
TextEncoding EncodingValue(const char *text);
// The text SaveSettings writes for an encoding.
const char *EncodingText(TextEncoding encoding);

// Computes the settings path of the module that `moduleInstance` identifies
// into `settingsFilePath` and reads all settings from that file.
void LoadSettings(platform::ModuleHandle moduleInstance, ToolSettings *settings, char *settingsFilePath);

// Reads all settings from the file at `settingsFilePath`.
void ReadSettings(ToolSettings *settings, const char *settingsFilePath);

// Writes all five keys, every time, in the order ReadOnly, DeleteTemp,
// WorkingDirectory, CommandLine, MenuItem, also after a write has failed;
// then Filter, Timeout and Encoding, each only when it is not its default
// (0, 0, ANSI) or the file held the key when it was read (FilterInFile,
// TimeoutInFile, EncodingInFile); then SuccessCodes, StartDirectory and
// ExchangeExtension, each only when it holds more than blanks or the file
// held it; last the [Environment] section, all of its lines replaced, only
// when Environment has lines or the file's section gave any
// (EnvironmentInFile). So the file of a user who never sets them keeps
// exactly its keys.
// Switches are written as "1" or "0"; texts without the blanks at their ends
// (platform::IsProfileBlank), which reading would drop. Returns false when a
// write failed, with the system's error
// code of the first failed write in `firstError`. An empty path writes
// nothing and is no failure: the module then has no settings file.
bool SaveSettings(const ToolSettings *settings, const char *settingsFilePath, uint32_t *firstError);
