#include "progress.h"

#include <sys/eventfd.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cmath>
#include <cstdio>
#include <utility>

namespace cordane::tools {

// ---- EventQueue

EventQueue::EventQueue() : fd_(::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK)) {}

EventQueue::~EventQueue() {
    if (fd_ >= 0) ::close(fd_);
}

void EventQueue::Push(Event event) noexcept {
    // The bar moves once a block, a thousand times a second at best: those events wait for the
    // consumer's next look (it looks at least every refresh period) instead of waking it each
    // time; everything else wakes it at once.
    const bool wake = event.kind != EventKind::StepIt && event.kind != EventKind::Position;
    try {
        std::lock_guard lock(mutex_);
        events_.push_back(std::move(event));
    } catch (...) {
        return;  // out of memory: this event is lost, the download itself is not
    }
    if (!wake) return;
    const uint64_t one = 1;
    ssize_t written;
    do {
        written = ::write(fd_, &one, sizeof one);
    } while (written < 0 && errno == EINTR);
}

std::vector<Event> EventQueue::Drain() {
    uint64_t count;
    while (::read(fd_, &count, sizeof count) < 0 && errno == EINTR) {
    }
    std::lock_guard lock(mutex_);
    std::vector<Event> events(std::make_move_iterator(events_.begin()),
                              std::make_move_iterator(events_.end()));
    events_.clear();
    return events;
}

// ---- BarState

bool BarState::Apply(const Event& event) {
    switch (event.kind) {
        case EventKind::Range:
            lower_ = event.value;
            upper_ = event.upper;
            position_ = lower_;
            started_ = true;
            return true;
        case EventKind::StepSize:
            step_ = event.value;
            return false;
        case EventKind::StepIt:
            // A progress bar does not run past its upper end.
            position_ = std::clamp(position_ + step_, std::min(lower_, upper_), upper_);
            return true;
        case EventKind::Position:
            position_ = event.value;
            return true;
        default:
            return false;
    }
}

