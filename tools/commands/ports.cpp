// cordane ports: the ports through which a reader can be reached right now.
#include <cstdio>
#include <filesystem>
#include <string>
#include <system_error>
#include <vector>

#include "base/json_writer.h"
#include "cli/arguments.h"
#include "cli/console.h"
#include "cli/user_files.h"
#include "commands.h"
#include "zr318/ports.h"

namespace cordane::tools {

using korvel::base::JsonWriter;

namespace {

constexpr char kHelpStart[] =
    "usage: cordane ports [--json]\n"
    "\n"
    "Lists the ports that can be opened now, COM ports first, then the virtual reader ports,\n"
    "one per line with the device behind it (\"COM3  /dev/ttyS2\", \"KORVEL07  /dev/pts/5\").\n"
    "A port that does not exist or that another program holds is left out.\n";
constexpr char kHelpEnd[] =
    "\n"
    "  --json   one JSON object: {\"ports\":[{\"port\":\"COM3\",\"device\":\"...\"},...]}\n"
    "\n"
    "Exit codes: 0 the list was written (it may be empty); 2 bad command line.\n";

// The device behind a ports-directory entry, for the reader of the list.
std::string Resolved(const std::string& device) {
    std::error_code error;
    const std::filesystem::path resolved = std::filesystem::canonical(PathOf(device), error);
    return error ? device : Utf8Of(resolved);
}

}  // namespace

int RunPorts(int argc, char** argv) {
    bool json = false;
    for (int i = 1; i < argc; ++i) {
        const std::string arg = argv[i];
        if (IsHelpOption(arg)) {
            return PrintHelp((std::string(kHelpStart) + PortsOrigin() + kHelpEnd).c_str());
        }
        if (arg != "--json") {
            std::fprintf(stderr,
                         "cordane ports: unknown argument %s\nusage: cordane ports [--json]\n",
                         arg.c_str());
            return kExitUsage;
        }
        json = true;
    }

    const std::vector<korvel::ports::OpenablePort> ports = korvel::ports::ListOpenablePorts();
    if (json) {
        JsonWriter out;
        out.BeginObject().Key("ports").BeginArray();
        for (const korvel::ports::OpenablePort& port : ports) {
            out.BeginObject().Key("port").String(port.text);
            out.Key("device").String(Resolved(port.device)).EndObject();
        }
        out.EndArray().EndObject();
        std::fputs((out.text() + "\n").c_str(), stdout);
        return kExitOk;
    }
    if (ports.empty()) {
        std::printf("no port can be opened now: %s\n", NoPortHint().c_str());
        return kExitOk;
    }
    for (const korvel::ports::OpenablePort& port : ports) {
        std::printf("%s  %s\n", port.text.c_str(), Resolved(port.device).c_str());
    }
    return kExitOk;
}

}  // namespace cordane::tools
