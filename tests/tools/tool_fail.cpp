// Writes "failed on purpose" into the file named by argv[1], says so on its
// standard output as a failing tool does, and ends with the exit code 7.
#include <cstdio>

int main(int argc, char **argv) {
    if (argc < 2) return 2;
    FILE *file = std::fopen(argv[1], "wb");
    if (!file) return 3;
    std::fputs("failed on purpose", file);
    std::fclose(file);
    std::puts("tool_fail: this line is the tool's own output");
    return 7;
}
