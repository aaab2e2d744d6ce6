// A serial device on a POSIX system: a tty opened without becoming the controlling terminal,
// locked and made exclusive, in raw mode; every call goes through the system-call seam.
#include "serial_port.h"

#include <fcntl.h>
#include <linux/serial.h>
#include <poll.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <termios.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "system_calls.h"
#include "trace.h"

namespace korvel::link {
namespace {

// Rates the link offers, with their termios speeds.
struct BaudRate {
    unsigned long rate;
    speed_t speed;
};
constexpr BaudRate kBaudRates[] = {
    {1200, B1200},       {2400, B2400},       {4800, B4800},       {9600, B9600},
    {19200, B19200},     {38400, B38400},     {57600, B57600},     {115200, B115200},
    {230400, B230400},   {460800, B460800},   {500000, B500000},   {576000, B576000},
    {921600, B921600},   {1000000, B1000000}, {1500000, B1500000}, {2000000, B2000000},
    {3000000, B3000000}, {4000000, B4000000},
};

// Repeats a system call that a signal interrupted.
template <typename Call>
auto Retry(Call call) {
    for (;;) {
        auto result = call();
        if (!(result < 0 && errno == EINTR)) return result;
    }
}

// What the user can do about an open that failed with errno value code.
const char* OpenHint(int code) {
    switch (code) {
        case ENOENT:
        case ENXIO:
        case ENODEV:
            return "check that the reader's adapter is plugged in and that the port's entry "
                   "points at its device";
        case EACCES:
        case EPERM:
            return "add the user to the group owning the device (often dialout) or fix its "
                   "permissions";
        case EBUSY:
            return "another program holds the port; close it and try again";
        default:
            return "check the device and try again";
    }
}

// Asks the driver to hand received bytes on at once. A USB serial adapter otherwise holds them
// until its latency timer runs out, up to 16 ms, and a large reader's download waits that long for
// each of its two thousand answers. True when this call turned the setting on. A device without
// it (a pseudo-terminal: ENOTTY or EINVAL) or one that refuses it is used as it is.
bool TakeLowLatency(int fd, const std::string& label) {
    SystemCalls& sys = Sys();
    struct serial_struct info {};
    if (Retry([&] { return sys.GetSerial(fd, &info); }) != 0) {
        TraceNote("%s has no low-latency setting (%s)", label.c_str(), std::strerror(errno));
        return false;
    }
    if (info.flags & ASYNC_LOW_LATENCY) return false;  // already on, and not ours to undo
    info.flags |= ASYNC_LOW_LATENCY;
    if (Retry([&] { return sys.SetSerial(fd, &info); }) != 0) {
        TraceNote("%s refused low latency (%s); answers may wait for the adapter's timer",
                  label.c_str(), std::strerror(errno));
        return false;
    }
    TraceNote("%s set to low latency", label.c_str());
    return true;
}

// Turns the setting TakeLowLatency turned on off again: the next program finds the device as
// it was.
void GiveBackLowLatency(int fd) {
    SystemCalls& sys = Sys();
    struct serial_struct info {};
    if (Retry([&] { return sys.GetSerial(fd, &info); }) != 0) return;
    info.flags &= ~ASYNC_LOW_LATENCY;
    Retry([&] { return sys.SetSerial(fd, &info); });
}

class PosixSerialPort final : public SerialPort {
  public:
    PosixSerialPort(int fd, std::string label) : fd_(fd), label_(std::move(label)) {}
    ~PosixSerialPort() override {
        // Exclusive use outlives this descriptor when someone else still has the tty open: give
        // it up first. Closing the descriptor releases the lock.
        if (lowLatencyOurs_) GiveBackLowLatency(fd_);
        Sys().SetExclusive(fd_, false);
        Sys().Close(fd_);
    }

    bool lowLatencyOurs_ = false;  // we turned the driver's low latency on: the close undoes it

    // poll says when anything has come: a read takes all of it, whatever the frame still lacks.
    ReadResult Read(int timeoutMs, uint8_t* buffer, size_t size, size_t /*frameRest*/,
                    size_t* got) override {
        SystemCalls& sys = Sys();
        *got = 0;
        struct pollfd entry = {fd_, POLLIN, 0};
        const int ready = sys.Poll(&entry, 1, timeoutMs);
        if (ready < 0) return errno == EINTR ? ReadResult::Nothing : ReadResult::Failed;
        if (ready == 0) return ReadResult::Nothing;
        if (entry.revents & POLLIN) {
            const ssize_t n = sys.Read(fd_, buffer, size);
            if (n > 0) {
                *got = static_cast<size_t>(n);
                return ReadResult::Data;
            }
            if (n < 0 && (errno == EINTR || errno == EAGAIN || errno == EWOULDBLOCK)) {
                return ReadResult::Nothing;
            }
            // End of file or EIO: the other end hung up.
            TraceNote("%s read failed: %s", label_.c_str(),
                      n == 0 ? "hang-up" : std::strerror(errno));
            return ReadResult::Failed;
        }
        if (entry.revents & (POLLERR | POLLHUP | POLLNVAL)) {
            TraceNote("%s hung up (poll events 0x%x)", label_.c_str(),
                      static_cast<unsigned>(entry.revents));
            return ReadResult::Failed;
        }
        return ReadResult::Nothing;
    }

