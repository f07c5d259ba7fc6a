// Our stand-in for the Windows private-profile (INI) service.
//
// The file is read as a stream of lines with fixed buffers, so a file of any
// size and lines of any length are handled without allocation:
//   - "[name]" (after leading blanks) starts a section; the name runs to the
//     last "]" of the line.
//   - "key=value" is a key; key and value are trimmed of blanks, and a value
//     enclosed in a pair of the same quotation marks loses them on reading.
//   - A line without "=" is a key without a value (reading gives the
//     default); every other line is left alone.
//   - Section and key names match without regard to case; the first match
//     counts.
// Writing rewrites the file through a new file in the same directory that is
// renamed over the old one, so an interrupted save never leaves a truncated
// file. Every byte outside the changed value is copied as it was.
#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <strings.h>
#include <sys/stat.h>
#include <unistd.h>

#include "platform/platform.h"

namespace platform {

namespace {

// The first bytes of a line that are looked at. Names of interest are
// short, and a value is never read beyond 259 characters, so the rest of a
// longer line only needs to be copied, never examined.
constexpr size_t kHeadBytes = 2048;
constexpr size_t kChunkBytes = 8192;

bool IsBlank(char c) { return c == ' ' || c == '\t' || c == '\r' || c == '\v' || c == '\f'; }
bool IsQuotationMark(char c) { return c == '"' || c == '\''; }

struct Reader {
    int fd;
    char chunk[kChunkBytes];
    size_t position;
    size_t available;
    bool failed;
};

void OpenReader(Reader &reader, int fd) {
    reader.fd = fd;
    reader.position = 0;
    reader.available = 0;
    reader.failed = false;
}

bool Refill(Reader &reader) {
    if (reader.fd < 0) return false;
    for (;;) {
        const ssize_t got = read(reader.fd, reader.chunk, sizeof reader.chunk);
        if (got < 0 && errno == EINTR) continue;
        if (got < 0) reader.failed = true;
        if (got <= 0) return false;
        reader.position = 0;
        reader.available = static_cast<size_t>(got);
        return true;
    }
}

// One line of the file: where it lies, and its first kHeadBytes bytes.
struct Line {
    char head[kHeadBytes];
    size_t headLength;       // bytes of the line in head (without "\n")
    off_t start;             // file offset of the line
    off_t textLength;        // bytes without the "\n"
    off_t length;            // bytes with the "\n", if any
    off_t lastNonBlank;      // index of the last non-blank byte, -1 if none
    char lastNonBlankByte;
    char lastByte;           // of the text, "\r" for a line ending in "\r\n"
    bool terminated;         // ends in "\n"

