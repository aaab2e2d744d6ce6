// Brenmark's row in the job log: written at the end of each download when KORVEL_LOG names a job
// log, and a log that cannot be written told to the operator without changing the exit code.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <condition_variable>
#include <cstdlib>

#include "dialog_harness.h"
#include "joblog/job_log.h"
#include "support/environment.h"

namespace brenmarktest {
namespace {

using ::testing::HasSubstr;
using namespace brenmark;

// The engine's message box, answered only when the test says so: the worker waits in it as it
// waits for the operator. It gives up after 5 s and notes that it did.
struct LateBox {
    LateBox() { KvSetMessageBoxHandler(&LateBox::Show, this); }
    ~LateBox() { KvSetMessageBoxHandler(nullptr, nullptr); }
    static int Show(HWND, const char* text, const char*, unsigned, void* context) {
        auto* self = static_cast<LateBox*>(context);
        std::unique_lock lock(self->mutex);
        self->text = text;
        self->gaveUp = !self->changed.wait_for(lock, std::chrono::seconds(5),
                                               [self] { return self->answered; });
        return IDOK;
    }
    template <typename T>
    T Read(const T& field) {
        std::lock_guard lock(mutex);
        return field;
    }
    void Answer() {
        std::lock_guard lock(mutex);
        answered = true;
        changed.notify_all();
    }
    std::mutex mutex;
    std::condition_variable changed;
    std::string text;
    bool answered = false;
    bool gaveUp = false;
};

class JobLoggingTest : public DialogTest {
  protected:
    void TearDown() override {
        korvel::testkit::UnsetEnvironment("KORVEL_LOG");
        DialogTest::TearDown();
    }
    // One download of `application` to KORVEL03 as a KvTal (64 Kb), to its end of download.
    void Download(const std::string& application) {
        view.texts[kApplicationFile] = application;
        view.lists[kTerminalList].selection = 0;
        dialog.OnTerminalTypeChange();
        view.lists[kPortList].selection = 1;
        ASSERT_TRUE(dialog.OnStart());
        RunWorkerToEnd();
        Tick(kTimerEndOfDownload);
    }
};

TEST_F(JobLoggingTest, EachDownloadLeavesItsRowAndAnUnwritableLogIsToldWithoutChangingTheCode) {
    const std::string log = (dir / "jobs.db").string();
    korvel::testkit::SetEnvironment("KORVEL_LOG", log.c_str());
    dialog.OnInitDialog();
    const std::string application = WriteApplication("app.sre", 300);
    Download(application);
    EXPECT_EQ(dialog.WaitForWorker(), 0u);
    Download((dir / "missing.sre").string());
    EXPECT_EQ(dialog.WaitForWorker(), 1u);

    const auto store = korvel::joblog::OpenStore(log, korvel::joblog::Access::kRead);
    ASSERT_TRUE(store) << store.error().message;
    const auto listed = (*store)->List({});
    ASSERT_TRUE(listed) << listed.error().message;
    const std::vector<korvel::joblog::JobRow>& rows = *listed;
    ASSERT_EQ(rows.size(), 2u);
    const korvel::joblog::FileRecord file = korvel::joblog::DescribeFile(application);
    EXPECT_EQ(rows[0].port, "KORVEL03");
    EXPECT_EQ(rows[0].readerType, 0);
    EXPECT_EQ(rows[0].readerName, "KvTal (64 Kb)");
    EXPECT_FALSE(rows[0].readerDetected);
    EXPECT_EQ(rows[0].application.path, application);
    EXPECT_EQ(rows[0].application.sha256, file.sha256);
    EXPECT_EQ(rows[0].exitCode, 0);
    EXPECT_EQ(rows[0].result, "completed");
    EXPECT_EQ(rows[0].tool.rfind("brenmark ", 0), 0u);
    EXPECT_LE(rows[0].startedUtc, rows[0].endedUtc);
    EXPECT_EQ(rows[1].exitCode, 1);
    EXPECT_FALSE(rows[1].application.size.has_value());  // the file was missing
    EXPECT_TRUE(view.boxes.empty());

    // A log in a directory that does not exist: the operator is told, the code stays the engine's.
    const std::string unwritable = (dir / "no-such-directory" / "jobs.db").string();
    korvel::testkit::SetEnvironment("KORVEL_LOG", unwritable.c_str());
    Download(application);
    EXPECT_EQ(dialog.WaitForWorker(), 0u);
    ASSERT_EQ(view.boxes.size(), 1u);
    EXPECT_THAT(view.boxes[0], HasSubstr("not written to the job log " + unwritable));
    EXPECT_THAT(view.boxes[0], HasSubstr("exit code 0"));
}

TEST_F(JobLoggingTest, EndNoticeBeforeAnEngineBoxFreezesNothingAndTheRowHasTheWorkersCode) {
    const std::string log = (dir / "jobs.db").string();
    const std::string missing = (dir / "missing.sre").string();
    dialog.OnInitDialog();
    // A large reader's missing file: the engine sends its last notice, then shows its box, so
    // timer 1 ticks while the box waits for the operator. Quit, should it come then, ends the
    // dialog with the job's end.
    struct Pass {
        bool logged;
        int runMode;
        bool quit;
    };
    for (const Pass pass : {Pass{false, kRunInteractive, false}, Pass{true, kRunInteractive, true},
                            Pass{true, kRunAutomatic, false}}) {
        SCOPED_TRACE(std::string(pass.logged ? "logged " : "") +
                     (pass.runMode == kRunAutomatic ? "automatic" : "interactive") +
                     (pass.quit ? " quit" : ""));
        if (pass.logged) korvel::testkit::SetEnvironment("KORVEL_LOG", log.c_str());
        dialog.runMode = pass.runMode;
        dialog.cancelFlag = false;
        view.ended.reset();
        LateBox box;
        view.texts[kApplicationFile] = missing;
        view.lists[kTerminalList].selection = KvTal1Mb;
        dialog.OnTerminalTypeChange();
        view.texts[kDriverFile] = WriteApplication("driver.sre");
        view.lists[kPortList].selection = 1;
        ASSERT_TRUE(dialog.OnStart());
        auto boxUpAfterTheNotice = [&] {
            return !box.Read(box.text).empty() && view.timers.count(kTimerEndOfDownload) != 0;
        };
        for (int i = 0; i < 5000 && !boxUpAfterTheNotice(); ++i) {
            view.Pump();
            std::this_thread::sleep_for(std::chrono::milliseconds(1));
        }
        EXPECT_THAT(box.Read(box.text), HasSubstr(missing));

        // The tick, as the box's own event loop runs it: it returns at once, and the job is not
        // over for the dialog while its worker waits.
        Tick(kTimerEndOfDownload);
        EXPECT_FALSE(view.IsControlEnabled(kStart));
        if (pass.quit) dialog.OnQuit();
        EXPECT_FALSE(view.ended.has_value());
        box.Answer();
        RunWorkerToEnd();
        Tick(kTimerEndOfDownload);
        EXPECT_FALSE(box.Read(box.gaveUp))
            << "the tick waited for the worker, which waited for the box";
        EXPECT_FALSE(view.timers.count(kTimerEndOfDownload));
        EXPECT_EQ(dialog.WaitForWorker(), 1u);
        if (pass.runMode == kRunAutomatic || pass.quit) {
            EXPECT_EQ(view.ended, 0);
        } else {
            EXPECT_TRUE(view.IsControlEnabled(kStart));
            EXPECT_TRUE(view.IsControlEnabled(kQuit));
        }
    }

    // One row per logged job, with the worker's exit code.
    const auto store = korvel::joblog::OpenStore(log, korvel::joblog::Access::kRead);
    ASSERT_TRUE(store) << store.error().message;
    const auto listed = (*store)->List({});
    ASSERT_TRUE(listed) << listed.error().message;
    const std::vector<korvel::joblog::JobRow>& rows = *listed;
    ASSERT_EQ(rows.size(), 2u);
    for (const korvel::joblog::JobRow& row : rows) {
        EXPECT_EQ(row.exitCode, 1);
        EXPECT_EQ(row.application.path, missing);
    }
    EXPECT_TRUE(view.boxes.empty());
}

// A job log that holds each row until the test lets it go, as a PostgreSQL table another station
// holds locked does; it gives up after 10 s (and notes it) so that a dialog that waited for it
// shows as a failure, not a hang.
struct HeldJobLog {
    korvel::base::Expected<void> Write(const korvel::joblog::JobRow& row) {
        std::unique_lock lock(mutex);
        ++calls;
        changed.notify_all();
        if (!changed.wait_for(lock, std::chrono::seconds(10), [this] { return released; })) {
            gaveUp = true;
        }
        rows.push_back(row);
        if (refuse) return korvel::base::Error(1, "the table jobs is locked");
        return {};
    }
    // Waits (at most 10 s) until the writer has been given `count` rows.
    bool Called(int count) {
        std::unique_lock lock(mutex);
        return changed.wait_for(lock, std::chrono::seconds(10), [&] { return calls >= count; });
    }
    void Hold() {
        std::lock_guard lock(mutex);
        released = false;
    }
    void Release() {
        std::lock_guard lock(mutex);
        released = true;
        changed.notify_all();
    }
    template <typename T>
    T Read(const T& field) {
        std::lock_guard lock(mutex);
        return field;
    }
    std::mutex mutex;
    std::condition_variable changed;
    int calls = 0;
    bool released = false;
    bool refuse = false;
    bool gaveUp = false;
    std::vector<korvel::joblog::JobRow> rows;
};

TEST_F(JobLoggingTest, TheRowIsWrittenOffTheDialogsThreadAndARefusalIsToldThroughPost) {
    korvel::testkit::SetEnvironment("KORVEL_LOG", "postgresql://db.example/line");
    HeldJobLog log;
    log.refuse = true;
    dialog.SetJobLogWriter(
        [&log](const std::string&, const korvel::joblog::JobRow& row) { return log.Write(row); });
    dialog.OnInitDialog();
    const std::string application = WriteApplication("app.sre", 300);

    // The end of the download makes the dialog ready while the job log still holds the row.
    Download(application);
    ASSERT_TRUE(log.Called(1));
    EXPECT_TRUE(view.IsControlEnabled(kStart));
    EXPECT_TRUE(dialog.JobLogWriting());
    view.Pump();
    EXPECT_TRUE(view.boxes.empty());
    log.Release();
    for (int i = 0; i < 10000 && dialog.JobLogWriting(); ++i) {
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    ASSERT_FALSE(dialog.JobLogWriting());
    // The refusal reaches the operator on the dialog's own thread, through the view's queue.
    EXPECT_TRUE(view.boxes.empty());
    view.Pump();
    ASSERT_EQ(view.boxes.size(), 1u);
    EXPECT_THAT(view.boxes[0], HasSubstr("not written to the job log postgresql://db.example/line: "
                                         "the table jobs is locked.\nThe download's result stands "
                                         "(exit code 0)"));
    EXPECT_EQ(view.boxStyles[0], unsigned{MB_OK | MB_ICONWARNING});

    // The automatic run ends the dialog right after its job: the row is still written, once,
    // before the program's exit code is known.
    log.Hold();
    log.refuse = false;
    dialog.runMode = kRunAutomatic;
    Download(application);
    EXPECT_EQ(view.ended, 0);
    ASSERT_TRUE(log.Called(2));
    EXPECT_EQ(log.Read(log.rows).size(), 1u);
    log.Release();
    EXPECT_EQ(dialog.WaitForWorker(), 0u);
    EXPECT_FALSE(dialog.JobLogWriting());
    const std::vector<korvel::joblog::JobRow> rows = log.Read(log.rows);
    ASSERT_EQ(rows.size(), 2u);
    EXPECT_EQ(log.Read(log.calls), 2);
    EXPECT_EQ(rows[1].application.path, application);
    EXPECT_EQ(rows[1].exitCode, 0);
    EXPECT_FALSE(log.Read(log.gaveUp)) << "the dialog waited for the job log";
    EXPECT_EQ(view.boxes.size(), 1u);
}

}  // namespace
}  // namespace brenmarktest
