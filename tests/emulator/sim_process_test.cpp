// korvel-sim as a program: started on a real pseudo-terminal with its own ports directory, reached
// through its port entry with wire frames, and stopped.
#include <fcntl.h>
#include <poll.h>
#include <sys/stat.h>
#include <termios.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <optional>
#include <string>
#include <vector>

#include "emulator_support.h"
#include "zr318/wire.h"

using namespace emulatortest;

namespace {

namespace fs = std::filesystem;
using Bytes = std::vector<uint8_t>;
using Clock = std::chrono::steady_clock;
using korvel::wire::Kind;

// The host's side: the port opened in raw mode like the link opens it.
class Port {
  public:
    explicit Port(const std::string& path)
        : fd_(open(path.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK)) {
        termios settings;
        if (fd_ >= 0 && tcgetattr(fd_, &settings) == 0) {
            cfmakeraw(&settings);
            tcsetattr(fd_, TCSANOW, &settings);
        }
    }
    ~Port() {
        if (fd_ >= 0) close(fd_);
    }
    bool is_open() const { return fd_ >= 0; }

    bool Send(Kind kind, const Bytes& payload) {
        const Bytes frame = korvel::wire::Encode(kind, payload.data(), payload.size());
        return write(fd_, frame.data(), frame.size()) == static_cast<ssize_t>(frame.size());
    }

    // The next frame; nothing when the line stays quiet. `hungUp` tells a line that failed.
    std::optional<korvel::wire::Frame> Receive(bool* hungUp = nullptr) {
        const Clock::time_point deadline = Clock::now() + kPatience;
        korvel::wire::Frame frame;
        while (!decoder_.Next(frame)) {
            pollfd p{fd_, POLLIN, 0};
            if (poll(&p, 1, MillisecondsLeft(deadline)) <= 0) return std::nullopt;
            uint8_t buffer[512];
            const ssize_t got = read(fd_, buffer, sizeof buffer);
            if (got <= 0 || (p.revents & (POLLHUP | POLLERR))) {
                if (hungUp) *hungUp = true;
                return std::nullopt;
            }
            decoder_.Feed(buffer, static_cast<size_t>(got));
        }
        return frame;
    }

    // The status byte answering one loader frame; -1 when none came.
    int Exchange(const Bytes& loaderFrame) {
        if (!Send(Kind::Message, loaderFrame)) return -1;
        const auto answer = Receive();
        if (!answer || answer->kind != Kind::Message || answer->payload.size() != 1) return -1;
        return answer->payload[0];
    }

