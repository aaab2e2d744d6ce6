// An exclusive advisory lock on a file, taken without waiting: two programs that read, change and
// replace the same file (the options file's seal and its check) take it first, and the one that
// finds it held gives up instead of reading a file the other is about to replace.
#ifndef KORVEL_BASE_FILE_LOCK_H
#define KORVEL_BASE_FILE_LOCK_H

#include <string>

#include "base/error.h"
#include "base/file.h"

namespace korvel::base {

class FileLock {
  public:
    // Opens `path` with `access` (Read or ReadWrite) and takes its lock. A file replaced while
    // the lock was being taken is opened again, so that the lock held is the one on the file the
    // name leads to now. Cause::Busy when another program holds it.
    static Expected<FileLock> TryAcquire(const std::string& path,
                                         FileAccess access = FileAccess::Read);

    // The locked file, open; closing it lets the lock go.
    File& file() noexcept { return file_; }

  private:
    explicit FileLock(File file) noexcept : file_(std::move(file)) {}
    File file_;
};

}  // namespace korvel::base

#endif
