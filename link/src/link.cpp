// The serial-link operations, over the system's serial devices (serial_port.h).
//
// A handle names a link: a port, the reply time-out in force and the time of the last request.
// Links of one process on the same device share one open Device (the cancel sequence opens a
// link of its own while the worker holds one, and its frames must reach the same reader); the
// Device is closed, and its lock released, with the last link on it.
#include <algorithm>
#include <chrono>
#include <climits>
#include <cstring>
#include <map>
#include <memory>
#include <mutex>
#include <new>
#include <optional>
#include <string>
#include <vector>

#include "device.h"
#include "trace.h"
#include "zr318.h"
#include "zr318/ports.h"
#include "zr318/wire.h"

namespace korvel::link {
namespace {

using std::chrono::milliseconds;

// Waits of the link.
constexpr milliseconds kDefaultReplyTimeout{3000};  // reply time-out until ZrTimeOut changes it
constexpr milliseconds kResetRetry{250};            // ResetLoader is sent again this often
constexpr milliseconds kResetWait{2000};            // 64 Kb and large resets: wait for LoaderReady
constexpr milliseconds kLightResetWait{100};        // light reset: one try
constexpr milliseconds kMinModemWait{100};          // modem reset: shortest wait, whatever asked
constexpr milliseconds kEraseWait{30000};           // EraseData: wait for EraseDataDone

// Results that are not reset-and-open results.
constexpr int kBadCall = 1;  // unknown handle or unusable arguments

struct Link {
    std::shared_ptr<Device> device;
    uint32_t port = 0;  // canonical identifier
    milliseconds timeout = kDefaultReplyTimeout;
    Clock::time_point sentAt = Clock::now();
};

// Handles and the devices they share. Thread-safe: the cancel sequence runs on another thread
// than the worker.
class Registry {
  public:
    // The open device of port, shared with this process's other links on it, or a new one. On
    // failure, nullptr and a message.
    std::shared_ptr<Device> OpenDevice(uint32_t port, std::string* error) {
        const std::string label = ports::DisplayName(port);
        const std::optional<std::string> path = ports::DevicePath(port, error);
        if (!path) return nullptr;
        std::lock_guard<std::mutex> lock(mutex_);
        const std::optional<std::string> identity = DeviceIdentity(*path);
        const unsigned long self = CurrentProcess();
        std::erase_if(devices_, [](const Shared& entry) { return entry.device.expired(); });
        if (identity) {
            for (const Shared& entry : devices_) {
                // A child process inherits the table but not the right to the parent's device.
                if (entry.process == self && entry.identity == *identity) {
                    if (std::shared_ptr<Device> device = entry.device.lock()) return device;
                }
            }
        }
        std::shared_ptr<Device> device = Device::Open(*path, label, error);
        if (device && identity) devices_.push_back({device, self, *identity});
        return device;
    }

    int32_t Add(std::shared_ptr<Link> link) {
        std::lock_guard<std::mutex> lock(mutex_);
        for (;;) {
            const int32_t handle = next_;
            next_ = next_ == INT32_MAX ? 1 : next_ + 1;
            if (links_.emplace(handle, link).second) return handle;
        }
    }

    std::shared_ptr<Link> Find(int32_t handle) {
        std::lock_guard<std::mutex> lock(mutex_);
        const auto found = links_.find(handle);
        return found == links_.end() ? nullptr : found->second;
    }

    // The link taken out of the table; it closes when its last user lets go.
    std::shared_ptr<Link> Remove(int32_t handle) {
        std::lock_guard<std::mutex> lock(mutex_);
        const auto found = links_.find(handle);
        if (found == links_.end()) return nullptr;
        std::shared_ptr<Link> link = std::move(found->second);
        links_.erase(found);
        return link;
    }

  private:
    struct Shared {
        std::weak_ptr<Device> device;
        unsigned long process;
        std::string identity;
    };

