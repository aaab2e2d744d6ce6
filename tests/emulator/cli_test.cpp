// The cordane program against korvel-sim, as a script or an operator runs it: a download that
// succeeds, its JSON events, a loader that refuses a frame, Ctrl-C, and the port list.
#include <gtest/gtest.h>

#include <algorithm>
#include <cctype>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <map>
#include <optional>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "emulator_support.h"
#include "joblog/job_log.h"

namespace {

namespace fs = std::filesystem;
using emulatortest::Clock;
using emulatortest::Lines;
using emulatortest::ReadText;
using emulatortest::TempDir;
using korvel::testkit::Outcome;
using korvel::testkit::Output;
using korvel::testkit::RunningProgram;
using korvel::testkit::StopRequest;

// Failure guard only: each run here ends within a few seconds.
constexpr auto kPatience = std::chrono::seconds(20);

const std::string kBin = std::string(KORVEL_BINARY_DIR) + "/bin/";
const std::string kSample = std::string(KORVEL_SOURCE_DIR) + "/tools/samples/demo64.sre";

// Waits until `path` holds `text`.
bool WaitForText(const std::string& path, const std::string& text) {
    const Clock::time_point deadline = Clock::now() + kPatience;
    while (Clock::now() < deadline) {
        if (ReadText(path).find(text) != std::string::npos) return true;
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    return false;
}

// An emulated reader on virtual port 1 of its own ports directory.
class Reader {
  public:
    Reader(const TempDir& dir, std::vector<std::string> options) : dir_(dir.path()) {
        std::vector<std::string> args = {"--virtual", "1", "--ports-dir", dir.path(), "--once"};
        args.insert(args.end(), options.begin(), options.end());
        sim_.emplace(korvel::testkit::Command{.program = kBin + "korvel-sim",
                                              .arguments = args,
                                              .output = Output::IntoFile(dir.File("sim.out")),
                                              .errors = Output::IntoFile(dir.File("sim.err"))});
        ready_ = sim_->Started() && WaitForText(dir.path() + "/sim.out", "\n") &&
                 ReadText(dir.path() + "/sim.out").rfind("ready ", 0) == 0;
    }
    bool Ready() const { return ready_; }
    // The pseudo-terminal behind the entry, from "ready ENTRY DEVICE".
    std::string Device() const {
        const std::string line = ReadText(dir_ + "/sim.out");
        const size_t space = line.rfind(' ');
        return line.substr(space + 1, line.find('\n') - space - 1);
    }
    int Wait() { return sim_->Wait(kPatience); }

  private:
    std::string dir_;
    std::optional<RunningProgram> sim_;
    bool ready_ = false;
};

// cordane with the ports of `dir`, its temporary files there and no job log unless `env` says.
Outcome Cordane(const TempDir& dir, std::vector<std::string> args,
                std::map<std::string, std::string> env = {}) {
    env.insert({{"KORVEL_PORTS_DIR", dir.path()}, {"TMPDIR", dir.path()}, {"KORVEL_LOG", ""}});
    return korvel::testkit::RunToEnd(
        {.program = kBin + "cordane", .arguments = std::move(args), .environment = env}, kPatience);
}

// cordane left running with the ports of `dir`, its output in two files there.
RunningProgram StartCordane(const TempDir& dir, std::vector<std::string> args,
                            std::map<std::string, std::string> env) {
    return RunningProgram({.program = kBin + "cordane",
                           .arguments = std::move(args),
                           .environment = std::move(env),
                           .output = Output::IntoFile(dir.File("cordane.out")),
                           .errors = Output::IntoFile(dir.File("cordane.err"))});
}

// A strict reader of one JSON object whose values are strings, numbers, booleans or null, as the
// download's events are. Gives the members (strings unescaped, the rest as written), or nothing
// when the text is not exactly such an object.
class FlatJson {
  public:
    static std::optional<std::map<std::string, std::string>> Parse(const std::string& text) {
        FlatJson parser(text);
        std::map<std::string, std::string> members;
        if (!parser.Eat('{')) return std::nullopt;
        if (!parser.Eat('}')) {
            do {
                std::string key;
                std::string value;
                if (!parser.String(key) || !parser.Eat(':') || !parser.Value(value)) {
                    return std::nullopt;
                }
                if (!members.emplace(key, value).second) return std::nullopt;
            } while (parser.Eat(','));
            if (!parser.Eat('}')) return std::nullopt;
        }
        if (parser.at_ != text.size()) return std::nullopt;
        return members;
    }

  private:
    explicit FlatJson(const std::string& text) : text_(text) {}

    bool Eat(char c) {
        if (at_ < text_.size() && text_[at_] == c) {
            ++at_;
            return true;
        }
        return false;
    }

    bool String(std::string& out) {
        if (!Eat('"')) return false;
        while (at_ < text_.size()) {
            const char c = text_[at_++];
            if (c == '"') return true;
            if (static_cast<unsigned char>(c) < 0x20) return false;
            if (c != '\\') {
                out += c;
                continue;
            }
            if (at_ >= text_.size()) return false;
            const char escaped = text_[at_++];
            const std::string simple = "\"\\/bfnrt";
            const std::string meaning = "\"\\/\b\f\n\r\t";
            if (const size_t k = simple.find(escaped); k != std::string::npos) {
                out += meaning[k];
            } else if (escaped == 'u' && at_ + 4 <= text_.size() &&
                       text_.substr(at_, 4).find_first_not_of("0123456789abcdefABCDEF") ==
                           std::string::npos) {
                out += '?';
                at_ += 4;
            } else {
                return false;
            }
        }
        return false;
    }

    bool Value(std::string& out) {
        if (at_ < text_.size() && text_[at_] == '"') return String(out);
        for (const char* literal : {"true", "false", "null"}) {
            if (text_.compare(at_, std::strlen(literal), literal) == 0) {
                out = literal;
                at_ += std::strlen(literal);
                return true;
            }
        }
        const size_t start = at_;
        Eat('-');
        const size_t digits = at_;
        while (at_ < text_.size() && std::isdigit(static_cast<unsigned char>(text_[at_]))) ++at_;
        if (at_ == digits || (text_[digits] == '0' && at_ - digits > 1)) return false;
        out = text_.substr(start, at_ - start);
        return true;
    }

    const std::string& text_;
    size_t at_ = 0;
};

TEST(CordaneCliTest, DownloadsToTheEmulatorWithJsonEventsEndingInExitZero) {
    TempDir dir;
    Reader reader(dir, {"--reader", "1", "--loader", "addressed"});
    ASSERT_TRUE(reader.Ready()) << ReadText(dir.path() + "/sim.err");

    const Outcome run =
        Cordane(dir, {"download", "--json", "--port", "KORVEL01", "--reader", "1", kSample});
    EXPECT_EQ(run.code, 0) << run.err;
    EXPECT_EQ(reader.Wait(), 0) << "the reader's flash holds no signed image";

    std::vector<std::map<std::string, std::string>> events;
    for (const std::string& line : Lines(run.out)) {
        const auto event = FlatJson::Parse(line);
        ASSERT_TRUE(event && event->contains("event")) << "not a JSON event: " << line;
        events.push_back(*event);
    }
    ASSERT_GE(events.size(), 3u);
    EXPECT_EQ(events.back(),
              (std::map<std::string, std::string>{{"event", "exit"}, {"code", "0"}}));
    // One outcome, the success; the job's last notice closes the events before the exit.
    std::vector<std::map<std::string, std::string>> completions;
    for (const auto& event : events) {
        if (event.at("event") == "completion") completions.push_back(event);
    }
    EXPECT_EQ(completions,
              (std::vector<std::map<std::string, std::string>>{
                  {{"event", "completion"}, {"text", "Download completed"}, {"code", "0"}}}));
    EXPECT_EQ(
        events[events.size() - 2],
        (std::map<std::string, std::string>{{"event", "notice"}, {"code", "1"}, {"text", "null"}}));
    // The bar reaches the whole image, in bytes as well.
    bool whole = false;
    for (const auto& event : events) {
        if (event.at("event") == "position" && event.at("percent") == "100") {
            whole = event.at("bytes") == "7168";
        }
    }
    EXPECT_TRUE(whole);
}

TEST(CordaneCliTest, ADownloadLeavesItsRowInTheJobLogAndAnUnwritableLogKeepsTheExitCode) {
    TempDir dir;
    const std::string log = dir.path() + "/jobs.db";
    {
        Reader reader(dir, {"--reader", "1", "--loader", "addressed"});
        ASSERT_TRUE(reader.Ready()) << ReadText(dir.path() + "/sim.err");
        const Outcome run = Cordane(
            dir, {"download", "--port", "KORVEL01", "--reader", "1", "--log", log, kSample});
        EXPECT_EQ(run.code, 0) << run.err;
        EXPECT_EQ(reader.Wait(), 0);
    }
    const auto store = korvel::joblog::OpenStore(log, korvel::joblog::Access::kRead);
    ASSERT_TRUE(store) << store.error().message;
    const auto listed = (*store)->List({});
    ASSERT_TRUE(listed) << listed.error().message;
    const std::vector<korvel::joblog::JobRow>& rows = *listed;
    ASSERT_EQ(rows.size(), 1u);
    const korvel::joblog::FileRecord sample = korvel::joblog::DescribeFile(kSample);
    EXPECT_EQ(rows[0].port, "KORVEL01");
    EXPECT_EQ(rows[0].readerType, 1);
    EXPECT_EQ(rows[0].readerName, "KvOrb (64 Kb)");
    EXPECT_EQ(rows[0].downloadType, 0);
    EXPECT_EQ(rows[0].application.path, kSample);
    EXPECT_EQ(rows[0].application.size, sample.size);
    EXPECT_EQ(rows[0].application.sha256, sample.sha256);
    EXPECT_EQ(rows[0].driver.path, "");
    EXPECT_EQ(rows[0].exitCode, 0);
    EXPECT_EQ(rows[0].result, "completed");
    EXPECT_EQ(rows[0].bytesSent, 7168);
    EXPECT_EQ(rows[0].host, korvel::joblog::HostName());
    EXPECT_EQ(rows[0].tool.rfind("cordane ", 0), 0u);
    EXPECT_LE(rows[0].startedUtc, rows[0].endedUtc);

    // KORVEL_LOG naming a file in a directory that is not there: said, and the code stays 0.
    Reader reader(dir, {"--reader", "1", "--loader", "addressed"});
    ASSERT_TRUE(reader.Ready()) << ReadText(dir.path() + "/sim.err");
    const std::string unwritable = dir.path() + "/gone/jobs.db";
    const Outcome run = Cordane(dir, {"download", "--port", "KORVEL01", "--reader", "1", kSample},
                                {{"KORVEL_LOG", unwritable}});
    EXPECT_EQ(run.code, 0) << run.err;
    EXPECT_EQ(reader.Wait(), 0);
    EXPECT_NE(run.err.find("the job was not logged to " + unwritable + ": SQLite: "),
              std::string::npos)
        << run.err;
    EXPECT_NE(run.err.find("The download's result stands (exit code 0)"), std::string::npos);
    EXPECT_NE(run.err.find("download completed"), std::string::npos);
}

TEST(CordaneCliTest, ALoaderRefusalBecomesTheExitCodeThroughADevicePath) {
    TempDir dir;
    // The fourth frame of the raw loader is the first data frame.
    Reader reader(dir, {"--reader", "0", "--fail-at", "4:0x23"});
    ASSERT_TRUE(reader.Ready()) << ReadText(dir.path() + "/sim.err");

    const Outcome run =
        Cordane(dir, {"download", "--port", reader.Device(), "--reader", "0", kSample});
    EXPECT_EQ(run.code, 0x23) << run.err;
    EXPECT_NE(run.err.find("Download error: Download error."), std::string::npos) << run.err;
    EXPECT_NE(run.err.find("error code 35 (0x23)"), std::string::npos) << run.err;
    // The temporary ports directory that named the device is gone.
    for (const auto& entry : fs::directory_iterator(dir.path())) {
        EXPECT_EQ(entry.path().filename().string().rfind("cordane-port-", 0), std::string::npos);
    }
}

// The temporary ports directories that name device paths for the engine.
std::vector<std::string> PortsDirectories(const TempDir& dir) {
    std::vector<std::string> found;
    for (const auto& entry : fs::directory_iterator(dir.path())) {
        const std::string name = entry.path().filename().string();
        if (name.rfind("cordane-port-", 0) == 0) found.push_back(name);
    }
    return found;
}

TEST(CordaneCliTest, KilledWhileDownloadingThroughADevicePathLeavesNoPortsDirectory) {
    TempDir dir;
    Reader reader(dir, {"--reader", "1", "--loader", "addressed", "--delay", "20"});
    ASSERT_TRUE(reader.Ready()) << ReadText(dir.path() + "/sim.err");

    RunningProgram cordane = StartCordane(
        dir, {"download", "--json", "--port", reader.Device(), "--reader", "1", kSample},
        {{"TMPDIR", dir.path()}});
    ASSERT_TRUE(WaitForText(dir.path() + "/cordane.out", R"("event":"position")"));
    EXPECT_EQ(PortsDirectories(dir).size(), 1u) << "the device is named through one";
    cordane.Stop(StopRequest::Kill);
    EXPECT_EQ(cordane.Wait(kPatience), -1);
    // Removed by the watcher the killed process leaves, as soon as it notices.
    const Clock::time_point deadline = Clock::now() + kPatience;
    while (!PortsDirectories(dir).empty() && Clock::now() < deadline) {
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    EXPECT_EQ(PortsDirectories(dir), std::vector<std::string>{});
}

TEST(CordaneCliTest, AFrameRefusedForTheWrongReaderTypeNamesTheTypeInTheHint) {
    TempDir dir;
    Reader reader(dir, {"--reader", "3"});  // a large reader, offered a 64 Kb reader's download
    ASSERT_TRUE(reader.Ready()) << ReadText(dir.path() + "/sim.err");

    const Outcome run = Cordane(dir, {"download", "--port", "KORVEL01", "--reader", "1", kSample});
    EXPECT_EQ(run.code, 4) << run.err;
    EXPECT_NE(run.err.find("check that the reader is a KvOrb (64 Kb) (--reader 1), then the cable"),
              std::string::npos)
        << run.err;
}

TEST(CordaneCliTest, CtrlCCancelsAtTheNextBlockAndResetsTheReader) {
    TempDir dir;
    // Slow answers keep the download running long enough to be interrupted.
    Reader reader(dir, {"--reader", "1", "--loader", "addressed", "--delay", "20"});
    ASSERT_TRUE(reader.Ready()) << ReadText(dir.path() + "/sim.err");

    RunningProgram cordane =
        StartCordane(dir, {"download", "--json", "--port", "KORVEL01", "--reader", "1", kSample},
                     {{"KORVEL_PORTS_DIR", dir.path()}});
    ASSERT_TRUE(WaitForText(dir.path() + "/cordane.out", R"("event":"position")"));
    cordane.Stop(StopRequest::Interrupt);
    EXPECT_EQ(cordane.Wait(kPatience), 6) << ReadText(dir.path() + "/cordane.err");
    const std::vector<std::string> lines = Lines(ReadText(dir.path() + "/cordane.out"));
    ASSERT_FALSE(lines.empty());
    EXPECT_EQ(lines.back(), R"({"event":"exit","code":6})");
    EXPECT_NE(ReadText(dir.path() + "/cordane.out").find(R"("text":"Download cancelled.")"),
              std::string::npos);
    EXPECT_EQ(reader.Wait(), 1) << "a cancelled download must leave no signed image";
}

// A global file of `dir` built with mkglo from `components` (KIND:FLAGS:ADDRESS:NAME), each
// with 64 bytes of data of its own.
std::string GlobalFile(const TempDir& dir, const std::string& name,
                       const std::vector<std::string>& components) {
    std::vector<std::string> args{"mkglo", "-o", dir.path() + "/" + name};
    for (size_t i = 0; i < components.size(); ++i) {
        const std::string data = dir.path() + "/part" + std::to_string(i);
        std::ofstream(data) << std::string(64, static_cast<char>('A' + i));
        args.push_back(components[i] + "=" + data);
    }
    const Outcome made = Cordane(dir, args);
    EXPECT_EQ(made.code, 0) << made.err;
    return dir.path() + "/" + name;
}

TEST(CordaneCliTest, AGlobalFileIsCheckedBeforeTheReaderAndRefusedByItsOwnName) {
    TempDir dir;
    const std::vector<std::string> parts{"1::0x10000:APP.SRE", "2:0x48:0x4720:DRV.SRE"};
    const std::string good = GlobalFile(dir, "good.glo", parts);
    // One data byte changed in the last part: a CRC no reader type can pass.
    std::string bytes = ReadText(good);
    bytes.back() ^= 1;
    std::ofstream(dir.path() + "/damaged.glo", std::ios::binary) << bytes;
    // A common part at 0x100000, where a 512 Kb reader has no flash.
    std::vector<std::string> upper = parts;
    upper.push_back("1::0x100000:UP.SRE");
    const std::string tooHigh = GlobalFile(dir, "upper.glo", upper);

    Reader reader(dir, {"--reader", "2"});
    ASSERT_TRUE(reader.Ready()) << ReadText(dir.path() + "/sim.err");
    // Refused before the reader is detected: no "detected" event.
    const Outcome damaged =
        Cordane(dir, {"download", "--json", "--port", "KORVEL01", dir.path() + "/damaged.glo"});
    EXPECT_EQ(damaged.code, 1) << damaged.err;
    EXPECT_EQ(damaged.out.find("detected"), std::string::npos) << damaged.out;
    EXPECT_NE(damaged.err.find(dir.path() + "/damaged.glo: CRC Error! (the component at byte "),
              std::string::npos)
        << damaged.err;
    // A part the reader cannot take: named by the global file and the component, never by the
    // temporary file it was extracted to.
    const Outcome high = Cordane(dir, {"download", "--port", "KORVEL01", "--reader", "2", tooHigh});
    EXPECT_EQ(high.code, 1) << high.err;
    EXPECT_NE(high.err.find(tooHigh + ": the component \"UP.SRE\" (load address 0x100000) has "
                                      "data for address 0x100000, where a KvOrb (512Kb) reader"),
              std::string::npos)
        << high.err;
    EXPECT_EQ(high.err.find("cordane-glo-"), std::string::npos) << high.err;
}

TEST(CordaneCliTest, CtrlCInALargeReadersDriverPhaseIsCancelled) {
    TempDir dir;
    const std::string glo =
        GlobalFile(dir, "app.glo", {"1::0x10000:APP.SRE", "2:0x48:0x4720:DRV.SRE"});
    // The driver's low part is sent whole, blank blocks too: long enough to be interrupted.
    Reader reader(dir, {"--reader", "2", "--delay", "20"});
    ASSERT_TRUE(reader.Ready()) << ReadText(dir.path() + "/sim.err");

    RunningProgram cordane =
        StartCordane(dir, {"download", "--json", "--port", "KORVEL01", "--reader", "2", glo},
                     {{"KORVEL_PORTS_DIR", dir.path()}, {"TMPDIR", dir.path()}});
    ASSERT_TRUE(
        WaitForText(dir.path() + "/cordane.out", R"("text":"Downloading the driver library...")"));
    cordane.Stop(StopRequest::Interrupt);
    EXPECT_EQ(cordane.Wait(kPatience), 6) << ReadText(dir.path() + "/cordane.err");
    const std::string out = ReadText(dir.path() + "/cordane.out");
    EXPECT_EQ(out.find("Downloading the application"), std::string::npos) << out;
    const std::vector<std::string> lines = Lines(out);
    ASSERT_FALSE(lines.empty());
    EXPECT_EQ(lines.back(), R"({"event":"exit","code":6})");
    EXPECT_EQ(reader.Wait(), 1) << "a cancelled download must leave no signed image";
}

TEST(CordaneCliTest, PortsListsTheEmulatorsEntry) {
    TempDir dir;
    Reader reader(dir, {"--reader", "0"});
    ASSERT_TRUE(reader.Ready()) << ReadText(dir.path() + "/sim.err");

    const Outcome run = Cordane(dir, {"ports"});
    EXPECT_EQ(run.code, 0) << run.err;
    const std::vector<std::string> lines = Lines(run.out);
    EXPECT_NE(std::find(lines.begin(), lines.end(), "KORVEL01  " + reader.Device()), lines.end())
        << run.out;
    const Outcome json = Cordane(dir, {"ports", "--json"});
    EXPECT_NE(json.out.find(R"({"port":"KORVEL01","device":")" + reader.Device() + R"("})"),
              std::string::npos)
        << json.out;
}

}  // namespace
