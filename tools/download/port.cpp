#include "download/port.h"

#include "cordane/exit_codes.h"

namespace cordane::tools {

std::optional<std::string> PortProblem(const PortChoice& port) {
    const std::string name = port.throughPath ? port.device : port.text + " (" + port.device + ")";
    struct stat info {};
    if (::stat(port.device.c_str(), &info) != 0) {
        return "port " + name +
               " does not exist: plug in the reader's adapter, or run \"cordane ports\" to "
               "list the ports that can be opened now";
    }
    if (!S_ISCHR(info.st_mode)) {
        return "port " + name + " is not a serial device: give the reader's tty device";
    }
    // Find out why it cannot be used, to say what to do about it.
    const UniqueFd probe(::open(port.device.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC));
    const int error = errno;
    if (probe.get() >= 0 && !::isatty(probe.get())) {
        // /dev/null, say: the link would find out only later, and name its own entry for it.
        return "port " + name +
               " is not a serial device (no terminal settings): give the reader's tty device, "
               "such as /dev/ttyUSB0";
    }
    if (korvel::ports::CanOpenPort(port.device)) return std::nullopt;
    if (probe.get() < 0 && (error == EACCES || error == EPERM)) {
        return "no permission to open port " + name +
               ": add the user to the dialout group (usermod -aG dialout $USER) and log in "
               "again";
    }
    if (probe.get() >= 0 || error == EBUSY) {
        return "port " + name +
               " is held by another program: close that program (or wait for its download to "
               "end) and try again";
    }
    if (error == ENXIO || error == ENODEV || error == ENOENT) {
        return "port " + name +
               " has no device behind it: plug in the reader's adapter, or run \"cordane "
               "ports\" to list the ports that can be opened now";
    }
    return "port " + name + " cannot be opened: " + std::strerror(error);
}

bool ChoosePort(const std::string& name, PortChoice& port, std::string& error, int& exitCode) {
    std::string problem;
    const std::optional<korvel::ports::PortSpec> spec =
        korvel::ports::ParsePortName(name, &problem);
    if (!spec) {
        error = problem;
        exitCode = kExitUsage;
        return false;
    }
    port.text = spec->text;
    if (spec->id == 0) {
        port.throughPath = true;
        port.number = 1;
        port.device = spec->device;
    } else {
        port.isVirtual = korvel::ports::IsVirtual(spec->id);
        port.number = static_cast<int16_t>(korvel::ports::PortNumber(spec->id));
        const std::optional<std::string> device = korvel::ports::DevicePath(spec->id, &problem);
        if (!device) {
            error = problem;
            exitCode = kExitBadInput;
            return false;
        }
        port.device = *device;
    }
    if (const std::optional<std::string> refused = PortProblem(port)) {
        error = *refused;
        exitCode = kExitBadInput;
        return false;
    }
    return true;
}

}  // namespace cordane::tools
