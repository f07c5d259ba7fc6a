// Deletes the file named by argv[1].
#include <cstdio>

int main(int argc, char **argv) {
    if (argc < 2) return 2;
    return std::remove(argv[1]) == 0 ? 0 : 3;
}
