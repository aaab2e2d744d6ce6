// Brenmark's row in the job log: written at the end of each download when KORVEL_LOG names a job
// log, and a log that cannot be written told to the operator without changing the exit code.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <cstdlib>

#include "dialog_harness.h"
#include "job_log.h"

namespace brenmarktest {
namespace {

using ::testing::HasSubstr;
using namespace brenmark;

class JobLoggingTest : public DialogTest {
  protected:
    void TearDown() override {
        unsetenv("KORVEL_LOG");
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
    setenv("KORVEL_LOG", log.c_str(), 1);
    dialog.OnInitDialog();
    const std::string application = WriteApplication("app.sre", 300);
    Download(application);
    EXPECT_EQ(dialog.WaitForWorker(), 0u);
    Download((dir / "missing.sre").string());
    EXPECT_EQ(dialog.WaitForWorker(), 1u);

    std::string error;
    const auto store = korvel::joblog::OpenStore(log, korvel::joblog::Access::kRead, error);
    ASSERT_TRUE(store) << error;
    std::vector<korvel::joblog::JobRow> rows;
    ASSERT_TRUE(store->List({}, rows, error)) << error;
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
    setenv("KORVEL_LOG", unwritable.c_str(), 1);
    Download(application);
    EXPECT_EQ(dialog.WaitForWorker(), 0u);
    ASSERT_EQ(view.boxes.size(), 1u);
    EXPECT_THAT(view.boxes[0], HasSubstr("not written to the job log " + unwritable));
    EXPECT_THAT(view.boxes[0], HasSubstr("exit code 0"));
}

}  // namespace
}  // namespace brenmarktest
