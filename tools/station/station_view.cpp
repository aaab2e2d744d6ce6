#include "station/station_view.h"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <utility>

#include "base/json_reader.h"
#include "base/json_writer.h"
#include "base/text.h"
#include "cli/download_options.h"
#include "cordane/exit_codes.h"

namespace cordane::tools {

using korvel::base::JsonString;
using korvel::base::JsonWriter;

using korvel::base::GroupDigits;

namespace {

constexpr int kRowBar = 20;              // columns of a row's bar
constexpr double kRedrawPeriod = 0.1;    // seconds between two redraws of the live block
constexpr double kShortestSample = 0.2;  // seconds of progress before a speed means anything

// At most `columns` characters of `text`, cut between two UTF-8 sequences.
std::string FitColumns(const std::string& text, int columns) {
    int count = 0;
    for (size_t i = 0; i < text.size(); ++i) {
        const auto c = static_cast<unsigned char>(text[i]);
        if ((c & 0xC0) == 0x80) continue;  // a continuation byte
        if (count == columns) return text.substr(0, i);
        ++count;
    }
    return text;
}

std::string Padded(const std::string& text, size_t width) {
    std::string out = text;
    if (out.size() < width) out.append(width - out.size(), ' ');
    return out;
}

std::string Duration(double seconds) {
    const auto total = static_cast<long long>(std::ceil(std::max(0.0, seconds)));
    char text[32];
    std::snprintf(text, sizeof text, "%lld:%02lld", total / 60, total % 60);
    return text;
}

std::string Speed(double bytesPerSecond) {
    char text[32];
    if (bytesPerSecond >= 1000 * 1000) {
        std::snprintf(text, sizeof text, "%.1f MB/s", bytesPerSecond / 1e6);
    } else {
        std::snprintf(text, sizeof text, "%.1f kB/s", bytesPerSecond / 1e3);
    }
    return text;
}

uint64_t BytesAt(int percent, uint64_t imageBytes) {
    return imageBytes * static_cast<uint64_t>(std::clamp(percent, 0, 100)) / 100;
}

std::string ResultPhrase(int code, int signal) {
    if (code == 0) return "done";
    return "FAILED: " + ResultText(code, signal);  // the summary gives the exit code
}

}  // namespace

std::string FormatPortRow(const PortRow& row, size_t portWidth, size_t readerWidth, int width) {
    if (width <= 0) width = 80;
    std::string line = Padded(row.port, portWidth) + "  " + Padded(row.reader, readerWidth) + "  ";
    if (row.barStarted) {
        const int percent = std::clamp(row.percent, 0, 100);
        const int filled = kRowBar * percent / 100;
        char number[16];
        std::snprintf(number, sizeof number, " %3d%%", percent);
        line.append("[").append(filled, '#').append(kRowBar - filled, '-').append("]");
        line += number;
        if (row.imageBytes > 0) {
            // Once over, only what was sent: the room goes to the result.
            line += "  " + GroupDigits(BytesAt(percent, row.imageBytes)) +
                    (row.exitCode ? "" : " of " + GroupDigits(row.imageBytes)) + " bytes";
        }
        if (!row.exitCode) {
            if (row.bytesPerSecond) line += "  " + Speed(*row.bytesPerSecond);
            if (row.secondsLeft && percent < 100) {
                line += "  " + Duration(*row.secondsLeft) + " left";
            }
            // All sent: the job's closing steps.
            if (percent == 100 && !row.status.empty()) line += "  " + row.status;
        }
    } else {
        line += row.status.empty() ? std::string("starting") : row.status;
    }
    if (row.exitCode) line += "  " + ResultPhrase(*row.exitCode, row.signal);
    return FitColumns(line, width - 1);
}

std::string FormatSummaryTable(const std::vector<PortOutcome>& outcomes) {
    size_t portWidth = 4;
    size_t readerWidth = 6;
    size_t resultWidth = 6;
    for (const PortOutcome& outcome : outcomes) {
        portWidth = std::max(portWidth, outcome.port.size());
        readerWidth = std::max(readerWidth, std::string(ReaderNameOf(outcome.reader)).size());
        resultWidth = std::max(resultWidth, outcome.result.size());
    }
    std::string text = Padded("port", portWidth) + "  " + Padded("reader", readerWidth) + "  " +
                       Padded("result", resultWidth) + "  exit  seconds       bytes\n";
    for (const PortOutcome& outcome : outcomes) {
        char numbers[64];
        std::snprintf(numbers, sizeof numbers, "  %4d  %7.1f  ", outcome.exitCode, outcome.seconds);
        std::string bytes = outcome.bytesSent ? GroupDigits(*outcome.bytesSent) : std::string("-");
        if (bytes.size() < 10) bytes.insert(0, 10 - bytes.size(), ' ');
        text += Padded(outcome.port, portWidth) + "  " +
                Padded(ReaderNameOf(outcome.reader), readerWidth) + "  " +
                Padded(outcome.result, resultWidth) + numbers + bytes + "\n";
    }
    return text;
}

std::string SummaryJson(const std::vector<PortOutcome>& outcomes, int exitCode, int64_t cpuMs) {
    JsonWriter json;
    json.BeginObject().Key("event").String("summary").Key("jobs").BeginArray();
    for (const PortOutcome& outcome : outcomes) {
        json.BeginObject().Key("port").String(outcome.port).Key("reader").Number(outcome.reader);
        json.Key("reader_name").String(ReaderNameOf(outcome.reader));
        json.Key("result").String(outcome.result).Key("code").Number(outcome.exitCode);
        if (outcome.signal > 0) json.Key("signal").Number(outcome.signal);
        json.Key("seconds").Fixed(outcome.seconds, 2).Key("bytes");
        if (outcome.bytesSent) {
            json.Number(static_cast<int64_t>(*outcome.bytesSent));
        } else {
            json.Null();
        }
        json.EndObject();
    }
    json.EndArray().Key("code").Number(exitCode).Key("parent_cpu_ms").Number(cpuMs).EndObject();
    return json.text() + "\n";
}

std::string WithPort(std::string_view line, const std::string& port) {
    const std::string member = "\"port\":" + JsonString(port);
    constexpr std::string_view kStart = "{\"event\":\"";
    if (line.substr(0, kStart.size()) == kStart) {
        const size_t close = line.find('"', kStart.size());
        if (close != std::string_view::npos) {
            return std::string(line.substr(0, close + 1)) + "," + member +
                   std::string(line.substr(close + 1));
        }
    }
    if (line.substr(0, 1) == "{") {
        const bool empty = line.substr(0, 2) == "{}";
        return "{" + member + (empty ? "" : ",") + std::string(line.substr(1));
    }
    return std::string(line);
}

namespace {

// One port's job as the station follows it.
struct PortState {
    StationPort port;
    BarState bar;
    TimeLeft left;
    std::optional<double> firstMove;  // when the bar first moved, and where it stood
    int firstPercent = 0;
    double lastMove = 0;
    int lastPercent = 0;
    std::string status;
    std::optional<int> exitCode;
    int signal = 0;
    bool exitSeen = false;  // the job wrote its own "exit" line

