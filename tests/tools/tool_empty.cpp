// Empties the file named by argv[1].
#include <cstdio>

int main(int argc, char **argv) {
    if (argc < 2) return 2;
    FILE *file = std::fopen(argv[1], "wb");
    if (!file) return 3;
    return std::fclose(file) == 0 ? 0 : 4;
}
