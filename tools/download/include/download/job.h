// One download job on one port, from the checks to the verdict.
#ifndef CORDANE_TOOLS_DOWNLOAD_JOB_H
#define CORDANE_TOOLS_DOWNLOAD_JOB_H

#include "cli/download_options.h"

namespace cordane::tools {

// Runs the download `options` describe on its one port: the files and the port checked, a global
// file's part extracted, the job run through the engine with its progress shown (on a terminal as
// a live bar, in a log as plain lines, for scripts as JSON lines) and cancelled on the user's
// interrupt, the job log's row written and the verdict said. The exit code.
int RunJob(const DownloadOptions& options);

}  // namespace cordane::tools

#endif
