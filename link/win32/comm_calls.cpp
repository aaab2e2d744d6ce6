#include "comm_calls.h"

#include <atomic>

namespace korvel::link {
namespace {

CommCalls g_realCalls;
std::atomic<CommCalls*> g_callsInForce{&g_realCalls};

}  // namespace

CommCalls::~CommCalls() = default;
HANDLE CommCalls::CreateFileW(const wchar_t* path, DWORD access, DWORD share, DWORD disposition,
                              DWORD flags) {
    return ::CreateFileW(path, access, share, nullptr, disposition, flags, nullptr);
}
BOOL CommCalls::CloseHandle(HANDLE device) {
    return ::CloseHandle(device);
}
BOOL CommCalls::ReadFile(HANDLE device, void* buffer, DWORD size, DWORD* got) {
    return ::ReadFile(device, buffer, size, got, nullptr);
}
BOOL CommCalls::WriteFile(HANDLE device, const void* data, DWORD size, DWORD* written) {
    return ::WriteFile(device, data, size, written, nullptr);
}
BOOL CommCalls::GetCommState(HANDLE device, DCB* settings) {
    return ::GetCommState(device, settings);
}
BOOL CommCalls::SetCommState(HANDLE device, DCB* settings) {
    return ::SetCommState(device, settings);
}
BOOL CommCalls::SetCommTimeouts(HANDLE device, COMMTIMEOUTS* timeouts) {
    return ::SetCommTimeouts(device, timeouts);
}
BOOL CommCalls::PurgeComm(HANDLE device, DWORD what) {
    return ::PurgeComm(device, what);
}
BOOL CommCalls::ClearCommError(HANDLE device, DWORD* errors, COMSTAT* status) {
    return ::ClearCommError(device, errors, status);
}

CommCalls& Comm() {
    return *g_callsInForce.load(std::memory_order_acquire);
}

void SetCommCallsForTesting(CommCalls* calls) {
    g_callsInForce.store(calls ? calls : &g_realCalls, std::memory_order_release);
}

}  // namespace korvel::link
