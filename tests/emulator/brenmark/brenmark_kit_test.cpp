// Brenmark end to end with its settings sources: a kit's unattended runs as the program itself,
// the options file's download types, and the remembered settings filling the real widgets.
#include <gmock/gmock.h>

#include <QApplication>
#include <QComboBox>
#include <QLineEdit>
#include <QTest>
#include <QTimer>
#include <filesystem>
#include <fstream>
#include <map>

#include "brenmark/download_window.h"
#include "brenmark/settings_sources.h"
#include "brenmark/startup.h"
#include "emulator_support.h"

namespace {

using namespace emulatortest;
using namespace brenmark;

const std::string kCordane = std::string(KORVEL_BINARY_DIR) + "/bin/cordane";
const std::string kBrenmark = std::string(KORVEL_BINARY_DIR) + "/bin/brenmark";

// Where `flash` differs from `want` at `address`: "" when it does not.
std::string Compare(const Bytes& flash, uint32_t address, const Bytes& want) {
    if (flash.size() < address + want.size()) return "dump of " + std::to_string(flash.size());
    for (size_t i = 0; i < want.size(); ++i) {
        if (flash[address + i] != want[i]) return "differs at " + std::to_string(address + i);
    }
    return "";
}

// A kit tree under `root`: its simulator configuration (output directory `root`, written with
// backslashes as a kit on Windows writes it), application 5 "DEMO", numbers 2 and 3.
void WriteKit(const std::string& root, int reader, uint16_t portField) {
    Bytes body(187, 0);
    body[0] = 5;
    body[2] = 2;
    body[10] = static_cast<uint8_t>(reader);
    body[101] = static_cast<uint8_t>(portField);
    body[102] = static_cast<uint8_t>(portField >> 8);
    body[171] = 3;
    std::memcpy(&body[172], "DEMO", 5);
    std::string directory = root + "/";
    std::replace(directory.begin(), directory.end(), '/', '\\');
    std::memcpy(&body[19], directory.c_str(), directory.size() + 1);
    std::string cfg = "CONF:V2.0";
    cfg += std::string("\x02\x04\x00\x02\x00", 5) + "skipskip";  // a record of another type
    cfg += std::string("\x01\xBB\x00\x01\x00", 5);
    cfg.append(body.begin(), body.end());
    WriteFile(root + "/KvSDK/Simulator.cfg", cfg);
}

// Runs the program in `cwd` without a display; its exit code (-1 when it did not end within the
// patience) and what it wrote on stderr.
std::pair<int, std::string> RunBrenmark(const std::string& cwd, const std::string& home,
                                        std::vector<std::string> args) {
    const korvel::testkit::Outcome run = korvel::testkit::RunToEnd(
        {.program = kBrenmark,
         .arguments = std::move(args),
         .environment = {{"KORVEL_PORTS_DIR", home}, {"HOME", home}, {"PATH", "/usr/bin:/bin"}},
         .environmentOnly = true,
         .directory = cwd},
        3 * kPatience);
    return {run.code, run.err};
}

// The cordane command's exit code.
int RunTool(const std::vector<std::string>& args) {
    return korvel::testkit::RunToEnd({.program = kCordane,
                                      .arguments = args,
                                      .output = korvel::testkit::Output::Null(),
                                      .errors = korvel::testkit::Output::Inherit()},
                                     std::chrono::minutes(2))
        .code;
}

TEST(BrenmarkKit, UnattendedDownloadToASmallReader) {
    TempDir dir;
    const std::string kit = dir.path() + "/kit";
    const std::string dump = dir.path() + "/flash.bin";
    WriteKit(kit, 0, 0x8003);
    const Bytes image = Pattern(700, 3);
    // The kit names its folders in its own case.
    WriteFile(kit + "/DOWNLOAD/kvtal/App05/TS2DEMO00502030101.sre", SrecText({{0x2000, image}}));
    Simulator sim({"--reader", "0", "--loader", "raw", "--virtual", "3", "--ports-dir", dir.path(),
                   "--once", "--dump", dump});
    ASSERT_TRUE(sim.Started());
    ASSERT_TRUE(ReadReady(sim).has_value());

    const auto [code, errors] =
        RunBrenmark(dir.path(), dir.path(), {"|PATHMKI=\"" + kit + "/project.mki\"", "|COM=0"});
    EXPECT_EQ(code, 0) << errors;
    EXPECT_EQ(sim.Wait(), 0);
    const Bytes flash = ReadBytes(dump);
    ASSERT_EQ(flash.size(), 0x10000u);
    EXPECT_EQ(flash[0x2000], 'K');
    EXPECT_EQ(flash[0x2001], 'V');
    EXPECT_EQ(Compare(flash, 0x2002, Bytes(image.begin() + 2, image.end())), "");
}

TEST(BrenmarkKit, UnattendedDownloadToALargeReaderWithItsDriver) {
    TempDir dir;
    const std::string kit = dir.path() + "/kit";
    const std::string dump = dir.path() + "/flash.bin";
    WriteKit(kit, 5, 0x8004);
    const Bytes driver = Pattern(0x800, 1);
    const Bytes application = Pattern(0x900, 2);
    WriteFile(kit + "/Download/KvOrb1Mb/App05/OB2DEMO00502030101.sre",
              SrecText({{0xE000, application}}));
    WriteFile(kit + "/LIB/KvOrb1Mb/SREHARD12.sre", SrecText({{0x4000, driver}}));
    WriteFile(kit + "/LIB/KvOrb1Mb/SREHARD9.sre", "not a driver\n");  // older: never read
    Simulator sim(
        {"--reader", "5", "--virtual", "4", "--ports-dir", dir.path(), "--once", "--dump", dump});
    ASSERT_TRUE(sim.Started());
    ASSERT_TRUE(ReadReady(sim).has_value());

    const auto [code, errors] =
        RunBrenmark(dir.path(), dir.path(), {"|PATHMKI=\"" + kit + "/\"", "|COM=0"});
    EXPECT_EQ(code, 0) << errors;
    EXPECT_EQ(sim.Wait(), 0);
    const Bytes flash = ReadBytes(dump);
    EXPECT_EQ(Compare(flash, 0x4000, {'K', 'V'}), "");
    EXPECT_EQ(Compare(flash, 0x4002, Bytes(driver.begin() + 2, driver.end())), "");
    EXPECT_EQ(Compare(flash, 0xE000, application), "");
}

TEST(BrenmarkKit, PortMissingStopsWithTheMessage) {
    TempDir dir;
    const std::string kit = dir.path() + "/kit";
    WriteKit(kit, 0, 0x0007);  // COM7: nothing serves it
    WriteFile(kit + "/Download/KvTal/App05/TS2DEMO00502030101.sre",
              SrecText({{0x2000, Pattern(64, 1)}}));
    const auto [code, errors] =
        RunBrenmark(dir.path(), dir.path(), {"|PATHMKI=\"" + kit + "/\"", "|COM=0"});
    EXPECT_NE(code, 0);
    EXPECT_THAT(errors, ::testing::HasSubstr("Download serial port is not available."));
}

TEST(BrenmarkKit, EraseCodeModeFromTheOptionsFile) {
    TempDir dir;
    const std::string kit = dir.path() + "/kit";
    const std::string dump = dir.path() + "/flash.bin";
    WriteKit(kit, 2, 0x8003);
    WriteFile(dir.path() + "/Brenmark.ini", "[OPTIONS]\r\nDownloadType=3\r\n");
    Simulator sim(
        {"--reader", "2", "--virtual", "3", "--ports-dir", dir.path(), "--once", "--dump", dump});
    ASSERT_TRUE(sim.Started());
    ASSERT_TRUE(ReadReady(sim).has_value());
    const auto [code, errors] =
        RunBrenmark(dir.path(), dir.path(), {"|PATHMKI=\"" + kit + "/\"", "|COM=0"});
    EXPECT_EQ(code, 0) << errors;
    EXPECT_EQ(sim.Wait(), 1);  // no signed image: the code is erased
    const Bytes flash = ReadBytes(dump);
    ASSERT_FALSE(flash.empty());
    EXPECT_EQ(std::count(flash.begin(), flash.end(), 0xFF), static_cast<long>(flash.size()));
}

// Download type 1 run by the program's widgets offscreen, on the port fixed by the command line.
class AutomaticBinaryLoading : public ::testing::Test {
  protected:
    // The sealed options file naming `number` and its predecessors, and an image "005".
    void Prepare(const std::string& numbers) {
        WriteFile(dir.path() + "/Brenmark.ini",
                  "[OPTIONS]\r\nDownloadType=1\r\n[CHECK_APP_NUM]\r\nCheck=1\r\n" + numbers +
                      "[KORVEL_OPTIONS]\r\nCheckValue=\r\n");
        ASSERT_EQ(RunTool({"seal", dir.path() + "/Brenmark.ini"}), 0);
        Bytes plain = Pattern(0xA002 + 0x1400, 11);
        plain[0] = 0x3C;
        plain[1] = 0xA5;
        std::memcpy(&plain[0xA013], "005", 3);
        WriteFile(dir.path() + "/plain.bin", std::string(plain.begin(), plain.end()));
        ASSERT_EQ(RunTool({"encipher", "--key-selector", "0", dir.path() + "/plain.bin",
                           dir.path() + "/image0005.kor"}),
                  0);
        plainImage = plain;
    }
    int Run() {
        setenv("KORVEL_PORTS_DIR", dir.path().c_str(), 1);
        setenv("KORVEL_REGISTRY", (dir.path() + "/settings.reg").c_str(), 1);
        SettingsSources sources(dir.path());
        StartupOptions options;
        options.steps = &sources;
        options.onShown = [&](DownloadWindow& window) {
            shownFile =
                qobject_cast<QLineEdit*>(window.Control(kApplicationFile))->text().toStdString();
            QTest::mouseClick(window.Control(kStart), Qt::LeftButton);
            auto* watch = new QTimer(&window);
            QObject::connect(watch, &QTimer::timeout, &window, [&window, watch] {
                if (!window.Control(kQuit)->isEnabled()) return;
                watch->stop();
                QTest::mouseClick(window.Control(kQuit), Qt::LeftButton);
            });
            watch->start(50);
        };
        const int code = RunProgram("SerialVirtualPort=3", options);
        unsetenv("KORVEL_PORTS_DIR");
        unsetenv("KORVEL_REGISTRY");
        return code;
    }

