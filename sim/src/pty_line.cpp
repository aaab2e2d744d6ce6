#include "pty_line.h"

#include <fcntl.h>
#include <stdlib.h>
#include <sys/inotify.h>
#include <sys/ioctl.h>
#include <termios.h>

#include <cerrno>
#include <cstring>

namespace korvel::sim {
namespace {

std::string SystemError(const char* what) {
    return std::string(what) + ": " + std::strerror(errno);
}

}  // namespace

std::unique_ptr<PtyLine> PtyLine::Open(std::string* error) {
    std::unique_ptr<PtyLine> line(new PtyLine);
    line->master_.Reset(posix_openpt(O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC));
    if (!line->master_) {
        *error = SystemError("cannot open a pseudo-terminal (is /dev/pts mounted?)");
        return nullptr;
    }
    char name[128];
    if (grantpt(line->Master()) != 0 || unlockpt(line->Master()) != 0 ||
        ptsname_r(line->Master(), name, sizeof name) != 0) {
        *error = SystemError("cannot unlock the pseudo-terminal");
        return nullptr;
    }
    line->device_ = name;
    line->slave_.Reset(::open(name, O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC));
    if (!line->slave_) {
        *error = SystemError(("cannot open " + line->device_).c_str());
        return nullptr;
    }
    // Raw bytes both ways: no echo, no line editing, no character translation.
    struct termios settings;
    if (tcgetattr(line->slave_.get(), &settings) != 0) {
        *error = SystemError(("cannot read the settings of " + line->device_).c_str());
        return nullptr;
    }
    cfmakeraw(&settings);
    settings.c_cflag |= CLOCAL | CREAD;
    if (tcsetattr(line->slave_.get(), TCSANOW, &settings) != 0) {
        *error = SystemError(("cannot set raw mode on " + line->device_).c_str());
        return nullptr;
    }
    // Our own slave descriptor is open already, so every event counted from here is a host's.
    line->watch_.Reset(inotify_init1(IN_NONBLOCK | IN_CLOEXEC));
    if (!line->watch_ || inotify_add_watch(line->watch_.get(), name,
                                           IN_OPEN | IN_CLOSE_WRITE | IN_CLOSE_NOWRITE) < 0) {
        *error = SystemError(("cannot watch " + line->device_ + " for hosts").c_str());
        return nullptr;
    }
    return line;
}

PtyLine::HostChange PtyLine::ReadWatch() {
    HostChange change = HostChange::None;
    alignas(struct inotify_event) char buffer[4096];
    for (;;) {
        const ssize_t got = ::read(watch_.get(), buffer, sizeof buffer);
        if (got <= 0) break;  // EAGAIN: all read
        for (ssize_t at = 0; at + static_cast<ssize_t>(sizeof(inotify_event)) <= got;) {
            const auto* event = reinterpret_cast<const inotify_event*>(buffer + at);
            if (event->mask & IN_OPEN) {
                if (++hosts_ == 1 && change == HostChange::None) change = HostChange::Arrived;
            }
            if (event->mask & (IN_CLOSE_WRITE | IN_CLOSE_NOWRITE)) {
                // A failed open may report a close without an open; never count below zero.
                if (hosts_ > 0 && --hosts_ == 0) change = HostChange::Left;
            }
            at += static_cast<ssize_t>(sizeof(inotify_event) + event->len);
        }
    }
    return change;
}

void PtyLine::ForgetHost() {
    tcflush(slave_.get(), TCIFLUSH);
    ioctl(slave_.get(), TIOCNXCL);
}

int PtyLine::Unread() const {
    int count = 0;
    if (ioctl(slave_.get(), FIONREAD, &count) != 0) return 0;
    return count;
}

}  // namespace korvel::sim
