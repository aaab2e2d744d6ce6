// The engine, the serial link and the emulator together: downloads to the 64 Kb readers over a
// pseudo-terminal, and the ways they fail.
#include <gmock/gmock.h>

#include <atomic>
#include <cstdlib>
#include <mutex>
#include <thread>

#include "cordane/cordane.h"
#include "emulator_support.h"
#include "zr318.h"
#include "zr318/ports.h"

using namespace emulatortest;
using ::testing::ElementsAre;

namespace {

// A job that records its messages; its cancel query answers `cancel`.
class Job : public CDownloadManager {
  public:
    bool KvIsCanceled() override { return cancel; }
    void KvDownloadCompleted(char* text, int code) override {
        std::lock_guard lock(mutex);
        completions.push_back(std::string(text) + "/" + std::to_string(code));
    }
    std::atomic<bool> cancel = false;  // set by the operator's thread, read by the worker
    std::mutex mutex;
    std::vector<std::string> completions;
};

class SmallReaderEmulatorTest : public ::testing::Test {
  protected:
    void SetUp() override {
        setenv("KORVEL_PORTS_DIR", dir.path().c_str(), 1);
        KvSetMessageBoxHandler(
            [](HWND, const char* text, const char*, unsigned, void* context) -> int {
                static_cast<SmallReaderEmulatorTest*>(context)->boxes.push_back(text);
                return IDOK;
            },
            this);
        // An application of 1,500 bytes from 0x2000, in 32-byte S2 records.
        image.resize(1500);
        for (size_t i = 0; i < image.size(); ++i) image[i] = static_cast<uint8_t>(i * 31 + 7);
        app = dir.Write("app.sre",
                        SrecText({{0x2000, image}}, {.header = std::nullopt, .end = 0x2000}));
    }
    void TearDown() override { KvSetMessageBoxHandler(nullptr, nullptr); }

    // Starts the emulator of a reader type and loader on virtual port 7.
    std::unique_ptr<Simulator> Start(int reader, const char* loader,
                                     std::vector<std::string> extra = {}) {
        std::vector<std::string> args = {
            "--reader", std::to_string(reader), "--loader", loader,   "--virtual",
            "7",        "--ports-dir",          dir.path(), "--once", "--dump",
            dump};
        args.insert(args.end(), extra.begin(), extra.end());
        auto sim = std::make_unique<Simulator>(args);
        EXPECT_TRUE(sim->Started());
        EXPECT_TRUE(ReadReady(*sim).has_value());
        return sim;
    }

    unsigned Download(Job& job, int reader) {
        job.SetPortCom(7, true);
        job.SetReaderType(static_cast<eReaderType>(reader));
        job.SetApplicationName(app.data());
        CWinThread* thread = job.StartDownload(false);
        if (!thread) return 1000;
        thread->Wait();
        const unsigned code = thread->ExitCode();
        delete thread;
        return code;
    }

    // The flash the emulator wrote when the session ended.
    std::vector<uint8_t> Flash() { return ReadBytes(dump); }

    bool Signed(const std::vector<uint8_t>& flash) {
        return flash.size() == 0x10000 && flash[0x2000] == 'K' && flash[0x2001] == 'V';
    }

