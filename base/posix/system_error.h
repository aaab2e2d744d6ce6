// The system's failures as the library's: errno to a cause and the system's own words.
#ifndef KORVEL_BASE_POSIX_SYSTEM_ERROR_H
#define KORVEL_BASE_POSIX_SYSTEM_ERROR_H

#include <cerrno>

#include "base/error.h"

namespace korvel::base::os {

Cause CauseOf(int error) noexcept;

// An Error of the cause of `error` whose message is the system's text for it.
Error SystemError(int error);

// The same for the errno of the call that just failed.
inline Error LastSystemError() {
    return SystemError(errno);
}

}  // namespace korvel::base::os

#endif
