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
#include <vector>

#include "json_writer.h"

namespace cordane::tools {

enum class EventKind {
    Message,     // KvSetMessage: text
    Range,       // KvpBarSetRange: value = lower, upper
    StepSize,    // KvpBarSetStep: value = step
    StepIt,      // KvpBarStepIt
    Position,    // KvpBarSetPos: value = position
    Notice,      // KvFinTelechargement: value = code, text unless hasText is false
    Completion,  // KvDownloadCompleted: text, value = code
    MessageBox,  // a message box of the engine: caption, text, question and its answer
    Output,      // text the engine wrote to standard output
    Cancelling,  // the user asked to stop
};

struct Event {
    EventKind kind = EventKind::Message;
    std::string text;
    bool hasText = true;
    std::string caption;
    int value = 0;
    int upper = 0;
    bool question = false;     // MessageBox: a Yes/No question
    bool answeredYes = false;  // MessageBox: the answer given to it
};

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

// The progress bar as the engine drives it: a range, a step and a position.
class BarState {
  public:
    // Takes Range, StepSize, StepIt and Position events; true when the bar moved or was set up.
    bool Apply(const Event& event);
    bool started() const { return started_; }
    int position() const { return position_; }
    // The position as a share of the range, 0 to 100.
    int Percent() const;

  private:
    bool started_ = false;
    int lower_ = 0;
    int upper_ = 100;
    int step_ = 10;  // a progress bar's step until it is set
    int position_ = 0;
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

// 57344 -> "57,344".
std::string GroupDigits(uint64_t value);

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

// imageBytes: the size of the image being sent, 0 when unknown. columns: a function giving the
// terminal's width.
std::unique_ptr<ProgressView> MakeTerminalView(Sink sink, uint64_t imageBytes,
                                               std::function<int()> columns);
std::unique_ptr<ProgressView> MakePlainView(Sink sink, uint64_t imageBytes);
std::unique_ptr<ProgressView> MakeJsonView(Sink sink, uint64_t imageBytes);

}  // namespace cordane::tools

#endif
