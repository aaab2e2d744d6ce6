#include "base/file_lock.h"

#include "os.h"

namespace korvel::base {
namespace {

constexpr int kAttempts = 8;  // a file replaced this often while it is locked is refused

}  // namespace

Expected<FileLock> FileLock::TryAcquire(const std::string& path, FileAccess access) {
    for (int attempt = 0; attempt < kAttempts; ++attempt) {
        KORVEL_ASSIGN_OR_RETURN(File file, File::Open(path, access));
        KORVEL_ASSIGN_OR_RETURN(const bool locked, file.TryLock());
        if (!locked) {
            return Error(kFailureCode, path + " is in use by another program, which holds its lock",
                         "wait until that program is done with it, then try again", Cause::Busy);
        }
        // The holder that just let go may have put a new file in its place: the lock that counts
        // is the one on the file the name leads to now.
        KORVEL_ASSIGN_OR_RETURN(const bool same, os::NamesSameFile(path, file.Native()));
        if (same) return FileLock(std::move(file));
    }
    return Error(kFailureCode, path + " keeps being replaced while it is locked",
                 "wait until the program replacing it is done, then try again", Cause::Busy);
}

}  // namespace korvel::base
