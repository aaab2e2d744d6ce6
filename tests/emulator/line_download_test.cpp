// "cordane download" to a line of readers served by one korvel-sim --line: every reader flashed
// from one command, readers that fail or hang up beside readers that succeed, and Ctrl-C.
#include <dirent.h>
#include <signal.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <chrono>
#include <fstream>
#include <map>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "emulator_support.h"
#include "joblog/job_log.h"

namespace {

using emulatortest::Clock;
using emulatortest::Lines;
using emulatortest::ReadBytes;
using emulatortest::ReadText;
using emulatortest::Simulator;
using emulatortest::StopRequest;
using emulatortest::TempDir;
using korvel::testkit::Output;

constexpr auto kPatience = std::chrono::seconds(30);  // failure guard only
const std::string kBin = std::string(KORVEL_BINARY_DIR) + "/bin/";
const std::string kSample = std::string(KORVEL_SOURCE_DIR) + "/tools/samples/demo64.sre";

// cordane with KORVEL_PORTS_DIR set, its output in two files of `dir`.
class Cordane {
  public:
    Cordane(const TempDir& dir, std::vector<std::string> args)
        : dir_(dir.path()),
          process_({.program = kBin + "cordane",
                    .arguments = std::move(args),
                    .environment = {{"KORVEL_PORTS_DIR", dir.path()}, {"TMPDIR", dir.path()}},
                    .output = Output::IntoFile(dir.File("out")),
                    .errors = Output::IntoFile(dir.File("err"))}) {}
    void Stop(StopRequest request) { process_.Stop(request); }
    // The exit code; -1 for a signal or no exit in time.
    int Wait() { return process_.Wait(kPatience); }
    std::string Out() const { return ReadText(dir_ + "/out"); }
    std::string Err() const { return ReadText(dir_ + "/err"); }

