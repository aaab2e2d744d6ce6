// Interrupts on POSIX systems: SIGINT, SIGTERM and SIGHUP blocked in the thread that catches them
// (and in every thread it starts afterwards) and read from a signalfd, never acted on by a
// handler: no system call anywhere is cut short by them, and the program always cleans up.
#include <signal.h>
#include <sys/signalfd.h>
#include <unistd.h>

#include <atomic>

#include "os.h"
#include "system_error.h"

namespace korvel::base::os {
namespace {

std::atomic<bool> g_catching{false};
sigset_t g_previousMask;  // of the thread that caught them, put back on release

sigset_t StopSignals() {
    sigset_t set;
    sigemptyset(&set);
    sigaddset(&set, SIGINT);
    sigaddset(&set, SIGTERM);
    sigaddset(&set, SIGHUP);
    return set;
}

}  // namespace

Expected<Handle> CatchInterrupts() {
    if (g_catching.exchange(true)) {
        return Error(kFailureCode, "the interrupts are already taken over", {}, Cause::Busy);
    }
    const sigset_t set = StopSignals();
    const int blocked = ::pthread_sigmask(SIG_BLOCK, &set, &g_previousMask);
    if (blocked != 0) {
        g_catching = false;
        return SystemError(blocked);
    }
    const int fd = ::signalfd(-1, &set, SFD_CLOEXEC | SFD_NONBLOCK);
    if (fd < 0) {
        // Nobody would hear them: let the signals act as they usually do.
        const Error error = LastSystemError();
        ::pthread_sigmask(SIG_SETMASK, &g_previousMask, nullptr);
        g_catching = false;
        return error;
    }
    return Handle{fd};
}

int TakeInterrupts(Handle catcher, Interrupt* last) noexcept {
    int count = 0;
    signalfd_siginfo info;
    while (::read(static_cast<int>(catcher), &info, sizeof info) ==
           static_cast<ssize_t>(sizeof info)) {
        ++count;
        if (last != nullptr) {
            *last = info.ssi_signo == SIGINT   ? Interrupt::Keyboard
                    : info.ssi_signo == SIGHUP ? Interrupt::HangUp
                                               : Interrupt::Terminate;
        }
    }
    return count;
}

void ReleaseInterrupts(Handle catcher) noexcept {
    ::close(static_cast<int>(catcher));
    ::pthread_sigmask(SIG_SETMASK, &g_previousMask, nullptr);
    g_catching = false;
}

std::uintptr_t IgnoreBrokenPipes() noexcept {
    return reinterpret_cast<std::uintptr_t>(::signal(SIGPIPE, SIG_IGN));
}

void RestoreBrokenPipes(std::uintptr_t previous) noexcept {
    ::signal(SIGPIPE, reinterpret_cast<void (*)(int)>(previous));
}

}  // namespace korvel::base::os
