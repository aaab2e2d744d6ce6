// Whole-file replacement on POSIX systems. The bytes go to an unnamed file (O_TMPFILE) in the
// target's folder, which is flushed and then given the name with linkat, so that neither a failure
// nor a kill leaves a partial file or a temporary one. Where the file system has no unnamed
// files, a named temporary file beside the target is renamed over it, and removed on failure with
// the stop signals held meanwhile (only SIGKILL can then leave it behind).
#include <fcntl.h>
#include <signal.h>
#include <sys/stat.h>
#include <time.h>
#include <unistd.h>

#include <atomic>
#include <cstdio>
#include <cstring>
#include <optional>
#include <utility>

#include "descriptor.h"
#include "os.h"
#include "system_error.h"

namespace korvel::base::os {
namespace {

std::atomic<bool> g_unnamedFiles{true};

constexpr int kLinkHops = 40;         // the kernel's own limit on a chain of links
constexpr unsigned kNameTries = 100;  // names tried for a temporary file before giving up

using Fd = Descriptor;

// A temporary file of ours, removed unless it has been renamed into place.
class TemporaryName {
  public:
    TemporaryName() = default;
    ~TemporaryName() {
        if (!path_.empty()) ::unlink(path_.c_str());
    }
    TemporaryName(const TemporaryName&) = delete;
    TemporaryName& operator=(const TemporaryName&) = delete;
    void Set(std::string path) { path_ = std::move(path); }
    const std::string& path() const { return path_; }
    void Release() { path_.clear(); }

  private:
    std::string path_;
};

// Holds SIGINT, SIGTERM and SIGHUP back while a named temporary file exists, so that they end the
// program only once the file is in place or gone.
class HeldSignals {
  public:
    HeldSignals() {
        sigset_t set;
        sigemptyset(&set);
        sigaddset(&set, SIGINT);
        sigaddset(&set, SIGTERM);
        sigaddset(&set, SIGHUP);
        held_ = ::pthread_sigmask(SIG_BLOCK, &set, &previous_) == 0;
    }
    ~HeldSignals() {
        if (held_) ::pthread_sigmask(SIG_SETMASK, &previous_, nullptr);
    }
    HeldSignals(const HeldSignals&) = delete;
    HeldSignals& operator=(const HeldSignals&) = delete;

