// Waiting for the external program on POSIX: its end, the time limit, the
// capture bounds, Cancel (SIGINT), and ending a run, as platform.h states.
#include <poll.h>
#include <pthread.h>
#include <sched.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstdint>

#include "platform/platform.h"
#include "platform/posix/run_posix_internal.h"

// glibc 2.36 declares pidfd_open without C linkage.
extern "C" {
#include <sys/pidfd.h>
}

namespace platform {

using namespace internal;

namespace {

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

// The status of the ended child; false when waitpid could not give it.
bool WaitForStatus(ProcessHandle process, int *status) {
    *status = 0;
    pid_t result;
    while ((result = waitpid(static_cast<pid_t>(process), status, 0)) < 0 && errno == EINTR) {
    }
    return result == static_cast<pid_t>(process);
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

} // namespace platform
