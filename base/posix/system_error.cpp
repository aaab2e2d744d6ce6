#include "system_error.h"

#include <cstring>

namespace korvel::base::os {

Cause CauseOf(int error) noexcept {
    switch (error) {
        case ENOENT:
        case ENOTDIR:
            return Cause::NotFound;
        case EACCES:
        case EPERM:
        case EROFS:
            return Cause::Denied;
        case EISDIR:
            return Cause::IsDirectory;
        case EEXIST:
            return Cause::Exists;
        case ENOSPC:
        case EDQUOT:
        case EFBIG:
            return Cause::NoSpace;
        case EAGAIN:
            return Cause::WouldBlock;
        case EBUSY:
        case ETXTBSY:
            return Cause::Busy;
        case ENOMEM:
            return Cause::OutOfMemory;
        default:
            return Cause::Other;
    }
}

Error SystemError(int error) {
    Error failure(kFailureCode, std::strerror(error), {}, CauseOf(error));
    failure.detail = failure.message;
    return failure;
}

}  // namespace korvel::base::os