    bool WriteAll(const uint8_t* data, size_t size, Clock::time_point limit,
                  std::string* why) override {
        SystemCalls& sys = Sys();
        while (size > 0) {
            const ssize_t written = sys.Write(fd_, data, size);
            if (written > 0) {
                data += written;
                size -= static_cast<size_t>(written);
                continue;
            }
            if (written < 0 && errno == EINTR) continue;
            if (written < 0 && errno != EAGAIN && errno != EWOULDBLOCK) {
                *why = std::strerror(errno);
                return false;
            }
            // The output queue is full (or the write took nothing): wait until it drains.
            const int wait = MillisecondsUntil(limit);
            if (wait == 0) {
                *why = "the frame did not leave in time";
                return false;
            }
            struct pollfd entry = {fd_, POLLOUT, 0};
            const int ready = sys.Poll(&entry, 1, wait);
            if (ready < 0 && errno != EINTR) {
                *why = std::strerror(errno);
                return false;
            }
            if (ready > 0 && (entry.revents & (POLLERR | POLLHUP | POLLNVAL))) {
                *why = "hang-up";
                return false;
            }
        }
        return true;
    }

    void DiscardInput() override {
        Retry([&] { return Sys().TcFlush(fd_, TCIFLUSH); });
    }

  private:
    const int fd_;
    const std::string label_;
};

}  // namespace

std::unique_ptr<SerialPort> SerialPort::Open(const std::string& path, const std::string& label,
                                             unsigned long baud, std::string* error) {
    speed_t speed = B115200;
    for (const BaudRate& known : kBaudRates) {
        if (known.rate == baud) speed = known.speed;
    }
    SystemCalls& sys = Sys();
    const int fd =
        Retry([&] { return sys.Open(path.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC); });
    if (fd < 0) {
        const int code = errno;
        *error = "cannot open " + path + " for " + label + ": " + std::strerror(code) + "; " +
                 OpenHint(code);
        return nullptr;
    }
    // The device is ours from here: the port closes it on every way out.
    auto port = std::make_unique<PosixSerialPort>(fd, label);
    auto fail = [&](const std::string& what) {
        *error = what + " " + path + " for " + label + ": " + std::strerror(errno);
        return nullptr;
    };

    // The lock keeps other processes off the port; TIOCEXCL keeps out programs that do not lock.
    if (Retry([&] { return sys.Flock(fd, LOCK_EX | LOCK_NB); }) != 0) {
        if (errno == EWOULDBLOCK) {
            *error = path + " (" + label +
                     ") is held by another program; close that program and try again";
            return nullptr;
        }
        return fail("cannot lock");
    }
    if (Retry([&] { return sys.SetExclusive(fd, true); }) != 0) {
        return fail("cannot take exclusive use of");
    }

    struct termios settings;
    if (Retry([&] { return sys.TcGetAttr(fd, &settings); }) != 0) {
        return fail("not a serial device (name the reader's tty):");
    }
    cfmakeraw(&settings);
    settings.c_cflag |= CLOCAL | CREAD;
    settings.c_cflag &= ~CRTSCTS;
    settings.c_iflag &= ~(IXON | IXOFF | IXANY);
    settings.c_cc[VMIN] = 0;
    settings.c_cc[VTIME] = 0;
    cfsetispeed(&settings, speed);
    cfsetospeed(&settings, speed);
    if (Retry([&] { return sys.TcSetAttr(fd, TCSANOW, &settings); }) != 0) {
        return fail("cannot set raw mode on");
    }
    Retry([&] { return sys.TcFlush(fd, TCIFLUSH); });
    port->lowLatencyOurs_ = TakeLowLatency(fd, label);
    return port;
}

std::optional<std::string> DeviceIdentity(const std::string& path) {
    struct stat info;
    if (stat(path.c_str(), &info) != 0) return std::nullopt;
    return std::to_string(static_cast<unsigned long long>(info.st_dev)) + ":" +
           std::to_string(static_cast<unsigned long long>(info.st_ino));
}

unsigned long CurrentProcess() {
    return static_cast<unsigned long>(getpid());
}

}  // namespace korvel::link
