// One open serial device: the descriptor, its settings, the frame decoder of what it delivered,
// and the frame writer. Several links of one process on the same port share one Device.
#ifndef KORVEL_LINK_DEVICE_H
#define KORVEL_LINK_DEVICE_H

#include <sys/types.h>
#include <termios.h>

#include <chrono>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "zr318/wire.h"

namespace korvel::link {

using Clock = std::chrono::steady_clock;

// Longest a ZrGetMessage call waits before answering "nothing yet".
inline constexpr std::chrono::milliseconds kPollSlice{20};

enum class WaitResult {
    Frame,     // the frame asked for arrived
    TimedOut,  // the deadline passed first
    Failed,    // the device hung up or failed
};

class Device {
  public:
    // Opens path for the port named label, locks it, puts it into raw mode and asks its driver
    // for low latency. On failure, nullptr and a message naming the device and what to do.
    static std::unique_ptr<Device> Open(const std::string& path, const std::string& label,
                                        std::string* error);
    ~Device();
    Device(const Device&) = delete;
    Device& operator=(const Device&) = delete;

    const std::string& Label() const { return label_; }

    // Writes one frame with a single write (more only after a short write). False on failure.
    bool Send(wire::Kind kind, const uint8_t* payload, size_t size);

    // Waits until deadline for a frame of kind want; frames of other kinds are dropped. Even with
    // a deadline already past, what the device has delivered is looked at once.
    WaitResult Await(wire::Kind want, Clock::time_point deadline, wire::Frame& frame);

    // Drops every frame already received: nothing that arrived before a request answers it.
    void DropReceived();
    // Forgets everything received so far, in the decoder and in the device (a new session).
    void DiscardInput();

    // Damaged frames dropped since the device was opened.
    uint64_t BadFrames();

  private:
    Device(int fd, std::string label);

    enum class ReadResult { Data, Nothing, Failed };
    // Waits up to timeoutMs for input and feeds one read of it to the decoder.
    ReadResult ReadSome(int timeoutMs);
    bool WriteAll(const uint8_t* data, size_t size);

    const int fd_;
    const std::string label_;
    bool lowLatencyOurs_ = false;  // we turned the driver's low latency on: the close undoes it
    std::mutex readMutex_;         // decoder_ and reads
    wire::Decoder decoder_;
    std::mutex writeMutex_;  // tx_ and writes
    std::vector<uint8_t> tx_;
};

// The speed KORVEL_BAUD asks for (115200 when unset), as a termios speed; false with a message
// when the value is not a rate the system supports.
bool BaudFromEnvironment(speed_t* speed, std::string* error);

}  // namespace korvel::link

#endif
