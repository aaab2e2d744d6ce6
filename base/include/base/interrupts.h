// The user's requests to stop, taken as data instead of ending the program at once: Ctrl-C
// (SIGINT), SIGTERM and SIGHUP on POSIX systems, the console's control events on Windows. A
// program that must clean up (reset a reader, remove its temporary files) counts them, waits for
// them with a time-out, or lets them end another wait (WaitForAny).
#ifndef KORVEL_BASE_INTERRUPTS_H
#define KORVEL_BASE_INTERRUPTS_H

#include <chrono>
#include <cstdint>

#include "base/error.h"
#include "base/wait.h"

namespace korvel::base {

enum class Interrupt : uint8_t {
    Keyboard,   // Ctrl-C (SIGINT)
    Terminate,  // a request to end (SIGTERM; closing the console)
    HangUp,     // the terminal went away (SIGHUP; the user logs off)
};

// "Interrupt", "Terminated", "Hangup": as the system names the signal.
const char* DescribeInterrupt(Interrupt interrupt);

// While it lives, interrupts are counted instead of acted on. Make it before any thread starts:
// threads started afterwards leave the interrupts to it, threads started before may still be
// ended by one. One at a time in a process; a second is refused.
class Interrupts {
  public:
    static Expected<Interrupts> Catch();
    Interrupts(Interrupts&& other) noexcept;
    Interrupts& operator=(Interrupts&& other) = delete;
    Interrupts(const Interrupts&) = delete;
    Interrupts& operator=(const Interrupts&) = delete;
    // Interrupts act as before again; one still pending then acts at once.
    ~Interrupts();

    // The number received since the last call; `last`, when given, gets the latest one's kind.
    int Take(Interrupt* last = nullptr) noexcept;
    // Waits until one is pending (true, not taken) or `timeout` has passed (false).
    Expected<bool> Wait(std::chrono::milliseconds timeout) const;

    // For the code that stays with one system and waits in its own way (the job log's waits on
    // its database): what the system names the interrupts' readiness by.
    std::intptr_t Native() const noexcept { return handle_; }

  private:
    explicit Interrupts(std::intptr_t handle) noexcept : handle_(handle) {}
    std::intptr_t handle_ = -1;
    friend class Waitable;
};

// While it lives, writing to a pipe or socket whose reader has gone fails with an error instead
// of ending the program (SIGPIPE), so that it can still clean up.
class BrokenPipesIgnored {
  public:
    BrokenPipesIgnored();
    ~BrokenPipesIgnored();
    BrokenPipesIgnored(const BrokenPipesIgnored&) = delete;
    BrokenPipesIgnored& operator=(const BrokenPipesIgnored&) = delete;

  private:
    std::uintptr_t previous_ = 0;  // what the system did before, to put back
};

}  // namespace korvel::base

#endif
