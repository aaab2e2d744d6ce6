// Waiting on POSIX systems: poll over descriptors; a wake-up is an eventfd.
#include <poll.h>
#include <sys/eventfd.h>
#include <unistd.h>

#include <algorithm>
#include <climits>

#include "os.h"
#include "system_error.h"

namespace korvel::base::os {

Expected<Handle> CreateWakeup() {
    const int fd = ::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
    if (fd < 0) return LastSystemError();
    return Handle{fd};
}

void Wake(Handle wakeup) noexcept {
    const uint64_t one = 1;
    while (::write(static_cast<int>(wakeup), &one, sizeof one) < 0 && errno == EINTR) {
    }
}

void ClearWakeup(Handle wakeup) noexcept {
    uint64_t count;
    while (::read(static_cast<int>(wakeup), &count, sizeof count) < 0 && errno == EINTR) {
    }
}

Expected<std::vector<bool>> WaitReadable(std::span<const Handle> handles,
                                         std::optional<std::chrono::milliseconds> timeout) {
    std::vector<pollfd> fds;
    fds.reserve(handles.size());
    for (const Handle handle : handles) {
        // A negative descriptor is left out by poll itself.
        fds.push_back({static_cast<int>(handle), POLLIN, 0});
    }
    const int milliseconds =
        !timeout ? -1 : static_cast<int>(std::clamp<int64_t>(timeout->count(), 0, INT_MAX));
    // A signal's handler that cuts the wait short (EINTR) makes it end with nothing ready: the
    // caller looks again at its next round.
    const int ready = ::poll(fds.data(), fds.size(), milliseconds);
    if (ready < 0 && errno != EINTR) return LastSystemError();
    std::vector<bool> result(handles.size(), false);
    for (size_t i = 0; i < fds.size(); ++i) {
        // The end of a pipe, or an error on it, is ready too: the next read tells which.
        result[i] = ready > 0 && (fds[i].revents & (POLLIN | POLLHUP | POLLERR)) != 0;
    }
    return result;
}

Expected<std::vector<bool>> WaitSocket(std::intptr_t socket, SocketEvent event,
                                       std::span<const Handle> others,
                                       std::optional<std::chrono::milliseconds> timeout) {
    const short wanted = event == SocketEvent::Readable   ? POLLIN
                         : event == SocketEvent::Writable ? POLLOUT
                                                          : POLLIN | POLLOUT;
    std::vector<pollfd> fds;
    fds.reserve(others.size() + 1);
    fds.push_back({static_cast<int>(socket), wanted, 0});
    for (const Handle handle : others) fds.push_back({static_cast<int>(handle), POLLIN, 0});
    const int milliseconds =
        !timeout ? -1 : static_cast<int>(std::clamp<int64_t>(timeout->count(), 0, INT_MAX));
    const int ready = ::poll(fds.data(), fds.size(), milliseconds);
    if (ready < 0 && errno != EINTR) return LastSystemError();
    std::vector<bool> result(fds.size(), false);
    for (size_t i = 0; i < fds.size(); ++i) result[i] = ready > 0 && fds[i].revents != 0;
    return result;
}

}  // namespace korvel::base::os
