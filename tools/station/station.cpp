#include "station/station.h"

#include <fcntl.h>
#include <limits.h>
#include <poll.h>
#include <signal.h>
#include <sys/ioctl.h>
#include <sys/prctl.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "cli/arguments.h"
#include "cli/unique_fd.h"
#include "cordane/exit_codes.h"
#include "download/files.h"
#include "download/log.h"
#include "download/output.h"
#include "download/port.h"
#include "download/signals.h"
#include "download/verdict.h"
#include "joblog/job_log.h"
#include "station/port_outcome.h"
#include "station/station_view.h"

namespace cordane::tools {

namespace {

constexpr int kIdleMilliseconds = 100;    // redraws of the live view, and looks at the children
constexpr size_t kLongestLine = 1 << 20;  // a job's line beyond this is cut
constexpr double kPipePatience = 2.0;     // seconds a job's output may stay open after it ended

// Whether the live block fits on the terminal: its rows are redrawn by moving the cursor up,
// which stops at the top of the screen.
bool BlockFits(size_t rows) {
    winsize size{};
    return ::ioctl(STDERR_FILENO, TIOCGWINSZ, &size) != 0 || size.ws_row == 0 ||
           rows + 2 <= size.ws_row;
}

// The options the jobs share: the command line without its ports and --json, which each job gets
// its own way.
std::vector<std::string> SharedArguments(int argc, char** argv) {
    std::vector<std::string> kept;
    bool positional = false;
    for (int i = 1; i < argc; ++i) {
        const std::string arg = argv[i];
        if (positional) {
            kept.push_back(arg);
            continue;
        }
        if (arg == "--") {
            positional = true;
            kept.push_back(arg);
        } else if (arg == "--port") {
            ++i;
        } else if (arg.rfind("--port=", 0) == 0 || arg == "--json") {
            // dropped
        } else {
            // An option's value is taken along as it is, whatever it looks like.
            bool takesValue = false;
            for (const char* name : {"--reader", "--type", "--driver", "--key-selector", "--key",
                                     "--check-app-number", "--previous", "--identity", "--log"}) {
                takesValue = takesValue || arg == name;
            }
            kept.push_back(arg);
            if (takesValue && i + 1 < argc) kept.push_back(argv[++i]);
        }
    }
    return kept;
}

// A job's output, line by line.
struct LineBuffer {
    UniqueFd fd;
    std::string pending;
    bool open = true;
};

struct Job {
    PortChoice port;
    pid_t pid = -1;
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

// The exit code of a job's process that `status` tells of. A signal this process sent to stop
// its jobs is the stop it asked for (`interrupts`: the stops asked so far); any other signal
// ended the job before it could finish or say how it ended.
void TakeStatus(Job& job, int status, int interrupts) {
    if (WIFEXITED(status)) {
        job.code = WEXITSTATUS(status);
        return;
    }
    if (!WIFSIGNALED(status)) {
        job.code = kExitBadInput;
        return;
    }
    job.killed = true;
    const int signal = WTERMSIG(status);
    if (interrupts > 1 && signal == SIGINT) {
        job.code = kExitInterrupted;
    } else if (interrupts > 0 && signal == SIGTERM) {
        job.code = kExitCancelled;
    } else {
        job.code = kExitJobKilled;
        job.signal = signal;
    }
}

// The job log's files of the line's jobs, fingerprinted once before they start: every job
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

// The row a job whose process was killed could not write, written for it.
void LogKilledJob(const std::string& target, const DownloadOptions& options,
                  const LoggedFiles& files, const Job& job, int reader,
                  std::optional<uint64_t> bytesSent) {
    korvel::joblog::JobRow row;
    row.startedUtc = korvel::joblog::UtcText(job.startedAt);
    row.host = korvel::joblog::HostName();
    row.port = job.port.throughPath ? job.port.device : job.port.text;
    row.readerType = reader;
    row.readerName = ReaderName(reader);
    row.readerDetected = options.globalFile && options.reader < 0 && reader >= 0;
    row.downloadType = options.type;
    row.application = files.application;
    row.driver = files.driver;
    row.tool = std::string("cordane ") + CORDANE_VERSION;
    korvel::joblog::EndRow(row, job.code, ResultText(job.code, job.signal), job.steadyStart);
    // It ended when its process was reaped, not when the line got round to its row.
    row.endedUtc = korvel::joblog::UtcText(job.endedAt);
    row.durationMs =
        std::chrono::duration_cast<std::chrono::milliseconds>(job.endedAt - job.startedAt).count();
    if (bytesSent) row.bytesSent = static_cast<int64_t>(*bytesSent);
    std::string error;
    if (!korvel::joblog::AppendJob(target, row, error)) {
        const std::string shown = korvel::joblog::ShownTarget(target);
        std::fprintf(stderr,
                     "cordane download: the job on %s was not logged to %s: %s. Its result "
                     "stands (exit code %d); make %s writable (or its server reachable), or give "
                     "another --log target\n",
                     job.port.text.c_str(), shown.c_str(), error.c_str(), job.code, shown.c_str());
    }
}

// This program, for the jobs: the same engine program, run again.
std::string SelfProgram() {
    char self[PATH_MAX];
    const ssize_t length = ::readlink("/proc/self/exe", self, sizeof self - 1);
    if (length <= 0) return std::string();
    return std::string(self, static_cast<size_t>(length));
}

// Starts one job: "cordane download --port PORT --json SHARED..." with its standard output and
// error on two pipes, its standard input on /dev/null, in a process group of its own (Ctrl-C
// reaches it through this process only, once) and ended by the kernel if this process dies.
bool StartJob(Job& job, const std::string& program, const std::vector<std::string>& shared,
              std::string& error) {
    int out[2];
    int err[2];
    if (::pipe2(out, O_CLOEXEC) != 0) {
        error = "cannot start the download on " + job.port.text +
                " (no pipe): " + std::strerror(errno) +
                "; close other programs or give fewer ports";
        return false;
    }
    UniqueFd outRead(out[0]);
    UniqueFd outWrite(out[1]);
    if (::pipe2(err, O_CLOEXEC) != 0) {
        error = "cannot start the download on " + job.port.text +
                " (no pipe): " + std::strerror(errno) +
                "; close other programs or give fewer ports";
        return false;
    }
    UniqueFd errRead(err[0]);
    UniqueFd errWrite(err[1]);
    const UniqueFd null(::open("/dev/null", O_RDONLY | O_CLOEXEC));

    std::vector<std::string> args{"cordane", "download", "--port", job.port.text, "--json"};
    args.insert(args.end(), shared.begin(), shared.end());
    std::vector<char*> argv;
    for (std::string& arg : args) argv.push_back(arg.data());
    argv.push_back(nullptr);
    const pid_t parent = ::getpid();

    const pid_t pid = ::fork();
    if (pid < 0) {
        error = "cannot start the download on " + job.port.text + ": " + std::strerror(errno) +
                "; close other programs or give fewer ports";
        return false;
    }
    if (pid == 0) {
        // Async-signal-safe calls only from here on.
        ::setpgid(0, 0);
        ::prctl(PR_SET_PDEATHSIG, SIGTERM);
        if (::getppid() != parent) ::_exit(kExitInterrupted);
        if (null.get() >= 0) ::dup2(null.get(), STDIN_FILENO);
        ::dup2(outWrite.get(), STDOUT_FILENO);
        ::dup2(errWrite.get(), STDERR_FILENO);
        sigset_t none;
        sigemptyset(&none);
        ::sigprocmask(SIG_SETMASK, &none, nullptr);
        ::signal(SIGPIPE, SIG_DFL);
        ::execv(program.c_str(), argv.data());
        ::_exit(kExitBadInput);
    }
    ::setpgid(pid, pid);  // as the child does: whichever runs first
    job.pid = pid;
    ::fcntl(outRead.get(), F_SETFL, O_NONBLOCK);
    ::fcntl(errRead.get(), F_SETFL, O_NONBLOCK);
    job.out.fd = std::move(outRead);
    job.err.fd = std::move(errRead);
    job.started = NowSeconds();
    job.startedAt = std::chrono::system_clock::now();
    job.steadyStart = std::chrono::steady_clock::now();
    return true;
}

// Reads what is there; calls `line` for every whole line (and for the rest at the end).
template <typename OnLine>
void ReadLines(LineBuffer& buffer, OnLine line) {
    char chunk[16384];
    for (;;) {
        const ssize_t got = ::read(buffer.fd.get(), chunk, sizeof chunk);
        if (got < 0 && errno == EINTR) continue;
        if (got < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) return;
        if (got <= 0) {
            if (!buffer.pending.empty()) line(buffer.pending);
            buffer.pending.clear();
            buffer.open = false;
            buffer.fd.Reset();
            return;
        }
        buffer.pending.append(chunk, static_cast<size_t>(got));
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
        if (static_cast<size_t>(got) < sizeof chunk) return;
    }
}

int64_t OwnCpuMilliseconds() {
    rusage usage{};
    if (::getrusage(RUSAGE_SELF, &usage) != 0) return 0;
    auto ms = [](const timeval& t) {
        return static_cast<int64_t>(t.tv_sec) * 1000 + t.tv_usec / 1000;
    };
    return ms(usage.ru_utime) + ms(usage.ru_stime);
}

int Usage(const std::string& problem) {
    std::fprintf(stderr,
                 "cordane download: %s\nusage: cordane download --port PORT[,PORT...] --reader N "
                 "[options] APPFILE (\"cordane download --help\" tells more)\n",
                 problem.c_str());
    return kExitUsage;
}

}  // namespace

int RunLineDownload(int argc, char** argv, const DownloadOptions& options) {
    // Everything is checked before any job starts: the files once, every port, and no reader
    // reached twice under two names.
    if (const korvel::base::Expected<void> checked = CheckFiles(options); !checked) {
        return RefuseDownload(options.json,
                              ErrorLine(checked.error()) + "; nothing was sent to any reader",
                              checked.error().code);
    }
    std::vector<Job> jobs(options.ports.size());
    std::vector<dev_t> devices;  // the ports' devices, while each one could be looked at
    for (size_t i = 0; i < jobs.size(); ++i) {
        std::string problem;
        int code = kExitBadInput;
        if (!ChoosePort(options.ports[i], jobs[i].port, problem, code)) {
            return RefuseDownload(options.json, problem + "; no download was started on any port",
                                  code);
        }
        struct stat device {};
        if (::stat(jobs[i].port.device.c_str(), &device) == 0) devices.push_back(device.st_rdev);
        for (size_t k = 0; k < i; ++k) {
            // Two names, one device: a port entry may lead to another one, or to a tty path.
            if (jobs[k].port.device == jobs[i].port.device ||
                (devices.size() == i + 1 && devices[k] == devices[i])) {
                return Usage("ports " + jobs[k].port.text + " and " + jobs[i].port.text +
                             " are the same reader (" + jobs[i].port.device +
                             "): give each reader once");
            }
        }
    }
    const std::string program = SelfProgram();
    if (program.empty()) {
        return RefuseDownload(
            options.json,
            std::string("cannot find this program (/proc/self/exe) to run the downloads: ") +
                std::strerror(errno) + "; install cordane again",
            kExitBadInput);
    }
    const std::vector<std::string> shared = SharedArguments(argc, argv);
    const std::string logTarget = JobLogTarget(options);
    const LoggedFiles loggedFiles = logTarget.empty() ? LoggedFiles{} : DescribeFiles(options);
    // The same for every port, unless each job extracts its own part of a global file.
    const uint64_t imageBytes = options.globalFile ? 0 : ImageBytes(options);

    std::vector<LinePort> ports;
    for (const Job& job : jobs) ports.push_back({job.port.text, options.reader, imageBytes});
    Sink err = [](std::string_view text) { WriteAll(STDERR_FILENO, text); };
    Sink out = [](std::string_view text) { WriteAll(STDOUT_FILENO, text); };
    const char* term = std::getenv("TERM");
    std::unique_ptr<LineView> view;
    if (options.json) {
        view = MakeJsonLineView(ports, out, err);
    } else if (::isatty(STDERR_FILENO) && !(term != nullptr && std::strcmp(term, "dumb") == 0) &&
               BlockFits(jobs.size())) {
        view = MakeLiveLineView(ports, err, TerminalColumns);
    } else {
        view = MakePlainLineView(ports, err);
    }

    // From here on a signal is only noted, and passed on to the jobs.
    SignalCatcher signals;
    size_t started = 0;
    std::string problem;
    for (; started < jobs.size(); ++started) {
        if (!StartJob(jobs[started], program, shared, problem)) break;
    }
    int interrupts = 0;
    auto stopAll = [&](int signal) {
        for (size_t i = 0; i < started; ++i) {
            if (!jobs[i].reaped) ::kill(jobs[i].pid, signal);
        }
    };
    if (started < jobs.size()) {
        // The jobs already running stop as on Ctrl-C: each resets its reader.
        std::fprintf(stderr, "cordane download: %s; stopping the downloads already started\n",
                     problem.c_str());
        stopAll(SIGTERM);
        interrupts = 1;
        for (size_t i = started; i < jobs.size(); ++i) {
            jobs[i].code = kExitBadInput;
            jobs[i].reaped = NowSeconds();
            jobs[i].finished = true;
            jobs[i].startedAt = jobs[i].endedAt = std::chrono::system_clock::now();
        }
    }

    size_t left = started;
    while (left > 0) {
        std::vector<pollfd> fds;
        std::vector<LineBuffer*> buffers;
        std::vector<size_t> owners;
        for (size_t i = 0; i < started; ++i) {
            for (LineBuffer* buffer : {&jobs[i].out, &jobs[i].err}) {
                if (!buffer->open) continue;
                fds.push_back({buffer->fd.get(), POLLIN, 0});
                buffers.push_back(buffer);
                owners.push_back(i);
            }
        }
        if (signals.fd() >= 0) fds.push_back({signals.fd(), POLLIN, 0});
        ::poll(fds.data(), fds.size(), kIdleMilliseconds);
        double now = NowSeconds();
        for (size_t k = 0; k < buffers.size(); ++k) {
            if (fds[k].revents == 0) continue;
            const size_t i = owners[k];
            if (buffers[k] == &jobs[i].out) {
                ReadLines(*buffers[k], [&](std::string_view line) { view->Line(i, line, now); });
            } else {
                ReadLines(*buffers[k], [&](std::string_view line) {
                    // The job's own prefix says nothing here: the port does.
                    std::string text(line);
                    constexpr std::string_view kOwn = "cordane download: ";
                    if (text.rfind(kOwn, 0) == 0) text.erase(0, kOwn.size());
                    if (!text.empty()) view->Note(i, text, now);
                });
            }
        }
        if (signals.fd() >= 0 && signals.Take() > 0) {
            ++interrupts;
            // The first stops every job as a single download stops: after the current block,
            // with the reader reset. A second one makes every job quit at once.
            if (interrupts == 1) view->Stopping(now);
            stopAll(interrupts == 1 ? SIGTERM : SIGINT);
        }
        now = NowSeconds();
        for (size_t i = 0; i < started; ++i) {
            Job& job = jobs[i];
            if (job.finished) continue;
            if (!job.reaped) {
                int status = 0;
                const pid_t done = ::waitpid(job.pid, &status, WNOHANG);
                if (done == job.pid) {
                    job.reaped = now;
                    job.endedAt = std::chrono::system_clock::now();
                    TakeStatus(job, status, interrupts);
                }
            }
            if (!job.reaped) continue;
            // Whatever the job wrote last is shown before its end; a pipe some other process
            // still holds is not waited for long.
            if ((job.out.open || job.err.open) && now - *job.reaped < kPipePatience) continue;
            job.finished = true;
            --left;
            view->Finished(i, job.code, job.signal, now);
            if (job.killed && !logTarget.empty()) {
                LogKilledJob(logTarget, options, loggedFiles, job, view->Reader(i),
                             view->BytesSent(i));
            }
        }
        view->Tick(now);
    }

    std::vector<JobRecord> records;
    int exitCode = kExitOk;
    for (size_t i = 0; i < jobs.size(); ++i) {
        const Job& job = jobs[i];
        JobRecord record;
        record.port = job.port.text;
        record.reader = view->Reader(i);
        record.type = options.type;
        record.application = options.application;
        record.driver = options.driver;
        record.exitCode = job.code;
        record.signal = job.signal;
        record.result = ResultText(job.code, job.signal);
        record.bytesSent = i < started ? view->BytesSent(i) : std::nullopt;
        record.started = job.startedAt;
        record.ended = job.endedAt;
        record.seconds = job.reaped && i < started ? *job.reaped - job.started : 0;
        records.push_back(record);
        if (exitCode == kExitOk && job.code != kExitOk) exitCode = job.code;
    }
    view->End(records, exitCode, OwnCpuMilliseconds());
    if (!options.json) {
        std::string failed;
        size_t completed = 0;
        for (const Job& job : jobs) {
            if (job.code == kExitOk) {
                ++completed;
            } else {
                failed += (failed.empty() ? "" : ", ") + job.port.text + " (exit code " +
                          std::to_string(job.code) + ")";
            }
        }
        std::string text = "cordane download: " + std::to_string(completed) + " of " +
                           std::to_string(jobs.size()) + " downloads completed";
        if (!failed.empty()) {
            text += "; failed: " + failed + ". Exit code " + std::to_string(exitCode) +
                    ", that of the first port that failed";
        }
        WriteAll(STDERR_FILENO, text + "\n");
        for (size_t i = 0; i < jobs.size(); ++i) {
            if (jobs[i].code == kExitOk) continue;
            // Each job's reader type as it was given or detected, its download as it ran.
            DownloadOptions named = options;
            named.reader = view->Reader(i);
            WriteAll(STDERR_FILENO, Verdict(jobs[i].code, named, jobs[i].port, jobs[i].signal));
        }
    }
    return exitCode;
}

}  // namespace cordane::tools
