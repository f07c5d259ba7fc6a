// Exchange file, processes and messages on POSIX: stand-ins with the same
// contract as the Windows calls named in platform.h.
#include <dlfcn.h>
#include <fcntl.h>
#include <poll.h>
#include <pthread.h>
#include <sched.h>
#include <signal.h>
#include <spawn.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "platform/platform.h"
#include "platform/posix/argv_split.h"

// glibc 2.36 declares pidfd_open without C linkage.
extern "C" {
#include <sys/pidfd.h>
}

extern char **environ;

namespace platform {

namespace {

// Command lines handed to ProcessStart are those of CommandBuffer, 260
// characters at most; the split needs twice that plus terminators.
constexpr size_t kCommandLineChars = 260;
constexpr size_t kSplitStorageSize = 2 * kCommandLineChars + 2;
constexpr int kMaxItems = (kCommandLineChars + 3) / 2 + 1;

// GetTempFileNameA's number space: the name holds a 16-bit number other than
// 0 in one to four hexadecimal digits, so the exchange file's name is never
// longer than "seFFFF.TMP" and a template can be budgeted against it.
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

// The files CreateUniqueFile made, with the descriptors they were made with:
// in a shared folder another user may put something else in place of such
// a file, so the text is written, and a redirected program started, through
// these descriptors rather than by name. A run makes three at most (the
// exchange file and two captures); the start takes them all, and deleting a
// file drops its own.
struct MadeFile {
    char Path[kMaxPath + 1];
    int Fd; // -1: a free slot
};
MadeFile g_Made[3] = {{"", -1}, {"", -1}, {"", -1}};

MadeFile *FindMade(const char *path) {
    for (MadeFile &made : g_Made)
        if (made.Fd >= 0 && strcmp(made.Path, path) == 0) return &made;
    return nullptr;
}

void CloseKeepingError(int fd);

void ForgetMade(MadeFile *made) {
    CloseKeepingError(made->Fd);
    made->Fd = -1;
}

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

// Every made file but `kept` (null: all) is reached by name from now on.
void ForgetMadeFilesBut(const MadeFile *kept) {
    for (MadeFile &made : g_Made)
        if (made.Fd >= 0 && &made != kept) ForgetMade(&made);
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

// "se" + one to four hexadecimal digits + ".TMP", as GetTempFileNameA names
// it: a taken name moves on to the next number, and after the whole number
// space the call gives up. Created new and exclusive with mode 0600: the text
// may hold a password or private data.
bool CreateUniqueFile(const char *directory, const char *prefix, const char *, char *path) {
    path[0] = '\0';
    const size_t length = strlen(directory);
    if (length == 0) {
        errno = ENOENT;
        return false;
    }
    const char *const separator = directory[length - 1] == '/' ? "" : "/";
    // Whether the name fits does not depend on the number drawn: the widest
    // one must fit.
    if (length + strlen(separator) + strnlen(prefix, 3) + strlen("FFFF.TMP") > static_cast<size_t>(kMaxPath)) {
        errno = ENAMETOOLONG;
        return false;
    }
    unsigned number = StartingUniqueNumber();
    for (unsigned attempt = 0; attempt < kUniqueNumbers; ++attempt, number = NextUniqueNumber(number)) {
        char candidate[kMaxPath + 1];
        const int written =
            snprintf(candidate, sizeof candidate, "%s%s%.3s%X.TMP", directory, separator, prefix, number);
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

// The command line is split by the Windows rules (argv_split.cpp) and the
// program FindProgram found is started with its items as arguments. No shell
// is involved. The program gets the host's environment and current directory
// and no descriptor of the host beyond 0, 1 and 2, which are the host's own
// or, with `redirect`, the three given descriptors.
namespace {

struct Redirection {
    int input, output, error;
};

// Whether the last program started leads a process group of its own (a
// redirected start), so that ending a run ends the whole group. Runs never
// overlap, so one flag is enough.
bool g_StartedInGroup;

// The program starts with no signal blocked and every signal at its default
// action, as from a host that changed none: a host that ignores SIGPIPE or
// SIGCHLD, or blocks SIGTERM and SIGINT, as many GUI programs do, would
// otherwise hand that on, and `yes | head -n 1` would never end, `timeout`
// could not stop its command and a tool's children would seem to exit with 0.
// With `ownGroup` (a redirected start) it also leads a new process group.
// Returns 0 or the error of the call that failed; `attributes` is to be
// destroyed only when the result is 0.
int InitialiseAttributes(posix_spawnattr_t *attributes, bool ownGroup) {
    int error = posix_spawnattr_init(attributes);
    if (error != 0) return error;
    sigset_t none, all;
    sigemptyset(&none);
    sigfillset(&all);
    const short flags = static_cast<short>(POSIX_SPAWN_SETSIGMASK | POSIX_SPAWN_SETSIGDEF |
                                           (ownGroup ? POSIX_SPAWN_SETPGROUP : 0));
    error = posix_spawnattr_setsigmask(attributes, &none);
    if (error == 0) error = posix_spawnattr_setsigdefault(attributes, &all);
    if (error == 0) error = posix_spawnattr_setflags(attributes, flags);
    if (error == 0 && ownGroup) error = posix_spawnattr_setpgroup(attributes, 0);
    if (error != 0) posix_spawnattr_destroy(attributes);
    return error;
}

ProcessHandle Spawn(const char *program, const char *commandLine, const Redirection *redirect) {
    char storage[kSplitStorageSize];
    char *argv[kMaxItems];
    const size_t length = strnlen(commandLine, kCommandLineChars + 1);
    if (length > kCommandLineChars) {
        errno = E2BIG;
        return 0;
    }
    const int count = SplitCommandLine(commandLine, storage, sizeof storage, argv, kMaxItems);
    if (count <= 0) {
        // An empty command line names no program to start.
        errno = count == 0 ? ENOENT : E2BIG;
        return 0;
    }

    // The file actions and attributes are destroyed only when their
    // initialisation worked. The descriptors are opened in the order input,
    // output, error, each the lowest free one, so no dup2 below overwrites
    // one that is still to come.
    posix_spawn_file_actions_t actions;
    posix_spawnattr_t attributes;
    pid_t pid = 0;
    int error = posix_spawn_file_actions_init(&actions);
    if (error == 0) {
        if (redirect) {
            error = posix_spawn_file_actions_adddup2(&actions, redirect->input, STDIN_FILENO);
            if (error == 0) error = posix_spawn_file_actions_adddup2(&actions, redirect->output, STDOUT_FILENO);
            if (error == 0) error = posix_spawn_file_actions_adddup2(&actions, redirect->error, STDERR_FILENO);
        }
        if (error == 0) error = posix_spawn_file_actions_addclosefrom_np(&actions, 3);
        if (error == 0) error = InitialiseAttributes(&attributes, redirect != nullptr);
        if (error == 0) {
            error = posix_spawn(&pid, program, &actions, &attributes, argv, environ);
            posix_spawnattr_destroy(&attributes);
        }
        posix_spawn_file_actions_destroy(&actions);
    }
    g_StartedInGroup = redirect != nullptr;
    if (error != 0) {
        errno = error;
        return 0;
    }
    return pid;
}

// Closes a descriptor without changing errno, which may tell why a start
// failed.
void CloseKeepingError(int fd) {
    const int saved = errno;
    if (fd >= 0) close(fd);
    errno = saved;
}

// The status of the ended child; false when waitpid could not give it.
bool WaitForStatus(ProcessHandle process, int *status) {
    *status = 0;
    pid_t result;
    while ((result = waitpid(static_cast<pid_t>(process), status, 0)) < 0 && errno == EINTR) {
    }
    return result == static_cast<pid_t>(process);
}

} // namespace

namespace {

// Where a bare program name is looked for when PATH is not set, as
// posix_spawnp does.
constexpr char kDefaultSearchPath[] = "/bin:/usr/bin";

// `directory`/`name` into `path` when it is an executable regular file.
// Records in `denied` that one was found that may not be run.
bool ExecutableIn(const char *directory, size_t directoryLength, const char *name, char *path, bool *denied) {
    const int written = snprintf(path, kMaxPath + 1, "%.*s%s%s", static_cast<int>(directoryLength), directory,
                                 directory[directoryLength - 1] == '/' ? "" : "/", name);
    if (written < 0 || written > kMaxPath) return false;
    struct stat status {};
    if (stat(path, &status) != 0 || !S_ISREG(status.st_mode)) return false;
    if (access(path, X_OK) == 0) return true;
    *denied = true;
    return false;
}

} // namespace

// Only the absolute entries of PATH are searched: an empty entry, "." or a
// relative one stands for the current directory, which a document's folder
// may have become.
bool FindProgram(const char *commandLine, bool, ProgramFound *found) {
    found->Path[0] = '\0';
    found->ThroughCommandInterpreter = false;
    char storage[kSplitStorageSize];
    char *argv[kMaxItems];
    if (strnlen(commandLine, kCommandLineChars + 1) > kCommandLineChars ||
        SplitCommandLine(commandLine, storage, sizeof storage, argv, kMaxItems) <= 0 || argv[0][0] == '\0') {
        errno = ENOENT;
        return false;
    }
    const char *const name = argv[0];
    if (strchr(name, '/')) {
        if (strlen(name) > static_cast<size_t>(kMaxPath)) {
            errno = ENAMETOOLONG;
            return false;
        }
        memcpy(found->Path, name, strlen(name) + 1);
        return true;
    }
    const char *search = getenv("PATH");
    if (!search) search = kDefaultSearchPath;
    bool denied = false;
    for (const char *entry = search;; ++entry) {
        const char *const end = strchrnul(entry, ':');
        if (entry[0] == '/' && ExecutableIn(entry, static_cast<size_t>(end - entry), name, found->Path, &denied))
            return true;
        if (*end == '\0') break;
        entry = end;
    }
    found->Path[0] = '\0';
    errno = denied ? EACCES : ENOENT;
    return false;
}

// The program gets the exchange file's path, not a descriptor: from here
// on the files are reached by name.
ProcessHandle ProcessStart(const char *program, const char *commandLine, const StartOptions &) {
    ForgetMadeFilesBut(nullptr);
    return Spawn(program, commandLine, nullptr);
}

namespace {

// A descriptor of the file at `path` for a redirected start: the one it was
// made with (standard input from the start of the file), or else one opened
// by name, never through a link. -1 on failure.
int RedirectionOf(const char *path, int access) {
    const MadeFile *const made = FindMade(path);
    if (!made) return open(path, access | O_NOFOLLOW | O_CLOEXEC);
    return access == O_RDONLY && lseek(made->Fd, 0, SEEK_SET) != 0 ? -1 : made->Fd;
}

} // namespace

// The files are the plug-in's own, the capture files new and empty; they are
// not truncated, which would cost a flush on close on some file systems
// (ext4). Close-on-exec keeps the descriptors from any program but this one,
// where dup2 makes copies without it.
ProcessHandle ProcessStartRedirected(const char *program, const char *commandLine, const StartOptions &,
                                     const char *inputPath,
                                     const char *outputPath, const char *errorPath) {
    Redirection redirect{-1, -1, -1};
    const bool byName[3] = {!FindMade(inputPath), !FindMade(outputPath), !FindMade(errorPath)};
    ProcessHandle process = 0;
    redirect.input = RedirectionOf(inputPath, O_RDONLY);
    if (redirect.input >= 0) redirect.output = RedirectionOf(outputPath, O_WRONLY);
    if (redirect.output >= 0) redirect.error = RedirectionOf(errorPath, O_WRONLY);
    if (redirect.error >= 0) process = Spawn(program, commandLine, &redirect);
    if (byName[2]) CloseKeepingError(redirect.error);
    if (byName[1]) CloseKeepingError(redirect.output);
    if (byName[0]) CloseKeepingError(redirect.input);
    ForgetMadeFilesBut(nullptr);
    return process;
}

namespace {

// ---- Waiting with limits ----------------------------------------------------

// Set by the SIGINT handler of a wait; the thread that waits.
volatile sig_atomic_t g_Interrupted;
pid_t g_WaitingThread;
// Whether the wait still runs, and how many handlers on other threads are
// between their look at that and their tgkill: the wait takes back every
// SIGINT sent to its thread before the host's handler returns.
std::atomic<bool> g_Waiting;
std::atomic<int> g_Forwarding;

// SIGINT during a wait is Cancel. The kernel may hand the signal to another
// thread of the host; the waiting thread is then sent it too, since only
// there does it end the wait's ppoll.
void CancelOnInterrupt(int) {
    const int saved = errno;
    g_Interrupted = 1;
    ++g_Forwarding;
    if (g_Waiting && gettid() != g_WaitingThread) tgkill(getpid(), g_WaitingThread, SIGINT);
    --g_Forwarding;
    errno = saved;
}

// Takes a SIGINT that waits for this thread, where SIGINT is blocked, as
// the handler would.
void TakePendingInterrupt(const sigset_t &interrupt) {
    const timespec now{0, 0};
    while (sigtimedwait(&interrupt, nullptr, &now) == SIGINT) g_Interrupted = 1;
}

// After the wait: no SIGINT forwarded to this thread may stay for the
// host's handler, which would count one Ctrl-C twice. Handlers that are
// forwarding one are waited for, then what they sent is taken.
void DropForwardedInterrupts(const sigset_t &interrupt) {
    g_Waiting = false;
    while (g_Forwarding > 0) sched_yield();
    TakePendingInterrupt(interrupt);
}

// How often the capture files' sizes are looked at, and the step of a wait
// without a pidfd.
constexpr int64_t kCaptureCheckMs = 100;
constexpr int64_t kStepWithoutPidfdMs = 10;
// How long a program is given between SIGTERM and SIGKILL.
constexpr int64_t kTermGraceMs = 1000;
constexpr int64_t kNoDeadline = INT64_MAX;

int64_t NowMs() {
    timespec now{};
    clock_gettime(CLOCK_MONOTONIC, &now);
    return static_cast<int64_t>(now.tv_sec) * 1000 + now.tv_nsec / 1000000;
}

struct Waiter {
    pid_t Pid;
    int Pidfd;          // -1: none could be had, the wait goes in steps
    sigset_t WaitMask;  // the thread's mask during ppoll: SIGINT let through
    sigset_t Interrupt; // SIGINT alone
};

timespec Duration(int64_t ms) { return {static_cast<time_t>(ms / 1000), static_cast<long>(ms % 1000) * 1000000}; }

// Whether the program has ended, from its status: a child that can no
// longer be waited for (another reaper took it) has ended too, but a look
// that fails for another reason tells nothing.
bool HasEnded(const Waiter &w) {
    siginfo_t info{};
    if (waitid(P_PID, static_cast<id_t>(w.Pid), &info, WEXITED | WNOHANG | WNOWAIT) != 0) return errno == ECHILD;
    return info.si_pid != 0;
}

// Waits until the program has ended (ended but not yet reaped counts) or
// `deadline` has come or a signal came. Returns whether it has ended; the
// program is not reaped. A ppoll that fails, or reports the pidfd unusable,
// is no end: the step is slept another way, so that the wait never spins,
// and the program's status is looked at.
bool EndedBy(const Waiter &w, int64_t deadline) {
    const int64_t now = NowMs();
    int64_t wait = deadline == kNoDeadline ? -1 : (deadline > now ? deadline - now : 0);
    if (w.Pidfd < 0 && (wait < 0 || wait > kStepWithoutPidfdMs)) wait = kStepWithoutPidfdMs;
    const timespec timeout = Duration(wait);
    pollfd program{w.Pidfd, POLLIN, 0};
    const int ready = ppoll(w.Pidfd >= 0 ? &program : nullptr, w.Pidfd >= 0 ? 1 : 0, wait < 0 ? nullptr : &timeout,
                            &w.WaitMask);
    if (ready < 0 && errno == EINTR) return false;
    const bool failed = ready < 0 || (w.Pidfd >= 0 && ready > 0 && (program.revents & (POLLIN | POLLHUP)) == 0);
    if (w.Pidfd >= 0 && !failed) return ready > 0;
    if (failed) {
        const timespec step = Duration(wait >= 0 && wait < kStepWithoutPidfdMs ? wait : kStepWithoutPidfdMs);
        nanosleep(&step, nullptr);
        TakePendingInterrupt(w.Interrupt);
    }
    return HasEnded(w);
}

// Whether the program itself has stopped for the terminal: in a group of
// its own it may not read it (SIGTTIN) or change its settings (SIGTTOU).
bool StoppedForTerminal(const Waiter &w) {
    siginfo_t info{};
    return waitid(P_PID, static_cast<id_t>(w.Pid), &info, WSTOPPED | WNOHANG | WNOWAIT) == 0 && info.si_pid != 0 &&
           info.si_code == CLD_STOPPED && (info.si_status == SIGTTIN || info.si_status == SIGTTOU);
}

// Which capture file, if any, has grown past its bound. A capture that
// cannot be looked at is taken as it was.
EndKind CaptureOverflow(const WaitLimits &limits) {
    struct stat status {};
    if (stat(limits.OutputPath, &status) == 0 && status.st_size > static_cast<off_t>(limits.OutputBytes))
        return EndKind::OutputTooLong;
    if (stat(limits.ErrorPath, &status) == 0 && status.st_size > static_cast<off_t>(limits.ErrorBytes))
        return EndKind::ErrorOutputTooLong;
    return EndKind::Exited;
}

// Runs the wait until the program ends (Exited) or a limit or Cancel stops
// it (the reason).
EndKind WaitWithin(const Waiter &w, const WaitLimits &limits) {
    const int64_t start = NowMs();
    const int64_t deadline = limits.Seconds ? start + static_cast<int64_t>(limits.Seconds) * 1000 : kNoDeadline;
    const bool watchCaptures = limits.OutputPath && limits.ErrorPath;
    int64_t nextCheck = watchCaptures ? start + kCaptureCheckMs : kNoDeadline;
    for (;;) {
        if (EndedBy(w, deadline < nextCheck ? deadline : nextCheck)) return EndKind::Exited;
        if (g_Interrupted) return EndKind::Cancelled;
        const int64_t now = NowMs();
        if (now >= deadline) return EndKind::TimedOut;
        if (now >= nextCheck) {
            const EndKind overflow = CaptureOverflow(limits);
            if (overflow != EndKind::Exited) return overflow;
            if (g_StartedInGroup && StoppedForTerminal(w)) return EndKind::WantedTerminal;
            nextCheck = now + kCaptureCheckMs;
        }
    }
}

// A signal to the program's group, or to the program alone through its
// pidfd where it has one: a host that reaps its children itself may have
// freed the program's number for another process already.
void SignalProgram(const Waiter &w, bool group, int signal) {
    if (group)
        kill(-w.Pid, signal);
    else if (w.Pidfd >= 0)
        pidfd_send_signal(w.Pidfd, signal, nullptr, 0);
    else
        kill(w.Pid, signal);
}

// SIGTERM to the program, or its whole group, with SIGCONT, which a stopped
// process needs to act on it; SIGKILL to whatever is left as soon as the
// program itself has ended, or after a second.
void EndProgram(const Waiter &w, bool group) {
    SignalProgram(w, group, SIGTERM);
    SignalProgram(w, group, SIGCONT);
    const int64_t deadline = NowMs() + kTermGraceMs;
    while (!EndedBy(w, deadline) && NowMs() < deadline) {
    }
    SignalProgram(w, group, SIGKILL);
}

} // namespace

ProcessEnd ProcessWaitWithLimits(ProcessHandle process, const WaitLimits &limits) {
    Waiter w{static_cast<pid_t>(process), pidfd_open(static_cast<pid_t>(process), 0), {}, {}};
    // SIGINT reaches this thread only inside ppoll, so none is missed between
    // a look at the flag and the next sleep.
    sigset_t previousMask;
    sigemptyset(&w.Interrupt);
    sigaddset(&w.Interrupt, SIGINT);
    pthread_sigmask(SIG_BLOCK, &w.Interrupt, &previousMask);
    w.WaitMask = previousMask;
    sigdelset(&w.WaitMask, SIGINT);
    g_Interrupted = 0;
    g_WaitingThread = gettid();
    g_Waiting = true;
    struct sigaction cancel {}, hosts{};
    cancel.sa_handler = CancelOnInterrupt;
    sigemptyset(&cancel.sa_mask);
    const bool handled = sigaction(SIGINT, &cancel, &hosts) == 0;

    const EndKind reason = WaitWithin(w, limits);
    if (reason != EndKind::Exited) EndProgram(w, g_StartedInGroup);

    if (handled) DropForwardedInterrupts(w.Interrupt);
    if (handled) sigaction(SIGINT, &hosts, nullptr);
    pthread_sigmask(SIG_SETMASK, &previousMask, nullptr);
    if (w.Pidfd >= 0) close(w.Pidfd);
    int status = 0;
    const bool known = WaitForStatus(process, &status);
    if (reason != EndKind::Exited) return {reason, 0};
    if (!known) return {EndKind::Unknown, 0};
    if (WIFSIGNALED(status)) return {EndKind::Signalled, static_cast<uint32_t>(WTERMSIG(status))};
    return {EndKind::Exited, static_cast<uint32_t>(WEXITSTATUS(status))};
}

uint32_t LastError() { return static_cast<uint32_t>(errno); }

void SystemMessage(uint32_t code, char *buffer, uint32_t size) {
    if (size == 0) return;
    buffer[0] = '\0';
    char text[256];
    // The GNU strerror_r returns the text, which may or may not be `text`.
    const char *const message = strerror_r(static_cast<int>(code), text, sizeof text);
    if (message) snprintf(buffer, size, "%s", message);
}

namespace {

// A host that wants to know that a message was shown (plugin-host, which
// exits with 1 then) exports this function; it is called once per message.
// The module's own exports stay as they are.
constexpr char kHostMessageNotice[] = "PluginHostMessageShown";

void TellHostAMessageWasShown() {
    void *const notice = dlsym(RTLD_DEFAULT, kHostMessageNotice);
    if (notice) reinterpret_cast<void (*)()>(notice)();
}

} // namespace

namespace {

// A message may hold what a program wrote; on a terminal its escape
// sequences would set the title or clear the screen. Control bytes but line
// breaks and tabs, and DEL, show as "?": no character set the text may be in
// uses them inside a character.
void MaskControls(char *line, size_t length) {
    for (size_t i = 0; i < length; ++i) {
        const unsigned char c = static_cast<unsigned char>(line[i]);
        if ((c < 0x20 && c != '\n' && c != '\t') || c == 0x7F) line[i] = '?';
    }
}

} // namespace

// "title: text" on standard error, in one write so that concurrent output
// cannot come between its parts.
void ShowErrorBox(WindowHandle, const char *text, const char *title) {
    TellHostAMessageWasShown();
    char line[2048];
    const size_t textLength = strlen(text);
    const bool endsWithBreak = textLength > 0 && text[textLength - 1] == '\n';
    int length = snprintf(line, sizeof line, "%s: %s%s", title, text, endsWithBreak ? "" : "\n");
    if (length < 0) return;
    if (static_cast<size_t>(length) >= sizeof line) {
        // Longer than any message of the plug-in; the end still breaks the line.
        length = sizeof line - 1;
        line[length - 1] = '\n';
    }
    MaskControls(line, static_cast<size_t>(length));
    ssize_t result;
    do {
        result = write(STDERR_FILENO, line, static_cast<size_t>(length));
    } while (result < 0 && errno == EINTR);
}

} // namespace platform
