#include "settings/settings_file.h"

#include <cstdio>
#include <cstring>

namespace {

constexpr char kSettingsSection[] = "Settings";
constexpr char kPathSection[] = "Path";
constexpr char kEnvironmentSection[] = "Environment";
constexpr char kDefaultMenuItem[] = "External program";
// A switch keeps only its first two characters, so "100" reads as 10.
constexpr uint32_t kSwitchChars = 2;
// Enough of an Encoding value to tell "UTF-8" from a longer value.
constexpr uint32_t kEncodingChars = 8;
const char *const kEncodingTexts[] = {"ANSI", "UTF-8", "OEM"}; // in TextEncoding's order

// Reads one key into `buffer` (`size` bytes). The service is asked for two
// characters more than are kept, so that a value saved inside an extra pair
// of quotation marks (see WriteText) is not cut before they are dropped.
// Without a settings path every key takes its default: an empty file name
// would make the profile service look in the system's own directory.
void ReadText(const char *section, const char *key, const char *defaultValue, char *buffer, uint32_t size,
              const char *path) {
    char value[kPathChars + 3];
    const char *text = defaultValue;
    if (path[0] != '\0') {
        platform::ProfileReadString(section, key, defaultValue, value, size + 2, path);
        text = value;
    }
    const size_t length = strnlen(text, size - 1);
    memcpy(buffer, text, length);
    buffer[length] = '\0';
}

int32_t ReadSwitch(const char *key, const char *path) {
    char text[kSwitchChars + 1];
    ReadText(kSettingsSection, key, "0", text, sizeof text, path);
    return SwitchValue(text);
}

// Reads an optional key; returns false when the file does not hold it. A
// line cannot hold a line break, so a value read as one is the default
// given for a missing key.
bool ReadOptionalKey(const char *section, const char *key, char *buffer, uint32_t size, const char *path) {
    ReadText(section, key, "\n", buffer, size, path);
    if (strcmp(buffer, "\n") != 0) return true;
    buffer[0] = '\0';
    return false;
}

// The [Environment] lines; none without a settings path. The profile
// service hands on whole lines only, also where the section did not fit.
void ReadEnvironment(ToolSettings *settings, const char *path) {
    char *lines = settings->Environment;
    lines[0] = lines[1] = '\0';
    if (path[0] != '\0') platform::ProfileReadSection(kEnvironmentSection, lines, sizeof settings->Environment, path);
    settings->EnvironmentInFile = lines[0] != '\0';
}

bool IsQuotationMark(char c) { return c == '"' || c == '\''; }

// The profile service drops the blanks at both ends of a value when it reads
// it (platform::IsProfileBlank), and only then the quotation marks that
// enclose it. A value is therefore
// written without its outer blanks; one that then begins and ends with the
// same quotation mark is written inside one more pair of double quotation
// marks, so that reading gives back exactly the text that was saved.
bool WriteText(const char *section, const char *key, const char *value, const char *path) {
    size_t length = strnlen(value, kPathChars);
    while (length > 0 && platform::IsProfileBlank(value[length - 1])) --length;
    while (length > 0 && platform::IsProfileBlank(value[0])) {
        ++value;
        --length;
    }
    char text[kPathChars + 3];
    const bool wrap = length >= 2 && IsQuotationMark(value[0]) && value[length - 1] == value[0];
    size_t at = 0;
    if (wrap) text[at++] = '"';
    memcpy(text + at, value, length);
    at += length;
    if (wrap) text[at++] = '"';
    text[at] = '\0';
    return platform::ProfileWriteString(section, key, text, path);
}

// Keeps the error code of the first write that failed.
void NoteWrite(bool written, bool *allWritten, uint32_t *firstError) {
    if (written || !*allWritten) return;
    *allWritten = false;
    *firstError = platform::LastError();
}

// A key added after the first five is written only when it is not at its
// default or the file held it already, so that the file of a user who never
// changes it keeps exactly its keys.
void SaveOptionalKey(const char *key, const char *value, bool isDefault, bool inFile, const char *path,
                     bool *allWritten, uint32_t *firstError) {
    if (isDefault && !inFile) return;
    NoteWrite(platform::ProfileWriteString(kSettingsSection, key, value, path), allWritten, firstError);
}

// A text key added later: written, without its outer blanks, only when
// it has more than blanks or the file held it already.
void SaveOptionalText(const char *section, const char *key, const char *value, bool inFile, const char *path,
                      bool *allWritten, uint32_t *firstError) {
    const char *first = value;
    while (platform::IsProfileBlank(*first)) ++first;
    if (*first == '\0' && !inFile) return;
    NoteWrite(WriteText(section, key, value, path), allWritten, firstError);
}

// Leading white space, as a decimal value read from the file may have.
const char *SkipLeadingBlanks(const char *text) {
    while (*text == ' ' || (*text >= '\t' && *text <= '\r')) ++text;
    return text;
}

} // namespace

