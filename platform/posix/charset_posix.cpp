// Character sets on POSIX: the user's character set as the environment
// names it, and conversions through iconv. The host's own locale is neither
// read nor changed.
#include <iconv.h>
#include <langinfo.h>
#include <locale.h>
#include <strings.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "platform/platform.h"

namespace platform {

namespace {

constexpr size_t kCharsetNameSize = 64;
// What the C locale calls its set: it stands where the environment names a
// locale that does not exist, as setlocale(LC_ALL, "") would leave it.
const char kCLocaleCharset[] = "ANSI_X3.4-1968";

// The environment variables that decide the user's character set.
const char *const kLocaleVariables[] = {"LC_ALL", "LC_CTYPE", "LANG", "LOCPATH"};
constexpr int kLocaleVariableCount = sizeof kLocaleVariables / sizeof kLocaleVariables[0];
constexpr size_t kVariableChars = 255;

// The set found for the environment as it was last looked at: making a
// locale object costs some 50 microseconds, twice a run, so it is made
// again only when one of those variables has changed.
struct CharsetCache {
    bool Valid;
    bool Present[kLocaleVariableCount];
    char Values[kLocaleVariableCount][kVariableChars + 1];
    char Name[kCharsetNameSize];
    bool AsciiAsItIs; // the set's bytes 1 to 127 are ASCII's, as in UTF-8
};
CharsetCache g_Cache;

// Whether the environment is the one the cache was made for; a value too
// long to keep never is.
bool CacheFitsEnvironment() {
    if (!g_Cache.Valid) return false;
    for (int i = 0; i < kLocaleVariableCount; ++i) {
        const char *const value = getenv(kLocaleVariables[i]);
        if ((value != nullptr) != g_Cache.Present[i]) return false;
        if (value && (strnlen(value, kVariableChars + 1) > kVariableChars || strcmp(value, g_Cache.Values[i]) != 0))
            return false;
    }
    return true;
}

void RememberEnvironment() {
    g_Cache.Valid = true;
    for (int i = 0; i < kLocaleVariableCount; ++i) {
        const char *const value = getenv(kLocaleVariables[i]);
        g_Cache.Present[i] = value != nullptr;
        g_Cache.Values[i][0] = '\0';
        if (value) snprintf(g_Cache.Values[i], kVariableChars + 1, "%s", value);
    }
}

// Whether iconv takes the ASCII bytes to UTF-8 unchanged: true of almost
// every set, but not of SHIFT_JIS, which reads 0x5C as the yen sign.
bool AsciiAsItIs(const char *name) {
    char ascii[127], converted[4 * sizeof ascii];
    for (size_t i = 0; i < sizeof ascii; ++i) ascii[i] = static_cast<char>(i + 1);
    const iconv_t converter = iconv_open("UTF-8", name);
    if (converter == reinterpret_cast<iconv_t>(-1)) return false;
    char *in = ascii, *out = converted;
    size_t inLeft = sizeof ascii, outLeft = sizeof converted;
    const bool same = iconv(converter, &in, &inLeft, &out, &outLeft) == 0 && outLeft == sizeof converted - sizeof ascii &&
                      memcmp(converted, ascii, sizeof ascii) == 0;
    iconv_close(converter);
    return same;
}

// The character set of LC_ALL, LC_CTYPE or LANG, from a locale object of its
// own, so that a host that never called setlocale gets it too.
const CharsetCache &UserCharset() {
    if (CacheFitsEnvironment()) return g_Cache;
    const locale_t locale = newlocale(LC_CTYPE_MASK, "", static_cast<locale_t>(0));
    const char *const codeset = locale ? nl_langinfo_l(CODESET, locale) : nullptr;
    snprintf(g_Cache.Name, sizeof g_Cache.Name, "%s", codeset && codeset[0] ? codeset : kCLocaleCharset);
    if (locale) freelocale(locale);
    g_Cache.AsciiAsItIs = AsciiAsItIs(g_Cache.Name);
    // A locale that could not be made is looked for again next time.
    if (locale) RememberEnvironment();
    else g_Cache.Valid = false;
    return g_Cache;
}

// Eight bytes at a time: a text of 100 KB is looked at in some 10 microseconds.
bool IsAscii(const char *text, uint32_t length) {
    uint64_t any = 0;
    uint32_t at = 0;
    for (; at + 8 <= length; at += 8) {
        uint64_t word;
        memcpy(&word, text + at, 8);
        any |= word;
    }
    for (; at < length; ++at) any |= static_cast<unsigned char>(text[at]);
    return (any & 0x8080808080808080u) == 0;
}

bool IsUtf8Name(const char *name) { return strcasecmp(name, "UTF-8") == 0 || strcasecmp(name, "UTF8") == 0; }

// The length of the UTF-8 character at `text`, `left` bytes long at most,
// that a shown text cannot hold: the whole character when it is valid, so
// it shows as one "?", and otherwise the one byte that is not UTF-8, so that
// the valid bytes after it still show.
size_t SkippedLength(const char *text, size_t left) {
    const unsigned char lead = static_cast<unsigned char>(text[0]);
    const size_t length = lead >= 0xF0 && lead <= 0xF4 ? 4 : lead >= 0xE0 && lead <= 0xEF ? 3
                          : lead >= 0xC2 && lead <= 0xDF                                ? 2
                                                                                        : 1;
    if (length > left) return 1;
    for (size_t i = 1; i < length; ++i)
        if ((static_cast<unsigned char>(text[i]) & 0xC0) != 0x80) return 1;
    return length;
}

// Where the converted text goes: the caller's buffer, then, once that is
// full, a scratch area in which the rest is only checked.
struct Output {
    char *At;
    size_t Left;
};

// One conversion by iconv from `from` to `to`. `failure` is what a byte
// sequence iconv cannot convert counts as. Lossy: such a sequence becomes
// "?" and conversion goes on; the text is cut where `buffer` is full.
Conversion Convert(const char *to, const char *from, const char *text, uint32_t length, char *buffer, uint32_t size,
                   uint32_t *done, bool lossy, Conversion failure) {
    *done = 0;
    const iconv_t converter = iconv_open(to, from);
    if (converter == reinterpret_cast<iconv_t>(-1)) return failure;
    char *in = const_cast<char *>(text);
    size_t inLeft = length;
    Output out{buffer, size};
    char scratch[4096];
    Conversion result = Conversion::Done;
    // A null input ends the text: a stateful set writes its shift back here.
    for (bool ending = false; result == Conversion::Done || result == Conversion::TooLong;) {
        const size_t converted = ending ? iconv(converter, nullptr, nullptr, &out.At, &out.Left)
                                        : iconv(converter, &in, &inLeft, &out.At, &out.Left);
        if (converted != static_cast<size_t>(-1)) {
            // Irreversible conversions are look-alikes: never taken.
            if (converted > 0 && !lossy) result = failure;
            if (ending) break;
            ending = true;
            continue;
        }
        if (errno == E2BIG) {
            if (result == Conversion::Done) *done = static_cast<uint32_t>(out.At - buffer);
            result = Conversion::TooLong;
            if (lossy) break;
            out = Output{scratch, sizeof scratch};
        } else if ((errno == EILSEQ || errno == EINVAL) && lossy) {
            if (out.Left == 0) {
                if (result == Conversion::Done) *done = static_cast<uint32_t>(out.At - buffer);
                result = Conversion::TooLong;
                break;
            }
            *out.At++ = '?';
            --out.Left;
            const size_t skipped = SkippedLength(in, inLeft);
            in += skipped;
            inLeft -= skipped;
        } else {
            result = failure;
        }
    }
    if (result == Conversion::Done) *done = static_cast<uint32_t>(out.At - buffer);
    iconv_close(converter);
    return result;
}

// OEM is the ANSI set here: its text is copied.
Conversion Copy(const char *text, uint32_t length, char *buffer, uint32_t size, uint32_t *done) {
    *done = length <= size ? length : size;
    memcpy(buffer, text, *done);
    return length <= size ? Conversion::Done : Conversion::TooLong;
}

} // namespace

CharsetKind DescribeCharset(Charset charset, char *name, uint32_t size) {
    if (charset == Charset::Utf8) {
        snprintf(name, size, "UTF-8");
        return CharsetKind::Utf8;
    }
    const CharsetCache &user = UserCharset();
    snprintf(name, size, "character set %s", user.Name);
    if (charset == Charset::Oem) return CharsetKind::AsAnsi;
    return IsUtf8Name(user.Name) ? CharsetKind::Utf8 : CharsetKind::Other;
}

Conversion ConvertFromAnsi(Charset target, const char *text, uint32_t length, char *buffer, uint32_t size,
                           uint32_t *done) {
    const CharsetCache &user = UserCharset();
    // ASCII text is the same in UTF-8: copied, it costs a tenth of iconv.
    if (target == Charset::Oem || (user.AsciiAsItIs && IsAscii(text, length)))
        return Copy(text, length, buffer, size, done);
    return Convert("UTF-8", user.Name, text, length, buffer, size, done, false, Conversion::Invalid);
}

Conversion ConvertToAnsi(Charset source, const char *text, uint32_t length, char *buffer, uint32_t size,
                         uint32_t *done, bool lossy) {
    const CharsetCache &user = UserCharset();
    if (source == Charset::Oem || (user.AsciiAsItIs && IsAscii(text, length)))
        return Copy(text, length, buffer, size, done);
    return Convert(user.Name, "UTF-8", text, length, buffer, size, done, lossy, Conversion::Unrepresentable);
}

uint32_t WholeAnsiCharacters(const char *text, uint32_t length, uint32_t limit) {
    if (length <= limit) return length;
    const CharsetCache &user = UserCharset();
    if (IsUtf8Name(user.Name)) {
        // A continuation byte at the cut belongs to the character before it.
        uint32_t end = limit;
        while (end > 0 && (static_cast<unsigned char>(text[end]) & 0xC0) == 0x80) --end;
        return end;
    }
    // iconv stops in front of a character the limit cuts off (EINVAL).
    const iconv_t converter = iconv_open("UTF-8", user.Name);
    if (converter == reinterpret_cast<iconv_t>(-1)) return limit;
    char *in = const_cast<char *>(text);
    size_t inLeft = limit;
    char scratch[4096];
    uint32_t end = limit;
    for (;;) {
        char *out = scratch;
        size_t outLeft = sizeof scratch;
        if (iconv(converter, &in, &inLeft, &out, &outLeft) != static_cast<size_t>(-1) || inLeft == 0) break;
        if (errno == E2BIG) continue;
        if (errno == EINVAL) end = limit - static_cast<uint32_t>(inLeft);
        if (errno != EILSEQ) break;
        ++in;
        --inLeft;
    }
    iconv_close(converter);
    return end;
}

} // namespace platform
