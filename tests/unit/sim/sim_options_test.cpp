#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "sim_options.h"

namespace korvel::sim {
namespace {

ParsedOptions Parse(std::vector<std::string_view> args) {
    return ParseOptions(args);
}

TEST(SimOptionsTest, ReadsAFullCommandLine) {
    const ParsedOptions parsed = Parse(
        {"--reader", "1",         "--loader", "addressed",    "--virtual", "7",       "--ports-dir",
         "/tmp/p",   "--dump",    "d.bin",    "--transcript", "t.jsonl",   "--once",  "--fail-at",
         "4:0x23",   "--drop-at", "5",        "--hangup-at",  "9",         "--delay", "20",
         "--baud",   "9600"});
    ASSERT_TRUE(parsed.options) << parsed.error;
    const SimOptions& o = *parsed.options;
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

    const ParsedOptions plain = Parse({"--com", "3", "--reader", "0"});
    ASSERT_TRUE(plain.options) << plain.error;
    EXPECT_EQ(plain.options->loader, LoaderKind::Raw);
    EXPECT_EQ(plain.options->port, 3u);
    EXPECT_TRUE(Parse({"--reader", "0", "--help"}).help);

    const ParsedOptions large =
        Parse({"--reader", "7", "--com", "1", "--app-number", "0x2A", "--dump-data", "data.bin"});
    ASSERT_TRUE(large.options) << large.error;
    EXPECT_EQ(large.options->appNumber, AppNumber{42});
    EXPECT_EQ(large.options->dataDumpPath, "data.bin");
    EXPECT_FALSE(plain.options->appNumber.has_value());
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
        {{"--reader", "0", "--com", "3", "--speed", "1"}, "unknown option \"--speed\""},
    };
    for (const auto& [args, message] : cases) {
        const ParsedOptions parsed = Parse(args);
        EXPECT_FALSE(parsed.options) << message;
        EXPECT_NE(parsed.error.find(message), std::string::npos) << parsed.error;
    }
}

}  // namespace
}  // namespace korvel::sim
