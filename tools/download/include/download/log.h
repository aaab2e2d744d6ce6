// The row a download leaves in the job log (--log TARGET, or KORVEL_LOG): a view that passes every
// event on to the view shown, follows the bar for the bytes sent, and writes the row when the job
// is over. A row that cannot be written is reported on standard error; the download's exit code
// and result stay what they are. An interrupt while the row is written (a lock held on the table)
// stops the write at once, and the program quits with kExitInterrupted.
#ifndef CORDANE_TOOLS_DOWNLOAD_LOG_H
#define CORDANE_TOOLS_DOWNLOAD_LOG_H

#include <chrono>
#include <cstdint>
#include <optional>
#include <string>

#include "base/interrupts.h"
#include "cli/download_options.h"
#include "download/port.h"
#include "joblog/job_log.h"
#include "progress/views.h"

namespace cordane::tools {

// The job log's target: --log, else KORVEL_LOG; empty when the job is not logged.
std::string JobLogTarget(const DownloadOptions& options);

class LoggedView : public ProgressView {
  public:
    // Takes the job's start and its files' fingerprints now, before the engine reads them.
    // `detected`: the reader type in `options` was found by detection rather than given.
    // `interrupts`: the user's requests to stop, when the program takes them (null: none); one
    // stops the write.
    LoggedView(ProgressView* shown, const DownloadOptions& options, const PortChoice& port,
               uint64_t imageBytes, bool detected = false,
               const korvel::base::Interrupts* interrupts = nullptr);

    void Show(const Event& event, double now) override;
    void Tick(double now) override { shown_->Tick(now); }
    // Writes the row, then finishes the shown view with the program's exit code: the job's, or
    // kExitInterrupted when a signal stopped the write.
    void Finish(int exitCode) override;
    // An interrupt stopped the row's write: the program quits with kExitInterrupted.
    bool Stopped() const { return stop_.stopped; }

  private:
    ProgressView* shown_;
    std::string target_;
    uint64_t imageBytes_;
    BarState bar_;
    korvel::joblog::JobRow row_;
    std::chrono::steady_clock::time_point start_;
    korvel::joblog::Stop stop_;
};

}  // namespace cordane::tools

#endif
