#include "brenmark/job_logging.h"

#include <cstdlib>

#include "cordane/exit_codes.h"

namespace brenmark {

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

std::optional<std::string> DownloadJobLog::End(int exitCode) {
    if (!active_) return std::nullopt;
    active_ = false;
    korvel::joblog::EndRow(row_, exitCode, cordane::ResultText(exitCode), start_);
    const korvel::base::Expected<void> written = korvel::joblog::AppendJob(target_, row_);
    if (written) return std::nullopt;
    const std::string shown = korvel::joblog::ShownTarget(target_);
    return "The download was not written to the job log " + shown + ": " + written.error().message +
           ".\nThe download's result stands (exit code " + std::to_string(exitCode) + "). Make " +
           shown +
           " writable (or its server reachable), or set KORVEL_LOG to "
           "another job log.";
}

}  // namespace brenmark
