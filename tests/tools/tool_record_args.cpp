// Records how it was started into the file named by argv[1]: the current
// directory on the first line, then every argument after argv[1] on a line
// of its own between square brackets.
#include <cstdio>

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
    for (int i = 2; i < argc; ++i) std::fprintf(file, "[%s]\n", argv[i]);
    return std::fclose(file) == 0 ? 0 : 5;
}
