// Progress of a download as events: the engine's callbacks arrive on its worker thread, are turned
// into Event values once, queued, and rendered on the main thread by one of three views: a live
// bar for a terminal, plain lines for logs, or one JSON object per line for scripts.
#ifndef CORDANE_TOOLS_PROGRESS_H
#define CORDANE_TOOLS_PROGRESS_H

#include <cstdint>
#include <deque>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <variant>
#include <vector>

#include "base/json_reader.h"
#include "base/text.h"
#include "cordane/progress_bar.h"

namespace cordane::tools {

// The events, one type per kind. In a download they come in this order:
//   - while the job runs, in the engine's order: Message (a line of its progress text), Range
//     (the bar set up; before the bar's first move), StepSize, StepIt and Position (the bar
//     moved), MessageBox (a message or a question of the engine; a question holds the job until
//     its answer, already given from the command line, is returned), and Output (text the engine
//     wrote to standard output, shown after the events it follows);
//   - Cancelling, at most once, when the user asks to stop: the job ends at its next cancel query;
//   - Notice: the job's notices, the last one KV_NOTICE_OVER;
//   - Completion, once: right after the success notice, else with the last notice.
// A view's Finish, with the exit code, comes after the last event.
namespace events {
struct Message {  // KvSetMessage
    std::string text;
};
struct Range {  // KvpBarSetRange
    int lower = 0;
    int upper = 0;
};
struct StepSize {  // KvpBarSetStep
    int step = 0;
};
struct StepIt {};  // KvpBarStepIt
struct Position {  // KvpBarSetPos
    int position = 0;
};
struct Notice {  // KvFinTelechargement
    int code = 0;
    std::optional<std::string> text;  // nothing: a notice without text
};
struct Completion {  // KvDownloadCompleted
    std::string text;
    int code = 0;
};
struct MessageBox {  // a message box of the engine
    std::string caption;
    std::string text;
    bool question = false;     // a Yes/No question
    bool answeredYes = false;  // the answer given to it
};
struct Output {  // text the engine wrote to standard output
    std::string text;
};
struct Cancelling {};  // the user asked to stop
}  // namespace events

using Event = std::variant<events::Message, events::Range, events::StepSize, events::StepIt,
                           events::Position, events::Notice, events::Completion, events::MessageBox,
                           events::Output, events::Cancelling>;

// Events handed from the worker thread to the main thread. The descriptor becomes readable while
// events wait, so that the main thread can poll it together with its signals.
class EventQueue {
  public:
    EventQueue();
    ~EventQueue();
    EventQueue(const EventQueue&) = delete;
    EventQueue& operator=(const EventQueue&) = delete;

    bool ok() const { return fd_ >= 0; }
    int fd() const { return fd_; }
    // Never throws: an event that cannot be stored is dropped (the job goes on regardless).
    // Bar movements do not make fd() readable; the consumer picks them up at its next look.
    void Push(Event event) noexcept;
    // Every event waiting, oldest first.
    std::vector<Event> Drain();

  private:
    std::mutex mutex_;
    std::deque<Event> events_;
    int fd_ = -1;
};

// The progress bar as the engine drives it (cordane/progress_bar.h), fed with the events. A step
// past the upper bound stays there; a new range starts the bar at its lower bound.
class BarState {
  public:
    // Takes Range, StepSize, StepIt and Position events; true when the bar moved or was set up.
    bool Apply(const Event& event);
    bool started() const { return started_; }
    int position() const { return bar_.position(); }
    // The position as a share of the range, 0 to 100.
    int Percent() const { return bar_.Percent(); }

  private:
    bool started_ = false;
    ProgressBar bar_{PastTheEnd::Stop};
};

// Estimates the time left from the pace of the bar since it first moved by position.
class TimeLeft {
  public:
    void Update(int percent, double now);
    // Seconds left, once the bar has moved long enough to tell.
    std::optional<double> Seconds(double now) const;

  private:
    bool haveOrigin_ = false;
    double originTime_ = 0;
    int originPercent_ = 0;
    double lastTime_ = 0;
    int lastPercent_ = 0;
};

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

// The event a line of the JSON view stands for, read back by the process that runs one download
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
