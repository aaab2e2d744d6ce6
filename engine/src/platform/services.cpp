// Time, message boxes and debugger output, each behind an installable handler.

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <mutex>
#include <thread>

#include "cordane/platform.h"

namespace {

struct TimeSource {
    KvSleepFn sleep = nullptr;
    KvNowFn now = nullptr;
    void* context = nullptr;
};

struct MessageBoxHandler {
    KvMessageBoxFn handler = nullptr;
    void* context = nullptr;
};

struct DebugSink {
    KvDebugSinkFn sink = nullptr;
    void* context = nullptr;
};

// Handlers are installed rarely and read on every call; a mutex keeps a change of handler from
// tearing, and each call works on a copy taken under it.
std::mutex g_handlers;
TimeSource g_time;
MessageBoxHandler g_messageBox;
DebugSink g_debug;

template <typename T>
T Current(const T& value) {
    std::lock_guard lock(g_handlers);
    return value;
}

int DefaultMessageBox(const char* text, const char* caption, unsigned style) {
    std::fprintf(stderr, "%s: %s\n", caption ? caption : "", text ? text : "");
    std::fflush(stderr);
    return (style & 0xF) == MB_YESNO ? IDNO : IDOK;
}

}  // namespace

extern "C" {

void KvSleep(uint32_t milliseconds) {
    const TimeSource source = Current(g_time);
    if (source.sleep) {
        source.sleep(milliseconds, source.context);
        return;
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(milliseconds));
}

uint64_t KvNowMs(void) {
    const TimeSource source = Current(g_time);
    if (source.now) return source.now(source.context);
    using namespace std::chrono;
    return static_cast<uint64_t>(
        duration_cast<milliseconds>(steady_clock::now().time_since_epoch()).count());
}

void KvSetTimeSource(KvSleepFn sleep, KvNowFn now, void* context) {
    std::lock_guard lock(g_handlers);
    g_time = TimeSource{sleep, now, context};
}

int KvMessageBox(HWND owner, const char* text, const char* caption, unsigned style) {
    const MessageBoxHandler box = Current(g_messageBox);
    if (box.handler) return box.handler(owner, text, caption, style, box.context);
    return DefaultMessageBox(text, caption, style);
}

void KvSetMessageBoxHandler(KvMessageBoxFn handler, void* context) {
    std::lock_guard lock(g_handlers);
    g_messageBox = MessageBoxHandler{handler, context};
}

void KvOutputDebugString(const char* line) {
    const DebugSink sink = Current(g_debug);
    if (sink.sink) {
        sink.sink(line, sink.context);
        return;
    }
    static const bool toStderr = std::getenv("CORDANE_DEBUG") != nullptr;
    if (toStderr) std::fputs(line, stderr);
}

void KvSetDebugSink(KvDebugSinkFn sink, void* context) {
    std::lock_guard lock(g_handlers);
    g_debug = DebugSink{sink, context};
}

}  // extern "C"
