// Our stand-in for the Windows private-profile (INI) service.
//
// The file is read as a stream of lines with fixed buffers, so a file of any
// size and lines of any length are handled without allocation:
//   - Lines end in "\n", "\r\n" or a lone "\r", as Windows reads them; a
//     UTF-8 byte-order mark before the first line is skipped.
//   - Blanks are those of IsProfileBlank (platform.h), as Windows has them.
//   - "[name]" (after leading blanks) starts a section; the name runs to the
//     last "]" of the line, trimmed of blanks. Only the first section of a
//     name counts.
//   - "key=value" is a key; key and value are trimmed of blanks, and a value
//     enclosed in a pair of the same quotation marks loses them on reading.
//   - A line without "=" is a key without a value (reading gives the
//     default); every other line is left alone.
//   - Section and key names match without regard to case; the first match
//     counts.
// A section is read as its non-blank lines, each trimmed of blanks, whatever
// they hold (comments and lines without "=" too), and written by replacing
// all of its lines; lines that would split or end it are refused (EINVAL).
// Writing plans the change here, in one pass over the old file: every byte
// outside the changed value (or section's lines) stays as it was. How the
// change reaches the disk (atomically through a new file, or in place) is
// file_replace_posix.cpp's part.
#include <cerrno>
#include <climits>
#include <cstring>
#include <fcntl.h>
#include <strings.h>
#include <unistd.h>

#include "platform/platform.h"
#include "platform/posix/file_replace_posix.h"

