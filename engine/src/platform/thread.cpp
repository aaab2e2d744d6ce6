// The thread object behind BeginDownload: a system thread (os.h), an exit code, and optional
// self-deletion of the CWinThread.

#include "platform/thread.h"

#include <algorithm>
#include <atomic>
#include <mutex>
#include <thread>
#include <vector>

#include "platform/os.h"

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
    const std::thread::id starter = std::this_thread::get_id();
    // Make sure the registry outlives every thread that may use it.
    KvThreadObjects::Get();
    // The object is set aside before the thread's end is published: once it is, a caller that
    // kept the object may delete it at any moment, so the object is not touched afterwards.
    auto run = [object, starter, body = std::move(body)]() -> uint32_t {
        const uint32_t code = body();
        if (object) KvThreadObjects::Get().ThreadEnded(object, starter);
        return code;
    };
    // The object holds its handle before the thread runs: a short job may end, and its object be
    // set aside, before this function returns.
    return os::StartSystemThread(std::move(run), object ? &object->m_hThread : nullptr);
}

}  // namespace cordane

CWinThread::~CWinThread() {
    KvThreadObjects::Get().Deleted(this);
    if (m_hThread) CloseHandle(m_hThread);
}

bool CWinThread::Wait(uint32_t milliseconds) const {
    // No thread: nothing to wait for.
    if (!m_hThread) return true;
    return WaitForSingleObject(m_hThread, milliseconds) == WAIT_OBJECT_0;
}

uint32_t CWinThread::ExitCode() const {
    cordane::ExitCodeWord code = STILL_ACTIVE;
    if (!m_hThread || !GetExitCodeThread(m_hThread, &code)) return STILL_ACTIVE;
    return static_cast<uint32_t>(code);
}
