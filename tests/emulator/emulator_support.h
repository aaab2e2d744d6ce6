// Shared pieces of the end-to-end tests: scratch directories and korvel-sim as a child process.
#ifndef EMULATOR_SUPPORT_H
#define EMULATOR_SUPPORT_H

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <optional>
#include <string>
#include <vector>

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

// A scratch directory removed with everything in it.
struct TempDir {
    TempDir() {
        std::string pattern =
            (std::filesystem::temp_directory_path() / "korvel-sim-test-XXXXXX").string();
        path = mkdtemp(pattern.data()) ? pattern : std::string();
    }
    ~TempDir() {
        std::error_code ignored;
        if (!path.empty()) std::filesystem::remove_all(path, ignored);
    }
    std::string path;
};

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

}  // namespace emulatortest

#endif