  private:
    int fd_;
    korvel::wire::Decoder decoder_;
};

Bytes Header(uint8_t command, uint32_t load, size_t length) {
    return {static_cast<uint8_t>(length >> 8),
            static_cast<uint8_t>(length),
            command,
            0,
            0,
            0,
            static_cast<uint8_t>(load >> 16),
            static_cast<uint8_t>(load >> 8),
            static_cast<uint8_t>(load)};
}

bool EntryExists(const std::string& path) {
    struct stat info;
    return lstat(path.c_str(), &info) == 0;
}

TEST(SimProcessTest, AnswersAResetThroughItsEntryAndRemovesTheEntryOnSigterm) {
    TempDir dir;
    const std::string dump = dir.path() + "/flash.bin";
    const std::string transcript = dir.path() + "/transcript.jsonl";
    Simulator sim({"--reader", "0", "--loader", "addressed", "--com", "7", "--ports-dir",
                   dir.path(), "--dump", dump, "--transcript", transcript});
    ASSERT_TRUE(sim.Started());
    const std::optional<Ready> ready = ReadReady(sim);
    ASSERT_TRUE(ready);
    EXPECT_EQ(ready->entry, dir.path() + "/COM7");
    EXPECT_EQ(fs::read_symlink(ready->entry).string(), ready->device);

    {
        // A port prober opening and closing the port must not disturb the line.
        for (int i = 0; i < 3; ++i) Port probe(ready->entry);
        Port port(ready->entry);
        ASSERT_TRUE(port.is_open());
        ASSERT_TRUE(port.Send(Kind::ResetLoader, {0}));
        const auto answer = port.Receive();
        ASSERT_TRUE(answer);
        EXPECT_EQ(answer->kind, Kind::LoaderReady);
        EXPECT_EQ(answer->payload, (Bytes{0x00, 0x01}));  // running, addressed loader
        Bytes write = Header(3, 0x2000, 1);
        write.push_back(0x00);
        EXPECT_EQ(port.Exchange(write), 0x21);  // a write before the program routine
    }
    // The host closed the port: the same entry serves the next host.
    {
        Port port(ready->entry);
        ASSERT_TRUE(port.Send(Kind::ResetLoader, {0}));
        const auto answer = port.Receive();
        ASSERT_TRUE(answer);
        EXPECT_EQ(answer->payload, (Bytes{0x00, 0x01}));
        EXPECT_EQ(port.Exchange(Header(8, 0, 0)), 0);  // EndSession
    }

    sim.Stop(StopRequest::Terminate);
    EXPECT_EQ(sim.Wait(), 0);
    EXPECT_FALSE(EntryExists(ready->entry));
    EXPECT_EQ(fs::file_size(dump), 0x10000u);
    std::ifstream lines(transcript);
    std::string first;
    std::getline(lines, first);
    EXPECT_EQ(first,
              R"({"session":1,"index":0,"kind":"reset","address":null,"length":1,"answer":0})");
}

TEST(SimProcessTest, OnceExitsAfterTheSessionWithTheImageVerdict) {
    TempDir dir;
    const std::string dump = dir.path() + "/flash.bin";
    Simulator sim({"--reader", "1", "--loader", "addressed", "--virtual", "3", "--ports-dir",
                   dir.path(), "--dump", dump, "--once"});
    const std::optional<Ready> ready = ReadReady(sim);
    ASSERT_TRUE(ready);
    EXPECT_EQ(ready->entry, dir.path() + "/Korvel_reader_03");
    {
        Port port(ready->entry);
        ASSERT_TRUE(port.Send(Kind::ResetLoader, {0}));
        ASSERT_TRUE(port.Receive());
        // No erase and no program routine: the signature write is refused, and the session ends.
        Bytes sign = Header(3, 0x2000, 2);
        sign.push_back('K');
        sign.push_back('V');
        EXPECT_EQ(port.Exchange(sign), 0x21);
        EXPECT_EQ(port.Exchange(Header(8, 0, 0)), 0);
    }
    EXPECT_EQ(sim.Wait(), 1);  // no signed image
    EXPECT_FALSE(EntryExists(ready->entry));
    std::ifstream file(dump, std::ios::binary);
    const Bytes flash((std::istreambuf_iterator<char>(file)), std::istreambuf_iterator<char>());
    EXPECT_EQ(flash, Bytes(0x10000, 0xFF));
}

TEST(SimProcessTest, OnceWaitsThroughReaderDetectionForTheSessionThatDownloads) {
    TempDir dir;
    Simulator sim({"--reader", "5", "--virtual", "6", "--ports-dir", dir.path(), "--once"});
    const std::optional<Ready> ready = ReadReady(sim);
    ASSERT_TRUE(ready);
    {
        // Reader detection: a light reset, its end frame, and the host leaves.
        Port port(ready->entry);
        ASSERT_TRUE(port.Send(Kind::ResetLoader, {3}));
        const auto answer = port.Receive();
        ASSERT_TRUE(answer);
        EXPECT_EQ(answer->payload, (Bytes{0x00, 0x00}));
        EXPECT_EQ(port.Exchange(Header(8, 0, 0)), 0);
    }
    {
        // The download that follows is still answered, and its end ends the run.
        Port port(ready->entry);
        ASSERT_TRUE(port.Send(Kind::ResetLoader, {1}));
        const auto answer = port.Receive();
        ASSERT_TRUE(answer);
        EXPECT_EQ(answer->payload, (Bytes{0x00, 0x00}));
        EXPECT_EQ(port.Exchange(Header(8, 0, 0)), 0);
    }
    EXPECT_EQ(sim.Wait(), 1);  // ended by the download's session: no signed image
    EXPECT_FALSE(EntryExists(ready->entry));
}

TEST(SimProcessTest, ADumpThatCannotBeWrittenIsAFailureNamingIt) {
    TempDir dir;
    // Refused at the start: a directory that does not exist, a path that is a directory.
    for (const std::string& dump : {dir.path() + "/missing/flash.bin", dir.path()}) {
        SCOPED_TRACE(dump);
        const korvel::testkit::Outcome run =
            korvel::testkit::RunToEnd({.program = kSimulator,
                                       .arguments = {"--reader", "0", "--com", "6", "--ports-dir",
                                                     dir.path(), "--dump", dump},
                                       .environmentOnly = true},
                                      kPatience);
        EXPECT_EQ(run.code, 2);
        EXPECT_NE(run.err.find("cannot write the flash dump " + dump + ": "), std::string::npos)
            << run.err;
        EXPECT_FALSE(EntryExists(dir.path() + "/COM6"));
    }

    // Writable at the start, gone by the end: the exit code says so, the message names the file.
    const std::string sub = dir.path() + "/dumps";
    fs::create_directory(sub);
    korvel::testkit::RunningProgram sim(
        {.program = kSimulator,
         .arguments = {"--reader", "0", "--com", "6", "--ports-dir", dir.path(), "--dump",
                       sub + "/f.bin"},
         .output = korvel::testkit::Output::IntoFile(dir.File("sim.out")),
         .errors = korvel::testkit::Output::IntoFile(dir.File("sim.err"))});
    const Clock::time_point deadline = Clock::now() + kPatience;
    while (ReadText(dir.path() + "/sim.out").rfind("ready ", 0) != 0 && Clock::now() < deadline) {
        usleep(10000);
    }
    ASSERT_EQ(ReadText(dir.path() + "/sim.out").rfind("ready ", 0), 0u);
    fs::remove_all(sub);
    sim.Stop(StopRequest::Terminate);
    EXPECT_EQ(sim.Wait(kPatience), 3);
    const std::string err = ReadText(dir.path() + "/sim.err");
    EXPECT_NE(err.find("cannot write the flash dump " + sub + "/f.bin: No such file"),
              std::string::npos)
        << err;
}

TEST(SimProcessTest, InjectedHangUpFailsTheHostsLineAndANewLineTakesTheEntry) {
    TempDir dir;
    Simulator sim({"--reader", "0", "--com", "5", "--ports-dir", dir.path(), "--hangup-at", "1"});
    const std::optional<Ready> ready = ReadReady(sim);
    ASSERT_TRUE(ready);
    {
        Port port(ready->entry);
        ASSERT_TRUE(port.Send(Kind::ResetLoader, {0}));
        ASSERT_TRUE(port.Receive());
        ASSERT_TRUE(port.Send(Kind::Message, Bytes(241, 0)));
        bool hungUp = false;
        EXPECT_FALSE(port.Receive(&hungUp));
        EXPECT_TRUE(hungUp);
    }
    // A second emulator for the same port is refused while this one runs.
    Simulator rival({"--reader", "0", "--com", "5", "--ports-dir", dir.path()});
    EXPECT_EQ(rival.Wait(), 2);

    Port port(ready->entry);
    ASSERT_TRUE(port.is_open());
    ASSERT_TRUE(port.Send(Kind::ResetLoader, {0}));
    const auto answer = port.Receive();
    ASSERT_TRUE(answer);
    EXPECT_EQ(answer->payload, (Bytes{0x00, 0x00}));  // running, raw loader
    sim.Stop(StopRequest::Interrupt);
    EXPECT_EQ(sim.Wait(), 0);
    EXPECT_FALSE(EntryExists(ready->entry));
}

TEST(SimProcessTest, ReplacesAStaleEntryButNeverSomebodyElses) {
    TempDir dir;
    const std::string entry = dir.path() + "/COM4";
    fs::create_symlink("/dev/korvel-no-such-device", entry);  // left by an emulator that died
    Simulator sim({"--reader", "0", "--com", "4", "--ports-dir", dir.path()});
    const std::optional<Ready> ready = ReadReady(sim);
    ASSERT_TRUE(ready);
    EXPECT_EQ(fs::read_symlink(entry).string(), ready->device);
    sim.Stop(StopRequest::Terminate);
    EXPECT_EQ(sim.Wait(), 0);

    // An entry that leads to a device nobody emulates (a real adapter, say) is left alone.
    fs::create_symlink("/dev/null", entry);
    Simulator refused({"--reader", "0", "--com", "4", "--ports-dir", dir.path()});
    EXPECT_EQ(refused.Wait(), 2);
    EXPECT_EQ(fs::read_symlink(entry).string(), "/dev/null");
}

}  // namespace
