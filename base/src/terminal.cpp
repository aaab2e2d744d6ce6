#include "base/terminal.h"

#include "os.h"

namespace korvel::base {

bool IsTerminal(StandardStream stream) {
    return os::IsTerminal(stream);
}

std::optional<TerminalSize> TerminalSizeOf(StandardStream stream) {
    return os::TerminalSizeOf(stream);
}

int TerminalColumns(StandardStream stream, int fallback) {
    const std::optional<TerminalSize> size = os::TerminalSizeOf(stream);
    return size && size->columns > 0 ? size->columns : fallback;
}

}  // namespace korvel::base
