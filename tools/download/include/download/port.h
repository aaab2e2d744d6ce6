// The port of a download: --port resolved to what the link opens, why it cannot be used, and the
// temporary ports directory through which a device path reaches the engine.
#ifndef CORDANE_TOOLS_DOWNLOAD_PORT_H
#define CORDANE_TOOLS_DOWNLOAD_PORT_H

#include <dirent.h>
#include <fcntl.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <optional>
#include <string>

#include "cli/unique_fd.h"
#include "zr318/ports.h"

namespace cordane::tools {

struct PortChoice {
    int16_t number = 0;
    bool isVirtual = false;
    std::string text;          // how the user named it
    std::string device;        // what the link will open
    bool throughPath = false;  // a device path, reached through a temporary ports directory
};

// Why a port cannot be used for the download right now; nothing when it can.
std::optional<std::string> PortProblem(const PortChoice& port);

// Resolves --port; on a mistake, false with the message and the exit code to use.
bool ChoosePort(const std::string& name, PortChoice& port, std::string& error, int& exitCode);

// A process that removes a temporary directory of ours and what is left in it once this process
// ends, however it ends (SIGKILL gives no chance to clean up). The watcher holds the read end of
// a pipe whose write end only this process holds. The kernel closes that end however this process
// ends; the read then returns and the watcher removes the entry `name` (with `prefixed`, every
// entry whose name starts with it as well) and the directory, by its name only while that name
// still names the same directory. It runs in a session of its own, so that a kill of the
// terminal's process group does not take it along, and does nothing but wait: async-signal-safe
// calls only, as after any fork. Without a watcher (fork refused) the clean-up on exit remains.
class DirectoryWatcher {
  public:
    DirectoryWatcher() = default;
    ~DirectoryWatcher() { Stop(); }
    DirectoryWatcher(const DirectoryWatcher&) = delete;
    DirectoryWatcher& operator=(const DirectoryWatcher&) = delete;

    // Call it before any thread starts: the watcher is a forked process.
    void Start(const std::string& directory, const std::string& name, bool prefixed) {
        int ends[2];
        if (::pipe2(ends, O_CLOEXEC) != 0) return;
        UniqueFd readEnd(ends[0]);
        UniqueFd writeEnd(ends[1]);
        const UniqueFd directoryFd(::open(directory.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
        if (directoryFd.get() < 0) return;
        const char* path = directory.c_str();
        const char* entry = name.c_str();
        const size_t entryLength = name.size();
        const long limit = ::sysconf(_SC_OPEN_MAX);
        const long openMax = limit > 0 ? std::min(limit, 65536L) : 1024L;
        const pid_t pid = ::fork();
        if (pid < 0) return;
        if (pid == 0) {
            ::setsid();
            const int keepRead = readEnd.get();
            const int keepDirectory = directoryFd.get();
            for (int fd = 0; fd < openMax; ++fd) {
                if (fd != keepRead && fd != keepDirectory) ::close(fd);
            }
            char byte;
            while (::read(keepRead, &byte, 1) < 0 && errno == EINTR) {
            }
            ::unlinkat(keepDirectory, entry, 0);
            const int scan = prefixed ? ::dup(keepDirectory) : -1;
            if (DIR* entries = scan >= 0 ? ::fdopendir(scan) : nullptr) {
                while (const dirent* found = ::readdir(entries)) {
                    if (std::strncmp(found->d_name, entry, entryLength) == 0) {
                        ::unlinkat(keepDirectory, found->d_name, 0);
                    }
                }
                ::closedir(entries);
            }
            struct stat named {};
            struct stat held {};
            if (::stat(path, &named) == 0 && ::fstat(keepDirectory, &held) == 0 &&
                named.st_dev == held.st_dev && named.st_ino == held.st_ino) {
                ::rmdir(path);
            }
            ::_exit(0);
        }
        pid_ = pid;
        pipe_ = std::move(writeEnd);
    }

    // Lets the watcher go (once the files are removed) and reaps it.
    void Stop() {
        if (pid_ <= 0) return;
        pipe_.Reset();
        while (::waitpid(pid_, nullptr, 0) < 0 && errno == EINTR) {
        }
        pid_ = -1;
    }

  private:
    pid_t pid_ = -1;
    UniqueFd pipe_;
};

// A ports directory of our own that names a device path as COM1 for the engine, which takes
// only port numbers. Removed when it goes out of scope, and by a watcher process when this one is
// killed outright (SIGKILL gives no chance to clean up). The entry must stay while the job runs:
// the link looks it up again for every reset and for the cancel sequence's own link, and without
// it COM1 would be /dev/ttyS0, another device.
class TemporaryPortsDirectory {
  public:
    TemporaryPortsDirectory() = default;
    ~TemporaryPortsDirectory() {
        RestoreEnvironment();
        RemoveFiles();
        watcher_.Stop();
    }
    TemporaryPortsDirectory(const TemporaryPortsDirectory&) = delete;
    TemporaryPortsDirectory& operator=(const TemporaryPortsDirectory&) = delete;

    // Creates the directory with an entry for `device` and points the link at it. Call it
    // before any thread starts: the watcher is a forked process.
    bool Create(const std::string& device, std::string& error) {
        const char* base = std::getenv("TMPDIR");
        std::string pattern =
            std::string(base != nullptr && base[0] == '/' ? base : "/tmp") + "/cordane-port-XXXXXX";
        if (::mkdtemp(pattern.data()) == nullptr) {
            error = "cannot create a temporary ports directory (" + pattern +
                    "): " + std::strerror(errno) + "; set TMPDIR to a writable directory";
            return false;
        }
        directory_ = pattern;
        entry_ = directory_ + "/" + korvel::ports::EntryName(1);
        watcher_.Start(directory_, korvel::ports::EntryName(1), false);
        if (::symlink(device.c_str(), entry_.c_str()) != 0) {
            error = "cannot create the port entry " + entry_ + ": " + std::strerror(errno);
            return false;
        }
        const char* previous = std::getenv("KORVEL_PORTS_DIR");
        if (previous != nullptr) previous_ = previous;
        ::setenv("KORVEL_PORTS_DIR", directory_.c_str(), 1);
        pointed_ = true;
        return true;
    }

    // Gives the link its ports directory back; only once no other thread may read it.
    void RestoreEnvironment() {
        if (!pointed_) return;
        if (previous_) {
            ::setenv("KORVEL_PORTS_DIR", previous_->c_str(), 1);
        } else {
            ::unsetenv("KORVEL_PORTS_DIR");
        }
        pointed_ = false;
    }

    // Removes the entry and the directory.
    void RemoveFiles() {
        if (!entry_.empty()) ::unlink(entry_.c_str());
        if (!directory_.empty()) ::rmdir(directory_.c_str());
        entry_.clear();
        directory_.clear();
    }

  private:
    std::string directory_;
    std::string entry_;
    std::optional<std::string> previous_;
    bool pointed_ = false;
    DirectoryWatcher watcher_;
};

}  // namespace cordane::tools

#endif
