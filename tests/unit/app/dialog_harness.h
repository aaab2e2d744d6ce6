// Test bench for the download dialog: the fake view, the engine's virtual clock, the scripted
// fake link, recorded engine message boxes and the lines an automatic run prints.
#ifndef BRENMARK_TEST_DIALOG_HARNESS_H
#define BRENMARK_TEST_DIALOG_HARNESS_H

#include <gtest/gtest.h>
#include <unistd.h>

#include <atomic>
#include <filesystem>
#include <fstream>
#include <thread>

#include "brenmark/download_dialog.h"
#include "fake_view.h"
#include "zr_fake.h"

namespace brenmarktest {

class DialogTest : public ::testing::Test {
  protected:
    void SetUp() override {
        zrfake::Reset();
        KvSetTimeSource(
            [](uint32_t ms, void* context) {
                auto* self = static_cast<DialogTest*>(context);
                self->now += ms;
                std::lock_guard lock(self->sleepMutex);
                self->sleeps.push_back(ms);
            },
            [](void* context) -> uint64_t { return static_cast<DialogTest*>(context)->now.load(); },
            this);
        KvSetMessageBoxHandler(
            [](HWND owner, const char* text, const char* caption, unsigned, void* context) -> int {
                auto* self = static_cast<DialogTest*>(context);
                std::lock_guard lock(self->sleepMutex);
                self->engineBoxes.push_back(std::string(caption) + "|" + text + "|" +
                                            std::to_string(owner));
                return IDOK;
            },
            this);
        dir = std::filesystem::temp_directory_path() /
              ("brenmark-" +
               std::string(::testing::UnitTest::GetInstance()->current_test_info()->name()) + "-" +
               std::to_string(getpid()));
        std::filesystem::create_directories(dir);
        dialog.AttachView(&view);
        dialog.SetPortProbe([this] { return ports; });
        dialog.SetErrorSink([this](const std::string& line) { errors.push_back(line); });
    }
    void TearDown() override {
        dialog.WaitForWorker();
        KvSetTimeSource(nullptr, nullptr, nullptr);
        KvSetMessageBoxHandler(nullptr, nullptr);
        std::error_code ignored;
        std::filesystem::remove_all(dir, ignored);
    }

    // An S-record application of `bytes` bytes from 0x2000.
    std::string WriteApplication(const std::string& name, size_t bytes = 300) {
        std::string text;
        char field[16];
        for (size_t i = 0; i < bytes; i += 32) {
            const size_t n = std::min<size_t>(32, bytes - i);
            const unsigned at = 0x2000 + static_cast<unsigned>(i);
            unsigned sum =
                static_cast<unsigned>(n + 4) + (at >> 16 & 0xFF) + (at >> 8 & 0xFF) + (at & 0xFF);
            std::snprintf(field, sizeof field, "S2%02X%06X", static_cast<unsigned>(n + 4), at);
            text += field;
            for (size_t j = 0; j < n; ++j) {
                const unsigned byte = (i + j) * 13 & 0xFF;
                std::snprintf(field, sizeof field, "%02X", byte);
                text += field;
                sum += byte;
            }
            std::snprintf(field, sizeof field, "%02X\n", ~sum & 0xFF);
            text += field;
        }
        text += "S804002000DB\n";
        const std::string path = (dir / name).string();
        std::ofstream(path) << text;
        return path;
    }

    // Lets the worker run to its end, running what it posts to the user-interface thread.
    void RunWorkerToEnd() {
        for (int i = 0; i < 5000 && dialog.WorkerRunning(); ++i) {
            view.Pump();
            std::this_thread::sleep_for(std::chrono::milliseconds(1));
        }
        view.Pump();
    }

    // Fires a timer as the window would, when it runs.
    void Tick(int id) {
        ASSERT_TRUE(view.timers.count(id)) << "timer " << id << " is not running";
        dialog.OnTimer(id);
    }

    FakeView view;
    brenmark::CDownloadDlg dialog;
    std::vector<korvel::ports::OpenablePort> ports{{1, "COM1", "/dev/null"},
                                                   {0x80000003u, "KORVEL03", "/dev/null"}};
    std::vector<std::string> errors;
    std::atomic<uint64_t> now{0};
    std::mutex sleepMutex;
    std::vector<uint32_t> sleeps;
    std::vector<std::string> engineBoxes;
    std::filesystem::path dir;
};

}  // namespace brenmarktest

#endif
