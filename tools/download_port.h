// The port of a download: --port resolved to what the link opens, why it cannot be used, and the
// temporary ports directory through which a device path reaches the engine.
#ifndef CORDANE_TOOLS_DOWNLOAD_PORT_H
#define CORDANE_TOOLS_DOWNLOAD_PORT_H

#include <fcntl.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <optional>
#include <string>

#include "ports.h"
#include "tool_support.h"

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
        StopWatcher();
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
        StartWatcher();
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
    // The watcher holds the read end of a pipe whose write end only this process holds. The
    // kernel closes that end however this process ends; the read then returns and the watcher
    // removes what is left. It runs in a session of its own, so that a kill of the terminal's
    // process group does not take it along, and does nothing but wait: async-signal-safe calls
    // only, as after any fork. Without a watcher (fork refused) the clean-up on exit remains.
    void StartWatcher() {
        int ends[2];
        if (::pipe2(ends, O_CLOEXEC) != 0) return;
        UniqueFd readEnd(ends[0]);
        UniqueFd writeEnd(ends[1]);
        const UniqueFd directoryFd(::open(directory_.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
        if (directoryFd.get() < 0) return;
        const std::string entryName = korvel::ports::EntryName(1);
        const char* directory = directory_.c_str();
        const char* entry = entryName.c_str();
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
            // The name, only while it still names this directory.
            struct stat named {};
            struct stat held {};
            if (::stat(directory, &named) == 0 && ::fstat(keepDirectory, &held) == 0 &&
                named.st_dev == held.st_dev && named.st_ino == held.st_ino) {
                ::rmdir(directory);
            }
            ::_exit(0);
        }
        watcher_ = pid;
        watcherPipe_ = std::move(writeEnd);
    }

    // Lets the watcher go once the files are removed, and reaps it.
    void StopWatcher() {
        if (watcher_ <= 0) return;
        watcherPipe_.Reset();
        while (::waitpid(watcher_, nullptr, 0) < 0 && errno == EINTR) {
        }
        watcher_ = -1;
    }

    std::string directory_;
    std::string entry_;
    std::optional<std::string> previous_;
    bool pointed_ = false;
    pid_t watcher_ = -1;
    UniqueFd watcherPipe_;
};

}  // namespace cordane::tools

#endif
