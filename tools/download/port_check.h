// Why a port cannot be used for a download right now. The probe is the serial device's own
// business, which only each system can tell apart: missing, not a serial device, no permission,
// held by another program. Each system fills this in a file of its own (port_posix.cpp,
// port_win32.cpp), with SameDevice and the temporary ports folder of download/port.h.
#ifndef CORDANE_TOOLS_DOWNLOAD_PORT_CHECK_H
#define CORDANE_TOOLS_DOWNLOAD_PORT_CHECK_H

#include <string>

#include "base/error.h"
#include "download/port.h"

namespace cordane::tools {

// Refused with kExitBadInput and what to do about it.
korvel::base::Expected<void> CheckPort(const PortChoice& port);

// How a port is named in messages: "COM3 (/dev/ttyS2)", or the device path given.
inline std::string PortShown(const PortChoice& port) {
    return port.throughPath ? port.device : port.text + " (" + port.device + ")";
}

}  // namespace cordane::tools

#endif
