#include "station/station.h"

#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "base/file.h"
#include "base/interrupts.h"
#include "base/process.h"
#include "base/terminal.h"
#include "base/wait.h"
#include "cli/arguments.h"
#include "cli/console.h"
#include "cordane/exit_codes.h"
#include "download/files.h"
#include "download/log.h"
#include "download/port.h"
#include "download/verdict.h"
#include "joblog/job_log.h"
#include "station/station_view.h"

namespace cordane::tools {

namespace {

using korvel::base::Expected;
using korvel::base::File;
using korvel::base::StandardStream;
using korvel::base::StopRequest;

constexpr std::chrono::milliseconds kIdle{100};  // redraws of the live view, and looks at the
                                                 // children
constexpr size_t kLongestLine = 1 << 20;         // a child's line beyond this is cut
constexpr double kPipePatience = 2.0;  // seconds a child's output may stay open after it ended

// Whether the live block fits on the terminal: its rows are redrawn by moving the cursor up,
// which stops at the top of the screen.
bool BlockFits(size_t rows) {
    const std::optional<korvel::base::TerminalSize> size =
        korvel::base::TerminalSizeOf(StandardStream::Errors);
    return !size || size->rows == 0 || rows + 2 <= static_cast<size_t>(size->rows);
}

// A child's output, read line by line.
struct LineBuffer {
    std::string pending;
    bool open = true;
};

// One port's download: a child process of this one.
struct PortChild {
    PortChoice port;
    std::optional<korvel::base::Child> process;
    LineBuffer out;  // its JSON events
    LineBuffer err;  // its messages
    double started = 0;
    std::optional<double> reaped;
    std::chrono::system_clock::time_point startedAt;
    std::chrono::system_clock::time_point endedAt;
    std::chrono::steady_clock::time_point steadyStart;
    int code = 0;
    int signal = 0;         // the signal that ended its process when this one did not send it
    bool killed = false;    // ended by a signal: it could write no row of its own
    bool finished = false;  // reaped, its output read, shown as over
};

// The exit code of a child that ended as `status` tells. A signal this process sent to stop its
// children is the stop it asked for (`stops`: the stops asked so far); any other signal ended the
// child before it could finish or say how it ended.
void TakeStatus(PortChild& child, const korvel::base::ExitStatus& status, int stops) {
    if (!status.signalled) {
        child.code = status.code;
        return;
    }
    child.killed = true;
    if (stops > 1 && status.signal == SIGINT) {
        child.code = kExitInterrupted;
    } else if (stops > 0 && status.signal == SIGTERM) {
        child.code = kExitCancelled;
    } else {
        child.code = kExitJobKilled;
        child.signal = status.signal;
    }
}

// The job log's files of the station's jobs, fingerprinted once before they start: every job
// downloads the same ones. A global file is logged by its own name, as its jobs log it.
struct LoggedFiles {
    korvel::joblog::FileRecord application;
    korvel::joblog::FileRecord driver;
};

LoggedFiles DescribeFiles(const DownloadOptions& options) {
    LoggedFiles files;
    if (options.type != static_cast<int>(KV_DOWNLOAD_ERASE_CODE)) {
        files.application = korvel::joblog::DescribeFile(options.application);
    }
    files.driver = korvel::joblog::DescribeFile(options.driver);
    return files;
}

// The row a child whose process was killed could not write, written for it.
void LogKilledJob(const std::string& target, const DownloadOptions& options,
                  const LoggedFiles& files, const PortChild& child, int reader,
                  std::optional<uint64_t> bytesSent) {
    korvel::joblog::JobRow row;
    row.startedUtc = korvel::joblog::UtcText(child.startedAt);
    row.host = korvel::joblog::HostName();
    row.port = child.port.throughPath ? child.port.device : child.port.text;
    row.readerType = reader;
    row.readerName = ReaderNameOf(reader);
    row.readerDetected = options.globalFile && options.reader < 0 && reader >= 0;
    row.downloadType = options.type;
    row.application = files.application;
    row.driver = files.driver;
    row.tool = std::string("cordane ") + CORDANE_VERSION;
    korvel::joblog::EndRow(row, child.code, ResultText(child.code, child.signal),
                           child.steadyStart);
    // It ended when its process was reaped, not when the station got round to its row.
    row.endedUtc = korvel::joblog::UtcText(child.endedAt);
    row.durationMs =
        std::chrono::duration_cast<std::chrono::milliseconds>(child.endedAt - child.startedAt)
            .count();
    if (bytesSent) row.bytesSent = static_cast<int64_t>(*bytesSent);
    const Expected<void> written = korvel::joblog::AppendJob(target, row);
    if (!written) {
        const std::string& error = written.error().message;
        const std::string shown = korvel::joblog::ShownTarget(target);
        std::fprintf(stderr,
                     "cordane download: the job on %s was not logged to %s: %s. Its result "
                     "stands (exit code %d); make %s writable (or its server reachable), or give "
                     "another --log target\n",
                     child.port.text.c_str(), shown.c_str(), error.c_str(), child.code,
                     shown.c_str());
    }
}

// Starts one port's download: "cordane download --port PORT --json SHARED..." in `program` (this
// one), its standard output and error piped to this process, its standard input the null device,
// in a process group of its own (Ctrl-C reaches it through this process only, once) and asked to
// stop when this process ends, however it ends.
Expected<void> StartChild(PortChild& child, const std::string& program,
                          const std::vector<std::string>& shared) {
    korvel::base::SpawnOptions spawn;
    spawn.program = program;
    spawn.arguments = {"cordane", "download", "--port", child.port.text, "--json"};
    spawn.arguments.insert(spawn.arguments.end(), shared.begin(), shared.end());
    spawn.nullInput = true;
    spawn.output = korvel::base::Output::Pipe();
    spawn.errors = korvel::base::Output::Pipe();
    spawn.ownGroup = true;
    spawn.endWithParent = true;
    Expected<korvel::base::Child> process = korvel::base::Child::Spawn(spawn);
    if (!process) {
        const korvel::base::Error& error = process.error();
        return korvel::base::Fail("cannot start the download on " + child.port.text + ": " +
                                      (error.detail.empty() ? error.message : error.detail),
                                  "close other programs or give fewer ports");
    }
    child.process.emplace(std::move(*process));
    child.started = NowSeconds();
    child.startedAt = std::chrono::system_clock::now();
    child.steadyStart = std::chrono::steady_clock::now();
    return {};
}

// Reads what is there in `file`; calls `line` for every whole line (and for the rest at the end).
template <typename OnLine>
void ReadLines(File& file, LineBuffer& buffer, OnLine line) {
    uint8_t chunk[16384];
    for (;;) {
        const Expected<size_t> got = file.Read(chunk);
        if (!got && got.error().cause == korvel::base::Cause::WouldBlock) return;
        if (!got || *got == 0) {
            if (!buffer.pending.empty()) line(buffer.pending);
            buffer.pending.clear();
            buffer.open = false;
            (void)file.Close();
            return;
        }
        buffer.pending.append(reinterpret_cast<const char*>(chunk), *got);
        size_t start = 0;
        for (size_t end; (end = buffer.pending.find('\n', start)) != std::string::npos;
             start = end + 1) {
            line(std::string_view(buffer.pending).substr(start, end - start));
        }
        buffer.pending.erase(0, start);
        if (buffer.pending.size() > kLongestLine) {
            line(buffer.pending);
            buffer.pending.clear();
        }
        if (*got < sizeof chunk) return;
    }
}

// This process's own CPU time, its threads' and the system's for it.
int64_t OwnCpuMilliseconds() {
    const std::clock_t used = std::clock();
    return used == static_cast<std::clock_t>(-1)
               ? 0
               : static_cast<int64_t>(used) * 1000 / static_cast<int64_t>(CLOCKS_PER_SEC);
}

int Usage(std::string_view problem) {
    return ReportUsage("download", problem, "--port PORT[,PORT...] --reader N [options] APPFILE");
}

void WriteErrors(std::string_view text) {
    (void)korvel::base::WriteStandard(StandardStream::Errors, text);
}

}  // namespace

int RunStation(int argc, char** argv, const DownloadOptions& options) {
    // Everything is checked before any child starts: the files once, every port, and no reader
    // reached twice under two names.
    const Expected<CheckedFiles> checked = CheckFiles(options);
    if (!checked) {
        return RefuseDownload(options.json,
                              ErrorLine(checked.error()) + "; nothing was sent to any reader",
                              checked.error().code);
    }
    std::vector<PortChild> children(options.ports.size());
    for (size_t i = 0; i < children.size(); ++i) {
        Expected<PortChoice> port = ChoosePort(options.ports[i]);
        if (!port) {
            return RefuseDownload(options.json,
                                  ErrorLine(port.error()) + "; no download was started on any port",
                                  port.error().code);
        }
        children[i].port = std::move(*port);
        for (size_t k = 0; k < i; ++k) {
            if (SameDevice(children[k].port, children[i].port)) {
                return Usage("ports " + children[k].port.text + " and " + children[i].port.text +
                             " are the same reader (" + children[i].port.device +
                             "): give each reader once");
            }
        }
    }
    const Expected<std::string> program = korvel::base::CurrentProgram();
    if (!program) {
        const korvel::base::Error& error = program.error();
        return RefuseDownload(options.json,
                              "cannot find this program to run the downloads: " +
                                  (error.detail.empty() ? error.message : error.detail) +
                                  "; install cordane again",
                              kExitBadInput);
    }
    const std::vector<std::string> shared = PortDownloadArguments(argc, argv);
    const std::string logTarget = JobLogTarget(options);
    const LoggedFiles loggedFiles = logTarget.empty() ? LoggedFiles{} : DescribeFiles(options);
    // The same for every port, unless each child extracts its own part of a global file.
    const uint64_t imageBytes = checked->imageBytes;

    std::vector<StationPort> ports;
    for (const PortChild& child : children) {
        ports.push_back({child.port.text, options.reader, imageBytes});
    }
    Sink errors = WriteErrors;
    Sink out = [](std::string_view text) {
        (void)korvel::base::WriteStandard(StandardStream::Output, text);
    };
    std::unique_ptr<StationView> view;
    if (options.json) {
        view = MakeJsonStationView(ports, out, errors);
    } else if (CanDrawLive(StandardStream::Errors) && BlockFits(children.size())) {
        view = MakeLiveStationView(ports, errors, [] {
            return korvel::base::TerminalColumns(StandardStream::Errors, 80);
        });
    } else {
        view = MakePlainStationView(ports, errors);
    }

    // From here on an interrupt is only noted, and passed on to the children.
    Expected<korvel::base::Interrupts> caught = korvel::base::Interrupts::Catch();
    korvel::base::Interrupts* interrupts = caught ? &*caught : nullptr;
    const korvel::base::BrokenPipesIgnored brokenPipes;
    size_t started = 0;
    Expected<void> startedAll;
    for (; started < children.size(); ++started) {
        startedAll = StartChild(children[started], *program, shared);
        if (!startedAll) break;
    }
    int stops = 0;
    auto stopAll = [&](StopRequest request) {
        for (size_t i = 0; i < started; ++i) {
            if (!children[i].reaped) (void)children[i].process->Stop(request);
        }
    };
    if (!startedAll) {
        // The children already running stop as on Ctrl-C: each resets its reader.
        std::fprintf(stderr, "cordane download: %s; stopping the downloads already started\n",
                     ErrorLine(startedAll.error()).c_str());
        stopAll(StopRequest::Terminate);
        stops = 1;
        for (size_t i = started; i < children.size(); ++i) {
            children[i].code = kExitBadInput;
            children[i].reaped = NowSeconds();
            children[i].finished = true;
            children[i].startedAt = children[i].endedAt = std::chrono::system_clock::now();
        }
    }

    size_t left = started;
    while (left > 0) {
        std::vector<korvel::base::Waitable> items;
        std::vector<std::pair<size_t, bool>> owners;  // per item: the child, and whether it is
                                                      // its output (else its errors)
        for (size_t i = 0; i < started; ++i) {
            if (children[i].out.open) {
                items.emplace_back(children[i].process->output());
                owners.emplace_back(i, true);
            }
            if (children[i].err.open) {
                items.emplace_back(children[i].process->errors());
                owners.emplace_back(i, false);
            }
        }
        if (interrupts != nullptr) items.emplace_back(*interrupts);
        const Expected<std::vector<bool>> ready = korvel::base::WaitForAny(items, kIdle);
        double now = NowSeconds();
        for (size_t k = 0; ready && k < owners.size(); ++k) {
            if (!(*ready)[k]) continue;
            const auto [i, output] = owners[k];
            PortChild& child = children[i];
            if (output) {
                ReadLines(child.process->output(), child.out,
                          [&](std::string_view line) { view->Line(i, line, now); });
            } else {
                ReadLines(child.process->errors(), child.err, [&](std::string_view line) {
                    // The child's own prefix says nothing here: the port does.
                    std::string text(line);
                    constexpr std::string_view kOwn = "cordane download: ";
                    if (text.rfind(kOwn, 0) == 0) text.erase(0, kOwn.size());
                    if (!text.empty()) view->Note(i, text, now);
                });
            }
        }
        if (interrupts != nullptr && interrupts->Take() > 0) {
            ++stops;
            // The first stops every child as a single download stops: after the current block,
            // with the reader reset. A second one makes every child quit at once.
            if (stops == 1) view->Stopping(now);
            stopAll(stops == 1 ? StopRequest::Terminate : StopRequest::Interrupt);
        }
        now = NowSeconds();
        for (size_t i = 0; i < started; ++i) {
            PortChild& child = children[i];
            if (child.finished) continue;
            if (!child.reaped) {
                const Expected<std::optional<korvel::base::ExitStatus>> status =
                    child.process->Poll();
                if (!status || *status) {
                    child.reaped = now;
                    child.endedAt = std::chrono::system_clock::now();
                    if (status) {
                        TakeStatus(child, **status, stops);
                    } else {
                        child.code = kExitBadInput;  // lost: no status to be had
                    }
                }
            }
            if (!child.reaped) continue;
            // Whatever the child wrote last is shown before its end; a pipe some other process
            // still holds is not waited for long.
            if ((child.out.open || child.err.open) && now - *child.reaped < kPipePatience) {
                continue;
            }
            child.finished = true;
            --left;
            view->Finished(i, child.code, child.signal, now);
            if (child.killed && !logTarget.empty()) {
                LogKilledJob(logTarget, options, loggedFiles, child, view->Reader(i),
                             view->BytesSent(i));
            }
        }
        view->Tick(now);
    }

    std::vector<PortOutcome> outcomes;
    int exitCode = kExitOk;
    for (size_t i = 0; i < children.size(); ++i) {
        const PortChild& child = children[i];
        PortOutcome outcome;
        outcome.port = child.port.text;
        outcome.reader = view->Reader(i);
        outcome.type = options.type;
        outcome.application = options.application;
        outcome.driver = options.driver;
        outcome.exitCode = child.code;
        outcome.signal = child.signal;
        outcome.result = ResultText(child.code, child.signal);
        outcome.bytesSent = i < started ? view->BytesSent(i) : std::nullopt;
        outcome.started = child.startedAt;
        outcome.ended = child.endedAt;
        outcome.seconds = child.reaped && i < started ? *child.reaped - child.started : 0;
        outcomes.push_back(outcome);
        if (exitCode == kExitOk && child.code != kExitOk) exitCode = child.code;
    }
    view->End(outcomes, exitCode, OwnCpuMilliseconds());
    if (!options.json) {
        std::string failed;
        size_t completed = 0;
        for (const PortChild& child : children) {
            if (child.code == kExitOk) {
                ++completed;
            } else {
                failed += (failed.empty() ? "" : ", ") + child.port.text + " (exit code " +
                          std::to_string(child.code) + ")";
            }
        }
        std::string text = "cordane download: " + std::to_string(completed) + " of " +
                           std::to_string(children.size()) + " downloads completed";
        if (!failed.empty()) {
            text += "; failed: " + failed + ". Exit code " + std::to_string(exitCode) +
                    ", that of the first port that failed";
        }
        WriteErrors(text + "\n");
        for (size_t i = 0; i < children.size(); ++i) {
            if (children[i].code == kExitOk) continue;
            // Each child's reader type as it was given or detected, its download as it ran.
            DownloadOptions named = options;
            named.reader = view->Reader(i);
            WriteErrors(Verdict(children[i].code, named, children[i].port, children[i].signal));
        }
    }
    return exitCode;
}

}  // namespace cordane::tools
