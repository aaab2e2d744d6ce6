#include "base/process.h"

#include <utility>

#include "base/wait.h"
#include "os.h"

namespace korvel::base {
namespace {

using Clock = std::chrono::steady_clock;

}  // namespace

std::string ExitStatus::Describe() const {
    if (!signalled) return "exit code " + std::to_string(code);
    return "ended by signal " + std::to_string(signal) + " (" + os::SignalName(signal) + ")";
}

Expected<Child> Child::Spawn(const SpawnOptions& options) {
    if (options.program.empty() || options.arguments.empty()) {
        return Fail("no program given to run", "give the program and its arguments");
    }
    Expected<os::Spawned> spawned = os::Spawn(options);
    if (!spawned) {
        const Cause cause = spawned.error().cause;
        return os::Explained(spawned.error(), "cannot run " + options.program,
                             cause == Cause::NotFound || cause == Cause::Denied
                                 ? "check that the program is installed and may be run"
                                 : "close other programs, then try again");
    }
    Child child;
    child.process_ = spawned->process;
    child.id_ = spawned->id;
    child.program_ = options.program;
    if (spawned->output != os::kNoHandle) {
        child.output_ = File::Adopt(spawned->output, "the output of " + options.program);
    }
    if (spawned->errors != os::kNoHandle) {
        child.errors_ = File::Adopt(spawned->errors, "the errors of " + options.program);
    }
    return child;
}

Child::Child(Child&& other) noexcept
    : process_(std::exchange(other.process_, os::kNoHandle)),
      id_(other.id_),
      program_(std::move(other.program_)),
      output_(std::move(other.output_)),
      errors_(std::move(other.errors_)),
      status_(other.status_) {}

Child& Child::operator=(Child&& other) noexcept {
    if (this != &other) {
        Discard();
        process_ = std::exchange(other.process_, os::kNoHandle);
        id_ = other.id_;
        program_ = std::move(other.program_);
        output_ = std::move(other.output_);
        errors_ = std::move(other.errors_);
        status_ = other.status_;
    }
    return *this;
}

Child::~Child() {
    Discard();
}

void Child::Discard() noexcept {
    if (process_ == os::kNoHandle) return;
    (void)os::Stop(process_, StopRequest::Kill);
    (void)os::Reap(process_, true);
    process_ = os::kNoHandle;
}

Expected<void> Child::Stop(StopRequest request) {
    if (process_ == os::kNoHandle) return {};  // already ended and waited for
    Expected<void> stopped = os::Stop(process_, request);
    if (!stopped) {
        return os::Explained(stopped.error(),
                             "cannot stop " + program_ + " (process " + std::to_string(id_) + ")");
    }
    return {};
}

Expected<std::optional<ExitStatus>> Child::Poll() {
    if (status_) return status_;
    if (process_ == os::kNoHandle) return Fail("no child process to wait for");
    Expected<std::optional<ExitStatus>> status = os::Reap(process_, false);
    if (!status) {
        return os::Explained(status.error(), "cannot learn how " + program_ + " ended");
    }
    if (*status) {
        status_ = *status;
        process_ = os::kNoHandle;
    }
    return status;
}

Expected<ExitStatus> Child::Wait() {
    if (status_) return *status_;
    if (process_ == os::kNoHandle) return Fail("no child process to wait for");
    Expected<std::optional<ExitStatus>> status = os::Reap(process_, true);
    if (!status) {
        return os::Explained(status.error(), "cannot learn how " + program_ + " ended");
    }
    status_ = **status;
    process_ = os::kNoHandle;
    return *status_;
}

Expected<std::optional<ExitStatus>> Child::Wait(std::chrono::milliseconds patience) {
    // Short naps, longer as the wait goes on: a child that ends at once is seen at once.
    const Clock::time_point deadline = Clock::now() + patience;
    auto nap = std::chrono::milliseconds(1);
    for (;;) {
        KORVEL_ASSIGN_OR_RETURN(const std::optional<ExitStatus> status, Poll());
        if (status) return status;
        const Clock::time_point now = Clock::now();
        if (now >= deadline) return std::optional<ExitStatus>();
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - now);
        KORVEL_TRY(WaitForAny({}, std::min(nap, left + std::chrono::milliseconds(1))));
        nap = std::min(nap * 2, std::chrono::milliseconds(50));
    }
}

Expected<Finished> RunToEnd(const SpawnOptions& options, std::chrono::milliseconds patience) {
    KORVEL_ASSIGN_OR_RETURN(Child child, Child::Spawn(options));
    Finished finished;
    const Clock::time_point deadline = Clock::now() + patience;
    // Both streams are read as they come, so that neither fills its pipe and holds the child.
    File* streams[] = {&child.output(), &child.errors()};
    std::string* texts[] = {&finished.output, &finished.errors};
    uint8_t buffer[4096];
    while (child.output().IsOpen() || child.errors().IsOpen()) {
        const Clock::time_point now = Clock::now();
        if (now >= deadline) break;
        const Waitable items[] = {child.output(), child.errors()};
        KORVEL_ASSIGN_OR_RETURN(
            const std::vector<bool> ready,
            WaitForAny(items,
                       std::chrono::duration_cast<std::chrono::milliseconds>(deadline - now) +
                           std::chrono::milliseconds(1)));
        for (size_t i = 0; i < 2; ++i) {
            if (!ready[i]) continue;
            Expected<size_t> got = streams[i]->Read(buffer);
            if (!got && got.error().cause == Cause::WouldBlock) continue;
            if (!got || *got == 0) {
                (void)streams[i]->Close();
                continue;
            }
            texts[i]->append(reinterpret_cast<const char*>(buffer), *got);
        }
    }
    const auto left =
        std::max(std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now()),
                 std::chrono::milliseconds(0));
    KORVEL_ASSIGN_OR_RETURN(const std::optional<ExitStatus> status, child.Wait(left));
    if (!status) {
        (void)child.Stop(StopRequest::Kill);
        (void)child.Wait();
        return Fail(options.program + " did not end within " + std::to_string(patience.count()) +
                        " ms, and was killed",
                    "look at what it was waiting for");
    }
    finished.status = *status;
    return finished;
}

Expected<std::string> CurrentProgram() {
    Expected<std::string> program = os::CurrentProgram();
    if (!program) {
        return os::Explained(program.error(), "cannot find this program's own file",
                             "install it again");
    }
    return program;
}

std::string HostName() {
    Expected<std::string> name = os::HostName();
    if (!name || name->empty()) return "unknown";
    return std::move(*name);
}

Error RunInstead(const std::string& program, const std::vector<std::string>& arguments) {
    return os::Explained(os::RunInstead(program, arguments), "cannot run " + program,
                         "install it again");
}

}  // namespace korvel::base
