// Fuzzes the POSIX profile service through the settings file.
//
// Input: a few bytes that make up ToolSettings, then the content of an
// existing exttool.ini. For any content, reading stays within the value
// limits; saving the settings and reading them back gives exactly what was
// saved; every line of the old file that does not name one of the five keys
// (or Timeout, or Encoding) is kept, in order; and nothing but the keys and their two sections is
// added.
#include <strings.h>
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "settings/settings_file.h"

namespace {

std::string g_Path;

void Check(bool condition, const char *what) {
    if (!condition) {
        fprintf(stderr, "settings fuzzer: %s\n", what);
        abort();
    }
}

void WriteWhole(const std::string &content) {
    FILE *file = fopen(g_Path.c_str(), "wb");
    Check(file != nullptr, "cannot write the scratch file");
    fwrite(content.data(), 1, content.size(), file);
    fclose(file);
}

std::string ReadWhole() {
    std::string content;
    FILE *file = fopen(g_Path.c_str(), "rb");
    if (!file) return content;
    char chunk[4096];
    size_t got;
    while ((got = fread(chunk, 1, sizeof chunk, file)) > 0) content.append(chunk, got);
    fclose(file);
    return content;
}

// The lines of a file without their line ends: "\r\n", "\n" or a lone "\r",
// as the profile service reads them. A lone "\r" may become "\r\n" when a
// line is inserted after it, which leaves the lines as they were.
std::vector<std::string> Lines(const std::string &text) {
    std::vector<std::string> lines;
    size_t start = 0;
    while (start < text.size()) {
        size_t end = text.find_first_of("\r\n", start);
        if (end == std::string::npos) end = text.size();
        lines.push_back(text.substr(start, end - start));
        start = end + (text.compare(end, 2, "\r\n") == 0 ? 2 : 1);
    }
    return lines;
}

bool IsBlank(char c) { return platform::IsProfileBlank(c) || c == '\r'; }

// A line that names one of the five keys, or Timeout: such a line may be
// rewritten.
bool NamesASettingsKey(const std::string &line) {
    static const char *const keys[] = {"ReadOnly",    "DeleteTemp", "MenuItem", "WorkingDirectory",
                                       "CommandLine", "Timeout",    "Encoding"};
    size_t first = 0;
    while (first < line.size() && IsBlank(line[first])) ++first;
    size_t end = line.find('=', first);
    if (end == std::string::npos) end = line.size();
    while (end > first && IsBlank(line[end - 1])) --end;
    const std::string name = line.substr(first, end - first);
    for (const char *key : keys)
        if (name.size() == strlen(key) && strncasecmp(name.data(), key, name.size()) == 0) return true;
    return false;
}

// A value as a user can type it: one line, maybe with blanks at either end.
void TakeValue(const uint8_t *&data, size_t &size, char *out, size_t capacity) {
    size_t length = 0;
    if (size > 0) {
        length = *data++ % (capacity + 1);
        --size;
    }
    if (length > size) length = size;
    size_t n = 0;
    for (size_t i = 0; i < length; ++i) {
        const char c = static_cast<char>(data[i]);
        if (c != '\n' && c != '\r' && c != '\0') out[n++] = c;
    }
    out[n] = '\0';
    data += length;
    size -= length;
}

// What reads back: the value without the profile service's blanks at its
// ends.
std::string Trimmed(const char *value) {
    size_t first = 0, end = strlen(value);
    while (first < end && platform::IsProfileBlank(value[first])) ++first;
    while (end > first && platform::IsProfileBlank(value[end - 1])) --end;
    return std::string(value + first, end - first);
}

} // namespace

std::string g_Directory;

void RemoveScratch() {
    unlink(g_Path.c_str());
    rmdir(g_Directory.c_str());
}

extern "C" int LLVMFuzzerInitialize(int *, char ***) {
    // Memory-backed where there is one: every save ends in fsync.
    char directory[64];
    snprintf(directory, sizeof directory, "%s/exttool-settings-fuzz-XXXXXX",
             access("/dev/shm", W_OK) == 0 ? "/dev/shm" : "/tmp");
    Check(mkdtemp(directory) != nullptr, "cannot make a scratch directory");
    g_Directory = directory;
    g_Path = g_Directory + "/exttool.ini";
    atexit(RemoveScratch);
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    ToolSettings saved{};
    if (size > 0) {
        saved.ReadOnly = *data & 1;
        saved.DeleteTemp = (*data >> 1) & 1;
        saved.Timeout = *data >> 5; // up to 7 s; 0 writes no key
        saved.Encoding = static_cast<TextEncoding>(((*data >> 2) & 3) % 3);
        saved.EncodingInFile = (*data >> 4) & 1;
        ++data;
        --size;
    }
    TakeValue(data, size, saved.WorkingDirectory, kPathChars);
    TakeValue(data, size, saved.CommandLine, kPathChars);
    TakeValue(data, size, saved.MenuItem, kMenuItemChars);
    const std::string before(reinterpret_cast<const char *>(data), size);
    WriteWhole(before);

    ToolSettings read;
    memset(&read, 0x5A, sizeof read);
    ReadSettings(&read, g_Path.c_str());
    Check(strnlen(read.WorkingDirectory, sizeof read.WorkingDirectory) <= kPathChars, "WorkingDirectory too long");
    Check(strnlen(read.CommandLine, sizeof read.CommandLine) <= kPathChars, "CommandLine too long");
    Check(strnlen(read.MenuItem, sizeof read.MenuItem) <= kMenuItemChars, "MenuItem too long");

    uint32_t error = 0;
    Check(SaveSettings(&saved, g_Path.c_str(), &error), "a save to a writable file failed");
    ToolSettings back;
    memset(&back, 0x5A, sizeof back);
    ReadSettings(&back, g_Path.c_str());
    Check(back.ReadOnly == saved.ReadOnly && back.DeleteTemp == saved.DeleteTemp, "a switch changed");
    Check(back.WorkingDirectory == Trimmed(saved.WorkingDirectory), "WorkingDirectory did not read back");
    Check(back.CommandLine == Trimmed(saved.CommandLine), "CommandLine did not read back");
    Check(back.MenuItem == Trimmed(saved.MenuItem), "MenuItem did not read back");
    Check(saved.Timeout == 0 || back.Timeout == saved.Timeout, "Timeout did not read back");
    Check(read.Timeout < 1000000000u, "Timeout beyond nine digits");
    // Encoding is written only when it is not ANSI or the file held it.
    if (saved.Encoding != TextEncoding::Ansi || saved.EncodingInFile)
        Check(back.Encoding == saved.Encoding && back.EncodingInFile, "Encoding did not read back");

    // The lines that do not name one of the keys must all be there, in the
    // same order: the old ones a subsequence of the new ones, which the
    // greedy match decides exactly. Key lines are left out on both sides, as
    // any of them may be the one that was changed.
    std::vector<std::string> kept;
    for (const std::string &line : Lines(before))
        if (!NamesASettingsKey(line)) kept.push_back(line);
    const std::vector<std::string> after = Lines(ReadWhole());
    size_t next = 0;
    size_t added = 0;
    for (const std::string &line : after) {
        if (NamesASettingsKey(line)) continue;
        if (next < kept.size() && line == kept[next]) ++next;
        else ++added;
    }
    Check(next == kept.size(), "a line of the old file was lost");
    // At most the two section lines are new (Timeout names a key).
    Check(added <= 2, "lines were added beyond the keys and their sections");
    return 0;
}
