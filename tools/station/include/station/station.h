// A station's run: "cordane download" to several ports at once, one child process per port, each
// a single-port "cordane download --json", watched and shown together by this one.
#ifndef CORDANE_TOOLS_STATION_STATION_H
#define CORDANE_TOOLS_STATION_STATION_H

#include "cli/download_options.h"

namespace cordane::tools {

// Runs the download of `options` (two ports or more) on every port; argv as the subcommand got
// it (argv[0] "download"). The exit code: 0 when every job succeeded, else the code of the first
// port, in the order given, whose job failed.
int RunStation(int argc, char** argv, const DownloadOptions& options);

}  // namespace cordane::tools

#endif
