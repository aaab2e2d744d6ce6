// What port naming asks of each system (posix/ports.cpp, win32/ports.cpp), besides DevicePath and
// CanOpenPort of zr318/ports.h.
#ifndef KORVEL_LINK_PORTS_SYSTEM_H
#define KORVEL_LINK_PORTS_SYSTEM_H

#include <string>

namespace korvel::ports {

// Whether a name the user gave is a device path, used as it is ("/dev/ttyUSB0", \\.\COM5).
bool IsDevicePathName(const std::string& name);

// A device path shown in messages as an example.
extern const char* const kDevicePathExample;

}  // namespace korvel::ports

#endif
