#include "port_entry.h"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <optional>

#include "base/read_file.h"

namespace korvel::sim {
namespace {

constexpr int kLockTries = 5;  // the lock file can vanish under us when its last owner leaves

// "`what`: <the system's words for errno>".
base::Error SystemError(const std::string& what) {
    return base::Fail(what + ": " + std::strerror(errno));
}

// Creates `path` and its missing parents.
base::Expected<void> MakeDirectories(const std::string& path) {
    for (size_t at = 1; at <= path.size(); ++at) {
        if (at != path.size() && path[at] != '/') continue;
        const std::string part = path.substr(0, at);
        if (::mkdir(part.c_str(), 0755) != 0 && errno != EEXIST) {
            return base::Fail("cannot create the ports directory " + part + ": " +
                              std::strerror(errno) + "; give a writable one with --ports-dir");
        }
    }
    struct stat info;
    if (::stat(path.c_str(), &info) != 0 || !S_ISDIR(info.st_mode)) {
        return base::Fail(path + " is not a directory; give the ports directory with --ports-dir");
    }
    return {};
}

std::optional<std::string> ReadLink(const std::string& path) {
    char target[4096];
    const ssize_t size = ::readlink(path.c_str(), target, sizeof target - 1);
    if (size < 0) return std::nullopt;
    return std::string(target, static_cast<size_t>(size));
}

// What the lock file says: the device its emulator made the entry for.
std::string RecordedDevice(base::File& lock) {
    const base::Expected<base::FileBytes> read = base::ReadToEnd(lock);
    if (!read) return {};
    return std::string(read->bytes.begin(), read->bytes.end());
}

}  // namespace

base::Expected<std::unique_ptr<PortEntry>> PortEntry::Claim(const std::string& directory,
                                                            const std::string& name) {
    KORVEL_TRY(MakeDirectories(directory));
    std::unique_ptr<PortEntry> entry(new PortEntry);
    entry->path_ = directory + "/" + name;
    entry->lockPath_ = directory + "/." + name + ".lock";

    for (int attempt = 0; attempt < kLockTries && !entry->lock_; ++attempt) {
        const int opened = ::open(entry->lockPath_.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0644);
        if (opened < 0) return SystemError("cannot create " + entry->lockPath_);
        base::File lock = base::File::Adopt(opened, entry->lockPath_);
        const base::Expected<bool> locked = lock.TryLock();
        if (!locked) return locked.error();  // "cannot lock P: <the system's words>"
        if (!*locked) {
            return base::Fail(
                "another korvel-sim serves " + entry->path_ + "; stop it or choose another port",
                {}, base::Cause::Busy);
        }
        // The file we locked must still be the one on disk: its previous owner removes it when it
        // leaves, and a lock on a removed file protects nothing.
        struct stat held, named;
        if (::fstat(opened, &held) == 0 && ::stat(entry->lockPath_.c_str(), &named) == 0 &&
            held.st_dev == named.st_dev && held.st_ino == named.st_ino) {
            entry->lock_ = std::move(lock);
        }
    }
    if (!entry->lock_) {
        return base::Fail("cannot take " + entry->lockPath_ + ": it keeps changing; try again");
    }

    struct stat info;
    if (::lstat(entry->path_.c_str(), &info) != 0) return entry;  // no entry yet
    if (!S_ISLNK(info.st_mode)) {
        return base::Fail(entry->path_ +
                          " exists and is not a link to a device; remove it or choose another "
                          "port");
    }
    const std::optional<std::string> target = ReadLink(entry->path_);
    struct stat device;
    const bool dangling = !target || ::stat(entry->path_.c_str(), &device) != 0;
    // Our lock is free, so no emulator runs for this port: an entry leading to the device the
    // last one recorded is its leftover, even if that device number serves something else now.
    const bool leftover = target && *target == RecordedDevice(entry->lock_);
    if (!dangling && !leftover) {
        return base::Fail(entry->path_ + " already leads to " + target.value_or("?") +
                          ", which no korvel-sim made; remove the entry or choose another port");
    }
    return entry;
}

base::Expected<void> PortEntry::Point(const std::string& device) {
    // Record the device first: if we die between the two steps, the entry is still known as ours.
    const int lock = static_cast<int>(lock_.Native());
    if (::ftruncate(lock, 0) != 0 ||
        ::pwrite(lock, device.data(), device.size(), 0) != static_cast<ssize_t>(device.size())) {
        return SystemError("cannot write " + lockPath_);
    }
    const std::string temporary = path_ + ".new." + std::to_string(::getpid());
    ::unlink(temporary.c_str());
    if (::symlink(device.c_str(), temporary.c_str()) != 0) {
        return SystemError("cannot create the port entry " + temporary);
    }
    if (::rename(temporary.c_str(), path_.c_str()) != 0) {
        const base::Error failure = SystemError("cannot create the port entry " + path_);
        ::unlink(temporary.c_str());
        return failure;
    }
    device_ = device;
    return {};
}

PortEntry::~PortEntry() {
    if (!device_.empty() && ReadLink(path_) == device_) ::unlink(path_.c_str());
    // Removed while still locked, so that nobody takes the lock of a file about to vanish.
    if (lock_) ::unlink(lockPath_.c_str());
}

}  // namespace korvel::sim