    std::mutex mutex_;
    std::map<int32_t, std::shared_ptr<Link>> links_;
    std::vector<Shared> devices_;
    int32_t next_ = 1;  // handles are small positive numbers, never 0 or -1
};

// Built on first use and never destroyed: a worker thread may still close its link while the
// process exits.
Registry& Links() {
    alignas(Registry) static unsigned char storage[sizeof(Registry)];
    static Registry* registry = new (storage) Registry();
    return *registry;
}

unsigned int Failure(int status) {
    return ZR_FAIL_BASE + static_cast<unsigned int>(status);
}

// Runs body; an exception (out of memory, say) must not leave the library, so it becomes
// the result given.
template <typename Result, typename Body>
Result Guarded(Result onException, Body body) {
    try {
        return body();
    } catch (...) {
        Report("internal failure in the serial link; the operation was abandoned");
        return onException;
    }
}

std::shared_ptr<Link> OpenLink(const char* operation, uint32_t port, std::string* error) {
    port = ports::Canonical(port);
    std::shared_ptr<Device> device = Links().OpenDevice(port, error);
    if (!device) {
        Report("%s: %s", operation, error->c_str());
        return nullptr;
    }
    auto link = std::make_shared<Link>();
    link->device = std::move(device);
    link->port = port;
    return link;
}

// Resets the reader on port into its loader with mode, resending the reset every kResetRetry
// until LoaderReady arrives or wait passes.
unsigned int ResetAndOpen(const char* operation, uint32_t port, int32_t* handle,
                          wire::ResetMode mode, milliseconds wait) {
    if (handle == nullptr) return Failure(ZR_STATUS_OPEN_FAILED);
    *handle = -1;
    std::string error;
    std::shared_ptr<Link> link = OpenLink(operation, port, &error);
    if (!link) return Failure(ZR_STATUS_OPEN_FAILED);
    Device& device = *link->device;
    device.DiscardInput();

    const auto modeByte = static_cast<uint8_t>(mode);
    const Clock::time_point deadline = Clock::now() + wait;
    wire::Frame frame;
    for (;;) {
        if (!device.Send(wire::Kind::ResetLoader, &modeByte, 1)) {
            return Failure(ZR_STATUS_COMMUNICATION);
        }
        const Clock::time_point retryAt = std::min(Clock::now() + kResetRetry, deadline);
        WaitResult result;
        while ((result = device.Await(wire::Kind::LoaderReady, retryAt, frame)) ==
                   WaitResult::Frame &&
               frame.payload.size() != 2) {
            TraceNote("%s LoaderReady of %zu bytes instead of 2 ignored", device.Label().c_str(),
                      frame.payload.size());
        }
        if (result == WaitResult::Failed) return Failure(ZR_STATUS_COMMUNICATION);
        if (result == WaitResult::Frame) break;
        if (Clock::now() >= deadline) {
            TraceNote("%s no LoaderReady within %lld ms", device.Label().c_str(),
                      static_cast<long long>(wait.count()));
            return Failure(ZR_STATUS_NO_REPLY);
        }
    }

    const uint8_t status = frame.payload[0];
    const uint8_t loader = frame.payload[1];
    if (status != 0) {
        TraceNote("%s reader refused the reset (status %u)", device.Label().c_str(), status);
        return Failure(ZR_STATUS_COMMUNICATION);
    }
    unsigned int result = 0;
    if (mode == wire::ResetMode::Small) {
        // Only two loaders exist; anything else cannot be driven.
        if (loader != wire::kRawLoader && loader != wire::kAddressedLoader) {
            TraceNote("%s unknown loader kind %u", device.Label().c_str(), loader);
            return Failure(ZR_STATUS_COMMUNICATION);
        }
        result = loader;
    }
    link->sentAt = Clock::now();
    *handle = Links().Add(std::move(link));
    TraceNote("%s %s: handle %d, result %u", ports::DisplayName(ports::Canonical(port)).c_str(),
              operation, *handle, result);
    return result;
}

}  // namespace
}  // namespace korvel::link

