// Brenmark end to end: the program's real widgets, offscreen, download an S-record application to
// the emulator on KORVEL03; an automatic run with nothing to download ends by itself.
#include <gmock/gmock.h>

#include <QApplication>
#include <QComboBox>
#include <QLabel>
#include <QLineEdit>
#include <QProgressBar>
#include <QPushButton>
#include <QTest>
#include <QTimer>
#include <set>

#include "brenmark/download_window.h"
#include "brenmark/startup.h"
#include "emulator_support.h"

namespace {

using namespace emulatortest;
using namespace brenmark;

// An application of 1,500 bytes from 0x2000, in 32-byte S2 records.
std::string WriteApplication(const std::string& dir) {
    Bytes bytes(1500);
    for (size_t i = 0; i < bytes.size(); ++i) bytes[i] = static_cast<uint8_t>(i * 31 + 7);
    return WriteFile(dir + "/app.sre", SrecText({{0x2000, bytes}}));
}

TEST(BrenmarkEndToEnd, DownloadsThroughTheWidgetsAndMakesItselfReadyAgain) {
    TempDir dir;
    setenv("KORVEL_PORTS_DIR", dir.path().c_str(), 1);
    Simulator sim({"--reader", "0", "--loader", "raw", "--virtual", "3", "--ports-dir", dir.path(),
                   "--once"});
    ASSERT_TRUE(sim.Started());
    ASSERT_TRUE(ReadReady(sim).has_value());
    const std::string app = WriteApplication(dir.path());

    std::set<std::string> lines;  // progress lines seen while the download ran
    int maxBar = 0;
    int ticksWhileBusy = 0;  // events the dialog handled while the worker ran
    bool started = false;
    bool readyAgain = false;
    std::string lineWhenReady;

    StartupOptions options;
    options.onShown = [&](DownloadWindow& window) {
        auto* types = qobject_cast<QComboBox*>(window.Control(kTerminalList));
        auto* ports = qobject_cast<QComboBox*>(window.Control(kPortList));
        auto* file = qobject_cast<QLineEdit*>(window.Control(kApplicationFile));
        auto* start = window.Control(kStart);
        auto* quit = window.Control(kQuit);
        auto* bar = qobject_cast<QProgressBar*>(window.Control(kProgressBar));
        auto* line = qobject_cast<QLabel*>(window.Control(kProgressText));

        QTest::keyClick(types, Qt::Key_Home);  // "KvTal (64 Kb)"
        const int korvel03 = ports->findText("KORVEL03");
        ASSERT_GE(korvel03, 0);
        ports->setCurrentIndex(korvel03);
        QTest::keyClicks(file, QString::fromStdString(app));
        QTest::mouseClick(start, Qt::LeftButton);
        started = !start->isEnabled() && !quit->isEnabled();

        auto* watch = new QTimer(&window);
        QObject::connect(watch, &QTimer::timeout, &window,
                         [=, &lines, &maxBar, &ticksWhileBusy, &readyAgain, &lineWhenReady] {
                             if (!start->isEnabled()) {
                                 ++ticksWhileBusy;
                                 maxBar = std::max(maxBar, bar->value());
                                 lines.insert(line->text().toStdString());
                                 return;
                             }
                             watch->stop();
                             readyAgain =
                                 quit->isEnabled() && types->isEnabled() && bar->value() == 0;
                             lineWhenReady = line->text().toStdString();
                             QTest::mouseClick(quit, Qt::LeftButton);
                         });
        watch->start(50);
    };

    const int exitCode = RunProgram("", options);
    EXPECT_TRUE(started);
    EXPECT_EQ(exitCode, 0);  // the worker's exit code
    EXPECT_TRUE(readyAgain);
    EXPECT_EQ(lineWhenReady, " ");
    EXPECT_GT(ticksWhileBusy, 2);
    EXPECT_EQ(maxBar, 100);
    EXPECT_TRUE(lines.count("Progression : Download completed."))
        << ::testing::PrintToString(lines);
    EXPECT_EQ(sim.Wait(), 0);  // the emulated flash holds the application
    unsetenv("KORVEL_PORTS_DIR");
}

TEST(BrenmarkEndToEnd, EscapeDuringADownloadResetsTheReaderAndStopsIt) {
    TempDir dir;
    setenv("KORVEL_PORTS_DIR", dir.path().c_str(), 1);
    // A slow reader: half a second before every answer, so that the reset comes mid-download.
    Simulator sim({"--reader", "0", "--loader", "raw", "--virtual", "3", "--ports-dir", dir.path(),
                   "--once", "--delay", "500"});
    ASSERT_TRUE(sim.Started());
    ASSERT_TRUE(ReadReady(sim).has_value());
    const std::string app = WriteApplication(dir.path());

    bool stayedOpen = false;
    bool readyAgain = false;
    std::set<std::string> lines;
    StartupOptions options;
    options.onShown = [&](DownloadWindow& window) {
        QTest::keyClick(window.Control(kTerminalList), Qt::Key_Home);
        auto* ports = qobject_cast<QComboBox*>(window.Control(kPortList));
        ports->setCurrentIndex(ports->findText("KORVEL03"));
        qobject_cast<QLineEdit*>(window.Control(kApplicationFile))
            ->setText(QString::fromStdString(app));
        QTest::mouseClick(window.Control(kStart), Qt::LeftButton);
        QTest::keyClick(&window, Qt::Key_Escape);
        stayedOpen = window.isVisible();
        auto* watch = new QTimer(&window);
        QObject::connect(watch, &QTimer::timeout, &window, [&, watch] {
            lines.insert(
                qobject_cast<QLabel*>(window.Control(kProgressText))->text().toStdString());
            if (!window.Control(kQuit)->isEnabled()) return;
            watch->stop();
            readyAgain = window.Control(kStart)->isEnabled();
            QTest::mouseClick(window.Control(kQuit), Qt::LeftButton);
        });
        watch->start(50);
    };

    const int exitCode = RunProgram("", options);
    EXPECT_TRUE(stayedOpen);
    EXPECT_TRUE(readyAgain);
    EXPECT_NE(exitCode, 0);  // the stopped download's status
    EXPECT_FALSE(lines.count("Progression : Download completed."));
    EXPECT_EQ(sim.Wait(), 1);  // no signed image in the reader
    unsetenv("KORVEL_PORTS_DIR");
}

// Runs the program with arguments and an empty ports directory, without a display; its exit code
// (-1 when it did not end within the patience) and what it wrote on stderr.
std::pair<int, std::string> RunUnattended(const std::string& portsDir,
                                          std::vector<std::string> args) {
    const korvel::testkit::Outcome run =
        korvel::testkit::RunToEnd({.program = std::string(KORVEL_BINARY_DIR) + "/bin/brenmark",
                                   .arguments = std::move(args),
                                   .environment = {{"KORVEL_PORTS_DIR", portsDir},
                                                   {"HOME", portsDir},
                                                   {"PATH", "/usr/bin:/bin"}},
                                   .environmentOnly = true},
                                  kPatience);
    return {run.code, run.err};
}

TEST(BrenmarkEndToEnd, AutomaticRunWithNothingToDownloadEndsByItself) {
    TempDir dir;
    // No kit configuration: COM1 and the first reader type's application, which is not there.
    const auto [code, errors] = RunUnattended(dir.path(), {"|PATHMKI=\"/nowhere/\"", "|COM=0"});
    EXPECT_NE(code, 0);
    EXPECT_THAT(errors,
                ::testing::AnyOf(::testing::HasSubstr("Download/KvTal/App00/TS200000000101.sre"),
                                 ::testing::HasSubstr("Download serial port is not available.")));
}

}  // namespace
