// Finding the program a command line names, on Windows, without the current
// directory that CreateProcessA would search second: the file-open dialog
// often moves it to a document's folder, an unpacked archive or a share.
#include <windows.h>

#include <cstring>

#include "platform/platform.h"
#include "platform/win32/ansi_path_win32.h"
#include "platform/win32/internal_win32.h"

namespace platform {

namespace {

bool IsBlank(char c) { return c == ' ' || c == '\t'; }
bool IsSeparator(char c) { return c == '\\' || c == '/' || c == ':'; }

// The offset just after the last separator of the `length` bytes at `name`
// (0 when it has none), stepping over double-byte characters, whose second
// byte may be a "\" in code pages such as 932.
size_t NameStart(const char *name, size_t length) {
    size_t start = 0;
    for (size_t i = 0; i < length; ++i) {
        if (IsDBCSLeadByte(static_cast<BYTE>(name[i])) && i + 1 < length) {
            ++i;
        } else if (IsSeparator(name[i])) {
            start = i + 1;
        }
    }
    return start;
}

bool HasExtension(const char *name, size_t length) {
    return memchr(name + NameStart(name, length), '.', length - NameStart(name, length)) != nullptr;
}

// `directory` (may be empty), a separator where it lacks one, the `length`
// bytes of `name` without their double quotes, and ".exe" when the name has
// no extension, into `path` (kMaxPath + 1 bytes). False when that is too long.
bool Compose(const char *directory, const char *name, size_t length, char *path) {
    size_t at = strnlen(directory, kMaxPath + 1);
    if (at > static_cast<size_t>(kMaxPath)) return false;
    memcpy(path, directory, at);
    if (at > 0 && NameStart(path, at) != at) path[at++] = '\\';
    for (size_t i = 0; i < length; ++i) {
        if (name[i] == '"') continue;
        if (at >= static_cast<size_t>(kMaxPath)) return false;
        path[at++] = name[i];
    }
    path[at] = '\0';
    if (!HasExtension(name, length)) {
        if (at + 4 > static_cast<size_t>(kMaxPath)) return false;
        memcpy(path + at, ".exe", 5);
    }
    return true;
}

bool IsFile(const char *path) {
    const DWORD attributes = GetFileAttributesA(path);
    return attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY) == 0;
}

bool FoundIn(const char *directory, const char *name, size_t length, char *path) {
    return directory[0] != '\0' && Compose(directory, name, length, path) && IsFile(path);
}

// "C:\...", "C:/..." or "\\server\share\...": PATH entries relative to the
// current directory or drive are never searched.
bool IsAbsolute(const char *directory) {
    const bool drive = ((directory[0] | 0x20) >= 'a' && (directory[0] | 0x20) <= 'z') && directory[1] == ':' &&
                       (directory[2] == '\\' || directory[2] == '/');
    return drive || (directory[0] == '\\' && directory[1] == '\\');
}

// PATH may hold up to 32,767 characters.
char g_SearchPath[32768];

// The PATH of the copy the Environment calls made, into g_SearchPath: an
// entry the ANSI code page cannot write exactly is left out, as is one that
// does not fit, so that no look-alike folder is ever searched instead.
bool TakeOwnSearchPath() {
    uint32_t length = 0;
    const wchar_t *const value = EnvironmentValue(L"PATH", &length);
    if (!value) return false;
    uint32_t at = 0;
    for (uint32_t start = 0; start < length;) {
        uint32_t end = start;
        while (end < length && value[end] != L';') ++end;
        const uint32_t made = ExactAnsi(value + start, end - start, g_SearchPath + at, sizeof g_SearchPath - 1 - at);
        at += made;
        if (made > 0 && at < sizeof g_SearchPath - 1) g_SearchPath[at++] = ';';
        start = end + 1;
    }
    g_SearchPath[at] = '\0';
    return at > 0;
}

bool FoundOnPath(const char *name, size_t length, bool ownEnvironment, char *path) {
    if (ownEnvironment) {
        if (!TakeOwnSearchPath()) return false;
    } else {
        const DWORD size = GetEnvironmentVariableA("PATH", g_SearchPath, sizeof g_SearchPath);
        if (size == 0 || size >= sizeof g_SearchPath) return false;
    }
    for (char *entry = g_SearchPath; *entry != '\0';) {
        char *end = entry;
        while (*end != '\0' && *end != ';') ++end;
        const bool last = *end == '\0';
        *end = '\0';
        // An entry may stand in quotes.
        char *directory = entry;
        if (*directory == '"') ++directory;
        const size_t directoryLength = strlen(directory);
        if (directoryLength > 0 && directory[directoryLength - 1] == '"') directory[directoryLength - 1] = '\0';
        if (IsAbsolute(directory) && FoundIn(directory, name, length, path)) return true;
        if (last) break;
        entry = end + 1;
    }
    return false;
}

// The folder of the host's program, then the system folders, then PATH.
bool SearchBareName(const char *name, size_t length, bool ownEnvironment, char *path) {
    char directory[kMaxPath + 1];
    const uint32_t hostLength = ModuleFileName(nullptr, directory, sizeof directory);
    directory[NameStart(directory, hostLength)] = '\0';
    if (FoundIn(directory, name, length, path)) return true;
    const UINT system = GetSystemDirectoryA(directory, sizeof directory);
    if (system > 0 && system < sizeof directory && FoundIn(directory, name, length, path)) return true;
    const UINT windows = GetWindowsDirectoryA(directory, sizeof directory);
    if (windows > 0 && windows < sizeof directory && FoundIn(directory, name, length, path)) return true;
    return FoundOnPath(name, length, ownEnvironment, path);
}

// An unquoted path followed by blanks: the longest part of the line, ending
// at a blank or at the line's end, that names a file, so that an unquoted
// "C:\Program Files\Tool\tool.exe arg" runs tool.exe, and a planted
// "C:\Program.exe" never does. None: the first word, as written.
void TakeLongestExistingPrefix(const char *line, size_t firstWord, char *path) {
    const size_t length = strlen(line);
    for (size_t end = length; end > firstWord; --end) {
        if (end < length && !IsBlank(line[end])) continue;
        if (IsBlank(line[end - 1])) continue;
        if (Compose("", line, end, path) && IsFile(path)) return;
    }
    if (!Compose("", line, firstWord, path)) path[0] = '\0';
}

// cmd.exe reads the whole command line of a batch file, and its own, as
// commands. The system ignores trailing dots and blanks of a name.
bool RunsThroughCommandInterpreter(const char *path) {
    const size_t length = strlen(path);
    const size_t start = NameStart(path, length);
    size_t end = length;
    while (end > start && (path[end - 1] == '.' || IsBlank(path[end - 1]))) --end;
    const size_t nameLength = end - start;
    const auto is = [&](const char *name) {
        return nameLength == strlen(name) && CompareStringA(LOCALE_INVARIANT, NORM_IGNORECASE, path + start,
                                                            static_cast<int>(nameLength), name,
                                                            static_cast<int>(nameLength)) == CSTR_EQUAL;
    };
    const auto endsWith = [&](const char *extension) {
        const size_t n = strlen(extension);
        return nameLength > n && CompareStringA(LOCALE_INVARIANT, NORM_IGNORECASE, path + end - n, static_cast<int>(n),
                                                extension, static_cast<int>(n)) == CSTR_EQUAL;
    };
    return is("cmd") || is("cmd.exe") || endsWith(".bat") || endsWith(".cmd");
}

} // namespace