    bool EndsInCarriageReturn() const { return textLength > 0 && lastByte == '\r'; }
};

bool ReadLine(Reader &reader, Line &line, off_t start) {
    line.headLength = 0;
    line.start = start;
    line.textLength = 0;
    line.lastNonBlank = -1;
    line.lastNonBlankByte = '\0';
    line.lastByte = '\0';
    line.terminated = false;
    for (;;) {
        if (reader.position == reader.available && !Refill(reader)) break;
        const char c = reader.chunk[reader.position++];
        if (c == '\n') {
            line.terminated = true;
            break;
        }
        if (line.headLength < kHeadBytes) line.head[line.headLength++] = c;
        line.lastByte = c;
        if (!IsBlank(c)) {
            line.lastNonBlank = line.textLength;
            line.lastNonBlankByte = c;
        }
        ++line.textLength;
    }
    line.length = line.textLength + (line.terminated ? 1 : 0);
    return line.length > 0;
}

enum class LineKind { Other, Section, Key };

// What a line is, judged by its head.
struct ParsedLine {
    LineKind kind;
    const char *name; // section or key name, inside the head
    size_t nameLength;
    bool hasValue;     // a key with "="
    size_t equals;     // index of "=" in the line
    size_t valueStart; // index of the first non-blank byte after "="
};

ParsedLine ParseLine(const Line &line) {
    ParsedLine parsed{LineKind::Other, nullptr, 0, false, 0, 0};
    const char *head = line.head;
    const size_t n = line.headLength;
    size_t first = 0;
    while (first < n && IsBlank(head[first])) ++first;
    if (first == n) return parsed;
    if (head[first] == '[') {
        const char *close = static_cast<const char *>(memrchr(head + first, ']', n - first));
        if (close) {
            parsed.kind = LineKind::Section;
            parsed.name = head + first + 1;
            parsed.nameLength = static_cast<size_t>(close - parsed.name);
            return parsed;
        }
    }
    const char *equals = static_cast<const char *>(memchr(head + first, '=', n - first));
    size_t nameEnd = equals ? static_cast<size_t>(equals - head) : n;
    if (!equals && static_cast<off_t>(n) < line.textLength) return parsed; // a name beyond the head: not ours
    while (nameEnd > first && IsBlank(head[nameEnd - 1])) --nameEnd;
    if (nameEnd == first) return parsed;
    parsed.kind = LineKind::Key;
    parsed.name = head + first;
    parsed.nameLength = nameEnd - first;
    if (equals) {
        parsed.hasValue = true;
        parsed.equals = static_cast<size_t>(equals - head);
        size_t value = parsed.equals + 1;
        while (value < n && IsBlank(head[value])) ++value;
        parsed.valueStart = value;
    }
    return parsed;
}

bool NameIs(const ParsedLine &parsed, const char *name) {
    return parsed.nameLength == strlen(name) && strncasecmp(parsed.name, name, parsed.nameLength) == 0;
}

uint32_t CopyText(char *buffer, uint32_t size, const char *text, size_t length) {
    if (size == 0) return 0;
    if (length > size - 1) length = size - 1;
    memcpy(buffer, text, length);
    buffer[length] = '\0';
    return static_cast<uint32_t>(length);
}

// The value of a key line: trimmed, enclosing quotation marks dropped.
uint32_t CopyValue(const Line &line, const ParsedLine &parsed, char *buffer, uint32_t size) {
    size_t from = parsed.valueStart;
    if (static_cast<off_t>(from) > line.lastNonBlank) return CopyText(buffer, size, "", 0);
    size_t length = static_cast<size_t>(line.lastNonBlank) + 1 - from;
    if (length >= 2 && IsQuotationMark(line.head[from]) && line.lastNonBlankByte == line.head[from]) {
        ++from;
        length -= 2;
    }
    // Only the head was kept; a value of interest always lies inside it.
    if (from + length > line.headLength) length = line.headLength > from ? line.headLength - from : 0;
    return CopyText(buffer, size, line.head + from, length);
}

int OpenForReading(const char *path) {
    int fd;
    do fd = open(path, O_RDONLY | O_CLOEXEC);
    while (fd < 0 && errno == EINTR);
    return fd;
}

void CloseFile(int fd) {
    if (fd >= 0) close(fd);
}

// ---- Writing ---------------------------------------------------------------

// Where the new value goes, found by one pass over the old file.
struct WritePlan {
    bool sectionFound;
    bool keyFound;
    off_t replaceFrom; // the bytes [replaceFrom, replaceTo) give way to the new text
    off_t replaceTo;
    bool keyNeedsName;      // the replaced text is the whole key line
    bool insertNeedsBreak;  // the line before the insertion point lacks its "\n"
    bool insertAfterReturn; // ... and ends in "\r", so "\n" completes it
    bool crlf;              // the file's lines end in "\r\n"
    off_t fileLength;
    bool fileEndsUnterminated;
    bool fileEndsInReturn;
};

bool PlanWrite(int fd, const char *section, const char *key, WritePlan &plan) {
    static Reader reader;
    static Line line;
    plan = WritePlan{};
    OpenReader(reader, fd);
    bool inSection = false;
    bool sawLineEnd = false;
    off_t offset = 0;
    while (ReadLine(reader, line, offset)) {
        offset += line.length;
        if (line.terminated && !sawLineEnd) {
            sawLineEnd = true;
            plan.crlf = line.EndsInCarriageReturn();
        }
        plan.fileEndsUnterminated = !line.terminated;
        plan.fileEndsInReturn = line.EndsInCarriageReturn();
        const ParsedLine parsed = ParseLine(line);
        if (parsed.kind == LineKind::Section) {
            inSection = !plan.sectionFound && NameIs(parsed, section);
            if (inSection) {
                plan.sectionFound = true;
                plan.replaceFrom = plan.replaceTo = line.start + line.length;
                plan.insertNeedsBreak = !line.terminated;
                plan.insertAfterReturn = line.EndsInCarriageReturn();
            }
            continue;
        }
        if (!inSection || plan.keyFound) continue;
        if (parsed.kind == LineKind::Key && NameIs(parsed, key)) {
            plan.keyFound = true;
            // The value's place runs from after "=" to the end of the text;
            // a "\r" of the line's end stays.
            const off_t textEnd = line.start + line.textLength - (line.EndsInCarriageReturn() ? 1 : 0);
            plan.keyNeedsName = !parsed.hasValue;
            plan.replaceFrom = parsed.hasValue ? line.start + static_cast<off_t>(parsed.equals) + 1 : line.start;
            plan.replaceTo = textEnd;
            continue;
        }
        if (line.lastNonBlank >= 0) {
            plan.replaceFrom = plan.replaceTo = line.start + line.length;
            plan.insertNeedsBreak = !line.terminated;
            plan.insertAfterReturn = line.EndsInCarriageReturn();
        }
    }
    plan.fileLength = offset;
    if (!plan.sectionFound) {
        plan.replaceFrom = plan.replaceTo = offset;
        plan.insertNeedsBreak = plan.fileEndsUnterminated;
        plan.insertAfterReturn = plan.fileEndsInReturn;
    }
    return !reader.failed;
}

bool WriteAll(int fd, const char *data, size_t count) {
    while (count > 0) {
        const ssize_t done = write(fd, data, count);
        if (done < 0 && errno == EINTR) continue;
        if (done <= 0) return false;
        data += done;
        count -= static_cast<size_t>(done);
    }
    return true;
}

bool WriteText(int fd, const char *text) { return WriteAll(fd, text, strlen(text)); }

// Copies `count` bytes from the reader to `out` (out < 0: skips them).
bool Transfer(Reader &reader, int out, off_t count) {
    while (count > 0) {
        if (reader.position == reader.available && !Refill(reader)) return !reader.failed && count == 0;
        size_t take = reader.available - reader.position;
        if (static_cast<off_t>(take) > count) take = static_cast<size_t>(count);
        if (out >= 0 && !WriteAll(out, reader.chunk + reader.position, take)) return false;
        reader.position += take;
        count -= static_cast<off_t>(take);
    }
    return true;
}

bool WriteNewFile(int in, int out, const WritePlan &plan, const char *section, const char *key, const char *value) {
    static Reader reader;
    OpenReader(reader, in);
    const char *lineBreak = plan.crlf ? "\r\n" : "\n";
    if (!Transfer(reader, out, plan.replaceFrom)) return false;
    if (!Transfer(reader, -1, plan.replaceTo - plan.replaceFrom)) return false;
    bool ok = true;
    if (plan.keyFound) {
        if (plan.keyNeedsName) ok = WriteText(out, key) && WriteText(out, "=");
        ok = ok && WriteText(out, value);
    } else {
        if (plan.insertNeedsBreak) ok = WriteText(out, plan.insertAfterReturn ? "\n" : lineBreak);
        if (!plan.sectionFound) ok = ok && WriteText(out, "[") && WriteText(out, section) && WriteText(out, "]") &&
                                     WriteText(out, lineBreak);
        ok = ok && WriteText(out, key) && WriteText(out, "=") && WriteText(out, value) && WriteText(out, lineBreak);
    }
    return ok && Transfer(reader, out, plan.fileLength - plan.replaceTo);
}

// A new file beside `path`, with a name of its own, for the rewrite.
int CreateSibling(const char *path, char *siblingPath, size_t size) {
    static unsigned counter;
    for (int attempt = 0; attempt < 100; ++attempt) {
        const int n = snprintf(siblingPath, size, "%s.%ld.%u.tmp", path, static_cast<long>(getpid()), counter++);
        if (n < 0 || static_cast<size_t>(n) >= size) return -1;
        int fd;
        do fd = open(siblingPath, O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0666);
        while (fd < 0 && errno == EINTR);
        if (fd >= 0 || errno != EEXIST) return fd;
    }
    return -1;
}

bool HasLineBreak(const char *text) { return strchr(text, '\n') || strchr(text, '\r'); }

} // namespace

uint32_t ProfileReadString(const char *section, const char *key, const char *defaultValue, char *buffer,
                           uint32_t size, const char *path) {
    static Reader reader;
    static Line line;
    const int fd = OpenForReading(path);
    OpenReader(reader, fd);
    bool inSection = false;
    off_t offset = 0;
    while (fd >= 0 && ReadLine(reader, line, offset)) {
        offset += line.length;
        const ParsedLine parsed = ParseLine(line);
        if (parsed.kind == LineKind::Section) {
            inSection = NameIs(parsed, section);
        } else if (inSection && parsed.kind == LineKind::Key && NameIs(parsed, key)) {
            if (!parsed.hasValue) break;
            CloseFile(fd);
            return CopyValue(line, parsed, buffer, size);
        }
    }
    CloseFile(fd);
    return CopyText(buffer, size, defaultValue, strlen(defaultValue));
}

bool ProfileWriteString(const char *section, const char *key, const char *value, const char *path) {
    // A line break in a name or value would change the meaning of the lines
    // after it.
    if (HasLineBreak(section) || HasLineBreak(key) || HasLineBreak(value) || path[0] == '\0') return false;
    // Replace the file a symbolic link points to, not the link.
    char target[PATH_MAX];
    struct stat status;
    if (lstat(path, &status) == 0 && S_ISLNK(status.st_mode)) {
        if (!realpath(path, target)) return false;
    } else {
        if (strlen(path) >= sizeof target) return false;
        strcpy(target, path);
    }
    const int in = OpenForReading(target);
    if (in < 0 && errno != ENOENT) return false;
    WritePlan plan;
    if (!PlanWrite(in, section, key, plan) || (in >= 0 && lseek(in, 0, SEEK_SET) != 0)) {
        CloseFile(in);
        return false;
    }
    char newPath[PATH_MAX + 32];
    const int out = CreateSibling(target, newPath, sizeof newPath);
    if (out < 0) {
        CloseFile(in);
        return false;
    }
    bool ok = WriteNewFile(in, out, plan, section, key, value);
    if (ok && in >= 0 && fstat(in, &status) == 0) ok = fchmod(out, status.st_mode & 07777) == 0;
    ok = ok && fsync(out) == 0;
    CloseFile(in);
    ok = close(out) == 0 && ok;
    ok = ok && rename(newPath, target) == 0;
    if (!ok) unlink(newPath);
    return ok;
}

} // namespace platform
