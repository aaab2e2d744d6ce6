#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "sim/sim_options.h"

namespace korvel::sim {
namespace {

base::Expected<ParsedOptions> Parse(std::vector<std::string_view> args) {
    return ParseOptions(args);
}

// The refusal's text; empty when the command line was taken.
std::string Refusal(const base::Expected<ParsedOptions>& parsed) {
    return parsed ? std::string() : parsed.error().message;
}

TEST(SimOptionsTest, ReadsAFullCommandLine) {
    const base::Expected<ParsedOptions> parsed = Parse(
        {"--reader", "1",         "--loader", "addressed",    "--virtual", "7",       "--ports-dir",
         "/tmp/p",   "--dump",    "d.bin",    "--transcript", "t.jsonl",   "--once",  "--fail-at",
         "4:0x23",   "--drop-at", "5",        "--hangup-at",  "9",         "--delay", "20",
         "--baud",   "9600"});
    ASSERT_TRUE(parsed && parsed->options) << Refusal(parsed);
    const SimOptions& o = *parsed->options;
    EXPECT_EQ(o.reader, 1);
    EXPECT_EQ(o.loader, LoaderKind::Addressed);
    EXPECT_EQ(o.port, 0x80000007u);
    EXPECT_EQ(o.portsDir, "/tmp/p");
    EXPECT_TRUE(o.once);
    ASSERT_EQ(o.faults.size(), 3u);
    EXPECT_EQ(o.faults.at(4).kind, FaultKind::Fail);
    EXPECT_EQ(o.faults.at(4).code, 0x23);
    EXPECT_EQ(o.faults.at(5).kind, FaultKind::Drop);
    EXPECT_EQ(o.faults.at(9).kind, FaultKind::HangUp);
    EXPECT_EQ(o.delayMs, 20u);
    EXPECT_EQ(o.baud, 9600u);

    const base::Expected<ParsedOptions> plain = Parse({"--com", "3", "--reader", "0"});
    ASSERT_TRUE(plain && plain->options) << Refusal(plain);
    EXPECT_EQ(plain->options->loader, LoaderKind::Raw);
    EXPECT_EQ(plain->options->port, 3u);
    EXPECT_TRUE(Parse({"--reader", "0", "--help"})->help);

    const base::Expected<ParsedOptions> large =
        Parse({"--reader", "7", "--com", "1", "--app-number", "0x2A", "--dump-data", "data.bin",
               "--latency", "16"});
    ASSERT_TRUE(large && large->options) << Refusal(large);
    EXPECT_EQ(large->options->appNumber, AppNumber{42});
    EXPECT_EQ(large->options->latencyMs, 16u);
    EXPECT_EQ(plain->options->latencyMs, 0u);
    EXPECT_EQ(large->options->dataDumpPath, "data.bin");
    EXPECT_FALSE(plain->options->appNumber.has_value());
}

TEST(SimOptionsTest, RefusesBadCommandLinesNamingTheOption) {
    const std::vector<std::pair<std::vector<std::string_view>, std::string>> cases{
        {{"--com", "3"}, "--reader is missing"},
        {{"--reader", "0"}, "no port"},
        {{"--reader", "10", "--com", "3"}, "0 to 9"},
        {{"--reader", "0", "--com", "3", "--dump-data", "d.bin"},
         "KvTal (64 Kb) has no data flash"},
        {{"--reader", "1", "--com", "3", "--app-number", "5"}, "does not check application"},
        {{"--reader", "5", "--com", "3", "--app-number", "1000"}, "0 to 999"},
        {{"--reader", "0", "--com", "3", "--virtual", "2"}, "one port only"},
        {{"--reader", "0", "--com", "0"}, "--com \"0\""},
        {{"--reader", "0", "--com", "3", "--loader", "framed"}, "raw or addressed"},
        {{"--reader", "0", "--com", "3", "--fail-at", "4:0"}, "0 means accepted"},
        {{"--reader", "0", "--com", "3", "--fail-at", "4"}, "K:CODE"},
        {{"--reader", "0", "--com", "3", "--drop-at", "0"}, "counts from 1"},
        {{"--reader", "0", "--com", "3", "--drop-at", "4", "--hangup-at", "4"}, "one fault"},
        {{"--reader", "0", "--com", "3", "--baud", "9600x"}, "--baud"},
        {{"--reader", "0", "--com", "3", "--delay"}, "needs a value"},
        {{"--reader", "0", "--com", "3", "--latency", "256"}, "latency timer is 0 to 255 ms"},
        {{"--reader", "0", "--com", "3", "--latency", "-1"}, "--latency \"-1\""},
        {{"--reader", "0", "--com", "3", "--latency", "16ms"}, "--latency \"16ms\""},
        {{"--reader", "0", "--com", "3", "--speed", "1"}, "unknown option \"--speed\""},
    };
    for (const auto& [args, message] : cases) {
        const base::Expected<ParsedOptions> parsed = Parse(args);
        ASSERT_FALSE(parsed) << message;
        EXPECT_EQ(parsed.error().code, kExitSetup);
        EXPECT_NE(Refusal(parsed).find(message), std::string::npos) << Refusal(parsed);
    }
}

TEST(SimOptionsTest, ALineGivesEachReaderItsOwnValuesFromCommaLists) {
    const base::Expected<ParsedOptions> parsed =
        Parse({"--line", "4", "--virtual", "5", "--reader", "0,1,1,5", "--loader", "addressed",
               "--dump", "/d/flash%d.bin", "--fail-at", ",4:0x23,,", "--hangup-at", ",,9,",
               "--ports-dir", "/tmp/p", "--once"});
    ASSERT_TRUE(parsed) << Refusal(parsed);
    ASSERT_FALSE(parsed->options);
    ASSERT_EQ(parsed->station.size(), 4u);
    for (size_t i = 0; i < 4; ++i) {
        const SimOptions& o = parsed->station[i];
        EXPECT_EQ(o.port, 0x80000000u + 5 + i);
        EXPECT_EQ(o.loader, LoaderKind::Addressed);
        EXPECT_EQ(o.dumpPath, "/d/flash" + std::to_string(5 + i) + ".bin");
        EXPECT_EQ(o.portsDir, "/tmp/p");
        EXPECT_TRUE(o.once);
    }
    EXPECT_EQ(parsed->station[3].reader, 5);
    EXPECT_TRUE(parsed->station[0].faults.empty());
    EXPECT_EQ(parsed->station[1].faults.at(4).code, 0x23);
    EXPECT_EQ(parsed->station[2].faults.at(9).kind, FaultKind::HangUp);
    EXPECT_TRUE(parsed->station[3].faults.empty());

    // One file for all, a list of the wrong length, a bad piece (named by its reader), a line
    // past the last port.
    EXPECT_NE(Refusal(Parse({"--line", "2", "--reader", "0", "--dump", "f.bin"})).find("%d"),
              std::string::npos);
    EXPECT_NE(Refusal(Parse({"--line", "3", "--reader", "0,1"})).find("not 2"), std::string::npos);
    EXPECT_NE(Refusal(Parse({"--line", "2", "--reader", "0,12"})).find("reader 2 of the line"),
              std::string::npos);
    EXPECT_FALSE(Refusal(Parse({"--line", "8", "--virtual", "95", "--reader", "0"})).empty());
    EXPECT_FALSE(Refusal(Parse({"--line", "0", "--reader", "0"})).empty());
    EXPECT_TRUE(Parse({"--line", "2", "--reader", "0", "--help"})->help);
}

}  // namespace
}  // namespace korvel::sim
