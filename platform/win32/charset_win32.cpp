// Character sets on Windows: the ANSI and OEM code pages and UTF-8, and
// conversions between them through UTF-16 with MultiByteToWideChar and
// WideCharToMultiByte, which never put a look-alike or "?" in place of a
// character unless the text is only to be shown.
#include <windows.h>

#include <cstdio>

#include "platform/platform.h"

namespace platform {

namespace {

// The text on its way through UTF-16: each byte makes at most one unit.
wchar_t g_Wide[kMaxConvertedBytes];

UINT CodePageOf(Charset charset) {
    switch (charset) {
    case Charset::Oem: return GetOEMCP();
    case Charset::Utf8: return CP_UTF8;
    default: return GetACP();
    }
}

// `length` bytes of `text` in code page `page` into g_Wide. Returns the
// number of units, or -1 when the text holds bytes the page does not define
// (lossy: those become U+FFFD or the page's default instead).
int ToWide(UINT page, const char *text, uint32_t length, bool lossy) {
    if (length == 0) return 0;
    const int units = MultiByteToWideChar(page, lossy ? 0 : MB_ERR_INVALID_CHARS, text, static_cast<int>(length),
                                          g_Wide, static_cast<int>(kMaxConvertedBytes));
    return units > 0 ? units : -1;
}

// Bytes the first `units` of g_Wide take in the target. A count that would
// end between the halves of a surrogate pair leaves the pair out.
int WholeUnits(int units) { return units > 0 && IS_HIGH_SURROGATE(g_Wide[units - 1]) ? units - 1 : units; }

int Measure(UINT page, DWORD flags, const char *defaultChar, int units) {
    return units == 0 ? 0 : WideCharToMultiByte(page, flags, g_Wide, units, nullptr, 0, defaultChar, nullptr);
}

// The most units of g_Wide whose conversion fits into `size` bytes: the
// result grows with the units, so it is found by halving.
int UnitsThatFit(UINT page, DWORD flags, const char *defaultChar, int units, uint32_t size) {
    int fits = 0, tooMany = units;
    while (tooMany - fits > 1) {
        const int middle = fits + (tooMany - fits) / 2;
        if (static_cast<uint32_t>(Measure(page, flags, defaultChar, WholeUnits(middle))) <= size)
            fits = middle;
        else
            tooMany = middle;
    }
    return WholeUnits(fits);
}

// `units` of g_Wide into code page `page`. Into a code page, best-fit
// look-alikes are refused and the default character is watched for; UTF-8
// takes neither flag and holds every character. Lossy: the default
// character is "?" and taken.
Conversion FromWide(UINT page, int units, char *buffer, uint32_t size, uint32_t *done, bool lossy) {
    *done = 0;
    if (units == 0) return Conversion::Done;
    const bool utf8 = page == CP_UTF8;
    const DWORD flags = utf8 ? 0 : WC_NO_BEST_FIT_CHARS;
    const char *const defaultChar = utf8 || !lossy ? nullptr : "?";
    BOOL usedDefault = FALSE;
    BOOL *const watch = utf8 || lossy ? nullptr : &usedDefault;
    const int needed = WideCharToMultiByte(page, flags, g_Wide, units, nullptr, 0, defaultChar, watch);
    if (needed <= 0 || usedDefault) return Conversion::Unrepresentable;
    Conversion result = Conversion::Done;
    if (static_cast<uint32_t>(needed) > size) {
        units = UnitsThatFit(page, flags, defaultChar, units, size);
        result = Conversion::TooLong;
    }
    if (units > 0)
        *done = static_cast<uint32_t>(WideCharToMultiByte(page, flags, g_Wide, units, buffer, static_cast<int>(size),
                                                          defaultChar, nullptr));
    return result;
}

} // namespace

CharsetKind DescribeCharset(Charset charset, char *name, uint32_t size) {
    if (charset == Charset::Utf8) {
        snprintf(name, size, "UTF-8");
        return CharsetKind::Utf8;
    }
    const UINT page = CodePageOf(charset);
    snprintf(name, size, "code page %u", page);
    if (charset == Charset::Oem && page == GetACP()) return CharsetKind::AsAnsi;
    return page == CP_UTF8 ? CharsetKind::Utf8 : CharsetKind::Other;
}

Conversion ConvertFromAnsi(Charset target, const char *text, uint32_t length, char *buffer, uint32_t size,
                           uint32_t *done) {
    *done = 0;
    const int units = ToWide(GetACP(), text, length, false);
    if (units < 0) return Conversion::Invalid;
    return FromWide(CodePageOf(target), units, buffer, size, done, false);
}

Conversion ConvertToAnsi(Charset source, const char *text, uint32_t length, char *buffer, uint32_t size,
                         uint32_t *done, bool lossy) {
    *done = 0;
    const int units = ToWide(CodePageOf(source), text, length, lossy);
    if (units < 0) return Conversion::Invalid;
    return FromWide(GetACP(), units, buffer, size, done, lossy);
}

uint32_t WholeAnsiCharacters(const char *text, uint32_t length, uint32_t limit) {
    if (length <= limit) return length;
    const UINT page = GetACP();
    uint32_t end = limit;
    if (page == CP_UTF8) {
        // A continuation byte at the cut belongs to the character before it.
        while (end > 0 && (static_cast<unsigned char>(text[end]) & 0xC0) == 0x80) --end;
        return end;
    }
    CPINFO info{};
    if (!GetCPInfo(page, &info) || info.MaxCharSize < 2) return limit;
    // A trail byte can look like a lead byte, so the characters are counted
    // from the start.
    for (uint32_t at = 0; at < limit;) {
        const uint32_t next = at + (IsDBCSLeadByteEx(page, static_cast<BYTE>(text[at])) ? 2 : 1);
        if (next > limit) return at;
        at = next;
    }
    return limit;
}

} // namespace platform
