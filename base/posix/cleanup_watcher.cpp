// The clean-up watcher on POSIX systems: a forked process that holds the read end of a pipe whose
// write end only this process holds. The kernel closes that end however this process ends; the
// read then returns and the watcher removes the entries and the folder. Between the fork and its
// end the watcher makes async-signal-safe calls only (raw getdents64 for the folder's entries),
// so that it may be started while other threads run.
#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cstdlib>
#include <cstring>

#include "os.h"
#include "system_error.h"

namespace korvel::base::os {
namespace {

struct LinuxDirent64 {
    uint64_t inode;
    int64_t offset;
    unsigned short length;
    unsigned char type;
    char name[];
};

// In the watcher: removes the entry `name`, and with `prefixed` every entry starting with it.
void RemoveEntries(int folder, const char* name, size_t nameLength, bool prefixed) {
    ::unlinkat(folder, name, 0);
    if (!prefixed) return;
    alignas(LinuxDirent64) char buffer[4096];
    ::lseek(folder, 0, SEEK_SET);
    for (;;) {
        const long got = ::syscall(SYS_getdents64, folder, buffer, sizeof buffer);
        if (got <= 0) return;
        for (long at = 0; at < got;) {
            const auto* entry = reinterpret_cast<const LinuxDirent64*>(buffer + at);
            if (std::strncmp(entry->name, name, nameLength) == 0) {
                ::unlinkat(folder, entry->name, 0);
            }
            at += entry->length;
        }
    }
}

}  // namespace

Expected<Watcher> StartWatcher(const std::string& folder, const FolderEntries& entries) {
    int ends[2];
    if (::pipe2(ends, O_CLOEXEC) != 0) return LastSystemError();
    const int readEnd = ends[0];
    const int writeEnd = ends[1];
    const int folderFd = ::open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (folderFd < 0) {
        const Error error = LastSystemError();
        ::close(readEnd);
        ::close(writeEnd);
        return error;
    }
    const char* path = folder.c_str();
    const char* name = entries.name.c_str();
    const size_t nameLength = entries.name.size();
    const bool prefixed = entries.withPrefixed;
    const long limit = ::sysconf(_SC_OPEN_MAX);
    const int openMax = static_cast<int>(limit > 0 ? std::min(limit, 65536L) : 1024L);

    const pid_t pid = ::fork();
    if (pid == 0) {
        // A session of its own: a kill of the terminal's process group leaves it be.
        ::setsid();
        for (int fd = 0; fd < openMax; ++fd) {
            if (fd != readEnd && fd != folderFd) ::close(fd);
        }
        char byte;
        while (::read(readEnd, &byte, 1) < 0 && errno == EINTR) {
        }
        if (nameLength > 0) RemoveEntries(folderFd, name, nameLength, prefixed);
        // The folder by its name only while the name still leads to the folder held.
        struct stat named {};
        struct stat held {};
        if (::stat(path, &named) == 0 && ::fstat(folderFd, &held) == 0 &&
            named.st_dev == held.st_dev && named.st_ino == held.st_ino) {
            ::rmdir(path);
        }
        ::_exit(0);
    }
    const int forkError = errno;
    ::close(readEnd);
    ::close(folderFd);
    if (pid < 0) {
        ::close(writeEnd);
        return SystemError(forkError);
    }
    return Watcher{pid, writeEnd};
}

void StopWatcher(Watcher& watcher) noexcept {
    if (watcher.tie != kNoHandle) ::close(static_cast<int>(watcher.tie));
    watcher.tie = kNoHandle;
    if (watcher.process == kNoHandle) return;
    while (::waitpid(static_cast<pid_t>(watcher.process), nullptr, 0) < 0 && errno == EINTR) {
    }
    watcher.process = kNoHandle;
}

Expected<std::string> CreateTemporaryFolder(const std::string& prefix) {
    const char* base = std::getenv("TMPDIR");
    std::string pattern =
        std::string(base != nullptr && base[0] == '/' ? base : "/tmp") + "/" + prefix + "XXXXXX";
    if (::mkdtemp(pattern.data()) == nullptr) {
        Error error = LastSystemError();
        error.message = pattern + ": " + error.message;
        return error;
    }
    return pattern;
}

void RemoveFolder(const std::string& folder, const FolderEntries& entries) noexcept {
    const int fd = ::open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (fd >= 0) {
        if (!entries.name.empty()) {
            RemoveEntries(fd, entries.name.c_str(), entries.name.size(), entries.withPrefixed);
        }
        ::close(fd);
    }
    ::rmdir(folder.c_str());
}

}  // namespace korvel::base::os
