// A command line as the cordane commands read it: options given as "--name VALUE" or
// "--name=VALUE", numbers in decimal or, after 0x, in hexadecimal, and the one line a command
// prints when it gives up.
#ifndef CORDANE_TOOLS_CLI_ARGUMENTS_H
#define CORDANE_TOOLS_CLI_ARGUMENTS_H

#include <cstdint>
#include <string>
#include <string_view>

#include "base/error.h"

namespace cordane::tools {

// Whether argv[i] is the option `name`, as "--name VALUE" or "--name=VALUE".
enum class OptionMatch {
    No,       // another argument
    Value,    // `value` holds the option's value; i is moved past it
    Missing,  // "--name" is the last argument
};
OptionMatch MatchOption(int argc, char** argv, int& i, std::string_view name, std::string& value);

// A number in decimal or, with 0x, in hexadecimal, at most `max`; nothing else around it.
[[nodiscard]] bool ParseNumber(std::string_view text, uint64_t max, uint64_t& value);

// A usage error: a command line the command cannot take, with the message that says why.
korvel::base::Error UsageError(std::string message);

// An error as the commands print it, on one line: its message, then "; " and its hint.
std::string ErrorLine(const korvel::base::Error& error);

// Prints "cordane COMMAND: " and the error's line on standard error; the error's exit code.
int ReportError(std::string_view command, const korvel::base::Error& error);

}  // namespace cordane::tools

#endif