int BarState::Percent() const {
    if (upper_ <= lower_) return 0;
    const long long share = (static_cast<long long>(position_) - lower_) * 100 /
                            (static_cast<long long>(upper_) - lower_);
    return static_cast<int>(std::clamp<long long>(share, 0, 100));
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

// ---- Text

std::string GroupDigits(uint64_t value) {
    std::string digits = std::to_string(value);
    for (int at = static_cast<int>(digits.size()) - 3; at > 0; at -= 3) {
        digits.insert(static_cast<size_t>(at), 1, ',');
    }
    return digits;
}

namespace {

std::string FormatDuration(double seconds) {
    const auto total = static_cast<long long>(std::ceil(seconds));
    char text[32];
    if (total >= 3600) {
        std::snprintf(text, sizeof text, "%lld:%02lld:%02lld", total / 3600, total / 60 % 60,
                      total % 60);
    } else {
        std::snprintf(text, sizeof text, "%lld:%02lld", total / 60, total % 60);
    }
    return text;
}

uint64_t BytesAt(int percent, uint64_t imageBytes) {
    return imageBytes * static_cast<uint64_t>(percent) / 100;
}

}  // namespace

std::string FormatBarLine(int percent, uint64_t imageBytes, std::optional<double> secondsLeft,
                          int width) {
    constexpr int kWidestBar = 40;
    constexpr int kNarrowestBar = 10;
    percent = std::clamp(percent, 0, 100);
    if (width <= 0) width = 80;
    char number[16];
    std::snprintf(number, sizeof number, " %3d%%", percent);
    std::string suffix = number;
    if (imageBytes > 0) {
        suffix += "  " + GroupDigits(BytesAt(percent, imageBytes)) + " of " +
                  GroupDigits(imageBytes) + " bytes";
    }
    if (secondsLeft) suffix += "  " + FormatDuration(*secondsLeft) + " left";

    // The terminal's last column is left free: writing there makes some terminals wrap.
    const int room = width - 1 - static_cast<int>(suffix.size()) - 2;
    if (room < kNarrowestBar) {
        std::string line = suffix.substr(suffix.find_first_not_of(' '));
        if (static_cast<int>(line.size()) > width - 1) line.resize(std::max(0, width - 1));
        return line;
    }
    const int bar = std::min(room, kWidestBar);
    const int filled = bar * percent / 100;
    std::string line = "[";
    line.append(filled, '#').append(bar - filled, '-').append("]").append(suffix);
    return line;
}

namespace {

// Text the engine wrote to standard output, as a line of its own (its banner starts with a line
// break and ends with spaces).
std::string Trimmed(const std::string& text) {
    const size_t first = text.find_first_not_of(" \t\r\n");
    if (first == std::string::npos) return std::string();
    const size_t last = text.find_last_not_of(" \t\r\n");
    return text.substr(first, last - first + 1);
}

std::string MessageBoxLine(const Event& event) {
    std::string line = event.caption + ": " + event.text;
    if (event.question) {
        line += event.answeredYes ? " -> answered Yes (--yes)"
                                  : " -> answered No (give --yes to answer Yes)";
    }
    return line;
}

constexpr char kStoppingText[] =
    "Stopping: the download ends after the current block and the reader is reset "
    "(press Ctrl-C again to quit at once).";

// The live bar on one line, with the messages printed above it.
class TerminalView : public ProgressView {
  public:
    TerminalView(Sink sink, uint64_t imageBytes, std::function<int()> columns)
        : sink_(std::move(sink)), imageBytes_(imageBytes), columns_(std::move(columns)) {}

    void Show(const Event& event, double now) override {
        if (bar_.Apply(event)) {
            if (event.kind == EventKind::Position) left_.Update(bar_.Percent(), now);
            Redraw(now);
            return;
        }
        switch (event.kind) {
            case EventKind::Message:
                Line(event.text, now);
                break;
            case EventKind::MessageBox:
                Line(MessageBoxLine(event), now);
                break;
            case EventKind::Cancelling:
                Line(kStoppingText, now);
                break;
            case EventKind::Output: {
                const std::string text = Trimmed(event.text);
                if (!text.empty()) Line(text, now);
                break;
            }
            default:
                break;  // notices and the completion: the messages say it all
        }
    }

    void Tick(double now) override { Redraw(now); }

    void Finish(int) override {
        if (shown_) sink_("\n");
        shown_ = false;
    }

  private:
    void Line(const std::string& text, double now) {
        sink_(shown_ ? "\r\x1b[K" + text + "\n" : text + "\n");
        shown_ = false;
        Redraw(now);
    }

    void Redraw(double now) {
        if (!bar_.started()) return;
        // At the end only the closing pause is left: no estimate for it.
        const int percent = bar_.Percent();
        const std::string line = FormatBarLine(
            percent, imageBytes_, percent < 100 ? left_.Seconds(now) : std::nullopt, columns_());
        if (shown_ && line == drawn_) return;
        sink_("\r\x1b[K" + line);
        drawn_ = line;
        shown_ = true;
    }

    Sink sink_;
    uint64_t imageBytes_;
    std::function<int()> columns_;
    BarState bar_;
    TimeLeft left_;
    bool shown_ = false;  // the bar is on the cursor's line
    std::string drawn_;
};

// Lines for a log: the messages, and the progress every tenth of the way.
class PlainView : public ProgressView {
  public:
    PlainView(Sink sink, uint64_t imageBytes) : sink_(std::move(sink)), imageBytes_(imageBytes) {}

    void Show(const Event& event, double) override {
        if (bar_.Apply(event)) {
            const int percent = bar_.Percent();
            if (event.kind != EventKind::Range && percent >= nextMark_) {
                std::string line = "progress: " + std::to_string(percent) + "%";
                if (imageBytes_ > 0) {
                    line += " (" + GroupDigits(BytesAt(percent, imageBytes_)) + " of " +
                            GroupDigits(imageBytes_) + " bytes)";
                }
                sink_(line + "\n");
                nextMark_ = (percent / kEvery + 1) * kEvery;
            }
            return;
        }
        switch (event.kind) {
            case EventKind::Message:
                sink_(event.text + "\n");
                break;
            case EventKind::MessageBox:
                sink_(MessageBoxLine(event) + "\n");
                break;
            case EventKind::Cancelling:
                sink_(std::string(kStoppingText) + "\n");
                break;
            case EventKind::Output: {
                const std::string text = Trimmed(event.text);
                if (!text.empty()) sink_(text + "\n");
                break;
            }
            default:
                break;
        }
    }

    void Finish(int) override {}

  private:
    static constexpr int kEvery = 10;  // percent between two progress lines
    Sink sink_;
    uint64_t imageBytes_;
    BarState bar_;
    int nextMark_ = kEvery;
};

// One JSON object per event and line.
class JsonView : public ProgressView {
  public:
    JsonView(Sink sink, uint64_t imageBytes) : sink_(std::move(sink)), imageBytes_(imageBytes) {}

    void Show(const Event& event, double) override {
        bar_.Apply(event);
        JsonWriter json;
        json.BeginObject().Key("event");
        switch (event.kind) {
            case EventKind::Message:
                json.String("message").Key("text").String(event.text);
                break;
            case EventKind::Range:
                json.String("range").Key("lower").Number(event.value);
                json.Key("upper").Number(event.upper);
                break;
            case EventKind::StepSize:
                json.String("step-size").Key("step").Number(event.value);
                break;
            case EventKind::StepIt:
                Where(json.String("step"));
                break;
            case EventKind::Position:
                Where(json.String("position"));
                break;
            case EventKind::Notice:
                json.String("notice").Key("code").Number(event.value).Key("text");
                if (event.hasText) {
                    json.String(event.text);
                } else {
                    json.Null();
                }
                break;
            case EventKind::Completion:
                json.String("completion").Key("text").String(event.text);
                json.Key("code").Number(event.value);
                break;
            case EventKind::MessageBox:
                json.String("messagebox").Key("caption").String(event.caption);
                json.Key("text").String(event.text).Key("question").Bool(event.question);
                if (event.question) json.Key("answer").String(event.answeredYes ? "yes" : "no");
                break;
            case EventKind::Output:
                json.String("output").Key("text").String(event.text);
                break;
            case EventKind::Cancelling:
                json.String("cancelling");
                break;
        }
        sink_(json.EndObject().text() + "\n");
    }

    void Finish(int exitCode) override {
        JsonWriter json;
        json.BeginObject().Key("event").String("exit").Key("code").Number(exitCode).EndObject();
        sink_(json.text() + "\n");
    }

  private:
    // Where the bar stands after a step or a position.
    void Where(JsonWriter& json) const {
        const int percent = bar_.Percent();
        json.Key("position").Number(bar_.position()).Key("percent").Number(percent);
        if (imageBytes_ > 0) {
            json.Key("bytes").Number(static_cast<int64_t>(BytesAt(percent, imageBytes_)));
        }
    }

    Sink sink_;
    uint64_t imageBytes_;
    BarState bar_;
};

}  // namespace

std::unique_ptr<ProgressView> MakeTerminalView(Sink sink, uint64_t imageBytes,
                                               std::function<int()> columns) {
    return std::make_unique<TerminalView>(std::move(sink), imageBytes, std::move(columns));
}

std::unique_ptr<ProgressView> MakePlainView(Sink sink, uint64_t imageBytes) {
    return std::make_unique<PlainView>(std::move(sink), imageBytes);
}

std::unique_ptr<ProgressView> MakeJsonView(Sink sink, uint64_t imageBytes) {
    return std::make_unique<JsonView>(std::move(sink), imageBytes);
}

}  // namespace cordane::tools
