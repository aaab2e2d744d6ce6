// The signals of a download: SIGINT, SIGTERM and SIGHUP noted through a descriptor, never acted
// on by a handler, so that the program always cleans up; SIGPIPE ignored meanwhile.
#ifndef CORDANE_TOOLS_DOWNLOAD_SIGNALS_H
#define CORDANE_TOOLS_DOWNLOAD_SIGNALS_H

#include <signal.h>
#include <sys/signalfd.h>
#include <unistd.h>

#include "cli/unique_fd.h"

namespace cordane::tools {

// SIGINT, SIGTERM and SIGHUP arrive through a descriptor the main thread polls, never as a
// handler: the engine's worker thread inherits the mask when it starts.
class SignalCatcher {
  public:
    SignalCatcher() {
        sigemptyset(&set_);
        sigaddset(&set_, SIGINT);
        sigaddset(&set_, SIGTERM);
        sigaddset(&set_, SIGHUP);
        blocked_ = ::pthread_sigmask(SIG_BLOCK, &set_, &previous_) == 0;
        if (blocked_) fd_.Reset(::signalfd(-1, &set_, SFD_CLOEXEC | SFD_NONBLOCK));
        if (blocked_ && fd_.get() < 0) {
            // Nobody would hear them: let the signals act as they usually do.
            ::pthread_sigmask(SIG_SETMASK, &previous_, nullptr);
            blocked_ = false;
        }
        // A reader of --json that goes away must not kill the program before it cleans up.
        previousPipe_ = ::signal(SIGPIPE, SIG_IGN);
    }
    ~SignalCatcher() {
        ::signal(SIGPIPE, previousPipe_);
        fd_.Reset();
        if (blocked_) ::pthread_sigmask(SIG_SETMASK, &previous_, nullptr);
    }
    SignalCatcher(const SignalCatcher&) = delete;
    SignalCatcher& operator=(const SignalCatcher&) = delete;

    int fd() const { return fd_.get(); }
    // The number of signals received since the last call.
    int Take() {
        int count = 0;
        signalfd_siginfo info;
        while (::read(fd_.get(), &info, sizeof info) == static_cast<ssize_t>(sizeof info)) {
            ++count;
        }
        return count;
    }

  private:
    sigset_t set_{};
    sigset_t previous_{};
    bool blocked_ = false;
    UniqueFd fd_;
    void (*previousPipe_)(int) = SIG_DFL;
};

}  // namespace cordane::tools

#endif
