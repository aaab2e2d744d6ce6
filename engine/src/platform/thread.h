// Starting a thread for a job.
#ifndef CORDANE_PLATFORM_THREAD_H
#define CORDANE_PLATFORM_THREAD_H

#include <cstdint>
#include <functional>
#include <thread>

#include "cordane/platform.h"

namespace cordane {

// The word GetExitCodeThread writes: kernel32's DWORD on Windows, the engine's 32-bit word
// elsewhere.
template <typename Function>
struct ExitCodeWordOf;
template <typename Result, typename Word>
struct ExitCodeWordOf<Result (*)(HANDLE, Word*)> {
    using type = Word;
};
using ExitCodeWord = ExitCodeWordOf<decltype(&GetExitCodeThread)>::type;

// Runs body on a new detached thread and returns a handle to it, or null when no thread could be
// started. Without an object the caller owns the handle and closes it; with one the object holds
// it (in m_hThread) and closes it when deleted.
// When the thread ends with the object's m_bAutoDelete on, the object is set aside for deletion
// (KvAutoDelete).
HANDLE StartThread(std::function<uint32_t()> body, CWinThread* object);

// Deletes the thread objects that `starter` started and that were set aside.
void DeleteObjectsSetAside(std::thread::id starter);

}  // namespace cordane

#endif
