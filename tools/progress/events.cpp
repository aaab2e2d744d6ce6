#include "progress/events.h"

#include <algorithm>
#include <chrono>
#include <iterator>

namespace cordane::tools {

// ---- EventQueue

void EventQueue::Push(Event event) noexcept {
    // The bar moves once a block, a thousand times a second at best: those events wait for the
    // consumer's next look (it looks at least every refresh period) instead of waking it each
    // time; everything else wakes it at once.
    const bool wake = !std::holds_alternative<events::StepIt>(event) &&
                      !std::holds_alternative<events::Position>(event);
    // The wake-up is raised under the lock, as Drain takes it: after a Drain it is raised only
    // for events that came after it.
    std::lock_guard lock(mutex_);
    try {
        events_.push_back(std::move(event));
    } catch (...) {
        return;  // out of memory: this event is lost, the download itself is not
    }
    if (wake) wakeup_.Wake();
}

std::vector<Event> EventQueue::Drain() {
    std::lock_guard lock(mutex_);
    wakeup_.Clear();
    std::vector<Event> events(std::make_move_iterator(events_.begin()),
                              std::make_move_iterator(events_.end()));
    events_.clear();
    return events;
}

// ---- BarState

bool BarState::Apply(const Event& event) {
    if (const auto* range = std::get_if<events::Range>(&event)) {
        bar_.SetRange(range->lower, range->upper);
        bar_.SetPos(range->lower);
        started_ = true;
        return true;
    }
    if (const auto* size = std::get_if<events::StepSize>(&event)) {
        bar_.SetStep(size->step);
        return false;
    }
    if (std::holds_alternative<events::StepIt>(event)) {
        bar_.StepIt();
        return true;
    }
    if (const auto* position = std::get_if<events::Position>(&event)) {
        bar_.SetPos(position->position);
        return true;
    }
    return false;
}

// ---- TimeLeft

void TimeLeft::Update(int percent, double now) {
    if (!haveOrigin_) {
        haveOrigin_ = true;
        originTime_ = lastTime_ = now;
        originPercent_ = lastPercent_ = percent;
    } else if (percent > lastPercent_) {
        lastTime_ = now;
        lastPercent_ = percent;
    }
}

std::optional<double> TimeLeft::Seconds(double now) const {
    constexpr double kShortestSample = 0.2;  // seconds of progress before the pace means anything
    const double span = lastTime_ - originTime_;
    if (!haveOrigin_ || lastPercent_ <= originPercent_ || span < kShortestSample) {
        return std::nullopt;
    }
    const double perSecond = (lastPercent_ - originPercent_) / span;
    const double left = (100 - lastPercent_) / perSecond - (now - lastTime_);
    return std::max(0.0, left);
}

double NowSeconds() {
    using namespace std::chrono;
    return duration<double>(steady_clock::now().time_since_epoch()).count();
}

}  // namespace cordane::tools
