// What the cordane programs need of the system they run on before they read their command line or
// write a line: the arguments as UTF-8, a console that takes UTF-8, and whether a live view can
// redraw itself on a stream. Each system fills these in a file of its own (console_posix.cpp,
// console_win32.cpp).
#ifndef CORDANE_TOOLS_CLI_CONSOLE_H
#define CORDANE_TOOLS_CLI_CONSOLE_H

#include <string>
#include <vector>

#include "base/file.h"

namespace cordane::tools {

// The program's arguments as UTF-8, its name first. Where the system hands them over in another
// encoding they are taken again from the system's own copy; otherwise they are argv as it is.
std::vector<std::string> Utf8Arguments(int argc, char** argv);

// Readies the console, if there is one, for UTF-8 output and for the cursor movements of the live
// views. Called once, first thing.
void PrepareConsole();

// Whether `stream` is a terminal that redraws lines: the cursor movements and line erasing of the
// live views (ESC [ K, ESC [ n A, ESC [ J) take effect there. Not for a file, a pipe, a terminal
// that calls itself "dumb", or a console that refused them.
bool CanDrawLive(korvel::base::StandardStream stream);

// A note for the lists of ports: where their names come from on this system.
const char* PortsOrigin();

// What to do when no port can be opened now, for the list of ports.
std::string NoPortHint();

}  // namespace cordane::tools

#endif
