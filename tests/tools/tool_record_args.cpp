// Records how it was started into the file named by argv[1]: the current
// directory on the first line, then every argument after argv[1] on a line
// of its own between square brackets; an argument "$NAME" is recorded as
// "[$NAME=value]" with the value the program's environment gives NAME, or
// as "[$NAME unset]".
#include <cstdio>
#include <cstdlib>

#if defined(_WIN32)
#include <direct.h>
#define getcwd _getcwd
#else
#include <unistd.h>
#endif

int main(int argc, char **argv) {
    if (argc < 2) return 2;
    char directory[4096];
    if (!getcwd(directory, sizeof directory)) return 3;
    FILE *file = std::fopen(argv[1], "wb");
    if (!file) return 4;
    std::fprintf(file, "%s\n", directory);
    for (int i = 2; i < argc; ++i) {
        const char *const value = argv[i][0] == '$' ? std::getenv(argv[i] + 1) : nullptr;
        if (argv[i][0] != '$')
            std::fprintf(file, "[%s]\n", argv[i]);
        else if (value)
            std::fprintf(file, "[%s=%s]\n", argv[i], value);
        else
            std::fprintf(file, "[%s unset]\n", argv[i]);
    }
    return std::fclose(file) == 0 ? 0 : 5;
}
