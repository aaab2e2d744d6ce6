#include "download/job.h"

#include <atomic>
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

#include "base/file.h"
#include "base/interrupts.h"
#include "base/terminal.h"
#include "base/wait.h"
#include "cli/arguments.h"
#include "cli/console.h"
#include "cordane/cordane.h"
#include "cordane/exit_codes.h"
#include "download/engine_client.h"
#include "download/files.h"
#include "download/global_file.h"
#include "download/log.h"
#include "download/port.h"
#include "download/verdict.h"
#include "progress/views.h"
#include "stdout_capture.h"

namespace cordane::tools {

namespace {

using korvel::base::Interrupts;
using korvel::base::StandardStream;
using korvel::base::Waitable;

constexpr std::chrono::milliseconds kIdle{100};  // refresh of the bar and its estimate

// The view the options ask for: JSON lines on `json`, else a live bar on a terminal, else plain
// lines, on standard error. Writing stops quietly where the reader has gone (a closed pipe): the
// download goes on regardless.
std::unique_ptr<ProgressView> MakeView(const DownloadOptions& options, korvel::base::File& json,
                                       uint64_t imageBytes) {
    if (options.json) {
        return MakeJsonView([&json](std::string_view text) { (void)json.WriteAll(text); },
                            imageBytes);
    }
    Sink errors = [](std::string_view text) {
        (void)korvel::base::WriteStandard(StandardStream::Errors, text);
    };
    // A live bar where the terminal on standard error redraws lines.
    if (CanDrawLive(StandardStream::Errors)) {
        return MakeTerminalView(errors, imageBytes, [] {
            return korvel::base::TerminalColumns(StandardStream::Errors, 80);
        });
    }
    return MakePlainView(errors, imageBytes);
}

// Waits at most kIdle for one of `items`.
void WaitAWhile(const std::vector<Waitable>& items) {
    (void)korvel::base::WaitForAny(items, kIdle);
}

// Runs the job to its end, showing its events as they come and cancelling it on an interrupt.
// The job's exit code; nothing when it could not be started (said on standard error).
std::optional<int> WatchJob(const DownloadOptions& options, const JobSettings& settings,
                            const PortChoice& port, EventQueue& queue, ProgressView* view,
                            Interrupts* interrupts, TemporaryPortsFolder& portsFolder) {
    EngineClient client(queue);
    client.SetPortCom(port.number, port.isVirtual);
    client.SetReaderType(static_cast<eReaderType>(options.reader));
    std::string application = options.application;  // the manager takes char*
    std::string driver = options.driver;
    client.SetApplicationName(application.data());
    client.SetDriverName(driver.data());

    MessageBoxAnswers answers{&queue, options.answerYes.value_or(false)};
    const MessageBoxScope boxes(&answers);
    StdoutCapture capture;
    const bool capturing = capture.Start();
    std::vector<Waitable> watched{queue.wakeup()};
    std::vector<Waitable> stops;
    if (interrupts != nullptr) {
        watched.emplace_back(*interrupts);
        stops.emplace_back(*interrupts);
    }
    if (capturing) watched.emplace_back(capture.pipe());
    auto interrupted = [interrupts] { return interrupts != nullptr ? interrupts->Take() : 0; };

    std::thread canceller;
    std::atomic<bool> cancellerDone{false};
    bool over = false;  // the job's last notice has been seen
    // The queue first: the engine's output comes after the events it follows, and before any
    // later one could have been queued (the next event waits for an answer from the reader).
    auto showAll = [&] {
        for (const Event& event : queue.Drain()) {
            const auto* notice = std::get_if<events::Notice>(&event);
            if (notice != nullptr && notice->code == KV_NOTICE_OVER) over = true;
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
        portsFolder.Remove();
        std::fflush(nullptr);
        std::_Exit(kExitInterrupted);
    };

    client.outcomePending = true;
    const std::unique_ptr<CWinThread> thread(StartDownload(client, settings));
    if (!thread) {
        capture.Stop();
        showAll();
        view->Finish(kExitBadInput);
        std::fputs("cordane download: the download could not be started\n", stderr);
        return std::nullopt;
    }

    int received = 0;
    // After the last notice the worker only returns: wait for that instead of looking on.
    while (!thread->Wait(over ? 1000 : 0)) {
        WaitAWhile(watched);
        showAll();
        view->Tick(NowSeconds());
        const int now = interrupted();
        if (now == 0) continue;
        received += now;
        if (received > 1) quitAtOnce();
        // The procedures stop at their next cancel query; the reset through a link of the
        // canceller's own makes sure the reader leaves its loader. It takes two seconds, so it
        // runs beside this loop, which keeps showing progress and hears a second Ctrl-C.
        client.cancelled = true;
        view->Show(events::Cancelling{}, NowSeconds());
        try {
            canceller = std::thread([&client, &cancellerDone] {
                try {
                    client.CancelDownload();
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
        WaitAWhile(stops);
        if (interrupted() > 0) quitAtOnce();
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
    if (client.cancelled &&
        (code == kExitOpenFailed || code == kExitCommunication || code == kExitNoResponse)) {
        code = kExitCancelled;
    }
    view->Finish(static_cast<int>(code));
    return static_cast<int>(code);
}

// A refusal before the job starts, in the download's own words.
int Refuse(const DownloadOptions& options, const korvel::base::Error& error) {
    return RefuseDownload(options.json, ErrorLine(error), error.code);
}

}  // namespace

int RunJob(const DownloadOptions& given) {
    DownloadOptions options = given;
    WarnUnusedChecks(options);
    const JobSettings settings = JobSettingsOf(options);
    korvel::base::Expected<CheckedFiles> checked = CheckFiles(options);
    if (!checked) {
        return RefuseDownload(options.json,
                              ErrorLine(checked.error()) + "; nothing was sent to the reader",
                              checked.error().code);
    }
    WarnAboutAppNumber(options, settings.keySelector);

    const korvel::base::Expected<PortChoice> chosen = ChoosePort(options.port);
    if (!chosen) return Refuse(options, chosen.error());
    const PortChoice& port = *chosen;
    if (options.key.key) {
        if (auto registered = RegisterEngineKey(settings.keySelector, *options.key.key);
            !registered) {
            return Refuse(options, registered.error());
        }
    }

    // From here on an interrupt is only noted: every path below reaches the clean-up. Where the
    // interrupts cannot be taken over, they act as they usually do. A reader of --json that goes
    // away must not end the program before it cleans up.
    korvel::base::Expected<Interrupts> caught = Interrupts::Catch();
    Interrupts* interrupts = caught ? &*caught : nullptr;
    const korvel::base::BrokenPipesIgnored brokenPipes;
    TemporaryPortsFolder portsFolder;
    if (port.throughPath) {
        if (auto created = portsFolder.Create(port.device); !created) {
            return Refuse(options, created.error());
        }
    }
    korvel::base::File jsonOut;
    if (options.json) {
        // Standard output is the engine's while the job runs (StdoutCapture): the events go to
        // a handle of their own on it.
        korvel::base::Expected<korvel::base::File> duplicate =
            korvel::base::File::Duplicate(StandardStream::Output);
        if (duplicate) jsonOut = std::move(*duplicate);
    }
    // A global file: the reader detected, its part extracted to a file removed whatever happens.
    ExtractedGlobalFile extracted;
    DownloadOptions named = options;  // the verdict names the global file, not its extract
    uint64_t imageBytes = checked->imageBytes;
    if (options.globalFile) {
        const korvel::base::Expected<uint64_t> part =
            PrepareGlobalFile(options, port, jsonOut, extracted);
        if (!part) return Refuse(options, part.error());
        imageBytes = *part;  // the bytes of the part for the detected reader
        if (interrupts != nullptr && interrupts->Take() > 0) {
            return RefuseDownload(options.json, "stopped before the download began",
                                  kExitCancelled);
        }
    }
    const std::unique_ptr<ProgressView> view = MakeView(options, jsonOut, imageBytes);
    korvel::base::Expected<korvel::base::Wakeup> wakeup = korvel::base::Wakeup::Create();
    if (!wakeup) {
        return RefuseDownload(options.json,
                              "cannot set up the progress queue: " + wakeup.error().message,
                              kExitBadInput);
    }
    EventQueue queue(std::move(*wakeup));

    // The job log's row, written at the job's end; a global file's row names the global file.
    DownloadOptions logged = options;
    logged.application = named.application;
    LoggedView loggedView(view.get(), logged, port, imageBytes,
                          options.globalFile && named.reader < 0, interrupts);
    const std::optional<int> code =
        WatchJob(options, settings, port, queue, &loggedView, interrupts, portsFolder);
    // An interrupt while the row was written: the program was asked to quit at once. It is
    // taken, so that it does not end the program once interrupts act again.
    if (loggedView.Stopped() && interrupts != nullptr) interrupts->Take();
    if (!code) return loggedView.Stopped() ? kExitInterrupted : kExitBadInput;
    named.reader = options.reader;
    named.type = options.type;
    if (!options.json) std::fputs(Verdict(*code, named, port).c_str(), stderr);
    return loggedView.Stopped() ? kExitInterrupted : *code;
}

}  // namespace cordane::tools
