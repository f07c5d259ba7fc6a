// Exchange file, processes and messages on Windows: the kernel32 and user32
// calls named in platform.h.
#include <windows.h>

#include <cstdio>
#include <cstring>

#include "platform/platform.h"
#include "platform/win32/ansi_path_win32.h"

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

namespace {

// The exchange and capture files hold the host's text and the program's
// output, which may be private: whatever the folder hands down (a folder
// made at C:\ is readable by every local user), each file allows its owner
// (OWNER RIGHTS, S-1-3-4) and SYSTEM (S-1-5-18) all access and nobody else
// any, and SE_DACL_PROTECTED keeps inherited entries out. A self-relative
// descriptor written out byte by byte needs none of advapi32's functions.
constexpr DWORD kAllFileAccess = FILE_ALL_ACCESS;
#define EXTTOOL_LE32(v) static_cast<unsigned char>((v) & 0xFF), static_cast<unsigned char>(((v) >> 8) & 0xFF), \
                        static_cast<unsigned char>(((v) >> 16) & 0xFF), static_cast<unsigned char>(((v) >> 24) & 0xFF)
// An ACCESS_ALLOWED_ACE of 20 bytes for the SID S-1-AUTHORITY-RID.
#define EXTTOOL_ALLOW(authority, rid) 0x00, 0x00, 20, 0, EXTTOOL_LE32(kAllFileAccess), \
                                      1, 1, 0, 0, 0, 0, 0, authority, EXTTOOL_LE32(rid)
alignas(4) const unsigned char kPrivateFileSecurity[] = {
    // SECURITY_DESCRIPTOR_RELATIVE: revision 1, control SE_SELF_RELATIVE |
    // SE_DACL_PROTECTED | SE_DACL_PRESENT, no owner, group or SACL (the
    // system sets the owner), the DACL at offset 20.
    1, 0, 0x04, 0x90, EXTTOOL_LE32(0u), EXTTOOL_LE32(0u), EXTTOOL_LE32(0u), EXTTOOL_LE32(20u),
    // ACL: revision 2, 48 bytes, two entries.
    2, 0, 48, 0, 2, 0, 0, 0,
    EXTTOOL_ALLOW(3, 4u),  // OWNER RIGHTS
    EXTTOOL_ALLOW(5, 18u), // LOCAL SYSTEM
};
#undef EXTTOOL_ALLOW
#undef EXTTOOL_LE32
static_assert(sizeof kPrivateFileSecurity == 68);

// GetTempFileNameA's number space: a 16-bit number other than 0.
constexpr unsigned kUniqueNumbers = 0xFFFF;
unsigned g_NextUniqueNumber;

// A starting number that differs between processes and between calls, so
// that two hosts rarely clash; from 1 to 0xFFFF.
unsigned StartingUniqueNumber() {
    if (g_NextUniqueNumber == 0) g_NextUniqueNumber = GetTickCount() ^ (GetCurrentProcessId() << 4);
    return g_NextUniqueNumber++ % kUniqueNumbers + 1;
}

// Whether `directory` ends in a separator; the second byte of a double-byte
// character may be a "\" and is none.
bool EndsWithSeparator(const char *directory) {
    bool separator = false;
    for (const char *p = directory; *p != '\0'; ++p) {
        if (IsDBCSLeadByte(static_cast<BYTE>(*p)) && p[1] != '\0') {
            ++p;
            separator = false;
        } else {
            separator = *p == '\\' || *p == '/';
        }
    }
    return separator;
}

// A new private file `prefix` + number + "." + `extension` in `directory`.
// The extension is the caller's, so that a file may be given the one a
// program expects.
bool CreatePrivateFile(const char *directory, const char *prefix, const char *extension, char *path) {
    path[0] = '\0';
    const size_t length = strnlen(directory, kMaxPath + 1);
    if (length == 0) {
        SetLastError(ERROR_PATH_NOT_FOUND);
        return false;
    }
    const char *const separator = EndsWithSeparator(directory) ? "" : "\\";
    // Whether the name fits does not depend on the number drawn: the widest
    // one must fit.
    if (length + strlen(separator) + strnlen(prefix, 3) + strlen("FFFF.") + strlen(extension) >
        static_cast<size_t>(kMaxPath)) {
        SetLastError(ERROR_FILENAME_EXCED_RANGE);
        return false;
    }
    SECURITY_ATTRIBUTES security;
    memset(&security, 0, sizeof security);
    security.nLength = sizeof security;
    security.lpSecurityDescriptor = const_cast<unsigned char *>(kPrivateFileSecurity);
    unsigned number = StartingUniqueNumber();
    for (unsigned attempt = 0; attempt < kUniqueNumbers; ++attempt, number = number % kUniqueNumbers + 1) {
        snprintf(path, kMaxPath + 1, "%s%s%.3s%X.%s", directory, separator, prefix, number, extension);
        const HANDLE file = CreateFileA(path, GENERIC_READ | GENERIC_WRITE, 0, &security, CREATE_NEW,
                                        FILE_ATTRIBUTE_NORMAL, nullptr);
        if (file != INVALID_HANDLE_VALUE) {
            CloseHandle(file);
            // Normal attributes, as the file has on Windows already. Wine
            // keeps no OWNER RIGHTS entry, gives the file no Unix permission
            // at all and so takes it for read-only; this makes it 0600 there.
            SetFileAttributesA(path, FILE_ATTRIBUTE_NORMAL);
            return true;
        }
        const DWORD error = GetLastError();
        if (error == ERROR_FILE_EXISTS || error == ERROR_ALREADY_EXISTS) continue;
        path[0] = '\0';
        // A folder that does not exist is reported as GetTempFileNameA does.
        SetLastError(error == ERROR_PATH_NOT_FOUND ? ERROR_DIRECTORY : error);
        return false;
    }
    path[0] = '\0';
    SetLastError(ERROR_FILE_EXISTS);
    return false;
}

} // namespace

