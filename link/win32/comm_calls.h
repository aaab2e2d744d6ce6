// The few calls the link makes on a Windows communications device, behind one seam so that tests
// can make them fail (an open refused, a short write, a failing read, a hang-up) without a
// misbehaving device. The POSIX half has its own (posix/system_calls.h).
#ifndef KORVEL_LINK_COMM_CALLS_H
#define KORVEL_LINK_COMM_CALLS_H

#include <windows.h>

#include "visibility.h"

namespace korvel::link {

// Each operation behaves as the system call of the same name, GetLastError included. The device
// is opened for synchronous I/O: no OVERLAPPED anywhere.
class KORVEL_LINK_VISIBLE CommCalls {
  public:
    virtual ~CommCalls();
    virtual HANDLE CreateFileW(const wchar_t* path, DWORD access, DWORD share, DWORD disposition,
                               DWORD flags);
    virtual BOOL CloseHandle(HANDLE device);
    virtual BOOL ReadFile(HANDLE device, void* buffer, DWORD size, DWORD* got);
    virtual BOOL WriteFile(HANDLE device, const void* data, DWORD size, DWORD* written);
    virtual BOOL GetCommState(HANDLE device, DCB* settings);
    virtual BOOL SetCommState(HANDLE device, DCB* settings);
    virtual BOOL SetCommTimeouts(HANDLE device, COMMTIMEOUTS* timeouts);
    virtual BOOL PurgeComm(HANDLE device, DWORD what);
    virtual BOOL ClearCommError(HANDLE device, DWORD* errors, COMSTAT* status);
};

// The calls in force.
CommCalls& Comm();

// Replaces the calls the link makes; nullptr restores the real ones. The object must outlive
// every link opened while it is in force.
KORVEL_LINK_VISIBLE void SetCommCallsForTesting(CommCalls* calls);

}  // namespace korvel::link

#endif
