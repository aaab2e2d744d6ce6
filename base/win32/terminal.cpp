// The terminal on Windows: the console a standard stream is connected to.
#include <windows.h>

#include "handle.h"
#include "os.h"

namespace korvel::base::os {

bool IsTerminal(StandardStream stream) {
    DWORD mode = 0;
    const Handle handle = Standard(stream);
    return handle != kNoHandle && ::GetConsoleMode(Native(handle), &mode) != 0;
}

std::optional<TerminalSize> TerminalSizeOf(StandardStream stream) {
    const Handle handle = Standard(stream);
    CONSOLE_SCREEN_BUFFER_INFO info{};
    if (handle == kNoHandle || !::GetConsoleScreenBufferInfo(Native(handle), &info)) {
        return std::nullopt;
    }
    const int columns = info.srWindow.Right - info.srWindow.Left + 1;
    const int rows = info.srWindow.Bottom - info.srWindow.Top + 1;
    if (columns <= 0 && rows <= 0) return std::nullopt;
    return TerminalSize{columns, rows};
}

}  // namespace korvel::base::os
