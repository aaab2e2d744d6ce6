// A command line as the cordane commands read it: options given as "--name VALUE" or
// "--name=VALUE", numbers in decimal or, after 0x, in hexadecimal, --help and the "--" that ends
// the options, the operands in order, and the lines a command prints when it gives up.
#ifndef CORDANE_TOOLS_CLI_ARGUMENTS_H
#define CORDANE_TOOLS_CLI_ARGUMENTS_H

#include <cstdint>
#include <initializer_list>
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

// Whether an argument asks for the command's help: "--help" or "-h".
[[nodiscard]] bool IsHelpOption(std::string_view arg);

// Takes the "--" after which no argument is an option: true, and `options` false, when `arg` is
// it while options are still read.
[[nodiscard]] bool TakeOptionsEnd(std::string_view arg, bool& options);

// Takes an argument that no option of the command took as its next operand: into the first of
// `operands` still null. A usage error when it looks like an option while options are read, or
// when every operand is taken already.
korvel::base::Expected<void> TakeOperand(const char* arg, bool options,
                                         std::initializer_list<const char**> operands);

// Writes a command's help on standard output; the exit code of a command asked for it.
int PrintHelp(const char* help);

// A usage error: a command line the command cannot take, with the message that says why.
korvel::base::Error UsageError(std::string message);

// Tells on standard error why `command` cannot take its command line: "cordane COMMAND:
// PROBLEM", then the command's `synopsis` when given ("usage: cordane COMMAND SYNOPSIS ") and
// where to read more; the exit code of a bad command line.
int ReportUsage(std::string_view command, std::string_view problem, std::string_view synopsis = {});

// An error as the commands print it, on one line: its message, then "; " and its hint.
std::string ErrorLine(const korvel::base::Error& error);

// Prints "cordane COMMAND: " and the error's line on standard error; the error's exit code.
int ReportError(std::string_view command, const korvel::base::Error& error);

}  // namespace cordane::tools

#endif