    TempDir dir;
    std::string dump = dir.path() + "/flash.bin";
    Bytes plainImage;
    std::string shownFile;
};

TEST_F(AutomaticBinaryLoading, TheReaderTakesItsOwnApplication) {
    Prepare("AppNumber=5\r\nPreviousAppNumber1=4\r\nPreviousAppNumber2=3\r\n");
    Simulator sim({"--reader", "2", "--virtual", "3", "--ports-dir", dir.path(), "--once",
                   "--app-number", "5", "--dump", dump});
    ASSERT_TRUE(sim.Started());
    ASSERT_TRUE(ReadReady(sim).has_value());
    EXPECT_EQ(Run(), 0);
    EXPECT_EQ(shownFile, dir.path() + "/image0005.kor");
    EXPECT_EQ(sim.Wait(), 0);
    const Bytes flash = ReadBytes(dump);
    // 0xF000-0xFFFF is never written.
    EXPECT_EQ(Compare(flash, 0xE000,
                      Bytes(plainImage.begin() + 0xA002, plainImage.begin() + 0xA002 + 0x1000)),
              "");
}

TEST_F(AutomaticBinaryLoading, TheReaderRefusesAnotherApplication) {
    Prepare("AppNumber=7\r\nPreviousAppNumber1=6\r\nPreviousAppNumber2=4\r\n");
    Simulator sim({"--reader", "2", "--virtual", "3", "--ports-dir", dir.path(), "--once",
                   "--app-number", "5", "--dump", dump});
    ASSERT_TRUE(sim.Started());
    ASSERT_TRUE(ReadReady(sim).has_value());
    EXPECT_NE(Run(), 0);
    EXPECT_EQ(sim.Wait(), 1);  // nothing written
}

TEST(BrenmarkSettings, DialogFilledFromTheStoreStartsWithAltS) {
    TempDir dir;
    const std::string store = dir.path() + "/brenmark.reg";
    const Bytes image = Pattern(300, 5);
    const std::string app = dir.path() + "/app.sre";
    WriteFile(app, SrecText({{0x2000, image}}));
    WriteFile(store,
              "Windows Registry Editor Version 5.00\r\n\r\n"
              "[HKEY_LOCAL_MACHINE\\Software\\Korvel\\Brenmark]\r\n"
              "\"FileName\"=\"" +
                  app +
                  "\"\r\n\"nCom\"=dword:80000003\r\n"
                  "\"readerType\"=dword:00000000\r\n");
    setenv("KORVEL_PORTS_DIR", dir.path().c_str(), 1);
    setenv("KORVEL_REGISTRY", store.c_str(), 1);
    Simulator sim({"--reader", "0", "--loader", "raw", "--virtual", "3", "--ports-dir", dir.path(),
                   "--once"});
    ASSERT_TRUE(sim.Started());
    ASSERT_TRUE(ReadReady(sim).has_value());

    std::string file, port, type;
    bool began = false;
    SettingsSources sources(dir.path());
    StartupOptions options;
    options.steps = &sources;
    options.onShown = [&](DownloadWindow& window) {
        file = qobject_cast<QLineEdit*>(window.Control(kApplicationFile))->text().toStdString();
        port = qobject_cast<QComboBox*>(window.Control(kPortList))->currentText().toStdString();
        type = qobject_cast<QComboBox*>(window.Control(kTerminalList))->currentText().toStdString();
        QApplication::setActiveWindow(&window);
        ASSERT_TRUE(QTest::qWaitForWindowActive(&window));
        QTest::keyClick(&window, Qt::Key_S, Qt::AltModifier);
        // The mnemonic presses the button visibly before it clicks: wait for the download to
        // begin, then for its end.
        auto* watch = new QTimer(&window);
        QObject::connect(watch, &QTimer::timeout, &window, [&window, watch, &began] {
            if (!window.Control(kStart)->isEnabled()) {
                began = true;
                return;
            }
            if (!began) return;
            watch->stop();
            QTest::mouseClick(window.Control(kQuit), Qt::LeftButton);
        });
        watch->start(50);
    };
    EXPECT_EQ(RunProgram("", options), 0);
    EXPECT_TRUE(began);
    EXPECT_EQ(file, app);
    EXPECT_EQ(port, "KORVEL03");
    EXPECT_EQ(type, "KvTal (64 Kb)");
    EXPECT_EQ(sim.Wait(), 0);
    // Quit remembered the same settings.
    std::ifstream in(store);
    const std::string saved((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    EXPECT_THAT(saved, ::testing::HasSubstr("\"nCom\"=dword:80000003"));
    unsetenv("KORVEL_PORTS_DIR");
    unsetenv("KORVEL_REGISTRY");
}

}  // namespace