bool SettingsPathForModule(const char *modulePath, char *settingsPath) {
    settingsPath[0] = '\0';
    const size_t length = strlen(modulePath);
    if (length == 0 || length > kModulePathChars) return false;
    const char *dot = strrchr(modulePath, '.');
    // Everything up to and including the last ".", or the whole path and a
    // "." of our own when there is none.
    const size_t keep = dot ? static_cast<size_t>(dot - modulePath) + 1 : length;
    memcpy(settingsPath, modulePath, keep);
    char *end = settingsPath + keep;
    if (!dot) *end++ = '.';
    memcpy(end, "ini", 4);
    return true;
}

int32_t SwitchValue(const char *text) {
    text = SkipLeadingBlanks(text);
    bool negative = false;
    if (*text == '+' || *text == '-') negative = *text++ == '-';
    // Two characters at most reach here, so the value cannot overflow.
    int32_t value = 0;
    while (*text >= '0' && *text <= '9') value = value * 10 + (*text++ - '0');
    return negative ? -value : value;
}

TextEncoding EncodingValue(const char *text) {
    for (size_t i = 0; i < sizeof kEncodingTexts / sizeof kEncodingTexts[0]; ++i) {
        const char *expected = kEncodingTexts[i];
        const char *given = text;
        while (*expected && (*given == *expected || (*given >= 'a' && *given <= 'z' && *given - 'a' + 'A' == *expected)))
            ++given, ++expected;
        if (*expected == '\0' && *given == '\0') return static_cast<TextEncoding>(i);
    }
    return TextEncoding::Ansi;
}

const char *EncodingText(TextEncoding encoding) {
    const size_t index = static_cast<size_t>(encoding);
    return index < sizeof kEncodingTexts / sizeof kEncodingTexts[0] ? kEncodingTexts[index] : kEncodingTexts[0];
}

uint32_t TimeoutValue(const char *text) {
    text = SkipLeadingBlanks(text);
    uint32_t value = 0;
    for (uint32_t digits = 0; digits < kTimeoutChars && *text >= '0' && *text <= '9'; ++digits)
        value = value * 10 + static_cast<uint32_t>(*text++ - '0');
    return value;
}

void TimeoutText(uint32_t seconds, char *buffer) {
    snprintf(buffer, kTimeoutTextSize, "%lu", static_cast<unsigned long>(seconds));
}

