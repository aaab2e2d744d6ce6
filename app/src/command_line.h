// Brenmark's command line: the serial port keys, the kit directory and the run mode.
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

// Reads the keys:
//   "SerialPort=N" and "SerialVirtualPort=N" (any case) fill the whole line, N 1 to 3 digits;
//   "|PATHMKI=" followed by a value in double quotes, anywhere, exact case;
//   "|COM=0" (automatic) and "|COM=1" (interactive) anywhere, exact case; "|COM=1" wins.
// Text that matches no key is ignored.
CommandLine ParseCommandLine(const std::string& line);

}  // namespace brenmark

#endif
