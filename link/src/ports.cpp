// Port identifiers and their names, the same on every system; where a port's device lies and
// whether it opens is each system's own (posix/ports.cpp, win32/ports.cpp).
#include "zr318/ports.h"

#include <cstdio>
#include <cstring>

#include "ports_system.h"

namespace korvel::ports {
namespace {

constexpr const char* kComPrefix = "COM";                      // entry and text of COM ports
constexpr const char* kVirtualEntryPrefix = "Korvel_reader_";  // entry of a virtual port
constexpr const char* kVirtualTextPrefix = "KORVEL";           // text shown for a virtual port

// Reads a decimal number of 1..5 digits filling the rest of text from offset at.
std::optional<uint32_t> ReadNumber(const std::string& text, size_t at) {
    if (at >= text.size() || text.size() - at > 5) return std::nullopt;
    uint32_t value = 0;
    for (size_t i = at; i < text.size(); ++i) {
        if (text[i] < '0' || text[i] > '9') return std::nullopt;
        value = value * 10 + static_cast<uint32_t>(text[i] - '0');
    }
    return value;
}

bool StartsWithNoCase(const std::string& text, const char* prefix) {
    const size_t size = std::strlen(prefix);
    if (text.size() < size) return false;
    for (size_t i = 0; i < size; ++i) {
        const char a = text[i] >= 'a' && text[i] <= 'z' ? static_cast<char>(text[i] - 32) : text[i];
        const char b =
            prefix[i] >= 'a' && prefix[i] <= 'z' ? static_cast<char>(prefix[i] - 32) : prefix[i];
        if (a != b) return false;
    }
    return true;
}

}  // namespace

std::string DisplayName(uint32_t id) {
    char text[32];
    if (IsVirtual(id)) {
        std::snprintf(text, sizeof text, "%s%02u", kVirtualTextPrefix,
                      static_cast<unsigned>(PortNumber(id)));
    } else {
        std::snprintf(text, sizeof text, "%s%lu", kComPrefix, static_cast<unsigned long>(id));
    }
    return text;
}

std::string EntryName(uint32_t id) {
    char text[48];
    if (IsVirtual(id)) {
        std::snprintf(text, sizeof text, "%s%02u", kVirtualEntryPrefix,
                      static_cast<unsigned>(PortNumber(id)));
    } else {
        std::snprintf(text, sizeof text, "%s%lu", kComPrefix, static_cast<unsigned long>(id));
    }
    return text;
}

std::optional<PortSpec> ParsePortName(const std::string& name, std::string* error) {
    PortSpec spec;
    if (IsDevicePathName(name)) {
        spec.text = name;
        spec.device = name;
        return spec;
    }
    std::optional<uint32_t> number;
    if (StartsWithNoCase(name, kVirtualTextPrefix)) {
        number = ReadNumber(name, std::strlen(kVirtualTextPrefix));
        if (number && *number >= kFirstVirtual && *number <= kLastVirtual) {
            spec.id = kVirtualBit | *number;
        }
    } else if (StartsWithNoCase(name, kComPrefix)) {
        number = ReadNumber(name, std::strlen(kComPrefix));
        if (number && *number >= kFirstCom && *number <= kLastCom) spec.id = *number;
    }
    if (spec.id == 0) {
        if (error) {
            *error = "port name \"" + name +
                     "\" not understood: use COM1..COM256, KORVEL00..KORVEL98 or a device path "
                     "such as " +
                     kDevicePathExample;
        }
        return std::nullopt;
    }
    spec.text = DisplayName(spec.id);
    spec.device = DevicePath(spec.id).value_or(std::string());
    return spec;
}

std::vector<OpenablePort> ListOpenablePorts() {
    std::vector<OpenablePort> found;
    auto probe = [&found](uint32_t id) {
        const std::optional<std::string> device = DevicePath(id);
        if (device && CanOpenPort(*device)) found.push_back({id, DisplayName(id), *device});
    };
    for (uint32_t n = kFirstCom; n <= kLastCom; ++n) probe(n);
    for (uint32_t n = kFirstVirtual; n <= kLastVirtual; ++n) probe(kVirtualBit | n);
    return found;
}

}  // namespace korvel::ports
