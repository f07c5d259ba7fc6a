// tool_utf8_echo [FILE]: a program that reads and writes UTF-8 only. Reads
// FILE (or standard input) and, when it is valid UTF-8 without a byte-order
// mark, writes it back unchanged (into FILE, or to standard output). Input
// that is not ends the program with exit code 3 and "not UTF-8 at byte N"
// on standard error, as UTF-8 tools refuse it.
#include <cstdio>
#include <string>
#if defined(_WIN32)
#include <fcntl.h>
#include <io.h>
#endif

namespace {

// The offset of the first byte that is not part of valid UTF-8, or npos.
size_t FirstInvalidByte(const std::string &text) {
    for (size_t at = 0; at < text.size();) {
        const unsigned char lead = static_cast<unsigned char>(text[at]);
        size_t length = 1;
        unsigned char low = 0x80, high = 0xBF;
        if (lead < 0x80) {
            ++at;
            continue;
        } else if (lead >= 0xC2 && lead <= 0xDF) {
            length = 2;
        } else if (lead >= 0xE0 && lead <= 0xEF) {
            length = 3;
            low = lead == 0xE0 ? 0xA0 : 0x80;
            high = lead == 0xED ? 0x9F : 0xBF;
        } else if (lead >= 0xF0 && lead <= 0xF4) {
            length = 4;
            low = lead == 0xF0 ? 0x90 : 0x80;
            high = lead == 0xF4 ? 0x8F : 0xBF;
        } else {
            return at;
        }
        if (at + length > text.size()) return at;
        for (size_t i = 1; i < length; ++i) {
            const unsigned char c = static_cast<unsigned char>(text[at + i]);
            if (c < (i == 1 ? low : 0x80) || c > (i == 1 ? high : 0xBF)) return at;
        }
        at += length;
    }
    return std::string::npos;
}

std::string ReadAll(FILE *in) {
    std::string text;
    char chunk[65536];
    size_t got;
    while ((got = std::fread(chunk, 1, sizeof chunk, in)) > 0) text.append(chunk, got);
    return text;
}

} // namespace

int main(int argc, char **argv) {
#if defined(_WIN32)
    _setmode(_fileno(stdin), _O_BINARY);
    _setmode(_fileno(stdout), _O_BINARY);
#endif
    FILE *in = argc > 1 ? std::fopen(argv[1], "rb") : stdin;
    if (!in) return 2;
    const std::string text = ReadAll(in);
    if (argc > 1) std::fclose(in);
    if (text.compare(0, 3, "\xEF\xBB\xBF") == 0) {
        std::fputs("byte-order mark\n", stderr);
        return 3;
    }
    const size_t invalid = FirstInvalidByte(text);
    if (invalid != std::string::npos) {
        std::fprintf(stderr, "not UTF-8 at byte %zu\n", invalid);
        return 3;
    }
    FILE *out = argc > 1 ? std::fopen(argv[1], "wb") : stdout;
    if (!out) return 2;
    const bool ok = std::fwrite(text.data(), 1, text.size(), out) == text.size();
    return std::fclose(out) == 0 && ok ? 0 : 4;
}
