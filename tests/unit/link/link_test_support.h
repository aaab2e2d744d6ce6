// Helpers of the link tests: environment settings undone at scope end, and a small reader on a
// pseudo-terminal that answers the link's frames from a script.
#ifndef KORVEL_TESTS_LINK_TEST_SUPPORT_H
#define KORVEL_TESTS_LINK_TEST_SUPPORT_H

#include <fcntl.h>
#include <poll.h>
#include <stdlib.h>
#include <unistd.h>

#include <atomic>
#include <cstdint>
#include <functional>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "support/environment.h"
#include "support/program_runner.h"
#include "support/temp_dir.h"
#include "zr318/wire.h"

namespace korvel::testing {

using korvel::testkit::ScopedEnv;

// A reader stand-in on the master side of a pseudo-terminal, served by its own thread.
class PtyReader {
  public:
    // What the reader does; set before the link talks to it or under the lock of Lock().
    struct Script {
        uint8_t resetStatus = 0;  // LoaderReady status
        uint8_t loaderKind = 0;   // LoaderReady loader kind for a 64 Kb reset
        int resetsToIgnore = 0;   // ResetLoader frames dropped before the first answer
        bool answerResets = true;
        bool answerMessages = true;
        uint8_t eraseStatus = 0;
        // Answer to a Message; by default the status byte 0 followed by the request.
        std::function<std::vector<uint8_t>(const std::vector<uint8_t>&)> answer;
        // Raw bytes written just before each answer (noise, damaged frames).
        std::vector<uint8_t> noiseBeforeAnswer;
    };

    PtyReader() {
        master_ = posix_openpt(O_RDWR | O_NOCTTY | O_NONBLOCK);
        if (master_ < 0 || grantpt(master_) != 0 || unlockpt(master_) != 0) return;
        slavePath_ = ptsname(master_);
        // Held so that the master never sees a hang-up while no link has the port open.
        keepSlave_ = open(slavePath_.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK);
        thread_ = std::thread([this] { Serve(); });
    }
    ~PtyReader() {
        stop_ = true;
        if (thread_.joinable()) thread_.join();
        HangUp();
        if (keepSlave_ >= 0) close(keepSlave_);
    }
    PtyReader(const PtyReader&) = delete;
    PtyReader& operator=(const PtyReader&) = delete;

    bool Ok() const { return master_ >= 0 && keepSlave_ >= 0; }
    const std::string& SlavePath() const { return slavePath_; }

    void SetScript(Script script) {
        std::lock_guard<std::mutex> lock(mutex_);
        script_ = std::move(script);
    }
    // Frames received so far, in order.
    std::vector<wire::Frame> Received() {
        std::lock_guard<std::mutex> lock(mutex_);
        return received_;
    }
    size_t CountReceived(wire::Kind kind) {
        size_t count = 0;
        for (const wire::Frame& frame : Received()) count += frame.kind == kind;
        return count;
    }
    // Waits (briefly) until n frames of kind have arrived.
    bool WaitForReceived(wire::Kind kind, size_t n) {
        for (int i = 0; i < 200; ++i) {
            if (CountReceived(kind) >= n) return true;
            std::this_thread::sleep_for(std::chrono::milliseconds(5));
        }
        return false;
    }
    // Waits (briefly) until n messages have been answered.
    bool WaitForAnswered(int n) {
        for (int i = 0; i < 200 && answered_ < n; ++i) {
            std::this_thread::sleep_for(std::chrono::milliseconds(5));
        }
        return answered_ >= n;
    }
    // Closes the master side: the link sees a hang-up.
    void HangUp() {
        stop_ = true;
        if (thread_.joinable()) thread_.join();
        std::lock_guard<std::mutex> lock(mutex_);
        if (master_ >= 0) close(master_);
        master_ = -1;
        if (keepSlave_ >= 0) close(keepSlave_);
        keepSlave_ = -1;
    }
    // Writes raw bytes to the link.
    void WriteRaw(const std::vector<uint8_t>& bytes) {
        std::lock_guard<std::mutex> lock(mutex_);
        WriteLocked(bytes);
    }

  private:
    void WriteLocked(const std::vector<uint8_t>& bytes) {
        size_t done = 0;
        while (done < bytes.size() && master_ >= 0) {
            const ssize_t n = write(master_, bytes.data() + done, bytes.size() - done);
            if (n > 0) {
                done += static_cast<size_t>(n);
            } else {
                struct pollfd entry = {master_, POLLOUT, 0};
                poll(&entry, 1, 5);
            }
        }
    }
    void Reply(wire::Kind kind, std::vector<uint8_t> payload) {
        WriteLocked(wire::Encode(kind, payload.data(), payload.size()));
    }
    void Handle(const wire::Frame& frame) {
        std::lock_guard<std::mutex> lock(mutex_);
        received_.push_back(frame);
        switch (frame.kind) {
            case wire::Kind::ResetLoader:
                inLoader_ = true;
                if (!script_.answerResets) break;
                if (script_.resetsToIgnore > 0) {
                    --script_.resetsToIgnore;
                    break;
                }
                Reply(wire::Kind::LoaderReady, {script_.resetStatus, script_.loaderKind});
                break;
            case wire::Kind::Message:
                if (!inLoader_ || !script_.answerMessages) break;
                WriteLocked(script_.noiseBeforeAnswer);
                if (script_.answer) {
                    Reply(wire::Kind::Message, script_.answer(frame.payload));
                } else {
                    std::vector<uint8_t> answer{0};
                    answer.insert(answer.end(), frame.payload.begin(), frame.payload.end());
                    Reply(wire::Kind::Message, answer);
                }
                ++answered_;
                break;
            case wire::Kind::LeaveLoader:
                inLoader_ = false;
                break;
            case wire::Kind::EraseData:
                Reply(wire::Kind::EraseDataDone, {script_.eraseStatus});
                break;
            default:
                break;
        }
    }
    void Serve() {
        wire::Decoder decoder;
        wire::Frame frame;
        uint8_t chunk[512];
        while (!stop_) {
            struct pollfd entry = {master_, POLLIN, 0};
            if (poll(&entry, 1, 5) <= 0 || !(entry.revents & POLLIN)) continue;
            const ssize_t n = read(master_, chunk, sizeof chunk);
            if (n <= 0) continue;
            decoder.Feed(chunk, static_cast<size_t>(n));
            while (decoder.Next(frame)) Handle(frame);
        }
    }

    int master_ = -1;
    int keepSlave_ = -1;
    std::string slavePath_;
    std::atomic<bool> stop_{false};
    std::mutex mutex_;
    Script script_;
    bool inLoader_ = false;
    std::atomic<int> answered_{0};
    std::vector<wire::Frame> received_;
    std::thread thread_;
};

}  // namespace korvel::testing

#endif
