// Ports on Windows: a COM port or a virtual reader port is a device in the system's namespace,
// "\\.\COM3" or "\\.\Korvel_reader_07", opened exclusively: a second open of a port another
// program holds is refused with "access denied".
#include <windows.h>

#include "base/file.h"
#include "base/text.h"
#include "cordane/exit_codes.h"
#include "port_check.h"

namespace cordane::tools {

namespace {

using korvel::base::Cause;
using korvel::base::Error;
using korvel::base::Expected;

Error Refused(std::string message) {
    return Error(kExitBadInput, std::move(message));
}

}  // namespace

Expected<void> CheckPort(const PortChoice& port) {
    const std::string name = PortShown(port);
    Expected<korvel::base::File> opened =
        korvel::base::File::Open(port.device, korvel::base::FileAccess::ReadWrite);
    if (!opened) {
        const Error& error = opened.error();
        switch (error.cause) {
            case Cause::NotFound:
                return Refused("port " + name +
                               " does not exist: plug in the reader's adapter, or run \"cordane "
                               "ports\" to list the ports that can be opened now");
            case Cause::Denied:
            case Cause::Busy:
                return Refused("port " + name +
                               " is held by another program: close that program (or wait for its "
                               "download to end) and try again");
            default:
                break;
        }
        return Refused("port " + name + " cannot be opened: " +
                       (error.detail.empty() ? error.message : error.detail) +
                       ": check the reader's adapter, or run \"cordane ports\" to list the ports "
                       "that can be opened now");
    }
    // A file or another device under the name: the link would find out only later.
    DCB settings{};
    settings.DCBlength = sizeof settings;
    if (!::GetCommState(reinterpret_cast<HANDLE>(opened->Native()), &settings)) {
        return Refused("port " + name +
                       " is not a serial device (no line settings): give the reader's COM port, "
                       "such as COM3");
    }
    return {};
}

bool SameDevice(const PortChoice& a, const PortChoice& b) {
    // The system's device names are not case-sensitive.
    return korvel::base::EqualIgnoringCase(a.device, b.device);
}

Expected<void> TemporaryPortsFolder::Create(const std::string& device) {
    // The link reaches devices on Windows by their port names only.
    return Refused("port " + device +
                   " is not a port name: give the reader's port as COM<n> or KORVEL<nn> (run "
                   "\"cordane ports\" to list them)");
}

void TemporaryPortsFolder::RestoreEnvironment() {
    pointed_ = false;
}

}  // namespace cordane::tools
