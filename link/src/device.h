// One open serial device: the system's device, the frame decoder of what it delivered, and the
// frame writer. Several links of one process on the same port share one Device.
#ifndef KORVEL_LINK_DEVICE_H
#define KORVEL_LINK_DEVICE_H

#include <chrono>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "serial_port.h"
#include "zr318/wire.h"

namespace korvel::link {

// Longest a ZrGetMessage call waits before answering "nothing yet".
inline constexpr std::chrono::milliseconds kPollSlice{20};

enum class WaitResult {
    Frame,     // the frame asked for arrived
    TimedOut,  // the deadline passed first
    Failed,    // the device hung up or failed
};

class Device {
  public:
    // Opens path for the port named label at the speed KORVEL_BAUD asks for. On failure, nullptr
    // and a message naming the device and what to do.
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
    Device(std::unique_ptr<SerialPort> port, std::string label);

    using ReadResult = SerialPort::ReadResult;
    // Waits up to timeoutMs for input and feeds one read of it to the decoder.
    ReadResult ReadSome(int timeoutMs);

    std::unique_ptr<SerialPort> port_;  // closed first when the Device goes
    const std::string label_;
    std::mutex readMutex_;  // decoder_ and reads
    wire::Decoder decoder_;
    std::mutex writeMutex_;  // tx_ and writes
    std::vector<uint8_t> tx_;
};

// The speed KORVEL_BAUD asks for (115200 when unset) in bits per second; false with a message
// when the value is not one of the rates the link offers.
bool BaudFromEnvironment(unsigned long* rate, std::string* error);

}  // namespace korvel::link

#endif
