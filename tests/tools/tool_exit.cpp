// tool_exit CODE [OUTPUT [ERROR]]: writes OUTPUT to standard output and
// ERROR to standard error ("~" stands for a zero byte, "|" for a line
// break, written as it is on every system), then ends with the
// exit code CODE (unsigned, all 32 bits on Windows). On POSIX, a CODE of
// "signal" ends the program by SIGTERM instead.
#include <cstdio>
#include <cstdlib>
#include <cstring>
#if defined(_WIN32)
#include <fcntl.h>
#include <io.h>
#include <windows.h>
#else
#include <signal.h>
#endif

void Write(const char *text, FILE *stream) {
    for (; *text; ++text) std::fputc(*text == '~' ? '\0' : *text == '|' ? '\n' : *text, stream);
    std::fflush(stream);
}

int main(int argc, char **argv) {
    if (argc < 2) return 2;
#if defined(_WIN32)
    _setmode(_fileno(stdout), _O_BINARY);
    _setmode(_fileno(stderr), _O_BINARY);
#endif
    if (argc > 2) Write(argv[2], stdout);
    if (argc > 3) Write(argv[3], stderr);
#if defined(_WIN32)
    ExitProcess(static_cast<UINT>(std::strtoul(argv[1], nullptr, 10)));
#else
    if (std::strcmp(argv[1], "signal") == 0) raise(SIGTERM);
    return std::atoi(argv[1]);
#endif
}
