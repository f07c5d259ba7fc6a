// tool_sleep SECONDS [MARKER CHILD_SECONDS]: runs for SECONDS seconds and
// ends with exit code 0. With MARKER, it first starts a child of its own that
// waits CHILD_SECONDS seconds and then writes "done" into the file MARKER,
// so a test can tell whether a process the tool started outlived it.
#include <cstdio>
#include <cstdlib>
#include <string>

#if defined(_WIN32)
#include <windows.h>
#else
#include <unistd.h>
#endif

namespace {

void SleepSeconds(int seconds) {
#if defined(_WIN32)
    Sleep(static_cast<DWORD>(seconds) * 1000);
#else
    sleep(static_cast<unsigned>(seconds));
#endif
}

int Child(const char *marker, int seconds) {
    SleepSeconds(seconds);
    FILE *file = std::fopen(marker, "wb");
    if (!file) return 3;
    std::fputs("done", file);
    return std::fclose(file) == 0 ? 0 : 4;
}

bool StartChild(const char *marker, const char *seconds) {
#if defined(_WIN32)
    char self[MAX_PATH];
    if (!GetModuleFileNameA(nullptr, self, MAX_PATH)) return false;
    std::string command = std::string("\"") + self + "\" --child \"" + marker + "\" " + seconds;
    STARTUPINFOA startup{};
    startup.cb = sizeof startup;
    PROCESS_INFORMATION process{};
    if (!CreateProcessA(nullptr, &command[0], nullptr, nullptr, FALSE, 0, nullptr, nullptr, &startup, &process))
        return false;
    CloseHandle(process.hThread);
    CloseHandle(process.hProcess);
    return true;
#else
    const pid_t pid = fork();
    if (pid < 0) return false;
    if (pid == 0) _exit(Child(marker, std::atoi(seconds)));
    return true;
#endif
}

} // namespace

int main(int argc, char **argv) {
    if (argc == 4 && std::string(argv[1]) == "--child") return Child(argv[2], std::atoi(argv[3]));
    if (argc < 2) return 2;
    if (argc >= 4 && !StartChild(argv[2], argv[3])) return 6;
    SleepSeconds(std::atoi(argv[1]));
    return 0;
}
