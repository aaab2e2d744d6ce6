// Programs a test runs: run to their end with what they wrote, or left running while the test
// talks to them (the emulator), and stopped. Standard input is the null device; an exit code is
// told apart from the signal that ended a program.
#ifndef KORVEL_TESTS_SUPPORT_PROGRAM_RUNNER_H
#define KORVEL_TESTS_SUPPORT_PROGRAM_RUNNER_H

#include <chrono>
#include <cstdint>
#include <map>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "base/process.h"

namespace korvel::testkit {

using Clock = std::chrono::steady_clock;
using base::Output;
using base::StopRequest;

// A program to run, and what it is given.
struct Command {
    std::string program;                   // its path
    std::vector<std::string> arguments{};  // after its own name
    // Variables set for it (replacing any of the same name), and variables taken from it.
    std::map<std::string, std::string> environment{};
    std::vector<std::string> unset{};
    bool environmentOnly = false;  // `environment` only, none of the test's
    std::string directory{};       // where it starts; empty: where the test runs
    // Where its standard output and error go. A pipe is read by RunToEnd, or by ReadLine for the
    // output; a pipe nobody reads fills and holds the program, so a program left running gets
    // files, Output::Inherit() or Output::Null() for what it writes freely.
    Output output = Output::Pipe();
    Output errors = Output::Pipe();
};

// How a run ended, and what it wrote to its pipes.
struct Outcome {
    int code = -1;  // the exit code; -1 when it ended by a signal, was killed, or never ran
    std::string out;
    std::string err;
    std::optional<base::ExitStatus> status{};  // nothing: it never ran, or was killed
    std::string failure{};                     // why it did not run or was killed; empty otherwise
};

// Runs `command` to its end. Still running after `patience`, it is killed.
Outcome RunToEnd(const Command& command, Clock::duration patience);

// The path of the program `name` in one of the folders of PATH; empty when none has it.
std::string FindProgram(std::string_view name);

// A program left running while the test goes on. Killed and waited for if the test leaves
// before it ends.
class RunningProgram {
  public:
    explicit RunningProgram(const Command& command);

    bool Started() const { return child_.has_value(); }
    // Why it did not start; empty when it did.
    const std::string& Failure() const { return failure_; }

    // The next line of its piped output, without its line end; nothing when no whole line comes
    // within `patience`, or the output ends first.
    std::optional<std::string> ReadLine(Clock::duration patience);
    void Stop(StopRequest request);
    // How it ended; nothing while it still runs after `patience`.
    std::optional<base::ExitStatus> WaitForEnd(Clock::duration patience);
    // The exit code; -1 when it ended by a signal or still runs after `patience`.
    int Wait(Clock::duration patience);

  private:
    std::optional<base::Child> child_;
    std::string failure_;
    std::string pending_;  // output read past the last line taken
};

}  // namespace korvel::testkit

#endif
