// Wide paths into the ANSI code page without losing characters.
#include "platform/win32/ansi_path_win32.h"

#include <windows.h>

namespace platform {

namespace {

enum class Conversion { Exact, Lossy, TooLong };

// One conversion of `path` into `buffer`. Best-fit look-alikes are refused
// and the default character is watched for. A UTF-8 code page represents
// every character but takes neither of those flags; there only broken
// surrogates fail.
// `length` is -1 for a zero-terminated path, whose terminator is converted
// and counted too.
Conversion ToAnsi(const wchar_t *path, int length, char *buffer, uint32_t size, int *made = nullptr) {
    const bool utf8 = GetACP() == CP_UTF8;
    const DWORD flags = utf8 ? WC_ERR_INVALID_CHARS : WC_NO_BEST_FIT_CHARS;
    BOOL usedDefault = FALSE;
    BOOL *const watch = utf8 ? nullptr : &usedDefault;
    // Measured first, so that a path too long for `buffer` is told apart
    // from one that cannot be written at all.
    const int needed = WideCharToMultiByte(CP_ACP, flags, path, length, nullptr, 0, nullptr, watch);
    if (needed <= 0 || usedDefault) return Conversion::Lossy;
    if (static_cast<uint32_t>(needed) > size) return Conversion::TooLong;
    WideCharToMultiByte(CP_ACP, flags, path, length, buffer, static_cast<int>(size), nullptr, nullptr);
    if (made) *made = needed;
    return Conversion::Exact;
}

} // namespace

uint32_t AnsiPathFromWide(const wchar_t *path, char *buffer, uint32_t size) {
    Conversion result = ToAnsi(path, -1, buffer, size);
    // The short form also serves a path whose exact form is too long: a
    // double-byte code page writes most CJK characters in two bytes, so a
    // path of 180 characters can take 318.
    if (result != Conversion::Exact) {
        wchar_t shortPath[kWidePathChars];
        const DWORD length = GetShortPathNameW(path, shortPath, kWidePathChars);
        if (length == 0) {
            if (size) buffer[0] = '\0';
            return 0; // LastError as GetShortPathNameW left it
        }
        result = length < kWidePathChars ? ToAnsi(shortPath, -1, buffer, size) : Conversion::TooLong;
    }
    if (result != Conversion::Exact) {
        if (size) buffer[0] = '\0';
        SetLastError(result == Conversion::Lossy ? ERROR_NO_UNICODE_TRANSLATION : ERROR_BUFFER_OVERFLOW);
        return 0;
    }
    return static_cast<uint32_t>(lstrlenA(buffer));
}

uint32_t ExactAnsi(const wchar_t *text, uint32_t length, char *buffer, uint32_t size) {
    int made = 0;
    if (length == 0 || length > 0x7FFFFFFF) return 0;
    const Conversion result = ToAnsi(text, static_cast<int>(length), buffer, size, &made);
    return result == Conversion::Exact ? static_cast<uint32_t>(made) : 0;
}

} // namespace platform
