// Child processes, seen from outside: how they end, what they get, and what is cleaned up after
// a parent killed outright.
#include "base/process.h"

#ifdef _WIN32
#include <windows.h>
#else
#include <unistd.h>
#endif

#include <chrono>
#include <csignal>
#include <filesystem>
#include <string>
#include <thread>

#include <gtest/gtest.h>

#include "base/interrupts.h"
#include "base/text.h"
#include "base/wait.h"
#include "support/temp_dir.h"

namespace {

using namespace korvel::base;
using namespace std::chrono_literals;
namespace fs = std::filesystem;

constexpr auto kPatience = 20s;  // failure guard only: every child here ends at once when asked

#ifdef _WIN32
// Windows has no signals: a child stopped on request reports the POSIX number of the request.
constexpr int kKilled = 9;
constexpr int kTerminated = 15;
#else
constexpr int kKilled = SIGKILL;
constexpr int kTerminated = SIGTERM;
#endif

SpawnOptions Helper(std::vector<std::string> arguments) {
    SpawnOptions options;
    options.program = KORVEL_BASE_CHILD;
    options.arguments = {options.program};
    options.arguments.insert(options.arguments.end(), arguments.begin(), arguments.end());
    return options;
}

// The first line a child writes to its piped output.
std::string FirstLine(Child& child) {
    std::string text;
    uint8_t byte = 0;
    const auto deadline = std::chrono::steady_clock::now() + kPatience;
    while (std::chrono::steady_clock::now() < deadline) {
        const Waitable items[] = {child.output()};
        if (!WaitForAny(items, 100ms)) break;
        Expected<size_t> got = child.output().Read({&byte, 1});
        if (!got && got.error().cause == Cause::WouldBlock) continue;
        if (!got || *got == 0 || byte == '\n') break;
        text += static_cast<char>(byte);
    }
    return text;
}

TEST(Process, AnExitCodeIsToldApartFromTheSignalThatEndedAChild) {
    Expected<Child> exited = Child::Spawn(Helper({"exit", "137"}));
    ASSERT_TRUE(exited) << exited.error().message;
    Expected<ExitStatus> code = exited->Wait();
    ASSERT_TRUE(code);
    EXPECT_EQ(*code, ExitStatus::Exited(137));

    Expected<Child> killed = Child::Spawn(Helper({"sleep"}));
    ASSERT_TRUE(killed);
    Expected<std::optional<ExitStatus>> running = killed->Poll();
    ASSERT_TRUE(running);
    EXPECT_FALSE(*running) << "still running";
    ASSERT_TRUE(killed->Stop(StopRequest::Kill));
    Expected<std::optional<ExitStatus>> signal = killed->Wait(kPatience);
    ASSERT_TRUE(signal && *signal);
    EXPECT_EQ(**signal, ExitStatus::EndedBy(kKilled));
    EXPECT_EQ((*signal)->ShellCode(), code->ShellCode()) << "a shell would show both as 137";
    EXPECT_NE(**signal, *code);
    EXPECT_EQ((*signal)->Describe(), "ended by signal 9 (Killed)");

    Expected<Child> terminated = Child::Spawn(Helper({"sleep"}));
    ASSERT_TRUE(terminated);
    ASSERT_TRUE(terminated->Stop(StopRequest::Terminate));
    EXPECT_EQ(terminated->Wait().value(), ExitStatus::EndedBy(kTerminated));

    const Expected<Child> missing =
        Child::Spawn({.program = "/nonexistent/cordane-engine", .arguments = {"cordane-engine"}});
    ASSERT_FALSE(missing) << "a program that cannot run is an error, not an exit code";
    EXPECT_EQ(missing.error().cause, Cause::NotFound);
#ifdef _WIN32
    EXPECT_EQ(missing.error().message,
              "cannot run /nonexistent/cordane-engine: " + missing.error().detail);
    EXPECT_FALSE(missing.error().detail.empty()) << "the system's own words";
#else
    EXPECT_EQ(missing.error().message,
              "cannot run /nonexistent/cordane-engine: No such file or directory");
#endif
}

TEST(Process, AChildThatOutlivesItsPatienceIsKilledAndReported) {
    Expected<Child> child = Child::Spawn(Helper({"sleep"}));
    ASSERT_TRUE(child);
    const Expected<std::optional<ExitStatus>> waited = child->Wait(10ms);
    ASSERT_TRUE(waited);
    EXPECT_FALSE(*waited) << "still running after its patience";

    const Expected<Finished> run = RunToEnd(Helper({"sleep"}), 50ms);
    ASSERT_FALSE(run);
    EXPECT_NE(run.error().message.find("did not end within 50 ms, and was killed"),
              std::string::npos)
        << run.error().message;
}

TEST(Process, AChildGetsItsEnvironmentFolderAndStreams) {
    korvel::testkit::TempDir dir;
    SpawnOptions options = Helper({"report", "KORVEL_PORTS_DIR"});
    options.environment = {{"KORVEL_PORTS_DIR", "/tmp/ports"}};
    options.directory = dir.path();
    options.nullInput = true;
    options.output = Output::Pipe();
    options.errors = Output::Pipe();
    Expected<Finished> run = RunToEnd(options, kPatience);
    ASSERT_TRUE(run) << run.error().message;
    EXPECT_TRUE(run->status.Succeeded());
    EXPECT_EQ(run->output, "KORVEL_PORTS_DIR=/tmp/ports\nfolder=" +
                               fs::canonical(dir.path()).string() + "\ninput=end\n");
    EXPECT_EQ(run->errors, "a line on standard error\n");

    // Only the environment given, and the output into a file.
    options.environmentOnly = true;
    options.environment = {};
    options.output = Output::IntoFile(dir.path() + "/out.txt");
    options.errors = Output::Null();
    run = RunToEnd(options, kPatience);
    ASSERT_TRUE(run);
    EXPECT_EQ(korvel::testkit::Lines(korvel::testkit::ReadText(dir.path() + "/out.txt")).at(0),
              "KORVEL_PORTS_DIR=(unset)");
    EXPECT_TRUE(run->errors.empty());
}

TEST(Process, TheWatcherRemovesTheFolderWhenItsProcessIsKilled) {
    SpawnOptions options = Helper({"watch", "base-test-"});
    options.output = Output::Pipe();
    Expected<Child> child = Child::Spawn(options);
    ASSERT_TRUE(child);
    const std::string folder = FirstLine(*child);
    ASSERT_FALSE(folder.empty()) << "the helper made no watched folder";
    EXPECT_TRUE(fs::exists(folder + "/global.bin"));
    EXPECT_TRUE(fs::exists(folder + "/global.bin.1234-0.tmp"));

    ASSERT_TRUE(child->Stop(StopRequest::Kill));
    EXPECT_EQ(child->Wait().value(), ExitStatus::EndedBy(kKilled));
    const auto deadline = std::chrono::steady_clock::now() + kPatience;
    while (fs::exists(folder) && std::chrono::steady_clock::now() < deadline) {
        std::this_thread::sleep_for(10ms);
    }
    EXPECT_FALSE(fs::exists(folder)) << "the folder and its files outlived their process";
}

TEST(Process, AChildMadeToEndWithItsParentEndsWhenTheParentIsKilled) {
    // The grandchild shares the helper's output: the pipe ends only once both have ended.
    SpawnOptions options = Helper({"orphan"});
    options.output = Output::Pipe();
    Expected<Child> parent = Child::Spawn(options);
    ASSERT_TRUE(parent);
    ASSERT_EQ(FirstLine(*parent), "ready");
    ASSERT_TRUE(parent->Stop(StopRequest::Kill));
    ASSERT_TRUE(parent->Wait());

    bool ended = false;
    uint8_t buffer[64];
    const auto deadline = std::chrono::steady_clock::now() + kPatience;
    while (!ended && std::chrono::steady_clock::now() < deadline) {
        const Waitable items[] = {parent->output()};
        ASSERT_TRUE(WaitForAny(items, 100ms));
        Expected<size_t> got = parent->output().Read(buffer);
        ended = got && *got == 0;
    }
    EXPECT_TRUE(ended) << "the grandchild outlived its killed parent";
}

// Sends this process the system's request to end (a request to terminate) or its keyboard
// interrupt; false where the system gives no way to.
bool Raise(Interrupt interrupt) {
#ifdef _WIN32
    // Only through a console, and only one of this process's own: the events reach every
    // process on it (a test runner too). Ctrl-Break is the request to end, Ctrl-C the keyboard's.
    DWORD attached[2];
    return ::GetConsoleProcessList(attached, 2) == 1 &&
           ::GenerateConsoleCtrlEvent(
               interrupt == Interrupt::Keyboard ? CTRL_C_EVENT : CTRL_BREAK_EVENT, 0) != 0;
#else
    return ::kill(::getpid(), interrupt == Interrupt::Keyboard ? SIGINT : SIGTERM) == 0;
#endif
}

TEST(Process, InterruptsAreCountedWaitedForAndEndAWait) {
    Expected<Interrupts> interrupts = Interrupts::Catch();
    ASSERT_TRUE(interrupts) << interrupts.error().message;
    EXPECT_FALSE(Interrupts::Catch()) << "one at a time";
    EXPECT_EQ(interrupts->Take(), 0);
    EXPECT_FALSE(interrupts->Wait(0ms).value());

    if (!Raise(Interrupt::Terminate)) {
        GTEST_SKIP() << "no console of this process's own to raise Ctrl-Break in (under Wine, "
                        "none at all)";
    }
    ASSERT_TRUE(interrupts->Wait(kPatience).value());
    Expected<Wakeup> wakeup = Wakeup::Create();
    ASSERT_TRUE(wakeup);
    const Waitable items[] = {*wakeup, *interrupts};
    Expected<std::vector<bool>> ready = WaitForAny(items, kPatience);
    ASSERT_TRUE(ready);
    EXPECT_EQ(*ready, (std::vector<bool>{false, true}));
    Interrupt last = Interrupt::HangUp;
    EXPECT_EQ(interrupts->Take(&last), 1);
    EXPECT_EQ(last, Interrupt::Terminate);
    ASSERT_TRUE(Raise(Interrupt::Keyboard));
    ASSERT_TRUE(interrupts->Wait(kPatience).value());
    EXPECT_EQ(interrupts->Take(&last), 1);
    EXPECT_EQ(last, Interrupt::Keyboard);
    EXPECT_FALSE(interrupts->Wait(0ms).value()) << "taken";

    // Another thread's wake-up ends the same wait.
    std::thread waker([&wakeup] { wakeup->Wake(); });
    ready = WaitForAny(items, kPatience);
    waker.join();
    ASSERT_TRUE(ready);
    EXPECT_EQ(*ready, (std::vector<bool>{true, false}));
    wakeup->Clear();
    ready = WaitForAny(items, 0ms);
    ASSERT_TRUE(ready);
    EXPECT_EQ(*ready, (std::vector<bool>{false, false}));
}

}  // namespace
