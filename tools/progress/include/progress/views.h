// The three views of a download's progress events: a live bar for a terminal, plain lines for
// logs, one JSON object per line for scripts; and the event a JSON line stands for, read back.
#ifndef CORDANE_TOOLS_PROGRESS_VIEWS_H
#define CORDANE_TOOLS_PROGRESS_VIEWS_H

#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <string_view>

#include "base/json_reader.h"
#include "progress/events.h"

namespace cordane::tools {

// One line of the terminal bar, at most `width` columns:
// "[########------------]  40%  22,937 of 57,344 bytes  0:03 left". imageBytes 0 leaves out the
// bytes; no secondsLeft leaves out the estimate.
std::string FormatBarLine(int percent, uint64_t imageBytes, std::optional<double> secondsLeft,
                          int width);

// Where a view writes: one call per piece of text.
using Sink = std::function<void(std::string_view)>;

class ProgressView {
  public:
    virtual ~ProgressView() = default;
    virtual void Show(const Event& event, double now) = 0;
    // Called now and then while nothing happens (the terminal refreshes its estimate).
    virtual void Tick(double) {}
    // The job is over with this exit code.
    virtual void Finish(int exitCode) = 0;
};

// The event a line of the JSON view stands for, read back by a station, which runs one download
// per port: a bar's "step" or "position" becomes a Position. Nothing for the lines that are no
// event of a running job ("error", "exit") and for anything that is not such a line.
std::optional<Event> EventFromJson(const korvel::base::JsonObject& line);

// imageBytes: the size of the image being sent, 0 when unknown. columns: a function giving the
// terminal's width.
std::unique_ptr<ProgressView> MakeTerminalView(Sink sink, uint64_t imageBytes,
                                               std::function<int()> columns);
std::unique_ptr<ProgressView> MakePlainView(Sink sink, uint64_t imageBytes);
std::unique_ptr<ProgressView> MakeJsonView(Sink sink, uint64_t imageBytes);

}  // namespace cordane::tools

#endif
