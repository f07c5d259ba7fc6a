// Our stand-in for the Windows private-profile (INI) service.
//
// The file is read as a stream of lines with fixed buffers, so a file of any
// size and lines of any length are handled without allocation:
//   - Lines end in "\n", "\r\n" or a lone "\r", as Windows reads them; a
//     UTF-8 byte-order mark before the first line is skipped.
//   - "[name]" (after leading blanks) starts a section; the name runs to the
//     last "]" of the line, trimmed of blanks. Only the first section of a
//     name counts.
//   - "key=value" is a key; key and value are trimmed of blanks, and a value
//     enclosed in a pair of the same quotation marks loses them on reading.
//   - A line without "=" is a key without a value (reading gives the
//     default); every other line is left alone.
//   - Section and key names match without regard to case; the first match
//     counts.
// Writing rewrites the file through a new file in the same directory that is
// renamed over the old one, so an interrupted save never leaves a truncated
// file. Where the directory may not be written but the file may, the file is
// changed in place instead, as Windows does; that save is not atomic. Either
// way every byte outside the changed value stays as it was.
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

// The first bytes of a line's name and of its value that are kept. Names of
// interest are short and values are read cut to 259 characters, so the rest
// of a longer line only needs to be copied, never examined.
constexpr size_t kHeadBytes = 2048;
constexpr size_t kValueBytes = 2048;
constexpr size_t kChunkBytes = 8192;
// Links are followed at most this deep, as the kernel does.
constexpr int kMaxLinkDepth = 40;

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

// One line of the file: where it lies, where its parts begin, and the first
// bytes of its name and of its value. Offsets count from the line's start;
// -1 means "none".
struct Line {
    char head[kHeadBytes];   // from the first non-blank byte on
    size_t headLength;
    char value[kValueBytes]; // from the first non-blank byte after the first "="
    size_t valueLength;
    off_t start;             // file offset of the line
    off_t textLength;        // bytes without the "\n"
    off_t length;            // bytes with the "\n", if any
    off_t indent;            // the first non-blank byte
    off_t equals;            // the first "="
    off_t nameEnd;           // one past the last non-blank byte before the first "="
    off_t valueStart;        // the first non-blank byte after the first "="
    off_t lastClose;         // the last "]"
    off_t lastNonBlank;
    char lastNonBlankByte;
    char lastByte;           // of the text, "\r" for a line ending in "\r\n"
    bool terminated;         // ends in "\n" or a lone "\r"
    bool loneReturn;         // ends in a "\r" that no "\n" follows

    bool EndsInCarriageReturn() const { return textLength > 0 && lastByte == '\r'; }
    // Text inserted after this line must first end it: a lone "\r" is
    // completed with "\n", a last line without its break gets the file's.
    bool NeedsBreakAfter() const { return !terminated || loneReturn; }
};

void TakeByte(Line &line, char c) {
    const off_t at = line.textLength++;
    line.lastByte = c;
    if (c == ']') line.lastClose = at;
    if (c == '=' && line.equals < 0) {
        line.equals = at;
    } else if (!IsBlank(c)) {
        if (line.equals < 0) line.nameEnd = at + 1;
        else if (line.valueStart < 0) line.valueStart = at;
    }
    if (!IsBlank(c)) {
        if (line.indent < 0) line.indent = at;
        line.lastNonBlank = at;
        line.lastNonBlankByte = c;
    }
    if (line.indent >= 0 && line.headLength < kHeadBytes) line.head[line.headLength++] = c;
    if (line.valueStart >= 0 && line.valueLength < kValueBytes) line.value[line.valueLength++] = c;
}

// A UTF-8 byte-order mark, as some Windows editors save one, is not part of
// the first line's text; Windows reads a section name right after it.
bool SkipByteOrderMark(Reader &reader) {
    if (reader.position == reader.available && !Refill(reader)) return false;
    if (reader.available - reader.position < 3 || memcmp(reader.chunk + reader.position, "\xEF\xBB\xBF", 3) != 0)
        return false;
    reader.position += 3;
    return true;
}

