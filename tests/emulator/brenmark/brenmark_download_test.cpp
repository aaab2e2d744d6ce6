// Brenmark end to end: the program's real widgets, offscreen, download an S-record application to
// the emulator on KORVEL03; an automatic run with nothing to download ends by itself.
#include <gmock/gmock.h>
#include <spawn.h>

#include <QApplication>
#include <QComboBox>
#include <QLabel>
#include <QLineEdit>
#include <QProgressBar>
#include <QPushButton>
#include <QTest>
#include <QTimer>
#include <set>

#include "download_window.h"
#include "emulator_support.h"
#include "startup.h"

namespace {

using namespace emulatortest;
using namespace brenmark;

// An application of 1,500 bytes from 0x2000, in 32-byte S2 records.
std::string WriteApplication(const std::string& dir) {
    std::string text;
    char field[16];
    for (size_t i = 0; i < 1500; i += 32) {
        const size_t n = std::min<size_t>(32, 1500 - i);
        const size_t at = 0x2000 + i;
        unsigned sum = static_cast<unsigned>(n + 4 + (at >> 8) + (at & 0xFF));
        std::snprintf(field, sizeof field, "S2%02X%06zX", static_cast<unsigned>(n + 4), at);
        text += field;
        for (size_t j = 0; j < n; ++j) {
            const unsigned byte = static_cast<unsigned>((i + j) * 31 + 7) & 0xFF;
            std::snprintf(field, sizeof field, "%02X", byte);
            text += field;
            sum += byte;
        }
        std::snprintf(field, sizeof field, "%02X\n", ~sum & 0xFFu);
        text += field;
    }
    text += "S804002000DB\n";
    const std::string path = dir + "/app.sre";
    std::ofstream(path) << text;
    return path;
}

TEST(BrenmarkEndToEnd, DownloadsThroughTheWidgetsAndMakesItselfReadyAgain) {
    TempDir dir;
    setenv("KORVEL_PORTS_DIR", dir.path.c_str(), 1);
    Simulator sim(
        {"--reader", "0", "--loader", "raw", "--virtual", "3", "--ports-dir", dir.path, "--once"});
    ASSERT_TRUE(sim.Started());
    ASSERT_TRUE(ReadReady(sim).has_value());
    const std::string app = WriteApplication(dir.path);

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
    setenv("KORVEL_PORTS_DIR", dir.path.c_str(), 1);
    // A slow reader: half a second before every answer, so that the reset comes mid-download.
    Simulator sim({"--reader", "0", "--loader", "raw", "--virtual", "3", "--ports-dir", dir.path,
                   "--once", "--delay", "500"});
    ASSERT_TRUE(sim.Started());
    ASSERT_TRUE(ReadReady(sim).has_value());
    const std::string app = WriteApplication(dir.path);

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
    const std::string program = std::string(KORVEL_BINARY_DIR) + "/bin/brenmark";
    int err[2];
    if (pipe(err) != 0) return {-1, ""};
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_adddup2(&actions, err[1], STDERR_FILENO);
    posix_spawn_file_actions_addclose(&actions, err[0]);
    args.insert(args.begin(), program);
    std::vector<char*> argv;
    for (std::string& arg : args) argv.push_back(arg.data());
    argv.push_back(nullptr);
    std::vector<std::string> env = {"KORVEL_PORTS_DIR=" + portsDir, "HOME=" + portsDir,
                                    "PATH=/usr/bin:/bin"};
    std::vector<char*> envp;
    for (std::string& entry : env) envp.push_back(entry.data());
    envp.push_back(nullptr);
    pid_t pid = -1;
    const int spawned =
        posix_spawn(&pid, program.c_str(), &actions, nullptr, argv.data(), envp.data());
    posix_spawn_file_actions_destroy(&actions);
    close(err[1]);
    std::string output;
    int code = -1;
    if (spawned == 0) {
        const Clock::time_point deadline = Clock::now() + kPatience;
        char buffer[512];
        for (;;) {
            pollfd p{err[0], POLLIN, 0};
            if (poll(&p, 1, MillisecondsLeft(deadline)) <= 0) break;
            const ssize_t n = read(err[0], buffer, sizeof buffer);
            if (n <= 0) break;
            output.append(buffer, static_cast<size_t>(n));
        }
        int status = 0;
        while (Clock::now() < deadline && waitpid(pid, &status, WNOHANG) == 0) usleep(10000);
        if (waitpid(pid, &status, WNOHANG) == 0 && kill(pid, 0) == 0) {
            kill(pid, SIGKILL);
            waitpid(pid, &status, 0);
        } else if (WIFEXITED(status)) {
            code = WEXITSTATUS(status);
        }
    }
    close(err[0]);
    return {code, output};
}

TEST(BrenmarkEndToEnd, AutomaticRunWithNothingToDownloadEndsByItself) {
    TempDir dir;
    // No kit configuration: COM1 and the first reader type's application, which is not there.
    const auto [code, errors] = RunUnattended(dir.path, {"|PATHMKI=\"/nowhere/\"", "|COM=0"});
    EXPECT_NE(code, 0);
    EXPECT_THAT(errors,
                ::testing::AnyOf(::testing::HasSubstr("Download/KvTal/App00/TS200000000101.sre"),
                                 ::testing::HasSubstr("Download serial port is not available.")));
}

}  // namespace
