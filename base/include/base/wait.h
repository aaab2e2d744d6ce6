// Waiting for the first of several things: input on a file or pipe, a wake-up from another thread,
// an interrupt from the user. One thread waits; the others only wake it.
#ifndef KORVEL_BASE_WAIT_H
#define KORVEL_BASE_WAIT_H

#include <chrono>
#include <cstdint>
#include <optional>
#include <span>
#include <vector>

#include "base/error.h"
#include "base/file.h"

namespace korvel::base {

class Interrupts;
class Wakeup;
enum class SocketEvent : uint8_t;

// Something WaitForAny can wait for. A closed File is never ready.
class Waitable {
  public:
    Waitable(const File& file) noexcept : handle_(file.handle_) {}
    Waitable(const Wakeup& wakeup) noexcept;
    Waitable(const Interrupts& interrupts) noexcept;

    // For the code that stays with one system and waits in a way of its own (the emulator's
    // pseudo-terminal loop, the job log's database connection): what the system names it by.
    std::intptr_t Native() const noexcept { return handle_; }

  private:
    std::intptr_t handle_;
    friend Expected<std::vector<bool>> WaitForAny(std::span<const Waitable>,
                                                  std::optional<std::chrono::milliseconds>);
    friend Expected<std::vector<bool>> WaitForSocket(std::intptr_t, SocketEvent,
                                                     std::span<const Waitable>,
                                                     std::optional<std::chrono::milliseconds>);
};

// Waits until one of `items` is ready (input or an end to read, a wake-up, an interrupt) or
// `timeout` has passed (none: without limit). Which ones are ready, in the order given; none
// after a timeout.
Expected<std::vector<bool>> WaitForAny(std::span<const Waitable> items,
                                       std::optional<std::chrono::milliseconds> timeout);

// What a socket is waited for.
enum class SocketEvent : uint8_t {
    Readable,  // bytes to read, or its end
    Writable,  // room to write, or a connection made
    Either,
};

// Waits until `socket` (what the system names a network socket that another library opened and
// owns: a database client's) is ready for `event`, one of `others` is ready, or `timeout` has
// passed. A socket that failed or was closed by its peer is ready as well: its next use tells.
// Which ones are ready, the socket first, then `others` in order. None ready: the timeout has
// passed, or the wait was cut short (a signal); the caller looks again until its deadline.
Expected<std::vector<bool>> WaitForSocket(std::intptr_t socket, SocketEvent event,
                                          std::span<const Waitable> others,
                                          std::optional<std::chrono::milliseconds> timeout);

// A flag another thread raises to end a wait: raised by Wake, lowered by Clear.
class Wakeup {
  public:
    static Expected<Wakeup> Create();
    Wakeup(Wakeup&& other) noexcept;
    Wakeup& operator=(Wakeup&& other) noexcept;
    Wakeup(const Wakeup&) = delete;
    Wakeup& operator=(const Wakeup&) = delete;
    ~Wakeup();

    // Any thread; never fails, never waits.
    void Wake() noexcept;
    // Lowers the flag: the next wait waits for the next Wake.
    void Clear() noexcept;

  private:
    explicit Wakeup(std::intptr_t handle) noexcept : handle_(handle) {}
    std::intptr_t handle_ = -1;
    friend class Waitable;
};

}  // namespace korvel::base

#endif