using korvel::link::Clock;
using korvel::link::Guarded;
using korvel::link::Link;
using korvel::link::Links;
using korvel::link::WaitResult;
namespace ports = korvel::ports;
namespace wire = korvel::wire;

extern "C" {

unsigned int ZrResetAndOpen(ZrPort port, int32_t* handle) {
    return Guarded(korvel::link::Failure(ZR_STATUS_COMMUNICATION), [&] {
        return korvel::link::ResetAndOpen("ZrResetAndOpen", port, handle, wire::ResetMode::Small,
                                          korvel::link::kResetWait);
    });
}

unsigned int ZrResetAndOpen512(ZrPort port, int32_t* handle) {
    return Guarded(korvel::link::Failure(ZR_STATUS_COMMUNICATION), [&] {
        return korvel::link::ResetAndOpen("ZrResetAndOpen512", port, handle, wire::ResetMode::Large,
                                          korvel::link::kResetWait);
    });
}

unsigned int ZrResetAndOpenKvTalModem(ZrPort port, int32_t* handle, HWND owner, uint32_t waitMs) {
    // No window to prompt in: the operator is asked by the caller's own message.
    (void)owner;
    const auto wait = std::max(korvel::link::kMinModemWait,
                               std::chrono::milliseconds(static_cast<int64_t>(waitMs)));
    return Guarded(korvel::link::Failure(ZR_STATUS_COMMUNICATION), [&] {
        return korvel::link::ResetAndOpen("ZrResetAndOpenKvTalModem", port, handle,
                                          wire::ResetMode::Modem, wait);
    });
}

unsigned int ZrResetAndOpen512Light(ZrPort port, int32_t* handle) {
    return Guarded(korvel::link::Failure(ZR_STATUS_COMMUNICATION), [&] {
        return korvel::link::ResetAndOpen("ZrResetAndOpen512Light", port, handle,
                                          wire::ResetMode::Light, korvel::link::kLightResetWait);
    });
}

unsigned int ZrEraseData1M(ZrPort port, int32_t* handle) {
    using korvel::link::Failure;
    return Guarded(Failure(ZR_STATUS_COMMUNICATION), [&]() -> unsigned int {
        if (handle == nullptr) return Failure(ZR_STATUS_OPEN_FAILED);
        port = ports::Canonical(port);
        std::shared_ptr<Link> link = Links().Find(*handle);
        if (!link || link->port != port) {
            std::string error;
            link = korvel::link::OpenLink("ZrEraseData1M", port, &error);
            if (!link) return Failure(ZR_STATUS_OPEN_FAILED);
            *handle = Links().Add(link);
        }
        korvel::link::Device& device = *link->device;
        if (!device.Send(wire::Kind::EraseData, nullptr, 0)) {
            return Failure(ZR_STATUS_COMMUNICATION);
        }
        const Clock::time_point deadline = Clock::now() + korvel::link::kEraseWait;
        wire::Frame frame;
        WaitResult result;
        while ((result = device.Await(wire::Kind::EraseDataDone, deadline, frame)) ==
                   WaitResult::Frame &&
               frame.payload.size() != 1) {
            korvel::link::TraceNote("%s EraseDataDone of %zu bytes instead of 1 ignored",
                                    device.Label().c_str(), frame.payload.size());
        }
        if (result == WaitResult::Failed) return Failure(ZR_STATUS_COMMUNICATION);
        if (result == WaitResult::TimedOut) return Failure(ZR_STATUS_NO_REPLY);
        return frame.payload[0] == 0 ? 0u : Failure(ZR_STATUS_COMMUNICATION);
    });
}

int ZrOpen(int mode, ZrPort port, int a, int b, int32_t* handle) {
    return Guarded(static_cast<int>(ZR_STATUS_OPEN_FAILED), [&]() -> int {
        if (handle == nullptr) return korvel::link::kBadCall;
        *handle = -1;
        std::string error;
        std::shared_ptr<Link> link = korvel::link::OpenLink("ZrOpen", port, &error);
        if (!link) return ZR_STATUS_OPEN_FAILED;
        // a is the reply time-out in milliseconds to start with; mode and b are kept for the
        // callers' sake and change nothing.
        if (a > 0) link->timeout = std::chrono::milliseconds(a);
        link->sentAt = Clock::now();
        *handle = Links().Add(std::move(link));
        korvel::link::TraceNote("%s ZrOpen(%d, %d, %d): handle %d",
                                ports::DisplayName(ports::Canonical(port)).c_str(), mode, a, b,
                                *handle);
        return 0;
    });
}

void ZrClose(int32_t handle) {
    Guarded(0, [&] {
        if (Links().Remove(handle)) korvel::link::TraceNote("handle %d closed", handle);
        return 0;
    });
}

void ZrKvrenReset(int32_t handle) {
    Guarded(0, [&] {
        if (std::shared_ptr<Link> link = Links().Find(handle)) {
            link->device->Send(wire::Kind::LeaveLoader, nullptr, 0);
        }
        return 0;
    });
}

int ZrSendMessage(int32_t handle, const unsigned char* bytes, int length) {
    return Guarded(static_cast<int>(ZR_STATUS_COMMUNICATION), [&]() -> int {
        std::shared_ptr<Link> link = Links().Find(handle);
        if (!link || length < 0 || static_cast<size_t>(length) > wire::kMaxPayload ||
            (bytes == nullptr && length > 0)) {
            korvel::link::TraceNote("ZrSendMessage(%d, %d bytes) refused: %s", handle, length,
                                    link ? "length out of range" : "unknown handle");
            return korvel::link::kBadCall;
        }
        // An answer that arrived before this request (to a frame nobody waited on, or after a
        // time-out) must not pass for the answer to this one.
        link->device->DropReceived();
        link->sentAt = Clock::now();
        if (!link->device->Send(wire::Kind::Message, bytes, static_cast<size_t>(length))) {
            return ZR_STATUS_COMMUNICATION;
        }
        return 0;
    });
}

int ZrGetMessage(int32_t handle, unsigned char* buffer, int* length, int* other) {
    return Guarded(static_cast<int>(ZR_STATUS_COMMUNICATION), [&]() -> int {
        if (length != nullptr) *length = 0;
        std::shared_ptr<Link> link = Links().Find(handle);
        if (!link || buffer == nullptr || length == nullptr) return korvel::link::kBadCall;
        korvel::link::Device& device = *link->device;
        const Clock::time_point deadline = link->sentAt + link->timeout;
        const Clock::time_point sliceEnd =
            std::min(Clock::now() + korvel::link::kPollSlice, deadline);
        wire::Frame frame;
        const WaitResult result = device.Await(wire::Kind::Message, sliceEnd, frame);
        if (other != nullptr)
            *other = static_cast<int>(std::min<uint64_t>(device.BadFrames(), INT_MAX));
        switch (result) {
            case WaitResult::Frame:
                if (frame.payload.size() > ZR_REPLY_BUFFER) {
                    korvel::link::Report(
                        "%s: answer of %zu bytes does not fit the %d-byte reply buffer; it was "
                        "dropped (check that the reader runs the expected loader)",
                        device.Label().c_str(), frame.payload.size(), ZR_REPLY_BUFFER);
                    return ZR_STATUS_COMMUNICATION;
                }
                if (!frame.payload.empty()) {
                    std::memcpy(buffer, frame.payload.data(), frame.payload.size());
                }
                *length = static_cast<int>(frame.payload.size());
                return ZR_OK;
            case WaitResult::Failed:
                return ZR_STATUS_COMMUNICATION;
            case WaitResult::TimedOut:
                break;
        }
        return Clock::now() >= deadline ? ZR_TIMEOUT : ZR_PENDING;
    });
}

void ZrTimeOut(int32_t handle, int32_t milliseconds) {
    Guarded(0, [&] {
        if (std::shared_ptr<Link> link = Links().Find(handle)) {
            link->timeout = std::chrono::milliseconds(std::max<int32_t>(milliseconds, 0));
        }
        return 0;
    });
}

}  // extern "C"