bool ReadLine(Reader &reader, Line &line, off_t start) {
    line.headLength = 0;
    line.valueLength = 0;
    line.start = start;
    line.textLength = 0;
    line.indent = line.equals = line.nameEnd = line.valueStart = line.lastClose = line.lastNonBlank = -1;
    line.lastNonBlankByte = '\0';
    line.lastByte = '\0';
    line.terminated = false;
    line.loneReturn = false;
    if (start == 0 && SkipByteOrderMark(reader)) line.textLength = 3;
    for (;;) {
        if (reader.position == reader.available && !Refill(reader)) break;
        const char c = reader.chunk[reader.position++];
        if (c == '\n') {
            line.terminated = true;
            break;
        }
        if (c == '\r') {
            const bool lineFeedFollows = (reader.position < reader.available || Refill(reader)) &&
                                         reader.chunk[reader.position] == '\n';
            if (!lineFeedFollows) {
                line.terminated = line.loneReturn = true;
                break;
            }
        }
        TakeByte(line, c);
    }
    line.length = line.textLength + (line.terminated ? 1 : 0);
    return line.length > 0;
}

enum class LineKind { Other, Section, Key };

// What a line is. A name that does not fit into the head is longer than any
// name looked for, so it is kept as null and never matches.
struct ParsedLine {
    LineKind kind;
    const char *name; // section or key name, inside the head
    size_t nameLength;
    bool hasValue;    // a key with "="
};

ParsedLine ParseLine(const Line &line) {
    ParsedLine parsed{LineKind::Other, nullptr, 0, false};
    if (line.indent < 0) return parsed;
    const char *head = line.head;
    if (head[0] == '[' && line.lastClose > line.indent) {
        // "[name]": the name runs to the last "]" of the line, without the
        // blanks inside the brackets.
        parsed.kind = LineKind::Section;
        if (line.lastClose - line.indent > static_cast<off_t>(line.headLength)) return parsed;
        size_t first = 1;
        size_t end = static_cast<size_t>(line.lastClose - line.indent);
        while (first < end && IsBlank(head[first])) ++first;
        while (end > first && IsBlank(head[end - 1])) --end;
        parsed.name = head + first;
        parsed.nameLength = end - first;
        return parsed;
    }
    if (line.nameEnd <= line.indent) return parsed; // "=value": no name
    parsed.kind = LineKind::Key;
    parsed.nameLength = static_cast<size_t>(line.nameEnd - line.indent);
    if (parsed.nameLength <= line.headLength) parsed.name = head;
    parsed.hasValue = line.equals >= 0;
    return parsed;
}

bool NameIs(const ParsedLine &parsed, const char *name) {
    return parsed.name && parsed.nameLength == strlen(name) && strncasecmp(parsed.name, name, parsed.nameLength) == 0;
}

uint32_t CopyText(char *buffer, uint32_t size, const char *text, size_t length) {
    if (size == 0) return 0;
    if (length > size - 1) length = size - 1;
    memcpy(buffer, text, length);
    buffer[length] = '\0';
    return static_cast<uint32_t>(length);
}

// The value of a key line: trimmed, enclosing quotation marks dropped. It
// may begin anywhere in the line; its first kValueBytes bytes were kept.
uint32_t CopyValue(const Line &line, char *buffer, uint32_t size) {
    if (line.valueStart < 0) return CopyText(buffer, size, "", 0);
    size_t from = 0;
    size_t length = static_cast<size_t>(line.lastNonBlank + 1 - line.valueStart);
    if (length >= 2 && IsQuotationMark(line.value[0]) && line.lastNonBlankByte == line.value[0]) {
        from = 1;
        length -= 2;
    }
    if (from + length > line.valueLength) length = line.valueLength - from;
    return CopyText(buffer, size, line.value + from, length);
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
    bool insertNeedsBreak;  // the line before the insertion point is not ended
    bool insertAfterReturn; // ... but by a lone "\r", so "\n" completes it
    bool crlf;              // the file's lines end in "\r\n" (or "\r")
    off_t fileLength;
};

