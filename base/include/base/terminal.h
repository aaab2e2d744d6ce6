// The terminal a standard stream is connected to, if any.
#ifndef KORVEL_BASE_TERMINAL_H
#define KORVEL_BASE_TERMINAL_H

#include <optional>

#include "base/file.h"

namespace korvel::base {

struct TerminalSize {
    int columns = 0;
    int rows = 0;
};

// Whether `stream` is a terminal (a user watching, a bar that can be redrawn in place).
bool IsTerminal(StandardStream stream);

// The size of the terminal `stream` is connected to; nothing when it is none or tells none.
std::optional<TerminalSize> TerminalSizeOf(StandardStream stream);

// Its width in columns, or `fallback` when nothing tells one.
int TerminalColumns(StandardStream stream = StandardStream::Output, int fallback = 80);

}  // namespace korvel::base

#endif
