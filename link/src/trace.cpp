#include "trace.h"

#include <cerrno>
#include <chrono>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <mutex>
#include <new>

namespace korvel::link {
namespace {

struct FileCloser {
    void operator()(FILE* file) const { std::fclose(file); }
};

class TraceSink {
  public:
    TraceSink() {
        const char* setting = std::getenv("KORVEL_TRACE");
        if (setting == nullptr || *setting == '\0' || std::strcmp(setting, "0") == 0) return;
        if (std::strcmp(setting, "1") == 0) {
            out_ = stderr;
            return;
        }
        file_.reset(std::fopen(setting, "a"));
        if (file_) {
            out_ = file_.get();
        } else {
            std::fprintf(stderr,
                         "zr318: cannot open the trace file %s named by KORVEL_TRACE (%s); "
                         "tracing to standard error instead\n",
                         setting, std::strerror(errno));
            out_ = stderr;
        }
    }

    bool On() const { return out_ != nullptr; }
    bool ToFile() const { return file_ != nullptr; }

    // Writes one line with the timestamp in front.
    void Line(const char* text) {
        // The steady clock: CLOCK_MONOTONIC on Linux, as the emulator's own trace.
        const long long us = std::chrono::duration_cast<std::chrono::microseconds>(
                                 std::chrono::steady_clock::now().time_since_epoch())
                                 .count();
        std::lock_guard<std::mutex> lock(mutex_);
        std::fprintf(out_, "[%6lld.%06lld] zr318 %s\n", us / 1000000, us % 1000000, text);
        std::fflush(out_);
    }

  private:
    FILE* out_ = nullptr;
    std::unique_ptr<FILE, FileCloser> file_;
    std::mutex mutex_;
};

// Built on first use and never destroyed, so that a thread still tracing while the process
// exits does not meet a dead sink.
TraceSink& Sink() {
    alignas(TraceSink) static unsigned char storage[sizeof(TraceSink)];
    static TraceSink* sink = new (storage) TraceSink();
    return *sink;
}

std::string Format(const char* format, va_list args) {
    char buffer[512];
    std::vsnprintf(buffer, sizeof buffer, format, args);
    return buffer;
}

}  // namespace

bool Tracing() {
    return Sink().On();
}

void TraceFrame(const std::string& label, const char* direction, wire::Kind kind,
                const uint8_t* payload, size_t size, const char* note) {
    TraceSink& sink = Sink();
    if (!sink.On()) return;
    static constexpr char kHex[] = "0123456789ABCDEF";
    std::string line = label + " " + direction + " " + wire::KindName(kind);
    char head[32];
    std::snprintf(head, sizeof head, " 0x%02X (%zu):", static_cast<unsigned>(kind), size);
    line += head;
    line.reserve(line.size() + size * 3 + 64);
    for (size_t i = 0; i < size; ++i) {
        line += ' ';
        line += kHex[payload[i] >> 4];
        line += kHex[payload[i] & 0x0F];
    }
    if (note != nullptr) {
        line += "  ";
        line += note;
    }
    sink.Line(line.c_str());
}

void TraceNote(const char* format, ...) {
    TraceSink& sink = Sink();
    if (!sink.On()) return;
    va_list args;
    va_start(args, format);
    const std::string text = Format(format, args);
    va_end(args);
    sink.Line(text.c_str());
}

void Report(const char* format, ...) {
    va_list args;
    va_start(args, format);
    const std::string text = Format(format, args);
    va_end(args);
    TraceSink& sink = Sink();
    if (sink.On()) sink.Line(text.c_str());
    if (!sink.On() || sink.ToFile()) std::fprintf(stderr, "zr318: %s\n", text.c_str());
}

}  // namespace korvel::link
