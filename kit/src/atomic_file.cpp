#include "kit/atomic_file.h"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>

namespace korvel::kit {
namespace {

class Fd {
  public:
    explicit Fd(int fd) : fd_(fd) {}
    ~Fd() {
        if (fd_ >= 0) ::close(fd_);
    }
    Fd(const Fd&) = delete;
    Fd& operator=(const Fd&) = delete;
    int get() const { return fd_; }
    bool Close() {
        const int fd = fd_;
        fd_ = -1;
        return ::close(fd) == 0;
    }

  private:
    int fd_;
};

std::string Reason() {
    return std::strerror(errno);
}

std::string DirectoryOf(const std::string& path) {
    const size_t slash = path.rfind('/');
    if (slash == std::string::npos) return ".";
    if (slash == 0) return "/";
    return path.substr(0, slash);
}

}  // namespace

bool ReplaceFileAtomically(const std::string& named, const std::vector<uint8_t>& bytes,
                           std::string& error, unsigned newMode) {
    // Through a symbolic link, the file it leads to is replaced and the link stays.
    std::string path = named;
    if (char* resolved = ::realpath(named.c_str(), nullptr)) {
        path = resolved;
        std::free(resolved);
    }
    const std::string directory = DirectoryOf(path);
    std::string temp = path + ".XXXXXX";
    const int raw = ::mkstemp(temp.data());
    if (raw < 0) {
        error = "cannot create a temporary file in " + directory + " (" + Reason() +
                "); check that the directory exists and is writable";
        return false;
    }
    Fd fd(raw);
    auto fail = [&](const std::string& what) {
        error = what + " " + temp + " (" + Reason() + "); " + path + " is unchanged";
        ::unlink(temp.c_str());
        return false;
    };
    struct stat old {};
    mode_t mode;
    if (::stat(path.c_str(), &old) == 0) {
        mode = old.st_mode & 07777;
    } else {
        const mode_t mask = ::umask(0);
        ::umask(mask);
        mode = static_cast<mode_t>(newMode) & ~mask;
    }
    if (::fchmod(fd.get(), mode) != 0) return fail("cannot set the mode of");
    size_t done = 0;
    while (done < bytes.size()) {
        const ssize_t n = ::write(fd.get(), bytes.data() + done, bytes.size() - done);
        if (n < 0) {
            if (errno == EINTR) continue;
            return fail("cannot write");
        }
        done += static_cast<size_t>(n);
    }
    if (::fsync(fd.get()) != 0) return fail("cannot flush");
    if (!fd.Close()) return fail("cannot close");
    if (::rename(temp.c_str(), path.c_str()) != 0) return fail("cannot rename");
    // The rename itself reaches the disk with the directory.
    const int dir = ::open(directory.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (dir >= 0) {
        ::fsync(dir);
        ::close(dir);
    }
    return true;
}

bool LockWithoutWaiting(int fd) {
    for (;;) {
        if (::flock(fd, LOCK_EX | LOCK_NB) == 0) return true;
        if (errno != EINTR) return false;
    }
}

bool ReadOpenFile(int fd, const std::string& path, std::vector<uint8_t>& bytes, std::string& error,
                  size_t limit) {
    bytes.clear();
    struct stat info {};
    if (::fstat(fd, &info) != 0 || !S_ISREG(info.st_mode)) {
        error = path + " is not a regular file";
        return false;
    }
    if (static_cast<uint64_t>(info.st_size) > limit) {
        error = path + " is " + std::to_string(info.st_size) + " bytes long, more than " +
                std::to_string(limit);
        return false;
    }
    bytes.reserve(static_cast<size_t>(info.st_size));
    uint8_t buffer[65536];
    for (;;) {
        const ssize_t n = ::read(fd, buffer, sizeof buffer);
        if (n < 0) {
            if (errno == EINTR) continue;
            error = "cannot read " + path + " (" + Reason() + ")";
            return false;
        }
        if (n == 0) break;
        if (bytes.size() + static_cast<size_t>(n) > limit) {
            error = path + " is longer than " + std::to_string(limit) + " bytes";
            return false;
        }
        bytes.insert(bytes.end(), buffer, buffer + n);
    }
    return true;
}

bool ReadWholeFile(const std::string& path, std::vector<uint8_t>& bytes, std::string& error,
                   bool& missing, size_t limit) {
    missing = false;
    bytes.clear();
    Fd fd(::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK));
    if (fd.get() < 0) {
        missing = errno == ENOENT;
        error = "cannot open " + path + " (" + Reason() + ")";
        return false;
    }
    return ReadOpenFile(fd.get(), path, bytes, error, limit);
}

}  // namespace korvel::kit
