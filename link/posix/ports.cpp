// Where a port's device lies on a POSIX system, and whether it opens: the ports directory's
// symbolic links, else /dev/ttyS<n-1> for COM n.
#include <fcntl.h>
#include <pwd.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>

#include "ports_system.h"
#include "zr318/ports.h"

namespace korvel::ports {

const char* const kDevicePathExample = "/dev/ttyUSB0";

namespace {

constexpr const char* kComDevicePrefix = "/dev/ttyS";  // COM n without an entry: ttyS<n-1>

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

}  // namespace

bool IsDevicePathName(const std::string& name) {
    return !name.empty() && name[0] == '/';
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

}  // namespace korvel::ports
