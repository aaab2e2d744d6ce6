// The one seam between the library and the operating system. The portable code in src/ calls only
// these; each system fills them in its own folder (posix/ now). Nothing here is a descriptor, a
// fork or a signal: a Handle is whatever the system names an open file, pipe, event or process by,
// and every failure comes back as an Error whose cause is set and whose message is the system's
// own words ("No such file or directory"), for the portable code to put into a sentence that names
// the file.
#ifndef KORVEL_BASE_OS_H
#define KORVEL_BASE_OS_H

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include "base/cleanup_watcher.h"
#include "base/error.h"
#include "base/file.h"
#include "base/interrupts.h"
#include "base/process.h"
#include "base/replace_file.h"
#include "base/terminal.h"
#include "base/wait.h"

namespace korvel::base::os {

using Handle = std::intptr_t;
inline constexpr Handle kNoHandle = -1;

// A system failure put into a sentence: "`what`: <the system's words>", its cause and words kept.
inline Error Explained(const Error& system, const std::string& what, std::string hint = {}) {
    Error error(kFailureCode, what + ": " + system.message, std::move(hint), system.cause);
    error.detail = system.detail;
    return error;
}

// ---- Files (posix/file.cpp)

// Opens `path`; for FileAccess::Read without waiting for a writer or a carrier, unless `wait`.
Expected<Handle> Open(const std::string& path, FileAccess access, bool wait = false);
Expected<Handle> Duplicate(StandardStream stream);
// Where the stream is, not owned: for writing to it.
Handle Standard(StandardStream stream);
Expected<FileInfo> Info(Handle file);
// What `path` leads to, without opening it.
Expected<FileInfo> InfoOf(const std::string& path);
// Whether `path` still names the open `file` (not a file put in its place since).
Expected<bool> NamesSameFile(const std::string& path, Handle file);
// 0 at the end; Cause::WouldBlock when a handle that does not wait has nothing yet.
Expected<size_t> Read(Handle file, std::span<uint8_t> buffer);
// Some of `bytes`, at least one.
Expected<size_t> Write(Handle file, std::span<const uint8_t> bytes);
Expected<void> SetWaiting(Handle file, bool wait);
Expected<void> Flush(Handle file);
Expected<void> Close(Handle file);
// Exclusive and advisory, never waiting: false when another open file holds it.
Expected<bool> TryLock(Handle file);

// A read-only view of the first `length` bytes of a regular file.
struct Mapping {
    const uint8_t* data = nullptr;
    size_t length = 0;
};
Expected<Mapping> Map(Handle file, size_t length);
void Unmap(const Mapping& mapping) noexcept;
// While guarded, a mapped file cut shorter by another program ends this one with `message` on
// standard error and `exitCode`, instead of a crash.
void GuardMappings(const std::string& message, int exitCode) noexcept;
void UnguardMappings() noexcept;

// ---- Whole-file replacement (posix/replace_file.cpp): the whole guarantee of ReplaceWholeFile,
// messages included, since the way there differs from one system to another.
Expected<void> ReplaceWholeFile(const std::string& path, std::span<const uint8_t> bytes,
                                const ReplaceOptions& options);
// Tests only: whether the unnamed-file way is tried, so that the other way can be checked too.
void UseUnnamedFiles(bool use) noexcept;

// ---- Processes (posix/process.cpp)

struct Spawned {
    Handle process = kNoHandle;
    int64_t id = 0;
    Handle output = kNoHandle;  // read ends of piped streams, not waiting
    Handle errors = kNoHandle;
};
// Refused with the system's reason when the program cannot be run at all.
Expected<Spawned> Spawn(const SpawnOptions& options);
// How the process ended; nothing while it runs (only when not `wait`). Once it answers a status,
// the process is gone and its handle released.
Expected<std::optional<ExitStatus>> Reap(Handle process, bool wait);
Expected<void> Stop(Handle process, StopRequest request);
Expected<std::string> CurrentProgram();
// This machine's name on the network.
Expected<std::string> HostName();
// Returns only on failure.
Error RunInstead(const std::string& program, const std::vector<std::string>& arguments);
// The system's name of a signal that ended a process: "Killed".
std::string SignalName(int signal);

// ---- Clean-up after this process (posix/cleanup_watcher.cpp)

struct Watcher {
    Handle process = kNoHandle;
    Handle tie = kNoHandle;  // let go, it makes the watcher do its work
};
Expected<Watcher> StartWatcher(const std::string& folder, const FolderEntries& entries);
void StopWatcher(Watcher& watcher) noexcept;
// The temporary directory, then a new folder in it.
Expected<std::string> CreateTemporaryFolder(const std::string& prefix);
// Removes the entries (missing ones are no failure) and then the folder if it is empty.
void RemoveFolder(const std::string& folder, const FolderEntries& entries) noexcept;

// ---- Interrupts and waiting (posix/interrupts.cpp, posix/wait.cpp)

// Starts counting interrupts; the handle is ready while some are pending. One at a time.
Expected<Handle> CatchInterrupts();
int TakeInterrupts(Handle catcher, Interrupt* last) noexcept;
void ReleaseInterrupts(Handle catcher) noexcept;
std::uintptr_t IgnoreBrokenPipes() noexcept;
void RestoreBrokenPipes(std::uintptr_t previous) noexcept;

Expected<Handle> CreateWakeup();
void Wake(Handle wakeup) noexcept;
void ClearWakeup(Handle wakeup) noexcept;
// Which handles are ready; kNoHandle entries never are. With no handles, the timeout is waited
// out.
Expected<std::vector<bool>> WaitReadable(std::span<const Handle> handles,
                                         std::optional<std::chrono::milliseconds> timeout);
// The same with a socket of another library's first, waited for `event`. All false before the
// timeout: the wait was cut short, and the caller looks again.
Expected<std::vector<bool>> WaitSocket(std::intptr_t socket, SocketEvent event,
                                       std::span<const Handle> others,
                                       std::optional<std::chrono::milliseconds> timeout);

// ---- Libraries loaded while running (posix/shared_library.cpp)

// Loads the library `name` where the system looks for libraries; it is never unloaded.
Expected<Handle> LoadSharedLibrary(const std::string& name);
// The address of `symbol` in the loaded library; nullptr when it has none.
void* FindSymbol(Handle library, const char* symbol) noexcept;

// ---- Terminal (posix/terminal.cpp)

bool IsTerminal(StandardStream stream);
std::optional<TerminalSize> TerminalSizeOf(StandardStream stream);

}  // namespace korvel::base::os

#endif
