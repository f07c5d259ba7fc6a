// The Encoding setting applied to the text on its way to the program and
// back. ANSI, the default, moves the bytes unchanged and costs nothing. UTF-8
// and OEM convert the host's text from the ANSI character set for the
// program and the program's result back, and refuse, with a message, what
// would not come through exactly: no character is ever replaced by "?" or a
// look-alike in a text the host receives.
#pragma once

#include <cstdint>

#include "platform/platform.h"
#include "plugin/host_contract.h"

// The most a program's output may hold before it is converted back: three
// bytes for each byte the host takes ("€" is one byte in code page 1252 and
// three in UTF-8) and a byte-order mark. More than that can never fit.
constexpr uint32_t kEncodedCapacity = 3 * kTextCapacity + 3;
static_assert(kEncodedCapacity <= platform::kMaxConvertedBytes);
// Room for any message of the conversion, character-set name included.
constexpr uint32_t kEncodingMessageSize = 192;

// Going out: the host's text in TextBuffer, up to its terminator, in the
// program's character set. Points `data` and `length` at the bytes to write:
// TextBuffer itself where nothing converts, EncodedBuffer otherwise. Returns
// false, with the message for the "Error" box in `message`
// (kEncodingMessageSize bytes), when the text cannot be converted: nothing
// is to run then.
bool EncodeForProgram(const char **data, uint32_t *length, char *message);

// The most bytes the program's output may hold and still give a text the
// host can take: kEncodedCapacity where it converts, kTextCapacity where it
// comes back as it is (ANSI, an OEM set that is the ANSI one), and a
// byte-order mark more for UTF-8 under a UTF-8 ANSI set.
uint32_t ProgramOutputBound();

// Coming back: where the program's output is to be read and how many bytes
// it may hold: TextBuffer and kTextCapacity under ANSI, EncodedBuffer and
// kEncodedCapacity otherwise. Either has room for capacity + 1 bytes.
char *ProgramOutputBuffer(uint32_t *capacity);

enum class WhenTooLong { Cut, Refuse };
enum class Decoded { Done, TooLong, Failed };

// Converts the first `length` bytes of ProgramOutputBuffer, up to a zero
// byte, into TextBuffer and terminates it there. A UTF-8 byte-order mark at
// the start is dropped. `goesOn`: the output may go on past these bytes (the
// buffer was filled), so a character cut off at their end is dropped rather
// than taken for invalid. Output that is exactly the host's text as it went
// out gives the host its own bytes back. A result longer than kTextCapacity
// is cut after the whole characters that fit (Cut) or refused (Refuse:
// TooLong). Failed:
// the output is not valid UTF-8 or holds characters the ANSI set lacks; the
// message is in `message` (kEncodingMessageSize bytes). Only Done leaves a
// text for the host in TextBuffer.
Decoded DecodeFromProgram(uint32_t length, bool goesOn, WhenTooLong whenTooLong, char *message);

// A failed program's words in `text` (zero-terminated, `size` bytes of room),
// converted in place for showing: whatever does not convert becomes "?".
void DecodeForShowing(char *text, uint32_t size);
