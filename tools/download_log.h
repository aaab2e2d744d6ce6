// The row a download leaves in the job log (--log TARGET, or KORVEL_LOG): a view that passes every
// event on to the view shown, follows the bar for the bytes sent, and writes the row when the job
// is over. A row that cannot be written is reported on standard error; the download's exit code
// and result stay what they are.
#ifndef CORDANE_TOOLS_DOWNLOAD_LOG_H
#define CORDANE_TOOLS_DOWNLOAD_LOG_H

#include <chrono>
#include <cstdint>
#include <string>

#include "download_options.h"
#include "download_port.h"
#include "job_log.h"
#include "progress.h"

namespace cordane::tools {

// The job log's target: --log, else KORVEL_LOG; empty when the job is not logged.
std::string JobLogTarget(const DownloadOptions& options);

class LoggedView : public ProgressView {
  public:
    // Takes the job's start and its files' fingerprints now, before the engine reads them.
    // `detected`: the reader type in `options` was found by detection rather than given.
    LoggedView(ProgressView* shown, const DownloadOptions& options, const PortChoice& port,
               uint64_t imageBytes, bool detected = false);

    void Show(const Event& event, double now) override;
    void Tick(double now) override { shown_->Tick(now); }
    // Finishes the shown view, then writes the row.
    void Finish(int exitCode) override;

  private:
    ProgressView* shown_;
    std::string target_;
    uint64_t imageBytes_;
    BarState bar_;
    korvel::joblog::JobRow row_;
    std::chrono::steady_clock::time_point start_;
};

}  // namespace cordane::tools

#endif