void InsertAfter(WritePlan &plan, const Line &line) {
    plan.replaceFrom = plan.replaceTo = line.start + line.length;
    plan.insertNeedsBreak = line.NeedsBreakAfter();
    plan.insertAfterReturn = line.loneReturn;
}

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
            plan.crlf = line.EndsInCarriageReturn() || line.loneReturn;
        }
        // Until the section is found, the insertion point follows the lines:
        // a missing section goes after the file's last line, and a key of the
        // section found goes at least after its "[name]" line.
        if (!plan.sectionFound) InsertAfter(plan, line);
        const ParsedLine parsed = ParseLine(line);
        if (parsed.kind == LineKind::Section) {
            inSection = !plan.sectionFound && NameIs(parsed, section);
            if (inSection) plan.sectionFound = true;
            continue;
        }
        if (!inSection || plan.keyFound) continue;
        if (parsed.kind == LineKind::Key && NameIs(parsed, key)) {
            plan.keyFound = true;
            // The value's place runs from after "=" to the end of the text;
            // a "\r" of the line's end stays.
            const off_t textEnd = line.start + line.textLength - (line.EndsInCarriageReturn() ? 1 : 0);
            plan.keyNeedsName = !parsed.hasValue;
            plan.replaceFrom = parsed.hasValue ? line.start + line.equals + 1 : line.start;
            plan.replaceTo = textEnd;
            continue;
        }
        if (line.lastNonBlank >= 0) InsertAfter(plan, line);
    }
    plan.fileLength = offset;
    return !reader.failed;
}

// The text that takes the place of [replaceFrom, replaceTo), in pieces
// written one after the other: at most a line break, "[", the section, "]",
// a line break, the key, "=", the value and a line break.
struct Insertion {
    const char *pieces[9];
    size_t lengths[9];
    int count;
    off_t length;
};

void Add(Insertion &insertion, const char *text) {
    insertion.pieces[insertion.count] = text;
    insertion.lengths[insertion.count] = strlen(text);
    insertion.length += static_cast<off_t>(insertion.lengths[insertion.count]);
    ++insertion.count;
}

