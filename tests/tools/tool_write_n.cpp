// tool_write_n COUNT [err [CODE]]: writes COUNT bytes, the alphabet over and
// over, to standard output (or, with "err", to standard error) and ends with
// the exit code CODE (default 0).
#include <cstdio>
#include <cstdlib>
#include <cstring>
#if defined(_WIN32)
#include <fcntl.h>
#include <io.h>
#endif

int main(int argc, char **argv) {
    if (argc < 2) return 2;
    FILE *stream = argc > 2 && std::strcmp(argv[2], "err") == 0 ? stderr : stdout;
#if defined(_WIN32)
    _setmode(_fileno(stream), _O_BINARY);
#endif
    const long count = std::atol(argv[1]);
    for (long i = 0; i < count; ++i) std::fputc('a' + i % 26, stream);
    if (std::fflush(stream) != 0) return 4;
    return argc > 3 ? std::atoi(argv[3]) : 0;
}