bool CreateUniqueFile(const char *directory, const char *prefix, const char *extension, char *path) {
    return CreatePrivateFile(directory, prefix, extension[0] == '.' ? extension + 1 : extension, path);
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
bool StartWithHandles(const char *program, char *commandLine, HANDLE *handles, PROCESS_INFORMATION *process) {
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
        started = CreateProcessA(program, commandLine, nullptr, nullptr, TRUE,
                                 NORMAL_PRIORITY_CLASS | CREATE_NO_WINDOW | CREATE_SUSPENDED |
                                     EXTENDED_STARTUPINFO_PRESENT,
                                 nullptr,
                                 nullptr, &startup.StartupInfo, process) != FALSE;
    }
    const DWORD error = GetLastError();
    DeleteProcThreadAttributeList(attributes);
    SetLastError(error);
    return started;
}

} // namespace

ProcessHandle ProcessStart(const char *program, const char *commandLine, const StartOptions &) {
    char writable[kCommandLineChars + 1];
    if (!CopyCommandLine(commandLine, writable)) return 0;

    STARTUPINFOA startup;
    memset(&startup, 0, sizeof startup);
    startup.cb = sizeof startup;
    PROCESS_INFORMATION process;
    memset(&process, 0, sizeof process);
    if (!CreateProcessA(program, writable, nullptr, nullptr, FALSE, NORMAL_PRIORITY_CLASS | CREATE_SUSPENDED, nullptr,
                        nullptr, &startup, &process))
        return 0;
    return Started(process);
}

ProcessHandle ProcessStartRedirected(const char *program, const char *commandLine, const StartOptions &,
                                     const char *inputPath, const char *outputPath, const char *errorPath) {
    char writable[kCommandLineChars + 1];
    if (!CopyCommandLine(commandLine, writable)) return 0;
    HANDLE *const handles = g_InheritedHandles;
    handles[0] = OpenForChild(inputPath, GENERIC_READ);
    handles[1] = handles[0] == INVALID_HANDLE_VALUE ? INVALID_HANDLE_VALUE : OpenForChild(outputPath, GENERIC_WRITE);
    handles[2] = handles[1] == INVALID_HANDLE_VALUE ? INVALID_HANDLE_VALUE : OpenForChild(errorPath, GENERIC_WRITE);
    PROCESS_INFORMATION process;
    memset(&process, 0, sizeof process);
    const bool started = handles[2] != INVALID_HANDLE_VALUE && StartWithHandles(program, writable, handles, &process);
    for (int i = 2; i >= 0; --i) {
        CloseKeepingError(handles[i]);
        handles[i] = INVALID_HANDLE_VALUE;
    }
    return started ? Started(process) : 0;
}