  private:
    std::string dir_;
    korvel::testkit::RunningProgram process_;
};

// A line of `count` readers on KORVEL01...; true once every one is ready.
bool StartLine(Simulator& sim, int count) {
    for (int i = 0; i < count; ++i) {
        if (!emulatortest::ReadReady(sim)) return false;
    }
    return true;
}

std::vector<std::string> Ports(int count) {
    std::string list;
    for (int i = 1; i <= count; ++i) list += (i > 1 ? ",KORVEL0" : "KORVEL0") + std::to_string(i);
    return {"--port", list};
}

// The flash of a 64 Kb reader after the sample's download: the signature at 0x2000, then the
// image "cordane convert" makes, from its third byte on.
void ExpectSampleIn(const std::vector<uint8_t>& flash, const std::vector<uint8_t>& image,
                    const std::string& which) {
    ASSERT_EQ(flash.size(), 0x10000u) << which;
    ASSERT_GT(image.size(), 2u);
    EXPECT_EQ(flash[0x2000], 'K') << which;
    EXPECT_EQ(flash[0x2001], 'V') << which;
    EXPECT_TRUE(std::equal(image.begin() + 2, image.end(), flash.begin() + 0x2002)) << which;
}

// The processes whose environment holds `marker`: any job the parent left behind.
int ProcessesWith(const std::string& marker) {
    int count = 0;
    DIR* proc = opendir("/proc");
    if (proc == nullptr) return 0;
    while (const dirent* entry = readdir(proc)) {
        if (entry->d_name[0] < '1' || entry->d_name[0] > '9') continue;
        const std::string environment =
            ReadText(std::string("/proc/") + entry->d_name + "/environ");
        if (environment.find(marker) != std::string::npos) ++count;
    }
    closedir(proc);
    return count;
}

// The job process of the line whose port is `port`: the cordane with that port, the marker in
// its environment and --json, which only a job gets; -1 when there is none.
pid_t JobProcess(const std::string& marker, const std::string& port) {
    pid_t found = -1;
    DIR* proc = opendir("/proc");
    if (proc == nullptr) return found;
    while (const dirent* entry = readdir(proc)) {
        if (entry->d_name[0] < '1' || entry->d_name[0] > '9') continue;
        const std::string base = std::string("/proc/") + entry->d_name;
        const std::string command = ReadText(base + "/cmdline");
        if (ReadText(base + "/environ").find(marker) != std::string::npos &&
            command.find(std::string("--port\0", 7) + port + std::string("\0--json", 7)) !=
                std::string::npos) {
            found = static_cast<pid_t>(std::stol(entry->d_name));
        }
    }
    closedir(proc);
    return found;
}

TEST(LineDownloadTest, AJobWhoseProcessIsKilledIsReportedAsSuchAndLoggedByTheLine) {
    TempDir dir;
    Simulator sim({"--line", "2", "--ports-dir", dir.path(), "--reader", "1", "--loader",
                   "addressed", "--delay", "50"});
    ASSERT_TRUE(StartLine(sim, 2));
    const std::string log = dir.path() + "/jobs.db";
    Cordane cordane(dir, {"download", "--json", "--port", "KORVEL01,KORVEL02", "--log", log,
                          "--reader", "1", kSample});
    const Clock::time_point deadline = Clock::now() + kPatience;
    while (cordane.Out().find(R"({"event":"position","port":"KORVEL02")") == std::string::npos &&
           Clock::now() < deadline) {
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    const pid_t job = JobProcess("KORVEL_PORTS_DIR=" + dir.path(), "KORVEL02");
    ASSERT_GT(job, 0) << cordane.Out();
    kill(job, SIGKILL);
    EXPECT_EQ(cordane.Wait(), 125) << cordane.Err();

    // Its own kind of failure: the signal, not a loader's error code; an exit event for it.
    const std::string out = cordane.Out();
    EXPECT_NE(out.find(R"({"event":"exit","port":"KORVEL02","code":125,"signal":9})"),
              std::string::npos)
        << out;
    EXPECT_NE(out.find(R"J("result":"ended by signal 9 (SIGKILL)","code":125,"signal":9,)J"),
              std::string::npos)
        << out;
    EXPECT_EQ(out.find("loader error"), std::string::npos) << out;
    // The row the killed job could not write, beside the other job's own.
    const auto store = korvel::joblog::OpenStore(log, korvel::joblog::Access::kRead);
    ASSERT_TRUE(store) << store.error().message;
    const auto listed = (*store)->List({});
    ASSERT_TRUE(listed) << listed.error().message;
    const std::vector<korvel::joblog::JobRow>& rows = *listed;
    std::map<std::string, korvel::joblog::JobRow> byPort;
    for (const auto& row : rows) byPort[row.port] = row;
    ASSERT_EQ(byPort.size(), 2u);
    EXPECT_EQ(byPort["KORVEL01"].exitCode, 0);
    EXPECT_EQ(byPort["KORVEL02"].exitCode, 125);
    EXPECT_EQ(byPort["KORVEL02"].result, "ended by signal 9 (SIGKILL)");
    EXPECT_EQ(byPort["KORVEL02"].readerType, 1);
    EXPECT_EQ(byPort["KORVEL02"].application.path, kSample);
    EXPECT_EQ(byPort["KORVEL02"].application.sha256, korvel::joblog::DescribeFile(kSample).sha256);
}

TEST(LineDownloadTest, AGlobalFileIsCheckedBeforeAnyReaderAndEachHintNamesTheTypeFound) {
    TempDir dir;
    // KORVEL02 refuses a frame of its download session (its detection session has 34).
    Simulator sim(
        {"--line", "2", "--ports-dir", dir.path(), "--reader", "2", "--fail-at", ",40:0x23"});
    ASSERT_TRUE(StartLine(sim, 2));
    std::vector<std::string> mkglo{"mkglo", "-o", dir.path() + "/app.glo"};
    for (const char* part : {"1::0x10000:APP.SRE", "2:0x48:0x4720:DRV.SRE"}) {
        const std::string data = dir.path() + "/part" + std::to_string(mkglo.size());
        std::ofstream(data) << std::string(64, 'A');
        mkglo.push_back(std::string(part) + "=" + data);
    }
    {
        Cordane made(dir, mkglo);
        ASSERT_EQ(made.Wait(), 0) << made.Err();
    }
    std::string damaged = ReadText(dir.path() + "/app.glo");
    damaged.back() ^= 1;
    std::ofstream(dir.path() + "/damaged.glo", std::ios::binary) << damaged;

    // Every CRC is checked before any reader is reset or detected.
    {
        Cordane refused(dir, {"download", "--json", "--port", "KORVEL01,KORVEL02",
                              dir.path() + "/damaged.glo"});
        EXPECT_EQ(refused.Wait(), 1) << refused.Err();
        EXPECT_EQ(refused.Out().find("detected"), std::string::npos) << refused.Out();
        EXPECT_NE(refused.Err().find("damaged.glo: CRC Error!"), std::string::npos)
            << refused.Err();
        EXPECT_NE(refused.Err().find("nothing was sent to any reader"), std::string::npos);
    }

    // The loader's refusal on KORVEL02: the hint names the type its job detected.
    Cordane cordane(dir, {"download", "--port", "KORVEL01,KORVEL02", dir.path() + "/app.glo"});
    EXPECT_EQ(cordane.Wait(), 0x23) << cordane.Err();
    const std::string err = cordane.Err();
    EXPECT_NE(err.find("check the reader type (--reader 2)"), std::string::npos) << err;
    EXPECT_EQ(err.find("--reader -1"), std::string::npos) << err;
}

TEST(LineDownloadTest, EightReadersFlashedFromOneCommand) {
    TempDir dir;
    // Both loaders of the 64 Kb readers, four readers each.
    Simulator sim({"--line", "8", "--ports-dir", dir.path(), "--reader", "1", "--loader",
                   "raw,addressed,raw,addressed,raw,addressed,raw,addressed", "--dump",
                   dir.path() + "/flash%d.bin", "--once"});
    ASSERT_TRUE(StartLine(sim, 8));

    std::vector<std::string> args{"download", "--json", "--reader", "1", kSample};
    const std::vector<std::string> ports = Ports(8);
    args.insert(args.begin() + 1, ports.begin(), ports.end());
    Cordane cordane(dir, args);
    EXPECT_EQ(cordane.Wait(), 0) << cordane.Err();
    EXPECT_EQ(sim.Wait(), 0) << "every reader's flash holds a signed image";

    // Every line carries its port; each port ends with its exit event, the run with the summary.
    const std::vector<std::string> lines = Lines(cordane.Out());
    ASSERT_FALSE(lines.empty());
    std::map<std::string, int> exits;
    for (size_t i = 0; i + 1 < lines.size(); ++i) {
        const size_t at = lines[i].find(R"(,"port":"KORVEL0)");
        ASSERT_NE(at, std::string::npos) << lines[i];
        if (lines[i].rfind(R"({"event":"exit",)", 0) == 0) ++exits[lines[i].substr(at + 9, 8)];
    }
    EXPECT_EQ(exits.size(), 8u);
    EXPECT_EQ(lines.back().rfind(R"({"event":"summary","jobs":[{"port":"KORVEL01","reader":1,)", 0),
              0u)
        << lines.back();
    EXPECT_NE(lines.back().find(R"J("port":"KORVEL08","reader":1,"reader_name":"KvOrb (64 Kb)",)J"
                                R"("result":"completed","code":0,)"),
              std::string::npos);
    EXPECT_NE(lines.back().find(R"(],"code":0,"parent_cpu_ms":)"), std::string::npos);

    ASSERT_EQ(
        korvel::testkit::RunToEnd({.program = kBin + "cordane",
                                   .arguments = {"convert", kSample, dir.path() + "/image.bin"}},
                                  kPatience)
            .code,
        0);
    const std::vector<uint8_t> image = ReadBytes(dir.path() + "/image.bin");
    for (int i = 1; i <= 8; ++i) {
        ExpectSampleIn(ReadBytes(dir.path() + "/flash" + std::to_string(i) + ".bin"), image,
                       "KORVEL0" + std::to_string(i));
    }
}

TEST(LineDownloadTest, AFailingAndAHungUpReaderLeaveTheOthersToComplete) {
    TempDir dir;
    // KORVEL02 refuses a frame, KORVEL04 hangs its line up in the middle of the download.
    Simulator sim({"--line", "4", "--ports-dir", dir.path(), "--reader", "1", "--loader",
                   "addressed", "--dump", dir.path() + "/flash%d.bin", "--fail-at", ",6:0x23,,",
                   "--hangup-at", ",,,6"});
    ASSERT_TRUE(StartLine(sim, 4));

    // Without a terminal: plain lines, each with its port; the table at the end.
    Cordane cordane(dir, {"download", "--port", "KORVEL04,KORVEL01", "--port", "KORVEL02,KORVEL03",
                          "--reader", "1", kSample});
    const int code = cordane.Wait();
    const std::string err = cordane.Err();
    size_t rows = 0;
    std::map<std::string, std::string> results;
    for (const std::string& line : Lines(err)) {
        if (line.rfind("KORVEL0", 0) == 0 && line.find(": progress: ") == 8) ++rows;
        if (line.rfind("KORVEL0", 0) == 0 && line.find("  KvOrb (64 Kb)  ") == 8) {
            // The row's cells after the reader type, one space apart.
            std::istringstream cells(line.substr(25));
            std::string row;
            for (std::string cell; cells >> cell;) row += cell + " ";
            results[line.substr(0, 8)] = row;
        }
    }
    EXPECT_GT(rows, 10u) << err;
    ASSERT_EQ(results.size(), 4u) << err;
    EXPECT_EQ(results["KORVEL01"].rfind("completed ", 0), 0u) << err;
    EXPECT_EQ(results["KORVEL03"].rfind("completed ", 0), 0u) << err;
    EXPECT_EQ(results["KORVEL02"].rfind("loader error 35 (0x23) 35 ", 0), 0u) << err;
    EXPECT_EQ(results["KORVEL04"].find("completed"), std::string::npos) << err;
    // The first port given that failed is KORVEL04, whose code the table shows.
    EXPECT_NE(code, 0);
    EXPECT_NE(code, 0x23);
    const std::string shownCode = ' ' + std::to_string(code) + ' ';
    EXPECT_NE(results["KORVEL04"].find(shownCode), std::string::npos) << err;
    EXPECT_NE(err.find("2 of 4 downloads completed; failed: KORVEL04 (exit code " +
                       std::to_string(code) + "), KORVEL02 (exit code 35)"),
              std::string::npos)
        << err;

    sim.Stop(StopRequest::Terminate);
    EXPECT_EQ(sim.Wait(), 0);
    const std::vector<uint8_t> one = ReadBytes(dir.path() + "/flash1.bin");
    EXPECT_EQ(one, ReadBytes(dir.path() + "/flash3.bin"));
    ASSERT_EQ(one.size(), 0x10000u);
    EXPECT_EQ(one[0x2000], 'K');
    EXPECT_NE(ReadBytes(dir.path() + "/flash2.bin")[0x2000], 'K');
}

TEST(LineDownloadTest, CtrlCStopsEveryDownloadAndResetsEveryReader) {
    TempDir dir;
    // Slow answers keep the downloads running long enough to be interrupted.
    Simulator sim({"--line", "3", "--ports-dir", dir.path(), "--reader", "1", "--loader",
                   "addressed", "--delay", "50", "--once"});
    ASSERT_TRUE(StartLine(sim, 3));

    Cordane cordane(dir, {"download", "--json", "--port", "KORVEL01,KORVEL02,KORVEL03", "--reader",
                          "1", kSample});
    const Clock::time_point deadline = Clock::now() + kPatience;
    auto moving = [&] {
        const std::string out = cordane.Out();
        for (const char* port : {"KORVEL01", "KORVEL02", "KORVEL03"}) {
            if (out.find(std::string(R"({"event":"position","port":")") + port) ==
                std::string::npos) {
                return false;
            }
        }
        return true;
    };
    while (!moving() && Clock::now() < deadline) {
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    ASSERT_TRUE(moving()) << cordane.Out() << cordane.Err();
    cordane.Stop(StopRequest::Interrupt);
    EXPECT_EQ(cordane.Wait(), 6) << cordane.Err();

    const std::string out = cordane.Out();
    for (const char* port : {"KORVEL01", "KORVEL02", "KORVEL03"}) {
        EXPECT_NE(out.find(std::string(R"({"event":"exit","port":")") + port + R"(","code":6})"),
                  std::string::npos)
            << out;
    }
    EXPECT_EQ(Lines(out).back().find(R"("result":"completed")"), std::string::npos);
    // No reader holds a signed image, and no job is left running.
    EXPECT_EQ(sim.Wait(), 1) << "a cancelled download must leave no signed image";
    EXPECT_EQ(ProcessesWith("KORVEL_PORTS_DIR=" + dir.path()), 0);
}

}  // namespace
