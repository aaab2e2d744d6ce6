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
#include "support/srec_writer.h"
#include "support/temp_dir.h"
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
                                            std::to_string(NumberOf(owner)));
                return IDOK;
            },
            this);
        dialog.AttachView(&view);
        dialog.SetPortProbe([this] { return ports; });
        dialog.SetErrorSink([this](const std::string& line) { errors.push_back(line); });
    }
    void TearDown() override {
        dialog.WaitForWorker();
        KvSetTimeSource(nullptr, nullptr, nullptr);
        KvSetMessageBoxHandler(nullptr, nullptr);
    }

    // An S-record application of `bytes` bytes from 0x2000.
    std::string WriteApplication(const std::string& name, size_t bytes = 300) {
        std::vector<uint8_t> data(bytes);
        for (size_t i = 0; i < bytes; ++i) data[i] = static_cast<uint8_t>(i * 13 & 0xFF);
        return temp.Write(name, korvel::testkit::SrecText({{0x2000, data}},
                                                          {.header = std::nullopt, .end = 0x2000}));
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
    korvel::testkit::TempDir temp;
    std::filesystem::path dir{temp.path()};
};

}  // namespace brenmarktest

#endif
