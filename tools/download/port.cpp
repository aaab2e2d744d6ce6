#include "download/port.h"

#include "cordane/exit_codes.h"
#include "port_check.h"
#include "zr318/ports.h"

namespace cordane::tools {

namespace {

using korvel::base::Error;
using korvel::base::Expected;

Error Refused(std::string message) {
    return Error(kExitBadInput, std::move(message));
}

}  // namespace

Expected<PortChoice> ChoosePort(const std::string& name) {
    std::string problem;
    const std::optional<korvel::ports::PortSpec> spec =
        korvel::ports::ParsePortName(name, &problem);
    if (!spec) return Error(kExitUsage, problem);
    PortChoice port;
    port.text = spec->text;
    if (spec->id == 0) {
        port.throughPath = true;
        port.number = 1;
        port.device = spec->device;
    } else {
        port.isVirtual = korvel::ports::IsVirtual(spec->id);
        port.number = static_cast<int16_t>(korvel::ports::PortNumber(spec->id));
        const std::optional<std::string> device = korvel::ports::DevicePath(spec->id, &problem);
        if (!device) return Refused(problem);
        port.device = *device;
    }
    KORVEL_TRY(CheckPort(port));
    return port;
}

TemporaryPortsFolder::~TemporaryPortsFolder() {
    RestoreEnvironment();
}

}  // namespace cordane::tools
