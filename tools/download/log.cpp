#include "download/log.h"

#include <cstdio>
#include <cstdlib>

#include "cordane/cordane.h"
#include "download/verdict.h"

namespace cordane::tools {

std::string JobLogTarget(const DownloadOptions& options) {
    if (!options.log.empty()) return options.log;
    const char* variable = std::getenv(korvel::joblog::kTargetVariable);
    return variable != nullptr ? variable : "";
}

LoggedView::LoggedView(ProgressView* shown, const DownloadOptions& options, const PortChoice& port,
                       uint64_t imageBytes, bool detected,
                       const korvel::base::Interrupts* interrupts)
    : shown_(shown), target_(JobLogTarget(options)), imageBytes_(imageBytes) {
    if (interrupts != nullptr) stop_.when = korvel::base::Waitable(*interrupts);
    start_ = std::chrono::steady_clock::now();
    if (target_.empty()) return;
    row_.startedUtc = korvel::joblog::UtcText(std::chrono::system_clock::now());
    row_.host = korvel::joblog::HostName();
    row_.port = port.throughPath ? port.device : port.text;
    row_.readerType = options.reader;
    row_.readerName = ReaderNameOf(options.reader);
    row_.readerDetected = detected;
    row_.downloadType = options.type;
    if (options.type != static_cast<int>(KV_DOWNLOAD_ERASE_CODE)) {
        row_.application = korvel::joblog::DescribeFile(options.application);
    }
    row_.driver = korvel::joblog::DescribeFile(options.driver);
    row_.tool = std::string("cordane ") + CORDANE_VERSION;
}

void LoggedView::Show(const Event& event, double now) {
    bar_.Apply(event);
    shown_->Show(event, now);
}

void LoggedView::Finish(int exitCode) {
    if (target_.empty()) {
        shown_->Finish(exitCode);
        return;
    }
    korvel::joblog::EndRow(row_, exitCode, ResultText(exitCode), start_);
    // The bytes are known where the image's size is: as the bar shows them.
    if (imageBytes_ > 0) {
        const int percent = exitCode == 0 ? 100 : bar_.Percent();
        row_.bytesSent = static_cast<int64_t>(imageBytes_ * static_cast<uint64_t>(percent) / 100);
    }
    // The row first, so that the exit code the view gives last is the program's own; what
    // went wrong is said after the view's end, on a line of its own.
    const korvel::base::Expected<void> written = korvel::joblog::AppendJob(target_, row_, &stop_);
    shown_->Finish(stop_.stopped ? kExitInterrupted : exitCode);
    if (written) return;
    const std::string& error = written.error().message;
    const std::string shown = korvel::joblog::ShownTarget(target_);
    if (stop_.stopped) {
        std::fprintf(stderr,
                     "cordane download: the job was not logged to %s: %s. The download itself "
                     "ended with exit code %d (%s); quit at once (exit code %d)\n",
                     shown.c_str(), error.c_str(), exitCode, row_.result.c_str(), kExitInterrupted);
        return;
    }
    std::fprintf(stderr,
                 "cordane download: the job was not logged to %s: %s. The download's result "
                 "stands (exit code %d); make %s writable (or its server reachable), or give "
                 "another --log target\n",
                 shown.c_str(), error.c_str(), exitCode, shown.c_str());
}

}  // namespace cordane::tools
