#include "run/run_options.h"

#include <cstdio>
#include <cstring>

#include "plugin/plugin_state.h"
#include "run/expand_command_line.h"

namespace {

const char kErrorTitle[] = "Error";
const char kBadSuccessCodesFormat[] = "SuccessCodes is not a list of exit codes\n'%s'";
const char kBadExtensionFormat[] = "The exchange file extension is not valid\n'%s'";
const char kStartDirectoryTooLongFormat[] = "Start directory too long\n'%s'";
const char kStartDirectoryFailedFormat[] = "Could not start the program in '%s'\nError code=%d";
const char kVariableTooLongFormat[] = "The environment variable '%s' is longer than 1023 characters";
const char kTooManyVariablesFormat[] = "The [Environment] section sets more than 32 variables: '%s' is one too many";
const char kEnvironmentFullFormat[] =
    "The program's environment would be larger than 65536 characters: '%s' does not fit";
const char kVariableNotTextFormat[] = "The environment variable '%s' holds bytes that are not text in the ANSI code page";
static_assert(sizeof kVariableTooLongFormat <= sizeof kEnvironmentFullFormat &&
              sizeof kTooManyVariablesFormat <= sizeof kEnvironmentFullFormat &&
              sizeof kVariableNotTextFormat <= sizeof kEnvironmentFullFormat);

// A message names a variable with at most this many characters: a name is
// the user's own, but a line can be a kilobyte long.
constexpr int kShownNameChars = 63;

void ShowError(const char *text) { platform::ShowErrorBox(g_State.Host->OwnerWindow, text, kErrorTitle); }

// A message with a settings value in place of its %s; the value is never the
// format (settings values are at most kPathChars characters).
template <size_t N> void ShowValueError(const char (&format)[N], const char *value) {
    char message[N + kPathChars + 1];
    snprintf(message, sizeof message, format, value);
    ShowError(message);
}

bool IsCodeSeparator(char c) { return c == ',' || platform::IsProfileBlank(c); }
bool IsDigit(char c) { return c >= '0' && c <= '9'; }
bool IsExtensionCharacter(char c) {
    return IsDigit(c) || (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || c == '_' || c == '-';
}

// A host text or the host's directory in a start directory is data: the
// template's placeholders are replaced in the command line's order, each
// at its first occurrence, and only the finished path must fit.
constexpr size_t kLongestStartDirectory = kPathChars + kHostTexts * static_cast<size_t>(kHostTextChars);

bool ExpandStartDirectory(const char *templateText, char *directory) {
    char expansion[kLongestStartDirectory + 1];
    snprintf(expansion, sizeof expansion, "%s", templateText);
    for (int i = 0; i < kHostTexts; ++i)
        if (!ReplacePlaceholder(expansion, kLongestStartDirectory, HostPlaceholder(i), ExpandedHostText(i)))
            return false;
    if (strlen(expansion) > static_cast<size_t>(kPathChars)) return false;
    memcpy(directory, expansion, strlen(expansion) + 1);
    return true;
}

// ---- The environment -------------------------------------------------------

struct Variable {
    const char *Name;
    uint32_t NameLength;
    const char *Value; // to the end of the line
};

// A line "NAME=value" of the section; comment lines, lines without "=" and
// lines without a name set nothing. Blanks around the name and before the
// value are not part of them, as for any key of the file.
bool ParseVariable(const char *line, Variable *variable) {
    if (line[0] == ';' || line[0] == '#') return false;
    const char *const equals = strchr(line, '=');
    if (!equals) return false;
    const char *end = equals;
    while (end > line && platform::IsProfileBlank(end[-1])) --end;
    if (end == line) return false;
    variable->Name = line;
    variable->NameLength = static_cast<uint32_t>(end - line);
    const char *value = equals + 1;
    while (platform::IsProfileBlank(*value)) ++value;
    variable->Value = value;
    return true;
}

// The value with each "%NAME%" replaced by what NAME is at this line, in
// the copy; a name the copy lacks stays as written, and its closing "%" may
// open the next reference, as ExpandEnvironmentStrings reads it.
platform::EnvironmentStatus AppendExpandedValue(const char *value) {
    platform::EnvironmentStatus status = platform::EnvironmentStatus::Done;
    const char *text = value;
    while (status == platform::EnvironmentStatus::Done && *text != '\0') {
        const char *const open = strchr(text, '%');
        const char *const close = open ? strchr(open + 1, '%') : nullptr;
        if (!close) return platform::EnvironmentAppendText(text, static_cast<uint32_t>(strlen(text)));
        status = platform::EnvironmentAppendText(text, static_cast<uint32_t>(open - text));
        if (status != platform::EnvironmentStatus::Done) break;
        const uint32_t nameLength = static_cast<uint32_t>(close - open - 1);
        status = nameLength == 0 ? platform::EnvironmentStatus::Unknown
                                 : platform::EnvironmentAppendValueOf(open + 1, nameLength);
        if (status == platform::EnvironmentStatus::Unknown) {
            status = platform::EnvironmentAppendText(open, nameLength + 1);
            text = close;
        } else {
            text = close + 1;
        }
    }
    return status;
}

void ShowVariableError(const char *format, const Variable &variable) {
    char name[kShownNameChars + 1];
    const uint32_t length = variable.NameLength < kShownNameChars ? variable.NameLength : kShownNameChars;
    memcpy(name, variable.Name, length);
    name[length] = '\0';
    char message[sizeof kEnvironmentFullFormat + kShownNameChars];
    snprintf(message, sizeof message, format, name);
    ShowError(message);
}

const char *VariableErrorFormat(platform::EnvironmentStatus status) {
    switch (status) {
    case platform::EnvironmentStatus::TooLong: return kVariableTooLongFormat;
    case platform::EnvironmentStatus::Invalid: return kVariableNotTextFormat;
    default: return kEnvironmentFullFormat;
    }
}

// The [Environment] lines applied in their order to a copy of the host's
// environment. The copy is made only when a line sets something.
bool BuildEnvironment(const char *lines, bool *built) {
    *built = false;
    int applied = 0;
    for (const char *line = lines; *line != '\0'; line += strlen(line) + 1) {
        Variable variable;
        if (!ParseVariable(line, &variable)) continue;
        if (++applied > kEnvironmentLines) {
            ShowVariableError(kTooManyVariablesFormat, variable);
            return false;
        }
        platform::EnvironmentStatus status = platform::EnvironmentStatus::Done;
        if (!*built) status = platform::EnvironmentCopyHost();
        *built = true;
        if (status == platform::EnvironmentStatus::Done) status = AppendExpandedValue(variable.Value);
        if (status == platform::EnvironmentStatus::Done)
            status = platform::EnvironmentPut(variable.Name, variable.NameLength);
        if (status != platform::EnvironmentStatus::Done) {
            ShowVariableError(VariableErrorFormat(status), variable);
            return false;
        }
    }
    return true;
}

} // namespace

bool ParseSuccessCodes(const char *text, uint32_t *codes, int *count) {
    *count = 0;
    if (strlen(text) > static_cast<size_t>(kSuccessCodesChars)) return false;
    bool separated = true;
    for (const char *c = text; *c != '\0';) {
        if (IsCodeSeparator(*c)) {
            separated = true;
            ++c;
            continue;
        }
        if (!IsDigit(*c) || !separated || *count == kMaxSuccessCodes) return false;
        uint64_t value = 0;
        for (; IsDigit(*c); ++c) {
            value = value * 10 + static_cast<uint64_t>(*c - '0');
            if (value > UINT32_MAX) return false;
        }
        codes[(*count)++] = static_cast<uint32_t>(value);
        separated = false;
    }
    // Separators alone list nothing, which is not what the user meant.
    return *count > 0 || text[0] == '\0';
}

bool ExchangeExtensionOf(const char *text, char *extension) {
    if (text[0] == '\0') {
        memcpy(extension, ".TMP", sizeof ".TMP");
        return true;
    }
    const char *const name = text[0] == '.' ? text + 1 : text;
    const size_t length = strlen(name);
    if (length == 0 || length > static_cast<size_t>(kExtensionChars) - 1) return false;
    if (name[0] == '.' || name[length - 1] == '.') return false;
    for (size_t i = 0; i < length; ++i)
        if (!IsExtensionCharacter(name[i]) && name[i] != '.') return false;
    extension[0] = '.';
    memcpy(extension + 1, name, length + 1);
    return true;
}

bool PrepareFileOptions(const ToolSettings &settings, RunOptions *options) {
    if (!ParseSuccessCodes(settings.SuccessCodes, options->SuccessCodes, &options->SuccessCodeCount)) {
        ShowValueError(kBadSuccessCodesFormat, settings.SuccessCodes);
        return false;
    }
    if (!ExchangeExtensionOf(settings.ExchangeExtension, options->Extension)) {
        ShowValueError(kBadExtensionFormat, settings.ExchangeExtension);
        return false;
    }
    options->StartDirectory[0] = '\0';
    options->OwnEnvironment = false;
    return true;
}

bool PrepareStartOptions(const ToolSettings &settings, RunOptions *options) {
    if (settings.StartDirectory[0] != '\0') {
        if (!ExpandStartDirectory(settings.StartDirectory, options->StartDirectory)) {
            ShowValueError(kStartDirectoryTooLongFormat, settings.StartDirectory);
            return false;
        }
        if (!platform::DirectoryUsable(options->StartDirectory)) {
            char message[sizeof kStartDirectoryFailedFormat + kPathChars + 11];
            snprintf(message, sizeof message, kStartDirectoryFailedFormat, options->StartDirectory,
                     static_cast<int>(platform::LastError()));
            ShowError(message);
            return false;
        }
    }
    return BuildEnvironment(settings.Environment, &options->OwnEnvironment);
}

platform::StartOptions StartOptionsOf(const RunOptions &options) {
    return platform::StartOptions{options.StartDirectory[0] != '\0' ? options.StartDirectory : nullptr,
                                  options.OwnEnvironment};
}

bool IsSuccessCode(const RunOptions &options, uint32_t code, bool anyWithoutList) {
    if (options.SuccessCodeCount == 0) return anyWithoutList || code == 0;
    for (int i = 0; i < options.SuccessCodeCount; ++i)
        if (options.SuccessCodes[i] == code) return true;
    return false;
}
