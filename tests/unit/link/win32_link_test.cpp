// The real link on Windows against a reader behind its communications seam: the calls it makes
// on the device (name, sharing, line settings, time-outs) and how it takes a refused open, short
// writes, failing reads and a hang-up.
#include <windows.h>

#include <gtest/gtest.h>
#include <stdlib.h>

#include <chrono>
#include <condition_variable>
#include <deque>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "comm_calls.h"
#include "link_exchange.h"
#include "support/environment.h"
#include "zr318.h"
#include "zr318/ports.h"
#include "zr318/wire.h"

namespace korvel::link {
namespace {

using Bytes = std::vector<uint8_t>;
using std::chrono::milliseconds;
using SteadyClock = std::chrono::steady_clock;

constexpr ZrPort kPort = 0x80000007u;        // KORVEL07
constexpr ZrPort kPortAsWord = 0xFFFF8007u;  // the same port, widened from its word
constexpr unsigned kOpenFailed = unsigned{ZR_FAIL_BASE} + ZR_STATUS_OPEN_FAILED;
constexpr unsigned kCommunication = unsigned{ZR_FAIL_BASE} + ZR_STATUS_COMMUNICATION;

using korvel::testkit::ScopedEnv;

// A reader behind the communications calls: what the link writes is decoded and answered as a
// loader would, and reads honour the time-outs the link set, as a serial driver does.
class CommReader : public CommCalls {
  public:
    // What the device does.
    DWORD openError = 0;   // CreateFileW fails with this
    DWORD readError = 0;   // ReadFile fails with this
    DWORD writeError = 0;  // WriteFile fails with this
    // The other end is gone: reads give 0 bytes once their time-out has passed and the device's
    // state cannot be read (as under Wine), or with hungUpReadsAtOnce, right away.
    bool hungUp = false;
    bool hungUpReadsAtOnce = false;
    DWORD writePiece = 0;  // short writes of this many bytes (0: whole)
    bool answerMessages = true;
    uint8_t loaderKind = 1;

    // What the link did.
    std::vector<std::wstring> opened;
    DWORD share = 0xFFFFFFFF;
    DCB state{};
    std::vector<COMMTIMEOUTS> timeouts;
    std::vector<DWORD> waitingReads;  // the byte counts of the reads that could wait
    int reads = 0;
    int writes = 0;
    int closes = 0;
    std::vector<wire::Frame> received;

    HANDLE CreateFileW(const wchar_t* path, DWORD, DWORD shareMode, DWORD, DWORD) override {
        std::lock_guard<std::mutex> lock(mutex_);
        if (openError != 0) {
            SetLastError(openError);
            return INVALID_HANDLE_VALUE;
        }
        opened.push_back(path);
        share = shareMode;
        return kHandle;
    }
    BOOL CloseHandle(HANDLE) override {
        std::lock_guard<std::mutex> lock(mutex_);
        ++closes;
        return TRUE;
    }
    BOOL GetCommState(HANDLE, DCB* settings) override {
        *settings = {};
        settings->DCBlength = sizeof(DCB);
        settings->BaudRate = 9600;
        settings->ByteSize = 7;
        settings->Parity = EVENPARITY;
        settings->fOutxCtsFlow = TRUE;
        settings->fOutX = TRUE;
        return TRUE;
    }
    BOOL SetCommState(HANDLE, DCB* settings) override {
        std::lock_guard<std::mutex> lock(mutex_);
        state = *settings;
        return TRUE;
    }
    BOOL SetCommTimeouts(HANDLE, COMMTIMEOUTS* set) override {
        std::lock_guard<std::mutex> lock(mutex_);
        timeouts.push_back(*set);
        current_ = *set;
        return TRUE;
    }
    BOOL PurgeComm(HANDLE, DWORD what) override {
        std::lock_guard<std::mutex> lock(mutex_);
        if (what & PURGE_RXCLEAR) toLink_.clear();
        return TRUE;
    }
    BOOL ClearCommError(HANDLE, DWORD* errors, COMSTAT*) override {
        if (errors) *errors = 0;
        std::lock_guard<std::mutex> lock(mutex_);
        if (hungUp && !hungUpReadsAtOnce) {
            SetLastError(ERROR_NOT_READY);
            return FALSE;
        }
        return TRUE;
    }
    BOOL ReadFile(HANDLE, void* buffer, DWORD size, DWORD* got) override {
        std::unique_lock<std::mutex> lock(mutex_);
        ++reads;
        *got = 0;
        if (readError != 0) {
            SetLastError(readError);
            return FALSE;
        }
        if (hungUp && hungUpReadsAtOnce) return TRUE;
        const bool atOnce = current_.ReadIntervalTimeout == MAXDWORD &&
                            current_.ReadTotalTimeoutMultiplier == 0 &&
                            current_.ReadTotalTimeoutConstant == 0;
        if (!atOnce) {
            waitingReads.push_back(size);
            const auto total = milliseconds(current_.ReadTotalTimeoutConstant +
                                            current_.ReadTotalTimeoutMultiplier * size);
            arrived_.wait_for(lock, total, [&] { return !toLink_.empty(); });
        }
        while (*got < size && !toLink_.empty()) {
            static_cast<uint8_t*>(buffer)[(*got)++] = toLink_.front();
            toLink_.pop_front();
        }
        return TRUE;
    }
    BOOL WriteFile(HANDLE, const void* data, DWORD size, DWORD* written) override {
        std::lock_guard<std::mutex> lock(mutex_);
        ++writes;
        *written = 0;
        if (hungUp || writeError != 0) {
            SetLastError(hungUp ? ERROR_NOT_READY : writeError);
            return FALSE;
        }
        if (writePiece > 0) size = std::min(size, writePiece);
        decoder_.Feed(static_cast<const uint8_t*>(data), size);
        *written = size;
        wire::Frame frame;
        while (decoder_.Next(frame)) Answer(frame);
        return TRUE;
    }

