// The engine's client in a download: the job object whose callbacks become progress events, the
// message boxes answered from the command line, and the settings the job starts with.
#ifndef CORDANE_TOOLS_DOWNLOAD_ENGINE_CLIENT_H
#define CORDANE_TOOLS_DOWNLOAD_ENGINE_CLIENT_H

#include <atomic>
#include <cstdint>
#include <optional>
#include <string>

#include "base/error.h"
#include "cli/download_options.h"
#include "cli/key_options.h"
#include "cordane/cordane.h"
#include "download/settings.h"
#include "progress/events.h"

namespace cordane::tools {

// The key selector that --key is registered under when --key-selector does not name one; any
// selector but 0 and 1 (the built-in keys) would do.
inline constexpr uint32_t kToolKeySelector = 0x434F5244;  // "CORD"

// The key selector and checks of the job, with the options of the flags word.
JobSettings JobSettingsOf(const DownloadOptions& options);

// Registers --key with the engine for this job.
korvel::base::Expected<void> RegisterEngineKey(uint32_t selector, const BaseKey& key);

// Starts the job: the flags word into the job object, the parameter block into the engine, then
// the worker thread. The one way every download starts; null when the thread could not start.
CWinThread* StartDownload(CLoadInterface& job, const JobSettings& settings);

// The engine's client: every callback becomes an event for the main thread.
class EngineClient : public CDownloadManager {
  public:
    explicit EngineClient(EventQueue& queue) : queue_(queue) {}

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

}  // namespace cordane::tools

#endif
