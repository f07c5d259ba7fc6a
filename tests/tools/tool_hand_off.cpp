// Hands its work to a child process and ends at once. The child waits for
// argv[2] seconds and then writes "done" into the file named by argv[1]
// (a marker file, not the exchange file).
#include <cstdio>
#include <cstdlib>
#include <string>

#if defined(_WIN32)
#include <windows.h>
#else
#include <unistd.h>
#endif

namespace {

int Child(const char *marker, int seconds) {
#if defined(_WIN32)
    Sleep(static_cast<DWORD>(seconds) * 1000);
#else
    sleep(static_cast<unsigned>(seconds));
#endif
    FILE *file = std::fopen(marker, "wb");
    if (!file) return 3;
    std::fputs("done", file);
    return std::fclose(file) == 0 ? 0 : 4;
}

} // namespace

int main(int argc, char **argv) {
    if (argc == 4 && std::string(argv[1]) == "--child") return Child(argv[2], std::atoi(argv[3]));
    if (argc < 3) return 2;
#if defined(_WIN32)
    char self[MAX_PATH];
    if (!GetModuleFileNameA(nullptr, self, MAX_PATH)) return 5;
    std::string command = std::string("\"") + self + "\" --child \"" + argv[1] + "\" " + argv[2];
    STARTUPINFOA startup{};
    startup.cb = sizeof startup;
    PROCESS_INFORMATION process{};
    if (!CreateProcessA(nullptr, &command[0], nullptr, nullptr, FALSE, 0, nullptr, nullptr, &startup, &process))
        return 6;
    CloseHandle(process.hThread);
    CloseHandle(process.hProcess);
    return 0;
#else
    const pid_t pid = fork();
    if (pid < 0) return 6;
    if (pid == 0) _exit(Child(argv[1], std::atoi(argv[2])));
    return 0;
#endif
}