    // Takes an event; true when the row changed.
    bool Apply(const Event& event, double now) {
        if (bar.Apply(event)) {
            const int percent = bar.Percent();
            if (std::holds_alternative<events::Range>(event)) return true;
            left.Update(percent, now);
            if (!firstMove) {
                firstMove = now;
                firstPercent = percent;
            }
            if (percent != lastPercent) {
                lastMove = now;
                lastPercent = percent;
            }
            return true;
        }
        if (const auto* message = std::get_if<events::Message>(&event)) {
            status = korvel::base::OneLine(message->text);
            return true;
        }
        return false;
    }

    std::optional<uint64_t> BytesSent() const {
        if (port.imageBytes == 0) return std::nullopt;
        return BytesAt(bar.started() ? bar.Percent() : 0, port.imageBytes);
    }

    PortRow Row(double now) const {
        PortRow row;
        row.port = port.port;
        row.reader = ReaderNameOf(port.reader);
        row.barStarted = bar.started();
        row.percent = bar.Percent();
        row.imageBytes = port.imageBytes;
        if (firstMove && port.imageBytes > 0 && lastMove - *firstMove >= kShortestSample) {
            const uint64_t moved =
                BytesAt(lastPercent, port.imageBytes) - BytesAt(firstPercent, port.imageBytes);
            row.bytesPerSecond = static_cast<double>(moved) / (lastMove - *firstMove);
        }
        row.secondsLeft = left.Seconds(now);
        row.status = status;
        row.exitCode = exitCode;
        row.signal = signal;
        return row;
    }
};

class StationViewBase : public StationView {
  public:
    explicit StationViewBase(const std::vector<StationPort>& ports) {
        for (const StationPort& port : ports) {
            PortState state;
            state.port = port;
            states_.push_back(std::move(state));
        }
    }
    std::optional<uint64_t> BytesSent(size_t index) const override {
        return states_[index].BytesSent();
    }
    int Reader(size_t index) const override { return states_[index].port.reader; }

  protected:
    void Over(size_t index, int exitCode, int signal) {
        states_[index].exitCode = exitCode;
        states_[index].signal = signal;
    }

