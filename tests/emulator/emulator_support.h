// Shared pieces of the end-to-end tests: scratch directories, korvel-sim as a child process, a
// program with its output in files, a program run to its end, and S-record files written from
// bytes.
#ifndef EMULATOR_SUPPORT_H
#define EMULATOR_SUPPORT_H

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <stdint.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <map>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "test_files.h"

extern char** environ;

namespace emulatortest {

using Clock = std::chrono::steady_clock;

// Failure guard only: a healthy emulator answers in well under a millisecond.
inline constexpr auto kPatience = std::chrono::seconds(10);

inline const std::string kSimulator = std::string(KORVEL_BINARY_DIR) + "/bin/korvel-sim";

inline int MillisecondsLeft(Clock::time_point deadline) {
    const auto left =
        std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now());
    return left.count() < 0 ? 0 : static_cast<int>(left.count());
}

using testfiles::Lines;
using testfiles::ReadText;
using testfiles::TempDir;

// A running korvel-sim whose standard output we read; killed and reaped if the test leaves early.
class Simulator {
  public:
    explicit Simulator(std::vector<std::string> args) {
        int out[2];
        if (pipe2(out, O_CLOEXEC) != 0) return;
        posix_spawn_file_actions_t actions;
        posix_spawn_file_actions_init(&actions);
        posix_spawn_file_actions_adddup2(&actions, out[1], STDOUT_FILENO);
        args.insert(args.begin(), kSimulator);
        std::vector<char*> argv;
        for (std::string& arg : args) argv.push_back(arg.data());
        argv.push_back(nullptr);
        if (posix_spawn(&pid_, kSimulator.c_str(), &actions, nullptr, argv.data(), environ) != 0) {
            pid_ = -1;
        }
        posix_spawn_file_actions_destroy(&actions);
        close(out[1]);
        stdout_ = out[0];
    }
    ~Simulator() {
        if (pid_ > 0) {
            kill(pid_, SIGKILL);
            waitpid(pid_, nullptr, 0);
        }
        if (stdout_ >= 0) close(stdout_);
    }

    // The next line of output, or nothing when none comes.
    std::optional<std::string> ReadLine() {
        const Clock::time_point deadline = Clock::now() + kPatience;
        std::string line;
        while (Clock::now() < deadline) {
            pollfd p{stdout_, POLLIN, 0};
            if (poll(&p, 1, MillisecondsLeft(deadline)) <= 0) break;
            char c;
            if (read(stdout_, &c, 1) != 1) break;
            if (c == '\n') return line;
            line += c;
        }
        return std::nullopt;
    }

    // Waits for the exit; the exit code, or -1 on a signal or no exit.
    int Wait() {
        const Clock::time_point deadline = Clock::now() + kPatience;
        int status = 0;
        while (Clock::now() < deadline) {
            const pid_t done = waitpid(pid_, &status, WNOHANG);
            if (done == pid_) {
                pid_ = -1;
                return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
            }
            usleep(10000);
        }
        return -1;
    }

    void Signal(int signal) { kill(pid_, signal); }
    bool Started() const { return pid_ > 0; }

  private:
    pid_t pid_ = -1;
    int stdout_ = -1;
};

// A program started with extra environment variables (they replace any of the same name), its
// output going to two files. Killed and reaped if the test leaves early.
class Process {
  public:
    Process(const std::string& program, std::vector<std::string> args,
            const std::map<std::string, std::string>& env, const std::string& out,
            const std::string& err) {
        posix_spawn_file_actions_t actions;
        posix_spawn_file_actions_init(&actions);
        posix_spawn_file_actions_addopen(&actions, STDOUT_FILENO, out.c_str(),
                                         O_WRONLY | O_CREAT | O_TRUNC, 0644);
        posix_spawn_file_actions_addopen(&actions, STDERR_FILENO, err.c_str(),
                                         O_WRONLY | O_CREAT | O_TRUNC, 0644);
        std::vector<std::string> environment;
        for (char** e = environ; *e != nullptr; ++e) {
            const std::string entry = *e;
            if (!env.contains(entry.substr(0, entry.find('=')))) environment.push_back(entry);
        }
        for (const auto& [name, value] : env) environment.push_back(name + "=" + value);
        args.insert(args.begin(), program);
        std::vector<char*> argv;
        for (std::string& arg : args) argv.push_back(arg.data());
        argv.push_back(nullptr);
        std::vector<char*> envp;
        for (std::string& entry : environment) envp.push_back(entry.data());
        envp.push_back(nullptr);
        if (posix_spawn(&pid_, program.c_str(), &actions, nullptr, argv.data(), envp.data()) != 0) {
            pid_ = -1;
        }
        posix_spawn_file_actions_destroy(&actions);
    }
    ~Process() {
        if (pid_ > 0) {
            kill(pid_, SIGKILL);
            waitpid(pid_, nullptr, 0);
        }
    }
    Process(const Process&) = delete;
    Process& operator=(const Process&) = delete;

