#include "base/wait.h"

#include <utility>

#include "base/interrupts.h"
#include "os.h"

namespace korvel::base {

Waitable::Waitable(const Wakeup& wakeup) noexcept : handle_(wakeup.handle_) {}
Waitable::Waitable(const Interrupts& interrupts) noexcept : handle_(interrupts.handle_) {}

Expected<std::vector<bool>> WaitForAny(std::span<const Waitable> items,
                                       std::optional<std::chrono::milliseconds> timeout) {
    std::vector<os::Handle> handles;
    handles.reserve(items.size());
    for (const Waitable& item : items) handles.push_back(item.handle_);
    Expected<std::vector<bool>> ready = os::WaitReadable(handles, timeout);
    if (!ready) return os::Explained(ready.error(), "cannot wait");
    return ready;
}

Expected<std::vector<bool>> WaitForSocket(std::intptr_t socket, SocketEvent event,
                                          std::span<const Waitable> others,
                                          std::optional<std::chrono::milliseconds> timeout) {
    std::vector<os::Handle> handles;
    handles.reserve(others.size());
    for (const Waitable& item : others) handles.push_back(item.handle_);
    Expected<std::vector<bool>> ready = os::WaitSocket(socket, event, handles, timeout);
    if (!ready) return os::Explained(ready.error(), "cannot wait for the network");
    return ready;
}

Expected<Wakeup> Wakeup::Create() {
    Expected<os::Handle> handle = os::CreateWakeup();
    if (!handle) {
        return os::Explained(handle.error(), "cannot set up a wake-up",
                             "close other programs, then try again");
    }
    return Wakeup(*handle);
}

Wakeup::Wakeup(Wakeup&& other) noexcept : handle_(std::exchange(other.handle_, os::kNoHandle)) {}

Wakeup& Wakeup::operator=(Wakeup&& other) noexcept {
    if (this != &other) {
        if (handle_ != os::kNoHandle) (void)os::Close(handle_);
        handle_ = std::exchange(other.handle_, os::kNoHandle);
    }
    return *this;
}

Wakeup::~Wakeup() {
    if (handle_ != os::kNoHandle) (void)os::Close(handle_);
}

void Wakeup::Wake() noexcept {
    os::Wake(handle_);
}

void Wakeup::Clear() noexcept {
    os::ClearWakeup(handle_);
}

}  // namespace korvel::base
