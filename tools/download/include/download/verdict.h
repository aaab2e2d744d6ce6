// The end of a download: the last line that says what its exit code means and what to do next.
#ifndef CORDANE_TOOLS_DOWNLOAD_VERDICT_H
#define CORDANE_TOOLS_DOWNLOAD_VERDICT_H

#include <string>

#include "cli/download_options.h"
#include "cordane/exit_codes.h"
#include "download/port.h"

namespace cordane::tools {

// The exit codes of a download, and what each means in a few words (ResultText: the summary of a
// download and its row in the job log say the same), are the exit-code table's
// (cordane/exit_codes.h).

// A download refused before it starts: the message on standard error, and with --json its events
// on standard output as well, so that a script reading them still finds the exit code. The code.
int RefuseDownload(bool json, const std::string& message, int code);

// What the exit code means and what to do next, for the last line on a terminal or in a log.
// `signal`: for kExitJobKilled, the signal that ended the job's process.
std::string Verdict(int code, const DownloadOptions& options, const PortChoice& port,
                    int signal = 0);

}  // namespace cordane::tools

#endif
