// tool_replace HOW FILE [ARGUMENT] (POSIX): puts something else where FILE
// was, as another user could in a shared folder, or as `sed -i` does:
//   link TARGET  a symbolic link to TARGET;
//   fifo         a named pipe;
//   owner UID    FILE itself, given to the user UID (needs root);
//   new TEXT     a new file holding TEXT, renamed over FILE.
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

int main(int argc, char **argv) {
    if (argc < 3) return 2;
    const std::string how = argv[1], file = argv[2];
    const char *const argument = argc > 3 ? argv[3] : "";
    if (how == "owner") return chown(file.c_str(), static_cast<uid_t>(std::atol(argument)), static_cast<gid_t>(-1));
    if (how == "new") {
        const std::string aside = file + ".new";
        FILE *out = std::fopen(aside.c_str(), "wb");
        if (!out) return 3;
        std::fputs(argument, out);
        if (std::fclose(out) != 0) return 4;
        return std::rename(aside.c_str(), file.c_str()) == 0 ? 0 : 5;
    }
    if (unlink(file.c_str()) != 0) return 6;
    if (how == "link") return symlink(argument, file.c_str()) == 0 ? 0 : 7;
    if (how == "fifo") return mkfifo(file.c_str(), 0600) == 0 ? 0 : 8;
    return 9;
}
