// The wait for the started program on Windows: its end or a limit, the wait
// window (dialog template 102) with the thread's messages handled meanwhile,
// and the ending of a run the wait stops.
#include <windows.h>

#include "platform/platform.h"
#include "platform/win32/internal_win32.h"

namespace platform {

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
    TerminateStarted(process);
    const ULONGLONG until = GetTickCount64() + kEndGraceMs;
    for (ULONGLONG now = GetTickCount64(); now < until; now = GetTickCount64()) {
        const DWORD woken = WaitTurn(process, static_cast<DWORD>(until - now));
        if (woken == WAIT_OBJECT_0 || (woken == WAIT_FAILED && !g_Wait.Pumping)) return;
        if (woken == WAIT_FAILED) g_Wait.Pumping = false;
    }
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
    ReleaseStarted(handle);
    if (stopped) return {reason, waitError};
    return known ? ProcessEnd{EndKind::Exited, code} : ProcessEnd{EndKind::Unknown, 0};
}

} // namespace platform
