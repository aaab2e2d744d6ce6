// The row Brenmark writes to the job log for each download when KORVEL_LOG names one (an SQLite
// file or a postgresql:// address), the same row `cordane download --log` writes.
#ifndef BRENMARK_JOB_LOGGING_H
#define BRENMARK_JOB_LOGGING_H

#include <chrono>
#include <optional>
#include <string>

#include "joblog/job_log.h"

namespace brenmark {

class DownloadJobLog {
  public:
    // At Start, once the job is handed to the engine: its start, its settings and its files'
    // fingerprints. Does nothing when KORVEL_LOG is unset or empty.
    void Begin(const std::string& port, int readerType, const std::string& readerName,
               bool detected, int downloadType, const std::string& application,
               const std::string& driver);
    // At the end of the download: writes the row. The message for the operator when it could
    // not be written; the download's own result is not changed by it.
    std::optional<std::string> End(int exitCode);
    // Between Begin and End of a logged job.
    bool active() const { return active_; }

  private:
    bool active_ = false;
    std::string target_;
    korvel::joblog::JobRow row_;
    std::chrono::steady_clock::time_point start_;
};

}  // namespace brenmark

#endif
