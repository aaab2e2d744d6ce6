// A global file end to end: one ".glo" with parts for several reader types, downloaded through
// reader detection to emulated readers of types 2, 5, 8 and 9, from the program's widgets
// (offscreen, download type 2 from its options file) and from "cordane download" without
// --reader, alone and as a mixed line of readers in one command. Each reader's flash must equal
// the flash a binary download of the "bin" file that "cordane extract" cuts for its type leaves.
#include <gmock/gmock.h>
#include <unistd.h>

#include <QComboBox>
#include <QLineEdit>
#include <QTest>
#include <QTimer>
#include <filesystem>
#include <fstream>
#include <future>

#include "brenmark/download_window.h"
#include "brenmark/settings_sources.h"
#include "brenmark/startup.h"
#include "cordane/cordane.h"
#include "emulator_support.h"
#include "kit/global_file.h"

namespace {

using namespace emulatortest;
using namespace brenmark;
using namespace korvel::kit;

const std::string kCordane = std::string(KORVEL_BINARY_DIR) + "/bin/cordane";

GloComponentSpec Part(int kind, std::optional<uint8_t> flags, uint32_t address, std::string name,
                      Bytes data) {
    GloComponentSpec spec;
    spec.kind = static_cast<uint8_t>(kind);
    spec.flags = flags;
    spec.address = address;
    spec.name = std::move(name);
    spec.data = std::move(data);
    return spec;
}

// Common parts and a driver part for each of the types 2, 3, 5, 8 and 9; type 5 also has a part
// at 0x70000.
std::string WriteGlobalFile(const std::string& dir) {
    const std::vector<GloComponentSpec> parts{
        Part(1, {}, 0x4300, "OVERLAY.SRE", Pattern(0x100, 1)),
        Part(1, {}, 0x10000, "APP.SRE", Pattern(0x900, 2)),
        Part(2, 0x48, 0x4720, "DRV512.SRE", Pattern(0x600, 3)),
        Part(2, 0x00, 0x4720, "TAL512.SRE", Pattern(0x600, 4)),
        Part(2, 0x58, 0x4720, "DRV1MB.SRE", Pattern(0x700, 5)),
        Part(2, 0x58, 0x70000, "DRV1MB_HI.SRE", Pattern(0x300, 6)),
        Part(2, 0x08, 0x4720, "SREHARD4_S.SRE", Pattern(0x500, 8)),
        Part(2, 0x58, 0x4720, "SREHARD4_S.SRE9", Pattern(0x400, 9)),
    };
    return WriteFile(dir + "/all.glo", BuildGlobalFile(parts));
}

// The cordane command's exit code; in `out` when given, what it wrote: its standard output, then
// its standard error.
int Cordane(const std::string& portsDir, const std::vector<std::string>& args,
            std::string* out = nullptr) {
    const korvel::testkit::Outcome run = korvel::testkit::RunToEnd(
        {.program = kCordane, .arguments = args, .environment = {{"KORVEL_PORTS_DIR", portsDir}}},
        std::chrono::minutes(2));
    if (out) *out = run.out + run.err;
    return run.code;
}

// An emulated reader of `type` on virtual port `port`, dumping its flash to `dump` after every
// session (the detection's session, then the download's).
struct Reader {
    Reader(const std::string& dir, int type, int port, const std::string& dump)
        : sim({"--reader", std::to_string(type), "--virtual", std::to_string(port), "--ports-dir",
               dir, "--dump", dump}) {
        ready = sim.Started() && ReadReady(sim).has_value();
    }
    Simulator sim;
    bool ready = false;
};

// The current directory and the ports directory for the program's run, given back afterwards.
struct ProgramPlace {
    explicit ProgramPlace(const std::string& dir) : previous(std::filesystem::current_path()) {
        std::filesystem::current_path(dir);  // where detection writes "Dbg.txt"
        setenv("KORVEL_PORTS_DIR", dir.c_str(), 1);
    }
    ~ProgramPlace() {
        unsetenv("KORVEL_PORTS_DIR");
        std::filesystem::current_path(previous);
    }
    std::filesystem::path previous;
};

class GlobalFileEndToEnd : public ::testing::TestWithParam<int> {};

TEST_P(GlobalFileEndToEnd, DetectedReaderGetsTheImageOfItsType) {
    const int type = GetParam();
    TempDir dir;
    const std::string glo = WriteGlobalFile(dir.path());

    // What the reader must hold: a binary download of the part cut for its type.
    const std::string reference = dir.path() + "/reference.bin";
    ASSERT_EQ(
        Cordane(dir.path(), {"extract", "--reader", std::to_string(type), glo, "-o", reference}),
        0);
    const std::string referenceDump = dir.path() + "/reference.flash";
    {
        Reader reader(dir.path(), type, 4, referenceDump);
        ASSERT_TRUE(reader.ready);
        std::string out;
        ASSERT_EQ(Cordane(dir.path(),
                          {"download", "--port", "KORVEL04", "--reader", std::to_string(type),
                           "--type", "2", reference},
                          &out),
                  0)
            << out;
    }
    const Bytes want = ReadBytes(referenceDump);
    ASSERT_FALSE(want.empty());

    // cordane download without --reader: detected, extracted, downloaded, nothing left behind.
    const std::string toolDump = dir.path() + "/tool.flash";
    {
        Reader reader(dir.path(), type, 5, toolDump);
        ASSERT_TRUE(reader.ready);
        const std::string tmp = dir.path() + "/tmp";
        std::filesystem::create_directory(tmp);
        setenv("TMPDIR", tmp.c_str(), 1);
        std::string out;
        const int code =
            Cordane(dir.path(), {"download", "--port", "KORVEL05", "--json", glo}, &out);
        unsetenv("TMPDIR");
        ASSERT_EQ(code, 0) << out;
        EXPECT_THAT(out, ::testing::StartsWith("{\"event\":\"detected\",\"reader_type\":" +
                                               std::to_string(type) + ","));
        EXPECT_TRUE(std::filesystem::is_empty(tmp));
    }
    EXPECT_TRUE(ReadBytes(toolDump) == want) << "cordane download, reader type " << type;

    // The program: download type 2 from its options file, the global file typed in, Start.
    const std::string programDump = dir.path() + "/program.flash";
    std::ofstream(dir.path() + "/Brenmark.ini") << "[OPTIONS]\r\nDownloadType=2\r\n";
    {
        const ProgramPlace place(dir.path());
        Reader reader(dir.path(), type, 3, programDump);
        ASSERT_TRUE(reader.ready);
        SettingsSources sources(dir.path(), dir.path() + "/settings");
        StartupOptions options;
        options.steps = &sources;
        bool started = false;
        int listSelection = -2;
        options.onShown = [&](DownloadWindow& window) {
            auto* types = qobject_cast<QComboBox*>(window.Control(kTerminalList));
            auto* ports = qobject_cast<QComboBox*>(window.Control(kPortList));
            types->setCurrentIndex(KvTal512);  // KvOrb (512Kb) would ask for a driver file
            ports->setCurrentIndex(ports->findText("KORVEL03"));
            qobject_cast<QLineEdit*>(window.Control(kApplicationFile))
                ->setText(QString::fromStdString(glo));
            QTest::mouseClick(window.Control(kStart), Qt::LeftButton);
            started = !window.Control(kStart)->isEnabled();
            listSelection = types->currentIndex();
            auto* watch = new QTimer(&window);
            QObject::connect(watch, &QTimer::timeout, &window, [&window, watch] {
                if (!window.Control(kQuit)->isEnabled()) return;
                watch->stop();
                QTest::mouseClick(window.Control(kQuit), Qt::LeftButton);
            });
            watch->start(50);
        };
        EXPECT_EQ(RunProgram("", options), 0);
        EXPECT_TRUE(started);
        // Types 8 and 9 have no entry in the list.
        EXPECT_EQ(listSelection, type >= KvLarge8 ? -1 : type);
    }
    EXPECT_TRUE(ReadBytes(programDump) == want) << "Brenmark, reader type " << type;
    EXPECT_FALSE(std::filesystem::exists(dir.path() + "/all.bin"));  // binary loading deletes it
    EXPECT_TRUE(std::filesystem::exists(dir.path() + "/Dbg.txt"));
}

INSTANTIATE_TEST_SUITE_P(LargeReaders, GlobalFileEndToEnd,
                         ::testing::Values(KvOrb512, KvOrb1Mb, KvLarge8, KvLarge9));

// A mixed line: one command, one global file, no --reader; each reader detects its own type and
// gets its own part, as a binary download of that part gives it.
TEST(GlobalFileLine, EveryReaderOfAMixedLineGetsItsOwnPart) {
    TempDir dir;
    const std::string glo = WriteGlobalFile(dir.path());
    const std::vector<int> types{KvOrb512, KvOrb1Mb, KvLarge8, KvLarge9};
    const std::string typeList = "2,5,8,9";

    // The references: each type's part, downloaded to a reader of its own, all at once.
    Simulator references({"--line", "4", "--virtual", "5", "--reader", typeList, "--ports-dir",
                          dir.path(), "--dump", dir.path() + "/reference%d.flash"});
    Simulator line({"--line", "4", "--virtual", "1", "--reader", typeList, "--ports-dir",
                    dir.path(), "--dump", dir.path() + "/line%d.flash"});
    for (int i = 0; i < 8; ++i) {
        ASSERT_TRUE(ReadReady(i < 4 ? references : line).has_value());
    }
    std::vector<std::future<int>> downloads;
    for (size_t i = 0; i < types.size(); ++i) {
        const std::string part = dir.path() + "/part" + std::to_string(types[i]) + ".bin";
        ASSERT_EQ(
            Cordane(dir.path(), {"extract", "--reader", std::to_string(types[i]), glo, "-o", part}),
            0);
        const std::string port = "KORVEL0" + std::to_string(5 + i);
        downloads.push_back(std::async(std::launch::async, [=, &dir] {
            return Cordane(dir.path(), {"download", "--port", port, "--reader",
                                        std::to_string(types[i]), "--type", "2", part});
        }));
    }
    for (auto& download : downloads) ASSERT_EQ(download.get(), 0);

    std::string out;
    ASSERT_EQ(
        Cordane(dir.path(),
                {"download", "--port", "KORVEL01,KORVEL02,KORVEL03,KORVEL04", "--json", glo}, &out),
        0)
        << out;
    for (size_t i = 0; i < types.size(); ++i) {
        const std::string port = "KORVEL0" + std::to_string(1 + i);
        EXPECT_NE(out.find(R"({"event":"detected","port":")" + port + R"(","reader_type":)" +
                           std::to_string(types[i]) + ","),
                  std::string::npos)
            << port;
        const Bytes want = ReadBytes(dir.path() + "/reference" + std::to_string(5 + i) + ".flash");
        ASSERT_FALSE(want.empty());
        EXPECT_TRUE(ReadBytes(dir.path() + "/line" + std::to_string(1 + i) + ".flash") == want)
            << port << ", reader type " << types[i];
    }
    // The summary names each detected type and the bytes its part took.
    const std::string summary = out.substr(out.rfind(R"({"event":"summary")"));
    EXPECT_NE(summary.find(R"("port":"KORVEL04","reader":9,)"), std::string::npos) << summary;
    EXPECT_EQ(summary.find(R"("bytes":null)"), std::string::npos) << summary;
}

}  // namespace