    // The other end goes away while the link waits.
    void HangUp(bool readsAtOnce) {
        std::lock_guard<std::mutex> lock(mutex_);
        hungUp = true;
        hungUpReadsAtOnce = readsAtOnce;
    }
    size_t Count(wire::Kind kind) {
        std::lock_guard<std::mutex> lock(mutex_);
        size_t n = 0;
        for (const wire::Frame& frame : received) n += frame.kind == kind;
        return n;
    }

  private:
    static inline const HANDLE kHandle = reinterpret_cast<HANDLE>(static_cast<uintptr_t>(0x5A5A));

    void Reply(wire::Kind kind, const Bytes& payload) {
        const Bytes frame = wire::Encode(kind, payload.data(), payload.size());
        toLink_.insert(toLink_.end(), frame.begin(), frame.end());
        arrived_.notify_all();
    }
    void Answer(const wire::Frame& frame) {
        received.push_back(frame);
        switch (frame.kind) {
            case wire::Kind::ResetLoader:
                Reply(wire::Kind::LoaderReady,
                      {0, frame.payload == Bytes{0} ? loaderKind : uint8_t{0}});
                break;
            case wire::Kind::Message:
                if (answerMessages) {
                    Bytes answer{0};
                    answer.insert(answer.end(), frame.payload.begin(), frame.payload.end());
                    Reply(wire::Kind::Message, answer);
                }
                break;
            case wire::Kind::EraseData:
                Reply(wire::Kind::EraseDataDone, {0});
                break;
            default:
                break;
        }
    }

    std::mutex mutex_;
    std::condition_variable arrived_;
    std::deque<uint8_t> toLink_;
    wire::Decoder decoder_;
    COMMTIMEOUTS current_{};
};

// Closes a handle at scope end.
class Handle {
  public:
    ~Handle() { ZrClose(value); }
    int32_t value = -1;
};

class Win32Link : public ::testing::Test {
  protected:
    void SetUp() override { SetCommCallsForTesting(&reader_); }
    void TearDown() override { SetCommCallsForTesting(nullptr); }

