// The progress of a station's run, a download to several ports at once, each port's job running
// in a process of its own and reporting in JSON lines: per port the state of its bar, and the
// three views of the whole station. On a terminal one live block, a row per port redrawn in place;
// in a log plain lines each starting with the port; for scripts the ports' own JSON lines, each
// carrying "port", and a summary at the end.
#ifndef CORDANE_TOOLS_STATION_VIEW_H
#define CORDANE_TOOLS_STATION_VIEW_H

#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "progress/views.h"
#include "station/port_outcome.h"

namespace cordane::tools {

// One port's job as the rows of the live view show it.
struct PortRow {
    std::string port;
    std::string reader;  // the reader type's name
    bool barStarted = false;
    int percent = 0;
    uint64_t imageBytes = 0;  // 0: unknown, the row shows percent only
    std::optional<double> bytesPerSecond;
    std::optional<double> secondsLeft;
    std::string status;           // the job's last message, before the bar moves
    std::optional<int> exitCode;  // set once the job is over
    int signal = 0;               // the signal that ended the job's process, if one did
};

// The row of one port, at most width - 1 columns: the port and reader type in columns of
// `portWidth` and `readerWidth`, then the bar, the bytes, the speed and the time left, or the
// status; once over, the result.
std::string FormatPortRow(const PortRow& row, size_t portWidth, size_t readerWidth, int width);

// The summary table: port, reader type, result, exit code, seconds and bytes sent, one row each.
std::string FormatSummaryTable(const std::vector<PortOutcome>& outcomes);

// {"event":"summary","jobs":[...],"code":N,"parent_cpu_ms":M}
std::string SummaryJson(const std::vector<PortOutcome>& outcomes, int exitCode, int64_t cpuMs);

// A port's JSON line with "port" added after "event": the line as the single-port download wrote
// it otherwise.
std::string WithPort(std::string_view line, const std::string& port);

class StationView {
  public:
    virtual ~StationView() = default;
    // A line of JSON from port `index`'s job, as it wrote it.
    virtual void Line(size_t index, std::string_view json, double now) = 0;
    // A line the job wrote to its standard error.
    virtual void Note(size_t index, const std::string& text, double now) = 0;
    // The user asked to stop.
    virtual void Stopping(double now) = 0;
    // Called now and then while nothing happens.
    virtual void Tick(double) {}
    // Port `index`'s job is over; `signal` is the signal that ended its process, 0 when it
    // exited.
    virtual void Finished(size_t index, int exitCode, int signal, double now) = 0;
    // Every job is over: the summary.
    virtual void End(const std::vector<PortOutcome>& outcomes, int exitCode, int64_t cpuMs) = 0;
    // The bytes sent by port `index`'s job so far, when the image size is known.
    virtual std::optional<uint64_t> BytesSent(size_t index) const = 0;
    // The reader type of port `index`: as given, or as its job found it.
    virtual int Reader(size_t index) const = 0;
};

struct StationPort {
    std::string port;
    int reader = -1;  // -1 until the job names it, when none was given
    uint64_t imageBytes = 0;
};

// `err` takes the terminal's and the log's text (and the jobs' own messages beside JSON), `out`
// the JSON lines.
std::unique_ptr<StationView> MakeLiveStationView(std::vector<StationPort> ports, Sink err,
                                                 std::function<int()> columns);
std::unique_ptr<StationView> MakePlainStationView(std::vector<StationPort> ports, Sink err);
std::unique_ptr<StationView> MakeJsonStationView(std::vector<StationPort> ports, Sink out,
                                                 Sink err);

}  // namespace cordane::tools

#endif