    // The event of a JSON line, applied to the port's state.
    std::optional<Event> Take(size_t index, std::string_view json, double now, bool& changed) {
        changed = false;
        refusal_ = false;
        const korvel::base::Expected<korvel::base::JsonObject> object =
            korvel::base::ReadJsonObject(json);
        if (!object) return std::nullopt;
        std::optional<Event> event = EventFromJson(*object);
        if (object->String("event") == "exit") states_[index].exitSeen = true;
        if (!event) {
            // A job refused before it began says why in an "error" line.
            if (object->String("event") == "error") {
                states_[index].status = object->String("text").value_or(std::string());
                changed = true;
                refusal_ = true;
            }
            // A job that finds its reader's type itself (a global file without --reader) names
            // it in a "detected" line.
            const std::optional<int64_t> type = object->Number("reader_type");
            if (object->String("event") == "detected" && type && *type >= 0 && *type <= 9) {
                states_[index].port.reader = static_cast<int>(*type);
                const std::optional<int64_t> image = object->Number("image_bytes");
                if (image && *image > 0)
                    states_[index].port.imageBytes = static_cast<uint64_t>(*image);
                changed = true;
            }
            return std::nullopt;
        }
        changed = states_[index].Apply(*event, now);
        return event;
    }

    std::vector<PortState> states_;
    bool refusal_ = false;  // the line Take read last was a job's refusal
};

// The live block: a row per port, redrawn in place at most every kRedrawPeriod; lines that must
// stay (message boxes, warnings, Ctrl-C) are printed above it. Every change goes out in one
// piece of text, so nothing is ever interleaved.
class LiveStationView : public StationViewBase {
  public:
    LiveStationView(std::vector<StationPort> ports, Sink sink, std::function<int()> columns)
        : StationViewBase(ports), sink_(std::move(sink)), columns_(std::move(columns)) {
        for (const StationPort& port : ports) portWidth_ = std::max(portWidth_, port.port.size());
    }

    void Line(size_t index, std::string_view json, double now) override {
        bool changed = false;
        const std::optional<Event> event = Take(index, json, now, changed);
        if (event) {
            if (const auto* box = std::get_if<events::Box>(&*event)) {
                std::string line = box->caption + ": " + box->text;
                if (box->question)
                    line += box->answeredYes ? " -> answered Yes" : " -> answered No";
                Above(states_[index].port.port + ": " + line, now);
                return;
            }
        }
        if (changed) Redraw(now, false);
    }

    void Note(size_t index, const std::string& text, double now) override {
        Above(states_[index].port.port + ": " + text, now);
    }

    void Stopping(double now) override {
        Above(
            "Stopping: every download ends after its current block and its reader is reset "
            "(press Ctrl-C again to quit at once).",
            now);
    }

    void Tick(double now) override { Redraw(now, false); }

    void Finished(size_t index, int exitCode, int signal, double now) override {
        Over(index, exitCode, signal);
        Redraw(now, true);
    }

    void End(const std::vector<PortOutcome>& outcomes, int, int64_t) override {
        // The block stays as the last frame left it, with the table below.
        sink_((dirty_ ? Frame(lastDraw_, "") : std::string()) + "\n" +
              FormatSummaryTable(outcomes));
        drawn_ = 0;
    }

  private:
    // The text that takes the cursor back to the block's first row, prints `above` and draws
    // the block again.
    std::string Frame(double now, const std::string& above) {
        std::string text;
        if (drawn_ > 0) text = "\x1b[" + std::to_string(drawn_) + "A\r";
        text += "\x1b[J" + above;
        const int width = columns_();
        size_t readerWidth = 0;  // a reader type found by its job may change it
        for (const PortState& state : states_) {
            readerWidth =
                std::max(readerWidth, std::string(ReaderNameOf(state.port.reader)).size());
        }
        for (const PortState& state : states_) {
            text += FormatPortRow(state.Row(now), portWidth_, readerWidth, width) + "\n";
        }
        drawn_ = states_.size();
        return text;
    }

    void Above(const std::string& line, double now) {
        sink_(Frame(now, FitLines(line)));
        lastDraw_ = now;
        dirty_ = false;
    }

    // A long line printed above the block wraps; that is fine there, only the block's rows must
    // each stay on one line.
    static std::string FitLines(const std::string& text) {
        return korvel::base::OneLine(text) + "\n";
    }

    void Redraw(double now, bool force) {
        if (!force && drawn_ > 0 && now - lastDraw_ < kRedrawPeriod) {
            dirty_ = true;
            return;
        }
        const std::string text = Frame(now, "");
        if (!force && text == last_) return;
        sink_(text);
        last_ = text;
        lastDraw_ = now;
        dirty_ = false;
    }

