// Child processes: started with their arguments, standard streams and environment, stopped, and
// waited for, with an exit code told apart from the signal that ended one.
#ifndef KORVEL_BASE_PROCESS_H
#define KORVEL_BASE_PROCESS_H

#include <chrono>
#include <cstdint>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "base/error.h"
#include "base/file.h"

namespace korvel::base {

// Where a child's standard output or error goes.
struct Output {
    enum class To : uint8_t {
        Inherit,  // where this process's goes
        Null,     // nowhere
        Pipe,     // to this process, which reads it from Child::output() or Child::errors()
        File,     // into the file `path`, created or truncated (0666 less the umask)
    };
    To to = To::Inherit;
    std::string path{};

    static Output Inherit() { return {}; }
    static Output Null() { return {To::Null, {}}; }
    static Output Pipe() { return {To::Pipe, {}}; }
    static Output IntoFile(std::string path) { return {To::File, std::move(path)}; }
};

struct SpawnOptions {
    std::string program{};                 // the program's path (not looked up in PATH)
    std::vector<std::string> arguments{};  // its argument list, its own name first
    // Variables added to its environment, replacing any of the same name.
    std::vector<std::pair<std::string, std::string>> environment{};
    bool environmentOnly = false;  // only `environment`, none of this process's
    std::string directory{};       // where it starts; empty: where this process is
    bool nullInput = false;        // standard input from the null device, not this process's
    Output output{};
    Output errors{};
    // A process group of its own: a Ctrl-C at the terminal reaches it only as this process
    // passes it on.
    bool ownGroup = false;
    // Asked to stop (SIGTERM) when this process ends, however it ends, even by SIGKILL. On Linux
    // the request comes when the thread that started it ends: start it from the main thread.
    bool endWithParent = false;
};

// How a child ended: with an exit code, or ended by a signal (never both).
struct ExitStatus {
    bool signalled = false;
    int code = 0;    // the exit code, when not signalled
    int signal = 0;  // the signal's number, when signalled

    static ExitStatus Exited(int code) { return {false, code, 0}; }
    static ExitStatus EndedBy(int signal) { return {true, 0, signal}; }

    bool Succeeded() const { return !signalled && code == 0; }
    // As a shell reports it: the exit code, or 128 + the signal's number.
    int ShellCode() const { return signalled ? 128 + signal : code; }
    // "exit code 3", "ended by signal 9 (Killed)".
    std::string Describe() const;

    bool operator==(const ExitStatus&) const = default;
};

// How to ask a child to stop.
enum class StopRequest : uint8_t {
    Interrupt,  // as Ctrl-C would (SIGINT)
    Terminate,  // politely: it may clean up first (SIGTERM)
    Kill,       // at once, without a chance to clean up (SIGKILL)
};

class Child {
  public:
    // Starts the child. Refused (naming the program) when it cannot be run at all: missing, not
    // executable, or no process left.
    static Expected<Child> Spawn(const SpawnOptions& options);

    Child(Child&& other) noexcept;
    Child& operator=(Child&& other) noexcept;
    Child(const Child&) = delete;
    Child& operator=(const Child&) = delete;
    // A child still running is killed and waited for: none outlives its owner by accident.
    ~Child();

    // Its process number, for messages.
    int64_t Id() const noexcept { return id_; }
    // The read ends of Output::Pipe streams (closed otherwise). Reads never wait: nothing there
    // yet is Cause::WouldBlock; wait for them with WaitForAny.
    File& output() noexcept { return output_; }
    File& errors() noexcept { return errors_; }

    Expected<void> Stop(StopRequest request);
    // How it ended, once it has; nothing while it runs. Never waits.
    Expected<std::optional<ExitStatus>> Poll();
    // Waits for its end; with `patience`, at most that long (nothing when it still runs).
    Expected<ExitStatus> Wait();
    Expected<std::optional<ExitStatus>> Wait(std::chrono::milliseconds patience);

  private:
    Child() = default;
    void Discard() noexcept;

    std::intptr_t process_ = -1;
    int64_t id_ = 0;
    std::string program_;
    File output_;
    File errors_;
    std::optional<ExitStatus> status_;
};

// What RunToEnd saw.
struct Finished {
    ExitStatus status;
    std::string output;  // what it wrote to a piped standard output
    std::string errors;  // and to a piped standard error
};

// Runs a child to its end, collecting what it writes to the streams set to Output::Pipe. A child
// still running after `patience` is killed, and that is an error naming the program.
Expected<Finished> RunToEnd(const SpawnOptions& options, std::chrono::milliseconds patience);

// The path of the running program, as the system knows it.
Expected<std::string> CurrentProgram();

// This machine's name on the network ("station-07"); "unknown" when it has none.
std::string HostName();

// Runs `program` in place of this process with `arguments` (its own name first). Returns only
// when it could not be run, with that error.
Error RunInstead(const std::string& program, const std::vector<std::string>& arguments);

}  // namespace korvel::base

#endif
