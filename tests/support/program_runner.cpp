#include "support/program_runner.h"

#ifndef _WIN32
#include <unistd.h>
#endif

#include <algorithm>
#include <cstdlib>
#include <filesystem>
#include <utility>

#include "base/file.h"
#include "base/wait.h"

#ifndef _WIN32
extern char** environ;
#endif

namespace korvel::testkit {
namespace {

using std::chrono::milliseconds;

// What is left until `deadline`, rounded up: a wait never ends just before it.
milliseconds Left(Clock::time_point deadline) {
    const auto left = deadline - Clock::now();
    if (left <= Clock::duration::zero()) return milliseconds(0);
    return std::chrono::ceil<milliseconds>(left);
}

base::SpawnOptions SpawnOptionsOf(const Command& command) {
    base::SpawnOptions options;
    options.program = command.program;
    options.arguments.push_back(command.program);
    options.arguments.insert(options.arguments.end(), command.arguments.begin(),
                             command.arguments.end());
    options.environmentOnly = command.environmentOnly;
    if (!command.unset.empty() && !command.environmentOnly) {
        // The test's own environment, less what is taken away, given whole.
        options.environmentOnly = true;
        for (char** entry = environ; entry != nullptr && *entry != nullptr; ++entry) {
            const std::string text = *entry;
            const size_t equals = text.find('=');
            const std::string name = text.substr(0, equals);
            if (equals == std::string::npos || command.environment.contains(name) ||
                std::find(command.unset.begin(), command.unset.end(), name) !=
                    command.unset.end()) {
                continue;
            }
            options.environment.emplace_back(name, text.substr(equals + 1));
        }
    }
    for (const auto& [name, value] : command.environment) {
        options.environment.emplace_back(name, value);
    }
    options.directory = command.directory;
    options.nullInput = true;
    options.output = command.output;
    options.errors = command.errors;
    return options;
}

// Reads what `file` has now onto `text`; closes it at its end or on a failure.
void Drain(base::File& file, std::string& text) {
    uint8_t buffer[4096];
    for (;;) {
        base::Expected<size_t> got = file.Read(buffer);
        if (!got && got.error().cause == base::Cause::WouldBlock) return;
        if (!got || *got == 0) {
            (void)file.Close();
            return;
        }
        text.append(reinterpret_cast<const char*>(buffer), *got);
    }
}

int CodeOf(const std::optional<base::ExitStatus>& status) {
    return status && !status->signalled ? status->code : -1;
}

}  // namespace

Outcome RunToEnd(const Command& command, Clock::duration patience) {
    Outcome outcome;
    const Clock::time_point deadline = Clock::now() + patience;
    base::Expected<base::Child> child = base::Child::Spawn(SpawnOptionsOf(command));
    if (!child) {
        outcome.failure = base::FormatError(child.error());
        return outcome;
    }
    // Both pipes are read as they come, so that neither fills and holds the program.
    base::File* streams[] = {&child->output(), &child->errors()};
    std::string* texts[] = {&outcome.out, &outcome.err};
    while ((streams[0]->IsOpen() || streams[1]->IsOpen()) && Clock::now() < deadline) {
        const base::Waitable items[] = {*streams[0], *streams[1]};
        const base::Expected<std::vector<bool>> ready = base::WaitForAny(items, Left(deadline));
        if (!ready) break;
        for (size_t i = 0; i < 2; ++i) {
            if ((*ready)[i]) Drain(*streams[i], *texts[i]);
        }
    }
    const base::Expected<std::optional<base::ExitStatus>> status = child->Wait(Left(deadline));
    if (status && *status) {
        outcome.status = **status;
        outcome.code = CodeOf(outcome.status);
        return outcome;
    }
    (void)child->Stop(StopRequest::Kill);
    (void)child->Wait();
    outcome.failure = status ? command.program + " did not end in time, and was killed"
                             : base::FormatError(status.error());
    return outcome;
}

std::string FindProgram(std::string_view name) {
    const char* path = std::getenv("PATH");
    std::string_view folders = path != nullptr ? path : "";
#ifdef _WIN32
    constexpr char kSeparator = ';';
#else
    constexpr char kSeparator = ':';
#endif
    while (!folders.empty()) {
        const size_t colon = std::min(folders.find(kSeparator), folders.size());
        const std::string folder(folders.substr(0, colon));
        folders.remove_prefix(std::min(colon + 1, folders.size()));
        if (folder.empty()) continue;
        const std::string candidate = folder + "/" + std::string(name);
#ifdef _WIN32
        std::error_code ignored;
        for (const std::string& file : {candidate + ".exe", candidate}) {
            if (std::filesystem::is_regular_file(file, ignored)) return file;
        }
#else
        if (::access(candidate.c_str(), X_OK) == 0) return candidate;
#endif
    }
    return "";
}

RunningProgram::RunningProgram(const Command& command) {
    base::Expected<base::Child> child = base::Child::Spawn(SpawnOptionsOf(command));
    if (child) {
        child_.emplace(std::move(*child));
    } else {
        failure_ = base::FormatError(child.error());
    }
}

std::optional<std::string> RunningProgram::ReadLine(Clock::duration patience) {
    const Clock::time_point deadline = Clock::now() + patience;
    for (;;) {
        const size_t end = pending_.find('\n');
        if (end != std::string::npos) {
            std::string line = pending_.substr(0, end);
            pending_.erase(0, end + 1);
            return line;
        }
        if (!child_ || !child_->output().IsOpen() || Clock::now() >= deadline) return std::nullopt;
        const base::Waitable items[] = {child_->output()};
        const base::Expected<std::vector<bool>> ready = base::WaitForAny(items, Left(deadline));
        if (!ready) return std::nullopt;
        if ((*ready)[0]) Drain(child_->output(), pending_);
    }
}

void RunningProgram::Stop(StopRequest request) {
    if (child_) (void)child_->Stop(request);
}

std::optional<base::ExitStatus> RunningProgram::WaitForEnd(Clock::duration patience) {
    if (!child_) return std::nullopt;
    const base::Expected<std::optional<base::ExitStatus>> status =
        child_->Wait(std::chrono::ceil<milliseconds>(patience));
    return status ? *status : std::nullopt;
}

int RunningProgram::Wait(Clock::duration patience) {
    return CodeOf(WaitForEnd(patience));
}

}  // namespace korvel::testkit
