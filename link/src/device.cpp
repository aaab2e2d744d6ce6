#include "device.h"

#include <fcntl.h>
#include <linux/serial.h>
#include <poll.h>
#include <sys/file.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <cstring>

#include "system_calls.h"
#include "trace.h"

namespace korvel::link {
namespace {

// Longest a frame may take to leave: a full frame at 9600 baud needs about 1.1 s.
constexpr std::chrono::milliseconds kWriteLimit{5000};

constexpr speed_t kDefaultSpeed = B115200;

// Rates KORVEL_BAUD may name, with their termios speeds.
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

int MillisecondsUntil(Clock::time_point deadline) {
    const auto left = deadline - Clock::now();
    if (left <= Clock::duration::zero()) return 0;
    // Rounded up, so that a wait never ends a little before its deadline and spins.
    const auto ms = std::chrono::ceil<std::chrono::milliseconds>(left).count();
    return static_cast<int>(std::min<long long>(ms, 60 * 60 * 1000));
}

}  // namespace

bool BaudFromEnvironment(speed_t* speed, std::string* error) {
    const char* setting = std::getenv("KORVEL_BAUD");
    if (setting == nullptr || *setting == '\0') {
        *speed = kDefaultSpeed;
        return true;
    }
    char* end = nullptr;
    errno = 0;
    const unsigned long rate = std::strtoul(setting, &end, 10);
    if (errno == 0 && end != setting && *end == '\0') {
        for (const BaudRate& known : kBaudRates) {
            if (known.rate == rate) {
                *speed = known.speed;
                return true;
            }
        }
    }
    *error = std::string("KORVEL_BAUD=\"") + setting +
             "\" is not a supported baud rate; unset it for 115200 or use one of 9600, 19200, "
             "38400, 57600, 115200, 230400, 460800, 921600";
    return false;
}

Device::Device(int fd, std::string label) : fd_(fd), label_(std::move(label)) {
    tx_.reserve(wire::kMaxFrame);
}

Device::~Device() {
    // Exclusive use outlives this descriptor when someone else still has the tty open: give it
    // up first. Closing the descriptor releases the lock.
    if (lowLatencyOurs_) GiveBackLowLatency(fd_);
    Sys().SetExclusive(fd_, false);
    Sys().Close(fd_);
    TraceNote("%s closed", label_.c_str());
}

std::unique_ptr<Device> Device::Open(const std::string& path, const std::string& label,
                                     std::string* error) {
    speed_t speed;
    if (!BaudFromEnvironment(&speed, error)) return nullptr;

    SystemCalls& sys = Sys();
    const int fd =
        Retry([&] { return sys.Open(path.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC); });
    if (fd < 0) {
        const int code = errno;
        *error = "cannot open " + path + " for " + label + ": " + std::strerror(code) + "; " +
                 OpenHint(code);
        return nullptr;
    }
    // The device is ours from here: the Device closes it on every way out.
    std::unique_ptr<Device> device(new Device(fd, label));
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
    device->lowLatencyOurs_ = TakeLowLatency(fd, label);
    TraceNote("%s opened %s", label.c_str(), path.c_str());
    return device;
}

bool Device::Send(wire::Kind kind, const uint8_t* payload, size_t size) {
    std::lock_guard<std::mutex> lock(writeMutex_);
    tx_.clear();
    if (!wire::EncodeInto(tx_, kind, payload, size)) return false;
    TraceFrame(label_, "tx", kind, payload, size);
    if (!WriteAll(tx_.data(), tx_.size())) {
        TraceNote("%s write failed: %s", label_.c_str(), std::strerror(errno));
        return false;
    }
    return true;
}

bool Device::WriteAll(const uint8_t* data, size_t size) {
    SystemCalls& sys = Sys();
    const Clock::time_point limit = Clock::now() + kWriteLimit;
    while (size > 0) {
        const ssize_t written = sys.Write(fd_, data, size);
        if (written > 0) {
            data += written;
            size -= static_cast<size_t>(written);
            continue;
        }
        if (written < 0 && errno == EINTR) continue;
        if (written < 0 && errno != EAGAIN && errno != EWOULDBLOCK) return false;
        // The output queue is full (or the write took nothing): wait until it drains.
        const int wait = MillisecondsUntil(limit);
        if (wait == 0) {
            errno = ETIMEDOUT;
            return false;
        }
        struct pollfd entry = {fd_, POLLOUT, 0};
        const int ready = sys.Poll(&entry, 1, wait);
        if (ready < 0 && errno != EINTR) return false;
        if (ready > 0 && (entry.revents & (POLLERR | POLLHUP | POLLNVAL))) {
            errno = EIO;
            return false;
        }
    }
    return true;
}

Device::ReadResult Device::ReadSome(int timeoutMs) {
    SystemCalls& sys = Sys();
    struct pollfd entry = {fd_, POLLIN, 0};
    const int ready = sys.Poll(&entry, 1, timeoutMs);
    if (ready < 0) return errno == EINTR ? ReadResult::Nothing : ReadResult::Failed;
    if (ready == 0) return ReadResult::Nothing;
    if (entry.revents & POLLIN) {
        // One frame's worth at most per read: the decoder then never has to evict.
        uint8_t chunk[wire::kMaxFrame];
        const ssize_t got = sys.Read(fd_, chunk, sizeof chunk);
        if (got > 0) {
            decoder_.Feed(chunk, static_cast<size_t>(got));
            return ReadResult::Data;
        }
        if (got < 0 && (errno == EINTR || errno == EAGAIN || errno == EWOULDBLOCK)) {
            return ReadResult::Nothing;
        }
        // End of file or EIO: the other end hung up.
        TraceNote("%s read failed: %s", label_.c_str(), got == 0 ? "hang-up" : strerror(errno));
        return ReadResult::Failed;
    }
    if (entry.revents & (POLLERR | POLLHUP | POLLNVAL)) {
        TraceNote("%s hung up (poll events 0x%x)", label_.c_str(),
                  static_cast<unsigned>(entry.revents));
        return ReadResult::Failed;
    }
    return ReadResult::Nothing;
}

WaitResult Device::Await(wire::Kind want, Clock::time_point deadline, wire::Frame& frame) {
    for (;;) {
        {
            std::lock_guard<std::mutex> lock(readMutex_);
            // Frames already decoded first, then what the device has, a slice at a time so that
            // another link on this device is never kept waiting long.
            for (int round = 0; round < 2; ++round) {
                while (decoder_.Next(frame)) {
                    const bool wanted = frame.kind == want;
                    TraceFrame(label_, "rx", frame.kind, frame.payload.data(), frame.payload.size(),
                               wanted ? nullptr : "(ignored)");
                    if (wanted) return WaitResult::Frame;
                }
                if (round == 1) break;
                const int wait = std::min<int>(MillisecondsUntil(deadline),
                                               static_cast<int>(kPollSlice.count()));
                if (ReadSome(wait) == ReadResult::Failed) return WaitResult::Failed;
            }
        }
        if (Clock::now() >= deadline) return WaitResult::TimedOut;
    }
}

void Device::DropReceived() {
    std::lock_guard<std::mutex> lock(readMutex_);
    wire::Frame frame;
    // Bounded, so that a peer that never stops talking cannot hold the sender here.
    for (int round = 0; round < 16; ++round) {
        while (decoder_.Next(frame)) {
            TraceFrame(label_, "rx", frame.kind, frame.payload.data(), frame.payload.size(),
                       "(stale, dropped)");
        }
        if (ReadSome(0) != ReadResult::Data) return;
    }
}

void Device::DiscardInput() {
    std::lock_guard<std::mutex> lock(readMutex_);
    Retry([&] { return Sys().TcFlush(fd_, TCIFLUSH); });
    decoder_.Clear();
}

uint64_t Device::BadFrames() {
    std::lock_guard<std::mutex> lock(readMutex_);
    return decoder_.BadFrames();
}

}  // namespace korvel::link
