// The one owner of a raw descriptor inside the POSIX implementation; outside it, base::File.
#ifndef KORVEL_BASE_POSIX_DESCRIPTOR_H
#define KORVEL_BASE_POSIX_DESCRIPTOR_H

#include <unistd.h>

#include <cerrno>
#include <utility>

namespace korvel::base::os {

class Descriptor {
  public:
    explicit Descriptor(int fd = -1) noexcept : fd_(fd) {}
    Descriptor(Descriptor&& other) noexcept : fd_(std::exchange(other.fd_, -1)) {}
    Descriptor& operator=(Descriptor&& other) noexcept {
        if (this != &other) Reset(std::exchange(other.fd_, -1));
        return *this;
    }
    Descriptor(const Descriptor&) = delete;
    Descriptor& operator=(const Descriptor&) = delete;
    ~Descriptor() { Reset(); }

    int get() const noexcept { return fd_; }
    void Reset(int fd = -1) noexcept {
        if (fd_ >= 0) ::close(fd_);
        fd_ = fd;
    }
    // Closes now; false with errno set when the close failed (written data may be lost). The
    // descriptor is gone either way, EINTR included.
    bool Close() noexcept {
        const int fd = std::exchange(fd_, -1);
        return fd < 0 || ::close(fd) == 0 || errno == EINTR;
    }
    int Release() noexcept { return std::exchange(fd_, -1); }

  private:
    int fd_;
};

}  // namespace korvel::base::os

#endif
