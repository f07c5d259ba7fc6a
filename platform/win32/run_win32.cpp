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

ProcessHandle ProcessStart(const char *commandLine) {
    char writable[kCommandLineChars + 1];
    const size_t length = strnlen(commandLine, kCommandLineChars + 1);
    if (length > kCommandLineChars) {
        SetLastError(ERROR_FILENAME_EXCED_RANGE);
        return 0;
    }
    memcpy(writable, commandLine, length + 1);

    STARTUPINFOA startup;
    memset(&startup, 0, sizeof startup);
    startup.cb = sizeof startup;
    PROCESS_INFORMATION process;
    memset(&process, 0, sizeof process);
    if (!CreateProcessA(nullptr, writable, nullptr, nullptr, FALSE, NORMAL_PRIORITY_CLASS, nullptr, nullptr, &startup,
                        &process))
        return 0;
    g_StartedThread = process.hThread;
    return reinterpret_cast<ProcessHandle>(process.hProcess);
}

void ProcessWaitAndRelease(ProcessHandle process) {
    const HANDLE handle = reinterpret_cast<HANDLE>(process);
    WaitForSingleObject(handle, INFINITE);
    CloseHandle(handle);
    if (g_StartedThread) CloseHandle(g_StartedThread);
    g_StartedThread = nullptr;
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
