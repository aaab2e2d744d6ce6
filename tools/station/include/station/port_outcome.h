// The outcome of one port's download, as the summary of a station's run shows it: what ran where,
// how it ended, what it sent and how long it took. (Each job's row in the job log is written by
// the job itself, download/log.h, or by the station for a job whose process was killed.)
#ifndef CORDANE_TOOLS_STATION_PORT_OUTCOME_H
#define CORDANE_TOOLS_STATION_PORT_OUTCOME_H

#include <chrono>
#include <cstdint>
#include <optional>
#include <string>

namespace cordane::tools {

struct PortOutcome {
    std::string port;                   // as the user named it
    int reader = -1;                    // the reader type
    int type = 0;                       // the download type
    std::string application;            // empty for download type 3
    std::string driver;                 // the large readers' driver library, when given
    int exitCode = 0;                   // the download's exit code
    int signal = 0;                     // the signal that ended the job's process, if one did
    std::string result;                 // the exit code in a few words (ResultText)
    std::optional<uint64_t> bytesSent;  // nothing when the image size is unknown
    std::chrono::system_clock::time_point started;
    std::chrono::system_clock::time_point ended;
    double seconds = 0;  // wall time of the job
};

}  // namespace cordane::tools

#endif
