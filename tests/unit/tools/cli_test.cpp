// The command lines of the cordane subcommands: numbers, keys and option values as a user types
// them, the option table of "cordane download", and the job's flags word and parameter block.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <iterator>
#include <string>
#include <vector>

#include "cli/arguments.h"
#include "cli/download_options.h"
#include "cli/key_options.h"
#include "cordane/exit_codes.h"
#include "download/settings.h"

namespace cordane::tools {
namespace {

TEST(ParseNumber, TakesDecimalAndHexadecimalUpToTheMaximum) {
    uint64_t value = 0;
    EXPECT_TRUE(ParseNumber("0", 10, value));
    EXPECT_EQ(value, 0u);
    EXPECT_TRUE(ParseNumber("0xFFFF", 0xFFFF, value));
    EXPECT_EQ(value, 0xFFFFu);
    EXPECT_TRUE(ParseNumber("0Xab", 0xFFFF, value));
    EXPECT_EQ(value, 0xABu);
    EXPECT_TRUE(ParseNumber("4294967295", UINT32_MAX, value));
    EXPECT_EQ(value, UINT32_MAX);
    EXPECT_TRUE(ParseNumber("18446744073709551615", UINT64_MAX, value));
    EXPECT_EQ(value, UINT64_MAX);

    value = 77;
    for (const char* bad : {"", "0x", "-1", "+1", " 1", "1 ", "12a", "0x1g", "1e3", "65536",
                            "0x10000", "18446744073709551616", "99999999999999999999999"}) {
        EXPECT_FALSE(ParseNumber(bad, 0xFFFF, value)) << bad;
    }
    EXPECT_EQ(value, 77u) << "a refused number leaves the value alone";
    EXPECT_FALSE(ParseNumber("1", 0, value)) << "a digit above a maximum of 0";
}

TEST(CommandLine, HelpEndOfOptionsOperandsAndTheUsageLine) {
    EXPECT_TRUE(IsHelpOption("--help"));
    EXPECT_TRUE(IsHelpOption("-h"));
    for (const char* other : {"--help=1", "-help", "--h", "-H", "help", ""}) {
        EXPECT_FALSE(IsHelpOption(other)) << other;
    }

    bool options = true;
    EXPECT_FALSE(TakeOptionsEnd("---", options));
    EXPECT_TRUE(options);
    EXPECT_TRUE(TakeOptionsEnd("--", options));
    EXPECT_FALSE(options);
    EXPECT_FALSE(TakeOptionsEnd("--", options)) << "a second \"--\" is an operand";
    EXPECT_FALSE(options);

    const char* input = nullptr;
    const char* output = nullptr;
    const auto take = [&](const char* arg, bool reading) {
        const korvel::base::Expected<void> taken = TakeOperand(arg, reading, {&input, &output});
        return taken ? std::string() : taken.error().message;
    };
    EXPECT_EQ(take("-x", true), "unknown option -x");
    EXPECT_EQ(input, nullptr) << "a refused option takes no operand";
    EXPECT_EQ(take("-", true), "") << "a lone \"-\" is an operand";
    EXPECT_EQ(take("-x", false), "") << "after \"--\" an operand may begin with '-'";
    EXPECT_STREQ(input, "-");
    EXPECT_STREQ(output, "-x");
    EXPECT_EQ(take("c", false), "one argument too many: c");
    EXPECT_STREQ(output, "-x") << "one too many replaces nothing";

    testing::internal::CaptureStderr();
    EXPECT_EQ(ReportUsage("mkglo", "-o needs a file name"), kExitUsage);
    EXPECT_EQ(testing::internal::GetCapturedStderr(),
              "cordane mkglo: -o needs a file name\n(\"cordane mkglo --help\" tells more)\n");
    testing::internal::CaptureStderr();
    EXPECT_EQ(ReportUsage("detect", "unknown argument \"x\"", "--port PORT [--json]"), kExitUsage);
    EXPECT_EQ(testing::internal::GetCapturedStderr(),
              "cordane detect: unknown argument \"x\"\nusage: cordane detect --port PORT [--json] "
              "(\"cordane detect --help\" tells more)\n");
}

TEST(ParseKey, TakesSixteenHexDigitsOptionallyAfter0x) {
    uint8_t key[kBaseKeySize] = {};
    ASSERT_TRUE(ParseKey("0123456789abcDEF", key));
    const uint8_t expected[kBaseKeySize] = {0x01, 0x23, 0x45, 0x67, 0x89, 0xAB, 0xCD, 0xEF};
    EXPECT_EQ(0, std::memcmp(key, expected, kBaseKeySize));
    ASSERT_TRUE(ParseKey("0xFFEEDDCCBBAA9988", key));
    EXPECT_EQ(key[0], 0xFF);
    EXPECT_EQ(key[7], 0x88);

    uint8_t untouched[kBaseKeySize] = {1, 2, 3, 4, 5, 6, 7, 8};
    for (const char* bad : {"", "0x", "0123456789ABCDE", "0123456789ABCDEF0", "0123456789ABCDEG",
                            "0x0123456789ABCDE", " 123456789ABCDEF"}) {
        EXPECT_FALSE(ParseKey(bad, untouched)) << bad;
    }
    EXPECT_EQ(untouched[0], 1) << "a refused key leaves the bytes alone";
    EXPECT_EQ(untouched[7], 8);
}

// The options of one command line, run through MatchOption and TakeKeyOption as a command does.
struct Parsed {
    KeyChoice choice;
    std::optional<std::string> problem;
    std::vector<std::string> others;
};

Parsed ParseKeys(std::vector<std::string> args) {
    args.insert(args.begin(), "cmd");
    std::vector<char*> argv;
    for (std::string& arg : args) argv.push_back(arg.data());
    Parsed parsed;
    for (int i = 1; i < static_cast<int>(argv.size()); ++i) {
        const korvel::base::Expected<bool> taken =
            TakeKeyOption(static_cast<int>(argv.size()), argv.data(), i, parsed.choice);
        if (!taken) {
            parsed.problem = taken.error().message;
        } else if (!*taken) {
            parsed.others.push_back(argv[i]);
        }
    }
    return parsed;
}

// What CheckKeyChoice refuses the choice with; nothing when it takes it.
std::optional<std::string> CheckKeyChoiceOf(const KeyChoice& choice) {
    const korvel::base::Expected<void> checked = CheckKeyChoice(choice);
    if (checked) return std::nullopt;
    return checked.error().message;
}

TEST(KeyOptions, TakeBothFormsAndLeaveOtherArguments) {
    Parsed parsed = ParseKeys(
        {"--key-selector", "0x10", "file", "--key=0011223344556677", "--keys", "--key-selector-x"});
    EXPECT_FALSE(parsed.problem);
    EXPECT_EQ(parsed.choice.selector, 16u);
    ASSERT_TRUE(parsed.choice.key);
    EXPECT_EQ((*parsed.choice.key)[1], 0x11);
    EXPECT_EQ(parsed.others, (std::vector<std::string>{"file", "--keys", "--key-selector-x"}));

    parsed = ParseKeys({"--key-selector=4294967295"});
    EXPECT_EQ(parsed.choice.selector, UINT32_MAX);
    EXPECT_TRUE(ParseKeys({"--key-selector", "4294967296"}).problem);
    EXPECT_TRUE(ParseKeys({"--key-selector", "-1"}).problem);
    EXPECT_TRUE(ParseKeys({"--key", "00112233"}).problem);
    EXPECT_TRUE(ParseKeys({"--key"}).problem) << "a value missing at the end";
    EXPECT_TRUE(ParseKeys({"--key-selector"}).problem);
}

TEST(KeyOptions, RefuseAKeyForABuiltInSelectorAndASelectorWithoutItsKey) {
    EXPECT_FALSE(CheckKeyChoiceOf(ParseKeys({}).choice));
    EXPECT_FALSE(CheckKeyChoiceOf(ParseKeys({"--key-selector", "0"}).choice));
    EXPECT_FALSE(CheckKeyChoiceOf(ParseKeys({"--key-selector", "1"}).choice));
    EXPECT_FALSE(CheckKeyChoiceOf(ParseKeys({"--key", "0011223344556677"}).choice));
    EXPECT_FALSE(
        CheckKeyChoiceOf(ParseKeys({"--key-selector", "2", "--key", "0011223344556677"}).choice));

    const auto builtIn =
        CheckKeyChoiceOf(ParseKeys({"--key-selector", "1", "--key", "0011223344556677"}).choice);
    ASSERT_TRUE(builtIn);
    EXPECT_NE(builtIn->find("built-in base key B"), std::string::npos) << *builtIn;
    const auto keyless = CheckKeyChoiceOf(ParseKeys({"--key-selector", "7"}).choice);
    ASSERT_TRUE(keyless);
    EXPECT_NE(keyless->find("--key HEX16"), std::string::npos) << *keyless;
}

// A command line of "cordane download" as argv, argv[0] "download".
struct CommandLine {
    explicit CommandLine(std::vector<std::string> args) : args_(std::move(args)) {
        args_.insert(args_.begin(), "download");
        for (std::string& arg : args_) argv.push_back(arg.data());
    }
    int argc() const { return static_cast<int>(argv.size()); }
    std::vector<std::string> args_;
    std::vector<char*> argv;
};

TEST(DownloadOptionTable, ParsingEachPortsCommandLineAndHelpComeFromIt) {
    // Each port's own download gets every option as given, values and all, but the ports and
    // --json, which it gets its own way.
    CommandLine line({"--port", "KORVEL01,KORVEL02", "--reader", "2", "--json", "--driver",
                      "--json", "--port=COM3", "--log=jobs.db", "--yes", "--", "--app.sre"});
    const korvel::base::Expected<DownloadOptions> options =
        ParseDownloadOptions(line.argc(), line.argv.data());
    ASSERT_TRUE(options) << options.error().message;
    EXPECT_EQ(options->ports, (std::vector<std::string>{"KORVEL01", "KORVEL02", "COM3"}));
    EXPECT_EQ(options->driver, "--json");
    EXPECT_EQ(options->application, "--app.sre");
    EXPECT_EQ(PortDownloadArguments(line.argc(), line.argv.data()),
              (std::vector<std::string>{"--reader", "2", "--driver", "--json", "--log=jobs.db",
                                        "--yes", "--", "--app.sre"}));

    for (const auto& [args, problem] :
         std::vector<std::pair<std::vector<std::string>, std::string>>{
             {{"--port", "A", "--reader", "1", "--reader=2", "a.sre"},
              "--reader is given twice: give it once"},
             {{"--port", "A", "a.sre", "--log"}, "--log needs a value"},
             {{"--port", "A", "--key"}, "--key needs 16 hexadecimal digits"},
             {{"--port", "A", "--reader", "1", "--jsonx", "a.sre"}, "unknown option --jsonx"},
             {{"--port", "A", "--yes", "--no"}, "give --yes or --no, not both"},
         }) {
        CommandLine wrong(args);
        const korvel::base::Expected<DownloadOptions> refused =
            ParseDownloadOptions(wrong.argc(), wrong.argv.data());
        ASSERT_FALSE(refused);
        EXPECT_EQ(refused.error().message, problem);
        EXPECT_EQ(refused.error().code, kExitUsage);
    }

    // --help describes every option of the table, in its group.
    const std::string help = DownloadOptionsHelp(false) + DownloadOptionsHelp(true);
    for (const DownloadOptionFacts& facts : DownloadOptionTable()) {
        EXPECT_NE(help.find(facts.name), std::string::npos) << facts.name;
    }
    EXPECT_EQ(DownloadOptionsHelp(true).find("--port"), std::string::npos);
    EXPECT_EQ(DownloadOptionsHelp(false).rfind("  --port PORT       COM1..COM256", 0), 0u);
}

TEST(DownloadOptionTable, AGlobalFileIsANameEndingInGloInAnyCase) {
    for (const char* name : {"a.glo", "A.GLO", "dir/x.Glo", "dir/.glo"}) {
        EXPECT_TRUE(IsGlobalFileName(name)) << name;
    }
    for (const char* name : {".glo", "a.glo.bin", "aglo", "a.gl", ""}) {
        EXPECT_FALSE(IsGlobalFileName(name)) << name;
    }
}

TEST(JobSettings, FlagsWordHasTheDownloadTypeAndOneBitPerOption) {
    JobSettings settings;
    EXPECT_EQ(JobFlags(settings), 0u);
    settings.downloadType = KV_DOWNLOAD_ERASE_CODE;
    EXPECT_EQ(JobFlags(settings), 0x40000003u) << "type 3 always erases the code";

    settings = {};
    settings.downloadType = KV_DOWNLOAD_AUTO_BINARY;
    settings.eraseDataFlash = true;
    settings.askQuestion = true;
    settings.silent = true;
    settings.debugLoad = true;
    EXPECT_EQ(JobFlags(settings), 0x80000001u | 0x20000000u | 0x10000000u | 0x08000000u);
    settings = {};
    settings.downloadType = KV_DOWNLOAD_BINARY;
    settings.eraseCode = true;
    EXPECT_EQ(JobFlags(settings), 0x40000002u);
}

TEST(JobSettings, ParameterBlockHoldsEachFieldLittleEndianAtItsOffset) {
    JobSettings settings;
    EXPECT_EQ(JobParamBlock(settings), ParamBlock{}) << "no check, key A: all zero";

    settings.checkAppNumber = true;
    settings.appNumber = 7;
    settings.previousApp1 = 5;
    settings.previousApp2 = 999;
    settings.keySelector = 0x434F5244;
    settings.identityCheck = true;
    settings.expectedIdentity = 0x1234;
    ParamBlock expected{};
    const uint8_t fields[] = {
        1,    0,    0,    0,     // 0: check the application number
        7,    0,    0,    0,     // 4: application number
        5,    0,    0,    0,     // 8: previous number 1
        0xE7, 0x03, 0,    0,     // 12: previous number 2
        0x44, 0x52, 0x4F, 0x43,  // 16: key selector
        1,    0,    0,    0,     // 20: identity check on
        0x34, 0x12, 0,    0,     // 24: expected identity
    };
    std::copy(std::begin(fields), std::end(fields), expected.begin());
    EXPECT_EQ(JobParamBlock(settings), expected) << "bytes 28 to 49 reserved, 0";
}

}  // namespace
}  // namespace cordane::tools
