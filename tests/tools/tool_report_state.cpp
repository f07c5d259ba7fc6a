// tool_report_state FILE [MILLISECONDS] (POSIX): waits MILLISECONDS (0),
// then writes what the program was started with to FILE ("-": standard
// output), one line each:
//   modes: the permission bits of descriptors 0, 1 and 2 in octal ("-" for
//          one that is not open), "modes: 600 600 600";
//   blocked: the numbers of the blocked signals, "blocked:" when none;
//   ignored: the numbers of the ignored signals, "ignored:" when none.
#include <signal.h>
#include <sys/stat.h>
#include <time.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>

int main(int argc, char **argv) {
    if (argc < 2) return 2;
    const long milliseconds = argc > 2 ? std::atol(argv[2]) : 0;
    timespec pause{milliseconds / 1000, (milliseconds % 1000) * 1000000};
    while (nanosleep(&pause, &pause) != 0) {
    }
    char report[1024];
    int length = std::snprintf(report, sizeof report, "modes:");
    for (int fd = 0; fd < 3; ++fd) {
        struct stat status;
        if (fstat(fd, &status) == 0)
            length += std::snprintf(report + length, sizeof report - length, " %o", status.st_mode & 07777);
        else
            length += std::snprintf(report + length, sizeof report - length, " -");
    }
    sigset_t blocked;
    sigprocmask(SIG_SETMASK, nullptr, &blocked);
    length += std::snprintf(report + length, sizeof report - length, "\nblocked:");
    for (int signal = 1; signal < NSIG; ++signal)
        if (sigismember(&blocked, signal) == 1)
            length += std::snprintf(report + length, sizeof report - length, " %d", signal);
    length += std::snprintf(report + length, sizeof report - length, "\nignored:");
    for (int signal = 1; signal < NSIG; ++signal) {
        struct sigaction action;
        if (sigaction(signal, nullptr, &action) == 0 && action.sa_handler == SIG_IGN)
            length += std::snprintf(report + length, sizeof report - length, " %d", signal);
    }
    length += std::snprintf(report + length, sizeof report - length, "\n");
    FILE *out = std::strcmp(argv[1], "-") == 0 ? stdout : std::fopen(argv[1], "wb");
    if (!out) return 3;
    std::fwrite(report, 1, static_cast<size_t>(length), out);
    return std::fclose(out) == 0 ? 0 : 4;
}
