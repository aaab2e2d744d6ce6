#include "zr318/ports.h"

#include <fcntl.h>
#include <pwd.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace korvel::ports {
namespace {

constexpr const char* kComPrefix = "COM";                      // entry and text of COM ports
constexpr const char* kVirtualEntryPrefix = "Korvel_reader_";  // entry of a virtual port
constexpr const char* kVirtualTextPrefix = "KORVEL";           // text shown for a virtual port
constexpr const char* kComDevicePrefix = "/dev/ttyS";          // COM n without an entry: ttyS<n-1>

std::string Env(const char* name) {
    const char* value = std::getenv(name);
    return value ? std::string(value) : std::string();
}

std::string HomeDirectory() {
    std::string home = Env("HOME");
    if (!home.empty()) return home;
    // No HOME (a service, say): the password database knows.
    struct passwd entry;
    struct passwd* found = nullptr;
    char buffer[4096];
    if (getpwuid_r(getuid(), &entry, buffer, sizeof buffer, &found) == 0 && found != nullptr &&
        found->pw_dir != nullptr) {
        return found->pw_dir;
    }
    return "/";
}

bool EntryExists(const std::string& path) {
    struct stat info;
    return lstat(path.c_str(), &info) == 0;
}

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
    return text.size() >= size && strncasecmp(text.c_str(), prefix, size) == 0;
}

}  // namespace

std::string DisplayName(uint32_t id) {
    char text[32];
    if (IsVirtual(id)) {
        std::snprintf(text, sizeof text, "%s%02u", kVirtualTextPrefix, PortNumber(id));
    } else {
        std::snprintf(text, sizeof text, "%s%lu", kComPrefix, static_cast<unsigned long>(id));
    }
    return text;
}

std::string EntryName(uint32_t id) {
    char text[48];
    if (IsVirtual(id)) {
        std::snprintf(text, sizeof text, "%s%02u", kVirtualEntryPrefix, PortNumber(id));
    } else {
        std::snprintf(text, sizeof text, "%s%lu", kComPrefix, static_cast<unsigned long>(id));
    }
    return text;
}

std::string PortsDirectory() {
    std::string dir = Env("KORVEL_PORTS_DIR");
    if (!dir.empty()) return dir;
    // Only an absolute XDG_CONFIG_HOME counts; a relative one is to be ignored.
    const std::string config = Env("XDG_CONFIG_HOME");
    if (!config.empty() && config[0] == '/') return config + "/korvel/ports";
    return HomeDirectory() + "/.config/korvel/ports";
}

std::optional<std::string> DevicePath(uint32_t id, std::string* error) {
    id = Canonical(id);
    if (!IsVirtual(id) && id == 0) {
        if (error) *error = "port 0 is no port: name a COM port from COM1 or a KORVEL port";
        return std::nullopt;
    }
    const std::string dir = PortsDirectory();
    const std::string entry = dir + "/" + EntryName(id);
    if (EntryExists(entry)) return entry;
    if (!IsVirtual(id)) return kComDevicePrefix + std::to_string(id - 1);
    if (error) {
        *error = "virtual reader port " + DisplayName(id) + " has no entry " + entry +
                 ": link it to the reader's tty device (ln -s /dev/ttyUSB0 " + entry +
                 ") or set KORVEL_PORTS_DIR";
    }
    return std::nullopt;
}

std::optional<PortSpec> ParsePortName(const std::string& name, std::string* error) {
    PortSpec spec;
    if (!name.empty() && name[0] == '/') {
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
                     "such as /dev/ttyUSB0";
        }
        return std::nullopt;
    }
    spec.text = DisplayName(spec.id);
    spec.device = DevicePath(spec.id).value_or(std::string());
    return spec;
}

bool CanOpenPort(const std::string& device) {
    int fd;
    do {
        fd = open(device.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    } while (fd < 0 && errno == EINTR);
    if (fd < 0) return false;
    int locked;
    do {
        locked = flock(fd, LOCK_EX | LOCK_NB);
    } while (locked != 0 && errno == EINTR);
    // Closing the probe releases its lock as well.
    close(fd);
    return locked == 0;
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