namespace {

// ---- The wait window (dialog template 102) -----------------------------------

constexpr int kWaitDialogTemplate = 102;
constexpr int kItemWaitCommand = 1020;
constexpr int kItemWaitElapsed = 1021;
// A program still running this long after it started gets the window; one
// that could not be made is tried again a second later.
constexpr ULONGLONG kWindowDelayMs = 500;
constexpr ULONGLONG kWindowRetryMs = 1000;
constexpr ULONGLONG kCaptureCheckMs = 100;
// How long an ended job is given to go before the run goes on.
constexpr ULONGLONG kEndGraceMs = 5000;
constexpr ULONGLONG kNever = ~0ULL;
// QS_ALLINPUT as Vista and Windows 7 know it: the headers of Windows 8 add
// QS_TOUCH and QS_POINTER, and the older systems refuse that mask.
constexpr DWORD kAllInput = QS_KEY | QS_MOUSEMOVE | QS_MOUSEBUTTON | QS_RAWINPUT | QS_POSTMESSAGE | QS_TIMER |
                            QS_PAINT | QS_SENDMESSAGE | QS_HOTKEY;
static_assert(kAllInput == 0x04FF);
// Messages handled in one turn of the wait at most: a host that keeps
// posting itself messages must not keep the wait from the program's end.
constexpr int kMessagesPerTurn = 32;

struct WaitWindow {
    HWND Dialog;         // null unless shown
    ULONGLONG NextTry;   // when the window is to be made; kNever once it is
    bool Pumping;        // the thread's messages are handled (from the half second on)
    HWND Owner;          // the host's window, or null
    bool OwnerDisabled;  // this wait disabled it, and enables it again
    bool Cancelled;      // Cancel was pressed, or the window or its owner went
    bool QuitPending;    // a WM_QUIT taken from the queue, posted again after
    WPARAM QuitCode;
    ULONGLONG ShownSeconds;
};
WaitWindow g_Wait;

// The caption and the command line are set before the dialog manager can
// activate the window.
INT_PTR CALLBACK WaitDialogProc(HWND dialog, UINT message, WPARAM wParam, LPARAM lParam) {
    if (message == WM_INITDIALOG) {
        const WaitLimits *limits = reinterpret_cast<const WaitLimits *>(lParam);
        SetWindowTextA(dialog, limits->Title ? limits->Title : "");
        SetDlgItemTextA(dialog, kItemWaitCommand, limits->CommandLine ? limits->CommandLine : "");
        return TRUE;
    }
    // Cancel, Esc and the close box send IDCANCEL; Enter presses the default
    // button, Cancel, or sends IDOK.
    if (message == WM_COMMAND && (LOWORD(wParam) == IDCANCEL || LOWORD(wParam) == IDOK) && HIWORD(wParam) == 0) {
        g_Wait.Cancelled = true;
        return TRUE;
    }
    // Gone with its owner (a host closed during the wait) or by our own hand
    // after it: either way there is no Cancel left to press.
    if (message == WM_DESTROY) {
        g_Wait.Dialog = nullptr;
        g_Wait.Cancelled = true;
    }
    return FALSE;
}

int Within(int value, int low, int high) { return value > high ? (high > low ? high : low) : value < low ? low : value; }

// Centred on the owner as it stands when restored (a minimised one lies far
// off the screen), or on the primary monitor's work area without one, and
// kept inside the work area of the monitor nearest that place, so that
// Cancel is always in reach.
void CentreWindow(HWND window, HWND owner) {
    MONITORINFO primary, nearest;
    primary.cbSize = nearest.cbSize = sizeof primary;
    GetMonitorInfoA(MonitorFromPoint(POINT{0, 0}, MONITOR_DEFAULTTOPRIMARY), &primary);
    RECT area = primary.rcWork;
    WINDOWPLACEMENT placement;
    placement.length = sizeof placement;
    if (owner && IsIconic(owner) && GetWindowPlacement(owner, &placement)) {
        // In workspace coordinates, from the primary work area's corner, but
        // for a tool window.
        area = placement.rcNormalPosition;
        if (!(GetWindowLongA(owner, GWL_EXSTYLE) & WS_EX_TOOLWINDOW))
            OffsetRect(&area, primary.rcWork.left, primary.rcWork.top);
    } else if (owner) {
        GetWindowRect(owner, &area);
    }
    if (!GetMonitorInfoA(MonitorFromRect(&area, MONITOR_DEFAULTTONEAREST), &nearest)) nearest = primary;
    RECT own;
    GetWindowRect(window, &own);
    const int width = own.right - own.left, height = own.bottom - own.top;
    const RECT &work = nearest.rcWork;
    SetWindowPos(window, nullptr, Within(area.left + (area.right - area.left - width) / 2, work.left, work.right - width),
                 Within(area.top + (area.bottom - area.top - height) / 2, work.top, work.bottom - height), 0, 0,
                 SWP_NOSIZE | SWP_NOZORDER | SWP_NOACTIVATE);
}

void ShowElapsed(ULONGLONG seconds) {
    char text[40];
    wsprintfA(text, "%lu s elapsed", static_cast<unsigned long>(seconds));
    SetDlgItemTextA(g_Wait.Dialog, kItemWaitElapsed, text);
    g_Wait.ShownSeconds = seconds;
}

// Shown like a message box: the owner is disabled before the window shows.
// From now on the thread's messages are handled, also while the window
// cannot be made, which is tried again a second later.
void ShowWaitWindow(const WaitLimits &limits, ULONGLONG now, ULONGLONG elapsedMs) {
    g_Wait.Pumping = true;
    const HWND dialog = CreateDialogParamA(static_cast<HINSTANCE>(limits.Module), MAKEINTRESOURCEA(kWaitDialogTemplate),
                                           g_Wait.Owner, WaitDialogProc, reinterpret_cast<LPARAM>(&limits));
    if (!dialog) {
        g_Wait.NextTry = now + kWindowRetryMs;
        return;
    }
    g_Wait.NextTry = kNever;
    g_Wait.Dialog = dialog;
    ShowElapsed(elapsedMs / 1000);
    CentreWindow(dialog, g_Wait.Owner);
    if (g_Wait.Owner && IsWindowEnabled(g_Wait.Owner)) {
        EnableWindow(g_Wait.Owner, FALSE);
        g_Wait.OwnerDisabled = true;
    }
    ShowWindow(dialog, SW_SHOW);
}

// The owner is enabled before the window goes, so that the system gives it
// the activation back.
void CloseWaitWindow() {
    const HWND owner = g_Wait.Owner && IsWindow(g_Wait.Owner) ? g_Wait.Owner : nullptr;
    if (g_Wait.OwnerDisabled && owner) EnableWindow(owner, TRUE);
    if (g_Wait.Dialog) {
        DestroyWindow(g_Wait.Dialog);
        if (owner) SetActiveWindow(owner);
    }
    if (g_Wait.QuitPending) PostQuitMessage(static_cast<int>(g_Wait.QuitCode));
    g_Wait = WaitWindow{};
}

bool IsInputMessage(UINT message) {
    return (message >= WM_KEYFIRST && message <= WM_KEYLAST) || (message >= WM_MOUSEFIRST && message <= WM_MOUSELAST) ||
           (message >= WM_NCMOUSEMOVE && message <= WM_NCXBUTTONDBLCLK) || message == WM_INPUT;
}

bool IsWaitWindow(HWND window) {
    return window && g_Wait.Dialog && (window == g_Wait.Dialog || IsChild(g_Wait.Dialog, window));
}

// The thread's messages, kMessagesPerTurn at most, are handled, so the host
// repaints; keyboard and mouse messages for any other window than the wait
// window are dropped, also those that were queued before it appeared, so
// that the host's text cannot change under the program. An owner destroyed
// meanwhile ends the wait as Cancel does.
void DispatchPendingMessages() {
    MSG message;
    for (int taken = 0; taken < kMessagesPerTurn && PeekMessageA(&message, nullptr, 0, 0, PM_REMOVE); ++taken) {
        if (message.message == WM_QUIT) {
            g_Wait.QuitPending = true;
            g_Wait.QuitCode = message.wParam;
            continue;
        }
        if (IsInputMessage(message.message) && !IsWaitWindow(message.hwnd)) continue;
        if (g_Wait.Dialog && IsDialogMessageA(g_Wait.Dialog, &message)) continue;
        TranslateMessage(&message);
        DispatchMessageA(&message);
    }
    if (g_Wait.Owner && !IsWindow(g_Wait.Owner)) g_Wait.Cancelled = true;
}

// One turn of the wait for the program, `timeout` ms at most: WAIT_OBJECT_0
// once it has ended, WAIT_FAILED, or WAIT_TIMEOUT, also after messages were
// handled. The program's end is reported before any message.
DWORD WaitTurn(HANDLE process, DWORD timeout) {
    // Before the half second nothing of the host's queue is touched.
    if (!g_Wait.Pumping) return WaitForSingleObject(process, timeout);
    const DWORD woken = MsgWaitForMultipleObjectsEx(1, &process, timeout, kAllInput, MWMO_INPUTAVAILABLE);
    if (woken != WAIT_OBJECT_0 + 1) return woken;
    DispatchPendingMessages();
    return WAIT_TIMEOUT;
}

// ---- Limits -------------------------------------------------------------------

// A capture file watched for its size; INVALID_HANDLE_VALUE when none.
HANDLE OpenForSize(const char *path) {
    if (!path) return INVALID_HANDLE_VALUE;
    return CreateFileA(path, FILE_READ_ATTRIBUTES, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                       OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
}

bool Outgrew(HANDLE file, uint32_t bound) {
    LARGE_INTEGER size;
    return file != INVALID_HANDLE_VALUE && GetFileSizeEx(file, &size) && size.QuadPart > static_cast<LONGLONG>(bound);
}

struct Watch {
    HANDLE Output, Error;
};

// Runs the wait until the program ends (Exited) or a limit, Cancel or a
// failed wait (WaitFailed, its code in LastError) stops it.
EndKind WaitWithin(HANDLE process, const WaitLimits &limits, const Watch &watch) {
    const ULONGLONG start = GetTickCount64();
    const ULONGLONG deadline = limits.Seconds ? start + limits.Seconds * 1000ULL : kNever;
    const bool watching = watch.Output != INVALID_HANDLE_VALUE || watch.Error != INVALID_HANDLE_VALUE;
    ULONGLONG nextCheck = watching ? start + kCaptureCheckMs : kNever;
    g_Wait.NextTry = start + kWindowDelayMs;
    for (;;) {
        const ULONGLONG now = GetTickCount64();
        if (g_Wait.Cancelled) return EndKind::Cancelled;
        if (now >= deadline) return EndKind::TimedOut;
        if (now >= nextCheck) {
            if (Outgrew(watch.Output, limits.OutputBytes)) return EndKind::OutputTooLong;
            if (Outgrew(watch.Error, limits.ErrorBytes)) return EndKind::ErrorOutputTooLong;
            nextCheck = now + kCaptureCheckMs;
        }
        if (now >= g_Wait.NextTry) ShowWaitWindow(limits, now, now - start);
        ULONGLONG wake = deadline < nextCheck ? deadline : nextCheck;
        if (g_Wait.NextTry < wake) wake = g_Wait.NextTry;
        if (g_Wait.Dialog) {
            const ULONGLONG seconds = (now - start) / 1000;
            if (seconds != g_Wait.ShownSeconds) ShowElapsed(seconds);
            const ULONGLONG nextSecond = start + (seconds + 1) * 1000;
            if (nextSecond < wake) wake = nextSecond;
        }
        const DWORD woken = WaitTurn(process, wake == kNever ? INFINITE : static_cast<DWORD>(wake > now ? wake - now : 0));
        if (woken == WAIT_OBJECT_0) return EndKind::Exited;
        if (woken == WAIT_FAILED) return EndKind::WaitFailed;
    }
}

// The job, and with it everything the program started; the program alone
// where it has no job. Then a grace wait for it to go, which handles the
// thread's messages as the wait did (plainly where that fails).

void EndProgram(HANDLE process) {
    if (!g_StartedJob || !TerminateJobObject(g_StartedJob, 1)) TerminateProcess(process, 1);
    const ULONGLONG until = GetTickCount64() + kEndGraceMs;
    for (ULONGLONG now = GetTickCount64(); now < until; now = GetTickCount64()) {
        const DWORD woken = WaitTurn(process, static_cast<DWORD>(until - now));
        if (woken == WAIT_OBJECT_0 || (woken == WAIT_FAILED && !g_Wait.Pumping)) return;
        if (woken == WAIT_FAILED) g_Wait.Pumping = false;
    }
}

// Every handle of the started process. Closing the job ends nothing: a
// program that ended by itself leaves what it started running.
void Release(HANDLE process) {
    CloseHandle(process);
    if (g_StartedThread) CloseHandle(g_StartedThread);
    g_StartedThread = nullptr;
    if (g_StartedJob) CloseHandle(g_StartedJob);
    g_StartedJob = nullptr;
}

} // namespace

ProcessEnd ProcessWaitWithLimits(ProcessHandle process, const WaitLimits &limits) {
    const HANDLE handle = reinterpret_cast<HANDLE>(process);
    g_Wait = WaitWindow{};
    // A handle that is no longer a window owns nothing.
    const HWND owner = static_cast<HWND>(limits.Owner);
    g_Wait.Owner = owner && IsWindow(owner) ? owner : nullptr;
    const Watch watch{OpenForSize(limits.OutputPath), OpenForSize(limits.ErrorPath)};
    const EndKind reason = WaitWithin(handle, limits, watch);
    const DWORD waitError = reason == EndKind::WaitFailed ? GetLastError() : 0;
    const bool stopped = reason != EndKind::Exited;
    if (stopped) EndProgram(handle);
    CloseWaitWindow();
    if (watch.Output != INVALID_HANDLE_VALUE) CloseHandle(watch.Output);
    if (watch.Error != INVALID_HANDLE_VALUE) CloseHandle(watch.Error);
    DWORD code = 0;
    const bool known = !stopped && GetExitCodeProcess(handle, &code);
    Release(handle);
    if (stopped) return {reason, waitError};
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
