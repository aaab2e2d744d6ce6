// A download's progress as events: the engine's callbacks arrive on its worker thread, are turned
// into Event values once, and are handed to the main thread, which follows the bar they move and
// shows them (views.h).
#ifndef CORDANE_TOOLS_PROGRESS_EVENTS_H
#define CORDANE_TOOLS_PROGRESS_EVENTS_H

#include <deque>
#include <mutex>
#include <optional>
#include <string>
#include <utility>
#include <variant>
#include <vector>

#include "base/wait.h"
#include "cordane/progress_bar.h"

namespace cordane::tools {

// The events, one type per kind. In a download they come in this order:
//   - while the job runs, in the engine's order: Message (a line of its progress text), Range
//     (the bar set up; before the bar's first move), StepSize, StepIt and Position (the bar
//     moved), Box (a message or a question of the engine; a question holds the job until
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
struct Box {  // a message box of the engine (windows.h takes the name MessageBox)
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
                           events::Position, events::Notice, events::Completion, events::Box,
                           events::Output, events::Cancelling>;

// Events handed from the worker thread to the main thread. Its wake-up is raised while events
// wait, so that the main thread can wait for it together with the user's interrupts.
class EventQueue {
  public:
    explicit EventQueue(korvel::base::Wakeup wakeup) : wakeup_(std::move(wakeup)) {}
    EventQueue(const EventQueue&) = delete;
    EventQueue& operator=(const EventQueue&) = delete;

    // What a wait for events waits for (WaitForAny).
    const korvel::base::Wakeup& wakeup() const { return wakeup_; }
    // Never throws: an event that cannot be stored is dropped (the job goes on regardless).
    // Bar movements do not raise the wake-up; the consumer picks them up at its next look.
    void Push(Event event) noexcept;
    // Every event waiting, oldest first.
    std::vector<Event> Drain();

  private:
    std::mutex mutex_;
    std::deque<Event> events_;
    korvel::base::Wakeup wakeup_;
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

// Seconds on the steady clock: the time the events are shown at.
double NowSeconds();

}  // namespace cordane::tools

#endif
