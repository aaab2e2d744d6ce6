#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <system_error>

#include "base/file.h"
#include "cordane/exit_codes.h"
#include "port_check.h"
#include "zr318/ports.h"

namespace cordane::tools {

namespace {

using korvel::base::Error;
using korvel::base::Expected;

constexpr char kPortsVariable[] = "KORVEL_PORTS_DIR";  // where the link finds its port entries

Error Refused(std::string message) {
    return Error(kExitBadInput, std::move(message));
}

}  // namespace

Expected<void> CheckPort(const PortChoice& port) {
    const std::string name = PortShown(port);
    struct stat info {};
    if (::stat(port.device.c_str(), &info) != 0) {
        return Refused("port " + name +
                       " does not exist: plug in the reader's adapter, or run \"cordane ports\" to "
                       "list the ports that can be opened now");
    }
    if (!S_ISCHR(info.st_mode)) {
        return Refused("port " + name + " is not a serial device: give the reader's tty device");
    }
    // Find out why it cannot be used, to say what to do about it.
    const int probe = ::open(port.device.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    const int error = errno;
    const korvel::base::File opened =
        probe >= 0 ? korvel::base::File::Adopt(probe, port.device) : korvel::base::File();
    if (opened && !::isatty(probe)) {
        // /dev/null, say: the link would find out only later, and name its own entry for it.
        return Refused("port " + name +
                       " is not a serial device (no terminal settings): give the reader's tty "
                       "device, such as /dev/ttyUSB0");
    }
    if (korvel::ports::CanOpenPort(port.device)) return {};
    if (!opened && (error == EACCES || error == EPERM)) {
        return Refused("no permission to open port " + name +
                       ": add the user to the dialout group (usermod -aG dialout $USER) and log "
                       "in again");
    }
    if (opened || error == EBUSY) {
        return Refused("port " + name +
                       " is held by another program: close that program (or wait for its "
                       "download to end) and try again");
    }
    if (error == ENXIO || error == ENODEV || error == ENOENT) {
        return Refused("port " + name +
                       " has no device behind it: plug in the reader's adapter, or run \"cordane "
                       "ports\" to list the ports that can be opened now");
    }
    return Refused("port " + name + " cannot be opened: " + std::strerror(error));
}

bool SameDevice(const PortChoice& a, const PortChoice& b) {
    if (a.device == b.device) return true;
    struct stat first {};
    struct stat second {};
    return ::stat(a.device.c_str(), &first) == 0 && ::stat(b.device.c_str(), &second) == 0 &&
           first.st_rdev == second.st_rdev;
}

Expected<void> TemporaryPortsFolder::Create(const std::string& device) {
    const std::string entry = korvel::ports::EntryName(1);
    Expected<korvel::base::TemporaryFolder> folder =
        korvel::base::TemporaryFolder::Create("cordane-port-", {entry, false});
    if (!folder) return std::move(folder).error().WithCode(kExitBadInput);
    folder_ = std::move(*folder);
    std::error_code error;
    std::filesystem::create_symlink(device, folder_.EntryPath(), error);
    if (error) {
        return Refused("cannot create the port entry " + folder_.EntryPath() + ": " +
                       error.message());
    }
    if (const char* previous = std::getenv(kPortsVariable)) previous_ = previous;
    ::setenv(kPortsVariable, folder_.path().c_str(), 1);
    pointed_ = true;
    return {};
}

void TemporaryPortsFolder::RestoreEnvironment() {
    if (!pointed_) return;
    if (previous_) {
        ::setenv(kPortsVariable, previous_->c_str(), 1);
    } else {
        ::unsetenv(kPortsVariable);
    }
    pointed_ = false;
}

}  // namespace cordane::tools
