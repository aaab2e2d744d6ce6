// The command line of "cordane log": the times --since takes, and the combinations refused.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "cli/log_options.h"

namespace cordane::tools {
namespace {

std::string Since(const std::string& text) {
    const std::optional<SinceTime> since = ParseSince(text);
    if (!since) return "refused";
    return since->utc.empty() ? std::to_string(since->secondsAgo) + "s ago" : since->utc;
}

TEST(LogOptionsTest, SinceTakesUtcTimesAndSpansBackFromNow) {
    EXPECT_EQ(Since("2026-12-08"), "2026-12-08T00:00:00.000Z");
    EXPECT_EQ(Since("2026-12-08T09:30"), "2026-12-08T09:30:00.000Z");
    EXPECT_EQ(Since("2026-12-08 09:30:15Z"), "2026-12-08T09:30:15.000Z");
    EXPECT_EQ(Since("2024-02-29"), "2024-02-29T00:00:00.000Z");
    EXPECT_EQ(Since("45s"), "45s ago");
    EXPECT_EQ(Since("90m"), "5400s ago");
    EXPECT_EQ(Since("24h"), "86400s ago");
    EXPECT_EQ(Since("7d"), "604800s ago");
    for (const char* bad : {"", "d", "2026-12-8", "2026-13-01", "2025-02-29", "2026-12-08T9:30",
                            "2026-12-08T09:60", "2026-12-08T09:30:1", "2026-12-08T09:30:15.5",
                            "yesterday", "-5m", "5w", "999999999999d", "1e3s"}) {
        EXPECT_EQ(Since(bad), "refused") << bad;
    }
}

TEST(LogOptionsTest, OptionsAndTheirMistakes) {
    // The options, or the usage error's message.
    auto parse = [](std::vector<std::string> args,
                    LogOptions& options) -> std::optional<std::string> {
        args.insert(args.begin(), "log");
        std::vector<char*> argv;
        for (std::string& arg : args) argv.push_back(arg.data());
        korvel::base::Expected<LogOptions> parsed =
            ParseLogOptions(static_cast<int>(argv.size()), argv.data());
        if (!parsed) return parsed.error().message;
        options = *parsed;
        return std::nullopt;
    };
    LogOptions options;
    EXPECT_FALSE(
        parse({"--log=jobs.db", "--port", "KORVEL03", "--failed", "--stats", "--csv"}, options));
    EXPECT_EQ(options.target, "jobs.db");
    EXPECT_EQ(options.port, "KORVEL03");
    EXPECT_TRUE(options.failed);
    EXPECT_TRUE(options.stats);
    EXPECT_EQ(options.format, LogOptions::Format::kCsv);
    for (const auto& [args, problem] :
         std::vector<std::pair<std::vector<std::string>, std::string>>{
             {{"--json", "--csv"}, "give --json or --csv, not both"},
             {{"--log", "a.db", "--log", "b.db"}, "--log is given twice: give it once"},
             {{"--port"}, "--port needs a value"},
             {{"--log="}, "--log needs a target: an SQLite file or a postgresql:// address"},
             {{"jobs.db"}, "one argument too many: jobs.db"},
             {{"--verbose"}, "unknown option --verbose"},
         }) {
        LogOptions ignored;
        EXPECT_EQ(parse(args, ignored).value_or("accepted"), problem);
    }
}

}  // namespace
}  // namespace cordane::tools
