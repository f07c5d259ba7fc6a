// tool_write_bytes [--file PATH | --err] [--exit CODE] [--delay MS] [--linger MS] PIECE...: writes the
// bytes the pieces give, each hexadecimal digit pairs with an optional
// "*COUNT" to repeat them ("c3a9*3" is three times "é" in UTF-8), into PATH
// (replacing it), to standard error, or to standard output, after waiting
// --delay milliseconds (PATH already empty meanwhile), stays --linger
// milliseconds more with all of it written (default 0), and ends with exit
// code CODE (default 0). Bytes outside ASCII thus never pass through
// the command line, whose code page would change them.
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#if defined(_WIN32)
#include <fcntl.h>
#include <io.h>
#include <windows.h>
#else
#include <unistd.h>
#endif

int main(int argc, char **argv) {
    FILE *out = stdout;
    int code = 0;
    long lingerMs = 0, delayMs = 0;
    std::string bytes;
    for (int i = 1; i < argc; ++i) {
        if (std::strcmp(argv[i], "--file") == 0 && i + 1 < argc) {
            out = std::fopen(argv[++i], "wb");
            if (!out) return 2;
        } else if (std::strcmp(argv[i], "--err") == 0) {
            out = stderr;
        } else if (std::strcmp(argv[i], "--exit") == 0 && i + 1 < argc) {
            code = std::atoi(argv[++i]);
        } else if (std::strcmp(argv[i], "--linger") == 0 && i + 1 < argc) {
            lingerMs = std::atol(argv[++i]);
        } else if (std::strcmp(argv[i], "--delay") == 0 && i + 1 < argc) {
            delayMs = std::atol(argv[++i]);
        } else {
            std::string piece;
            const char *at = argv[i];
            for (; at[0] && at[1] && at[0] != '*'; at += 2) {
                const char pair[3] = {at[0], at[1], '\0'};
                piece += static_cast<char>(std::strtoul(pair, nullptr, 16));
            }
            const long count = *at == '*' ? std::atol(at + 1) : 1;
            for (long n = 0; n < count; ++n) bytes += piece;
        }
    }
#if defined(_WIN32)
    _setmode(_fileno(out), _O_BINARY);
    Sleep(static_cast<DWORD>(delayMs));
#else
    usleep(static_cast<useconds_t>(delayMs) * 1000);
#endif
    const bool ok = std::fwrite(bytes.data(), 1, bytes.size(), out) == bytes.size();
    if (std::fflush(out) != 0 || !ok) return 4;
    if (out != stdout && out != stderr) std::fclose(out);
#if defined(_WIN32)
    Sleep(static_cast<DWORD>(lingerMs));
#else
    usleep(static_cast<useconds_t>(lingerMs) * 1000);
#endif
    return code;
}
