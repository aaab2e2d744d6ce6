#include "device.h"

#include <algorithm>
#include <cerrno>
#include <cstdlib>

#include "trace.h"

namespace korvel::link {
namespace {

// Longest a frame may take to leave: a full frame at 9600 baud needs about 1.1 s.
constexpr std::chrono::milliseconds kWriteLimit{5000};

constexpr unsigned long kDefaultRate = 115200;

// Rates KORVEL_BAUD may name: those every system the link runs on drives.
constexpr unsigned long kBaudRates[] = {
    1200,   2400,   4800,   9600,   19200,   38400,   57600,   115200,  230400,
    460800, 500000, 576000, 921600, 1000000, 1500000, 2000000, 3000000, 4000000,
};

}  // namespace

int MillisecondsUntil(Clock::time_point deadline) {
    const auto left = deadline - Clock::now();
    if (left <= Clock::duration::zero()) return 0;
    const auto ms = std::chrono::ceil<std::chrono::milliseconds>(left).count();
    return static_cast<int>(std::min<long long>(ms, 60 * 60 * 1000));
}

bool BaudFromEnvironment(unsigned long* rate, std::string* error) {
    const char* setting = std::getenv("KORVEL_BAUD");
    if (setting == nullptr || *setting == '\0') {
        *rate = kDefaultRate;
        return true;
    }
    char* end = nullptr;
    errno = 0;
    const unsigned long asked = std::strtoul(setting, &end, 10);
    if (errno == 0 && end != setting && *end == '\0' &&
        std::find(std::begin(kBaudRates), std::end(kBaudRates), asked) != std::end(kBaudRates)) {
        *rate = asked;
        return true;
    }
    *error = std::string("KORVEL_BAUD=\"") + setting +
             "\" is not a supported baud rate; unset it for 115200 or use one of 9600, 19200, "
             "38400, 57600, 115200, 230400, 460800, 921600";
    return false;
}

Device::Device(std::unique_ptr<SerialPort> port, std::string label)
    : port_(std::move(port)), label_(std::move(label)) {
    tx_.reserve(wire::kMaxFrame);
}

Device::~Device() {
    port_.reset();
    TraceNote("%s closed", label_.c_str());
}

std::unique_ptr<Device> Device::Open(const std::string& path, const std::string& label,
                                     std::string* error) {
    unsigned long rate;
    if (!BaudFromEnvironment(&rate, error)) return nullptr;
    std::unique_ptr<SerialPort> port = SerialPort::Open(path, label, rate, error);
    if (!port) return nullptr;
    TraceNote("%s opened %s", label.c_str(), path.c_str());
    return std::unique_ptr<Device>(new Device(std::move(port), label));
}

bool Device::Send(wire::Kind kind, const uint8_t* payload, size_t size) {
    std::lock_guard<std::mutex> lock(writeMutex_);
    tx_.clear();
    if (!wire::EncodeInto(tx_, kind, payload, size)) return false;
    TraceFrame(label_, "tx", kind, payload, size);
    std::string why;
    if (!port_->WriteAll(tx_.data(), tx_.size(), Clock::now() + kWriteLimit, &why)) {
        TraceNote("%s write failed: %s", label_.c_str(), why.c_str());
        return false;
    }
    return true;
}

Device::ReadResult Device::ReadSome(int timeoutMs) {
    // One frame's worth at most per read: the decoder then never has to evict.
    uint8_t chunk[wire::kMaxFrame];
    size_t got = 0;
    const ReadResult result = port_->Read(timeoutMs, chunk, sizeof chunk, decoder_.Missing(), &got);
    if (result == ReadResult::Data) decoder_.Feed(chunk, got);
    return result;
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
    port_->DiscardInput();
    decoder_.Clear();
}

uint64_t Device::BadFrames() {
    std::lock_guard<std::mutex> lock(readMutex_);
    return decoder_.BadFrames();
}

}  // namespace korvel::link
