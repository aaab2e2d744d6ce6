// The row Brenmark writes to the job log for each download when KORVEL_LOG names one (an SQLite
// file or a postgresql:// address), the same row `cordane download --log` writes.
//
// The row is written on a thread of the job log's own, so that a database that keeps it waiting
// (a PostgreSQL table another station holds locked, for the job log's whole time-out) never holds
// the dialog. Rows are written in the order the downloads ended; each write is bounded by the job
// log's own time-outs, and nothing is dropped: the object waits for the rows handed over before it
// goes.
#ifndef BRENMARK_JOB_LOGGING_H
#define BRENMARK_JOB_LOGGING_H

#include <chrono>
#include <condition_variable>
#include <deque>
#include <functional>
#include <mutex>
#include <string>
#include <thread>

#include "base/error.h"
#include "joblog/job_log.h"

namespace brenmark {

// Appends one row to the job log that `target` names.
using JobRowWriter = std::function<korvel::base::Expected<void>(const std::string& target,
                                                                const korvel::joblog::JobRow& row)>;

// The job log's own writer: korvel::joblog::AppendJob.
korvel::base::Expected<void> AppendToJobLog(const std::string& target,
                                            const korvel::joblog::JobRow& row);

class DownloadJobLog {
  public:
    // Gets, on the writing thread, how the row's write went: on failure the message for the
    // operator (the download's own result is not changed by it).
    using Written = std::function<void(korvel::base::Expected<void>)>;

    explicit DownloadJobLog(JobRowWriter writer = AppendToJobLog) : writer_(std::move(writer)) {}
    ~DownloadJobLog();
    DownloadJobLog(const DownloadJobLog&) = delete;
    DownloadJobLog& operator=(const DownloadJobLog&) = delete;

    // The writer rows go to (before the first row is handed over).
    void SetWriter(JobRowWriter writer) { writer_ = std::move(writer); }

    // At Start, once the job is handed to the engine: its start, its settings and its files'
    // fingerprints. Does nothing when KORVEL_LOG is unset or empty.
    void Begin(const std::string& port, int readerType, const std::string& readerName,
               bool detected, int downloadType, const std::string& application,
               const std::string& driver);
    // At the end of the download: hands the row over to the writing thread and returns at once;
    // `written` follows once the row is written or refused.
    void End(int exitCode, Written written);
    // Between Begin and End of a logged job.
    bool active() const { return active_; }

    // Whether a row handed over is still being written.
    bool Writing() const;
    // Waits until every row handed over has been written or refused, and its `written` called.
    void WaitForWrites();

  private:
    struct Pending {
        std::string target;
        korvel::joblog::JobRow row;
        Written written;
    };
    void WriteRows();  // the writing thread

    JobRowWriter writer_;
    bool active_ = false;
    std::string target_;
    korvel::joblog::JobRow row_;
    std::chrono::steady_clock::time_point start_;

    mutable std::mutex mutex_;
    std::condition_variable changed_;
    std::deque<Pending> pending_;
    bool writing_ = false;  // a row taken from pending_ is being written
    bool ending_ = false;
    std::thread thread_;  // started with the first row
};

}  // namespace brenmark

#endif
