// A file descriptor owned by exactly one object and closed when that object goes: the tools' own,
// for their files, pipes and signal descriptors.
#ifndef CORDANE_TOOLS_UNIQUE_FD_H
#define CORDANE_TOOLS_UNIQUE_FD_H

#include <unistd.h>

#include <utility>

namespace korvel {

class UniqueFd {
  public:
    UniqueFd() = default;
    explicit UniqueFd(int fd) noexcept : fd_(fd) {}
    UniqueFd(UniqueFd&& other) noexcept : fd_(std::exchange(other.fd_, -1)) {}
    UniqueFd& operator=(UniqueFd&& other) noexcept {
        if (this != &other) Reset(std::exchange(other.fd_, -1));
        return *this;
    }
    UniqueFd(const UniqueFd&) = delete;
    UniqueFd& operator=(const UniqueFd&) = delete;
    ~UniqueFd() { Reset(); }

    int get() const { return fd_; }
    explicit operator bool() const { return fd_ >= 0; }
    // Closes the descriptor held, if any, and holds `fd` instead.
    void Reset(int fd = -1) noexcept {
        if (fd_ >= 0) ::close(fd_);
        fd_ = fd;
    }
    // Closes now and reports whether the close succeeded (a failed close may mean lost data).
    [[nodiscard]] bool Close() noexcept {
        const int fd = std::exchange(fd_, -1);
        return fd < 0 || ::close(fd) == 0;
    }
    // Gives the descriptor up without closing it.
    int Release() noexcept { return std::exchange(fd_, -1); }

  private:
    int fd_ = -1;
};

}  // namespace korvel

#endif

namespace cordane::tools {
using UniqueFd = korvel::UniqueFd;
}  // namespace cordane::tools
