#include "run/text_encoding.h"

#include <cstdio>
#include <cstring>

#include "plugin/plugin_state.h"

namespace {

const char kCannotConvertFormat[] = "The text cannot be converted to %s\nThe text was left as it was";
const char kNotUtf8Text[] = "The program's output is not valid UTF-8\nThe text was left as it was";
const char kCannotHoldFormat[] = "The program's output holds characters that %s cannot hold\nThe text was left as it was";
const unsigned char kByteOrderMark[] = {0xEF, 0xBB, 0xBF};

// A character set's name as messages give it ("code page 932", "character
// set EUC-JP"); longer names are cut.
constexpr uint32_t kCharsetNameSize = 64;
static_assert(sizeof kCannotHoldFormat + kCharsetNameSize <= kEncodingMessageSize);

// How this run moves the text, from the setting and the system's sets.
struct Plan {
    platform::Charset Program;  // Utf8 or Oem; meaningless when Copy
    bool Copy;                  // the bytes go and come unchanged
    bool AnsiIsUtf8;            // the program's UTF-8 is the host's own set
    char AnsiName[kCharsetNameSize];
};

Plan MakePlan() {
    Plan plan{};
    const TextEncoding encoding = g_State.Settings.Encoding;
    plan.Program = encoding == TextEncoding::Oem ? platform::Charset::Oem : platform::Charset::Utf8;
    plan.Copy = encoding == TextEncoding::Ansi;
    if (plan.Copy) return plan;
    plan.AnsiIsUtf8 =
        platform::DescribeCharset(platform::Charset::Ansi, plan.AnsiName, sizeof plan.AnsiName) ==
        platform::CharsetKind::Utf8;
    if (encoding == TextEncoding::Oem) {
        char oemName[kCharsetNameSize];
        plan.Copy = platform::DescribeCharset(platform::Charset::Oem, oemName, sizeof oemName) ==
                    platform::CharsetKind::AsAnsi;
    }
    return plan;
}

// The length of the UTF-8 character at `text`, with `left` bytes remaining:
// 1 to 4, 0 when the bytes are not valid UTF-8 (overlong forms, surrogates
// and code points past U+10FFFF included, as Windows refuses them), and -1
// when they are the valid start of a character that `left` cuts off.
int Utf8CharacterLength(const unsigned char *text, uint32_t left) {
    const unsigned char lead = text[0];
    if (lead < 0x80) return 1;
    int length = 0;
    unsigned char low = 0x80, high = 0xBF; // the range of the second byte
    if (lead >= 0xC2 && lead <= 0xDF) {
        length = 2;
    } else if (lead >= 0xE0 && lead <= 0xEF) {
        length = 3;
        if (lead == 0xE0) low = 0xA0;
        if (lead == 0xED) high = 0x9F;
    } else if (lead >= 0xF0 && lead <= 0xF4) {
        length = 4;
        if (lead == 0xF0) low = 0x90;
        if (lead == 0xF4) high = 0x8F;
    } else {
        return 0;
    }
    for (int i = 1; i < length; ++i) {
        if (static_cast<uint32_t>(i) >= left) return -1;
        if (text[i] < (i == 1 ? low : 0x80) || text[i] > (i == 1 ? high : 0xBF)) return 0;
    }
    return length;
}

// Whether `length` bytes of `text` are valid UTF-8. With `goesOn`, a
// character cut off at the end is left out of `length` instead.
bool CheckUtf8(const char *text, uint32_t *length, bool goesOn) {
    const unsigned char *bytes = reinterpret_cast<const unsigned char *>(text);
    uint32_t at = 0;
    while (at < *length) {
        // ASCII eight bytes at a time: most text is mostly ASCII.
        uint64_t word;
        if (at + 8 <= *length && (memcpy(&word, bytes + at, 8), (word & 0x8080808080808080u) == 0)) {
            at += 8;
            continue;
        }
        if (bytes[at] < 0x80) {
            ++at;
            continue;
        }
        const int character = Utf8CharacterLength(bytes + at, *length - at);
        if (character == -1 && goesOn) {
            *length = at;
            return true;
        }
        if (character <= 0) return false;
        at += static_cast<uint32_t>(character);
    }
    return true;
}

void FormatWithName(char *message, const char *format, const char *name) {
    snprintf(message, kEncodingMessageSize, format, name);
}

// Output already in the host's set (an OEM set that is the ANSI one, or
// checked UTF-8 under a UTF-8 ANSI set) is the host's text as it is: cut to
// what TextBuffer holds, between whole characters, or refused.
Decoded TakeAsItIs(const char *text, uint32_t length, WhenTooLong whenTooLong) {
    if (length > static_cast<uint32_t>(kTextCapacity)) {
        if (whenTooLong == WhenTooLong::Refuse) return Decoded::TooLong;
        length = platform::WholeAnsiCharacters(text, length, kTextCapacity);
    }
    memmove(g_State.TextBuffer, text, length);
    g_State.TextBuffer[length] = '\0';
    return Decoded::Done;
}

// The length of a UTF-8 byte-order mark at the start of `length` bytes of
// `text`: 3, or 0 when there is none.
uint32_t ByteOrderMarkLength(const char *text, uint32_t length) {
    return length >= sizeof kByteOrderMark && memcmp(text, kByteOrderMark, sizeof kByteOrderMark) == 0
               ? sizeof kByteOrderMark
               : 0;
}

// The host's text is taken into the program's set this much at a time when
// it is compared with the program's output.
constexpr uint32_t kComparedPieceBytes = 4096;

// Whether `length` bytes of the program's output are exactly what went out,
// the host's text in TextBuffer converted into the program's set. The way
// back would then give the host nothing new, and it can give other bytes:
// code page 932 has two codes for some characters and converts both into
// one of them.
bool IsWhatWentOut(platform::Charset program, const char *output, uint32_t length) {
    const char *const host = g_State.TextBuffer;
    const uint32_t hostLength = static_cast<uint32_t>(strnlen(host, kTextCapacity));
    char piece[3 * kComparedPieceBytes];
    uint32_t compared = 0;
    for (uint32_t at = 0; at < hostLength;) {
        uint32_t take = hostLength - at < kComparedPieceBytes ? hostLength - at : kComparedPieceBytes;
        uint32_t done = 0;
        platform::Conversion result = platform::ConvertFromAnsi(program, host + at, take, piece, sizeof piece, &done);
        // The whole text converted, so a piece that does not ends inside a
        // character, which holds four bytes at most: it is taken shorter.
        for (int cut = 1; cut < 4 && take > 1 && result == platform::Conversion::Invalid; ++cut)
            result = platform::ConvertFromAnsi(program, host + at, --take, piece, sizeof piece, &done);
        if (result != platform::Conversion::Done) return false;
        if (done > length - compared || memcmp(piece, output + compared, done) != 0) return false;
        compared += done;
        at += take;
    }
    return compared == length;
}

} // namespace

