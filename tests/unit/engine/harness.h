// Test bench for the engine: a virtual clock, a recording client, recorded message boxes and
// debugger lines, and the scripted fake link, all writing one ordered transcript.
#ifndef ENGINE_TEST_HARNESS_H
#define ENGINE_TEST_HARNESS_H

#include <gtest/gtest.h>

#include <atomic>
#include <cstdint>
#include <filesystem>
#include <functional>
#include <mutex>
#include <string>
#include <type_traits>
#include <vector>

#include "cordane/cordane.h"
#include "zr_fake.h"

#include "support/temp_dir.h"

namespace enginetest {

// An owner window from a number and back: a 32-bit window id here, a window handle on Windows.
template <typename Window = HWND>
Window WindowFromNumber(uintptr_t number) {
    if constexpr (std::is_pointer_v<Window>) {
        return reinterpret_cast<Window>(number);
    } else {
        return static_cast<Window>(number);
    }
}
template <typename Window>
uintptr_t WindowNumber(Window window) {
    if constexpr (std::is_pointer_v<Window>) {
        return reinterpret_cast<uintptr_t>(window);
    } else {
        return static_cast<uintptr_t>(window);
    }
}

// The ordered record of everything the engine did.
class Transcript {
  public:
    void Add(const std::string& line) {
        std::lock_guard lock(mutex_);
        lines_.push_back(line);
    }
    std::vector<std::string> Lines() const {
        std::lock_guard lock(mutex_);
        return lines_;
    }
    // Lines that start with `prefix`, in order.
    std::vector<std::string> Only(const std::string& prefix) const;
    // Index of the first line starting with `prefix` at or after `from`, or -1.
    int Find(const std::string& prefix, size_t from = 0) const;
    size_t Count(const std::string& prefix) const { return Only(prefix).size(); }
    void Clear() {
        std::lock_guard lock(mutex_);
        lines_.clear();
    }

  private:
    mutable std::mutex mutex_;
    std::vector<std::string> lines_;
};

// A client that records every callback. It cancels when `cancelAtQuery` reaches the number of
// KvIsCanceled calls made so far (0: never).
class RecordingClient : public CLoadInterface {
  public:
    explicit RecordingClient(Transcript& transcript);

    void KvSetMessage(char* text) override;
    void KvpBarSetRange(short lower, short upper) override;
    void KvpBarSetStep(int step) override;
    void KvpBarStepIt() override;
    int KvpBarSetPos(int position) override;
    void KvFinTelechargement(char* text, int code) override;
    bool KvIsCanceled() override;

    int cancelAtQuery = 0;
    int queries = 0;
    std::vector<int> positions;

  private:
    Transcript& transcript_;
};

// Installs the virtual clock, the message-box recorder, the debugger sink and the fake link's
// log for one test; takes them away afterwards.
class EngineTest : public ::testing::Test {
  protected:
    void SetUp() override;
    void TearDown() override;

    // Writes an S-record file of S2 records holding `image` from `address` on (32 data bytes a
    // record) and returns its path.
    std::string WriteSrec(const std::string& name, const std::vector<uint8_t>& image,
                          uint32_t address = 0x2000);
    std::string WriteText(const std::string& name, const std::string& text);
    // A job on COM1 for reader `type` downloading `path`.
    void Prepare(RecordingClient& client, eReaderType type, const std::string& path,
                 uint32_t flags = 0);
    // Runs the job on this thread; returns its exit code.
    unsigned Run(RecordingClient& client) { return demarrage(&client); }
    // The pauses of the run, in order.
    std::vector<uint32_t> Pauses() const;

    Transcript transcript;
    std::atomic<uint64_t> now{0};
    std::vector<std::string> boxes;  // "caption|text|style"
    int yesNoAnswer = IDNO;
    korvel::testkit::TempDir temp;
    std::filesystem::path dir{temp.path()};
};

// An image of n bytes with a recognisable pattern.
std::vector<uint8_t> Pattern(size_t n, uint8_t seed = 1);

}  // namespace enginetest

#endif
