// The one owner of a raw handle inside the Windows implementation (outside it, base::File), and
// the conversions between the library's UTF-8 and the system's UTF-16.
#ifndef KORVEL_BASE_WIN32_HANDLE_H
#define KORVEL_BASE_WIN32_HANDLE_H

#include <windows.h>

#include <mutex>
#include <string>
#include <utility>
#include <vector>

#include "os.h"

namespace korvel::base::os {

class OwnedHandle {
  public:
    explicit OwnedHandle(HANDLE handle = INVALID_HANDLE_VALUE) noexcept : handle_(handle) {}
    OwnedHandle(OwnedHandle&& other) noexcept
        : handle_(std::exchange(other.handle_, INVALID_HANDLE_VALUE)) {}
    OwnedHandle& operator=(OwnedHandle&& other) noexcept {
        if (this != &other) Reset(std::exchange(other.handle_, INVALID_HANDLE_VALUE));
        return *this;
    }
    OwnedHandle(const OwnedHandle&) = delete;
    OwnedHandle& operator=(const OwnedHandle&) = delete;
    ~OwnedHandle() { Reset(); }

    HANDLE get() const noexcept { return handle_; }
    bool valid() const noexcept { return handle_ != INVALID_HANDLE_VALUE && handle_ != nullptr; }
    void Reset(HANDLE handle = INVALID_HANDLE_VALUE) noexcept {
        if (valid()) ::CloseHandle(handle_);
        handle_ = handle;
    }
    HANDLE Release() noexcept { return std::exchange(handle_, INVALID_HANDLE_VALUE); }

  private:
    HANDLE handle_;
};

inline HANDLE Native(Handle handle) noexcept {
    return reinterpret_cast<HANDLE>(handle);
}

inline Handle FromNative(HANDLE handle) noexcept {
    return reinterpret_cast<Handle>(handle);
}

// UTF-8 as UTF-16 for the system's calls; text that is not valid UTF-8 is refused
// (Cause::BadInput), never passed on changed.
Expected<std::wstring> Wide(const std::string& text);
// The system's UTF-16 as UTF-8; an unpaired surrogate becomes U+FFFD.
std::string Narrow(const std::wstring& text);

// Held from making a handle inheritable until the child that is to inherit it has started and
// the handle is closed again, so that a child started by another thread meanwhile never inherits
// it (a pipe whose write end a stranger holds would never end).
std::mutex& InheritanceLock();

// The command line that hands `arguments` to a program as they are, whatever spaces, quotes and
// backslashes they hold (the rules of CommandLineToArgvW and of the C runtime's start-up).
std::wstring CommandLine(const std::vector<std::wstring>& arguments);

// Starts `program` with `commandLine`, inheriting exactly `inherited` (made inheritable for the
// while), with `creationFlags`; `environment` is a UTF-16 block or empty for this process's.
Expected<PROCESS_INFORMATION> StartProcess(const std::wstring& program,
                                           const std::wstring& commandLine,
                                           std::vector<HANDLE> inherited, STARTUPINFOW startup,
                                           DWORD creationFlags, std::wstring* environment,
                                           const std::wstring* directory);

}  // namespace korvel::base::os

#endif