void ReadSettings(ToolSettings *settings, const char *path) {
    settings->ReadOnly = ReadSwitch("ReadOnly", path);
    settings->DeleteTemp = ReadSwitch("DeleteTemp", path);
    ReadText(kPathSection, "WorkingDirectory", "", settings->WorkingDirectory, sizeof settings->WorkingDirectory, path);
    ReadText(kPathSection, "CommandLine", "", settings->CommandLine, sizeof settings->CommandLine, path);
    ReadText(kSettingsSection, "MenuItem", kDefaultMenuItem, settings->MenuItem, sizeof settings->MenuItem, path);
    char filter[kSwitchChars + 1];
    settings->FilterInFile = ReadOptionalKey(kSettingsSection, "Filter", filter, sizeof filter, path);
    settings->Filter = SwitchValue(filter);
    char timeout[kTimeoutChars + 1];
    settings->TimeoutInFile = ReadOptionalKey(kSettingsSection, "Timeout", timeout, sizeof timeout, path);
    settings->Timeout = TimeoutValue(timeout);
    char encoding[kEncodingChars + 1];
    settings->EncodingInFile = ReadOptionalKey(kSettingsSection, "Encoding", encoding, sizeof encoding, path);
    settings->Encoding = EncodingValue(encoding);
    settings->SuccessCodesInFile = ReadOptionalKey(kSettingsSection, "SuccessCodes", settings->SuccessCodes,
                                                   sizeof settings->SuccessCodes, path);
    settings->StartDirectoryInFile = ReadOptionalKey(kPathSection, "StartDirectory", settings->StartDirectory,
                                                     sizeof settings->StartDirectory, path);
    settings->ExchangeExtensionInFile = ReadOptionalKey(kPathSection, "ExchangeExtension",
                                                        settings->ExchangeExtension,
                                                        sizeof settings->ExchangeExtension, path);
    ReadEnvironment(settings, path);
}

void LoadSettings(platform::ModuleHandle moduleInstance, ToolSettings *settings, char *settingsFilePath) {
    char modulePath[kModulePathChars + 1];
    if (platform::ModuleFileName(moduleInstance, modulePath, sizeof modulePath) == 0) modulePath[0] = '\0';
    SettingsPathForModule(modulePath, settingsFilePath);
    ReadSettings(settings, settingsFilePath);
}

bool SaveSettings(const ToolSettings *settings, const char *path, uint32_t *firstError) {
    *firstError = 0;
    // An empty path would name a file in the system's own directory.
    if (path[0] == '\0') return true;
    bool allWritten = true;
    NoteWrite(platform::ProfileWriteString(kSettingsSection, "ReadOnly", settings->ReadOnly ? "1" : "0", path),
              &allWritten, firstError);
    NoteWrite(platform::ProfileWriteString(kSettingsSection, "DeleteTemp", settings->DeleteTemp ? "1" : "0", path),
              &allWritten, firstError);
    NoteWrite(WriteText(kPathSection, "WorkingDirectory", settings->WorkingDirectory, path), &allWritten, firstError);
    NoteWrite(WriteText(kPathSection, "CommandLine", settings->CommandLine, path), &allWritten, firstError);
    NoteWrite(WriteText(kSettingsSection, "MenuItem", settings->MenuItem, path), &allWritten, firstError);
    SaveOptionalKey("Filter", settings->Filter ? "1" : "0", !settings->Filter, settings->FilterInFile, path,
                    &allWritten, firstError);
    char timeout[kTimeoutTextSize];
    TimeoutText(settings->Timeout, timeout);
    SaveOptionalKey("Timeout", timeout, settings->Timeout == 0, settings->TimeoutInFile, path, &allWritten,
                    firstError);
    SaveOptionalKey("Encoding", EncodingText(settings->Encoding), settings->Encoding == TextEncoding::Ansi,
                    settings->EncodingInFile, path, &allWritten, firstError);
    SaveOptionalText(kSettingsSection, "SuccessCodes", settings->SuccessCodes, settings->SuccessCodesInFile, path,
                     &allWritten, firstError);
    SaveOptionalText(kPathSection, "StartDirectory", settings->StartDirectory, settings->StartDirectoryInFile, path,
                     &allWritten, firstError);
    SaveOptionalText(kPathSection, "ExchangeExtension", settings->ExchangeExtension,
                     settings->ExchangeExtensionInFile, path, &allWritten, firstError);
    if (settings->Environment[0] != '\0' || settings->EnvironmentInFile)
        NoteWrite(platform::ProfileWriteSection(kEnvironmentSection, settings->Environment, path), &allWritten,
                  firstError);
    return allWritten;
}
