#include "base/interrupts.h"

#include <utility>

#include "os.h"

namespace korvel::base {

const char* DescribeInterrupt(Interrupt interrupt) {
    switch (interrupt) {
        case Interrupt::Keyboard:
            return "Interrupt";
        case Interrupt::Terminate:
            return "Terminated";
        case Interrupt::HangUp:
            return "Hangup";
    }
    return "Interrupt";
}

Expected<Interrupts> Interrupts::Catch() {
    Expected<os::Handle> handle = os::CatchInterrupts();
    if (!handle) {
        return os::Explained(handle.error(), "cannot take over Ctrl-C and the stop signals");
    }
    return Interrupts(*handle);
}

Interrupts::Interrupts(Interrupts&& other) noexcept
    : handle_(std::exchange(other.handle_, os::kNoHandle)) {}

Interrupts::~Interrupts() {
    if (handle_ != os::kNoHandle) os::ReleaseInterrupts(handle_);
}

int Interrupts::Take(Interrupt* last) noexcept {
    return handle_ == os::kNoHandle ? 0 : os::TakeInterrupts(handle_, last);
}

Expected<bool> Interrupts::Wait(std::chrono::milliseconds timeout) const {
    const os::Handle handles[] = {handle_};
    KORVEL_ASSIGN_OR_RETURN(const std::vector<bool> ready, os::WaitReadable(handles, timeout));
    return ready[0];
}

BrokenPipesIgnored::BrokenPipesIgnored() : previous_(os::IgnoreBrokenPipes()) {}

BrokenPipesIgnored::~BrokenPipesIgnored() {
    os::RestoreBrokenPipes(previous_);
}

}  // namespace korvel::base
