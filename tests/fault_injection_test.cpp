// Every failure of the C library the POSIX platform can meet, one at a time.
// The module's core is linked with its C library calls wrapped
// (-Wl,--wrap=..., see CMakeLists.txt); while one run or one save is in
// progress the calls are counted and the N-th fails with a fitting errno,
// for N = 1, 2, ... until the operation ends without reaching N. Every
// outcome must be a documented one: the right message or none, PutText
// given only what the exchange file held, no descriptor, child or file
// left behind, and a settings file that holds each key's old or new value.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <iconv.h>
#include <locale.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdarg>
#include <cstring>
#include <filesystem>
#include <functional>
#include <iterator>
#include <set>
#include <sstream>
#include <string>
#include <vector>

#include "plugin/plugin_state.h"
#include "run/run_tool.h"
#include "settings/settings_file.h"
#include "test_support.h"

namespace {

// The errno each wrapped call fails with.
const std::pair<std::string, int> kErrors[] = {
    {"open", EMFILE},     {"close", EIO},       {"read", EIO},         {"write", ENOSPC},  {"pread", EIO},
    {"pwrite", EFBIG},    {"fstat", EOVERFLOW}, {"fchmod", EPERM},     {"fsync", EDQUOT},  {"ftruncate", EIO},
    {"lseek", EINVAL},    {"rename", ENOSPC},   {"unlink", EBUSY},     {"readlink", EIO},  {"faccessat", EACCES},
    {"fchown", EIO},
    {"waitpid", ECHILD},  {"posix_fallocate", ENOSPC},                 {"posix_spawn", EAGAIN},
    {"posix_spawn_file_actions_init", ENOMEM}, {"posix_spawn_file_actions_addclosefrom_np", ENOMEM},
    {"posix_spawn_file_actions_adddup2", EBADF}, {"posix_spawnattr_init", ENOMEM},
    {"posix_spawnattr_setsigmask", EINVAL}, {"posix_spawnattr_setsigdefault", EINVAL},
    {"posix_spawnattr_setflags", EINVAL}, {"posix_spawnattr_setpgroup", EINVAL}, {"newlocale", ENOMEM},
    {"iconv_open", EMFILE}, {"iconv", EILSEQ}, {"iconv_close", EBADF}, {"pidfd_open", EMFILE}, {"ppoll", ENOMEM},
    {"waitid", ECHILD}, {"kill", EPERM}, {"stat", EACCES}};

// Failures that refuse the atomic save of the settings file where the old
// file may still be changed in place: the new file cannot be made, cannot
// be given the old one's owner, or cannot take its place. One row per run;
// the calls it names fail with these codes instead of those above.
struct Refusal {
    int open, fchown, rename;
};
const Refusal kRefusals[] = {{EACCES, EPERM, EPERM}, {EPERM, EINVAL, EBUSY}, {ENAMETOOLONG, EPERM, EXDEV},
                             {EACCES, EPERM, EACCES}};
const Refusal *g_Refusal = nullptr;

int ErrorOf(const std::string &name) {
    if (g_Refusal && name == "open") return g_Refusal->open;
    if (g_Refusal && name == "fchown") return g_Refusal->fchown;
    if (g_Refusal && name == "rename") return g_Refusal->rename;
    for (const auto &[call, error] : kErrors)
        if (call == name) return error;
    return 0;
}

// A call made while an operation was under test: the file it concerns, and
// 1 for the first call of this name.
struct Call {
    std::string name, path;
    int ordinal;
};
struct Injector {
    bool active = false, hit = false;
    int failAt = 0;
    std::string failEvery; // a call that fails every time, besides the N-th
    std::vector<Call> calls;
    Call fault;
} g_Injector;
std::string g_PathOfDescriptor[1024];
// The name of the last new file a save tried to make, and the permissions
// any such file had the moment it was made (with the umask at 0).
std::string g_LastSibling;
mode_t g_SiblingModes = 0;
// The permissions the creating calls of those files asked for.
mode_t g_SiblingCreateModes = 0;

bool IsSibling(const std::string &path) { return path.ends_with(".tmp"); }

// Counts a call while an operation is under test; returns the errno it is
// to fail with, or 0.
int Fault(const char *name, const std::string &path = "") {
    Injector &g = g_Injector;
    if (!g.active) return 0;
    int ordinal = 1;
    for (const Call &call : g.calls) ordinal += call.name == name;
    g.calls.push_back({name, path, ordinal});
    if (g.failEvery == name) return ErrorOf(name);
    if (static_cast<int>(g.calls.size()) != g.failAt) return 0;
    g.hit = true;
    g.fault = g.calls.back();
    return ErrorOf(name);
}

} // namespace