  private:
    sigset_t previous_{};
    bool held_ = false;
};

// What the replacement is about: the name given, the file the links lead to, and how messages
// show them.
struct Target {
    std::string path;         // as given
    std::string file;         // where the links lead
    std::string shown;        // "path" or "path (a link to file)"
    bool kernelOnly = false;  // only the system can name it (/proc/self/fd/1 behind /dev/stdout)
};

std::string DirectoryOf(const std::string& path) {
    const size_t slash = path.rfind('/');
    if (slash == std::string::npos) return ".";
    return slash == 0 ? "/" : path.substr(0, slash);
}

// "the reason; what to do" as an Error about the target.
Error Failure(const Target& target, const std::string& what, int error, std::string hint) {
    Error failure(kFailureCode, what + " " + target.shown + ": " + std::strerror(error),
                  std::move(hint), CauseOf(error));
    failure.detail = std::strerror(error);
    return failure;
}

Error WriteFailure(const Target& target, int error) {
    return Failure(target, "cannot write", error,
                   error == ENOSPC || error == EDQUOT || error == EFBIG
                       ? "check the free space; " + target.path + " is unchanged"
                       : target.path + " is unchanged");
}

Error CreateFailure(const Target& target, int error) {
    Error failure(kFailureCode,
                  "cannot create a file next to " + target.shown + ": " + std::strerror(error),
                  "check that its folder exists and is writable", CauseOf(error));
    failure.detail = std::strerror(error);
    return failure;
}

// Follows the chain of symbolic links from `path` to the file it leads to, which need not exist (a
// link may name a file still to be written). A link whose text names nothing while the system
// still resolves it (/proc/self/fd/1, "pipe:[4711]", behind /dev/stdout) ends the chain there,
// with kernelOnly set. False with errno set (ELOOP) on a chain too long or a link that cannot
// be read.
bool FollowLinks(Target& target) {
    std::string current = target.path;
    for (int hops = 0; hops < kLinkHops; ++hops) {
        struct stat info {};
        if (::lstat(current.c_str(), &info) != 0 || !S_ISLNK(info.st_mode)) {
            target.file = current;
            return true;
        }
        std::string link(static_cast<size_t>(info.st_size) + 1, '\0');
        const ssize_t length = ::readlink(current.c_str(), link.data(), link.size());
        if (length < 0) return false;
        if (static_cast<size_t>(length) >= link.size()) {
            --hops;  // the link changed while it was read: read it again
            continue;
        }
        link.resize(static_cast<size_t>(length));
        if (link.empty()) {
            errno = ENOENT;
            return false;
        }
        std::string next = link[0] == '/' ? link : DirectoryOf(current) + "/" + link;
        struct stat reached {};
        if (::lstat(next.c_str(), &reached) != 0 && ::stat(current.c_str(), &reached) == 0) {
            target.file = current;
            target.kernelOnly = true;
            return true;
        }
        current = std::move(next);
    }
    errno = ELOOP;
    return false;
}

bool WriteAll(int fd, std::span<const uint8_t> bytes) {
    while (!bytes.empty()) {
        const ssize_t put = ::write(fd, bytes.data(), bytes.size());
        if (put < 0 && errno == EINTR) continue;
        if (put < 0) return false;
        if (put == 0) {
            errno = EIO;
            return false;
        }
        bytes = bytes.subspan(static_cast<size_t>(put));
    }
    return true;
}

bool Sync(int fd) {
    while (::fsync(fd) != 0) {
        if (errno != EINTR) return false;
    }
    return true;
}

// Makes the new name itself durable. The file is complete and in place either way; a file system
// that cannot flush a folder (EINVAL) has nothing more to do.
void SyncFolder(const std::string& file) {
    const Fd folder(::open(DirectoryOf(file).c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    if (folder.get() >= 0) Sync(folder.get());
}

// A character device or a FIFO, written in place: never truncated, never replaced, never created.
// With `regular`, a regular file that only the system can name, truncated first.
Expected<void> WriteInPlace(const Target& target, std::span<const uint8_t> bytes, bool regular) {
    // O_NONBLOCK: a FIFO that nobody reads from is refused at once instead of waited for.
    Fd fd(::open(target.file.c_str(),
                 O_WRONLY | O_NOCTTY | O_CLOEXEC | O_NONBLOCK | (regular ? O_TRUNC : 0)));
    if (fd.get() < 0) {
        if (errno == ENXIO) {
            return Error(kFailureCode,
                         "cannot write " + target.shown + ": it is a FIFO that nothing reads from",
                         "start its reader first, or give a regular file", Cause::Busy);
        }
        return Failure(target, "cannot write", errno, {});
    }
    struct stat info {};
    if (::fstat(fd.get(), &info) != 0 ||
        !(S_ISCHR(info.st_mode) || S_ISFIFO(info.st_mode) || (regular && S_ISREG(info.st_mode)))) {
        return Error(kFailureCode,
                     "cannot write " + target.shown + ": it changed while it was opened",
                     "try again");
    }
    ::fcntl(fd.get(), F_SETFL, ::fcntl(fd.get(), F_GETFL) & ~O_NONBLOCK);
    if (!WriteAll(fd.get(), bytes) || !fd.Close()) {
        return Failure(target, "cannot write", errno, {});
    }
    return {};
}

// A name beside `file` that starts with its name (so that a watcher removing "file*" takes it),
// different at every call.
std::string SiblingName(const std::string& file, unsigned attempt) {
    static std::atomic<unsigned> counter{0};
    timespec now{};
    ::clock_gettime(CLOCK_MONOTONIC, &now);
    char suffix[64];
    std::snprintf(suffix, sizeof suffix, ".%d-%u-%lx.tmp", static_cast<int>(::getpid()),
                  counter.fetch_add(1) + attempt, static_cast<unsigned long>(now.tv_nsec));
    return file + suffix;
}

// The permission bits the new file gets, if any are to be set by hand: an existing file's own,
// or the forced ones. A new file's come from its creation (the kernel takes the umask off).
std::optional<mode_t> ModeToSet(const std::optional<mode_t>& existing,
                                const ReplaceOptions& options) {
    if (options.forcedMode) return static_cast<mode_t>(*options.forcedMode & 07777);
    return existing;
}

// Gives the complete unnamed file `fd` the name `file`, replacing what holds it. False with errno
// set when the system cannot name it.
bool NameUnnamedFile(int fd, const std::string& file) {
    const std::string self = "/proc/self/fd/" + std::to_string(fd);
    // Through /proc for an ordinary user; AT_EMPTY_PATH where /proc is missing (it needs a
    // privilege an ordinary user lacks).
    auto link = [&](const std::string& name) {
        if (::linkat(AT_FDCWD, self.c_str(), AT_FDCWD, name.c_str(), AT_SYMLINK_FOLLOW) == 0) {
            return true;
        }
        if (errno != ENOENT) return false;
        return ::linkat(fd, "", AT_FDCWD, name.c_str(), AT_EMPTY_PATH) == 0;
    };
    if (link(file)) return true;
    if (errno != EEXIST) return false;
    // A link cannot replace a file: link a name of our own beside it, then rename that over it.
    // Signals are held meanwhile, so that only SIGKILL between the two calls leaves the name.
    const HeldSignals held;
    for (unsigned attempt = 0; attempt < kNameTries; ++attempt) {
        TemporaryName temporary;
        const std::string name = SiblingName(file, attempt);
        if (!link(name)) {
            if (errno == EEXIST) continue;
            return false;
        }
        temporary.Set(name);
        if (::rename(name.c_str(), file.c_str()) != 0) return false;
        temporary.Release();
        return true;
    }
    errno = EEXIST;
    return false;
}

// The way of file systems without unnamed files.
Expected<void> WriteThroughNamedFile(const Target& target, std::span<const uint8_t> bytes,
                                     const ReplaceOptions& options,
                                     const std::optional<mode_t>& existing) {
    const HeldSignals held;
    TemporaryName temporary;  // declared before the descriptor: closed first, then removed
    int opened = -1;
    for (unsigned attempt = 0; attempt < kNameTries && opened < 0; ++attempt) {
        const std::string name = SiblingName(target.file, attempt);
        opened = ::open(name.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC | O_NOCTTY,
                        static_cast<mode_t>(options.newFileMode & 07777));
        if (opened >= 0) {
            temporary.Set(name);
        } else if (errno != EEXIST) {
            return CreateFailure(target, errno);
        }
    }
    if (opened < 0) return CreateFailure(target, EEXIST);
    Fd fd(opened);
    const std::optional<mode_t> mode = ModeToSet(existing, options);
    if (mode && ::fchmod(fd.get(), *mode) != 0) return WriteFailure(target, errno);
    if (!WriteAll(fd.get(), bytes) || !Sync(fd.get()) || !fd.Close()) {
        return WriteFailure(target, errno);
    }
    if (::rename(temporary.path().c_str(), target.file.c_str()) != 0) {
        return WriteFailure(target, errno);
    }
    temporary.Release();
    SyncFolder(target.file);
    return {};
}

}  // namespace

void UseUnnamedFiles(bool use) noexcept {
    g_unnamedFiles = use;
}

Expected<void> ReplaceWholeFile(const std::string& path, std::span<const uint8_t> bytes,
                                const ReplaceOptions& options) {
    Target target;
    target.path = path;
    if (!FollowLinks(target)) {
        const int error = errno;
        target.shown = path;
        return Failure(target, "cannot write", error, "check its symbolic links");
    }
    target.shown = target.file == path ? path : path + " (a link to " + target.file + ")";

    std::optional<mode_t> existing;
    struct stat info {};
    if (::stat(target.file.c_str(), &info) == 0) {
        if (target.kernelOnly || !S_ISREG(info.st_mode)) {
            if (S_ISCHR(info.st_mode) || S_ISFIFO(info.st_mode) || S_ISREG(info.st_mode)) {
                return WriteInPlace(target, bytes, target.kernelOnly);
            }
            const FileKind kind = S_ISDIR(info.st_mode)    ? FileKind::Directory
                                  : S_ISBLK(info.st_mode)  ? FileKind::BlockDevice
                                  : S_ISSOCK(info.st_mode) ? FileKind::Socket
                                                           : FileKind::Other;
            return Error(kFailureCode,
                         "cannot write " + target.shown + ": it is " + DescribeFileKind(kind),
                         "give the name of a regular file",
                         kind == FileKind::Directory ? Cause::IsDirectory : Cause::NotRegularFile);
        }
        existing = info.st_mode & 07777;
    }

    if (!g_unnamedFiles) return WriteThroughNamedFile(target, bytes, options, existing);
    Fd fd(::open(DirectoryOf(target.file).c_str(), O_TMPFILE | O_WRONLY | O_CLOEXEC,
                 static_cast<mode_t>(options.newFileMode & 07777)));
    if (fd.get() < 0) {
        // Kernels and file systems without unnamed files say so in one of these ways.
        if (errno == EOPNOTSUPP || errno == EISDIR || errno == EINVAL) {
            return WriteThroughNamedFile(target, bytes, options, existing);
        }
        return CreateFailure(target, errno);
    }
    const std::optional<mode_t> mode = ModeToSet(existing, options);
    if (mode && ::fchmod(fd.get(), *mode) != 0) return WriteFailure(target, errno);
    if (!WriteAll(fd.get(), bytes) || !Sync(fd.get())) return WriteFailure(target, errno);
    if (!NameUnnamedFile(fd.get(), target.file)) {
        const int error = errno;
        if (error == EPERM || error == ENOENT || error == EXDEV || error == EOPNOTSUPP) {
            // No /proc to link through and no privilege for AT_EMPTY_PATH, or a file system that
            // refuses the link: the named way before giving up.
            return WriteThroughNamedFile(target, bytes, options, existing);
        }
        return WriteFailure(target, error);
    }
    if (!fd.Close()) return WriteFailure(target, errno);
    SyncFolder(target.file);
    return {};
}

}  // namespace korvel::base::os
