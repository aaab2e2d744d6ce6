// The link's seam to the operating system's serial devices: one open device that reads with a
// time-out, writes whole, and forgets its pending input. posix/ and win32/ each fill it in; the
// frames, the sessions and the waits above it are the same everywhere.
#ifndef KORVEL_LINK_SERIAL_PORT_H
#define KORVEL_LINK_SERIAL_PORT_H

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>

namespace korvel::link {

using Clock = std::chrono::steady_clock;

class SerialPort {
  public:
    enum class ReadResult {
        Data,     // *got bytes (at least one) are in the buffer
        Nothing,  // nothing arrived within the time given
        Failed,   // the device hung up or failed
    };

    // Opens path for the port named label, alone, at baud bits per second, 8 data bits, no
    // parity, one stop bit, no flow control, with its pending input dropped. On failure, nullptr
    // and a message naming the device and what to do.
    static std::unique_ptr<SerialPort> Open(const std::string& path, const std::string& label,
                                            unsigned long baud, std::string* error);

    virtual ~SerialPort() = default;

    // Waits up to timeoutMs (0: not at all) for input and reads what came, up to size bytes.
    // frameRest is what would make the frame in hand whole: a system whose waiting reads last
    // until their count has come asks for no more, so that an answer is taken the moment its
    // last byte arrives.
    virtual ReadResult Read(int timeoutMs, uint8_t* buffer, size_t size, size_t frameRest,
                            size_t* got) = 0;
    // Writes all of data, by limit at the latest. False, with the reason in *why, on failure.
    virtual bool WriteAll(const uint8_t* data, size_t size, Clock::time_point limit,
                          std::string* why) = 0;
    // Drops what the device received and nobody read yet.
    virtual void DiscardInput() = 0;
};

// What tells two names of one device apart from two devices (a POSIX device and inode, a Windows
// device name without regard to case); nullopt when the device cannot be looked at.
std::optional<std::string> DeviceIdentity(const std::string& path);

// This process: a child made by fork never shares its parent's open devices.
unsigned long CurrentProcess();

// Milliseconds left until deadline, rounded up so that a wait never ends a little before its
// deadline and spins; 0 once it has passed.
int MillisecondsUntil(Clock::time_point deadline);

}  // namespace korvel::link

#endif
