// The shared pieces of the cordane subcommands: numbers, keys and option values as a user types
// them, files read with a limit and written atomically, and the job's flags word and parameter
// block.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <thread>
#include <vector>

#include "download/settings.h"
#include "cli/tool_support.h"

#include "support/temp_dir.h"

namespace cordane::tools {
namespace {

namespace fs = std::filesystem;

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
        if (!TakeKeyOption(static_cast<int>(argv.size()), argv.data(), i, parsed.choice,
                           parsed.problem)) {
            parsed.others.push_back(argv[i]);
        }
    }
    return parsed;
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
    EXPECT_FALSE(CheckKeyChoice(ParseKeys({}).choice));
    EXPECT_FALSE(CheckKeyChoice(ParseKeys({"--key-selector", "0"}).choice));
    EXPECT_FALSE(CheckKeyChoice(ParseKeys({"--key-selector", "1"}).choice));
    EXPECT_FALSE(CheckKeyChoice(ParseKeys({"--key", "0011223344556677"}).choice));
    EXPECT_FALSE(
        CheckKeyChoice(ParseKeys({"--key-selector", "2", "--key", "0011223344556677"}).choice));

    const auto builtIn =
        CheckKeyChoice(ParseKeys({"--key-selector", "1", "--key", "0011223344556677"}).choice);
    ASSERT_TRUE(builtIn);
    EXPECT_NE(builtIn->find("built-in base key B"), std::string::npos) << *builtIn;
    const auto keyless = CheckKeyChoice(ParseKeys({"--key-selector", "7"}).choice);
    ASSERT_TRUE(keyless);
    EXPECT_NE(keyless->find("--key HEX16"), std::string::npos) << *keyless;
}

class Files : public ::testing::Test {
  protected:
    void SetUp() override { ASSERT_FALSE(temp_.path().empty()); }
    std::string Write(const std::string& name, const std::string& bytes) {
        return temp_.Write(name, bytes);
    }

    korvel::testkit::TempDir temp_;
    fs::path dir_{temp_.path()};
};

TEST_F(Files, ReadInputStopsAtTheLimitAndTellsALongerFile) {
    const std::string path = Write("in.bin", std::string(1000, 'x') + "tail");
    InputFile whole;
    ASSERT_TRUE(ReadInput("test", path.c_str(), "a file", whole));
    EXPECT_EQ(whole.bytes.size(), 1004u);
    EXPECT_EQ(whole.size, 1004u);
    EXPECT_FALSE(whole.cut);

    InputFile exact;
    ASSERT_TRUE(ReadInput("test", path.c_str(), "a file", exact, 1004));
    EXPECT_FALSE(exact.cut) << "a file exactly as long as the limit is whole";
    EXPECT_EQ(std::string(exact.bytes.end() - 4, exact.bytes.end()), "tail");

    InputFile cut;
    ASSERT_TRUE(ReadInput("test", path.c_str(), "a file", cut, 10));
    EXPECT_TRUE(cut.cut);
    EXPECT_EQ(cut.bytes.size(), 10u);
    EXPECT_EQ(cut.size, 1004u) << "the whole size of a regular file";

    InputFile empty;
    ASSERT_TRUE(ReadInput("test", Write("empty", "").c_str(), "a file", empty));
    EXPECT_TRUE(empty.bytes.empty());
}

TEST_F(Files, ReadInputReadsAPipeInWholeAndRefusesDirectoriesAndMissingFiles) {
    int ends[2];
    ASSERT_EQ(::pipe(ends), 0);
    const std::string text(200000, 'p');  // more than the first buffer and than a pipe holds
    std::thread writer([&] {
        size_t done = 0;
        while (done < text.size()) {
            const ssize_t put = ::write(ends[1], text.data() + done, text.size() - done);
            if (put <= 0) break;
            done += static_cast<size_t>(put);
        }
        ::close(ends[1]);
    });
    UniqueFd readEnd(ends[0]);
    struct stat info {};
    ASSERT_EQ(::fstat(readEnd.get(), &info), 0);
    InputFile piped;
    EXPECT_TRUE(ReadOpenInput("test", "pipe", readEnd.get(), info, SIZE_MAX, piped));
    writer.join();
    EXPECT_EQ(piped.bytes.size(), text.size());
    EXPECT_FALSE(piped.cut);

    InputFile none;
    EXPECT_FALSE(ReadInput("test", dir_.c_str(), "a file", none));
    EXPECT_FALSE(ReadInput("test", (dir_ / "missing").c_str(), "a file", none));
}

std::string Contents(const fs::path& path) {
    return korvel::testkit::ReadText(path.string());
}

size_t Entries(const fs::path& dir) {
    return static_cast<size_t>(std::distance(fs::directory_iterator(dir), {}));
}

bool Output(const fs::path& path, const std::string& data) {
    return WriteOutputFile("test", path.c_str(), reinterpret_cast<const uint8_t*>(data.data()),
                           data.size());
}

