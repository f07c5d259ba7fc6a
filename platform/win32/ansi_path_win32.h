// Paths the system hands out in wide characters, for the module's ANSI calls.
// Only platform/win32/ includes this.
#pragma once

#include <cstdint>

namespace platform {

// Room for a wide path as the system hands it out: MAX_PATH characters and
// the terminator.
constexpr uint32_t kWidePathChars = 261;

// WideCharToMultiByte(CP_ACP, WC_NO_BEST_FIT_CHARS), then GetShortPathNameW:
// `path` as the ANSI code page writes it, into `buffer` (`size` bytes). A
// path whose every character has an exact ANSI form that fits is kept as it
// is. A path that would lose characters (a "?" or a best-fit look-alike in
// their place), or whose exact form does not fit (double-byte characters), is
// taken in its short 8.3 form instead, which must exist and is plain ASCII
// where the volume has short names. Returns the length, or 0 on
// failure (buffer then empty): LastError is ERROR_NO_UNICODE_TRANSLATION
// when neither form can be written in the code page, ERROR_BUFFER_OVERFLOW
// when the form that can does not fit into size - 1 characters, or what
// GetShortPathNameW failed with.
uint32_t AnsiPathFromWide(const wchar_t *path, char *buffer, uint32_t size);

// The first conversion of AnsiPathFromWide alone, of `length` units of
// `text`, into `buffer` (`size` bytes, no terminator added): the number of
// bytes, or 0 where a character has no exact ANSI form or the result does
// not fit.
uint32_t ExactAnsi(const wchar_t *text, uint32_t length, char *buffer, uint32_t size);

} // namespace platform