bool EncodeForProgram(const char **data, uint32_t *length, char *message) {
    *data = g_State.TextBuffer;
    *length = static_cast<uint32_t>(strnlen(g_State.TextBuffer, kTextCapacity));
    if (g_State.Settings.Encoding == TextEncoding::Ansi) return true;
    const Plan plan = MakePlan();
    // A UTF-8 ANSI set is what a UTF-8 program reads already.
    if (plan.Copy || (plan.Program == platform::Charset::Utf8 && plan.AnsiIsUtf8)) return true;
    uint32_t done = 0;
    const platform::Conversion result = platform::ConvertFromAnsi(plan.Program, g_State.TextBuffer, *length,
                                                                  g_State.EncodedBuffer, kEncodedCapacity, &done);
    if (result != platform::Conversion::Done) {
        char name[kCharsetNameSize];
        platform::DescribeCharset(plan.Program, name, sizeof name);
        FormatWithName(message, kCannotConvertFormat, name);
        return false;
    }
    *data = g_State.EncodedBuffer;
    *length = done;
    return true;
}

uint32_t ProgramOutputBound() {
    if (g_State.Settings.Encoding == TextEncoding::Ansi) return kTextCapacity;
    const Plan plan = MakePlan();
    if (plan.Copy) return kTextCapacity;
    if (plan.Program == platform::Charset::Utf8 && plan.AnsiIsUtf8) return kTextCapacity + sizeof kByteOrderMark;
    return kEncodedCapacity;
}

