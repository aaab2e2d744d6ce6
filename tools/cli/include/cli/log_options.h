// The command line of "cordane log".
#ifndef CORDANE_TOOLS_CLI_LOG_OPTIONS_H
#define CORDANE_TOOLS_CLI_LOG_OPTIONS_H

#include <cstdint>
#include <optional>
#include <string>

#include "base/error.h"

namespace cordane::tools {

// --since: a UTC date and time, or a time back from now.
struct SinceTime {
    std::string utc;         // "2026-12-08T09:30:00.000Z"; empty when relative
    int64_t secondsAgo = 0;  // 90m: 5400
};

struct LogOptions {
    enum class Format { kTable, kJson, kCsv };
    bool help = false;   // --help: nothing else was looked at
    std::string target;  // --log; empty: KORVEL_LOG
    std::optional<SinceTime> since;
    std::optional<std::string> port;
    bool failed = false;
    bool stats = false;
    Format format = Format::kTable;
};

// "2026-12-08", "2026-12-08T09:30", "2026-12-08 09:30:15", with or without a final "Z" (the
// times are UTC), or "45s", "90m", "24h", "7d". Nothing when the text is none of these.
std::optional<SinceTime> ParseSince(const std::string& text);

// Parses the arguments (argv[0] is the subcommand's name); a usage error (kExitUsage) says what is
// wrong. --help sets `help` and stops.
korvel::base::Expected<LogOptions> ParseLogOptions(int argc, char** argv);

}  // namespace cordane::tools

#endif
