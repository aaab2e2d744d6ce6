#include "port_entry.h"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <optional>

namespace korvel::sim {
namespace {

constexpr int kLockTries = 5;  // the lock file can vanish under us when its last owner leaves

std::string SystemError(const std::string& what) {
    return what + ": " + std::strerror(errno);
}

// Creates `path` and its missing parents.
bool MakeDirectories(const std::string& path, std::string* error) {
    for (size_t at = 1; at <= path.size(); ++at) {
        if (at != path.size() && path[at] != '/') continue;
        const std::string part = path.substr(0, at);
        if (::mkdir(part.c_str(), 0755) != 0 && errno != EEXIST) {
            *error = SystemError("cannot create the ports directory " + part) +
                     "; give a writable one with --ports-dir";
            return false;
        }
    }
    struct stat info;
    if (::stat(path.c_str(), &info) != 0 || !S_ISDIR(info.st_mode)) {
        *error = path + " is not a directory; give the ports directory with --ports-dir";
        return false;
    }
    return true;
}

std::optional<std::string> ReadLink(const std::string& path) {
    char target[4096];
    const ssize_t size = ::readlink(path.c_str(), target, sizeof target - 1);
    if (size < 0) return std::nullopt;
    return std::string(target, static_cast<size_t>(size));
}

std::string ReadAll(int fd) {
    std::string text;
    char buffer[512];
    off_t at = 0;
    for (;;) {
        const ssize_t got = ::pread(fd, buffer, sizeof buffer, at);
        if (got <= 0) break;
        text.append(buffer, static_cast<size_t>(got));
        at += got;
    }
    return text;
}

}  // namespace

std::unique_ptr<PortEntry> PortEntry::Claim(const std::string& directory, const std::string& name,
                                            std::string* error) {
    if (!MakeDirectories(directory, error)) return nullptr;
    std::unique_ptr<PortEntry> entry(new PortEntry);
    entry->path_ = directory + "/" + name;
    entry->lockPath_ = directory + "/." + name + ".lock";

    for (int attempt = 0; attempt < kLockTries && !entry->lock_; ++attempt) {
        UniqueFd fd(::open(entry->lockPath_.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0644));
        if (!fd) {
            *error = SystemError("cannot create " + entry->lockPath_);
            return nullptr;
        }
        if (::flock(fd.get(), LOCK_EX | LOCK_NB) != 0) {
            if (errno == EWOULDBLOCK) {
                *error = "another korvel-sim serves " + entry->path_ +
                         "; stop it or choose another port";
            } else {
                *error = SystemError("cannot lock " + entry->lockPath_);
            }
            return nullptr;
        }
        // The file we locked must still be the one on disk: its previous owner removes it when it
        // leaves, and a lock on a removed file protects nothing.
        struct stat opened, named;
        if (::fstat(fd.get(), &opened) == 0 && ::stat(entry->lockPath_.c_str(), &named) == 0 &&
            opened.st_dev == named.st_dev && opened.st_ino == named.st_ino) {
            entry->lock_ = std::move(fd);
        }
    }
    if (!entry->lock_) {
        *error = "cannot take " + entry->lockPath_ + ": it keeps changing; try again";
        return nullptr;
    }

    struct stat info;
    if (::lstat(entry->path_.c_str(), &info) != 0) return entry;  // no entry yet
    if (!S_ISLNK(info.st_mode)) {
        *error = entry->path_ +
                 " exists and is not a link to a device; remove it or choose "
                 "another port";
        return nullptr;
    }
    const std::optional<std::string> target = ReadLink(entry->path_);
    struct stat device;
    const bool dangling = !target || ::stat(entry->path_.c_str(), &device) != 0;
    // Our lock is free, so no emulator runs for this port: an entry leading to the device the
    // last one recorded is its leftover, even if that device number serves something else now.
    const bool leftover = target && *target == ReadAll(entry->lock_.get());
    if (!dangling && !leftover) {
        *error = entry->path_ + " already leads to " + target.value_or("?") +
                 ", which no korvel-sim made; remove the entry or choose another port";
        return nullptr;
    }
    return entry;
}

bool PortEntry::Point(const std::string& device, std::string* error) {
    // Record the device first: if we die between the two steps, the entry is still known as ours.
    if (::ftruncate(lock_.get(), 0) != 0 || ::pwrite(lock_.get(), device.data(), device.size(),
                                                     0) != static_cast<ssize_t>(device.size())) {
        *error = SystemError("cannot write " + lockPath_);
        return false;
    }
    const std::string temporary = path_ + ".new." + std::to_string(::getpid());
    ::unlink(temporary.c_str());
    if (::symlink(device.c_str(), temporary.c_str()) != 0) {
        *error = SystemError("cannot create the port entry " + temporary);
        return false;
    }
    if (::rename(temporary.c_str(), path_.c_str()) != 0) {
        *error = SystemError("cannot create the port entry " + path_);
        ::unlink(temporary.c_str());
        return false;
    }
    device_ = device;
    return true;
}

PortEntry::~PortEntry() {
    if (!device_.empty() && ReadLink(path_) == device_) ::unlink(path_.c_str());
    // Removed while still locked, so that nobody takes the lock of a file about to vanish.
    if (lock_) ::unlink(lockPath_.c_str());
}

}  // namespace korvel::sim
