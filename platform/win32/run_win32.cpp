// Exchange file, processes and messages on Windows: the kernel32 and user32
// calls named in platform.h.
#include <windows.h>

#include <cstring>

#include "platform/platform.h"
#include "platform/win32/ansi_path_win32.h"

namespace platform {

namespace {

// CreateProcessA may write into the command line it is given, so it gets a
// copy; command lines come from CommandBuffer, 260 characters at most.
constexpr size_t kCommandLineChars = 260;

// The thread handle of the started process, closed after the wait together
// with the process handle. Runs never overlap, so one slot is enough.
HANDLE g_StartedThread;

HANDLE AsHandle(FileHandle file) { return reinterpret_cast<HANDLE>(file); }

FileHandle OpenExchangeFile(const char *path, DWORD disposition) {
    const HANDLE file = CreateFileA(path, GENERIC_READ | GENERIC_WRITE, 0, nullptr, disposition,
                                    FILE_ATTRIBUTE_NORMAL, nullptr);
    return file == INVALID_HANDLE_VALUE ? kInvalidFile : reinterpret_cast<FileHandle>(file);
}

} // namespace

// GetTempPathW and a conversion, so that a temporary directory in a folder
// the code page cannot name is reached through its short name.
uint32_t TempDirectory(char *buffer, uint32_t size) {
    if (size) buffer[0] = '\0';
    // GetTempPathW hands out at most MAX_PATH + 1 characters.
    wchar_t path[kWidePathChars + 1];
    const DWORD length = GetTempPathW(kWidePathChars + 1, path);
    if (length == 0) return 0;
    // A result of the buffer's size or more is the size it would need.
    if (length > kWidePathChars || size == 0) {
        SetLastError(ERROR_BUFFER_OVERFLOW);
        return 0;
    }
    return AnsiPathFromWide(path, buffer, size < kMaxPath + 1u ? size : kMaxPath + 1u);
}

bool CreateUniqueFile(const char *directory, const char *prefix, char *path) {
    path[0] = '\0';
    if (GetTempFileNameA(directory, prefix, 0, path) == 0) {
        path[0] = '\0';
        return false;
    }
    return true;
}

FileHandle FileCreateAlways(const char *path) { return OpenExchangeFile(path, CREATE_ALWAYS); }

FileHandle FileOpenExisting(const char *path) { return OpenExchangeFile(path, OPEN_EXISTING); }

FileHandle FileOpenShared(const char *path) {
    const HANDLE file = CreateFileA(path, GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                                    nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
    return file == INVALID_HANDLE_VALUE ? kInvalidFile : reinterpret_cast<FileHandle>(file);
}

bool FileWrite(FileHandle file, const void *data, uint32_t count, uint32_t *done) {
    DWORD written = 0;
    const BOOL ok = WriteFile(AsHandle(file), data, count, &written, nullptr);
    *done = written;
    return ok != FALSE;
}

bool FileRead(FileHandle file, void *data, uint32_t count, uint32_t *done) {
    DWORD read = 0;
    const BOOL ok = ReadFile(AsHandle(file), data, count, &read, nullptr);
    *done = read;
    return ok != FALSE;
}

void FileClose(FileHandle file) {
    if (file != kInvalidFile) CloseHandle(AsHandle(file));
}

bool FileDelete(const char *path) { return DeleteFileA(path) != FALSE; }

namespace {

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

ProcessHandle Started(const PROCESS_INFORMATION &process) {
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
bool StartWithHandles(char *commandLine, HANDLE *handles, PROCESS_INFORMATION *process) {
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
        started = CreateProcessA(nullptr, commandLine, nullptr, nullptr, TRUE,
                                 NORMAL_PRIORITY_CLASS | CREATE_NO_WINDOW | EXTENDED_STARTUPINFO_PRESENT, nullptr,
                                 nullptr, &startup.StartupInfo, process) != FALSE;
    }
    const DWORD error = GetLastError();
    DeleteProcThreadAttributeList(attributes);
    SetLastError(error);
    return started;
}

} // namespace

ProcessHandle ProcessStart(const char *commandLine) {
    char writable[kCommandLineChars + 1];
    if (!CopyCommandLine(commandLine, writable)) return 0;

    STARTUPINFOA startup;
    memset(&startup, 0, sizeof startup);
    startup.cb = sizeof startup;
    PROCESS_INFORMATION process;
    memset(&process, 0, sizeof process);
    if (!CreateProcessA(nullptr, writable, nullptr, nullptr, FALSE, NORMAL_PRIORITY_CLASS, nullptr, nullptr, &startup,
                        &process))
        return 0;
    return Started(process);
}

ProcessHandle ProcessStartRedirected(const char *commandLine, const char *inputPath, const char *outputPath,
                                     const char *errorPath) {
    char writable[kCommandLineChars + 1];
    if (!CopyCommandLine(commandLine, writable)) return 0;
    HANDLE *const handles = g_InheritedHandles;
    handles[0] = OpenForChild(inputPath, GENERIC_READ);
    handles[1] = handles[0] == INVALID_HANDLE_VALUE ? INVALID_HANDLE_VALUE : OpenForChild(outputPath, GENERIC_WRITE);
    handles[2] = handles[1] == INVALID_HANDLE_VALUE ? INVALID_HANDLE_VALUE : OpenForChild(errorPath, GENERIC_WRITE);
    PROCESS_INFORMATION process;
    memset(&process, 0, sizeof process);
    const bool started = handles[2] != INVALID_HANDLE_VALUE && StartWithHandles(writable, handles, &process);
    for (int i = 2; i >= 0; --i) {
        CloseKeepingError(handles[i]);
        handles[i] = INVALID_HANDLE_VALUE;
    }
    return started ? Started(process) : 0;
}

void ProcessWaitAndRelease(ProcessHandle process) {
    const HANDLE handle = reinterpret_cast<HANDLE>(process);
    WaitForSingleObject(handle, INFINITE);
    CloseHandle(handle);
    if (g_StartedThread) CloseHandle(g_StartedThread);
    g_StartedThread = nullptr;
}

ProcessEnd ProcessWaitForEnd(ProcessHandle process) {
    const HANDLE handle = reinterpret_cast<HANDLE>(process);
    DWORD code = 0;
    const bool known = WaitForSingleObject(handle, INFINITE) == WAIT_OBJECT_0 && GetExitCodeProcess(handle, &code);
    ProcessWaitAndRelease(process);
    return known ? ProcessEnd{EndKind::Exited, code} : ProcessEnd{EndKind::Unknown, 0};
}

uint32_t LastError() { return GetLastError(); }

// The system allocates the text; it is copied and released here. Inserts are
// never filled from arguments that do not exist.
void SystemMessage(uint32_t code, char *buffer, uint32_t size) {
    if (size == 0) return;
    buffer[0] = '\0';
    HLOCAL allocated = nullptr;
    const DWORD length = FormatMessageA(
        FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS, nullptr, code,
        MAKELANGID(LANG_NEUTRAL, SUBLANG_DEFAULT), reinterpret_cast<LPSTR>(&allocated), 0, nullptr);
    if (length == 0 || !allocated) return;
    const char *const text = static_cast<const char *>(LocalLock(allocated));
    if (text) {
        const size_t kept = strnlen(text, size - 1);
        memcpy(buffer, text, kept);
        buffer[kept] = '\0';
        LocalUnlock(allocated);
    }
    LocalFree(allocated);
}

void ShowErrorBox(WindowHandle owner, const char *text, const char *title) {
    MessageBoxA(static_cast<HWND>(owner), text, title, MB_OK | MB_ICONERROR);
}

} // namespace platform
