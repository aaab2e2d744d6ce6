// The thread object behind BeginDownload: a detached thread, a reference-counted state that
// handles point at, an exit code, and optional self-deletion of the CWinThread.

#include "platform/thread.h"

#include <sys/prctl.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <mutex>
#include <thread>
#include <vector>

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

// Thread objects whose thread ended with self-deletion on, set aside until their client has had
// its chance to switch it off: each is deleted when the thread that started it starts another
// job, or when the library is unloaded.
class KvThreadObjects {
  public:
    enum : int { kOff = 0, kOn = 1, kAside = 2 };

    static KvThreadObjects& Get() {
        static KvThreadObjects objects;
        return objects;
    }
    ~KvThreadObjects() {
        for (const Entry& entry : aside_) Delete(entry.object);
    }

    // At the end of a thread, before the end is published.
    void ThreadEnded(CWinThread* object, std::thread::id starter) {
        std::lock_guard lock(mutex_);
        if (object->m_bAutoDelete.state_.load() == kOff) return;
        object->m_bAutoDelete.state_.store(kAside);
        aside_.push_back({object, starter});
    }
    // A client writes the switch.
    void Write(KvAutoDelete& flag, bool on) {
        std::lock_guard lock(mutex_);
        if (flag.state_.load() == kAside) {
            if (on) return;  // still the thread's to delete
            Forget(&flag);
        }
        flag.state_.store(on ? kOn : kOff);
    }
    // The object is deleted by someone else.
    void Deleted(CWinThread* object) {
        std::lock_guard lock(mutex_);
        if (object->m_bAutoDelete.state_.load() == kAside) Forget(&object->m_bAutoDelete);
    }
    // The calling thread starts another job: what it started before has had its chance.
    void StartingFrom(std::thread::id starter) {
        std::vector<CWinThread*> done;
        {
            std::lock_guard lock(mutex_);
            for (auto it = aside_.begin(); it != aside_.end();) {
                if (it->starter == starter) {
                    it->object->m_bAutoDelete.state_.store(kOff);
                    done.push_back(it->object);
                    it = aside_.erase(it);
                } else {
                    ++it;
                }
            }
        }
        for (CWinThread* object : done) Delete(object);
    }

  private:
    struct Entry {
        CWinThread* object;
        std::thread::id starter;
    };
    void Forget(KvAutoDelete* flag) {
        aside_.erase(
            std::remove_if(aside_.begin(), aside_.end(),
                           [flag](const Entry& e) { return &e.object->m_bAutoDelete == flag; }),
            aside_.end());
    }
    static void Delete(CWinThread* object) {
        object->m_bAutoDelete.state_.store(kOff);
        delete object;
    }

    std::mutex mutex_;
    std::vector<Entry> aside_;
};

KvAutoDelete& KvAutoDelete::operator=(bool on) {
    KvThreadObjects::Get().Write(*this, on);
    return *this;
}

KvAutoDelete::operator bool() const {
    return state_.load() != KvThreadObjects::kOff;
}

namespace cordane {

void DeleteObjectsSetAside(std::thread::id starter) {
    KvThreadObjects::Get().StartingFrom(starter);
}

HANDLE StartThread(std::function<uint32_t()> body, CWinThread* object) {
    auto* state = new KvThreadState;
    state->references.store(2);  // the caller's handle and the running thread
    // The object holds its handle before the thread runs: a short job may end, and delete it,
    // before this function returns.
    if (object) object->m_hThread = state;
    const std::thread::id starter = std::this_thread::get_id();
    // Make sure the registry outlives every thread that may use it.
    KvThreadObjects::Get();
    try {
        std::thread([state, object, starter, body = std::move(body)]() {
            // Pauses of 1 ms are common in the loader protocol: keep the kernel from stretching
            // them by its default 50 us timer slack.
            prctl(PR_SET_TIMERSLACK, 1UL, 0UL, 0UL, 0UL);
            const uint32_t code = body();
            // Set aside before the end is published: once it is, a caller that kept the object
            // may delete it at any moment, so the object is not touched afterwards.
            if (object) KvThreadObjects::Get().ThreadEnded(object, starter);
            {
                std::lock_guard lock(state->mutex);
                state->exitCode = code;
                state->done = true;
            }
            state->ended.notify_all();
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
    KvThreadObjects::Get().Deleted(this);
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