    bool Started() const { return pid_ > 0; }
    void Signal(int signal) {
        if (pid_ > 0) kill(pid_, signal);
    }

    // The exit code; -1 for a signal or no exit within `patience`.
    int Wait(Clock::duration patience) {
        const Clock::time_point deadline = Clock::now() + patience;
        while (pid_ > 0 && Clock::now() < deadline) {
            int status = 0;
            if (waitpid(pid_, &status, WNOHANG) == pid_) {
                pid_ = -1;
                return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
            }
            usleep(10000);
        }
        return -1;
    }

  private:
    pid_t pid_ = -1;
};

struct Ready {
    std::string entry;
    std::string device;
};

inline std::optional<Ready> ReadReady(Simulator& sim) {
    const std::optional<std::string> line = sim.ReadLine();
    if (!line || line->rfind("ready ", 0) != 0) return std::nullopt;
    const size_t space = line->find(' ', 6);
    if (space == std::string::npos) return std::nullopt;
    return Ready{line->substr(6, space - 6), line->substr(space + 1)};
}

// The bytes of a file (empty when it cannot be read).
inline std::vector<uint8_t> ReadAll(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    return std::vector<uint8_t>(std::istreambuf_iterator<char>(in), {});
}

using Bytes = std::vector<uint8_t>;

// Bytes that change from one address to the next and are never 0xFF.
inline Bytes Pattern(size_t length, uint8_t seed) {
    Bytes bytes(length);
    for (size_t i = 0; i < length; ++i) bytes[i] = static_cast<uint8_t>((i * 7 + seed) % 0xFF);
    return bytes;
}

// S2 records of 32 data bytes for each stretch (address -> bytes), in address order, after a
// header record and before an end record, one a line.
inline std::string Srecords(const std::map<uint32_t, Bytes>& stretches) {
    std::string text = "S00600004844521B\n";
    char field[16];
    for (const auto& [address, bytes] : stretches) {
        for (size_t at = 0; at < bytes.size(); at += 32) {
            const size_t n = std::min<size_t>(32, bytes.size() - at);
            const uint32_t where = address + static_cast<uint32_t>(at);
            unsigned sum = static_cast<unsigned>(n + 4) + (where >> 16) + ((where >> 8) & 0xFF) +
                           (where & 0xFF);
            std::snprintf(field, sizeof field, "S2%02zX%06X", n + 4, where);
            text += field;
            for (size_t i = 0; i < n; ++i) {
                std::snprintf(field, sizeof field, "%02X", bytes[at + i]);
                text += field;
                sum += bytes[at + i];
            }
            std::snprintf(field, sizeof field, "%02X\n", ~sum & 0xFFu);
            text += field;
        }
    }
    return text + "S804000000FB\n";
}

// Runs `program` with `args` (in `cwd` when given) and only the environment `env`, without a
// display, and waits for its end; its exit code (-1 when it did not end within `patience` and
// was killed, or ended on a signal) and what it wrote on stderr.
inline std::pair<int, std::string> RunToEnd(const std::string& program,
                                            std::vector<std::string> args,
                                            std::vector<std::string> env,
                                            const std::string& cwd = "",
                                            Clock::duration patience = kPatience) {
    int err[2];
    if (pipe(err) != 0) return {-1, ""};
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_adddup2(&actions, err[1], STDERR_FILENO);
    posix_spawn_file_actions_addclose(&actions, err[0]);
    if (!cwd.empty()) posix_spawn_file_actions_addchdir_np(&actions, cwd.c_str());
    args.insert(args.begin(), program);
    std::vector<char*> argv;
    for (std::string& arg : args) argv.push_back(arg.data());
    argv.push_back(nullptr);
    std::vector<char*> envp;
    for (std::string& entry : env) envp.push_back(entry.data());
    envp.push_back(nullptr);
    pid_t pid = -1;
    const int spawned =
        posix_spawn(&pid, program.c_str(), &actions, nullptr, argv.data(), envp.data());
    posix_spawn_file_actions_destroy(&actions);
    close(err[1]);
    std::string output;
    int code = -1;
    if (spawned == 0) {
        const Clock::time_point deadline = Clock::now() + patience;
        char buffer[512];
        for (;;) {
            pollfd p{err[0], POLLIN, 0};
            if (poll(&p, 1, MillisecondsLeft(deadline)) <= 0) break;
            const ssize_t n = read(err[0], buffer, sizeof buffer);
            if (n <= 0) break;
            output.append(buffer, static_cast<size_t>(n));
        }
        int status = 0;
        while (Clock::now() < deadline && waitpid(pid, &status, WNOHANG) == 0) usleep(10000);
        if (waitpid(pid, &status, WNOHANG) == 0 && kill(pid, 0) == 0) {
            kill(pid, SIGKILL);
            waitpid(pid, &status, 0);
        } else if (WIFEXITED(status)) {
            code = WEXITSTATUS(status);
        }
    }
    close(err[0]);
    return {code, output};
}

}  // namespace emulatortest

#endif