TEST_F(Files, WriteOutputFileReplacesWholeAndLeavesNothingBehindOnFailure) {
    const std::string path = Write("out.bin", "old contents");
    ASSERT_TRUE(Output(path, "new"));
    EXPECT_EQ(Contents(path), "new");
    const mode_t mask = ::umask(0);
    ::umask(mask);
    EXPECT_EQ(fs::status(path).permissions(), static_cast<fs::perms>(0666 & ~mask))
        << "the mode of a new file";

    const fs::path taken = dir_ / "taken";
    fs::create_directory(taken);
    EXPECT_FALSE(Output(taken, "new")) << "a directory is no output file";
    EXPECT_FALSE(Output(dir_ / "no-such-dir" / "out.bin", "new"));
    EXPECT_EQ(Entries(dir_), 2u) << "only out.bin and taken: no temporary file left";
}

TEST_F(Files, TheNamedFallbackReplacesWholeAndRemovesItsFileOnFailure) {
    const std::string path = Write("out.bin", "old contents");
    const std::string data = "named";
    auto named = [&](const std::string& target) {
        return WriteThroughNamedFile("test", target.c_str(), target,
                                     reinterpret_cast<const uint8_t*>(data.data()), data.size());
    };
    ASSERT_TRUE(named(path));
    EXPECT_EQ(Contents(path), "named");
    const mode_t mask = ::umask(0);
    ::umask(mask);
    EXPECT_EQ(fs::status(path).permissions(), static_cast<fs::perms>(0666 & ~mask));
    // A directory in the way: the temporary file is written, the rename fails, the file goes.
    fs::create_directory(dir_ / "taken");
    EXPECT_FALSE(named((dir_ / "taken").string()));
    EXPECT_EQ(Entries(dir_), 2u) << "only out.bin and taken";
}

TEST_F(Files, WriteOutputFileWritesThroughLinksAndIntoFifosWithoutReplacingThem) {
    // A relative link to a file in another directory: the file is replaced there, the link stays.
    const fs::path other = dir_ / "other";
    fs::create_directory(other);
    Write("other/target.bin", "old");
    fs::create_symlink("other/target.bin", dir_ / "link.bin");
    fs::create_symlink("link.bin", dir_ / "chain.bin");
    ASSERT_TRUE(Output(dir_ / "chain.bin", "through"));
    EXPECT_TRUE(fs::is_symlink(dir_ / "chain.bin"));
    EXPECT_TRUE(fs::is_symlink(dir_ / "link.bin"));
    EXPECT_EQ(Contents(other / "target.bin"), "through");
    EXPECT_EQ(Entries(other), 1u);
    fs::create_symlink("other/new.bin", dir_ / "dangling.bin");
    ASSERT_TRUE(Output(dir_ / "dangling.bin", "created")) << "a link to a file still to be made";
    EXPECT_EQ(Contents(other / "new.bin"), "created");
    fs::create_symlink("loop.bin", dir_ / "loop.bin");
    EXPECT_FALSE(Output(dir_ / "loop.bin", "x"));

    // A FIFO is written in place while something reads it, and refused at once otherwise.
    const fs::path fifo = dir_ / "fifo";
    ASSERT_EQ(::mkfifo(fifo.c_str(), 0600), 0);
    EXPECT_FALSE(Output(fifo, "nobody reads"));
    std::string received;
    std::thread reader([&] {
        UniqueFd in(::open(fifo.c_str(), O_RDONLY));
        char buffer[64];
        for (ssize_t got; (got = ::read(in.get(), buffer, sizeof buffer)) > 0;) {
            received.append(buffer, static_cast<size_t>(got));
        }
    });
    bool written = false;
    for (int attempt = 0; attempt < 1000 && !written; ++attempt) {  // until the reader opens it
        written = Output(fifo, "piped");
        if (!written) std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    if (!written) ::close(::open(fifo.c_str(), O_WRONLY | O_NONBLOCK));  // free the reader
    reader.join();
    EXPECT_TRUE(written);
    EXPECT_EQ(received, "piped");
    EXPECT_TRUE(fs::is_fifo(fifo)) << "still a FIFO, not replaced by a file";
}

TEST_F(Files, OpenInputRefusesWhatIsNoRegularFileWithoutWaiting) {
    const fs::path fifo = dir_ / "fifo";
    ASSERT_EQ(::mkfifo(fifo.c_str(), 0600), 0);
    UniqueFd fd;
    struct stat info {};
    const auto fifoProblem = OpenInputFile(fifo.c_str(), "a file", fd, info);
    ASSERT_TRUE(fifoProblem) << "a FIFO without a writer must not hold the open";
    EXPECT_NE(fifoProblem->find("not a regular file"), std::string::npos) << *fifoProblem;
    const auto device = OpenInputFile("/dev/zero", "a file", fd, info);
    ASSERT_TRUE(device) << "an endless device";
    EXPECT_NE(device->find("/dev/zero is a character device"), std::string::npos) << *device;
    const auto directory = OpenInputFile(dir_.c_str(), "a file", fd, info);
    ASSERT_TRUE(directory);
    EXPECT_NE(directory->find("is a directory"), std::string::npos) << *directory;
    if (::geteuid() != 0) {  // root reads every file
        const std::string locked = Write("locked", "x");
        ::chmod(locked.c_str(), 0);
        const auto denied = OpenInputFile(locked.c_str(), "a file", fd, info);
        ASSERT_TRUE(denied);
        EXPECT_NE(denied->find("permission denied"), std::string::npos) << *denied;
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
