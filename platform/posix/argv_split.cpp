// Splitting a command line the way Windows programs split theirs.
//
// On Windows a program receives one command-line string and its C run-time
// library splits it into argv. The rules here are those of the Microsoft C
// run-time from Visual Studio 2008 on (msvcrt and the Universal CRT):
//
//  - Spaces and tabs separate items. Any run of them counts as one separator;
//    leading and trailing ones produce no item.
//
//  - The first item, the program, follows simpler rules: every double quote
//    switches quoting on or off and is dropped; every other character is
//    taken as it stands, backslashes included; the item ends at the first
//    space or tab outside quotes. So "C:\Program Files\tool.exe" is one item.
//
//  - The other items:
//    * Outside quotes, a double quote starts quoting and is dropped; inside
//      quotes a double quote ends quoting and is dropped, except that two
//      double quotes in a row inside quotes give one literal double quote
//      and quoting goes on ("a""b" is a"b).
//    * A space or tab inside quotes is part of the item.
//    * Backslashes are literal unless a double quote follows them:
//        2N backslashes and a quote give N backslashes, and the quote then
//           acts as described above;
//        2N+1 backslashes and a quote give N backslashes and a literal
//           double quote, which neither starts nor ends quoting.
//    * "" outside quotes is an empty item when nothing else is next to it.
//    * A command line that ends inside quotes simply ends the last item.
//
// Examples:   a\\b       -> a\\b      (no quote follows: literal)
//             a\"b       -> a"b
//             a\\"b c"   -> a\b c
//             "a""b"     -> a"b
//             """"       -> "         (the quote in quotes, then end of text)
//
// Nothing else is interpreted: there is no shell, no variable, no
// redirection, so a text inserted into the command line cannot run anything.
#include "platform/posix/argv_split.h"

namespace platform {

namespace {

bool IsBlank(char c) { return c == ' ' || c == '\t'; }

struct Output {
    char *next;
    char *end;
    bool Put(char c) {
        if (next == end) return false;
        *next++ = c;
        return true;
    }
};

// The program item: quotes toggle and are dropped, backslashes are plain.
const char *ReadProgram(const char *p, Output &out, bool &ok) {
    bool quoted = false;
    for (; *p != '\0' && (quoted || !IsBlank(*p)); ++p) {
        if (*p == '"') {
            quoted = !quoted;
        } else if (!out.Put(*p)) {
            ok = false;
            return p;
        }
    }
    ok = out.Put('\0');
    return p;
}

// Any later item, with the backslash and quote rules above.
const char *ReadArgument(const char *p, Output &out, bool &ok) {
    bool quoted = false;
    ok = false;
    while (*p != '\0' && (quoted || !IsBlank(*p))) {
        if (*p == '\\') {
            size_t backslashes = 0;
            while (*p == '\\') {
                ++backslashes;
                ++p;
            }
            const bool beforeQuote = *p == '"';
            const size_t kept = beforeQuote ? backslashes / 2 : backslashes;
            for (size_t i = 0; i < kept; ++i)
                if (!out.Put('\\')) return p;
            if (beforeQuote && backslashes % 2 == 1) {
                if (!out.Put('"')) return p;
                ++p;
            }
            continue;
        }
        if (*p == '"') {
            if (quoted && p[1] == '"') {
                if (!out.Put('"')) return p;
                p += 2;
                continue;
            }
            quoted = !quoted;
            ++p;
            continue;
        }
        if (!out.Put(*p)) return p;
        ++p;
    }
    ok = out.Put('\0');
    return p;
}

} // namespace

int SplitCommandLine(const char *commandLine, char *storage, size_t storageSize, char **argv, int maxItems) {
    Output out{storage, storage + storageSize};
    int count = 0;
    const char *p = commandLine;
    for (;;) {
        while (IsBlank(*p)) ++p;
        if (*p == '\0') break;
        if (count + 1 >= maxItems) return -1; // room for the null pointer too
        argv[count] = out.next;
        bool ok = false;
        p = count == 0 ? ReadProgram(p, out, ok) : ReadArgument(p, out, ok);
        if (!ok) return -1;
        ++count;
    }
    if (count >= maxItems) return -1;
    argv[count] = nullptr;
    return count;
}

} // namespace platform
