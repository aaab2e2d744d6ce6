// Child processes on POSIX systems: fork and execve, with async-signal-safe calls only between
// the two, and a close-on-exec pipe that carries the reason back when the program cannot be run.
#include <fcntl.h>
#include <limits.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <array>
#include <cstring>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "descriptor.h"
#include "os.h"
#include "system_error.h"

extern char** environ;

namespace korvel::base::os {
namespace {

// Descriptors opened for a child, closed in this process once it has started (or not).
using Fds = std::array<Descriptor, 7>;

enum : size_t { kOutRead, kOutWrite, kErrRead, kErrWrite, kNull, kFailRead, kFailWrite };

int SignalOf(StopRequest request) {
    switch (request) {
        case StopRequest::Interrupt:
            return SIGINT;
        case StopRequest::Terminate:
            return SIGTERM;
        case StopRequest::Kill:
            return SIGKILL;
    }
    return SIGKILL;
}

// The write end of a stream's destination in the child, opened here: -1 to inherit.
Expected<int> OpenDestination(const Output& output, Fds& fds, size_t readEnd, size_t writeEnd) {
    switch (output.to) {
        case Output::To::Inherit:
            return -1;
        case Output::To::Null:
            return fds[kNull].get();
        case Output::To::Pipe: {
            int ends[2];
            if (::pipe2(ends, O_CLOEXEC) != 0) return LastSystemError();
            fds[readEnd].Reset(ends[0]);
            fds[writeEnd].Reset(ends[1]);
            // This process reads without waiting, beside other work.
            ::fcntl(ends[0], F_SETFL, ::fcntl(ends[0], F_GETFL) | O_NONBLOCK);
            return ends[1];
        }
        case Output::To::File: {
            const int fd = ::open(output.path.c_str(),
                                  O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC | O_NOCTTY, 0666);
            if (fd < 0) {
                Error error = LastSystemError();
                error.message = "cannot write " + output.path + ": " + error.message;
                return error;
            }
            fds[writeEnd].Reset(fd);
            return fd;
        }
    }
    return -1;
}

std::vector<std::string> Environment(const SpawnOptions& options) {
    std::vector<std::string> entries;
    if (!options.environmentOnly) {
        for (char** entry = environ; entry != nullptr && *entry != nullptr; ++entry) {
            const std::string_view text(*entry);
            const std::string_view name = text.substr(0, text.find('='));
            bool replaced = false;
            for (const auto& [added, value] : options.environment) replaced |= added == name;
            if (!replaced) entries.emplace_back(text);
        }
    }
    for (const auto& [name, value] : options.environment) entries.push_back(name + "=" + value);
    return entries;
}

// In the child: makes `fd` its descriptor `target`, kept across exec.
void Place(int fd, int target) {
    if (fd < 0) return;
    if (fd == target) {
        ::fcntl(fd, F_SETFD, 0);  // already there: only the close-on-exec flag goes
    } else {
        ::dup2(fd, target);
    }
}

// In the child, on a failure before the program runs: tells the parent why, and ends.
[[noreturn]] void FailInChild(int failWrite) {
    const int error = errno;
    ssize_t ignored = ::write(failWrite, &error, sizeof error);
    (void)ignored;
    ::_exit(127);
}

}  // namespace

Expected<Spawned> Spawn(const SpawnOptions& options) {
    Fds fds;
    if (options.nullInput || options.output.to == Output::To::Null ||
        options.errors.to == Output::To::Null) {
        fds[kNull].Reset(::open("/dev/null", O_RDWR | O_CLOEXEC));
        if (fds[kNull].get() < 0) return LastSystemError();
    }
    KORVEL_ASSIGN_OR_RETURN(const int out,
                            OpenDestination(options.output, fds, kOutRead, kOutWrite));
    KORVEL_ASSIGN_OR_RETURN(const int err,
                            OpenDestination(options.errors, fds, kErrRead, kErrWrite));
    const int in = options.nullInput ? fds[kNull].get() : -1;
    int failure[2];
    if (::pipe2(failure, O_CLOEXEC) != 0) return LastSystemError();
    fds[kFailRead].Reset(failure[0]);
    fds[kFailWrite].Reset(failure[1]);

    // Everything the child needs is made before the fork: after it, only async-signal-safe calls.
    std::vector<std::string> arguments = options.arguments;
    std::vector<char*> argv;
    for (std::string& argument : arguments) argv.push_back(argument.data());
    argv.push_back(nullptr);
    std::vector<std::string> environment = Environment(options);
    std::vector<char*> envp;
    for (std::string& entry : environment) envp.push_back(entry.data());
    envp.push_back(nullptr);
    const char* program = options.program.c_str();
    const char* directory = options.directory.empty() ? nullptr : options.directory.c_str();
    const int failWrite = fds[kFailWrite].get();
    const pid_t parent = ::getpid();

    const pid_t pid = ::fork();
    if (pid < 0) return LastSystemError();
    if (pid == 0) {
        // What this process changed for itself goes back to the defaults: no signal blocked (the
        // interrupts are taken through a blocked set), SIGPIPE acting again.
        sigset_t none;
        sigemptyset(&none);
        ::sigprocmask(SIG_SETMASK, &none, nullptr);
        ::signal(SIGPIPE, SIG_DFL);
        if (options.ownGroup) ::setpgid(0, 0);
        if (options.endWithParent) {
            ::prctl(PR_SET_PDEATHSIG, SIGTERM);
            // The parent ended before the request was in place: as if it had come.
            if (::getppid() != parent) ::kill(::getpid(), SIGTERM);
        }
        Place(in, STDIN_FILENO);
        Place(out, STDOUT_FILENO);
        Place(err, STDERR_FILENO);
        if (directory != nullptr && ::chdir(directory) != 0) FailInChild(failWrite);
        ::execve(program, argv.data(), envp.data());
        FailInChild(failWrite);
    }
    if (options.ownGroup) ::setpgid(pid, pid);  // as the child does: whichever runs first

    // The child's ends go; the failure pipe then ends at the exec (nothing read) or carries errno.
    for (size_t i : {kFailWrite, kOutWrite, kErrWrite, kNull}) fds[i].Reset();
    int error = 0;
    ssize_t got;
    do {
        got = ::read(fds[kFailRead].get(), &error, sizeof error);
    } while (got < 0 && errno == EINTR);
    if (got == static_cast<ssize_t>(sizeof error)) {
        int status = 0;
        while (::waitpid(pid, &status, 0) < 0 && errno == EINTR) {
        }
        return SystemError(error);
    }
    Spawned spawned;
    spawned.process = pid;
    spawned.id = pid;
    spawned.output = fds[kOutRead].get() >= 0 ? fds[kOutRead].Release() : kNoHandle;
    spawned.errors = fds[kErrRead].get() >= 0 ? fds[kErrRead].Release() : kNoHandle;
    return spawned;
}

Expected<std::optional<ExitStatus>> Reap(Handle process, bool wait) {
    if (process <= 0) return SystemError(ECHILD);  // never "any child" (-1) or a group (0)
    int status = 0;
    pid_t done;
    do {
        done = ::waitpid(static_cast<pid_t>(process), &status, wait ? 0 : WNOHANG);
    } while (done < 0 && errno == EINTR);
    if (done < 0) return LastSystemError();
    if (done == 0) return std::optional<ExitStatus>();
    if (WIFSIGNALED(status)) return std::optional(ExitStatus::EndedBy(WTERMSIG(status)));
    return std::optional(ExitStatus::Exited(WEXITSTATUS(status)));
}

Expected<void> Stop(Handle process, StopRequest request) {
    if (process <= 0) return SystemError(ESRCH);  // never every process (-1) or a group (0)
    // A child that has ended but is not yet waited for still takes the signal, harmlessly.
    if (::kill(static_cast<pid_t>(process), SignalOf(request)) != 0) return LastSystemError();
    return {};
}

Expected<std::string> HostName() {
    char name[256] = {};
    if (::gethostname(name, sizeof name - 1) != 0) return LastSystemError();
    return std::string(name);
}

Expected<std::string> CurrentProgram() {
    char self[PATH_MAX];
    const ssize_t length = ::readlink("/proc/self/exe", self, sizeof self - 1);
    if (length <= 0) return LastSystemError();
    return std::string(self, static_cast<size_t>(length));
}

Error RunInstead(const std::string& program, const std::vector<std::string>& arguments) {
    std::vector<std::string> copies = arguments;
    std::vector<char*> argv;
    for (std::string& argument : copies) argv.push_back(argument.data());
    argv.push_back(nullptr);
    ::execv(program.c_str(), argv.data());
    return LastSystemError();
}

std::string SignalName(int signal) {
    const char* name = ::strsignal(signal);
    return name != nullptr ? name : "signal " + std::to_string(signal);
}

}  // namespace korvel::base::os
