// The engine's platform services on Windows: system threads (kernel32's handles, waited on and
// closed with kernel32's functions), Sleep with the multimedia timer held at 1 ms while a job
// runs, the performance counter as the clock, the system's message box and the debugger.

#include <windows.h>
// After <windows.h>, whose types they use.
#include <process.h>
#include <timeapi.h>

#include <memory>

#include "platform/os.h"

namespace cordane::os {

namespace {

unsigned __stdcall RunThread(void* parameter) {
    const std::unique_ptr<std::function<uint32_t()>> body(
        static_cast<std::function<uint32_t()>*>(parameter));
    return (*body)();
}

}  // namespace

HANDLE StartSystemThread(std::function<uint32_t()> body, HANDLE* holder) {
    if (holder) *holder = nullptr;
    auto parameter = std::make_unique<std::function<uint32_t()>>(std::move(body));
    // Started suspended, so that the holder has the handle before the thread runs.
    const uintptr_t started =
        _beginthreadex(nullptr, 0, RunThread, parameter.get(), CREATE_SUSPENDED, nullptr);
    if (started == 0) return nullptr;
    const HANDLE thread = reinterpret_cast<HANDLE>(started);
    if (holder) *holder = thread;
    if (::ResumeThread(thread) == static_cast<DWORD>(-1)) {
        // It never ran a line of its own: ending it leaves nothing half done.
        ::TerminateThread(thread, 0);
        ::WaitForSingleObject(thread, INFINITE);
        ::CloseHandle(thread);
        if (holder) *holder = nullptr;
        return nullptr;
    }
    parameter.release();  // the thread's now
    return thread;
}

void SleepMs(uint32_t milliseconds) {
    ::Sleep(milliseconds);
}

uint64_t NowMs() {
    static const uint64_t frequency = [] {
        LARGE_INTEGER value;
        ::QueryPerformanceFrequency(&value);  // never fails from Windows XP on
        return static_cast<uint64_t>(value.QuadPart);
    }();
    LARGE_INTEGER counter;
    ::QueryPerformanceCounter(&counter);
    const uint64_t ticks = static_cast<uint64_t>(counter.QuadPart);
    // Whole seconds and the rest apart: ticks * 1000 would overflow after some weeks of uptime
    // at a 10 MHz counter.
    return ticks / frequency * 1000 + ticks % frequency * 1000 / frequency;
}

int ShowMessageBox(HWND owner, const char* text, const char* caption, unsigned style) {
    const int answer = ::MessageBoxA(owner, text ? text : "", caption ? caption : "", style);
    // No box could be shown (no desktop): a question is answered No, as when nobody is there.
    if (answer == 0) return (style & 0xF) == MB_YESNO ? IDNO : IDOK;
    return answer;
}

void DebugOutput(const char* line) {
    if (line) ::OutputDebugStringA(line);
}

// Windows ticks every 15.6 ms by default: a Sleep(1) of the protocol would last that long.
FineTimer::FineTimer() : held_(::timeBeginPeriod(1) == TIMERR_NOERROR) {}

FineTimer::~FineTimer() {
    if (held_) ::timeEndPeriod(1);
}

}  // namespace cordane::os
