// The program's own environment on POSIX: a copy of `environ` in a static
// block, changed by the Environment calls of platform.h and handed to
// posix_spawn as envp. The host's `environ` is only ever read.
#include <cstring>

#include "platform/platform.h"
#include "platform/posix/run_posix_internal.h"

extern char **environ;

namespace platform {

namespace {

// The copy: "NAME=value" entries, each with its terminator, packed one after
// the other from the block's start, so that an entry replaced or removed
// leaves no gap and the block never runs out of room it does not use.
char g_Block[kEnvironmentBlockChars];
uint32_t g_BlockUsed;
uint32_t g_Count;

// envp for posix_spawn. A host with more variables than this is Full, as is
// one whose entries exceed the block; real environments hold a few hundred.
constexpr uint32_t kMaxVariables = 4096;
char *g_Pointers[kMaxVariables + 1];

// The value being made.
char g_Value[kEnvironmentValueChars + 1];
uint32_t g_ValueLength;

constexpr uint32_t kNone = UINT32_MAX;

// A name an entry can carry: "NAME=value" would give a name with "=" another
// meaning, and a zero byte would end the entry.
bool IsVariableName(const char *name, uint32_t length) {
    return length > 0 && !memchr(name, '=', length) && !memchr(name, '\0', length);
}

uint32_t EntrySize(uint32_t offset) { return static_cast<uint32_t>(strlen(g_Block + offset)) + 1; }

// The offset of the first entry at or after `from` that names the variable
// `length` bytes of `name` name (exactly, case included), or kNone.
uint32_t FindEntry(const char *name, uint32_t length, uint32_t from) {
    for (uint32_t offset = from; offset < g_BlockUsed; offset += EntrySize(offset))
        if (strncmp(g_Block + offset, name, length) == 0 && g_Block[offset + length] == '=') return offset;
    return kNone;
}

// Makes room for `size` bytes at `offset` in place of the entry of
// `oldSize` bytes there (0: none), moving the entries behind it.
void Resize(uint32_t offset, uint32_t oldSize, uint32_t size) {
    memmove(g_Block + offset + size, g_Block + offset + oldSize, g_BlockUsed - offset - oldSize);
    g_BlockUsed = g_BlockUsed - oldSize + size;
}

// Every entry of the variable after the first, at `first`, is dropped; an
// inherited environment may name one twice. Returns the bytes they took.
uint32_t DuplicateBytes(const char *name, uint32_t length, uint32_t first) {
    uint32_t bytes = 0;
    for (uint32_t at = FindEntry(name, length, first + EntrySize(first)); at != kNone;
         at = FindEntry(name, length, at + EntrySize(at)))
        bytes += EntrySize(at);
    return bytes;
}

void RemoveDuplicates(const char *name, uint32_t length, uint32_t first) {
    for (uint32_t at = FindEntry(name, length, first + EntrySize(first)); at != kNone;
         at = FindEntry(name, length, at)) {
        Resize(at, EntrySize(at), 0);
        --g_Count;
    }
}

// Removes every entry of the variable.
void RemoveVariable(const char *name, uint32_t length) {
    for (uint32_t at = FindEntry(name, length, 0); at != kNone; at = FindEntry(name, length, at)) {
        Resize(at, EntrySize(at), 0);
        --g_Count;
    }
}

// "NAME=value" of the value made, at `offset` in the room made for it.
void WriteEntry(uint32_t offset, const char *name, uint32_t length) {
    memcpy(g_Block + offset, name, length);
    g_Block[offset + length] = '=';
    memcpy(g_Block + offset + length + 1, g_Value, g_ValueLength);
    g_Block[offset + length + 1 + g_ValueLength] = '\0';
}

// The variable gets the value made: in place of its first entry, or as a new
// one at the end. Full, with nothing changed, when the block or the
// pointers would not hold it.
EnvironmentStatus PutValue(const char *name, uint32_t length) {
    const uint32_t size = length + 1 + g_ValueLength + 1;
    const uint32_t first = FindEntry(name, length, 0);
    if (first == kNone) {
        if (g_Count == kMaxVariables || size > kEnvironmentBlockChars - g_BlockUsed) return EnvironmentStatus::Full;
        WriteEntry(g_BlockUsed, name, length);
        g_BlockUsed += size;
        ++g_Count;
        return EnvironmentStatus::Done;
    }
    const uint32_t oldSize = EntrySize(first);
    const uint32_t left = g_BlockUsed - DuplicateBytes(name, length, first) - oldSize;
    if (size > kEnvironmentBlockChars - left) return EnvironmentStatus::Full;
    RemoveDuplicates(name, length, first);
    Resize(first, oldSize, size);
    WriteEntry(first, name, length);
    return EnvironmentStatus::Done;
}

} // namespace

// Every entry is copied as it stands, one without "=" too: the program is to
// see the host's environment as the host has it, but for the changes made.
EnvironmentStatus EnvironmentCopyHost() {
    g_BlockUsed = 0;
    g_Count = 0;
    g_ValueLength = 0;
    for (char **entry = environ; entry && *entry; ++entry) {
        const size_t size = strlen(*entry) + 1;
        if (g_Count == kMaxVariables || size > kEnvironmentBlockChars - g_BlockUsed) {
            g_BlockUsed = 0;
            g_Count = 0;
            return EnvironmentStatus::Full;
        }
        memcpy(g_Block + g_BlockUsed, *entry, size);
        g_BlockUsed += static_cast<uint32_t>(size);
        ++g_Count;
    }
    return EnvironmentStatus::Done;
}

EnvironmentStatus EnvironmentAppendText(const char *text, uint32_t length) {
    if (length == 0) return EnvironmentStatus::Done;
    if (memchr(text, '\0', length)) return EnvironmentStatus::Invalid;
    if (length > kEnvironmentValueChars - g_ValueLength) return EnvironmentStatus::TooLong;
    memcpy(g_Value + g_ValueLength, text, length);
    g_ValueLength += length;
    return EnvironmentStatus::Done;
}

EnvironmentStatus EnvironmentAppendValueOf(const char *name, uint32_t length) {
    const uint32_t entry = IsVariableName(name, length) ? FindEntry(name, length, 0) : kNone;
    if (entry == kNone) return EnvironmentStatus::Unknown;
    const char *const value = g_Block + entry + length + 1;
    return EnvironmentAppendText(value, static_cast<uint32_t>(strlen(value)));
}

EnvironmentStatus EnvironmentPut(const char *name, uint32_t length) {
    EnvironmentStatus status = EnvironmentStatus::Done;
    if (!IsVariableName(name, length))
        status = EnvironmentStatus::Invalid;
    else if (g_ValueLength == 0)
        RemoveVariable(name, length);
    else
        status = PutValue(name, length);
    g_ValueLength = 0;
    return status;
}

namespace internal {

const char *CopiedValueOf(const char *name) {
    const uint32_t length = static_cast<uint32_t>(strlen(name));
    const uint32_t entry = FindEntry(name, length, 0);
    return entry == kNone ? nullptr : g_Block + entry + length + 1;
}

char *const *CopiedEnvironment() {
    uint32_t count = 0;
    for (uint32_t offset = 0; offset < g_BlockUsed; offset += EntrySize(offset)) g_Pointers[count++] = g_Block + offset;
    g_Pointers[count] = nullptr;
    return g_Pointers;
}

} // namespace internal

} // namespace platform
