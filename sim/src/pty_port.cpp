#include "pty_port.h"

#include <fcntl.h>
#include <stdlib.h>
#include <sys/inotify.h>
#include <sys/ioctl.h>
#include <termios.h>

#include <cerrno>
#include <cstring>

namespace korvel::sim {
namespace {

// "`what`: <the system's words for errno>".
base::Error SystemError(const std::string& what) {
    return base::Fail(what + ": " + std::strerror(errno));
}

}  // namespace

base::Expected<std::unique_ptr<PtyPort>> PtyPort::Open() {
    std::unique_ptr<PtyPort> port(new PtyPort);
    const int master = posix_openpt(O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    if (master < 0) {
        return SystemError("cannot open a pseudo-terminal (is /dev/pts mounted?)");
    }
    port->master_ = base::File::Adopt(master, "the pseudo-terminal");
    char name[128];
    if (grantpt(master) != 0 || unlockpt(master) != 0 ||
        ptsname_r(master, name, sizeof name) != 0) {
        return SystemError("cannot unlock the pseudo-terminal");
    }
    port->device_ = name;
    const int slave = ::open(name, O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    if (slave < 0) {
        return SystemError("cannot open " + port->device_);
    }
    port->slave_ = base::File::Adopt(slave, port->device_);
    // Raw bytes both ways: no echo, no line editing, no character translation.
    struct termios settings;
    if (tcgetattr(slave, &settings) != 0) {
        return SystemError("cannot read the settings of " + port->device_);
    }
    cfmakeraw(&settings);
    settings.c_cflag |= CLOCAL | CREAD;
    if (tcsetattr(slave, TCSANOW, &settings) != 0) {
        return SystemError("cannot set raw mode on " + port->device_);
    }
    // Our own slave descriptor is open already, so every event counted from here is a host's.
    const int watch = inotify_init1(IN_NONBLOCK | IN_CLOEXEC);
    if (watch >= 0) port->watch_ = base::File::Adopt(watch, "the watch of " + port->device_);
    if (watch < 0 ||
        inotify_add_watch(watch, name, IN_OPEN | IN_CLOSE_WRITE | IN_CLOSE_NOWRITE) < 0) {
        return SystemError("cannot watch " + port->device_ + " for hosts");
    }
    return port;
}

PtyPort::HostChange PtyPort::ReadWatch() {
    HostChange change = HostChange::None;
    alignas(struct inotify_event) char buffer[4096];
    for (;;) {
        const ssize_t got = ::read(Watch(), buffer, sizeof buffer);
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

void PtyPort::ForgetHost() {
    const int slave = static_cast<int>(slave_.Native());
    tcflush(slave, TCIFLUSH);
    ioctl(slave, TIOCNXCL);
}

int PtyPort::Unread() const {
    int count = 0;
    if (ioctl(static_cast<int>(slave_.Native()), FIONREAD, &count) != 0) return 0;
    return count;
}

}  // namespace korvel::sim
