// Time, message boxes and debugger output, each behind an installable handler.

#include <mutex>

#include "cordane/platform.h"
#include "platform/os.h"

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

}  // namespace

extern "C" {

void KvSleep(uint32_t milliseconds) {
    const TimeSource source = Current(g_time);
    if (source.sleep) {
        source.sleep(milliseconds, source.context);
        return;
    }
    cordane::os::SleepMs(milliseconds);
}

uint64_t KvNowMs(void) {
    const TimeSource source = Current(g_time);
    if (source.now) return source.now(source.context);
    return cordane::os::NowMs();
}

void KvSetTimeSource(KvSleepFn sleep, KvNowFn now, void* context) {
    std::lock_guard lock(g_handlers);
    g_time = TimeSource{sleep, now, context};
}

int KvMessageBox(HWND owner, const char* text, const char* caption, unsigned style) {
    const MessageBoxHandler box = Current(g_messageBox);
    if (box.handler) return box.handler(owner, text, caption, style, box.context);
    return cordane::os::ShowMessageBox(owner, text, caption, style);
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
    cordane::os::DebugOutput(line);
}

void KvSetDebugSink(KvDebugSinkFn sink, void* context) {
    std::lock_guard lock(g_handlers);
    g_debug = DebugSink{sink, context};
}

}  // extern "C"
