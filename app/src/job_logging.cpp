#include "brenmark/job_logging.h"

#include <cstdlib>

#include "cordane/exit_codes.h"

namespace brenmark {

korvel::base::Expected<void> AppendToJobLog(const std::string& target,
                                            const korvel::joblog::JobRow& row) {
    return korvel::joblog::AppendJob(target, row);
}

DownloadJobLog::~DownloadJobLog() {
    {
        std::lock_guard lock(mutex_);
        ending_ = true;
    }
    changed_.notify_all();
    // The rows still handed over are written first: none is lost at the program's end.
    if (thread_.joinable()) thread_.join();
}

void DownloadJobLog::Begin(const std::string& port, int readerType, const std::string& readerName,
                           bool detected, int downloadType, const std::string& application,
                           const std::string& driver) {
    const char* target = std::getenv(korvel::joblog::kTargetVariable);
    active_ = target != nullptr && *target != '\0';
    if (!active_) return;
    target_ = target;
    start_ = std::chrono::steady_clock::now();
    row_ = {};
    row_.startedUtc = korvel::joblog::UtcText(std::chrono::system_clock::now());
    row_.host = korvel::joblog::HostName();
    row_.port = port;
    row_.readerType = readerType;
    row_.readerName = readerName;
    row_.readerDetected = detected;
    row_.downloadType = downloadType;
    row_.application = korvel::joblog::DescribeFile(application);
    row_.driver = korvel::joblog::DescribeFile(driver);
    row_.tool = std::string("brenmark ") + BRENMARK_VERSION;
}

void DownloadJobLog::End(int exitCode, Written written) {
    if (!active_) return;
    active_ = false;
    korvel::joblog::EndRow(row_, exitCode, cordane::ResultText(exitCode), start_);
    const std::string shown = korvel::joblog::ShownTarget(target_);
    Written told = [written = std::move(written), shown,
                    exitCode](korvel::base::Expected<void> outcome) {
        if (outcome) {
            written({});
            return;
        }
        written(korvel::base::Error(
            korvel::base::kFailureCode,
            "The download was not written to the job log " + shown + ": " +
                outcome.error().message + ".",
            "The download's result stands (exit code " + std::to_string(exitCode) + "). Make " +
                shown +
                " writable (or its server reachable), or set KORVEL_LOG to another job log.",
            outcome.error().cause));
    };
    {
        std::lock_guard lock(mutex_);
        pending_.push_back({target_, std::move(row_), std::move(told)});
        if (!thread_.joinable()) thread_ = std::thread([this] { WriteRows(); });
    }
    changed_.notify_all();
}

bool DownloadJobLog::Writing() const {
    std::lock_guard lock(mutex_);
    return writing_ || !pending_.empty();
}

void DownloadJobLog::WaitForWrites() {
    std::unique_lock lock(mutex_);
    changed_.wait(lock, [this] { return !writing_ && pending_.empty(); });
}

void DownloadJobLog::WriteRows() {
    std::unique_lock lock(mutex_);
    for (;;) {
        changed_.wait(lock, [this] { return ending_ || !pending_.empty(); });
        if (pending_.empty()) return;  // ending, and nothing left to write
        Pending next = std::move(pending_.front());
        pending_.pop_front();
        writing_ = true;
        lock.unlock();
        next.written(writer_(next.target, next.row));
        lock.lock();
        writing_ = false;
        changed_.notify_all();
    }
}

}  // namespace brenmark
