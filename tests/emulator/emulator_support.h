// What the end-to-end tests share beside the test kit: korvel-sim as a child process whose
// "ready" lines are read, and the bytes the tests download.
#ifndef EMULATOR_SUPPORT_H
#define EMULATOR_SUPPORT_H

#include <stdint.h>

#include <chrono>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "support/program_runner.h"
#include "support/srec_writer.h"
#include "support/temp_dir.h"

namespace emulatortest {

using korvel::testkit::Clock;
using korvel::testkit::Lines;
using korvel::testkit::ReadBytes;
using korvel::testkit::ReadText;
using korvel::testkit::SrecText;
using korvel::testkit::StopRequest;
using korvel::testkit::TempDir;
using korvel::testkit::WriteFile;

// Failure guard only: a healthy emulator answers in well under a millisecond.
inline constexpr auto kPatience = std::chrono::seconds(10);

inline const std::string kSimulator = std::string(KORVEL_BINARY_DIR) + "/bin/korvel-sim";

inline int MillisecondsLeft(Clock::time_point deadline) {
    const auto left =
        std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now());
    return left.count() < 0 ? 0 : static_cast<int>(left.count());
}

// A running korvel-sim whose standard output we read; killed and reaped if the test leaves early.
class Simulator : public korvel::testkit::RunningProgram {
  public:
    explicit Simulator(std::vector<std::string> args)
        : RunningProgram({.program = kSimulator,
                          .arguments = std::move(args),
                          .errors = korvel::testkit::Output::Inherit()}) {}

    // The next line of output, or nothing when none comes.
    std::optional<std::string> ReadLine() { return RunningProgram::ReadLine(kPatience); }
    // Waits for the exit; the exit code, or -1 on a signal or no exit.
    int Wait() { return RunningProgram::Wait(kPatience); }
};

struct Ready {
    std::string entry;
    std::string device;
};

inline std::optional<Ready> ReadReady(Simulator& sim) {
    const std::optional<std::string> line = sim.ReadLine();
    if (!line || line->rfind("ready ", 0) != 0) return std::nullopt;
    const size_t space = line->find(' ', 6);
    if (space == std::string::npos) return std::nullopt;
    return Ready{line->substr(6, space - 6), line->substr(space + 1)};
}

using Bytes = std::vector<uint8_t>;

// Bytes that change from one address to the next and are never 0xFF.
inline Bytes Pattern(size_t length, uint8_t seed) {
    Bytes bytes(length);
    for (size_t i = 0; i < length; ++i) bytes[i] = static_cast<uint8_t>((i * 7 + seed) % 0xFF);
    return bytes;
}

}  // namespace emulatortest

#endif
