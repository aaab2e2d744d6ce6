// The terminal on POSIX systems.
#include <sys/ioctl.h>
#include <unistd.h>

#include "os.h"

namespace korvel::base::os {

bool IsTerminal(StandardStream stream) {
    return ::isatty(static_cast<int>(Standard(stream))) == 1;
}

std::optional<TerminalSize> TerminalSizeOf(StandardStream stream) {
    winsize size{};
    if (::ioctl(static_cast<int>(Standard(stream)), TIOCGWINSZ, &size) != 0 ||
        (size.ws_col == 0 && size.ws_row == 0)) {
        return std::nullopt;
    }
    return TerminalSize{size.ws_col, size.ws_row};
}

}  // namespace korvel::base::os
