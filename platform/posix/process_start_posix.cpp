// Starting the external program on POSIX: finding it, then posix_spawn with
// the start options, as platform.h states for the Windows calls.
#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "platform/platform.h"
#include "platform/posix/argv_split.h"
#include "platform/posix/run_posix_internal.h"

extern char **environ;

namespace platform {

namespace internal {

bool g_StartedInGroup;

} // namespace internal

using namespace internal;

namespace {

// Command lines handed to ProcessStart are those of CommandBuffer, 260
// characters at most; the split needs twice that plus terminators.
constexpr size_t kCommandLineChars = 260;
constexpr size_t kSplitStorageSize = 2 * kCommandLineChars + 2;
constexpr int kMaxItems = (kCommandLineChars + 3) / 2 + 1;

struct Redirection {
    int input, output, error;
};

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

// The command line is split by the Windows rules (argv_split.cpp) and the
// program FindProgram found is started with its items as arguments. No shell
// is involved. The program gets the current directory and the environment
// `options` give, or else the host's, and no descriptor of the host beyond
// 0, 1 and 2, which are the host's own or, with `redirect`, the three given
// descriptors.
ProcessHandle Spawn(const char *program, const char *commandLine, const StartOptions &options,
                    const Redirection *redirect) {
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
    // one that is still to come. The change of directory comes first: a
    // directory that cannot be entered fails the start before anything else.
    posix_spawn_file_actions_t actions;
    posix_spawnattr_t attributes;
    char *const *const environment = options.OwnEnvironment ? CopiedEnvironment() : environ;
    pid_t pid = 0;
    int error = posix_spawn_file_actions_init(&actions);
    if (error == 0) {
        if (options.Directory) error = posix_spawn_file_actions_addchdir_np(&actions, options.Directory);
        if (error == 0 && redirect) {
            error = posix_spawn_file_actions_adddup2(&actions, redirect->input, STDIN_FILENO);
            if (error == 0) error = posix_spawn_file_actions_adddup2(&actions, redirect->output, STDOUT_FILENO);
            if (error == 0) error = posix_spawn_file_actions_adddup2(&actions, redirect->error, STDERR_FILENO);
        }
        if (error == 0) error = posix_spawn_file_actions_addclosefrom_np(&actions, 3);
        if (error == 0) error = InitialiseAttributes(&attributes, redirect != nullptr);
        if (error == 0) {
            error = posix_spawn(&pid, program, &actions, &attributes, argv, environment);
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

// A relative path joined to the host's current directory, its leading "./"
// dropped: the program is the one the host's directory holds, whatever
// directory it is started in.
bool FromCurrentDirectory(const char *name, char *path) {
    char directory[kMaxPath + 1];
    if (!getcwd(directory, sizeof directory)) {
        if (errno == ERANGE) errno = ENAMETOOLONG;
        return false;
    }
    while (name[0] == '.' && name[1] == '/') {
        name += 2;
        while (name[0] == '/') ++name;
    }
    const bool root = directory[1] == '\0';
    const int written = snprintf(path, kMaxPath + 1, "%s%s%s", directory, root ? "" : "/", name);
    if (written >= 0 && written <= kMaxPath) return true;
    path[0] = '\0';
    errno = ENAMETOOLONG;
    return false;
}

} // namespace

bool DirectoryUsable(const char *directory) {
    struct stat status {};
    if (stat(directory, &status) != 0) return false;
    if (!S_ISDIR(status.st_mode)) {
        errno = ENOTDIR;
        return false;
    }
    return access(directory, X_OK) == 0;
}

// Only the absolute entries of PATH are searched: an empty entry, "." or a
// relative one stands for the current directory, which a document's folder
// may have become.
bool FindProgram(const char *commandLine, bool ownEnvironment, ProgramFound *found) {
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
        if (name[0] != '/') return FromCurrentDirectory(name, found->Path);
        if (strlen(name) > static_cast<size_t>(kMaxPath)) {
            errno = ENAMETOOLONG;
            return false;
        }
        memcpy(found->Path, name, strlen(name) + 1);
        return true;
    }
    const char *search = ownEnvironment ? CopiedValueOf("PATH") : getenv("PATH");
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
ProcessHandle ProcessStart(const char *program, const char *commandLine, const StartOptions &options) {
    ForgetMadeFilesBut(nullptr);
    return Spawn(program, commandLine, options, nullptr);
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
ProcessHandle ProcessStartRedirected(const char *program, const char *commandLine, const StartOptions &options,
                                     const char *inputPath, const char *outputPath, const char *errorPath) {
    Redirection redirect{-1, -1, -1};
    const bool byName[3] = {!FindMade(inputPath), !FindMade(outputPath), !FindMade(errorPath)};
    ProcessHandle process = 0;
    redirect.input = RedirectionOf(inputPath, O_RDONLY);
    if (redirect.input >= 0) redirect.output = RedirectionOf(outputPath, O_WRONLY);
    if (redirect.output >= 0) redirect.error = RedirectionOf(errorPath, O_WRONLY);
    if (redirect.error >= 0) process = Spawn(program, commandLine, options, &redirect);
    if (byName[2]) CloseKeepingError(redirect.error);
    if (byName[1]) CloseKeepingError(redirect.output);
    if (byName[0]) CloseKeepingError(redirect.input);
    ForgetMadeFilesBut(nullptr);
    return process;
}

} // namespace platform
