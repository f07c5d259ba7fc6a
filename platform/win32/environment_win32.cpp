// The program's own environment on Windows: a wide copy of the host's,
// which the settings change, in a static block of the module's own.
#include <windows.h>

#include <cstring>

#include "platform/platform.h"
#include "platform/win32/internal_win32.h"

namespace platform {

namespace {

// The entries, each ended by a zero, then one more zero; g_Used counts that
// last zero too. The unit past the bound keeps an empty block's second zero,
// which CreateProcess needs.
wchar_t g_Block[kEnvironmentBlockChars + 1];
uint32_t g_Used = 1;
// The value being made.
wchar_t g_Value[kEnvironmentValueChars];
uint32_t g_ValueLength;
// The name of the variable a call names, converted; as long as a value may be.
wchar_t g_Name[kEnvironmentValueChars];
uint32_t g_NameLength;

void ClearBlock() {
    g_Used = 1;
    g_Block[0] = g_Block[1] = L'\0';
}

// `length` ANSI bytes of `text` into `buffer`, which has room for `room`
// units; `made` gets the units. A zero byte would end an entry early and
// counts as invalid, as does a byte that is no character of the code page.
EnvironmentStatus Widen(const char *text, uint32_t length, wchar_t *buffer, uint32_t room, uint32_t *made) {
    *made = 0;
    if (length == 0) return EnvironmentStatus::Done;
    if (memchr(text, '\0', length) != nullptr) return EnvironmentStatus::Invalid;
    // A unit is made of three bytes at most (UTF-8): a longer text cannot fit.
    if (length / 3 > room) return EnvironmentStatus::TooLong;
    const int needed = MultiByteToWideChar(CP_ACP, MB_ERR_INVALID_CHARS, text, static_cast<int>(length), nullptr, 0);
    if (needed <= 0) return EnvironmentStatus::Invalid;
    if (static_cast<uint32_t>(needed) > room) return EnvironmentStatus::TooLong;
    MultiByteToWideChar(CP_ACP, MB_ERR_INVALID_CHARS, text, static_cast<int>(length), buffer, needed);
    *made = static_cast<uint32_t>(needed);
    return EnvironmentStatus::Done;
}

// A name into g_Name: one that is empty or holds "=" past its first
// character ("=C:" names the hidden current directory of drive C) could
// not be told from its value.
EnvironmentStatus TakeName(const char *name, uint32_t length) {
    const EnvironmentStatus status = Widen(name, length, g_Name, kEnvironmentValueChars, &g_NameLength);
    if (status != EnvironmentStatus::Done) return status;
    if (g_NameLength == 0) return EnvironmentStatus::Invalid;
    for (uint32_t i = 1; i < g_NameLength; ++i)
        if (g_Name[i] == L'=') return EnvironmentStatus::Invalid;
    return EnvironmentStatus::Done;
}

uint32_t EntryLength(uint32_t at) { return static_cast<uint32_t>(wcslen(g_Block + at)); }

// The name of the entry at `at` ends at its first "=" past the first unit.
uint32_t NameLength(uint32_t at) {
    uint32_t length = 1;
    while (g_Block[at + length] != L'\0' && g_Block[at + length] != L'=') ++length;
    return length;
}

// The names compare as Windows compares variable names: ordinal, through
// the system's upper-case table (CSTR_LESS_THAN, CSTR_EQUAL, CSTR_GREATER_THAN).
int CompareWithName(uint32_t at, const wchar_t *name, uint32_t length) {
    return CompareStringOrdinal(g_Block + at, static_cast<int>(NameLength(at)), name, static_cast<int>(length), TRUE);
}

// The entry named `name`: true with its offset in `at`; false with the offset
// a new one is put at in `at`, before the first entry whose name sorts after
// it, so that a sorted block stays sorted and the host's order is kept.
bool FindEntry(const wchar_t *name, uint32_t length, uint32_t *at) {
    bool placed = false;
    for (uint32_t entry = 0; g_Block[entry] != L'\0'; entry += EntryLength(entry) + 1) {
        const int order = CompareWithName(entry, name, length);
        if (order == CSTR_EQUAL) {
            *at = entry;
            return true;
        }
        if (order == CSTR_GREATER_THAN && !placed) {
            *at = entry;
            placed = true;
        }
    }
    if (!placed) *at = g_Used - 1;
    return false;
}

// Replaces the `removed` units at `at` by "NAME=value" and its zero (nothing
// for an empty value), moving the rest of the block.
EnvironmentStatus Splice(uint32_t at, uint32_t removed) {
    const uint32_t added = g_ValueLength ? g_NameLength + 1 + g_ValueLength + 1 : 0;
    if (g_Used - removed + added > kEnvironmentBlockChars) return EnvironmentStatus::Full;
    memmove(g_Block + at + added, g_Block + at + removed, (g_Used - at - removed) * sizeof(wchar_t));
    if (added) {
        wchar_t *entry = g_Block + at;
        memcpy(entry, g_Name, g_NameLength * sizeof(wchar_t));
        entry[g_NameLength] = L'=';
        memcpy(entry + g_NameLength + 1, g_Value, g_ValueLength * sizeof(wchar_t));
        entry[added - 1] = L'\0';
    }
    g_Used = g_Used - removed + added;
    g_Block[g_Used] = L'\0';
    return EnvironmentStatus::Done;
}

// The value of the entry named by `length` units of `name`, or null.
const wchar_t *FindValue(const wchar_t *name, uint32_t length, uint32_t *valueLength) {
    uint32_t at = 0;
    if (!FindEntry(name, length, &at)) return nullptr;
    const uint32_t nameLength = NameLength(at);
    const uint32_t entryLength = EntryLength(at);
    *valueLength = entryLength > nameLength ? entryLength - nameLength - 1 : 0;
    return g_Block + at + (entryLength > nameLength ? nameLength + 1 : nameLength);
}

} // namespace

// The host's block is copied as it stands, its order and the hidden "=C:"
// entries included, and the system's copy released at once.
EnvironmentStatus EnvironmentCopyHost() {
    g_ValueLength = 0;
    ClearBlock();
    wchar_t *const host = GetEnvironmentStringsW();
    if (!host) return EnvironmentStatus::Full;
    uint32_t units = 0;
    while (host[units] != L'\0' && units < kEnvironmentBlockChars)
        units += static_cast<uint32_t>(wcslen(host + units)) + 1;
    ++units; // the block's last zero
    const bool fits = units <= kEnvironmentBlockChars;
    if (fits) {
        memcpy(g_Block, host, units * sizeof(wchar_t));
        g_Used = units;
        g_Block[g_Used] = L'\0';
    }
    FreeEnvironmentStringsW(host);
    return fits ? EnvironmentStatus::Done : EnvironmentStatus::Full;
}

EnvironmentStatus EnvironmentAppendText(const char *text, uint32_t length) {
    uint32_t made = 0;
    const EnvironmentStatus status =
        Widen(text, length, g_Value + g_ValueLength, kEnvironmentValueChars - g_ValueLength, &made);
    g_ValueLength += made;
    return status;
}

EnvironmentStatus EnvironmentAppendValueOf(const char *name, uint32_t length) {
    const EnvironmentStatus status = TakeName(name, length);
    if (status != EnvironmentStatus::Done) return status;
    uint32_t valueLength = 0;
    const wchar_t *const value = FindValue(g_Name, g_NameLength, &valueLength);
    if (!value) return EnvironmentStatus::Unknown;
    if (valueLength > kEnvironmentValueChars - g_ValueLength) return EnvironmentStatus::TooLong;
    memcpy(g_Value + g_ValueLength, value, valueLength * sizeof(wchar_t));
    g_ValueLength += valueLength;
    return EnvironmentStatus::Done;
}

// A variable that is there keeps its place; a new one goes where its name
// sorts (see FindEntry). The value being made starts again empty, also
// after a failure.
EnvironmentStatus EnvironmentPut(const char *name, uint32_t length) {
    EnvironmentStatus status = TakeName(name, length);
    if (status == EnvironmentStatus::Done) {
        uint32_t at = 0;
        const bool present = FindEntry(g_Name, g_NameLength, &at);
        status = Splice(at, present ? EntryLength(at) + 1 : 0);
    }
    g_ValueLength = 0;
    return status;
}

wchar_t *EnvironmentBlock() { return g_Block; }

const wchar_t *EnvironmentValue(const wchar_t *name, uint32_t *length) {
    return FindValue(name, static_cast<uint32_t>(wcslen(name)), length);
}

} // namespace platform
