// The thread object behind BeginDownload: a detached thread, a reference-counted state that
// handles point at, an exit code, and optional self-deletion of the CWinThread.

#include "platform/thread.h"

#include <sys/prctl.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <mutex>
#include <thread>

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

namespace cordane {

HANDLE StartThread(std::function<uint32_t()> body, CWinThread* object) {
    auto* state = new KvThreadState;
    state->references.store(2);  // the caller's handle and the running thread
    // The object holds its handle before the thread runs: a short job may end, and delete it,
    // before this function returns.
    if (object) object->m_hThread = state;
    try {
        std::thread([state, object, body = std::move(body)]() {
            // Pauses of 1 ms are common in the loader protocol: keep the kernel from stretching
            // them by its default 50 us timer slack.
            prctl(PR_SET_TIMERSLACK, 1UL, 0UL, 0UL, 0UL);
            const uint32_t code = body();
            // Decided before the end is published: once it is, a caller that kept the object
            // may delete it at any moment.
            const bool deleteObject = object && object->m_bAutoDelete;
            {
                std::lock_guard lock(state->mutex);
                state->exitCode = code;
                state->done = true;
            }
            state->ended.notify_all();
            if (deleteObject) delete object;
            state->Release();
        }).detach();
    } catch (const std::system_error&) {
        if (object) object->m_hThread = nullptr;
        delete state;
        return nullptr;
    }
    return state;
}

}  // namespace cordane

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

CWinThread::~CWinThread() {
    CloseHandle(m_hThread);
}

bool CWinThread::Wait(uint32_t milliseconds) const {
    return WaitForSingleObject(m_hThread, milliseconds) == WAIT_OBJECT_0;
}

uint32_t CWinThread::ExitCode() const {
    uint32_t code = STILL_ACTIVE;
    GetExitCodeThread(m_hThread, &code);
    return code;
}