    ScopedEnv baud_{"KORVEL_BAUD", std::nullopt};
    CommReader reader_;
};

TEST_F(Win32Link, OpensTheSystemsDeviceAloneIn8N1AndExchanges) {
    Handle handle;
    ASSERT_EQ(ZrResetAndOpen(kPortAsWord, &handle.value), 1u);
    ASSERT_EQ(reader_.opened.size(), 1u);
    EXPECT_EQ(reader_.opened[0], L"\\\\.\\Korvel_reader_07");
    EXPECT_EQ(reader_.share, 0u);  // nobody else may have it meanwhile
    EXPECT_EQ(reader_.state.BaudRate, 115200u);
    EXPECT_EQ(reader_.state.ByteSize, 8);
    EXPECT_EQ(reader_.state.Parity, NOPARITY);
    EXPECT_EQ(reader_.state.StopBits, ONESTOPBIT);
    EXPECT_FALSE(reader_.state.fOutxCtsFlow || reader_.state.fOutxDsrFlow || reader_.state.fOutX ||
                 reader_.state.fInX || reader_.state.fParity);

    const Answer answer = Exchange(handle.value, {0x00, 0x00, 0x08});
    EXPECT_EQ(answer.result, ZR_OK);
    EXPECT_EQ(answer.bytes, (Bytes{0, 0x00, 0x00, 0x08}));

    // A second link of this process on the port shares the open device.
    Handle cancel;
    ASSERT_EQ(ZrOpen(0, kPort, 60000, 20, &cancel.value), 0);
    EXPECT_EQ(reader_.opened.size(), 1u);
    ZrKvrenReset(cancel.value);
    EXPECT_EQ(reader_.Count(wire::Kind::LeaveLoader), 1u);

    // Every wait is a total time-out no longer than the link's slice, without an interval one
    // (which would add its quiet time to every answer), or a read of what has come at once; never
    // the MAXDWORD, MAXDWORD form that Wine waits out in full. A waiting read asks for no more than
    // the answer in hand lacks, so that it ends with the answer's last byte: the longest answer
    // here is a header, 4 bytes and the CRC.
    for (const COMMTIMEOUTS& set : reader_.timeouts) {
        if (set.ReadIntervalTimeout == MAXDWORD) {
            EXPECT_EQ(set.ReadTotalTimeoutMultiplier, 0u);
            EXPECT_EQ(set.ReadTotalTimeoutConstant, 0u);
        } else {
            EXPECT_EQ(set.ReadIntervalTimeout, 0u);
            EXPECT_GT(set.ReadTotalTimeoutConstant, 0u);
            EXPECT_LE(set.ReadTotalTimeoutConstant, 20u);
        }
    }
    ASSERT_FALSE(reader_.waitingReads.empty());
    for (DWORD size : reader_.waitingReads) {
        EXPECT_GE(size, 1u);
        EXPECT_LE(size, wire::kHeaderSize + 4 + wire::kCrcSize);
    }
}

TEST_F(Win32Link, ComPortsAreNamedAsTheSystemDoesAndTheBaudRateIsHonoured) {
    ScopedEnv baud("KORVEL_BAUD", "9600");
    for (ZrPort com : {5u, 12u, 256u}) {
        Handle handle;
        ASSERT_EQ(ZrResetAndOpen512(com, &handle.value), 0u);
        EXPECT_EQ(reader_.opened.back(), L"\\\\.\\COM" + std::to_wstring(com));
        EXPECT_EQ(reader_.state.BaudRate, 9600u);
    }
    EXPECT_EQ(reader_.closes, 3);

    ScopedEnv bad("KORVEL_BAUD", "12345");
    Handle refused;
    EXPECT_EQ(ZrResetAndOpen512(5, &refused.value), kOpenFailed);
    EXPECT_EQ(reader_.opened.size(), 3u);  // refused before the device is touched

    EXPECT_EQ(ports::DevicePath(3), "\\\\.\\COM3");
    EXPECT_EQ(ports::DevicePath(0xFFFF8007u), "\\\\.\\Korvel_reader_07");
    const auto path = ports::ParsePortName("\\\\.\\COM5");
    ASSERT_TRUE(path);
    EXPECT_EQ(path->id, 0u);
    EXPECT_EQ(path->device, "\\\\.\\COM5");
    EXPECT_FALSE(ports::ParsePortName("/dev/ttyS0"));
}

TEST_F(Win32Link, APortHeldElsewhereOrMissingIsRefusedWithWhatToDo) {
    struct Case {
        DWORD error;
        const char* says;
    };
    for (const Case& c : {Case{ERROR_ACCESS_DENIED, "is held by another program"},
                          Case{ERROR_SHARING_VIOLATION, "is held by another program"},
                          Case{ERROR_FILE_NOT_FOUND, "adapter is plugged in"}}) {
        reader_.openError = c.error;
        Handle handle;
        ::testing::internal::CaptureStderr();
        EXPECT_EQ(ZrResetAndOpen512(kPort, &handle.value), kOpenFailed);
        EXPECT_EQ(handle.value, -1);
        int32_t opened = 0;
        EXPECT_EQ(ZrOpen(0, 3, 2, 55, &opened), ZR_STATUS_OPEN_FAILED);
        EXPECT_EQ(opened, -1);
        const std::string said = ::testing::internal::GetCapturedStderr();
        EXPECT_NE(said.find("\\\\.\\Korvel_reader_07"), std::string::npos) << said;
        EXPECT_NE(said.find("\\\\.\\COM3"), std::string::npos) << said;
        EXPECT_NE(said.find(c.says), std::string::npos) << said;
    }
}

TEST_F(Win32Link, ShortWritesAreCompletedAndAFailingWriteIsAFailure) {
    Handle handle;
    ASSERT_EQ(ZrResetAndOpen512(kPort, &handle.value), 0u);
    reader_.writePiece = 3;
    reader_.writes = 0;
    const Bytes request = {0x00, 0x10, 0x03, 0x00, 0x01, 0x02, 0x03, 0x04};
    const Answer answer = Exchange(handle.value, request);
    EXPECT_EQ(answer.result, ZR_OK);
    EXPECT_EQ(answer.bytes.size(), request.size() + 1);
    EXPECT_GT(reader_.writes, 5);  // the frame went out in pieces

    reader_.writeError = ERROR_GEN_FAILURE;
    EXPECT_EQ(ZrSendMessage(handle.value, request.data(), 1), ZR_STATUS_COMMUNICATION);
}

TEST_F(Win32Link, NoAnswerWaitsOutTheTimeOutWithoutSpinning) {
    reader_.answerMessages = false;
    Handle handle;
    ASSERT_EQ(ZrResetAndOpen512(kPort, &handle.value), 0u);
    ZrTimeOut(handle.value, 150);
    const auto start = SteadyClock::now();
    reader_.reads = 0;
    const Answer answer = Exchange(handle.value, {0x01});
    EXPECT_EQ(answer.result, ZR_TIMEOUT);
    EXPECT_GE(answer.pending, 1);
    EXPECT_GE(SteadyClock::now() - start, milliseconds(150));
    EXPECT_LT(reader_.reads, 40);  // reads that wait their slice, not a loop of empty ones
}

TEST_F(Win32Link, AFailingReadOrAHangUpIsAFailureNotATimeOut) {
    Handle handle;
    ASSERT_EQ(ZrResetAndOpen512(kPort, &handle.value), 0u);
    reader_.readError = ERROR_GEN_FAILURE;
    EXPECT_EQ(Fetch(handle.value).result, ZR_STATUS_COMMUNICATION);
    reader_.readError = 0;

    // Gone while the link waits for an answer: reads come back empty, after their time-out with
    // the device's state unreadable (Wine), or at once.
    reader_.answerMessages = false;
    for (bool atOnce : {false, true}) {
        Handle gone;
        ASSERT_EQ(ZrOpen(0, 3, 2000, 23, &gone.value), 0);
        ASSERT_EQ(ZrSendMessage(gone.value, Bytes{0x01}.data(), 1), 0);
        reader_.HangUp(atOnce);
        reader_.reads = 0;
        const auto start = SteadyClock::now();
        EXPECT_EQ(Fetch(gone.value).result, ZR_STATUS_COMMUNICATION) << atOnce;
        EXPECT_LT(SteadyClock::now() - start, milliseconds(500)) << atOnce;  // not the 2 s
        EXPECT_LT(reader_.reads, 10) << atOnce;
        EXPECT_EQ(ZrSendMessage(gone.value, Bytes{0x01}.data(), 1), ZR_STATUS_COMMUNICATION);
        reader_.hungUp = false;
    }

    // A reset on a port whose other end is gone fails as a communication failure.
    reader_.HangUp(false);
    Handle again;
    EXPECT_EQ(ZrResetAndOpen512(kPort, &again.value), kCommunication);
}

}  // namespace
}  // namespace korvel::link
