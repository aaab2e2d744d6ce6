// cordane download: runs one download job through the engine and shows its progress, on a
// terminal as a live bar, in a log as plain lines, or for scripts as JSON lines. The pieces:
// download_files (the checks before the job), download_port (the port), download_client (the
// engine's client and the capture of its output), download_signals and download_verdict.
#include <fcntl.h>
#include <poll.h>
#include <sys/ioctl.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <optional>
#include <string>
#include <system_error>
#include <thread>
#include <vector>

#include "cli/arguments.h"
#include "cli/download_options.h"
#include "cli/unique_fd.h"
#include "commands.h"
#include "cordane/cordane.h"
#include "download/engine_client.h"
#include "download/files.h"
#include "download/global_file.h"
#include "download/log.h"
#include "download/output.h"
#include "download/port.h"
#include "download/signals.h"
#include "download/verdict.h"
#include "progress/progress.h"
#include "station/station.h"

namespace cordane::tools {

namespace {

constexpr int kIdleMilliseconds = 100;  // refresh of the bar and its estimate

// --help: the text around the options, which the option table describes.
constexpr char kHelpStart[] =
    "usage: cordane download --port PORT[,PORT...] --reader N [--type T] [--driver FILE]\n"
    "                        [--erase-data]"
    " [--ask] [--silent] [--json] [--yes|--no] [--log TARGET]\n"
    "                        [--key-selector N] [--key HEX16] [--identity X]\n"
    "                        [--check-app-number N --previous A,B] APPFILE\n"
    "       cordane download --port PORT [--reader N] [options] FILE.glo\n"
    "\n"
    "Downloads APPFILE (and, for the large readers, the driver library) into the flash of the\n"
    "reader on PORT.\n"
    "\n"
    "A Binary Global File (FILE.glo) holds parts for several large readers: without --reader the\n"
    "reader on PORT is detected first (its loader is given a small program that reads its\n"
    "identification bytes); its parts are then extracted into a temporary \"bin\" file, removed\n"
    "afterwards, and downloaded as a binary download (type 2) for that reader type. With\n"
    "--reader N the parts for N are extracted without detection. With --json the first event\n"
    "is {\"event\":\"detected\",\"reader_type\":N,\"name\":T,\"id_bytes\":T}. A detection that\n"
    "fails exits 3 when the reader did not open, else 4; a global file refused exits 1. The\n"
    "file's structure and every CRC are checked before any reader is reset or detected; the\n"
    "part for the reader type found is checked as the engine checks a file, before the reader\n"
    "is reset, and a refusal names the component.\n"
    "\n";

constexpr char kHelpChecks[] =
    "Checks and key of an enciphered image. These act only in download type 1 (--type 1) on the\n"
    "large readers (--reader 2 to 9); elsewhere they are ignored, with a note:\n";

constexpr char kHelpEnd[] =
    "\n"
    "On a terminal the progress is a bar with the bytes sent and the time left; otherwise plain\n"
    "lines. Ctrl-C stops the download after the current block and resets the reader (exit code\n"
    "6, in every phase of the download); a second Ctrl-C quits at once (exit code 130), as\n"
    "does Ctrl-C while the job log's row is written.\n"
    "\n"
    "--json: one JSON object per line, flushed at once; step and position carry \"bytes\" too\n"
    "when the image size is known:\n"
    "  {\"event\":\"message\",\"text\":T}                    a progress message\n"
    "  {\"event\":\"range\",\"lower\":L,\"upper\":U}           the range of the bar\n"
    "  {\"event\":\"step-size\",\"step\":S}                  the step of the bar\n"
    "  {\"event\":\"step\",\"position\":P,\"percent\":N}       the bar moved one step\n"
    "  {\"event\":\"position\",\"position\":P,\"percent\":N}   the bar was set\n"
    "  {\"event\":\"notice\",\"code\":C,\"text\":T}            3 started (\"1000\"), 0 succeeded,\n"
    "                                                  1 over (text null)\n"
    "  {\"event\":\"completion\",\"text\":T,\"code\":C}        \"Download completed\" 0, or\n"
    "                                                  \"Download Error\" 1\n"
    "  {\"event\":\"messagebox\",\"caption\":T,\"text\":T,     a message of the engine; "
    "\"answer\"\n"
    "   \"question\":false}                              \"yes\"/\"no\" for a question\n"
    "  {\"event\":\"output\",\"text\":T}                     what the engine wrote to its output\n"
    "  {\"event\":\"cancelling\"}                          Ctrl-C was pressed\n"
    "  {\"event\":\"error\",\"text\":T}                      refused before the download began\n"
    "  {\"event\":\"exit\",\"code\":N}                       the last line: the exit code\n"
    "\n"
    "Several ports: each port's download runs in a process of its own, so that a reader that\n"
    "fails or hangs never holds up the others. On a terminal one row per port shows its reader\n"
    "type, bar, bytes, speed and time left; otherwise plain lines, each starting with the port;\n"
    "with --json each port's events above, each with \"port\":P, and at the end\n"
    "  {\"event\":\"summary\",\"jobs\":[{\"port\":P,\"reader\":N,\"reader_name\":T,\"result\":T,\n"
    "   \"code\":C,\"seconds\":S,\"bytes\":B}...],\"code\":C,\"parent_cpu_ms\":M}\n"
    "(bytes null when the image size is unknown; parent_cpu_ms is this process's own CPU time).\n"
    "A port's process ended by a signal (killed, or crashed) gets {\"event\":\"exit\",\"port\":P,\n"
    "\"code\":125,\"signal\":N}, and \"signal\":N in the summary; its row in the job log is\n"
    "written by this process.\n"
    "A summary table ends the run. Every port is checked before anything starts: a port named\n"
    "twice is refused (exit code 2), one that cannot be opened too (exit code 1). Ctrl-C stops\n"
    "every download and resets every reader. The exit code is 0 when every reader succeeded,\n"
    "else that of the first port, in the order given, that failed.\n"
    "\n"
    "Exit codes: 0 success; 1 file error or refused port; 2 bad command line; 3 the download\n"
    "session could not be opened; 4 communication error; 5 no response from the reader;\n"
    "6 cancelled; 125 several ports: a port's own process was ended by a signal before it could\n"
    "finish (no fault of the reader); 130 quit at once by a second Ctrl-C; any other value is the\n"
    "error code of the reader's loader.\n";

std::string Help() {
    return kHelpStart + DownloadOptionsHelp(false) + "\n" + kHelpChecks +
           DownloadOptionsHelp(true) + kHelpEnd;
}

int Usage(const std::string& problem) {
    std::fprintf(stderr,
                 "cordane download: %s\nusage: cordane download --port PORT --reader N [options] "
                 "APPFILE (\"cordane download --help\" tells more)\n",
                 problem.c_str());
    return kExitUsage;
}

// The view the options ask for: JSON lines on `jsonFd`, else a live bar on a terminal, else
// plain lines, on standard error.
std::unique_ptr<ProgressView> MakeView(const DownloadOptions& options, int jsonFd,
                                       uint64_t imageBytes) {
    const int fd = options.json ? jsonFd : STDERR_FILENO;
    Sink sink = [fd](std::string_view text) { WriteAll(fd, text); };
    const char* term = std::getenv("TERM");
    if (options.json) return MakeJsonView(sink, imageBytes);
    if (::isatty(STDERR_FILENO) && !(term != nullptr && std::strcmp(term, "dumb") == 0)) {
        return MakeTerminalView(sink, imageBytes, TerminalColumns);
    }
    return MakePlainView(sink, imageBytes);
}

// Runs the job to its end, showing its events as they come and cancelling it on a signal. The
// job's exit code; nothing when it could not be started (said on standard error).
std::optional<int> WatchJob(const DownloadOptions& options, const JobSettings& settings,
                            const PortChoice& port, EventQueue& queue, ProgressView* view,
                            BarState& bar, SignalCatcher& signals,
                            TemporaryPortsDirectory& portsDirectory) {
    DownloadJob job(queue);
    job.SetPortCom(port.number, port.isVirtual);
    job.SetReaderType(static_cast<eReaderType>(options.reader));
    std::string application = options.application;  // the manager takes char*
    std::string driver = options.driver;
    job.SetApplicationName(application.data());
    job.SetDriverName(driver.data());

    MessageBoxAnswers answers{&queue, options.answerYes.value_or(false)};
    const MessageBoxScope boxes(&answers);
    StdoutCapture capture;
    const bool capturing = capture.Start();

    std::thread canceller;
    std::atomic<bool> cancellerDone{false};
    bool over = false;  // the job's last notice has been seen
    // The queue first: the engine's output comes after the events it follows, and before any
    // later one could have been queued (the next event waits for an answer from the reader).
    auto showAll = [&] {
        for (const Event& event : queue.Drain()) {
            const auto* notice = std::get_if<events::Notice>(&event);
            if (notice != nullptr && notice->code == KV_NOTICE_OVER) over = true;
            bar.Apply(event);
            view->Show(event, NowSeconds());
        }
        if (capturing) {
            std::string text = capture.Take();
            if (!text.empty()) {
                view->Show(events::Output{std::move(text)}, NowSeconds());
            }
        }
    };
    // A second Ctrl-C: the worker and the canceller still run and cannot be joined, so the
    // program cleans up what it made and leaves without running the destructors they might race.
    auto quitAtOnce = [&] {
        capture.Stop();
        view->Finish(kExitInterrupted);
        if (!options.json) {
            std::fputs(
                "cordane download: quit at once; the reader may still be in its loader: "
                "download again to leave it with a valid application\n",
                stderr);
        }
        portsDirectory.RemoveFiles();
        std::fflush(nullptr);
        ::_exit(kExitInterrupted);
    };

    job.outcomePending = true;
    const std::unique_ptr<CWinThread> thread(StartJob(job, settings));
    if (!thread) {
        capture.Stop();
        showAll();
        view->Finish(kExitBadInput);
        std::fputs("cordane download: the download could not be started\n", stderr);
        return std::nullopt;
    }

    int interrupts = 0;
    // After the last notice the worker only returns: wait for that instead of polling on.
    while (!thread->Wait(over ? 1000 : 0)) {
        std::vector<pollfd> fds{{queue.fd(), POLLIN, 0}};
        if (signals.fd() >= 0) fds.push_back({signals.fd(), POLLIN, 0});
        if (capturing) fds.push_back({capture.fd(), POLLIN, 0});
        ::poll(fds.data(), fds.size(), kIdleMilliseconds);
        showAll();
        view->Tick(NowSeconds());
        const int received = signals.fd() >= 0 ? signals.Take() : 0;
        if (received == 0) continue;
        interrupts += received;
        if (interrupts > 1) quitAtOnce();
        // The procedures stop at their next cancel query; the reset through a link of the
        // canceller's own makes sure the reader leaves its loader. It takes two seconds, so it
        // runs beside this loop, which keeps showing progress and hears a second Ctrl-C.
        job.cancelled = true;
        view->Show(events::Cancelling{}, NowSeconds());
        try {
            canceller = std::thread([&job, &cancellerDone] {
                try {
                    job.CancelDownload();
                } catch (...) {
                    // Nothing leaves this thread; the job ends at its next cancel query anyway.
                }
                cancellerDone = true;
            });
        } catch (const std::system_error&) {
            // No thread for the reset: the job still ends at its next cancel query.
        }
    }
    // The reader's reset finishes before the program leaves; a second Ctrl-C still quits.
    while (canceller.joinable() && !cancellerDone) {
        pollfd fd{signals.fd(), POLLIN, 0};
        ::poll(&fd, signals.fd() >= 0 ? 1 : 0, kIdleMilliseconds);
        if (signals.fd() >= 0 && signals.Take() > 0) quitAtOnce();
    }
    if (canceller.joinable()) canceller.join();

    uint32_t code = thread->ExitCode();
    capture.Stop();
    showAll();
    // Exit codes are one byte: a code the engine never gives must not read as success.
    if (code > 255) code = 255;
    // The cancel resets the reader through a link of its own, so an exchange under way fails
    // before the procedure's next cancel query: an open refused, a frame lost or unanswered. The
    // job stopped because it was asked to: cancelled, in every phase.
    if (job.cancelled &&
        (code == kExitOpenFailed || code == kExitCommunication || code == kExitNoResponse)) {
        code = kExitCancelled;
    }
    view->Finish(static_cast<int>(code));
    return static_cast<int>(code);
}

}  // namespace

int RunDownload(int argc, char** argv) {
    korvel::base::Expected<DownloadOptions> parsed = ParseDownloadOptions(argc, argv);
    if (!parsed) return Usage(parsed.error().message);
    DownloadOptions& options = *parsed;
    if (options.help) {
        std::fputs(Help().c_str(), stdout);
        return kExitOk;
    }
    if (options.ports.size() > 1) return RunLineDownload(argc, argv, options);

    WarnUnusedChecks(options);
    const JobSettings settings = SettingsOf(options);
    if (const korvel::base::Expected<void> checked = CheckFiles(options); !checked) {
        return RefuseDownload(options.json,
                              ErrorLine(checked.error()) + "; nothing was sent to the reader",
                              checked.error().code);
    }
    WarnAboutAppNumber(options, settings.keySelector);

    PortChoice port;
    std::string problem;
    int refusedCode = kExitBadInput;
    if (!ChoosePort(options.port, port, problem, refusedCode)) {
        return RefuseDownload(options.json, problem, refusedCode);
    }
    if (options.key.key) {
        if (const auto refused = RegisterEngineKey(settings.keySelector, *options.key.key)) {
            return RefuseDownload(options.json, *refused, kExitBadInput);
        }
    }

    // From here on a signal is only noted: every path below reaches the clean-up.
    SignalCatcher signals;
    TemporaryPortsDirectory portsDirectory;
    if (port.throughPath && !portsDirectory.Create(port.device, problem)) {
        return RefuseDownload(options.json, problem, kExitBadInput);
    }
    const UniqueFd jsonOut(options.json ? ::fcntl(STDOUT_FILENO, F_DUPFD_CLOEXEC, 3) : -1);
    // A global file: the reader detected, its part extracted to a file removed whatever happens.
    ExtractedGlobalFile extracted;
    DownloadOptions named = options;  // the verdict names the global file, not its extract
    if (options.globalFile) {
        if (const auto refused = PrepareGlobalFile(options, port, jsonOut.get(), extracted)) {
            return RefuseDownload(options.json, refused->message, refused->code);
        }
        if (signals.fd() >= 0 && signals.Take() > 0) {
            return RefuseDownload(options.json, "stopped before the download began",
                                  kExitCancelled);
        }
    }
    // After the global file's extraction: the bytes of the part for the detected reader.
    const uint64_t imageBytes = ImageBytes(options);
    const std::unique_ptr<ProgressView> view = MakeView(options, jsonOut.get(), imageBytes);
    EventQueue queue;
    if (!queue.ok()) {
        return RefuseDownload(
            options.json, std::string("cannot set up the progress queue: ") + std::strerror(errno),
            kExitBadInput);
    }

    BarState bar;
    // The job log's row, written at the job's end; a global file's row names the global file.
    DownloadOptions logged = options;
    logged.application = named.application;
    LoggedView loggedView(view.get(), logged, port, imageBytes,
                          options.globalFile && named.reader < 0, signals.fd());
    const std::optional<int> code =
        WatchJob(options, settings, port, queue, &loggedView, bar, signals, portsDirectory);
    // A signal while the row was written: the program was asked to quit at once. The signal is
    // taken, so that it does not end the program once signals act again.
    if (loggedView.Stopped()) signals.Take();
    if (!code) return loggedView.Stopped() ? kExitInterrupted : kExitBadInput;
    named.reader = options.reader;
    named.type = options.type;
    if (!options.json) std::fputs(Verdict(*code, named, port).c_str(), stderr);
    return loggedView.Stopped() ? kExitInterrupted : *code;
}

}  // namespace cordane::tools
