// The real link against a small reader on a pseudo-terminal.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <linux/serial.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <fstream>
#include <sstream>

#include "link_exchange.h"
#include "link_test_support.h"
#include "system_calls.h"
#include "zr318.h"
#include "zr318/wire.h"

namespace korvel::link {
namespace {

using korvel::testing::PtyReader;
using korvel::testing::ScopedEnv;
using korvel::testkit::TempDir;
using Bytes = std::vector<uint8_t>;

constexpr ZrPort kPort = 0x80000007u;         // KORVEL07
constexpr ZrPort kPortAsWord = 0xFFFF8007u;   // the same port, widened from its word
constexpr ZrPort kMissingPort = 0x80000011u;  // KORVEL17: no entry
constexpr unsigned kOpenFailed = unsigned{ZR_FAIL_BASE} + ZR_STATUS_OPEN_FAILED;
constexpr unsigned kCommunication = unsigned{ZR_FAIL_BASE} + ZR_STATUS_COMMUNICATION;
constexpr unsigned kNoReply = unsigned{ZR_FAIL_BASE} + ZR_STATUS_NO_REPLY;

// Closes a handle at scope end.
class Handle {
  public:
    ~Handle() { ZrClose(value); }
    int32_t value = -1;
};

class PosixLink : public ::testing::Test {
  protected:
    void SetUp() override {
        ASSERT_TRUE(reader_.Ok());
        dir_.Link("Korvel_reader_07", reader_.SlavePath());
    }

