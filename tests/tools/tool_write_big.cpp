// Replaces the file named by argv[1] with 150,000 bytes: the alphabet over
// and over, so that any cut shows where it happened.
#include <cstdio>

int main(int argc, char **argv) {
    if (argc < 2) return 2;
    FILE *file = std::fopen(argv[1], "wb");
    if (!file) return 3;
    for (int i = 0; i < 150000; ++i) std::fputc('a' + i % 26, file);
    return std::fclose(file) == 0 ? 0 : 4;
}
