#include "progress/views.h"

#include <algorithm>
#include <climits>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <utility>

#include "base/json_writer.h"
#include "base/text.h"

namespace cordane::tools {

using korvel::base::GroupDigits;
using korvel::base::JsonWriter;

// ---- Text

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

std::string MessageBoxLine(const events::Box& event) {
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

// The line a terminal or a log shows for an event other than the bar's; nothing for the notices
// and the completion (the messages say it all) and for empty output.
std::optional<std::string> TextLine(const Event& event) {
    if (const auto* message = std::get_if<events::Message>(&event)) return message->text;
    if (const auto* box = std::get_if<events::Box>(&event)) return MessageBoxLine(*box);
    if (std::holds_alternative<events::Cancelling>(event)) return std::string(kStoppingText);
    if (const auto* output = std::get_if<events::Output>(&event)) {
        // Its own line: the engine's banner starts with a line break and ends with spaces.
        std::string text = korvel::base::Trimmed(output->text);
        if (!text.empty()) return text;
    }
    return std::nullopt;
}

// The live bar on one line, with the messages printed above it.
class TerminalView : public ProgressView {
  public:
    TerminalView(Sink sink, uint64_t imageBytes, std::function<int()> columns)
        : sink_(std::move(sink)), imageBytes_(imageBytes), columns_(std::move(columns)) {}

    void Show(const Event& event, double now) override {
        if (bar_.Apply(event)) {
            if (std::holds_alternative<events::Position>(event)) left_.Update(bar_.Percent(), now);
            Redraw(now);
            return;
        }
        if (const std::optional<std::string> text = TextLine(event)) Line(*text, now);
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
            if (!std::holds_alternative<events::Range>(event) && percent >= nextMark_) {
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
        if (const std::optional<std::string> text = TextLine(event)) sink_(*text + "\n");
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
        std::visit([&](const auto& e) { Write(json, e); }, event);
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

    void Write(JsonWriter& json, const events::Message& e) const {
        json.String("message").Key("text").String(e.text);
    }
    void Write(JsonWriter& json, const events::Range& e) const {
        json.String("range").Key("lower").Number(e.lower).Key("upper").Number(e.upper);
    }
    void Write(JsonWriter& json, const events::StepSize& e) const {
        json.String("step-size").Key("step").Number(e.step);
    }
    void Write(JsonWriter& json, const events::StepIt&) const { Where(json.String("step")); }
    void Write(JsonWriter& json, const events::Position&) const { Where(json.String("position")); }
    void Write(JsonWriter& json, const events::Notice& e) const {
        json.String("notice").Key("code").Number(e.code).Key("text");
        if (e.text) {
            json.String(*e.text);
        } else {
            json.Null();
        }
    }
    void Write(JsonWriter& json, const events::Completion& e) const {
        json.String("completion").Key("text").String(e.text).Key("code").Number(e.code);
    }
    void Write(JsonWriter& json, const events::Box& e) const {
        json.String("messagebox").Key("caption").String(e.caption);
        json.Key("text").String(e.text).Key("question").Bool(e.question);
        if (e.question) json.Key("answer").String(e.answeredYes ? "yes" : "no");
    }
    void Write(JsonWriter& json, const events::Output& e) const {
        json.String("output").Key("text").String(e.text);
    }
    void Write(JsonWriter& json, const events::Cancelling&) const { json.String("cancelling"); }

    Sink sink_;
    uint64_t imageBytes_;
    BarState bar_;
};

}  // namespace

std::optional<Event> EventFromJson(const korvel::base::JsonObject& line) {
    const std::optional<std::string> kind = line.String("event");
    if (!kind) return std::nullopt;
    auto number = [&line](const char* key) {
        return static_cast<int>(
            std::clamp<int64_t>(line.Number(key).value_or(0), INT32_MIN, INT32_MAX));
    };
    auto text = [&line](const char* key) { return line.String(key).value_or(std::string()); };
    if (*kind == "message") return events::Message{text("text")};
    if (*kind == "range") return events::Range{number("lower"), number("upper")};
    if (*kind == "step-size") return events::StepSize{number("step")};
    if (*kind == "step" || *kind == "position") return events::Position{number("position")};
    if (*kind == "notice") return events::Notice{number("code"), line.String("text")};
    if (*kind == "completion") return events::Completion{text("text"), number("code")};
    if (*kind == "messagebox") {
        const bool asked = line.Bool("question").value_or(false);
        return events::Box{text("caption"), text("text"), asked, text("answer") == "yes"};
    }
    if (*kind == "output") return events::Output{text("text")};
    if (*kind == "cancelling") return events::Cancelling{};
    return std::nullopt;
}

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
