// The engine's one seam to the operating system: what its platform layer (thread.cpp,
// services.cpp) and the job's run need from the system, implemented once per system (posix.cpp,
// win32.cpp). Nothing else in the engine calls the system for threads, time, message boxes or
// the debugger.
#ifndef CORDANE_PLATFORM_OS_H
#define CORDANE_PLATFORM_OS_H

#include <cstdint>
#include <functional>

#include "cordane/platform.h"

namespace cordane::os {

// Runs body on a new thread at normal priority with the default stack size, and returns a handle
// to it that the caller closes (CloseHandle), or null when no thread could be started. With a
// holder, the handle is written there before the thread runs (null when none started). The
// thread's exit code is what body returns; the handle reports the end only once body has
// returned. body must not throw.
HANDLE StartSystemThread(std::function<uint32_t()> body, HANDLE* holder);

// The real clock and sleep, behind KvNowMs and KvSleep.
void SleepMs(uint32_t milliseconds);
uint64_t NowMs();

// A message box owned by `owner` when no handler is installed: IDOK, IDYES or IDNO.
int ShowMessageBox(HWND owner, const char* text, const char* caption, unsigned style);

// A debugger line when no sink is installed.
void DebugOutput(const char* line);

// Keeps the system's timer fine enough for the protocol's 1 ms pauses while it lives (a job
// holds one from its start to its end). Holds may overlap.
class FineTimer {
  public:
    FineTimer();
    ~FineTimer();
    FineTimer(const FineTimer&) = delete;
    FineTimer& operator=(const FineTimer&) = delete;

  private:
    bool held_ = false;
};

}  // namespace cordane::os

#endif