    TempDir dir_;
    ScopedEnv portsDir_{"KORVEL_PORTS_DIR", dir_.path()};
    ScopedEnv baud_{"KORVEL_BAUD", std::nullopt};
    PtyReader reader_;
};

TEST_F(PosixLink, ResetAndOpenReportsTheLoaderThatAnswered) {
    for (uint8_t kind : {0, 1}) {
        PtyReader::Script script;
        script.loaderKind = kind;
        reader_.SetScript(script);
        Handle handle;
        EXPECT_EQ(ZrResetAndOpen(kPort, &handle.value), kind);
        EXPECT_GT(handle.value, 0);
    }
    const Bytes reset = reader_.Received().back().payload;
    EXPECT_EQ(reset, Bytes{0});  // the 64 Kb reset mode

    // Both forms of a virtual port identifier reach the same reader; other resets answer 0.
    Handle large, light;
    EXPECT_EQ(ZrResetAndOpen512(kPortAsWord, &large.value), 0u);
    EXPECT_EQ(ZrResetAndOpen512Light(kPort, &light.value), 0u);
    EXPECT_NE(large.value, light.value);
    EXPECT_EQ(reader_.Received().back().payload, Bytes{3});
}

TEST_F(PosixLink, ResetFailuresMapOntoTheirStatuses) {
    Handle handle;
    EXPECT_EQ(ZrResetAndOpen(kMissingPort, &handle.value), kOpenFailed);
    EXPECT_EQ(handle.value, -1);
    int32_t opened = 0;
    EXPECT_NE(ZrOpen(0, kMissingPort, 2, 55, &opened), 0);
    EXPECT_EQ(opened, -1);

    PtyReader::Script refused;
    refused.resetStatus = 2;  // e.g. a large reset sent to a 64 Kb reader
    reader_.SetScript(refused);
    EXPECT_EQ(ZrResetAndOpen512(kPort, &handle.value), kCommunication);
    EXPECT_EQ(handle.value, -1);

    PtyReader::Script silent;
    silent.answerResets = false;
    reader_.SetScript(silent);
    EXPECT_EQ(ZrResetAndOpen512Light(kPort, &handle.value), kNoReply);
    EXPECT_EQ(handle.value, -1);

    ZrClose(-1);  // harmless, as are unknown handles
    ZrClose(12345);
    ZrKvrenReset(12345);
    ZrTimeOut(12345, 10);
    EXPECT_NE(ZrSendMessage(12345, nullptr, 0), 0);
}

TEST_F(PosixLink, ResetIsResentUntilTheReaderAnswers) {
    PtyReader::Script late;
    late.resetsToIgnore = 1;
    reader_.SetScript(late);
    Handle handle;
    EXPECT_EQ(ZrResetAndOpen512(kPort, &handle.value), 0u);
    EXPECT_GE(reader_.CountReceived(wire::Kind::ResetLoader), 2u);
}

TEST_F(PosixLink, ExchangesMessagesAndCountsDamagedFramesInOther) {
    Handle handle;
    ASSERT_EQ(ZrResetAndOpen(kPort, &handle.value), 0u);
    Answer answer = Exchange(handle.value, {0x00, 0x00, 0x08, 0, 0, 0, 0, 0, 0});
    EXPECT_EQ(answer.result, ZR_OK);
    EXPECT_EQ(answer.bytes, (Bytes{0, 0x00, 0x00, 0x08, 0, 0, 0, 0, 0, 0}));
    EXPECT_EQ(answer.other, 0);

    // A damaged frame and a frame of the wrong kind before the answer are passed over.
    PtyReader::Script noisy;
    Bytes damaged = wire::Encode(wire::Kind::Message, Bytes{0x21}.data(), 1);
    damaged.back() ^= 1;
    const Bytes stray = wire::Encode(wire::Kind::EraseDataDone, Bytes{0}.data(), 1);
    noisy.noiseBeforeAnswer = damaged;
    noisy.noiseBeforeAnswer.insert(noisy.noiseBeforeAnswer.end(), stray.begin(), stray.end());
    reader_.SetScript(noisy);
    answer = Exchange(handle.value, {0x42});
    EXPECT_EQ(answer.result, ZR_OK);
    EXPECT_EQ(answer.bytes, (Bytes{0, 0x42}));
    EXPECT_EQ(answer.other, 1);

    // Requests that cannot be framed are refused without reaching the reader.
    const Bytes tooLong(wire::kMaxPayload + 1, 0);
    EXPECT_NE(ZrSendMessage(handle.value, tooLong.data(), static_cast<int>(tooLong.size())), 0);
    EXPECT_NE(ZrSendMessage(handle.value, nullptr, 3), 0);
    EXPECT_NE(ZrSendMessage(handle.value, tooLong.data(), -1), 0);
}

TEST_F(PosixLink, AnswerArrivingBeforeARequestIsNotTakenForItsAnswer) {
    PtyReader::Script counting;
    auto count = std::make_shared<uint8_t>(0);
    counting.answer = [count](const Bytes&) { return Bytes{0, ++*count}; };
    reader_.SetScript(counting);
    Handle handle;
    ASSERT_EQ(ZrResetAndOpen512(kPort, &handle.value), 0u);

    // A frame sent alone, whose answer nobody fetches.
    const unsigned char alone = 0x08;
    ASSERT_EQ(ZrSendMessage(handle.value, &alone, 1), 0);
    ASSERT_TRUE(reader_.WaitForAnswered(1));
    std::this_thread::sleep_for(std::chrono::milliseconds(20));  // its answer crosses the tty

    const Answer answer = Exchange(handle.value, {0x09});
    EXPECT_EQ(answer.result, ZR_OK);
    EXPECT_EQ(answer.bytes, (Bytes{0, 2}));
}

TEST_F(PosixLink, NoAnswerGivesPendingThenTimeOut) {
    PtyReader::Script mute;
    mute.answerMessages = false;
    reader_.SetScript(mute);
    Handle handle;
    ASSERT_EQ(ZrResetAndOpen512(kPort, &handle.value), 0u);
    ZrTimeOut(handle.value, 150);
    const Answer answer = Exchange(handle.value, {0x01});
    EXPECT_EQ(answer.result, ZR_TIMEOUT);
    EXPECT_GE(answer.pending, 1);  // never a time-out before the time-out has passed
    // Without a new request, the time-out stays.
    EXPECT_EQ(Fetch(handle.value).result, ZR_TIMEOUT);
}

TEST_F(PosixLink, OversizedAnswerIsAFailureNotATruncation) {
    PtyReader::Script big;
    big.answer = [](const Bytes&) { return Bytes(ZR_REPLY_BUFFER + 1, 0); };
    reader_.SetScript(big);
    Handle handle;
    ASSERT_EQ(ZrResetAndOpen512(kPort, &handle.value), 0u);
    const Answer answer = Exchange(handle.value, {0x01});
    EXPECT_EQ(answer.result, ZR_STATUS_COMMUNICATION);

    big.answer = [](const Bytes&) { return Bytes(ZR_REPLY_BUFFER, 0x5A); };
    reader_.SetScript(big);
    EXPECT_EQ(Exchange(handle.value, {0x01}).bytes.size(), size_t{ZR_REPLY_BUFFER});
}

TEST_F(PosixLink, HangUpIsAFailure) {
    Handle handle;
    ASSERT_EQ(ZrResetAndOpen512(kPort, &handle.value), 0u);
    reader_.HangUp();
    const Answer answer = Fetch(handle.value);
    EXPECT_NE(answer.result, ZR_OK);
    EXPECT_NE(answer.result, ZR_TIMEOUT);
    const unsigned char frame = 0x08;
    EXPECT_NE(ZrSendMessage(handle.value, &frame, 1), 0);
}

// Runs body in a child process and gives back its exit code.
template <typename Body>
int InChild(Body body) {
    const pid_t child = fork();
    if (child == 0) _exit(body());
    int status = 0;
    waitpid(child, &status, 0);
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

TEST_F(PosixLink, PortIsExclusiveToOneProcessButSharedWithinIt) {
    Handle worker;
    ASSERT_EQ(ZrResetAndOpen512(kPort, &worker.value), 0u);

    EXPECT_EQ(InChild([] {
                  int32_t other = 0;
                  const bool openRefused = ZrOpen(0, kPort, 60000, 20, &other) != 0;
                  const bool resetRefused = ZrResetAndOpen512(kPort, &other) == kOpenFailed;
                  return openRefused && resetRefused ? 0 : 1;
              }),
              0);

    // The cancel sequence: a link of its own on the port the worker holds; its reset reaches
    // the reader, and the worker's next exchange then goes unanswered.
    {
        ZrClose(-1);
        Handle cancel;
        ASSERT_EQ(ZrOpen(0, kPortAsWord, 60000, 20, &cancel.value), 0);
        EXPECT_NE(cancel.value, worker.value);
        ZrKvrenReset(cancel.value);
        EXPECT_TRUE(reader_.WaitForReceived(wire::Kind::LeaveLoader, 1));
    }
    ZrTimeOut(worker.value, 40);
    EXPECT_EQ(Exchange(worker.value, {0x01}).result, ZR_TIMEOUT);

    // Once every link on the port is closed, another process may have it.
    ZrClose(worker.value);
    worker.value = -1;
    EXPECT_EQ(InChild([] {
                  int32_t other = 0;
                  const int result = ZrOpen(0, kPort, 2, 55, &other);
                  ZrClose(other);
                  return result;
              }),
              0);
}

TEST_F(PosixLink, EraseDataUsesTheOpenLinkOrOpensOne) {
    Handle session;
    ASSERT_EQ(ZrResetAndOpen512(kPort, &session.value), 0u);
    const int32_t before = session.value;
    EXPECT_EQ(ZrEraseData1M(kPortAsWord, &session.value), 0u);
    EXPECT_EQ(session.value, before);

    PtyReader::Script failing;
    failing.eraseStatus = 7;
    reader_.SetScript(failing);
    Handle fresh;
    EXPECT_EQ(ZrEraseData1M(kPort, &fresh.value), kCommunication);
    EXPECT_GT(fresh.value, 0);
    EXPECT_NE(fresh.value, before);
    EXPECT_EQ(reader_.CountReceived(wire::Kind::EraseData), 2u);

    Handle missing;
    EXPECT_EQ(ZrEraseData1M(kMissingPort, &missing.value), kOpenFailed);
}

TEST_F(PosixLink, UnsupportedBaudRateRefusesTheOpen) {
    ScopedEnv baud("KORVEL_BAUD", "12345");
    Handle handle;
    EXPECT_EQ(ZrResetAndOpen512(kPort, &handle.value), kOpenFailed);
    ScopedEnv good("KORVEL_BAUD", "9600");
    EXPECT_EQ(ZrResetAndOpen512(kPort, &handle.value), 0u);
}

// System calls that misbehave the way a real device and signals make them.
class Flaky : public SystemCalls {
  public:
    int interruptedOpens = 1;
    int interruptedLocks = 1;
    int interruptedPolls = 0;
    int interruptedReads = 0;
    size_t writePiece = 0;  // short writes of this many bytes (0: whole)
    bool interruptNextWrite = false;
    bool failReads = false;
    bool failSetAttr = false;
    int writes = 0;

    int Open(const char* path, int flags) override {
        if (interruptedOpens-- > 0) return Interrupted();
        return SystemCalls::Open(path, flags);
    }
    int Flock(int fd, int operation) override {
        if (interruptedLocks-- > 0) return Interrupted();
        return SystemCalls::Flock(fd, operation);
    }
    int Poll(struct pollfd* fds, nfds_t count, int timeoutMs) override {
        if (interruptedPolls-- > 0) return Interrupted();
        return SystemCalls::Poll(fds, count, timeoutMs);
    }
    ssize_t Read(int fd, void* buffer, size_t size) override {
        if (failReads) {
            errno = EIO;
            return -1;
        }
        if (interruptedReads-- > 0) return Interrupted();
        return SystemCalls::Read(fd, buffer, size);
    }
    ssize_t Write(int fd, const void* data, size_t size) override {
        ++writes;
        if (interruptNextWrite) {
            interruptNextWrite = false;
            return Interrupted();
        }
        if (writePiece > 0) size = std::min(size, writePiece);
        return SystemCalls::Write(fd, data, size);
    }
    int TcSetAttr(int fd, int when, const struct termios* settings) override {
        if (failSetAttr) {
            errno = EIO;
            return -1;
        }
        return SystemCalls::TcSetAttr(fd, when, settings);
    }

  private:
    static int Interrupted() {
        errno = EINTR;
        return -1;
    }
};

class PosixLinkFaults : public PosixLink {
  protected:
    void SetUp() override {
        PosixLink::SetUp();
        SetSystemCallsForTesting(&flaky_);
    }
    void TearDown() override { SetSystemCallsForTesting(nullptr); }
    Flaky flaky_;
};

TEST_F(PosixLinkFaults, InterruptedCallsAndShortWritesAreCarriedThrough) {
    Handle handle;
    ASSERT_EQ(ZrResetAndOpen512(kPort, &handle.value), 0u);
    flaky_.interruptNextWrite = true;
    flaky_.writePiece = 3;
    flaky_.interruptedPolls = 2;
    flaky_.interruptedReads = 2;
    flaky_.writes = 0;
    const Bytes request = {0x00, 0x10, 0x03, 0x00, 0x01, 0x02, 0x03, 0x04};
    const Answer answer = Exchange(handle.value, request);
    EXPECT_EQ(answer.result, ZR_OK);
    Bytes expected{0};
    expected.insert(expected.end(), request.begin(), request.end());
    EXPECT_EQ(answer.bytes, expected);
    EXPECT_EQ(reader_.Received().back().payload, request);
    EXPECT_GT(flaky_.writes, 5);  // the frame went out in pieces
}

TEST_F(PosixLinkFaults, DeviceErrorsAreFailures) {
    flaky_.failSetAttr = true;
    Handle refused;
    EXPECT_EQ(ZrResetAndOpen512(kPort, &refused.value), kOpenFailed);
    flaky_.failSetAttr = false;

    Handle handle;
    ASSERT_EQ(ZrResetAndOpen512(kPort, &handle.value), 0u);
    const unsigned char frame = 0x01;
    ASSERT_EQ(ZrSendMessage(handle.value, &frame, 1), 0);
    ASSERT_TRUE(reader_.WaitForReceived(wire::Kind::Message, 1));
    flaky_.failReads = true;
    EXPECT_EQ(Fetch(handle.value).result, ZR_STATUS_COMMUNICATION);
}

// A serial driver that has the low-latency setting, in front of the pseudo-terminal, which has
// none. With `supported` false it passes the requests to the pseudo-terminal itself.
class SerialDriver : public SystemCalls {
  public:
    bool supported = true;
    int flags = ASYNC_SKIP_TEST;  // the driver's flags; bits other than low latency must survive
    int setError = 0;             // errno of a refused TIOCSSERIAL (0: taken)
    std::vector<int> sets;        // the flags of every TIOCSSERIAL asked for
    int getError = 0;             // errno of the last TIOCGSERIAL that failed

    int GetSerial(int fd, struct serial_struct* info) override {
        if (!supported) {
            const int result = SystemCalls::GetSerial(fd, info);
            if (result != 0) getError = errno;
            return result;
        }
        *info = {};
        info->flags = flags;
        return 0;
    }
    int SetSerial(int fd, const struct serial_struct* info) override {
        sets.push_back(info->flags);
        if (!supported) return SystemCalls::SetSerial(fd, info);
        if (setError != 0) {
            errno = setError;
            return -1;
        }
        flags = info->flags;
        return 0;
    }
};

class PosixLinkLatency : public PosixLink {
  protected:
    void SetUp() override {
        PosixLink::SetUp();
        SetSystemCallsForTesting(&driver_);
    }
    void TearDown() override { SetSystemCallsForTesting(nullptr); }
    SerialDriver driver_;
};

TEST_F(PosixLinkLatency, LowLatencyIsAskedOnOpenAndTurnedOffWithTheLastLink) {
    {
        Handle worker;
        ASSERT_EQ(ZrResetAndOpen512(kPort, &worker.value), 0u);
        EXPECT_EQ(driver_.flags, ASYNC_SKIP_TEST | ASYNC_LOW_LATENCY);
        Handle cancel;  // shares the open device: asks nothing more
        ASSERT_EQ(ZrOpen(0, kPort, 60000, 20, &cancel.value), 0);
        EXPECT_EQ(driver_.sets.size(), 1u);
    }
    EXPECT_EQ(driver_.flags, ASYNC_SKIP_TEST);
    EXPECT_EQ(driver_.sets.size(), 2u);

    // Already on before we came: left on, nothing asked and nothing undone.
    driver_.sets.clear();
    driver_.flags = ASYNC_LOW_LATENCY;
    {
        Handle handle;
        ASSERT_EQ(ZrResetAndOpen512(kPort, &handle.value), 0u);
    }
    EXPECT_EQ(driver_.flags, ASYNC_LOW_LATENCY);
    EXPECT_TRUE(driver_.sets.empty());
}

TEST_F(PosixLinkLatency, ADeviceWithoutTheSettingOrRefusingItIsUsedAsItIs) {
    const Bytes request = {0x00, 0x08};
    const Bytes answered = {0x00, 0x00, 0x08};

    // The pseudo-terminal itself: its driver knows no such setting.
    driver_.supported = false;
    {
        Handle handle;
        ASSERT_EQ(ZrResetAndOpen512(kPort, &handle.value), 0u);
        EXPECT_EQ(Exchange(handle.value, request).bytes, answered);
        EXPECT_TRUE(driver_.getError == ENOTTY || driver_.getError == EINVAL) << driver_.getError;
        EXPECT_TRUE(driver_.sets.empty());
    }

    // A driver that has it but refuses the change: the open goes on, and the close undoes
    // nothing.
    driver_.supported = true;
    driver_.setError = EPERM;
    {
        Handle handle;
        ASSERT_EQ(ZrResetAndOpen512(kPort, &handle.value), 0u);
        EXPECT_EQ(Exchange(handle.value, request).bytes, answered);
    }
    EXPECT_EQ(driver_.sets.size(), 1u);
    EXPECT_EQ(driver_.flags, ASYNC_SKIP_TEST);
}

// The trace goes to a file named by KORVEL_TRACE, which the library reads once per process: the
// test runs itself again in a child process with the variable set.
TEST_F(PosixLink, TraceWritesEveryFrameWithATimestamp) {
    if (getenv("KORVEL_LINK_TEST_TRACE_CHILD") != nullptr) {
        Handle handle;
        if (ZrResetAndOpen(kPort, &handle.value) != 0) _exit(2);
        Exchange(handle.value, {0x08});
        return;
    }
    TempDir out;
    const std::string trace = out.path() + "/trace.txt";
    const int code =
        korvel::testkit::RunToEnd(
            {.program = "/proc/self/exe",
             .arguments = {"--gtest_filter=PosixLink.TraceWritesEveryFrameWithATimestamp"},
             .environment = {{"KORVEL_TRACE", trace}, {"KORVEL_LINK_TEST_TRACE_CHILD", "1"}},
             .output = korvel::testkit::Output::Null(),  // the child's test report is not ours
             .errors = korvel::testkit::Output::Inherit()},
            std::chrono::minutes(1))
            .code;
    EXPECT_EQ(code, 0);
    std::ifstream file(trace);
    std::stringstream text;
    text << file.rdbuf();
    const std::string lines = text.str();
    EXPECT_NE(lines.find("KORVEL07 tx ResetLoader 0x10 (1): 00"), std::string::npos) << lines;
    EXPECT_NE(lines.find("KORVEL07 rx LoaderReady 0x11 (2): 00 00"), std::string::npos) << lines;
    EXPECT_NE(lines.find("KORVEL07 tx Message 0x01 (1): 08"), std::string::npos) << lines;
    EXPECT_NE(lines.find("KORVEL07 rx Message 0x01 (2): 00 08"), std::string::npos) << lines;
    EXPECT_EQ(lines.rfind("[", 0), 0u) << lines;
}

}  // namespace
}  // namespace korvel::link