#define WRAP(type, name, params, args, path)                                                                   \
    extern "C" type __real_##name params;                                                                     \
    extern "C" type __wrap_##name params {                                                                    \
        if (const int error = Fault(#name, path)) return errno = error, -1;                                   \
        return __real_##name args;                                                                            \
    }
// The posix_* calls return the error instead of setting errno.
#define WRAP_CODE(name, params, args)                                                                          \
    extern "C" int __real_##name params;                                                                      \
    extern "C" int __wrap_##name params {                                                                     \
        if (const int error = Fault(#name)) return error;                                                     \
        return __real_##name args;                                                                            \
    }

WRAP(ssize_t, read, (int fd, void *data, size_t count), (fd, data, count), "")
WRAP(ssize_t, write, (int fd, const void *data, size_t count), (fd, data, count), fd == 2 ? "stderr" : "")
WRAP(ssize_t, pread, (int fd, void *data, size_t count, off_t at), (fd, data, count, at), "")
WRAP(ssize_t, pwrite, (int fd, const void *data, size_t count, off_t at), (fd, data, count, at), "")
WRAP(int, fstat, (int fd, struct stat *status), (fd, status), "")
WRAP(int, fchmod, (int fd, mode_t mode), (fd, mode), "")
WRAP(int, fchown, (int fd, uid_t owner, gid_t group), (fd, owner, group), fd >= 0 && fd < 1024 ? g_PathOfDescriptor[fd] : "")
WRAP(int, fsync, (int fd), (fd), "")
WRAP(int, ftruncate, (int fd, off_t length), (fd, length), "")
WRAP(off_t, lseek, (int fd, off_t offset, int whence), (fd, offset, whence), "")
WRAP(int, rename, (const char *from, const char *to), (from, to), from)
WRAP(int, unlink, (const char *path), (path), path)
WRAP(ssize_t, readlink, (const char *path, char *buffer, size_t size), (path, buffer, size), path)
WRAP(int, faccessat, (int dir, const char *path, int mode, int flags), (dir, path, mode, flags), path)
WRAP_CODE(posix_fallocate, (int fd, off_t at, off_t length), (fd, at, length))
WRAP_CODE(posix_spawn_file_actions_init, (posix_spawn_file_actions_t * actions), (actions))
WRAP_CODE(posix_spawn_file_actions_addclosefrom_np, (posix_spawn_file_actions_t * actions, int from),
          (actions, from))
WRAP_CODE(posix_spawn_file_actions_adddup2, (posix_spawn_file_actions_t * actions, int fd, int to),
          (actions, fd, to))
// With g_InterruptAfterWake, a SIGINT reaches the waiting thread just after
// ppoll woke for the program's end, as one forwarded from another thread
// can: it waits there, blocked, for whatever handler is in place next.
bool g_InterruptAfterWake;
extern "C" int __real_ppoll(struct pollfd *fds, nfds_t count, const struct timespec *timeout, const sigset_t *mask);
extern "C" int __wrap_ppoll(struct pollfd *fds, nfds_t count, const struct timespec *timeout, const sigset_t *mask) {
    if (const int error = Fault("ppoll")) return errno = error, -1;
    const int ready = __real_ppoll(fds, count, timeout, mask);
    if (g_InterruptAfterWake && ready > 0) tgkill(getpid(), gettid(), SIGINT);
    return ready;
}
WRAP(int, kill, (pid_t pid, int signal), (pid, signal), "")
WRAP(int, stat, (const char *path, struct stat *status), (path, status), path)
WRAP_CODE(posix_spawnattr_init, (posix_spawnattr_t * attributes), (attributes))
WRAP_CODE(posix_spawnattr_setsigmask, (posix_spawnattr_t * attributes, const sigset_t *mask), (attributes, mask))
WRAP_CODE(posix_spawnattr_setsigdefault, (posix_spawnattr_t * attributes, const sigset_t *set), (attributes, set))
WRAP_CODE(posix_spawnattr_setflags, (posix_spawnattr_t * attributes, short flags), (attributes, flags))
WRAP_CODE(posix_spawnattr_setpgroup, (posix_spawnattr_t * attributes, pid_t group), (attributes, group))
WRAP_CODE(posix_spawn,
          (pid_t * pid, const char *file, const posix_spawn_file_actions_t *actions, const posix_spawnattr_t *attr,
           char *const argv[], char *const envp[]),
          (pid, file, actions, attr, argv, envp))

extern "C" int __real_open(const char *path, int flags, ...);
int OpenCounted(const char *path, int flags, mode_t mode) {
    if (IsSibling(path)) g_LastSibling = path;
    if (IsSibling(path) && (flags & O_CREAT)) g_SiblingCreateModes |= mode;
    if (const int error = Fault("open", path)) return errno = error, -1;
    const int fd = __real_open(path, flags, mode);
    if (fd >= 0 && fd < 1024) g_PathOfDescriptor[fd] = path;
    struct stat status;
    if (fd >= 0 && IsSibling(path) && __real_fstat(fd, &status) == 0) g_SiblingModes |= status.st_mode & 07777;
    return fd;
}
extern "C" int __wrap_open(const char *path, int flags, ...) {
    va_list list;
    va_start(list, flags);
    const mode_t mode = (flags & O_CREAT) ? static_cast<mode_t>(va_arg(list, int)) : 0;
    va_end(list);
    return OpenCounted(path, flags, mode);
}
// With _FORTIFY_SOURCE, an open whose flags are not known when compiling
// calls this instead.
extern "C" int __wrap___open_2(const char *path, int flags) { return OpenCounted(path, flags, 0); }

// The character-set calls: a locale or a converter that cannot be had, and
// a conversion that stops at a sequence it cannot convert.
extern "C" locale_t __real_newlocale(int mask, const char *name, locale_t base);
extern "C" locale_t __wrap_newlocale(int mask, const char *name, locale_t base) {
    if (const int error = Fault("newlocale")) return errno = error, static_cast<locale_t>(nullptr);
    return __real_newlocale(mask, name, base);
}
extern "C" iconv_t __real_iconv_open(const char *to, const char *from);
extern "C" iconv_t __wrap_iconv_open(const char *to, const char *from) {
    if (const int error = Fault("iconv_open")) return errno = error, reinterpret_cast<iconv_t>(-1);
    return __real_iconv_open(to, from);
}
extern "C" size_t __real_iconv(iconv_t converter, char **in, size_t *inLeft, char **out, size_t *outLeft);
extern "C" size_t __wrap_iconv(iconv_t converter, char **in, size_t *inLeft, char **out, size_t *outLeft) {
    if (const int error = Fault("iconv")) return errno = error, static_cast<size_t>(-1);
    return __real_iconv(converter, in, inLeft, out, outLeft);
}
// A converter is released also when closing it reports an error.
extern "C" int __real_iconv_close(iconv_t converter);
extern "C" int __wrap_iconv_close(iconv_t converter) {
    const int error = Fault("iconv_close");
    const int result = __real_iconv_close(converter);
    return error ? (errno = error, -1) : result;
}

// Linux releases the descriptor also when close reports an error.
extern "C" int __real_close(int fd);
extern "C" int __wrap_close(int fd) {
    const int error = Fault("close", fd >= 0 && fd < 1024 ? g_PathOfDescriptor[fd] : "");
    const int result = __real_close(fd);
    return error ? (errno = error, -1) : result;
}

// ECHILD is what another reaper of the child leaves, once it has ended: the
// failing call reaps it first, as that reaper would.
extern "C" pid_t __real_waitpid(pid_t pid, int *status, int options);
extern "C" pid_t __wrap_waitpid(pid_t pid, int *status, int options) {
    const int error = Fault("waitpid");
    const pid_t result = __real_waitpid(pid, status, error ? options & ~WNOHANG : options);
    return error ? (errno = error, -1) : result;
}

// Where no pidfd can be had, the wait looks at the child in steps.
extern "C" int __real_waitid(idtype_t type, id_t id, siginfo_t *info, int options);
extern "C" int __wrap_waitid(idtype_t type, id_t id, siginfo_t *info, int options) {
    if (const int error = Fault("waitid")) return errno = error, -1;
    return __real_waitid(type, id, info, options);
}

extern "C" int __real_pidfd_send_signal(int fd, int signal, siginfo_t *info, unsigned int flags);
extern "C" int __wrap_pidfd_send_signal(int fd, int signal, siginfo_t *info, unsigned int flags) {
    if (const int error = Fault("pidfd_send_signal")) return errno = error, -1;
    return __real_pidfd_send_signal(fd, signal, info, flags);
}

extern "C" int __real_pidfd_open(pid_t pid, unsigned int flags);
extern "C" int __wrap_pidfd_open(pid_t pid, unsigned int flags) {
    if (const int error = Fault("pidfd_open")) return errno = error, -1;
    return __real_pidfd_open(pid, flags);
}

namespace {

namespace fs = std::filesystem;

std::string Replace(std::string text, const std::string &from, const std::string &to) {
    const size_t at = text.find(from);
    return at == std::string::npos ? text : text.replace(at, from.size(), to);
}

void EmptyDirectory(const std::string &directory) {
    for (const std::string &name : test::ListDirectory(directory)) fs::remove(fs::path(directory) / name);
}

std::string FaultName() { return g_Injector.fault.name + "#" + std::to_string(g_Injector.fault.ordinal); }

// Runs `operation` with its N-th wrapped call failing, for N = 1, 2, ...,
// each from the state `prepare` makes, until the operation ends without
// reaching N. Returns the names of that last, undisturbed operation's calls.
std::string ForEveryFault(const std::function<void()> &prepare, const std::function<void()> &operation,
                          const std::function<void()> &check) {
    for (int n = 1; n <= 500; ++n) {
        prepare();
        const std::vector<std::string> descriptors = test::ListDirectory("/proc/self/fd");
        g_Injector = Injector{};
        g_Injector.failAt = n;
        g_Injector.active = true;
        operation();
        g_Injector.active = false;
        SCOPED_TRACE("call " + std::to_string(n) + ", " + (g_Injector.hit ? FaultName() : "none") + " failing");
        EXPECT_EQ(test::ListDirectory("/proc/self/fd"), descriptors);
        check();
        if (g_Injector.hit) continue;
        std::string names;
        for (const Call &call : g_Injector.calls) names += (names.empty() ? "" : " ") + call.name;
        return names;
    }
    ADD_FAILURE() << "the operation makes more than 500 calls";
    return "";
}

class FaultInjectionTest : public testing::Test {
protected:
    void SetUp() override { directory_ = test::MakeTempDir(); }
    void TearDown() override {
        chmod(directory_.c_str(), 0755);
        test::RemoveTree(directory_);
    }
    std::string Runs(bool readOnly, bool filter = false, bool utf8 = false, bool endless = false);
    std::string Saves(bool inPlace, const Refusal *refusal = nullptr);
    std::string directory_;
};

// ---- A run ---------------------------------------------------------------------

// "é" in ISO-8859-1, the character set of the runs through UTF-8.
const char kText[] = "Hello, fault injection\nline two \xE9\n";
const char kResult[] = "HELLO, FAULT INJECTION\nLINE TWO \xE9\n"; // what tool_upper_case makes of it
const char kTextInUtf8[] = "Hello, fault injection\nline two \xC3\xA9\n"; // the exchange file of a UTF-8 run
std::vector<std::string> g_PutTexts;
void GetText(int32_t, char *buffer, int32_t capacity) { snprintf(buffer, static_cast<size_t>(capacity), "%s", kText); }
void PutText(int32_t, const char *text) { g_PutTexts.push_back(text); }

// What a run shows and leaves when the named call fails; the last row holds
// for every other call. `put`: what PutText is given (null: it is not
// called); `left`: what the one file that stays holds (null: none stays).
struct RunOutcome {
    const char *call, *message, *put, *left;
};
const char kCreateFailed[] = "Error: Could not create temporary file\n'{file}'\nError code={code}\n";
const char kDirectoryFailed[] = "Error: Could not create temporary file\n'{dir}'\nError code={code}\n";
const char kExecuteError[] = "Execute Error!: RUN : {cmd}\nERROR: {code}\nMSG:{text}\n";
const char kReadFailed[] = "Error: Could not read TEMP file\n'{file}'\nError code={code}\n";
const RunOutcome kRunOutcomes[] = {
    {"open#1", kDirectoryFailed, nullptr, nullptr},
    {"fstat#1", kCreateFailed, nullptr, ""},
    {"write#1", "Error: Could not write TEMP file\n", nullptr, nullptr},
    {"posix_spawn_file_actions_init#1", kExecuteError, nullptr, nullptr},
    {"posix_spawn_file_actions_addclosefrom_np#1", kExecuteError, nullptr, nullptr},
    {"posix_spawnattr_init#1", kExecuteError, nullptr, nullptr},
    {"posix_spawnattr_setsigmask#1", kExecuteError, nullptr, nullptr},
    {"posix_spawnattr_setsigdefault#1", kExecuteError, nullptr, nullptr},
    {"posix_spawnattr_setflags#1", kExecuteError, nullptr, nullptr},
    {"posix_spawn#1", kExecuteError, nullptr, nullptr},
    {"open#2", kReadFailed, nullptr, nullptr},
    {"fstat#2", kReadFailed, nullptr, nullptr},
    {"read#1", kReadFailed, nullptr, nullptr},
    {"unlink#1", "", kResult, kResult},
    {"", "", kResult, nullptr},
};
// Filter mode, through tool_cat: the exchange file is standard input, and
// two capture files ({out}: standard output) are made after it.
const RunOutcome kFilterOutcomes[] = {
    {"open#1", kDirectoryFailed, nullptr, nullptr},
    {"fstat#1", kCreateFailed, nullptr, ""},
    {"write#1", "Error: Could not write TEMP file\n", nullptr, nullptr},
    {"open#2", kDirectoryFailed, nullptr, nullptr},
    {"open#3", kDirectoryFailed, nullptr, nullptr},
    {"lseek#1", kExecuteError, nullptr, nullptr},
    {"posix_spawn_file_actions_init#1", kExecuteError, nullptr, nullptr},
    {"posix_spawn_file_actions_adddup2#1", kExecuteError, nullptr, nullptr},
    {"posix_spawn_file_actions_adddup2#2", kExecuteError, nullptr, nullptr},
    {"posix_spawn_file_actions_adddup2#3", kExecuteError, nullptr, nullptr},
    {"posix_spawn_file_actions_addclosefrom_np#1", kExecuteError, nullptr, nullptr},
    {"posix_spawnattr_init#1", kExecuteError, nullptr, nullptr},
    {"posix_spawnattr_setsigmask#1", kExecuteError, nullptr, nullptr},
    {"posix_spawnattr_setsigdefault#1", kExecuteError, nullptr, nullptr},
    {"posix_spawnattr_setflags#1", kExecuteError, nullptr, nullptr},
    {"posix_spawnattr_setpgroup#1", kExecuteError, nullptr, nullptr},
    {"posix_spawn#1", kExecuteError, nullptr, nullptr},
    {"waitpid#1", "Error: The program's exit code could not be read\nThe text was left as it was\n", nullptr, nullptr},
    {"open#4", "Error: Could not read TEMP file\n'{out}'\nError code={code}\n", nullptr, nullptr},
    {"fstat#2", "Error: Could not read TEMP file\n'{out}'\nError code={code}\n", nullptr, nullptr},
    {"read#1", "Error: Could not read TEMP file\n'{out}'\nError code={code}\n", nullptr, nullptr},
    {"unlink#1", "", kText, kText},
    {"unlink#2", "", kText, ""},
    {"unlink#3", "", kText, kText},
    {"", "", kText, nullptr},
};
// Filter mode, through a program that writes without end: the wait ends it
// once its output capture outgrows 102,400 bytes. Whatever fails of the
// wait's own calls (pidfd_open, ppoll, stat, kill, waitid), the run ends so;
// "*": a capture file of any content stays.
#define EXTTOOL_TOO_LONG "Error: The program's output is longer than 102400 bytes\nThe text was left as it was\n"
const RunOutcome kEndlessOutcomes[] = {
    {"open#1", kDirectoryFailed, nullptr, nullptr},
    {"fstat#1", kCreateFailed, nullptr, ""},
    {"write#1", "Error: Could not write TEMP file\n", nullptr, nullptr},
    {"open#2", kDirectoryFailed, nullptr, nullptr},
    {"open#3", kDirectoryFailed, nullptr, nullptr},
    {"lseek#1", kExecuteError, nullptr, nullptr},
    {"posix_spawn_file_actions_init#1", kExecuteError, nullptr, nullptr},
    {"posix_spawn_file_actions_adddup2#1", kExecuteError, nullptr, nullptr},
    {"posix_spawn_file_actions_adddup2#2", kExecuteError, nullptr, nullptr},
    {"posix_spawn_file_actions_adddup2#3", kExecuteError, nullptr, nullptr},
    {"posix_spawn_file_actions_addclosefrom_np#1", kExecuteError, nullptr, nullptr},
    {"posix_spawnattr_init#1", kExecuteError, nullptr, nullptr},
    {"posix_spawnattr_setsigmask#1", kExecuteError, nullptr, nullptr},
    {"posix_spawnattr_setsigdefault#1", kExecuteError, nullptr, nullptr},
    {"posix_spawnattr_setflags#1", kExecuteError, nullptr, nullptr},
    {"posix_spawnattr_setpgroup#1", kExecuteError, nullptr, nullptr},
    {"posix_spawn#1", kExecuteError, nullptr, nullptr},
    {"write#2", "", nullptr, nullptr}, // the message itself is lost
    {"unlink#1", EXTTOOL_TOO_LONG, nullptr, "*"},
    {"unlink#2", EXTTOOL_TOO_LONG, nullptr, ""},
    {"unlink#3", EXTTOOL_TOO_LONG, nullptr, kText},
    {"", EXTTOOL_TOO_LONG, nullptr, nullptr},
};

// Filter mode with Encoding=UTF-8 in an ISO-8859-1 locale: the text goes
// out and comes back through iconv. The locale is looked up afresh in every
// run (see Runs), which first tries whether the set takes ASCII as it is
// (the first iconv_open, iconv and iconv_close): a failure there or of the
// lookup only costs speed. The output of tool_cat is what went out, which is
// found by converting the host's text again (iconv_open#3 to iconv_close#3)
// and gives the host its own text: a failure there only costs the way back
// through iconv. These rows come first; every other call ends as in
// kFilterOutcomes.
const char kCannotConvert[] = "Error: The text cannot be converted to UTF-8\nThe text was left as it was\n";
const char kCannotHold[] = "Error: The program's output holds characters that character set ISO-8859-1 "
                           "cannot hold\nThe text was left as it was\n";
const RunOutcome kUtf8FilterOutcomes[] = {
    {"iconv_open#2", kCannotConvert, nullptr, nullptr}, {"iconv#2", kCannotConvert, nullptr, nullptr},
    {"iconv#3", kCannotConvert, nullptr, nullptr},      {"iconv_open#3", "", kText, nullptr},
    {"iconv#4", "", kText, nullptr},                    {"iconv#5", "", kText, nullptr},
};

std::string FaultInjectionTest::Runs(bool readOnly, bool filter, bool utf8, bool endless) {
    static HostRecord host;
    host = HostRecord{};
    host.GetText = GetText;
    host.PutText = PutText;
    const std::string templ = endless  ? "\"" + std::string(EXTTOOL_TOOLS_DIR) + "/tool_write_n\" 2000000000"
                              : filter ? "\"" + std::string(EXTTOOL_TOOLS_DIR) + "/tool_cat\""
                                       : "\"" + std::string(EXTTOOL_TOOLS_DIR) + "/tool_upper_case\" \"%f\"";
    const std::string stderrFile = test::JoinPath(directory_, "stderr.txt");
    const std::string exchange = test::JoinPath(directory_, "exchange");
    fs::create_directory(exchange);
    int savedStderr = -1;
    static unsigned lookups = 0;
    return ForEveryFault(
        [&] {
            // An LC_CTYPE never seen before, which LC_ALL overrides, has the
            // locale looked up again in every run.
            if (utf8) setenv("LC_CTYPE", ("unused" + std::to_string(++lookups)).c_str(), 1);
            EmptyDirectory(exchange);
            g_PutTexts.clear();
            g_State.Host = &host;
            g_State.Settings = ToolSettings{readOnly, 1, "", "", "", filter, filter};
            g_State.Settings.Encoding = utf8 ? TextEncoding::Utf8 : TextEncoding::Ansi;
            snprintf(g_State.Settings.WorkingDirectory, kPathChars + 1, "%s", exchange.c_str());
            snprintf(g_State.Settings.CommandLine, kPathChars + 1, "%s", templ.c_str());
            // Messages go to standard error: into a file until the check.
            savedStderr = dup(STDERR_FILENO);
            const int fd = open(stderrFile.c_str(), O_CREAT | O_TRUNC | O_WRONLY, 0600);
            dup2(fd, STDERR_FILENO);
            close(fd);
        },
        RunTool,
        [&] {
            dup2(savedStderr, STDERR_FILENO);
            close(savedStderr);
            const RunOutcome *o = endless ? kEndlessOutcomes : filter ? kFilterOutcomes : kRunOutcomes;
            if (utf8)
                for (const RunOutcome &row : kUtf8FilterOutcomes)
                    if (g_Injector.hit && FaultName() == row.call) o = &row;
            while (o->call[0] && (!g_Injector.hit || FaultName() != o->call)) ++o;
            const std::string file = g_Injector.calls.at(0).path;
            std::string output; // the path of the second file opened: standard output's capture
            for (const Call &call : g_Injector.calls)
                if (call.name == "open" && call.ordinal == 2) output = call.path;
            const int error = ErrorOf(g_Injector.fault.name);
            std::string message = Replace(Replace(o->message, "{file}", file), "{dir}", exchange);
            message = Replace(message, "{out}", output);
            message = Replace(Replace(message, "{cmd}", Replace(templ, "%f", file)), "{code}", std::to_string(error));
            EXPECT_EQ(test::ReadFile(stderrFile), Replace(message, "{text}", strerror(error)));
            EXPECT_EQ(g_PutTexts, o->put && !readOnly ? std::vector<std::string>{o->put} : std::vector<std::string>{});
            const std::vector<std::string> left = test::ListDirectory(exchange);
            EXPECT_EQ(left.size(), o->left ? 1u : 0u);
            // The exchange file holds the text as the program read it.
            const std::string leftText = !o->left                                   ? ""
                                         : utf8 && std::string(o->left) == kText ? kTextInUtf8
                                                                                  : o->left;
            if (o->left && left.size() == 1 && leftText != "*")
                EXPECT_EQ(test::ReadFile(test::JoinPath(exchange, left[0])), leftText);
            // A message shows only once the capture files are gone: a host
            // ended during the box leaves none behind.
            bool shown = false;
            for (const Call &call : g_Injector.calls) {
                shown = shown || (call.name == "write" && call.path == "stderr");
                if (shown && call.name == "unlink") EXPECT_EQ(call.path, file) << "a capture file deleted after the box";
            }
            // The tool has been waited for: no child of the test remains.
            EXPECT_EQ(waitpid(-1, nullptr, WNOHANG), -1);
            // SIGINT is the test's own again, and not blocked.
            struct sigaction interrupt {};
            sigaction(SIGINT, nullptr, &interrupt);
            EXPECT_EQ(interrupt.sa_handler, SIG_DFL);
            sigset_t mask;
            pthread_sigmask(SIG_BLOCK, nullptr, &mask);
            EXPECT_FALSE(sigismember(&mask, SIGINT));
        });
}

TEST_F(FaultInjectionTest, EveryFailureOfARunEndsAsDocumented) {
    const std::string start = "open fstat write close close posix_spawn_file_actions_init "
                              "posix_spawn_file_actions_addclosefrom_np posix_spawnattr_init posix_spawnattr_setsigmask "
                              "posix_spawnattr_setsigdefault posix_spawnattr_setflags posix_spawn pidfd_open ppoll "
                              "close waitpid ";
    EXPECT_EQ(Runs(false), start + "open fstat read close unlink");
    EXPECT_EQ(Runs(true), start + "unlink");
}

// A filter run's calls from the exchange file's close into the wait: the
// capture files made, the program started on the descriptors they and the
// exchange file were made with, the wait begun.
const char kFilterStart[] = "close open open lseek "
                            "posix_spawn_file_actions_init posix_spawn_file_actions_adddup2 "
                            "posix_spawn_file_actions_adddup2 posix_spawn_file_actions_adddup2 "
                            "posix_spawn_file_actions_addclosefrom_np posix_spawnattr_init posix_spawnattr_setsigmask "
                            "posix_spawnattr_setsigdefault posix_spawnattr_setflags posix_spawnattr_setpgroup "
                            "posix_spawn close close close pidfd_open ppoll ";

TEST_F(FaultInjectionTest, EveryFailureOfAFilterRunEndsAsDocumented) {
    const std::string start = "open fstat write " + std::string(kFilterStart) + "close waitpid ";
    EXPECT_EQ(Runs(false, true), start + "open fstat read close unlink unlink unlink");
    EXPECT_EQ(Runs(true, true), start + "unlink unlink unlink");
}

TEST_F(FaultInjectionTest, EveryFailureOfAFilterRunThroughUtf8EndsAsDocumented) {
    const std::string locales = test::JoinPath(directory_, "locales");
    ASSERT_TRUE(test::MakeLocale(locales, "en_US", "ISO-8859-1"));
    setenv("LOCPATH", locales.c_str(), 1);
    setenv("LC_ALL", "en_US.ISO-8859-1", 1);
    const std::string convert = "iconv_open iconv iconv iconv_close ";
    const std::string start =
        "open fstat newlocale iconv_open iconv iconv_close " + convert + "write " + kFilterStart;
    EXPECT_EQ(Runs(false, true, true), start + "close waitpid open fstat read close " + convert + "unlink unlink unlink");
    EXPECT_EQ(Runs(true, true, true), start + "close waitpid unlink unlink unlink");
    for (const char *name : {"LOCPATH", "LC_ALL", "LC_CTYPE"}) unsetenv(name);
}

TEST_F(FaultInjectionTest, EveryFailureOfARunWithEndlessOutputEndsAsDocumented) {
    EXPECT_EQ(Runs(false, true, false, true), "open fstat write " + std::string(kFilterStart) +
                                                  "stat kill kill ppoll kill close waitpid unlink unlink write unlink");
}

// The wait in file mode under faults that last: a ppoll that always fails
// is slept around in steps, neither spinning nor taken for the program's end
// (which would read the exchange file while the program works on it); a
// SIGINT left for the waiting thread as the wait ends never reaches the
// host's handler; the program alone is ended through its pidfd, since a host
// that reaps its children itself may have let its number go to another.
int g_HostInterrupts;
TEST_F(FaultInjectionTest, TheWaitUnderLastingFaults) {
    const struct {
        std::string command;
        uint32_t timeout;
        const char *failEvery;
        bool interruptAfterWake;
        std::vector<std::string> put;
        int fewestPpolls;
        std::string signals;
    } cases[] = {
        {"/bin/sh -c \"sleep 0.3; '{tools}/tool_upper_case' '%f'\"", 0, "ppoll", false, {kResult}, 6, ""},
        {"\"{tools}/tool_upper_case\" %f", 0, "", true, {kResult}, 1, ""},
        {"\"{tools}/tool_sleep\" 30", 1, "", false, {}, 1, "pidfd_send_signal pidfd_send_signal pidfd_send_signal "},
    };
    static HostRecord host;
    host = HostRecord{};
    host.GetText = GetText;
    host.PutText = PutText;
    struct sigaction hosts {}, previous{};
    hosts.sa_handler = [](int) { ++g_HostInterrupts; };
    sigaction(SIGINT, &hosts, &previous);
    for (const auto &c : cases) {
        SCOPED_TRACE(c.command);
        g_PutTexts.clear();
        g_State.Host = &host;
        g_State.Settings = ToolSettings{false, 1, "", "", "", false, false};
        g_State.Settings.Timeout = c.timeout;
        snprintf(g_State.Settings.WorkingDirectory, kPathChars + 1, "%s", directory_.c_str());
        snprintf(g_State.Settings.CommandLine, kPathChars + 1, "%s",
                 Replace(c.command, "{tools}", EXTTOOL_TOOLS_DIR).c_str());
        g_Injector = Injector{};
        g_Injector.failEvery = c.failEvery;
        g_Injector.active = true;
        g_InterruptAfterWake = c.interruptAfterWake;
        g_HostInterrupts = 0;
        RunTool();
        g_Injector.active = g_InterruptAfterWake = false;
        EXPECT_EQ(g_PutTexts, c.put);
        EXPECT_EQ(g_HostInterrupts, 0);
        int ppolls = 0;
        std::string signals;
        for (const Call &call : g_Injector.calls) {
            ppolls += call.name == "ppoll";
            if (call.name == "kill" || call.name == "pidfd_send_signal") signals += call.name + " ";
        }
        EXPECT_GE(ppolls, c.fewestPpolls);
        EXPECT_LT(ppolls, 100) << "about one try every 10 ms";
        EXPECT_EQ(signals, c.signals);
    }
    sigaction(SIGINT, &previous, nullptr);
}

// ---- A save --------------------------------------------------------------------

// In the order SaveSettings writes them: name, old and new value; the new
// values change length both ways.
const char *const kKeys[][3] = {{"ReadOnly", "0", "1"}, {"DeleteTemp", "0", "1"},
                                {"WorkingDirectory", "/old", "/a/new/directory"},
                                {"CommandLine", "old-tool --with-a-long-option %f", "new %f"},
                                {"MenuItem", "Old caption", "A new, longer caption"}};
const char kOldFile[] = "; exttool\n[Settings]\nReadOnly=0\nDeleteTemp=0\nMenuItem=Old caption\n; between\n"
                        "[Other]\nKey=kept\n[Path]\nWorkingDirectory=/old\n"
                        "CommandLine=old-tool --with-a-long-option %f\n; end\n";

// The file with every key new but the one at `unchanged` (-1: none).
std::string SavedFile(int unchanged) {
    std::string text = kOldFile;
    for (int i = 0; i < 5; ++i)
        if (i != unchanged)
            text = Replace(text, std::string(kKeys[i][0]) + "=" + kKeys[i][1] + "\n",
                           std::string(kKeys[i][0]) + "=" + kKeys[i][2] + "\n");
    return text;
}

// Whether the lines of the old file that name none of the keys are all in
// `text`, in their order: even a save in place that failed half-way keeps
// them, with nothing cut from the end of the file.
bool KeepsEveryOtherLine(const std::string &text) {
    const auto lines = [](const std::string &all) {
        std::vector<std::string> result;
        std::istringstream in(all);
        for (std::string line; std::getline(in, line);) {
            bool namesAKey = false;
            for (const auto &key : kKeys) namesAKey = namesAKey || line.starts_with(key[0]);
            if (!namesAKey) result.push_back(line);
        }
        return result;
    };
    const std::vector<std::string> kept = lines(kOldFile), now = lines(text);
    size_t next = 0;
    for (const std::string &line : now) next += next < kept.size() && line == kept[next];
    return next == kept.size();
}

// The name the next new file beside the settings file will first be tried
// with: the one after the last one tried.
std::string NextSiblingName() {
    const std::string name = fs::path(g_LastSibling).filename().string();
    const size_t end = name.rfind(".tmp"), start = name.rfind('.', end - 1) + 1;
    return name.substr(0, start) + std::to_string(std::stoul(name.substr(start, end - start)) + 1) + ".tmp";
}

// `refusal`: a run in which the calls that may refuse the atomic save fail
// as they do when it is refused; the save then goes in place and succeeds.
std::string FaultInjectionTest::Saves(bool inPlace, const Refusal *refusal) {
    const std::string path = test::JoinPath(directory_, "exttool.ini");
    const ToolSettings settings{1, 1, "/a/new/directory", "new %f", "A new, longer caption"};
    const bool root = geteuid() == 0;
    // Through a new file, a file of another user that the group may read
    // when the tests run as root; in place, a file anyone may write.
    const mode_t mode = inPlace ? 0666 : 0640;
    const uid_t owner = root && !inPlace ? 65534 : geteuid();
    const gid_t group = root && !inPlace ? 65534 : getegid();
    bool saved = false;
    uint32_t code = 0;
    std::string planted;
    // Once, to learn the names of the new files.
    test::WriteFile(path, kOldFile);
    SaveSettings(&settings, path.c_str(), &code);
    const mode_t umaskBefore = umask(0);
    const std::string calls = ForEveryFault(
        [&] {
            chmod(directory_.c_str(), 0755);
            EmptyDirectory(directory_);
            test::WriteFile(path, kOldFile);
            ASSERT_EQ(chown(path.c_str(), owner, group), 0);
            chmod(path.c_str(), mode);
            // A file of the name the save will try first for its new file:
            // someone else's, never to be opened.
            planted = NextSiblingName();
            test::WriteFile(test::JoinPath(directory_, planted), "not ours");
            g_SiblingModes = g_SiblingCreateModes = 0;
            if (inPlace) chmod(directory_.c_str(), 0555);
        },
        [&] {
            g_Refusal = refusal;
            // Root may write anywhere: the in-place save runs as another user.
            ASSERT_FALSE(inPlace && root && (setegid(65534) != 0 || seteuid(65534) != 0));
            saved = SaveSettings(&settings, path.c_str(), &code);
            if (inPlace && root && (seteuid(0) != 0 || setegid(0) != 0)) abort();
        },
        [&] {
            const Call &fault = g_Injector.fault;
            const bool sibling = IsSibling(fault.path);
            // A refusal of the atomic save has it done in place instead.
            const bool refused = g_Injector.hit && sibling && refusal &&
                                 (fault.name == "open" || fault.name == "fchown" || fault.name == "rename");
            const int error = ErrorOf(fault.name);
            g_Refusal = nullptr;
            // A failed close after the work is done loses nothing.
            const bool harmless = !g_Injector.hit || (fault.name == "close" && !sibling) || refused;
            // The key being written when the call failed (each write of a key
            // begins by following links), and whether bytes of it reached the
            // file in place before.
            int key = -1;
            bool wrote = false;
            for (int i = 0; i < (g_Injector.hit ? g_Injector.failAt - 1 : 0); ++i) {
                if (g_Injector.calls[i].name == "readlink") ++key, wrote = false;
                wrote = wrote || g_Injector.calls[i].name == "pwrite";
            }
            if (g_Injector.hit && fault.name == "readlink") ++key, wrote = false;
            EXPECT_EQ(saved, harmless);
            EXPECT_EQ(code, harmless ? 0u : static_cast<uint32_t>(error));
            // In place, a failed fsync comes after the whole value was
            // written; any other failure after the first byte written may
            // leave the key's line half-written, as documented, but no other.
            const std::string now = test::ReadFile(path);
            if (harmless || !inPlace || !wrote)
                EXPECT_EQ(now, SavedFile(harmless ? -1 : key));
            else if (fault.name == "fsync")
                EXPECT_EQ(now, SavedFile(-1));
            EXPECT_TRUE(KeepsEveryOtherLine(now)) << now;
            EXPECT_EQ(test::ListDirectory(directory_), test::Sorted({"exttool.ini", planted}));
            EXPECT_EQ(test::ReadFile(test::JoinPath(directory_, planted)), "not ours");
            // Owner, group and permissions stay, and no new file was ever
            // open to more than the old one is.
            struct stat status;
            ASSERT_EQ(stat(path.c_str(), &status), 0);
            EXPECT_EQ(status.st_uid, owner);
            EXPECT_EQ(status.st_gid, group);
            EXPECT_EQ(status.st_mode & 07777, mode);
            EXPECT_EQ(g_SiblingModes & ~mode, 0u) << std::oct << g_SiblingModes;
            // Whatever the umask: until it is complete, the new file is
            // open to its owner only.
            EXPECT_EQ(g_SiblingCreateModes & ~0600u, 0u) << std::oct << g_SiblingCreateModes;
        });
    umask(umaskBefore);
    return calls;
}

TEST_F(FaultInjectionTest, EveryFailureOfASaveKeepsEachKeyOldOrNew) {
    const auto calls = [](const std::string &names) {
        std::istringstream in(names);
        return std::set<std::string>{std::istream_iterator<std::string>(in), {}};
    };
    const std::set<std::string> atomic = {"readlink", "open",  "faccessat", "read",  "lseek", "write",
                                          "fstat",    "fchown", "fchmod",   "fsync", "close", "rename"};
    EXPECT_EQ(calls(Saves(false)), atomic);
    EXPECT_EQ(calls(Saves(true)), (std::set<std::string>{"readlink", "open", "faccessat", "read", "fstat", "posix_fallocate",
                                                         "pread", "pwrite", "ftruncate", "fsync", "close"}));
    for (const Refusal &refusal : kRefusals) {
        SCOPED_TRACE("refused with " + std::to_string(refusal.open) + ", " + std::to_string(refusal.fchown) + ", " +
                     std::to_string(refusal.rename));
        EXPECT_EQ(calls(Saves(false, &refusal)), atomic);
    }
}

} // namespace
