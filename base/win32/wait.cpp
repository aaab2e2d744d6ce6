// Waiting on Windows. Events (a wake-up, the interrupts) and processes are waited for by the
// system; anonymous pipes cannot be (their handles are not signalled by data, and they have no
// overlapped reads), so while a pipe is among the handles the wait goes in short slices, each
// ending with a look at what every pipe holds: a few milliseconds of delay at most, no thread
// and nothing to cancel. A file on a disk is always ready, as poll has it.
//
// A socket is tied to an event of its own for the wait (WSAEventSelect) and untied after it. Its
// events only tell that something happened since: what it is ready for is asked (select) before
// and after each wait, so that nothing that happened before the wait is missed.
#include <windows.h>
#include <winsock2.h>

#include <algorithm>

#include "handle.h"
#include "os.h"
#include "system_error.h"

namespace korvel::base::os {
namespace {

constexpr DWORD kLongestSlice = 16;  // milliseconds between two looks at the pipes

enum class Way : uint8_t { Never, Always, Pipe, Object };

Way WayOf(Handle handle) {
    if (handle == kNoHandle) return Way::Never;
    ::SetLastError(NO_ERROR);
    switch (::GetFileType(Native(handle))) {
        case FILE_TYPE_DISK:
            return Way::Always;
        case FILE_TYPE_PIPE:
            return Way::Pipe;
        default:
            // A console, an event or a process: the system says when it is signalled.
            return Way::Object;
    }
}

// Whether the pipe has bytes, or has ended (its writer gone) or failed: the next read tells.
bool PipeReady(Handle handle) {
    DWORD available = 0;
    return !::PeekNamedPipe(Native(handle), nullptr, 0, nullptr, &available, nullptr) ||
           available > 0;
}

}  // namespace

Expected<Handle> CreateWakeup() {
    HANDLE event = ::CreateEventW(nullptr, TRUE, FALSE, nullptr);
    if (event == nullptr) return LastSystemError();
    return FromNative(event);
}

void Wake(Handle wakeup) noexcept {
    ::SetEvent(Native(wakeup));
}

void ClearWakeup(Handle wakeup) noexcept {
    ::ResetEvent(Native(wakeup));
}

Expected<std::vector<bool>> WaitReadable(std::span<const Handle> handles,
                                         std::optional<std::chrono::milliseconds> timeout) {
    std::vector<Way> ways;
    std::vector<HANDLE> objects;
    bool anyPipe = false;
    for (const Handle handle : handles) {
        ways.push_back(WayOf(handle));
        if (ways.back() == Way::Object) objects.push_back(Native(handle));
        anyPipe = anyPipe || ways.back() == Way::Pipe;
    }
    if (objects.size() > MAXIMUM_WAIT_OBJECTS) return SystemError(ERROR_INVALID_PARAMETER);

    const ULONGLONG start = ::GetTickCount64();
    const ULONGLONG limit =
        timeout ? static_cast<ULONGLONG>(std::max<int64_t>(timeout->count(), 0)) : 0;
    DWORD slice = 1;
    std::vector<bool> ready(handles.size(), false);
    for (;;) {
        bool any = false;
        for (size_t i = 0; i < handles.size(); ++i) {
            if (ways[i] == Way::Always || (ways[i] == Way::Pipe && PipeReady(handles[i])) ||
                (ways[i] == Way::Object &&
                 ::WaitForSingleObject(Native(handles[i]), 0) == WAIT_OBJECT_0)) {
                ready[i] = true;
                any = true;
            }
        }
        if (any) return ready;
        const ULONGLONG spent = ::GetTickCount64() - start;
        if (timeout && spent >= limit) return ready;
        DWORD wait = timeout ? static_cast<DWORD>(std::min<ULONGLONG>(limit - spent, INFINITE - 1))
                             : INFINITE;
        if (anyPipe) {
            wait = std::min(wait, slice);
            slice = std::min(slice * 2, kLongestSlice);
        }
        if (objects.empty()) {
            ::Sleep(wait);
        } else if (::WaitForMultipleObjects(static_cast<DWORD>(objects.size()), objects.data(),
                                            FALSE, wait) == WAIT_FAILED) {
            return LastSystemError();
        }
    }
}

namespace {

// Whether the socket is ready for `event`, has failed (a connection refused shows here) or ended,
// without waiting. A socket select cannot ask about is ready: its next use tells why.
bool SocketReady(SOCKET socket, SocketEvent event) {
    fd_set readable, writable, failed;
    FD_ZERO(&readable);
    FD_ZERO(&writable);
    FD_ZERO(&failed);
    if (event != SocketEvent::Writable) FD_SET(socket, &readable);
    if (event != SocketEvent::Readable) FD_SET(socket, &writable);
    FD_SET(socket, &failed);
    timeval now{0, 0};
    const int ready = ::select(0, &readable, &writable, &failed, &now);
    return ready != 0;
}

// Unties the socket from the event at the end of a wait. The socket stays non-blocking, as the
// libraries that hand their sockets out for waiting (libpq) keep it anyway.
struct SocketTie {
    SOCKET socket;
    ~SocketTie() { ::WSAEventSelect(socket, nullptr, 0); }
};

}  // namespace

Expected<std::vector<bool>> WaitSocket(std::intptr_t socket, SocketEvent event,
                                       std::span<const Handle> others,
                                       std::optional<std::chrono::milliseconds> timeout) {
    const auto native = static_cast<SOCKET>(socket);
    std::vector<bool> ready(others.size() + 1, false);
    auto look = [&] {
        bool any = false;
        ready[0] = SocketReady(native, event);
        any = ready[0];
        for (size_t i = 0; i < others.size(); ++i) {
            ready[i + 1] = others[i] != kNoHandle &&
                           ::WaitForSingleObject(Native(others[i]), 0) == WAIT_OBJECT_0;
            any = any || ready[i + 1];
        }
        return any;
    };

    OwnedHandle signal(::WSACreateEvent());
    if (!signal.valid()) return SystemError(static_cast<DWORD>(::WSAGetLastError()));
    long events = FD_CLOSE;
    if (event != SocketEvent::Writable) events |= FD_READ;
    if (event != SocketEvent::Readable) events |= FD_WRITE | FD_CONNECT;
    if (::WSAEventSelect(native, signal.get(), events) == SOCKET_ERROR) {
        return SystemError(static_cast<DWORD>(::WSAGetLastError()));
    }
    const SocketTie tie{native};

    if (look()) return ready;
    std::vector<HANDLE> objects{signal.get()};
    for (const Handle handle : others) {
        if (handle != kNoHandle) objects.push_back(Native(handle));
    }
    if (objects.size() > MAXIMUM_WAIT_OBJECTS) return SystemError(ERROR_INVALID_PARAMETER);
    const DWORD wait =
        timeout ? static_cast<DWORD>(std::clamp<int64_t>(timeout->count(), 0, INFINITE - 1))
                : INFINITE;
    if (::WaitForMultipleObjects(static_cast<DWORD>(objects.size()), objects.data(), FALSE, wait) ==
        WAIT_FAILED) {
        return LastSystemError();
    }
    look();
    return ready;
}

}  // namespace korvel::base::os
