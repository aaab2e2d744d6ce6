// Brenmark's command line: the serial port keys, the kit directory and the run mode; and whether
// the program runs where someone can see and answer its message boxes.
//
// The arguments are joined with single spaces into one string, so that one argument
// '|PATHMKI="/kit/" |COM=0' reads the same as the same text split into two arguments.
#ifndef BRENMARK_COMMAND_LINE_H
#define BRENMARK_COMMAND_LINE_H

#include <cstdint>
#include <string>
#include <vector>

namespace brenmark {

enum RunMode : int { kRunAutomatic = 0, kRunInteractive = 1 };

// Longest kit directory accepted: the fields it ends up in hold 255 characters.
inline constexpr size_t kMaxKitDirectory = 255;

struct CommandLine {
    // Port identifier fixed by "SerialPort=" (COM n) or "SerialVirtualPort=" (0x80000000 + n);
    // 0 when none is fixed.
    uint32_t serialPort = 0;
    std::string kitDirectory;  // "|PATHMKI=" value, without its quotes
    int runMode = kRunInteractive;
    // What was refused, one line each, for the program to print on stderr.
    std::vector<std::string> warnings;
};

// The arguments after the program's name, joined with single spaces.
std::string JoinArguments(int argc, const char* const* argv);
// What follows the program's name in a Windows command line, the whole line as the system hands
// it over: the name (in double quotes, or up to the first blank) and the blanks after it are
// dropped, the rest is kept as written, its double quotes too (as a dialog program's start-up
// has always read it).
std::string ArgumentsOfCommandLine(const std::string& line);

// Reads the keys:
//   "SerialPort=N" and "SerialVirtualPort=N" (any case) fill the whole line, N 1 to 3 digits;
//   "|PATHMKI=" followed by a value in double quotes, anywhere, exact case;
//   "|COM=0" (automatic) and "|COM=1" (interactive) anywhere, exact case; "|COM=1" wins.
// Text that matches no key is ignored.
CommandLine ParseCommandLine(const std::string& line);

// Whether the program has a display, in either run mode: the one place this is decided. Without
// one, messages go to stderr and a question is answered No; with one, they are message boxes.
// `platform` is the user-interface platform (the toolkit's platform name, or the one asked for;
// empty when none is named), `display` and `waylandDisplay` are DISPLAY and WAYLAND_DISPLAY
// (empty when unset). The offscreen and minimal platforms draw on no screen; with no platform
// named, a display is there when DISPLAY or WAYLAND_DISPLAY names one.
bool HasDisplay(const std::string& platform, const std::string& display,
                const std::string& waylandDisplay);

}  // namespace brenmark

#endif