bool FindProgram(const char *commandLine, bool ownEnvironment, ProgramFound *found) {
    found->Path[0] = '\0';
    found->ThroughCommandInterpreter = false;
    const char *line = commandLine;
    while (IsBlank(*line)) ++line;
    const char *item = line;
    size_t length = 0;
    bool quoted = false;
    if (*line == '"') {
        item = line + 1;
        const char *const close = strchr(item, '"');
        length = close ? static_cast<size_t>(close - item) : strlen(item);
        quoted = true;
    } else {
        while (item[length] != '\0' && !IsBlank(item[length])) ++length;
    }
    bool named = false;
    if (length == 0) {
        // An empty line names no program.
    } else if (NameStart(item, length) == 0) {
        named = SearchBareName(item, length, ownEnvironment, found->Path);
    } else if (!quoted && item[length] != '\0') {
        TakeLongestExistingPrefix(item, length, found->Path);
        named = found->Path[0] != '\0';
    } else {
        named = Compose("", item, length, found->Path);
    }
    if (!named) {
        found->Path[0] = '\0';
        SetLastError(ERROR_FILE_NOT_FOUND);
        return false;
    }
    found->ThroughCommandInterpreter = RunsThroughCommandInterpreter(found->Path);
    return true;
}

} // namespace platform
