// Replaces the file named by argv[1] with "before", a zero byte, "after".
#include <cstdio>

int main(int argc, char **argv) {
    if (argc < 2) return 2;
    FILE *file = std::fopen(argv[1], "wb");
    if (!file) return 3;
    static const char content[] = "before\0after";
    std::fwrite(content, 1, sizeof content - 1, file);
    return std::fclose(file) == 0 ? 0 : 4;
}
