#include "file_read.h"

#include "unique_fd.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>

namespace cordane {

namespace {

FileFault FaultOfErrno(int error) {
    switch (error) {
        case ENOENT:
        case ENOTDIR:
            return FileFault::Missing;
        case EACCES:
        case EPERM:
            return FileFault::Denied;
        case EISDIR:
            return FileFault::Directory;
        default:
            return FileFault::Unreadable;
    }
}

// Opens without blocking and checks the kind of file; fills `file` and answers the descriptor.
int Open(const std::string& path, FileBytes& file) {
    if (path.empty()) {
        file.fault = FileFault::Missing;
        return -1;
    }
    int fd;
    do {
        fd = ::open(path.c_str(), O_RDONLY | O_NONBLOCK | O_NOCTTY | O_CLOEXEC);
    } while (fd < 0 && errno == EINTR);
    if (fd < 0) {
        file.error = errno;
        file.fault = FaultOfErrno(errno);
        return -1;
    }
    struct stat info {};
    if (::fstat(fd, &info) != 0) {
        file.error = errno;
        file.fault = FileFault::Unreadable;
        ::close(fd);
        return -1;
    }
    if (!S_ISREG(info.st_mode)) {
        file.fault = S_ISDIR(info.st_mode) ? FileFault::Directory : FileFault::NotRegular;
        ::close(fd);
        return -1;
    }
    file.size = static_cast<uint64_t>(info.st_size);
    return fd;
}

}  // namespace

FileBytes ProbeFile(const std::string& path) {
    FileBytes file;
    const korvel::UniqueFd fd(Open(path, file));
    return file;
}

FileBytes ReadWholeFile(const std::string& path, size_t limit, size_t slack) {
    FileBytes file;
    const korvel::UniqueFd fd(Open(path, file));
    if (fd.get() < 0) return file;
    if (file.size > limit) {
        file.fault = FileFault::TooLarge;
        return file;
    }
    // Read to the end, whatever the size said: a file that grows past the limit meanwhile is
    // refused too, never cut.
    file.bytes.resize(static_cast<size_t>(file.size) + 1);
    size_t have = 0;
    for (;;) {
        if (have == file.bytes.size()) {
            if (have > limit) {
                file.fault = FileFault::TooLarge;
                file.size = have;
                file.bytes = {};
                return file;
            }
            file.bytes.resize(std::min(limit + 1, have * 2 + 4096));
        }
        const ssize_t n = ::read(fd.get(), file.bytes.data() + have, file.bytes.size() - have);
        if (n < 0 && errno == EINTR) continue;
        if (n < 0) {
            file.error = errno;
            file.fault = FileFault::Unreadable;
            file.bytes = {};
            return file;
        }
        if (n == 0) break;
        have += static_cast<size_t>(n);
    }
    if (have > limit) {
        file.fault = FileFault::TooLarge;
        file.size = have;
        file.bytes = {};
        return file;
    }
    file.size = have;
    file.bytes.resize(have + slack);
    if (slack) std::memset(file.bytes.data() + have, 0, slack);
    return file;
}

std::string FileFaultReason(const FileBytes& file, size_t limit) {
    switch (file.fault) {
        case FileFault::None:
            return "it can be read";
        case FileFault::Missing:
            return "no such file";
        case FileFault::Directory:
            return "it is a directory";
        case FileFault::NotRegular:
            return "it is not a regular file (a device, a FIFO or a socket)";
        case FileFault::Denied:
            return "permission denied";
        case FileFault::TooLarge:
            return "it is " + std::to_string(file.size) + " bytes long, more than the " +
                   std::to_string(limit) + " bytes a download file may have";
        case FileFault::Unreadable:
            return std::strerror(file.error);
    }
    return "it cannot be read";
}

}  // namespace cordane