    TempDir dir;
    std::string dump = dir.path() + "/flash.bin";
    std::string app;
    std::vector<uint8_t> image;
    std::vector<std::string> boxes;
};

struct Case {
    int reader;
    const char* loader;
};

class EachLoader : public SmallReaderEmulatorTest, public ::testing::WithParamInterface<Case> {};

TEST_P(EachLoader, DownloadLeavesTheSignedImageInFlash) {
    auto sim = Start(GetParam().reader, GetParam().loader);
    Job job;
    EXPECT_EQ(Download(job, GetParam().reader), 0u);
    EXPECT_EQ(sim->Wait(), 0);  // --once: a signed image
    EXPECT_THAT(job.completions, ElementsAre("Download completed/0"));
    const auto flash = Flash();
    ASSERT_TRUE(Signed(flash));
    for (size_t i = 2; i < image.size(); ++i) ASSERT_EQ(flash[0x2000 + i], image[i]) << i;
    EXPECT_EQ(flash[0x2000 + image.size()], 0xFF);
    EXPECT_TRUE(boxes.empty());
}

INSTANTIATE_TEST_SUITE_P(Readers, EachLoader,
                         ::testing::Values(Case{0, "raw"}, Case{0, "addressed"}, Case{1, "raw"},
                                           Case{1, "addressed"}),
                         [](const auto& info) {
                             return "Type" + std::to_string(info.param.reader) + "_" +
                                    info.param.loader;
                         });

TEST_F(SmallReaderEmulatorTest, LoaderStatusAtADataFrame) {
    // Frame 4 of the addressed session is the second block.
    auto sim = Start(1, "addressed", {"--fail-at", "4:0x23"});
    Job job;
    EXPECT_EQ(Download(job, 1), 0x23u);
    EXPECT_THAT(boxes, ElementsAre("Download error."));
    EXPECT_THAT(job.completions, ElementsAre("Download Error/1"));
    sim->Wait();
    EXPECT_FALSE(Signed(Flash()));
}

TEST_F(SmallReaderEmulatorTest, HangUpIsACommunicationError) {
    auto sim = Start(0, "raw", {"--hangup-at", "3"});
    Job job;
    EXPECT_EQ(Download(job, 0), 4u);
    EXPECT_THAT(boxes, ElementsAre("Communication error."));
    EXPECT_THAT(job.completions, ElementsAre("Download Error/1"));
}

TEST_F(SmallReaderEmulatorTest, DroppedAnswerEndsWithNoResponse) {
    // Costs one time-out of the link (3 s).
    auto sim = Start(1, "raw", {"--drop-at", "2"});
    Job job;
    EXPECT_EQ(Download(job, 1), 5u);
    EXPECT_THAT(boxes, ElementsAre("No response from the reader."));
}

TEST_F(SmallReaderEmulatorTest, CancelDownloadStopsTheReaderAndLeavesNoSignature) {
    // Slow answers leave time to cancel while the blocks go out.
    auto sim = Start(1, "addressed", {"--delay", "100"});
    Job job;
    job.silent = 1;
    std::thread cancel([&job] {
        std::this_thread::sleep_for(std::chrono::milliseconds(300));
        job.cancel = true;  // what an operator's client does as well
        job.CancelDownload();
    });
    const unsigned code = Download(job, 1);
    cancel.join();
    EXPECT_NE(code, 0u);
    sim->Wait();
    EXPECT_FALSE(Signed(Flash()));
}

TEST_F(SmallReaderEmulatorTest, PortHeldByAnotherProgramIsRefused) {
    auto sim = Start(1, "raw");
    // Another process holds the port.
    int ready[2];
    ASSERT_EQ(pipe(ready), 0);
    const pid_t holder = fork();
    if (holder == 0) {
        int32_t handle = -1;
        const char held = ZrOpen(0, 0x80000007u, 2, 55, &handle) == 0 ? 'y' : 'n';
        (void)!write(ready[1], &held, 1);
        pause();
        _exit(0);
    }
    char held = 0;
    ASSERT_EQ(read(ready[0], &held, 1), 1);
    ASSERT_EQ(held, 'y');
    Job job;
    EXPECT_EQ(Download(job, 1), 3u);
    EXPECT_THAT(boxes, ElementsAre("Error opening download session."));
    kill(holder, SIGKILL);
    waitpid(holder, nullptr, 0);
    close(ready[0]);
    close(ready[1]);

    // Once it is free, a prober opening and closing the port disturbs nothing.
    boxes.clear();
    const auto device = korvel::ports::DevicePath(0x80000007u);
    ASSERT_TRUE(device.has_value());
    for (int i = 0; i < 3; ++i) EXPECT_TRUE(korvel::ports::CanOpenPort(*device));
    EXPECT_EQ(Download(job, 1), 0u);
    EXPECT_EQ(sim->Wait(), 0);
}

}  // namespace