Insertion PlanInsertion(const WritePlan &plan, const char *section, const char *key, const char *value) {
    Insertion insertion{};
    const char *lineBreak = plan.crlf ? "\r\n" : "\n";
    if (plan.keyFound) {
        if (plan.keyNeedsName) {
            Add(insertion, key);
            Add(insertion, "=");
        }
        Add(insertion, value);
        return insertion;
    }
    if (plan.insertNeedsBreak) Add(insertion, plan.insertAfterReturn ? "\n" : lineBreak);
    if (!plan.sectionFound) {
        Add(insertion, "[");
        Add(insertion, section);
        Add(insertion, "]");
        Add(insertion, lineBreak);
    }
    Add(insertion, key);
    Add(insertion, "=");
    Add(insertion, value);
    Add(insertion, lineBreak);
    return insertion;
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

bool WriteInsertion(int fd, const Insertion &insertion) {
    for (int i = 0; i < insertion.count; ++i)
        if (!WriteAll(fd, insertion.pieces[i], insertion.lengths[i])) return false;
    return true;
}

// Copies `count` bytes from the reader to `out` (out < 0: skips them).
bool Transfer(Reader &reader, int out, off_t count) {
    while (count > 0) {
        if (reader.position == reader.available && !Refill(reader)) {
            if (!reader.failed) errno = EIO; // the file shrank while it was read
            return false;
        }
        size_t take = reader.available - reader.position;
        if (static_cast<off_t>(take) > count) take = static_cast<size_t>(count);
        if (out >= 0 && !WriteAll(out, reader.chunk + reader.position, take)) return false;
        reader.position += take;
        count -= static_cast<off_t>(take);
    }
    return true;
}

bool WriteNewFile(int in, int out, const WritePlan &plan, const Insertion &insertion) {
    static Reader reader;
    OpenReader(reader, in);
    return Transfer(reader, out, plan.replaceFrom) && Transfer(reader, -1, plan.replaceTo - plan.replaceFrom) &&
           WriteInsertion(out, insertion) && Transfer(reader, out, plan.fileLength - plan.replaceTo);
}

// A new file beside `path`, with a name of its own, for the rewrite.
int CreateSibling(const char *path, char *siblingPath, size_t size) {
    static unsigned counter;
    for (int attempt = 0; attempt < 100; ++attempt) {
        const int n = snprintf(siblingPath, size, "%s.%ld.%u.tmp", path, static_cast<long>(getpid()), counter++);
        if (n < 0 || static_cast<size_t>(n) >= size) {
            errno = ENAMETOOLONG;
            return -1;
        }
        int fd;
        do fd = open(siblingPath, O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0666);
        while (fd < 0 && errno == EINTR);
        if (fd >= 0 || errno != EEXIST) return fd;
    }
    return -1;
}

// The new file takes the old one's permissions and place; it is gone again
// when anything fails.
bool ReplaceThroughSibling(int in, int out, const char *siblingPath, const char *target, const WritePlan &plan,
                           const Insertion &insertion) {
    struct stat status;
    bool ok = WriteNewFile(in, out, plan, insertion);
    if (ok && in >= 0) ok = fstat(in, &status) == 0 && fchmod(out, status.st_mode & 07777) == 0;
    ok = ok && fsync(out) == 0;
    const int closed = close(out);
    ok = ok && closed == 0 && rename(siblingPath, target) == 0;
    if (!ok) {
        const int error = errno;
        unlink(siblingPath);
        errno = error;
    }
    return ok;
}

bool ReadAllAt(int fd, char *data, size_t count, off_t offset) {
    while (count > 0) {
        const ssize_t done = pread(fd, data, count, offset);
        if (done < 0 && errno == EINTR) continue;
        if (done == 0) errno = EIO; // the file shrank under us
        if (done <= 0) return false;
        data += done;
        offset += done;
        count -= static_cast<size_t>(done);
    }
    return true;
}

// `wrote` is set once any byte has reached the file.
bool WriteAllAt(int fd, const char *data, size_t count, off_t offset, bool &wrote) {
    while (count > 0) {
        const ssize_t done = pwrite(fd, data, count, offset);
        if (done < 0 && errno == EINTR) continue;
        if (done <= 0) return false;
        wrote = true;
        data += done;
        offset += done;
        count -= static_cast<size_t>(done);
    }
    return true;
}

// Moves `count` bytes of the file from `from` to `to`; the two ranges may
// overlap, so a move towards the end starts with the last chunk.
bool MoveBytes(int fd, off_t from, off_t to, off_t count, bool &wrote) {
    static char chunk[kChunkBytes];
    if (from == to) return true;
    for (off_t done = 0; done < count;) {
        const size_t take = count - done < static_cast<off_t>(sizeof chunk) ? static_cast<size_t>(count - done)
                                                                             : sizeof chunk;
        const off_t at = to > from ? count - done - static_cast<off_t>(take) : done;
        if (!ReadAllAt(fd, chunk, take, from + at) || !WriteAllAt(fd, chunk, take, to + at, wrote)) return false;
        done += static_cast<off_t>(take);
    }
    return true;
}

// The save for a file that may be written in a directory that may not: the
// bytes after the changed value are moved, the new text written between.
// The room a longer file needs is reserved first, so a full disk fails
// before anything has changed; a failure before the first byte is written
// gives that room back and leaves the file as it was.
bool RewriteInPlace(const char *target, const WritePlan &plan, const Insertion &insertion) {
    int fd;
    do fd = open(target, O_RDWR | O_CREAT | O_CLOEXEC, 0666);
    while (fd < 0 && errno == EINTR);
    if (fd < 0) return false;
    const off_t tailLength = plan.fileLength - plan.replaceTo;
    const off_t newLength = plan.replaceFrom + insertion.length + tailLength;
    bool ok = true;
    bool wrote = false;
    if (newLength > plan.fileLength) {
        const int error = posix_fallocate(fd, 0, newLength);
        if (error != 0) {
            ok = false;
            errno = error;
        }
    }
    ok = ok && MoveBytes(fd, plan.replaceTo, plan.replaceFrom + insertion.length, tailLength, wrote);
    off_t at = plan.replaceFrom;
    for (int i = 0; ok && i < insertion.count; ++i) {
        ok = WriteAllAt(fd, insertion.pieces[i], insertion.lengths[i], at, wrote);
        at += static_cast<off_t>(insertion.lengths[i]);
    }
    if (!ok && !wrote && newLength > plan.fileLength) {
        const int error = errno;
        if (ftruncate(fd, plan.fileLength) != 0) {} // only the reservation was made
        errno = error;
    }
    if (ok && newLength < plan.fileLength) ok = ftruncate(fd, newLength) == 0;
    ok = ok && fsync(fd) == 0;
    const int error = errno;
    close(fd);
    errno = error;
    return ok;
}

// The file that `path` finally names. Symbolic links are followed, also to a
// target that does not exist yet, which the save then creates.
bool FollowLinks(const char *path, char *target, size_t size) {
    if (strlen(path) >= size) {
        errno = ENAMETOOLONG;
        return false;
    }
    strcpy(target, path);
    for (int depth = 0; depth < kMaxLinkDepth; ++depth) {
        char link[PATH_MAX];
        const ssize_t length = readlink(target, link, sizeof link);
        // Not a link, or nothing there yet: this is the file. A link that
        // cannot be read is not taken for a file, which would replace it.
        if (length < 0) return errno == EINVAL || errno == ENOENT;
        if (static_cast<size_t>(length) >= sizeof link) {
            errno = ENAMETOOLONG;
            return false;
        }
        // A relative link is relative to the directory that holds it.
        const char *slash = strrchr(target, '/');
        const size_t keep = link[0] == '/' || !slash ? 0 : static_cast<size_t>(slash - target) + 1;
        if (keep + static_cast<size_t>(length) >= size) {
            errno = ENAMETOOLONG;
            return false;
        }
        memcpy(target + keep, link, static_cast<size_t>(length));
        target[keep + static_cast<size_t>(length)] = '\0';
    }
    errno = ELOOP;
    return false;
}

// The directory may not be written, or the sibling's name is too long for
// it: the only reasons to give up the atomic save for one in place. Any
// other failure (no descriptors, no space) is reported as it is.
bool SiblingIsRefused(int error) { return error == EACCES || error == EPERM || error == ENAMETOOLONG; }

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
            // Only the first section of that name counts, as on Windows.
            if (inSection) break;
            inSection = NameIs(parsed, section);
        } else if (inSection && parsed.kind == LineKind::Key && NameIs(parsed, key)) {
            if (!parsed.hasValue) break;
            CloseFile(fd);
            return CopyValue(line, buffer, size);
        }
    }
    CloseFile(fd);
    return CopyText(buffer, size, defaultValue, strlen(defaultValue));
}