char *ProgramOutputBuffer(uint32_t *capacity) {
    if (g_State.Settings.Encoding == TextEncoding::Ansi) {
        *capacity = kTextCapacity;
        return g_State.TextBuffer;
    }
    *capacity = kEncodedCapacity;
    return g_State.EncodedBuffer;
}

Decoded DecodeFromProgram(uint32_t length, bool goesOn, WhenTooLong whenTooLong, char *message) {
    // ANSI: the caller has read and terminated the output in TextBuffer.
    if (g_State.Settings.Encoding == TextEncoding::Ansi) return Decoded::Done;
    uint32_t capacity = 0;
    const char *text = ProgramOutputBuffer(&capacity);
    length = static_cast<uint32_t>(strnlen(text, length < capacity ? length : capacity));
    const Plan plan = MakePlan();
    if (plan.Copy) return TakeAsItIs(text, length, whenTooLong);
    if (plan.Program == platform::Charset::Utf8) {
        const uint32_t mark = ByteOrderMarkLength(text, length);
        text += mark;
        length -= mark;
        if (!CheckUtf8(text, &length, goesOn)) {
            snprintf(message, kEncodingMessageSize, "%s", kNotUtf8Text);
            return Decoded::Failed;
        }
        if (plan.AnsiIsUtf8) return TakeAsItIs(text, length, whenTooLong);
    }
    // TextBuffer holds the host's own bytes still.
    if (IsWhatWentOut(plan.Program, text, length)) return Decoded::Done;
    uint32_t done = 0;
    const platform::Conversion result =
        platform::ConvertToAnsi(plan.Program, text, length, g_State.TextBuffer, kTextCapacity, &done, false);
    if (result == platform::Conversion::TooLong && whenTooLong == WhenTooLong::Refuse) return Decoded::TooLong;
    if (result == platform::Conversion::Done || result == platform::Conversion::TooLong) {
        g_State.TextBuffer[done < static_cast<uint32_t>(kTextCapacity) ? done : kTextCapacity] = '\0';
        return Decoded::Done;
    }
    // Bytes that are not OEM text cannot be held either.
    if (result == platform::Conversion::Invalid && plan.Program == platform::Charset::Utf8)
        snprintf(message, kEncodingMessageSize, "%s", kNotUtf8Text);
    else
        FormatWithName(message, kCannotHoldFormat, plan.AnsiName);
    return Decoded::Failed;
}

void DecodeForShowing(char *text, uint32_t size) {
    if (g_State.Settings.Encoding == TextEncoding::Ansi || size == 0) return;
    const Plan plan = MakePlan();
    if (plan.Copy) return;
    uint32_t length = static_cast<uint32_t>(strnlen(text, size - 1));
    if (plan.Program == platform::Charset::Utf8) {
        const uint32_t mark = ByteOrderMarkLength(text, length);
        memmove(text, text + mark, length - mark + 1);
        length -= mark;
    }
    if (plan.Program == platform::Charset::Utf8 && plan.AnsiIsUtf8) {
        // Only shown: a byte that is not UTF-8 shows as "?".
        unsigned char *bytes = reinterpret_cast<unsigned char *>(text);
        for (uint32_t at = 0; at < length;) {
            const int character = Utf8CharacterLength(bytes + at, length - at);
            if (character > 0) {
                at += static_cast<uint32_t>(character);
            } else {
                bytes[at++] = '?';
            }
        }
        return;
    }
    // The program's text is copied aside: the conversion cannot work in place.
    memcpy(g_State.EncodedBuffer, text, length);
    uint32_t done = 0;
    platform::ConvertToAnsi(plan.Program, g_State.EncodedBuffer, length, text, size - 1, &done, true);
    text[done < size ? done : size - 1] = '\0';
}
