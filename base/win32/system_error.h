// The system's failures as the library's: a Windows error code to a cause and the system's own
// words.
#ifndef KORVEL_BASE_WIN32_SYSTEM_ERROR_H
#define KORVEL_BASE_WIN32_SYSTEM_ERROR_H

#include <windows.h>

#include "base/error.h"

namespace korvel::base::os {

Cause CauseOf(DWORD error) noexcept;

// The system's text for `error`, as one line without its closing full stop.
std::string SystemText(DWORD error);

// An Error of the cause of `error` whose message is the system's text for it.
Error SystemError(DWORD error);

// The same for the call that just failed (GetLastError).
inline Error LastSystemError() {
    return SystemError(::GetLastError());
}

}  // namespace korvel::base::os

#endif