bool ProfileWriteString(const char *section, const char *key, const char *value, const char *path) {
    // A line break in a name or value would change the meaning of the lines
    // after it.
    if (HasLineBreak(section) || HasLineBreak(key) || HasLineBreak(value) || path[0] == '\0') {
        errno = EINVAL;
        return false;
    }
    char target[PATH_MAX];
    if (!FollowLinks(path, target, sizeof target)) return false;
    const int in = OpenForReading(target);
    if (in < 0 && errno != ENOENT) return false;
    // A file that may not be written is not replaced, as on Windows.
    WritePlan plan;
    bool ok = (in < 0 || faccessat(AT_FDCWD, target, W_OK, AT_EACCESS) == 0) && PlanWrite(in, section, key, plan) &&
              (in < 0 || lseek(in, 0, SEEK_SET) == 0);
    if (ok) {
        const Insertion insertion = PlanInsertion(plan, section, key, value);
        char siblingPath[PATH_MAX + 32];
        const int out = CreateSibling(target, siblingPath, sizeof siblingPath);
        ok = out >= 0 ? ReplaceThroughSibling(in, out, siblingPath, target, plan, insertion)
                      : SiblingIsRefused(errno) && RewriteInPlace(target, plan, insertion);
    }
    const int error = errno;
    CloseFile(in);
    errno = error;
    return ok;
}

} // namespace platform
