// The engine's outside face: parameter block, progress texts, the download manager, the threads
// that run jobs, the cancel sequence and the one-job rule.

#include <gmock/gmock.h>

#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <cstring>
#include <future>

#include "engine_state.h"
#include "harness.h"
#include "platform/thread.h"

using ::testing::ElementsAre;

namespace enginetest {
namespace {

TEST(ParamBlockDeathTest, HoldsElevenBeforeTheFirstUpdate) {
    GTEST_FLAG_SET(death_test_style, "threadsafe");  // a fresh process, fresh library state
    EXPECT_EXIT(
        {
            const auto block = cordane::CurrentParamBlock();
            for (uint8_t byte : block) {
                if (byte != 0x11) std::exit(1);
            }
            std::exit(0);
        },
        ::testing::ExitedWithCode(0), "");
}

TEST(ParamBlock, UpdateParamReplacesAllFiftyBytes) {
    std::array<uint8_t, 60> source{};
    for (size_t i = 0; i < source.size(); ++i) source[i] = static_cast<uint8_t>(i);
    UpdateParam(source.data());
    const auto block = cordane::CurrentParamBlock();
    EXPECT_TRUE(std::equal(block.begin(), block.end(), source.begin()));
    EXPECT_EQ(cordane::ParamField(block, 4), 0x07060504u);
}

TEST(ProgressText, FormatsThePercentageOfBytesSent) {
    auto& progress = cordane::EngineProgress();
    char text[32];
    progress.total = 0;
    progress.done = 5;
    UpdateDecompte(text);
    EXPECT_STREQ(text, "Progression : 0 %");
    SDK_UpdateDecompte(text);
    EXPECT_STREQ(text, "Progress per cent : 0 %");
    progress.total = 1000;
    progress.done = 999;
    UpdateDecompte(text);
    EXPECT_STREQ(text, "Progression : 99 %");
    SDK_UpdateDecompte(text);
    EXPECT_STREQ(text, "Progress per cent : 99 %");
    // Never more than the 20 bytes callers are told suffice, even past 100 %.
    progress.done = 4000000;
    std::memset(text, 'x', sizeof text);
    UpdateDecompte(text);
    EXPECT_EQ(text[20], 'x');
    EXPECT_LT(std::strlen(text), 20u);
    progress.total = 0;
    progress.done = 0;
}

TEST(DownloadManager, SettersFillTheJob) {
    CDownloadManager manager;
    manager.SetPortCom(3, true);
    EXPECT_EQ(static_cast<uint16_t>(manager.portWord), 0x8003);
    manager.SetPortCom(3, false);
    EXPECT_EQ(int{manager.portWord}, 3);  // packed fields are read by value
    manager.SetEraseDataflash(true);
    EXPECT_EQ(int32_t{manager.eraseDataFlash}, 1);

    std::string path(255, 'a');
    EXPECT_EQ(manager.SetApplicationName(path.data()), 0);
    EXPECT_EQ(std::string(manager.applicationFile), path);
    std::string tooLong(256, 'b');
    EXPECT_EQ(manager.SetApplicationName(tooLong.data()), -1);
    EXPECT_EQ(std::string(manager.applicationFile), path);
    EXPECT_EQ(manager.SetDriverName(tooLong.data()), -1);
    EXPECT_EQ(manager.driverFile[0], '\0');
}

// Clients built elsewhere rely on this layout; offsetof on a class with a virtual table is what
// they rely on too.
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Winvalid-offsetof"
TEST(DownloadManager, LayoutIsPackedAfterTheVirtualTable) {
    // The owner window takes 4 bytes as a window id, 8 as a Windows handle in a 64-bit process.
    const size_t window = sizeof(HWND);
    EXPECT_EQ(offsetof(CLoadInterface, ownerWindow), sizeof(void*));
    EXPECT_EQ(offsetof(CLoadInterface, flags), sizeof(void*) + window);
    EXPECT_EQ(offsetof(CLoadInterface, portWord), sizeof(void*) + window + 104);
    EXPECT_EQ(offsetof(CLoadInterface, readerType), sizeof(void*) + window + 106);
    EXPECT_EQ(offsetof(CLoadInterface, driverFile), sizeof(void*) + window + 366);
    EXPECT_EQ(sizeof(CLoadInterface), sizeof(void*) + window + 622);
}
#pragma GCC diagnostic pop

// A manager that records its completions and lets a test wait for the end of its job.
class Manager : public CDownloadManager {
  public:
    void KvDownloadCompleted(char* text, int code) override {
        std::lock_guard lock(mutex);
        completions.push_back(std::string(text) + "/" + std::to_string(code));
        completed.notify_all();
    }
    bool KvIsCanceled() override { return false; }
    // Waits (real time, bounded) for the first completion.
    bool WaitForCompletion() {
        std::unique_lock lock(mutex);
        return completed.wait_for(lock, std::chrono::seconds(10),
                                  [this] { return !completions.empty(); });
    }
    std::mutex mutex;
    std::condition_variable completed;
    std::vector<std::string> completions;
};

class JobThreadTest : public EngineTest {
  protected:
    // Starts a job that stays in its first frame until Release: one job running, for as long as
    // the test needs.
    CWinThread* StartHeldJob(RecordingClient& client) {
        Prepare(client, KvOrb64, WriteSrec("held.sre", Pattern(50)));
        released_ = release_.get_future().share();
        zrfake::Script script;
        script.resetResults.push_back(1);
        script.onFrame = [this](size_t frame) {
            if (frame == 1) {
                inside_.set_value();
                released_.wait();
            }
        };
        zrfake::Reset(script);
        CWinThread* thread = BeginDownload(&client, false);
        if (thread) inside_.get_future().wait();
        return thread;
    }
    void Release() { release_.set_value(); }

