// The engine's client in a download: the job object whose callbacks become progress events, the
// message boxes answered from the command line, the settings the job starts with, and the capture
// of what the engine writes to standard output.
#ifndef CORDANE_TOOLS_DOWNLOAD_CLIENT_H
#define CORDANE_TOOLS_DOWNLOAD_CLIENT_H

#include <fcntl.h>
#include <unistd.h>

#include <array>
#include <atomic>
#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <optional>
#include <string>

#include "cli/download_options.h"
#include "cli/unique_fd.h"
#include "cordane/cordane.h"
#include "cordane/formats/cipher.h"
#include "download/settings.h"
#include "progress/progress.h"

namespace cordane::tools {

// The key selector that --key is registered under when --key-selector does not name one; any
// selector but 0 and 1 (the built-in keys) would do.
inline constexpr uint32_t kToolKeySelector = 0x434F5244;  // "CORD"

// The key selector and checks of the job, with the options of the flags word.
JobSettings SettingsOf(const DownloadOptions& options);

// Registers --key with the engine for this job.
std::optional<std::string> RegisterEngineKey(uint32_t selector,
                                             const std::array<uint8_t, kBaseKeySize>& key);

// Starts the job: the flags word into the job object, the parameter block into the engine, then
// the worker thread. The one way every download starts.
CWinThread* StartJob(CLoadInterface& job, const JobSettings& settings);

// The engine's client: every callback becomes an event for the main thread.
class DownloadJob : public CDownloadManager {
  public:
    explicit DownloadJob(EventQueue& queue) : queue_(queue) {}

    std::atomic<bool> cancelled{false};
    // Set before the job starts; cleared by the success notice or the failure's completion.
    std::atomic<bool> outcomePending{false};

    void KvSetMessage(char* text) override {
        Push([&] { return events::Message{Text(text)}; });
    }
    void KvpBarSetRange(short lower, short upper) override {
        Push([&] { return events::Range{lower, upper}; });
    }
    void KvpBarSetStep(int step) override {
        Push([&] { return events::StepSize{step}; });
    }
    void KvpBarStepIt() override {
        Push([] { return events::StepIt{}; });
    }
    int KvpBarSetPos(int position) override {
        Push([&] { return events::Position{position}; });
        return 0;
    }
    bool KvIsCanceled() override { return cancelled.load(); }
    void KvDownloadCompleted(char* text, int code) override {
        Push([&] { return events::Completion{Text(text), code}; });
    }

  private:
    // The manager's own notice handler is private to it, so this one reports every notice and
    // keeps the manager's rule itself: one completion per job, "Download completed" or
    // "Download Error".
    void KvFinTelechargement(char* text, int code) override {
        Push([&] {
            events::Notice notice{code, std::nullopt};
            if (text != nullptr) notice.text = text;
            return notice;
        });
        // Writable copies: the callback takes char*, and an override may write to it.
        if (code == KV_NOTICE_SUCCESS) {
            outcomePending = false;
            char completed[] = "Download completed";
            KvDownloadCompleted(completed, 0);
        } else if (code == KV_NOTICE_OVER && outcomePending.exchange(false)) {
            char failed[] = "Download Error";
            KvDownloadCompleted(failed, 1);
        }
    }

    static std::string Text(const char* text) { return text != nullptr ? text : ""; }

    // Queues the event `make` gives.
    template <typename Make>
    void Push(Make make) noexcept {
        try {
            queue_.Push(make());
        } catch (...) {
            // Out of memory for the text: the event is lost, the download goes on.
        }
    }

    EventQueue& queue_;
};

// The engine's message boxes, answered without asking: the answer comes from --yes / --no.
struct MessageBoxAnswers {
    EventQueue* queue;
    bool yes;
};

// The message-box handler: `context` is the MessageBoxAnswers. Each box becomes an event.
int AnswerMessageBox(HWND, const char* text, const char* caption, unsigned style, void* context);

// Installs the message-box handler for the job's lifetime.
class MessageBoxScope {
  public:
    explicit MessageBoxScope(MessageBoxAnswers* answers) {
        KvSetMessageBoxHandler(AnswerMessageBox, answers);
    }
    ~MessageBoxScope() { KvSetMessageBoxHandler(nullptr, nullptr); }
    MessageBoxScope(const MessageBoxScope&) = delete;
    MessageBoxScope& operator=(const MessageBoxScope&) = delete;
};

// While it runs, what is written to standard output (the engine's conversion banner) goes into a
// pipe the main thread reads, so that it neither breaks the bar nor mixes into the JSON lines.
class StdoutCapture {
  public:
    StdoutCapture() = default;
    ~StdoutCapture() { Stop(); }
    StdoutCapture(const StdoutCapture&) = delete;
    StdoutCapture& operator=(const StdoutCapture&) = delete;

    bool Start() {
        // Without an open standard output the pipe could take its number: leave it alone.
        if (::fcntl(STDOUT_FILENO, F_GETFD) < 0) return false;
        int ends[2];
        if (::pipe2(ends, O_CLOEXEC) != 0) return false;
        read_.Reset(ends[0]);
        ::fcntl(read_.get(), F_SETFL, ::fcntl(read_.get(), F_GETFL) | O_NONBLOCK);
        std::fflush(stdout);
        saved_ = ::fcntl(STDOUT_FILENO, F_DUPFD_CLOEXEC, 3);
        if (saved_ < 0 || ::dup2(ends[1], STDOUT_FILENO) < 0) {
            ::close(ends[1]);
            if (saved_ >= 0) ::close(saved_);
            saved_ = -1;
            read_.Reset();
            return false;
        }
        ::close(ends[1]);
        active_ = true;
        return true;
    }

    int fd() const { return read_.get(); }

    // What has been written so far.
    std::string Take() {
        std::string text;
        char buffer[512];
        for (;;) {
            const ssize_t got = ::read(read_.get(), buffer, sizeof buffer);
            if (got < 0 && errno == EINTR) continue;
            if (got <= 0) break;
            text.append(buffer, static_cast<size_t>(got));
        }
        return text;
    }

    // Gives standard output back; the pipe can still be read to its end.
    void Stop() {
        if (!active_) return;
        std::fflush(stdout);
        ::dup2(saved_, STDOUT_FILENO);
        ::close(saved_);
        saved_ = -1;
        active_ = false;
    }

  private:
    UniqueFd read_;
    int saved_ = -1;
    bool active_ = false;
};

}  // namespace cordane::tools

#endif
