// The end of a download: its exit codes, and the last line that says what the code means and
// what to do next.
#ifndef CORDANE_TOOLS_DOWNLOAD_VERDICT_H
#define CORDANE_TOOLS_DOWNLOAD_VERDICT_H

#include <string>

#include "cordane/protocol.h"
#include "download_options.h"
#include "download_port.h"
#include "joblog/job_log.h"

namespace cordane::tools {

// Exit codes of a download, besides kExitOk, kExitBadInput (a file error or a refused port) and
// kExitUsage: the engine's statuses; any other value is the loader's own error code.
inline constexpr int kExitOpenFailed = kStatusOpenFailed;
inline constexpr int kExitCommunication = kStatusCommunication;
inline constexpr int kExitNoResponse = kStatusNoReply;
inline constexpr int kExitCancelled = kStatusCancelled;
inline constexpr int kExitInterrupted = 130;  // a second Ctrl-C: 128 + SIGINT, as shells report it
// Several ports: a port's own process was ended by a signal (killed, or crashed) before it could
// say how its download ended. Not a status of the engine's, and not 128 + N, which would read as
// a loader's error code.
inline constexpr int kExitJobKilled = 125;

// The reader type as the help lists it.
std::string ReaderName(int reader);

// What the exit code means in a few words, for a table of jobs: "completed", "communication
// error", "loader error 35 (0x23)". The job log's own text, so that the summary of a download and
// its row in the log say the same.
using korvel::joblog::ResultText;

// ResultText, or for a job whose process `signal` ended (kExitJobKilled), "ended by signal 9
// (SIGKILL)".
std::string JobResultText(int code, int signal);

// A download refused before it starts: the message on standard error, and with --json its events
// on standard output as well, so that a script reading them still finds the exit code. The code.
int RefuseDownload(bool json, const std::string& message, int code);

// What the exit code means and what to do next, for the last line on a terminal or in a log.
// `signal`: for kExitJobKilled, the signal that ended the job's process.
std::string Verdict(int code, const DownloadOptions& options, const PortChoice& port,
                    int signal = 0);

}  // namespace cordane::tools

#endif
