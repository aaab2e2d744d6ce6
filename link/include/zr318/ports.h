// Naming of the serial ports through which a reader is reached, and their discovery.
//
// A port is known by a 32-bit identifier: a COM port by its number n, a virtual reader port by
// 0x80000000 + n (n in bits 0..14). The 16-bit port word carries the same identity with bit 15
// marking a virtual port; widened with its sign it reads 0xFFFF8000 + n, which names the same
// virtual port.
//
// Devices on Linux: each port may have an entry in the ports directory, a symbolic link named
// "COM<n>" or "Korvel_reader_<nn>" (two digits at least) to the tty device. Without an entry, COM n
// is /dev/ttyS<n-1> and a virtual reader port does not exist.
// Devices on Windows: COM n is \\.\COM<n> (every n, one digit or three), a virtual reader port is
// \\.\Korvel_reader_<nn>, as the system names them.
#ifndef KORVEL_LINK_PORTS_H
#define KORVEL_LINK_PORTS_H

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace korvel::ports {

inline constexpr uint32_t kVirtualBit = 0x80000000u;  // identifier: virtual reader port
inline constexpr uint16_t kWordVirtualBit = 0x8000;   // port word: virtual reader port
inline constexpr uint32_t kNumberMask = 0x7FFF;       // port number of a virtual port / a word

// Ports the discovery probes, in this order.
inline constexpr uint32_t kFirstCom = 1;
inline constexpr uint32_t kLastCom = 256;
inline constexpr uint32_t kFirstVirtual = 0;
inline constexpr uint32_t kLastVirtual = 98;

inline bool IsVirtual(uint32_t id) {
    return (id & kVirtualBit) != 0;
}
// The port number: bits 0..14 of a virtual identifier, the identifier itself for a COM port.
inline uint32_t PortNumber(uint32_t id) {
    return IsVirtual(id) ? (id & kNumberMask) : id;
}
// One identifier per port: 0xFFFF8000 + n becomes 0x80000000 + n.
inline uint32_t Canonical(uint32_t id) {
    return IsVirtual(id) ? kVirtualBit | (id & kNumberMask) : id;
}

inline uint16_t IdToWord(uint32_t id) {
    return IsVirtual(id) ? static_cast<uint16_t>(kWordVirtualBit | (id & kNumberMask))
                         : static_cast<uint16_t>(id & kNumberMask);
}
inline uint32_t WordToId(uint16_t word) {
    return (word & kWordVirtualBit) ? kVirtualBit | (word & kNumberMask) : word;
}
// The word widened with its sign, as the engine hands a port to the link.
inline uint32_t WordToSignedId(uint16_t word) {
    return static_cast<uint32_t>(static_cast<int32_t>(static_cast<int16_t>(word)));
}

// Text shown for a port: "COM3", "KORVEL07".
std::string DisplayName(uint32_t id);
// Name of the port's entry in the ports directory: "COM3", "Korvel_reader_07".
std::string EntryName(uint32_t id);

#if !defined(_WIN32)
// The ports directory: $KORVEL_PORTS_DIR, else $XDG_CONFIG_HOME/korvel/ports, else
// ~/.config/korvel/ports.
std::string PortsDirectory();
#endif

// The device to open for a port. Without a device (COM 0, a virtual port without an entry),
// nullopt and, when error is given, a message saying what to do.
std::optional<std::string> DevicePath(uint32_t id, std::string* error = nullptr);

// A port named by the user.
struct PortSpec {
    uint32_t id = 0;     // 0 when a device path was given
    std::string text;    // "COM3", "KORVEL07", or the path
    std::string device;  // the device to open
};

// Parses "COM3", "KORVEL07" (any case) or a device path, used as it is: one starting with '/' on
// Linux, with "\\" on Windows. On bad input, nullopt and a message in error.
std::optional<PortSpec> ParsePortName(const std::string& name, std::string* error = nullptr);

// A port ListOpenablePorts found free to open: its identifier, its text, its device.
struct OpenablePort {
    uint32_t id = 0;
    std::string text;
    std::string device;
};

// The ports a reader can be reached through right now: COM1..COM256, then virtual reader ports
// 0..98, each only when its device opens and nobody holds it. Each probe is closed at once.
std::vector<OpenablePort> ListOpenablePorts();

// True when the device opens for reading and writing and nobody holds it (Linux: its exclusive
// lock is free; Windows: it opens without sharing).
bool CanOpenPort(const std::string& device);

}  // namespace korvel::ports

#endif
