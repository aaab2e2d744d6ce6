#include <cstdlib>
#include <cstring>

#include "base/terminal.h"
#include "cli/console.h"
#include "zr318/ports.h"

namespace cordane::tools {

std::vector<std::string> Utf8Arguments(int argc, char** argv) {
    return std::vector<std::string>(argv, argv + argc);
}

void PrepareConsole() {}

bool CanDrawLive(korvel::base::StandardStream stream) {
    const char* term = std::getenv("TERM");
    return korvel::base::IsTerminal(stream) && !(term != nullptr && std::strcmp(term, "dumb") == 0);
}

const char* PortsOrigin() {
    return "Ports are found in the ports directory ($KORVEL_PORTS_DIR, else\n"
           "$XDG_CONFIG_HOME/korvel/ports, else ~/.config/korvel/ports), whose entries COM<n>\n"
           "and Korvel_reader_<nn> link to tty devices; COM<n> without an entry is\n"
           "/dev/ttyS<n-1>.\n";
}

std::string NoPortHint() {
    const std::string folder = korvel::ports::PortsDirectory();
    return "plug in the reader's adapter, or link its device in " + folder +
           " (e.g. ln -s /dev/ttyUSB0 " + folder + "/COM3)";
}

}  // namespace cordane::tools
