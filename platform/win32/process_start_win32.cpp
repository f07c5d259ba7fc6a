// Starting the program on Windows: CreateProcessA, suspended until it is in
// a job object of its own, with the start options and, for a redirected
// start, exactly three inherited handles.
#include <windows.h>

#include <cstring>

#include "platform/platform.h"
#include "platform/win32/internal_win32.h"

namespace platform {

namespace {

// CreateProcessA may write into the command line it is given, so it gets a
// copy; command lines come from CommandBuffer, 260 characters at most.
constexpr size_t kCommandLineChars = 260;

// The thread handle of the started process and the job it runs in (null
// when it has none), closed after the wait together with the process
// handle. Runs never overlap, so one slot each is enough.
HANDLE g_StartedThread;
HANDLE g_StartedJob;

// The environment and creation flags CreateProcessA gets for `options`: the
// copy is wide, so that inherited values outside the ANSI code page reach
// the program unchanged. Without options: the host's, inherited.
struct Creation {
    void *Environment;
    DWORD Flags;
};
Creation CreationFor(const StartOptions &options, DWORD flags) {
    if (!options.OwnEnvironment) return {nullptr, flags};
    return {EnvironmentBlock(), flags | CREATE_UNICODE_ENVIRONMENT};
}

// Copies the command line for CreateProcessA; false when it is too long.
bool CopyCommandLine(const char *commandLine, char *writable) {
    const size_t length = strnlen(commandLine, kCommandLineChars + 1);
    if (length > kCommandLineChars) {
        SetLastError(ERROR_FILENAME_EXCED_RANGE);
        return false;
    }
    memcpy(writable, commandLine, length + 1);
    return true;
}

// A job of its own for the started program, so that Cancel and the limits
// can end it together with every process it starts; a child that asks to
// leave the job (CREATE_BREAKAWAY_FROM_JOB) may. Null where no job can be
// had, as where the host's own job refuses a nested one: the program then
// runs alone.
HANDLE JobFor(HANDLE process) {
    const HANDLE job = CreateJobObjectA(nullptr, nullptr);
    if (!job) return nullptr;
    JOBOBJECT_EXTENDED_LIMIT_INFORMATION limits;
    memset(&limits, 0, sizeof limits);
    limits.BasicLimitInformation.LimitFlags = JOB_OBJECT_LIMIT_BREAKAWAY_OK;
    if (SetInformationJobObject(job, JobObjectExtendedLimitInformation, &limits, sizeof limits) &&
        AssignProcessToJobObject(job, process))
        return job;
    CloseHandle(job);
    return nullptr;
}

// The program was created suspended: it joins its job before it can start
// anything, then runs.
ProcessHandle Started(const PROCESS_INFORMATION &process) {
    g_StartedJob = JobFor(process.hProcess);
    if (ResumeThread(process.hThread) == static_cast<DWORD>(-1)) {
        const DWORD error = GetLastError();
        TerminateProcess(process.hProcess, 1);
        CloseHandle(process.hThread);
        CloseHandle(process.hProcess);
        if (g_StartedJob) CloseHandle(g_StartedJob);
        g_StartedJob = nullptr;
        SetLastError(error);
        return 0;
    }
    g_StartedThread = process.hThread;
    return reinterpret_cast<ProcessHandle>(process.hProcess);
}

// The attribute list of a redirected start lives here, not on the heap: one
// attribute needs some dozens of bytes, and InitializeProcThreadAttributeList
// says how many before the list is made in it.
alignas(16) unsigned char g_AttributeStorage[256];
// The handle list must stay valid while the attribute list is in use.
HANDLE g_InheritedHandles[3];

// An inheritable handle on one of the files of a redirected start; shared,
// so that the program may also open the exchange file by its path.
HANDLE OpenForChild(const char *path, DWORD access) {
    SECURITY_ATTRIBUTES security;
    memset(&security, 0, sizeof security);
    security.nLength = sizeof security;
    security.bInheritHandle = TRUE;
    return CreateFileA(path, access, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, &security,
                       OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
}

void CloseKeepingError(HANDLE handle) {
    const DWORD error = GetLastError();
    if (handle != INVALID_HANDLE_VALUE) CloseHandle(handle);
    SetLastError(error);
}

// CreateProcessA with exactly the three handles in `handles` inherited, as
// standard input, output and error, and no console window.
bool StartWithHandles(const char *program, char *commandLine, const StartOptions &options, HANDLE *handles,
                      PROCESS_INFORMATION *process) {
    SIZE_T size = 0;
    InitializeProcThreadAttributeList(nullptr, 1, 0, &size);
    if (size == 0 || size > sizeof g_AttributeStorage) {
        SetLastError(ERROR_NOT_ENOUGH_MEMORY);
        return false;
    }
    const LPPROC_THREAD_ATTRIBUTE_LIST attributes = reinterpret_cast<LPPROC_THREAD_ATTRIBUTE_LIST>(g_AttributeStorage);
    if (!InitializeProcThreadAttributeList(attributes, 1, 0, &size)) return false;
    bool started = false;
    if (UpdateProcThreadAttribute(attributes, 0, PROC_THREAD_ATTRIBUTE_HANDLE_LIST, handles, 3 * sizeof(HANDLE),
                                  nullptr, nullptr)) {
        STARTUPINFOEXA startup;
        memset(&startup, 0, sizeof startup);
        startup.StartupInfo.cb = sizeof startup;
        startup.StartupInfo.dwFlags = STARTF_USESTDHANDLES;
        startup.StartupInfo.hStdInput = handles[0];
        startup.StartupInfo.hStdOutput = handles[1];
        startup.StartupInfo.hStdError = handles[2];
        startup.lpAttributeList = attributes;
        const Creation creation = CreationFor(options, NORMAL_PRIORITY_CLASS | CREATE_NO_WINDOW | CREATE_SUSPENDED |
                                                           EXTENDED_STARTUPINFO_PRESENT);
        started = CreateProcessA(program, commandLine, nullptr, nullptr, TRUE, creation.Flags, creation.Environment,
                                 options.Directory, &startup.StartupInfo, process) != FALSE;
    }
    const DWORD error = GetLastError();
    DeleteProcThreadAttributeList(attributes);
    SetLastError(error);
    return started;
}

} // namespace

ProcessHandle ProcessStart(const char *program, const char *commandLine, const StartOptions &options) {
    char writable[kCommandLineChars + 1];
    if (!CopyCommandLine(commandLine, writable)) return 0;

    STARTUPINFOA startup;
    memset(&startup, 0, sizeof startup);
    startup.cb = sizeof startup;
    PROCESS_INFORMATION process;
    memset(&process, 0, sizeof process);
    const Creation creation = CreationFor(options, NORMAL_PRIORITY_CLASS | CREATE_SUSPENDED);
    if (!CreateProcessA(program, writable, nullptr, nullptr, FALSE, creation.Flags, creation.Environment,
                        options.Directory, &startup, &process))
        return 0;
    return Started(process);
}

ProcessHandle ProcessStartRedirected(const char *program, const char *commandLine, const StartOptions &options,
                                     const char *inputPath, const char *outputPath, const char *errorPath) {
    char writable[kCommandLineChars + 1];
    if (!CopyCommandLine(commandLine, writable)) return 0;
    HANDLE *const handles = g_InheritedHandles;
    handles[0] = OpenForChild(inputPath, GENERIC_READ);
    handles[1] = handles[0] == INVALID_HANDLE_VALUE ? INVALID_HANDLE_VALUE : OpenForChild(outputPath, GENERIC_WRITE);
    handles[2] = handles[1] == INVALID_HANDLE_VALUE ? INVALID_HANDLE_VALUE : OpenForChild(errorPath, GENERIC_WRITE);
    PROCESS_INFORMATION process;
    memset(&process, 0, sizeof process);
    const bool started =
        handles[2] != INVALID_HANDLE_VALUE && StartWithHandles(program, writable, options, handles, &process);
    for (int i = 2; i >= 0; --i) {
        CloseKeepingError(handles[i]);
        handles[i] = INVALID_HANDLE_VALUE;
    }
    return started ? Started(process) : 0;
}

void TerminateStarted(HANDLE process) {
    if (!g_StartedJob || !TerminateJobObject(g_StartedJob, 1)) TerminateProcess(process, 1);
}

void ReleaseStarted(HANDLE process) {
    CloseHandle(process);
    if (g_StartedThread) CloseHandle(g_StartedThread);
    g_StartedThread = nullptr;
    if (g_StartedJob) CloseHandle(g_StartedJob);
    g_StartedJob = nullptr;
}

// CreateProcessA names a start directory that is missing or no directory
// ERROR_DIRECTORY; the check before the start says the same.
bool DirectoryUsable(const char *directory) {
    const DWORD attributes = GetFileAttributesA(directory);
    if (attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY)) return true;
    const DWORD error = GetLastError();
    const bool missing = attributes != INVALID_FILE_ATTRIBUTES || error == ERROR_FILE_NOT_FOUND ||
                         error == ERROR_PATH_NOT_FOUND;
    SetLastError(missing ? ERROR_DIRECTORY : error);
    return false;
}

} // namespace platform
