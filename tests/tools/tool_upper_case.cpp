// Upper-cases the file named by argv[1] in place (ASCII letters only).
#include <cstdio>
#include <vector>

int main(int argc, char **argv) {
    if (argc < 2) return 2;
    FILE *file = std::fopen(argv[1], "r+b");
    if (!file) return 3;
    std::vector<char> content;
    char chunk[65536];
    size_t got;
    while ((got = std::fread(chunk, 1, sizeof chunk, file)) > 0) content.insert(content.end(), chunk, chunk + got);
    for (char &c : content)
        if (c >= 'a' && c <= 'z') c = static_cast<char>(c - 'a' + 'A');
    std::fseek(file, 0, SEEK_SET);
    // An empty file has no data pointer to hand fwrite.
    const bool ok = content.empty() || std::fwrite(content.data(), 1, content.size(), file) == content.size();
    return std::fclose(file) == 0 && ok ? 0 : 4;
}
