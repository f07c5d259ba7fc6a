// The exchange file and the capture files on POSIX: their unique names, the
// descriptors they were made with, and the plain file calls, with the same
// contract as the Windows calls named in platform.h.
#include <fcntl.h>
#include <sys/stat.h>
#include <time.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "platform/platform.h"
#include "platform/posix/run_posix_internal.h"

namespace platform {

namespace internal {

namespace {

// The files CreateUniqueFile made. A run makes three at most (the exchange
// file and two captures); the start takes them all, and deleting a file
// drops its own.
MadeFile g_Made[3] = {{"", -1}, {"", -1}, {"", -1}};

void ForgetMade(MadeFile *made) {
    CloseKeepingError(made->Fd);
    made->Fd = -1;
}

} // namespace

MadeFile *FindMade(const char *path) {
    for (MadeFile &made : g_Made)
        if (made.Fd >= 0 && strcmp(made.Path, path) == 0) return &made;
    return nullptr;
}

void CloseKeepingError(int fd) {
    const int saved = errno;
    if (fd >= 0) close(fd);
    errno = saved;
}

void ForgetMadeFilesBut(const MadeFile *kept) {
    for (MadeFile &made : g_Made)
        if (made.Fd >= 0 && &made != kept) ForgetMade(&made);
}

} // namespace internal

using namespace internal;

namespace {

// GetTempFileNameA's number space: the name holds a 16-bit number other than
// 0 in one to four hexadecimal digits, so the exchange file's name is never
// longer than "seFFFF" and its extension, and a template can be budgeted
// against it.
constexpr unsigned kUniqueNumbers = 0xFFFF;

unsigned g_NextUniqueNumber;

// A starting number that differs between processes and between calls, so
// that two hosts rarely clash at all; from 1 to 0xFFFF.
unsigned StartingUniqueNumber() {
    if (g_NextUniqueNumber == 0) {
        timespec now{};
        clock_gettime(CLOCK_MONOTONIC, &now);
        g_NextUniqueNumber = static_cast<unsigned>(now.tv_nsec) ^ (static_cast<unsigned>(getpid()) << 4);
    }
    return g_NextUniqueNumber++ % kUniqueNumbers + 1;
}

// The number after `number`, 0xFFFF followed by 1.
unsigned NextUniqueNumber(unsigned number) { return number % kUniqueNumbers + 1; }

// Keeps `fd` for the file at `path`; without a free slot the file is reached
// by name, as any other.
void KeepMade(const char *path, int fd) {
    for (MadeFile &made : g_Made)
        if (made.Fd < 0) {
            snprintf(made.Path, sizeof made.Path, "%s", path);
            made.Fd = fd;
            return;
        }
    CloseKeepingError(fd);
}

// A file opened by name that is read back is the user's own regular file:
// neither a link (O_NOFOLLOW), nor a named pipe or a device, which could
// block or answer anything (O_NONBLOCK keeps the open itself from waiting),
// nor a file another user put in its place in a shared folder.
int OpenOwnRegularFile(const char *path, int access) {
    const int fd = open(path, access | O_NOFOLLOW | O_NONBLOCK | O_NOCTTY | O_CLOEXEC);
    if (fd < 0) return -1;
    struct stat status {};
    if (fstat(fd, &status) != 0) {
        CloseKeepingError(fd);
        return -1;
    }
    if (S_ISREG(status.st_mode) && status.st_uid == geteuid()) return fd;
    close(fd);
    errno = EPERM;
    return -1;
}

// Whether `extension` is one a name may end in: its dot, then at most
// kMaxExtensionChars - 1 more characters, none of them a "/", which would
// put the file into another directory.
bool IsFileExtension(const char *extension, size_t length) {
    return length >= 1 && length <= static_cast<size_t>(kMaxExtensionChars) && extension[0] == '.' &&
           !memchr(extension, '/', length);
}

} // namespace

uint32_t TempDirectory(char *buffer, uint32_t size) {
    if (size == 0) return 0;
    buffer[0] = '\0';
    const char *directory = getenv("TMPDIR");
    if (!directory || directory[0] == '\0') directory = "/tmp";
    const size_t length = strlen(directory);
    const bool needsSeparator = directory[length - 1] != '/';
    const size_t total = length + (needsSeparator ? 1 : 0);
    if (total > static_cast<size_t>(kMaxPath) || total >= size) {
        errno = ENAMETOOLONG;
        return 0;
    }
    memcpy(buffer, directory, length);
    if (needsSeparator) buffer[length] = '/';
    buffer[total] = '\0';
    return static_cast<uint32_t>(total);
}

// The prefix, one to four hexadecimal digits and the extension, as
// GetTempFileNameA names it: a taken name moves on to the next number, and
// after the whole number space the call gives up. Created new and exclusive
// with mode 0600: the text may hold a password or private data.
bool CreateUniqueFile(const char *directory, const char *prefix, const char *extension, char *path) {
    path[0] = '\0';
    const size_t length = strlen(directory);
    if (length == 0) {
        errno = ENOENT;
        return false;
    }
    const size_t extensionLength = strnlen(extension, kMaxExtensionChars + 1);
    if (!IsFileExtension(extension, extensionLength)) {
        errno = EINVAL;
        return false;
    }
    const char *const separator = directory[length - 1] == '/' ? "" : "/";
    // Whether the name fits does not depend on the number drawn: the widest
    // one must fit.
    if (length + strlen(separator) + strnlen(prefix, 3) + strlen("FFFF") + extensionLength >
        static_cast<size_t>(kMaxPath)) {
        errno = ENAMETOOLONG;
        return false;
    }
    unsigned number = StartingUniqueNumber();
    for (unsigned attempt = 0; attempt < kUniqueNumbers; ++attempt, number = NextUniqueNumber(number)) {
        char candidate[kMaxPath + 1];
        const int written =
            snprintf(candidate, sizeof candidate, "%s%s%.3s%X%s", directory, separator, prefix, number, extension);
        if (written < 0 || written > kMaxPath) {
            errno = ENAMETOOLONG;
            return false;
        }
        const int fd = open(candidate, O_RDWR | O_CREAT | O_EXCL | O_CLOEXEC, 0600);
        if (fd >= 0) {
            KeepMade(candidate, fd);
            memcpy(path, candidate, static_cast<size_t>(written) + 1);
            return true;
        }
        if (errno != EEXIST) return false;
    }
    errno = EEXIST;
    return false;
}

// An existing file is emptied, as CREATE_ALWAYS does. The exchange file is
// normally new and empty already: truncating only when there is something
// to drop spares it the write-back that some file systems (ext4) start when
// a file truncated to nothing is closed.
// A file CreateUniqueFile made is written through the descriptor it was
// made with, whatever bears its name now; a copy of it stays for a
// redirected start. Anything else is opened by name, never through a link.
// A new exchange file begins a run: what an earlier one made and did not
// start or delete is let go.
FileHandle FileCreateAlways(const char *path) {
    MadeFile *const made = FindMade(path);
    ForgetMadeFilesBut(made);
    const int fd = made ? fcntl(made->Fd, F_DUPFD_CLOEXEC, 0)
                        : open(path, O_RDWR | O_CREAT | O_NOFOLLOW | O_CLOEXEC, 0600);
    struct stat status {};
    if (fd < 0 || fstat(fd, &status) != 0 || (status.st_size != 0 && ftruncate(fd, 0) != 0)) {
        CloseKeepingError(fd);
        if (made) ForgetMade(made);
        return kInvalidFile;
    }
    return fd;
}

// The program may have put a new file in place of the exchange file (as
// `sed -i` does): it is read back by name, if it is the user's own.
FileHandle FileOpenExisting(const char *path) {
    const int fd = OpenOwnRegularFile(path, O_RDWR);
    return fd < 0 ? kInvalidFile : fd;
}

FileHandle FileOpenShared(const char *path) {
    const int fd = OpenOwnRegularFile(path, O_RDONLY);
    return fd < 0 ? kInvalidFile : fd;
}

namespace {

// One read() or write() call, repeated only when a signal interrupted it.
template <typename Call> bool MoveOnce(Call call, uint32_t *done) {
    *done = 0;
    ssize_t result;
    do {
        result = call();
    } while (result < 0 && errno == EINTR);
    if (result < 0) return false;
    *done = static_cast<uint32_t>(result);
    return true;
}

} // namespace

bool FileWrite(FileHandle file, const void *data, uint32_t count, uint32_t *done) {
    return MoveOnce([&] { return write(static_cast<int>(file), data, count); }, done);
}

bool FileRead(FileHandle file, void *data, uint32_t count, uint32_t *done) {
    return MoveOnce([&] { return read(static_cast<int>(file), data, count); }, done);
}

void FileClose(FileHandle file) {
    if (file != kInvalidFile) close(static_cast<int>(file));
}

bool FileDelete(const char *path) {
    if (MadeFile *const made = FindMade(path)) ForgetMade(made);
    return unlink(path) == 0;
}

} // namespace platform
