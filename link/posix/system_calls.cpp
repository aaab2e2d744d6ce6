#include "system_calls.h"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <unistd.h>

#include <atomic>

namespace korvel::link {
namespace {

SystemCalls g_realCalls;
std::atomic<SystemCalls*> g_callsInForce{&g_realCalls};

}  // namespace

SystemCalls::~SystemCalls() = default;
int SystemCalls::Open(const char* path, int flags) {
    return ::open(path, flags);
}
int SystemCalls::Close(int fd) {
    return ::close(fd);
}
ssize_t SystemCalls::Read(int fd, void* buffer, size_t size) {
    return ::read(fd, buffer, size);
}
ssize_t SystemCalls::Write(int fd, const void* data, size_t size) {
    return ::write(fd, data, size);
}
int SystemCalls::Poll(struct pollfd* fds, nfds_t count, int timeoutMs) {
    return ::poll(fds, count, timeoutMs);
}
int SystemCalls::Flock(int fd, int operation) {
    return ::flock(fd, operation);
}
int SystemCalls::SetExclusive(int fd, bool exclusive) {
    return ::ioctl(fd, exclusive ? TIOCEXCL : TIOCNXCL);
}
int SystemCalls::TcGetAttr(int fd, struct termios* settings) {
    return ::tcgetattr(fd, settings);
}
int SystemCalls::TcSetAttr(int fd, int when, const struct termios* settings) {
    return ::tcsetattr(fd, when, settings);
}
int SystemCalls::TcFlush(int fd, int queue) {
    return ::tcflush(fd, queue);
}
int SystemCalls::GetSerial(int fd, struct serial_struct* info) {
    return ::ioctl(fd, TIOCGSERIAL, info);
}
int SystemCalls::SetSerial(int fd, const struct serial_struct* info) {
    return ::ioctl(fd, TIOCSSERIAL, info);
}

SystemCalls& Sys() {
    return *g_callsInForce.load(std::memory_order_acquire);
}

void SetSystemCallsForTesting(SystemCalls* calls) {
    g_callsInForce.store(calls ? calls : &g_realCalls, std::memory_order_release);
}

}  // namespace korvel::link