    Sink sink_;
    std::function<int()> columns_;
    size_t portWidth_ = 0;
    size_t drawn_ = 0;  // rows of the block on the screen, above the cursor
    double lastDraw_ = 0;
    bool dirty_ = false;
    std::string last_;
};

// Plain lines for a log: each port's lines as a single download prints them, each starting
// with the port.
class PlainStationView : public StationViewBase {
  public:
    PlainStationView(std::vector<StationPort> ports, Sink sink)
        : StationViewBase(ports), sink_(std::move(sink)) {
        for (const StationPort& port : ports) views_.push_back(MakePortView(port));
    }

    void Line(size_t index, std::string_view json, double now) override {
        bool changed = false;
        const uint64_t imageBytes = states_[index].port.imageBytes;
        const std::optional<Event> event = Take(index, json, now, changed);
        // A job that found its reader before it began: its part's size is known from now on.
        if (states_[index].port.imageBytes != imageBytes) {
            views_[index] = MakePortView(states_[index].port);
        }
        if (event) {
            // Every job says it stops; the station said it once for all of them.
            if (!std::holds_alternative<events::Cancelling>(*event))
                views_[index]->Show(*event, now);
        } else if (refusal_) {  // refused before it began
            sink_(states_[index].port.port + ": " + states_[index].status + "\n");
        }
    }

    void Note(size_t index, const std::string& text, double) override {
        sink_(states_[index].port.port + ": " + text + "\n");
    }

    void Stopping(double) override {
        sink_(
            "Stopping: every download ends after its current block and its reader is reset "
            "(press Ctrl-C again to quit at once).\n");
    }

    void Finished(size_t index, int exitCode, int signal, double) override {
        Over(index, exitCode, signal);
        sink_(states_[index].port.port + ": " +
              (exitCode == 0 ? std::string("completed (exit code 0)")
                             : ResultText(exitCode, signal) + " (exit code " +
                                   std::to_string(exitCode) + ")") +
              "\n");
    }

    void End(const std::vector<PortOutcome>& outcomes, int, int64_t) override {
        std::string text(1, '\n');  // appended piece by piece: GCC 12 -O3 -Wrestrict
        text += FormatSummaryTable(outcomes);
        sink_(text);
    }

  private:
    std::unique_ptr<ProgressView> MakePortView(const StationPort& port) {
        const std::string prefix = port.port + ": ";
        Sink prefixed = [this, prefix](std::string_view text) {
            sink_(prefix + std::string(text));
        };
        return MakePlainView(prefixed, port.imageBytes);
    }

    Sink sink_;
    std::vector<std::unique_ptr<ProgressView>> views_;
};

// The ports' own JSON lines, each with its port, then the summary.
class JsonStationView : public StationViewBase {
  public:
    JsonStationView(std::vector<StationPort> ports, Sink out, Sink err)
        : StationViewBase(ports), sink_(std::move(out)), err_(std::move(err)) {}

    void Line(size_t index, std::string_view json, double now) override {
        bool changed = false;
        Take(index, json, now, changed);
        sink_(WithPort(json, states_[index].port.port) + "\n");
    }
    void Note(size_t index, const std::string& text, double) override {
        err_(states_[index].port.port + ": " + text + "\n");
    }
    void Stopping(double) override {}
    void Finished(size_t index, int exitCode, int signal, double) override {
        Over(index, exitCode, signal);
        // A job whose process a signal ended wrote no "exit" line: a script still gets one.
        if (states_[index].exitSeen) return;
        JsonWriter exit;
        exit.BeginObject().Key("event").String("exit").Key("port").String(states_[index].port.port);
        exit.Key("code").Number(exitCode);
        if (signal > 0) exit.Key("signal").Number(signal);
        sink_(exit.EndObject().text() + "\n");
    }
    void End(const std::vector<PortOutcome>& outcomes, int exitCode, int64_t cpuMs) override {
        sink_(SummaryJson(outcomes, exitCode, cpuMs));
    }

  private:
    Sink sink_;
    Sink err_;
};

}  // namespace

std::unique_ptr<StationView> MakeLiveStationView(std::vector<StationPort> ports, Sink err,
                                                 std::function<int()> columns) {
    return std::make_unique<LiveStationView>(std::move(ports), std::move(err), std::move(columns));
}

std::unique_ptr<StationView> MakePlainStationView(std::vector<StationPort> ports, Sink err) {
    return std::make_unique<PlainStationView>(std::move(ports), std::move(err));
}

std::unique_ptr<StationView> MakeJsonStationView(std::vector<StationPort> ports, Sink out,
                                                 Sink err) {
    return std::make_unique<JsonStationView>(std::move(ports), std::move(out), std::move(err));
}

}  // namespace cordane::tools
