// Where a port's device lies on Windows, and whether it opens: \\.\COM<n> and
// \\.\Korvel_reader_<nn>, opened without sharing and closed at once.
#include <windows.h>

#include "base/win32.h"
#include "ports_system.h"
#include "zr318/ports.h"

namespace korvel::ports {

const char* const kDevicePathExample = "\\\\.\\COM5";

namespace {

constexpr const char* kDeviceNamespace = "\\\\.\\";  // the system's device names

}  // namespace

bool IsDevicePathName(const std::string& name) {
    return name.size() > 2 && name[0] == '\\' && name[1] == '\\';
}

std::optional<std::string> DevicePath(uint32_t id, std::string* error) {
    id = Canonical(id);
    if (!IsVirtual(id) && id == 0) {
        if (error) *error = "port 0 is no port: name a COM port from COM1 or a KORVEL port";
        return std::nullopt;
    }
    // COM10 and above open only by their device name; every port is named so.
    return kDeviceNamespace + EntryName(id);
}

bool CanOpenPort(const std::string& device) {
    const base::Expected<std::wstring> wide = base::win32::Utf16(device);
    if (!wide) return false;
    const HANDLE handle = ::CreateFileW(wide->c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr,
                                        OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (handle == INVALID_HANDLE_VALUE) return false;
    ::CloseHandle(handle);
    return true;
}

}  // namespace korvel::ports
