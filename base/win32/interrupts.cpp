// Interrupts on Windows: the console's control events, counted by a handler (which Windows runs
// on a thread of its own) into a manual-reset event that is set while some are pending. Ctrl-C
// is the keyboard's interrupt; Ctrl-Break, which is what another program can send to a console
// group (and how a child of a group of its own is asked to stop), a request to end, and so is
// closing the console; logging off or shutting down is the terminal going away. Windows has no
// broken-pipe signal: a write to a pipe whose reader has gone fails with an error anyway.
#include <windows.h>

#include <atomic>

#include "handle.h"
#include "os.h"
#include "system_error.h"

namespace korvel::base::os {
namespace {

// How long the handler holds back the end of the process after the console is closed, so that
// the program cleans up: Windows ends it anyway some seconds later.
constexpr DWORD kCloseGrace = 4500;

std::atomic<bool> g_catching{false};
std::atomic<HANDLE> g_pending{nullptr};
std::atomic<int> g_count{0};
std::atomic<int> g_last{static_cast<int>(Interrupt::Keyboard)};

BOOL WINAPI OnControlEvent(DWORD event) {
    Interrupt kind = Interrupt::Keyboard;
    switch (event) {
        case CTRL_C_EVENT:
            break;
        case CTRL_BREAK_EVENT:
        case CTRL_CLOSE_EVENT:
            kind = Interrupt::Terminate;
            break;
        case CTRL_LOGOFF_EVENT:
        case CTRL_SHUTDOWN_EVENT:
            kind = Interrupt::HangUp;
            break;
        default:
            return FALSE;
    }
    g_last = static_cast<int>(kind);
    ++g_count;
    if (HANDLE pending = g_pending.load()) ::SetEvent(pending);
    // Returning from these ends the process at once: wait for the program to do so itself.
    if (event == CTRL_CLOSE_EVENT || event == CTRL_LOGOFF_EVENT || event == CTRL_SHUTDOWN_EVENT) {
        ::Sleep(kCloseGrace);
    }
    return TRUE;
}

}  // namespace

Expected<Handle> CatchInterrupts() {
    if (g_catching.exchange(true)) {
        return Error(kFailureCode, "the interrupts are already taken over", {}, Cause::Busy);
    }
    HANDLE pending = ::CreateEventW(nullptr, TRUE, FALSE, nullptr);
    if (pending == nullptr) {
        g_catching = false;
        return LastSystemError();
    }
    g_count = 0;
    g_pending = pending;
    if (!::SetConsoleCtrlHandler(OnControlEvent, TRUE)) {
        const Error error = LastSystemError();
        g_pending = nullptr;
        ::CloseHandle(pending);
        g_catching = false;
        return error;
    }
    return FromNative(pending);
}

int TakeInterrupts(Handle catcher, Interrupt* last) noexcept {
    // Lowered before the count is taken: one counted after this sets it again.
    ::ResetEvent(Native(catcher));
    const int count = g_count.exchange(0);
    if (count > 0 && last != nullptr) *last = static_cast<Interrupt>(g_last.load());
    return count;
}

void ReleaseInterrupts(Handle catcher) noexcept {
    ::SetConsoleCtrlHandler(OnControlEvent, FALSE);
    g_pending = nullptr;
    ::CloseHandle(Native(catcher));
    const bool pending = g_count.exchange(0) > 0;
    g_catching = false;
    // One still pending acts now, as Windows' own handler would have: the process ends.
    if (pending) ::ExitProcess(0xC000013A);  // STATUS_CONTROL_C_EXIT
}

std::uintptr_t IgnoreBrokenPipes() noexcept {
    return 0;
}

void RestoreBrokenPipes(std::uintptr_t) noexcept {}

}  // namespace korvel::base::os
