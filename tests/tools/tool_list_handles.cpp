// Says on standard output which handles of its host it can use.
// POSIX: the numbers of its open descriptors, one a line.
// Windows: for each semaphore handle value of the host given as an argument
// (decimal), "open" when releasing it works here, else "closed", one a line.
// A release that works raises the host's count, which the host can see.
#include <cstdio>
#include <cstdlib>
#if defined(_WIN32)
#include <windows.h>
#else
#include <fcntl.h>
#endif

int main(int argc, char **argv) {
#if defined(_WIN32)
    for (int i = 1; i < argc; ++i) {
        const HANDLE handle = reinterpret_cast<HANDLE>(static_cast<intptr_t>(std::strtoll(argv[i], nullptr, 10)));
        std::printf("%s\n", ReleaseSemaphore(handle, 1, nullptr) ? "open" : "closed");
    }
#else
    (void)argc;
    (void)argv;
    for (int fd = 0; fd < 1024; ++fd)
        if (fcntl(fd, F_GETFD) != -1) std::printf("%d\n", fd);
#endif
    return 0;
}
