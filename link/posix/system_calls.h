// The few system calls the link makes on a serial device, behind one seam so that tests can make
// them fail (EINTR, short writes, EIO) without a misbehaving device. The Windows half has its own
// (win32/comm_calls.h).
#ifndef KORVEL_LINK_SYSTEM_CALLS_H
#define KORVEL_LINK_SYSTEM_CALLS_H

#include <linux/serial.h>
#include <poll.h>
#include <sys/types.h>
#include <termios.h>

#include "visibility.h"

namespace korvel::link {

// Each operation behaves as the system call of the same name, errno included.
class KORVEL_LINK_VISIBLE SystemCalls {
  public:
    virtual ~SystemCalls();
    virtual int Open(const char* path, int flags);
    virtual int Close(int fd);
    virtual ssize_t Read(int fd, void* buffer, size_t size);
    virtual ssize_t Write(int fd, const void* data, size_t size);
    virtual int Poll(struct pollfd* fds, nfds_t count, int timeoutMs);
    virtual int Flock(int fd, int operation);
    virtual int SetExclusive(int fd, bool exclusive);  // ioctl(fd, TIOCEXCL or TIOCNXCL)
    virtual int TcGetAttr(int fd, struct termios* settings);
    virtual int TcSetAttr(int fd, int when, const struct termios* settings);
    virtual int TcFlush(int fd, int queue);
    virtual int GetSerial(int fd, struct serial_struct* info);        // ioctl(fd, TIOCGSERIAL)
    virtual int SetSerial(int fd, const struct serial_struct* info);  // ioctl(fd, TIOCSSERIAL)
};

// The system calls in force.
SystemCalls& Sys();

// Replaces the system calls the link makes; nullptr restores the real ones. The object must
// outlive every link opened while it is in force.
KORVEL_LINK_VISIBLE void SetSystemCallsForTesting(SystemCalls* calls);

}  // namespace korvel::link

#endif
