// What every other test relies on: the S-record writer's counts and checksums in each address
// width, the program runner's exit codes, signals, patience, environment and folder, lines read
// from a program left running, and a temporary folder gone with its content.
#include <gtest/gtest.h>
#include <stdlib.h>

#include <algorithm>
#include <csignal>
#include <filesystem>
#include <map>
#include <optional>
#include <string>
#include <vector>

#include "cordane/formats/srec.h"
#include "support/program_runner.h"
#include "support/srec_writer.h"
#include "support/temp_dir.h"

namespace korvel::testkit {
namespace {

#if !defined(_WIN32)
// The program runner's tests run a POSIX shell. On Windows the runner's children are base's
// child processes, which base's tests start there with a child program of their own.
constexpr auto kPatience = std::chrono::seconds(10);  // failure guard only
const std::string kShell = "/bin/sh";
#endif

// The bytes a record's digits stand for, from its count to its checksum, as any reader takes
// them: they add up to 0xFF, and the count is the number of bytes after it.
bool RecordHolds(const std::string& line) {
    if (line.size() < 4 || line[0] != 'S' || line.size() % 2 != 0) return false;
    unsigned sum = 0;
    for (size_t at = 2; at < line.size(); at += 2)
        sum += std::stoul(line.substr(at, 2), nullptr, 16);
    const size_t count = std::stoul(line.substr(2, 2), nullptr, 16);
    return sum % 256 == 0xFF && count == line.size() / 2 - 2;
}

TEST(SrecWriter, EachWidthWritesItsRecordTypesWithTheirCountsAndChecksums) {
    EXPECT_EQ(SrecRecord('1', 0x1234, 2, Bytes{0x01, 0x02}), "S10512340102B1\n");
    EXPECT_EQ(SrecRecord('3', 0x12345, 4, Bytes{0xAA}, "\r\n"), "S30600012345AAE6\r\n");
    EXPECT_EQ(SrecRecord('9', 0, 2, {}), "S9030000FC\n");

    // Two stretches with a hole between, two data bytes a record: the header, the data records
    // in address order, the end record.
    const std::map<uint32_t, Bytes> image{{0x2010, {7}}, {0x2000, {1, 2, 3}}};
    EXPECT_EQ(SrecText(image, {.addressBytes = 2, .recordData = 2, .end = 0x2000}),
              "S00600004844521B\nS10520000102D7\nS104200203D6\nS104201007C4\nS9032000DC\n");
    EXPECT_EQ(SrecText(image, {.addressBytes = 4, .header = std::nullopt, .end = std::nullopt}),
              "S30800002000010203D1\nS3060000201007C2\n");

    // Larger images in every width: each record reads back with its own count and checksum.
    Bytes bytes(1000);
    for (size_t i = 0; i < bytes.size(); ++i) bytes[i] = static_cast<uint8_t>(i * 37 + 11);
    for (const int width : {2, 3, 4}) {
        SCOPED_TRACE(width);
        const std::string text = SrecText({{0x3000, bytes}, {0xA000, bytes}},
                                          {.addressBytes = width, .header = "a header"});
        const std::vector<std::string> lines = Lines(text);
        EXPECT_EQ(lines.size(), 2u + 2u * 32u);
        for (const std::string& line : lines) EXPECT_TRUE(RecordHolds(line)) << line;
    }

    // The S2 form the downloads use, read by the system's own S-record reader: the bytes come back
    // in place, the hole between the stretches filled with 0xFF.
    const std::string text = SrecText({{0x2000, bytes}, {0x2400, bytes}});
    Bytes read(0x2000, 0);
    const cordane::SrecResult result = cordane::ConvertSrecPlain(
        reinterpret_cast<const uint8_t*>(text.data()), text.size(), read.data(), read.size());
    ASSERT_EQ(result.error, cordane::SrecError::None);
    ASSERT_EQ(result.length, 0x400u + bytes.size());
    EXPECT_TRUE(std::equal(bytes.begin(), bytes.end(), read.begin()));
    EXPECT_EQ(std::count(read.begin() + 1000, read.begin() + 0x400, 0xFF), 0x400 - 1000);
    EXPECT_TRUE(std::equal(bytes.begin(), bytes.end(), read.begin() + 0x400));
}

#if !defined(_WIN32)
TEST(ProgramRunner, TellsAnExitCodeFromASignalAndKillsWhatOutlivesItsPatience) {
    const Outcome exited = RunToEnd(
        {.program = kShell, .arguments = {"-c", "echo out; echo err >&2; exit 3"}}, kPatience);
    EXPECT_EQ(exited.code, 3);
    EXPECT_EQ(exited.status, base::ExitStatus::Exited(3));
    EXPECT_EQ(exited.out, "out\n");
    EXPECT_EQ(exited.err, "err\n");

    const Outcome ended =
        RunToEnd({.program = kShell, .arguments = {"-c", "kill -TERM $$"}}, kPatience);
    EXPECT_EQ(ended.code, -1);
    EXPECT_EQ(ended.status, base::ExitStatus::EndedBy(SIGTERM));

    const Outcome killed = RunToEnd({.program = kShell, .arguments = {"-c", "exec sleep 30"}},
                                    std::chrono::milliseconds(200));
    EXPECT_EQ(killed.code, -1);
    EXPECT_FALSE(killed.status.has_value());
    EXPECT_NE(killed.failure.find("did not end in time"), std::string::npos) << killed.failure;

    const Outcome missing = RunToEnd({.program = "/nonexistent/program"}, kPatience);
    EXPECT_EQ(missing.code, -1);
    EXPECT_NE(missing.failure.find("/nonexistent/program"), std::string::npos) << missing.failure;
}

TEST(ProgramRunner, GivesTheEnvironmentAndTheFolderAsked) {
    const TempDir dir;
    ASSERT_EQ(setenv("KORVEL_TESTKIT_GONE", "here", 1), 0);
    ASSERT_EQ(setenv("KORVEL_TESTKIT_KEPT", "kept", 1), 0);
    const Outcome run =
        RunToEnd({.program = kShell,
                  .arguments = {"-c",
                                "echo \"$KORVEL_TESTKIT_SET|${KORVEL_TESTKIT_GONE-unset}|"
                                "$KORVEL_TESTKIT_KEPT|$(pwd -P)\"; read line; echo $?"},
                  .environment = {{"KORVEL_TESTKIT_SET", "set"}},
                  .unset = {"KORVEL_TESTKIT_GONE"},
                  .directory = dir.path()},
                 kPatience);
    EXPECT_EQ(run.out, "set|unset|kept|" + std::filesystem::canonical(dir.path()).string() +
                           "\n1\n")  // nothing to read: the null device
        << run.err;
    const Outcome only =
        RunToEnd({.program = kShell,
                  .arguments = {"-c", "echo \"${KORVEL_TESTKIT_KEPT-none}|$KORVEL_TESTKIT_SET\""},
                  .environment = {{"KORVEL_TESTKIT_SET", "alone"}},
                  .environmentOnly = true},
                 kPatience);
    EXPECT_EQ(only.out, "none|alone\n") << only.err;
    unsetenv("KORVEL_TESTKIT_GONE");
    unsetenv("KORVEL_TESTKIT_KEPT");
}

TEST(RunningProgram, ReadsWholeLinesWithADeadlineAndIsStopped) {
    RunningProgram program({.program = kShell,
                            .arguments = {"-c", "echo one; printf 'two\\nthr'; exec sleep 30"},
                            .errors = Output::Inherit()});
    ASSERT_TRUE(program.Started()) << program.Failure();
    EXPECT_EQ(program.ReadLine(kPatience), "one");
    EXPECT_EQ(program.ReadLine(kPatience), "two");
    EXPECT_EQ(program.ReadLine(std::chrono::milliseconds(100)), std::nullopt) << "half a line";
    EXPECT_EQ(program.Wait(std::chrono::milliseconds(10)), -1) << "still running";
    program.Stop(StopRequest::Terminate);
    EXPECT_EQ(program.WaitForEnd(kPatience), base::ExitStatus::EndedBy(SIGTERM));

    const RunningProgram missing({.program = "/nonexistent/program"});
    EXPECT_FALSE(missing.Started());
    EXPECT_NE(missing.Failure().find("/nonexistent/program"), std::string::npos);
}

#endif

TEST(TempDir, HoldsWhatIsWrittenAndGoesWithIt) {
    std::string path;
    {
        const TempDir dir;
        path = dir.path();
        ASSERT_FALSE(path.empty());
        EXPECT_EQ(ReadText(dir.Write("a/b/text.txt", "some text")), "some text");
        EXPECT_EQ(ReadBytes(dir.Write("bytes.bin", Bytes{0, 0xFF, 7})), (Bytes{0, 0xFF, 7}));
#if !defined(_WIN32)
        // Windows makes symbolic links only with a privilege, Wine 8 not at all.
        EXPECT_EQ(ReadText(dir.Link("link.txt", "a/b/text.txt")), "some text");
#endif
        EXPECT_EQ(ReadText(dir.File("missing")), "");
    }
    EXPECT_FALSE(std::filesystem::exists(path));
}

}  // namespace
}  // namespace korvel::testkit