  private:
    std::promise<void> inside_;
    std::promise<void> release_;
    std::shared_future<void> released_;
};

TEST_F(JobThreadTest, StartDownloadBuildsBlockAndFlags) {
    Manager manager;
    manager.downloadType = KV_DOWNLOAD_ERASE_CODE;
    manager.keySelector = 0x01020304;
    manager.fileIdentityCheck = 1;
    manager.expectedFileIdentity = 0x1234;
    manager.portWord = 0;  // refused at once: this test looks at what was handed over
    // Kept after it ends, so the test waits for the thread itself: after the completion notice
    // the worker still shows its message and reads the clock.
    CWinThread* thread = manager.StartDownload(false);
    ASSERT_NE(thread, nullptr);
    ASSERT_TRUE(thread->Wait());
    delete thread;
    ASSERT_TRUE(manager.WaitForCompletion());
    EXPECT_EQ(uint32_t{manager.flags}, 0x40000003u);
    const auto block = cordane::CurrentParamBlock();
    EXPECT_EQ(cordane::ParamField(block, 0), 0u);
    EXPECT_EQ(cordane::ParamField(block, 16), 0x01020304u);
    EXPECT_EQ(cordane::ParamField(block, 20), 1u);
    EXPECT_EQ(cordane::ParamField(block, 24), 0x1234u);
    EXPECT_EQ(block[48], 0);
    std::lock_guard lock(manager.mutex);
    EXPECT_THAT(manager.completions, ElementsAre("Download Error/1"));
}

TEST_F(JobThreadTest, ManagerLearnsTheOutcomeOnce) {
    Manager manager;
    manager.SetPortCom(1, false);
    manager.SetReaderType(KvOrb64);
    const std::string app = WriteSrec("app.sre", Pattern(50));
    manager.SetApplicationName(const_cast<char*>(app.c_str()));
    zrfake::Script script;
    script.resetResults.push_back(1);
    zrfake::Reset(script);
    manager.flags = 0;
    EXPECT_EQ(demarrage(&manager), 0u);
    EXPECT_FALSE(manager.CompletionPending());
    {
        std::lock_guard lock(manager.mutex);
        EXPECT_THAT(manager.completions, ElementsAre("Download completed/0"));
        manager.completions.clear();
    }
    // A failed job while completion is pending: exactly one error.
    script.replies[3] = {0, 6, {}};
    zrfake::Reset(script);
    manager.silent = 1;
    CWinThread* thread = BeginDownload(&manager, false);
    ASSERT_NE(thread, nullptr);
    static_cast<CLoadInterface&>(manager).KvFinTelechargement(nullptr, 3);  // not an outcome
    ASSERT_TRUE(thread->Wait());
    EXPECT_EQ(thread->ExitCode(), 5u);  // completion no longer pending: nothing reported
    delete thread;
    {
        std::lock_guard lock(manager.mutex);
        EXPECT_TRUE(manager.completions.empty());
    }
}

TEST_F(JobThreadTest, SdkHandleGivesTheExitCode) {
    RecordingClient client(transcript);
    Prepare(client, KvOrb64, WriteSrec("app.sre", Pattern(50)));
    zrfake::Script script;
    script.resetResults.push_back(0xFF05);
    zrfake::Reset(script);
    HANDLE handle = SDK_BeginDownload(&client);
    ASSERT_NE(handle, nullptr);
    EXPECT_EQ(WaitForSingleObject(handle, INFINITE), WAIT_OBJECT_0);
    cordane::ExitCodeWord code = 0;
    EXPECT_EQ(GetExitCodeThread(handle, &code), 1);
    EXPECT_EQ(code, 5u);
    CloseHandle(handle);
}

TEST_F(JobThreadTest, ThreadHandleShowsTheRunningJobUntilItEnds) {
    RecordingClient client(transcript);
    CWinThread* thread = StartHeldJob(client);
    ASSERT_NE(thread, nullptr);
    ASSERT_NE(thread->m_hThread, nullptr);
    EXPECT_EQ(WaitForSingleObject(thread->m_hThread, 20), static_cast<uint32_t>(WAIT_TIMEOUT));
    EXPECT_FALSE(thread->Wait(0));
    EXPECT_EQ(thread->ExitCode(), static_cast<uint32_t>(STILL_ACTIVE));
    cordane::ExitCodeWord code = 0;
    EXPECT_NE(GetExitCodeThread(thread->m_hThread, &code), 0);
    EXPECT_EQ(code, static_cast<cordane::ExitCodeWord>(STILL_ACTIVE));
#if defined(_WIN32)
    // The system's own thread handle, of a thread of this process other than this one.
    EXPECT_EQ(GetProcessIdOfThread(thread->m_hThread), GetCurrentProcessId());
    EXPECT_NE(GetThreadId(thread->m_hThread), 0u);
    EXPECT_NE(GetThreadId(thread->m_hThread), GetCurrentThreadId());
    // While a job runs the timer ticks every millisecond: the loader protocol's 1 ms pauses
    // would last 15.6 ms each on the default tick.
    const auto start = std::chrono::steady_clock::now();
    for (int i = 0; i < 20; ++i) ::Sleep(1);
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::milliseconds(150));
#endif
    Release();
    ASSERT_TRUE(thread->Wait(10000));
    EXPECT_EQ(WaitForSingleObject(thread->m_hThread, 0), static_cast<uint32_t>(WAIT_OBJECT_0));
    EXPECT_EQ(thread->ExitCode(), 0u);
    delete thread;
}

TEST_F(JobThreadTest, SecondJobIsRefusedWhileOneRuns) {
    RecordingClient first(transcript);
    CWinThread* thread = StartHeldJob(first);
    ASSERT_NE(thread, nullptr);

    Transcript other;
    RecordingClient second(other);
    Prepare(second, KvOrb64, WriteSrec("app2.sre", Pattern(50)));
    EXPECT_EQ(BeginDownload(&second), nullptr);
    EXPECT_EQ(SDK_BeginDownload(&second), nullptr);
    EXPECT_EQ(demarrage(&second), 1u);
    EXPECT_EQ(other.Count("KvFinTelechargement 1"), 3u);
    EXPECT_EQ(other.Count("KvFinTelechargement 3"), 0u);
    ASSERT_EQ(boxes.size(), 3u);
    EXPECT_THAT(boxes[0], ::testing::HasSubstr("already running"));

    Release();
    ASSERT_TRUE(thread->Wait());
    EXPECT_EQ(thread->ExitCode(), 0u);
    delete thread;
    // Once the first has ended, the next job runs.
    zrfake::Reset();
    EXPECT_EQ(demarrage(&second), 0u);
}

// A client may start its next job from the last notice of the previous one.
class ChainingClient : public RecordingClient {
  public:
    using RecordingClient::RecordingClient;
    void KvFinTelechargement(char* text, int code) override {
        RecordingClient::KvFinTelechargement(text, code);
        if (code == KV_NOTICE_OVER && next) {
            nextHandle = SDK_BeginDownload(next);
            next = nullptr;
        }
    }
    CLoadInterface* next = nullptr;
    HANDLE nextHandle = nullptr;
};

TEST_F(JobThreadTest, NextJobMayStartFromTheLastNotice) {
    ChainingClient first(transcript);
    RecordingClient second(transcript);
    const std::string app = WriteSrec("app.sre", Pattern(50));
    Prepare(first, KvOrb64, app);
    Prepare(second, KvOrb64, app);
    first.next = &second;
    EXPECT_EQ(demarrage(&first), 0u);
    ASSERT_NE(first.nextHandle, nullptr);
    EXPECT_EQ(WaitForSingleObject(first.nextHandle, INFINITE), WAIT_OBJECT_0);
    cordane::ExitCodeWord code = 99;
    GetExitCodeThread(first.nextHandle, &code);
    EXPECT_EQ(code, 0u);
    CloseHandle(first.nextHandle);
    EXPECT_EQ(transcript.Count("KvFinTelechargement 0"), 2u);
    EXPECT_TRUE(boxes.empty());
}

TEST_F(JobThreadTest, CancelDownloadResetsTheReaderOnALinkOfItsOwn) {
    CDownloadManager manager;
    manager.SetPortCom(3, true);
    manager.CancelDownload();
    EXPECT_THAT(transcript.Lines(), ElementsAre("Sleep 500", "ZrClose -1",
                                                "ZrOpen mode=0 port=0xFFFF8003 a=60000 b=20 -> 0",
                                                "ZrKvrenReset 257", "Sleep 1500", "ZrClose 257"));
}

TEST_F(JobThreadTest, ClientThatNeverOverridesTheCancelQueryIsCancelled) {
    CDownloadManager manager;  // KvIsCanceled answers true
    manager.SetPortCom(1, false);
    const std::string app = WriteSrec("app.sre", Pattern(50));
    manager.SetApplicationName(const_cast<char*>(app.c_str()));
    zrfake::Script script;
    script.resetResults.push_back(0);
    zrfake::Reset(script);
    EXPECT_EQ(demarrage(&manager), 6u);
    EXPECT_THAT(boxes, ElementsAre("Download error|Download cancelled.|10|owner=0"));
}

// The pattern a client follows to keep a thread object: start, switch self-deletion off at once,
// wait, read the exit code, delete. A refused port ends the job at once, so the thread often ends
// before the switch; under the address sanitizer any use of a freed object fails the test. Every
// other round leaves the object to delete itself.
TEST_F(JobThreadTest, ThreadObjectIsNeverFreedUnderItsClient) {
    RecordingClient client(transcript);
    Prepare(client, KvOrb64, "", KV_FLAG_SILENT);
    for (int round = 0; round < 3000; ++round) {
        client.portWord = 0;  // refused before anything is sent
        client.flags = KV_FLAG_SILENT;
        CWinThread* thread = BeginDownload(&client);
        ASSERT_NE(thread, nullptr);
        if (round % 2 == 1) {
            // Left to delete itself; waiting on its handle is still allowed meanwhile.
            while (WaitForSingleObject(thread->m_hThread, 0) != WAIT_OBJECT_0) {
            }
            continue;
        }
        thread->m_bAutoDelete = false;
        ASSERT_TRUE(thread->Wait());
        ASSERT_EQ(thread->ExitCode(), 1u);
        EXPECT_FALSE(thread->m_bAutoDelete);
        delete thread;
        if (round % 100 == 0) transcript.Clear();
    }
    EXPECT_TRUE(boxes.empty());
}

TEST_F(JobThreadTest, StartDownloadWhileAJobRunsChangesNothing) {
    std::array<uint8_t, 50> block{};
    block[16] = 0x5A;
    UpdateParam(block.data());
    RecordingClient first(transcript);
    CWinThread* thread = StartHeldJob(first);
    ASSERT_NE(thread, nullptr);

    Manager second;
    second.keySelector = 7;
    second.downloadType = KV_DOWNLOAD_BINARY;
    second.flags = 0x1234;
    second.silent = 1;
    EXPECT_EQ(second.StartDownload(), nullptr);
    EXPECT_EQ(cordane::CurrentParamBlock(), block);  // the running job's block
    EXPECT_EQ(uint32_t{second.flags}, 0x1234u);
    EXPECT_FALSE(second.CompletionPending());
    {
        std::lock_guard lock(second.mutex);
        EXPECT_THAT(second.completions, ElementsAre("Download Error/1"));
    }
    Release();
    ASSERT_TRUE(thread->Wait());
    EXPECT_EQ(thread->ExitCode(), 0u);
    delete thread;
}

// A client that writes into every text it is handed, as the interface's writable char* allows.
class WritingClient : public RecordingClient {
  public:
    using RecordingClient::RecordingClient;
    static void Touch(char* text) {
        if (!text) return;
        for (volatile char* p = text; *p; ++p) *p = *p;
    }
    void KvSetMessage(char* text) override {
        Touch(text);
        RecordingClient::KvSetMessage(text);
    }
    void KvFinTelechargement(char* text, int code) override {
        Touch(text);
        RecordingClient::KvFinTelechargement(text, code);
    }
};

class WritingManager : public Manager {
  public:
    void KvDownloadCompleted(char* text, int code) override {
        WritingClient::Touch(text);
        Manager::KvDownloadCompleted(text, code);
    }
};

TEST_F(JobThreadTest, TextsHandedToTheClientAreWritable) {
    WritingClient client(transcript);
    Prepare(client, KvOrb64, WriteSrec("app.sre", Pattern(50)));
    zrfake::Script script;
    script.resetResults.push_back(1);
    zrfake::Reset(script);
    EXPECT_EQ(demarrage(&client), 0u);
    EXPECT_EQ(transcript.Count("KvFinTelechargement 3 1000"), 1u);

    WritingManager manager;
    manager.SetPortCom(1, false);
    manager.SetApplicationName(client.applicationFile);
    zrfake::Reset(script);
    manager.flags = 0;
    EXPECT_EQ(demarrage(&manager), 0u);
    std::lock_guard lock(manager.mutex);
    EXPECT_THAT(manager.completions, ElementsAre("Download completed/0"));
}

}  // namespace
}  // namespace enginetest
