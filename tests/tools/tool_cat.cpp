// Copies its standard input to its standard output byte for byte; with an
// argument, also writes that text to its standard error, which must never
// reach the result.
#include <cstdio>
#if defined(_WIN32)
#include <fcntl.h>
#include <io.h>
#endif

int main(int argc, char **argv) {
#if defined(_WIN32)
    _setmode(_fileno(stdin), _O_BINARY);
    _setmode(_fileno(stdout), _O_BINARY);
#endif
    if (argc > 1) std::fputs(argv[1], stderr);
    char buffer[65536];
    size_t got;
    while ((got = std::fread(buffer, 1, sizeof buffer, stdin)) > 0)
        if (std::fwrite(buffer, 1, got, stdout) != got) return 3;
    return std::fflush(stdout) == 0 ? 0 : 4;
}
