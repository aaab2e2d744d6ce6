// The engine's platform services on POSIX systems: its own thread handles (with the Windows-named
// functions a client waits with), the steady clock, message boxes and debugger lines on stderr.

#include <sys/prctl.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <mutex>
#include <system_error>
#include <thread>

#include "platform/os.h"

// What a handle points at: shared by the running thread and every holder of the handle, freed
// by the last of them.
struct KvThreadState {
    std::mutex mutex;
    std::condition_variable ended;
    bool done = false;
    uint32_t exitCode = STILL_ACTIVE;
    std::atomic<int> references{1};

    void Release() {
        if (references.fetch_sub(1, std::memory_order_acq_rel) == 1) delete this;
    }
};

namespace cordane::os {

HANDLE StartSystemThread(std::function<uint32_t()> body, HANDLE* holder) {
    auto* state = new KvThreadState;
    state->references.store(2);  // the caller's handle and the running thread
    if (holder) *holder = state;
    try {
        std::thread([state, body = std::move(body)]() {
            // Pauses of 1 ms are common in the loader protocol: keep the kernel from stretching
            // them by its default 50 us timer slack.
            prctl(PR_SET_TIMERSLACK, 1UL, 0UL, 0UL, 0UL);
            const uint32_t code = body();
            {
                std::lock_guard lock(state->mutex);
                state->exitCode = code;
                state->done = true;
            }
            state->ended.notify_all();
            state->Release();
        }).detach();
    } catch (const std::system_error&) {
        if (holder) *holder = nullptr;
        delete state;
        return nullptr;
    }
    return state;
}

void SleepMs(uint32_t milliseconds) {
    std::this_thread::sleep_for(std::chrono::milliseconds(milliseconds));
}

uint64_t NowMs() {
    using namespace std::chrono;
    return static_cast<uint64_t>(
        duration_cast<milliseconds>(steady_clock::now().time_since_epoch()).count());
}

int ShowMessageBox(HWND, const char* text, const char* caption, unsigned style) {
    std::fprintf(stderr, "%s: %s\n", caption ? caption : "", text ? text : "");
    std::fflush(stderr);
    return (style & 0xF) == MB_YESNO ? IDNO : IDOK;
}

void DebugOutput(const char* line) {
    static const bool toStderr = std::getenv("CORDANE_DEBUG") != nullptr;
    if (toStderr && line) std::fputs(line, stderr);
}

// The timer slack is set per worker thread above; nothing to hold for the whole job.
FineTimer::FineTimer() = default;
FineTimer::~FineTimer() = default;

}  // namespace cordane::os

extern "C" {

uint32_t WaitForSingleObject(HANDLE thread, uint32_t milliseconds) {
    if (!thread) return WAIT_OBJECT_0;
    std::unique_lock lock(thread->mutex);
    if (milliseconds == INFINITE) {
        thread->ended.wait(lock, [thread] { return thread->done; });
        return WAIT_OBJECT_0;
    }
    return thread->ended.wait_for(lock, std::chrono::milliseconds(milliseconds),
                                  [thread] { return thread->done; })
               ? WAIT_OBJECT_0
               : WAIT_TIMEOUT;
}

int GetExitCodeThread(HANDLE thread, uint32_t* exitCode) {
    if (!thread || !exitCode) return 0;
    std::lock_guard lock(thread->mutex);
    *exitCode = thread->exitCode;
    return 1;
}

int CloseHandle(HANDLE thread) {
    if (!thread) return 0;
    thread->Release();
    return 1;
}

}  // extern "C"