namespace platform {

namespace {

// The first bytes of a line's name and of its value that are kept. Names of
// interest are short and values are read cut to 259 characters, so the rest
// of a longer line only needs to be copied, never examined.
constexpr size_t kHeadBytes = 2048;
constexpr size_t kValueBytes = 2048;
constexpr size_t kChunkBytes = 8192;

// The "\r" of a "\r\n" line end is the last byte of a line's text; it is
// never part of a name or a value.
bool IsBlank(char c) { return IsProfileBlank(c) || c == '\r'; }
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

// The file's first line end decides the line break of the lines written.
void NoteLineEnd(const Line &line, bool &sawLineEnd, WritePlan &plan) {
    if (!line.terminated || sawLineEnd) return;
    sawLineEnd = true;
    plan.crlf = line.EndsInCarriageReturn() || line.loneReturn;
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
        NoteLineEnd(line, sawLineEnd, plan);
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
void Add(FileEdit &edit, const char *text) {
    edit.pieces[edit.count] = text;
    edit.lengths[edit.count] = strlen(text);
    edit.length += static_cast<off_t>(edit.lengths[edit.count]);
    ++edit.count;
}

FileEdit PlanEdit(const WritePlan &plan, const char *section, const char *key, const char *value) {
    FileEdit edit{};
    edit.replaceFrom = plan.replaceFrom;
    edit.replaceTo = plan.replaceTo;
    edit.fileLength = plan.fileLength;
    const char *lineBreak = plan.crlf ? "\r\n" : "\n";
    if (plan.keyFound) {
        if (plan.keyNeedsName) {
            Add(edit, key);
            Add(edit, "=");
        }
        Add(edit, value);
        return edit;
    }
    if (plan.insertNeedsBreak) Add(edit, plan.insertAfterReturn ? "\n" : lineBreak);
    if (!plan.sectionFound) {
        Add(edit, "[");
        Add(edit, section);
        Add(edit, "]");
        Add(edit, lineBreak);
    }
    Add(edit, key);
    Add(edit, "=");
    Add(edit, value);
    Add(edit, lineBreak);
    return edit;
}

bool HasLineBreak(const char *text) { return strchr(text, '\n') || strchr(text, '\r'); }

// ---- Sections --------------------------------------------------------------

// The longest text a section write makes: its lines, each with the file's
// line break. The settings' [Environment] takes at most 32 KiB.
constexpr size_t kSectionTextBytes = 65536;

// A line of a section, from its first to its last non-blank byte, into
// `target`: from the head where it fits there, else read again from the file.
bool CopyLineText(int fd, const Line &line, char *target) {
    const size_t length = static_cast<size_t>(line.lastNonBlank + 1 - line.indent);
    if (length <= line.headLength) {
        memcpy(target, line.head, length);
        return true;
    }
    off_t at = line.start + line.indent;
    for (size_t done = 0; done < length;) {
        const ssize_t got = pread(fd, target + done, length - done, at);
        if (got < 0 && errno == EINTR) continue;
        if (got <= 0) return false;
        done += static_cast<size_t>(got);
        at += got;
    }
    return true;
}

// A line break in a line would split it, and a line that reads as "[name]"
// would end the section early and give its later lines to another one.
bool LinesKeepTheirMeaning(const char *lines) {
    for (const char *line = lines; *line; line += strlen(line) + 1) {
        if (HasLineBreak(line)) return false;
        const char *first = line;
        while (IsBlank(*first)) ++first;
        if (*first == '[' && strchr(first + 1, ']')) return false;
    }
    return true;
}

// The lines, each ended by the file's line break, into `text`. E2BIG when
// they do not fit.
bool JoinLines(const char *lines, bool crlf, char *text, size_t size) {
    const char *lineBreak = crlf ? "\r\n" : "\n";
    const size_t breakLength = strlen(lineBreak);
    size_t at = 0;
    for (const char *line = lines; *line; line += strlen(line) + 1) {
        const size_t length = strlen(line);
        if (length + breakLength >= size - at) {
            errno = E2BIG;
            return false;
        }
        memcpy(text + at, line, length);
        memcpy(text + at + length, lineBreak, breakLength);
        at += length + breakLength;
    }
    text[at] = '\0';
    return true;
}

// Where the section's lines stand: from after its "[name]" line to the end
// of its last non-blank line, so that blank lines before the next section
// stay. A missing section goes after the file's last line.
bool PlanSectionWrite(int fd, const char *section, WritePlan &plan) {
    static Reader reader;
    static Line line;
    plan = WritePlan{};
    OpenReader(reader, fd);
    bool inSection = false;
    bool sawLineEnd = false;
    off_t offset = 0;
    while (ReadLine(reader, line, offset)) {
        offset += line.length;
        NoteLineEnd(line, sawLineEnd, plan);
        const ParsedLine parsed = ParseLine(line);
        if (parsed.kind == LineKind::Section) {
            inSection = !plan.sectionFound && NameIs(parsed, section);
            if (inSection) plan.sectionFound = true;
            if (!plan.sectionFound || inSection) InsertAfter(plan, line);
            continue;
        }
        if (!plan.sectionFound) InsertAfter(plan, line);
        else if (inSection && line.lastNonBlank >= 0) plan.replaceTo = line.start + line.length;
    }
    plan.fileLength = offset;
    return !reader.failed;
}

FileEdit PlanSectionEdit(const WritePlan &plan, const char *section, const char *text) {
    FileEdit edit{};
    edit.replaceFrom = plan.replaceFrom;
    edit.replaceTo = plan.replaceTo;
    edit.fileLength = plan.fileLength;
    const char *lineBreak = plan.crlf ? "\r\n" : "\n";
    if (plan.sectionFound && text[0] == '\0') return edit;
    if (plan.insertNeedsBreak) Add(edit, plan.insertAfterReturn ? "\n" : lineBreak);
    if (!plan.sectionFound) {
        Add(edit, "[");
        Add(edit, section);
        Add(edit, "]");
        Add(edit, lineBreak);
    }
    Add(edit, text);
    return edit;
}

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
    const int in = OpenFileToEdit(target);
    if (in < 0 && errno != ENOENT) return false;
    WritePlan plan;
    const bool ok = PlanWrite(in, section, key, plan) &&
                    ReplaceFileContent(target, in, PlanEdit(plan, section, key, value));
    const int error = errno;
    CloseFile(in);
    errno = error;
    return ok;
}

uint32_t ProfileReadSection(const char *section, char *buffer, uint32_t size, const char *path) {
    static Reader reader;
    static Line line;
    if (size < 2) {
        if (size == 1) buffer[0] = '\0';
        return 0;
    }
    const int fd = OpenForReading(path);
    OpenReader(reader, fd);
    bool inSection = false;
    bool cut = false;
    bool failed = false;
    uint32_t used = 0; // the bytes of the lines stored so far, their zeros included
    off_t offset = 0;
    while (fd >= 0 && ReadLine(reader, line, offset)) {
        offset += line.length;
        const ParsedLine parsed = ParseLine(line);
        if (parsed.kind == LineKind::Section) {
            // Only the first section of that name counts, as for a key.
            if (inSection) break;
            inSection = NameIs(parsed, section);
            continue;
        }
        if (!inSection || line.lastNonBlank < 0) continue;
        const off_t length = line.lastNonBlank + 1 - line.indent;
        // The line, its zero byte and the final one must fit.
        if (length + 2 > static_cast<off_t>(size) - static_cast<off_t>(used)) {
            cut = true;
            break;
        }
        if (!CopyLineText(fd, line, buffer + used)) {
            failed = true;
            break;
        }
        used += static_cast<uint32_t>(length);
        buffer[used++] = '\0';
    }
    CloseFile(fd);
    // A section that could not be read whole is given as empty rather than
    // with lines missing, which a save would then drop.
    if (failed || reader.failed) used = 0;
    buffer[used] = '\0';
    if (used == 0) buffer[1] = '\0';
    return cut && !failed && !reader.failed ? size - 2 : used;
}

bool ProfileWriteSection(const char *section, const char *lines, const char *path) {
    if (HasLineBreak(section) || path[0] == '\0' || !LinesKeepTheirMeaning(lines)) {
        errno = EINVAL;
        return false;
    }
    char target[PATH_MAX];
    if (!FollowLinks(path, target, sizeof target)) return false;
    const int in = OpenFileToEdit(target);
    if (in < 0 && errno != ENOENT) return false;
    static char text[kSectionTextBytes];
    WritePlan plan;
    const bool ok = PlanSectionWrite(in, section, plan) && JoinLines(lines, plan.crlf, text, sizeof text) &&
                    ReplaceFileContent(target, in, PlanSectionEdit(plan, section, text));
    const int error = errno;
    CloseFile(in);
    errno = error;
    return ok;
}

} // namespace platform
