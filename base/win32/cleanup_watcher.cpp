// The clean-up watcher on Windows. Windows cannot fork, and a job object only ends processes, it
// removes no files; so the watcher is this very program started once more, which a variable in
// its environment turns into a watcher before main runs (the object below, which every program
// that can start a watcher links; a library cannot start one, since only a program's own file is
// sure to run it). Everything the program sets up before main runs in the watcher too, before it
// turns into one: a program's static objects must not act on the world. It inherits two handles
// only, this process (to wait for its end, however it ends: TerminateProcess gives no chance to
// clean up) and an event that Stop raises, then removes the entries and the folder. It leaves this
// process's job, if it may, so that the job that ends this process does not end it too, and it has
// no console and no streams: closing the console or waiting for this process's output to end never
// waits for it.
#include <windows.h>

#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <cwchar>

#include "handle.h"
#include "os.h"
#include "system_error.h"

namespace korvel::base::os {
namespace {

constexpr wchar_t kWatcherVariable[] = L"KORVEL_BASE_CLEANUP_WATCHER";
constexpr int kFolderTries = 100;  // names tried for a temporary folder before giving up

struct Identity {
    DWORD volume = 0;
    DWORD high = 0;
    DWORD low = 0;
    bool operator==(const Identity&) const = default;
};

std::optional<Identity> IdentityOf(const std::wstring& folder) {
    const OwnedHandle handle(::CreateFileW(folder.c_str(), FILE_READ_ATTRIBUTES,
                                           FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                                           nullptr, OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS,
                                           nullptr));
    BY_HANDLE_FILE_INFORMATION info{};
    if (!handle.valid() || !::GetFileInformationByHandle(handle.get(), &info)) return std::nullopt;
    return Identity{info.dwVolumeSerialNumber, info.nFileIndexHigh, info.nFileIndexLow};
}

bool StartsWithIgnoringCase(const std::wstring& text, const std::wstring& prefix) {
    return text.size() >= prefix.size() &&
           ::CompareStringOrdinal(text.c_str(), static_cast<int>(prefix.size()), prefix.c_str(),
                                  static_cast<int>(prefix.size()), TRUE) == CSTR_EQUAL;
}

// Removes the entry `name` of `folder`, and with `prefixed` every entry starting with it.
void RemoveEntries(const std::wstring& folder, const std::wstring& name, bool prefixed) {
    if (name.empty()) return;
    ::DeleteFileW((folder + L"\\" + name).c_str());
    if (!prefixed) return;
    WIN32_FIND_DATAW found{};
    HANDLE search = ::FindFirstFileW((folder + L"\\" + name + L"*").c_str(), &found);
    if (search == INVALID_HANDLE_VALUE) return;
    do {
        // The pattern matches short (8.3) names too: only the long name counts.
        const std::wstring entry = found.cFileName;
        if ((found.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) == 0 &&
            StartsWithIgnoringCase(entry, name)) {
            ::DeleteFileW((folder + L"\\" + entry).c_str());
        }
    } while (::FindNextFileW(search, &found));
    ::FindClose(search);
}

// In the watcher: "PARENT;STOP;PREFIXED;FOLDER\nNAME", the handles as inherited.
[[noreturn]] void RunWatcher(const std::wstring& orders) {
    wchar_t* at = nullptr;
    const auto parent = reinterpret_cast<HANDLE>(std::wcstoull(orders.c_str(), &at, 10));
    const auto stop = reinterpret_cast<HANDLE>(std::wcstoull(at + 1, &at, 10));
    const bool prefixed = std::wcstoul(at + 1, &at, 10) != 0;
    const std::wstring rest(at + 1);
    const size_t newline = rest.find(L'\n');
    const std::wstring folder = rest.substr(0, newline);
    const std::wstring name = newline == std::wstring::npos ? L"" : rest.substr(newline + 1);
    const std::optional<Identity> held = IdentityOf(folder);

    const HANDLE waits[] = {parent, stop};
    ::WaitForMultipleObjects(2, waits, FALSE, INFINITE);
    RemoveEntries(folder, name, prefixed);
    // The folder by its name only while the name still leads to the folder it was.
    if (held && IdentityOf(folder) == held) ::RemoveDirectoryW(folder.c_str());
    ::ExitProcess(0);
}

// Before main: a program started as a watcher does only that.
struct WatcherEntry {
    WatcherEntry() {
        const DWORD length = ::GetEnvironmentVariableW(kWatcherVariable, nullptr, 0);
        if (length == 0) return;
        std::wstring orders(length, L'\0');
        orders.resize(::GetEnvironmentVariableW(kWatcherVariable, orders.data(), length));
        RunWatcher(orders);
    }
} g_watcherEntry;

}  // namespace

Expected<Watcher> StartWatcher(const std::string& folder, const FolderEntries& entries) {
    KORVEL_ASSIGN_OR_RETURN(const std::wstring wideFolder, Wide(folder));
    KORVEL_ASSIGN_OR_RETURN(const std::wstring name, Wide(entries.name));
    // The watcher is the program itself: only code in the program's own file can be sure to be
    // there to turn it into one (a library loaded later would not be).
    HMODULE here = nullptr;
    if (!::GetModuleHandleExW(
            GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS | GET_MODULE_HANDLE_EX_FLAG_UNCHANGED_REFCOUNT,
            reinterpret_cast<LPCWSTR>(&g_watcherEntry), &here) ||
        here != ::GetModuleHandleW(nullptr)) {
        return Error(kFailureCode, "a watcher can be started only from a program's own code", {},
                     Cause::Other);
    }
    wchar_t program[32768];
    const DWORD length = ::GetModuleFileNameW(nullptr, program, std::size(program));
    if (length == 0 || length >= std::size(program)) return LastSystemError();

    OwnedHandle parent;
    {
        HANDLE self = nullptr;
        if (!::DuplicateHandle(::GetCurrentProcess(), ::GetCurrentProcess(), ::GetCurrentProcess(),
                               &self, SYNCHRONIZE, FALSE, 0)) {
            return LastSystemError();
        }
        parent.Reset(self);
    }
    OwnedHandle stop(::CreateEventW(nullptr, TRUE, FALSE, nullptr));
    if (!stop.valid()) return LastSystemError();

    // This process's environment and the watcher's orders.
    std::wstring environment;
    if (wchar_t* block = ::GetEnvironmentStringsW()) {
        for (const wchar_t* at = block; *at != L'\0'; at += std::wcslen(at) + 1) {
            environment += at;
            environment += L'\0';
        }
        ::FreeEnvironmentStringsW(block);
    }
    environment += std::wstring(kWatcherVariable) + L"=" +
                   std::to_wstring(reinterpret_cast<uintptr_t>(parent.get())) + L";" +
                   std::to_wstring(reinterpret_cast<uintptr_t>(stop.get())) + L";" +
                   (entries.withPrefixed ? L"1;" : L"0;") + wideFolder + L"\n" + name;
    environment += L'\0';
    environment += L'\0';

    STARTUPINFOW startup{};
    startup.cb = sizeof startup;
    startup.dwFlags = STARTF_USESTDHANDLES;  // and none given: no streams at all
    const std::wstring commandLine = CommandLine({program});
    const DWORD flags = DETACHED_PROCESS | CREATE_NEW_PROCESS_GROUP;
    Expected<PROCESS_INFORMATION> started =
        StartProcess(program, commandLine, {parent.get(), stop.get()}, startup,
                     flags | CREATE_BREAKAWAY_FROM_JOB, &environment, nullptr);
    if (!started && started.error().cause == Cause::Denied) {
        // A job that may not be left: the watcher then ends with it (a job is ended on purpose).
        started = StartProcess(program, commandLine, {parent.get(), stop.get()}, startup, flags,
                               &environment, nullptr);
    }
    if (!started) return std::move(started).error();
    ::CloseHandle(started->hThread);
    return Watcher{FromNative(started->hProcess), FromNative(stop.Release())};
}

void StopWatcher(Watcher& watcher) noexcept {
    if (watcher.tie != kNoHandle) {
        ::SetEvent(Native(watcher.tie));
        ::CloseHandle(Native(watcher.tie));
    }
    watcher.tie = kNoHandle;
    if (watcher.process == kNoHandle) return;
    ::WaitForSingleObject(Native(watcher.process), INFINITE);
    ::CloseHandle(Native(watcher.process));
    watcher.process = kNoHandle;
}

Expected<std::string> CreateTemporaryFolder(const std::string& prefix) {
    KORVEL_ASSIGN_OR_RETURN(const std::wstring widePrefix, Wide(prefix));
    wchar_t base[MAX_PATH + 2];
    const DWORD length = ::GetTempPathW(std::size(base), base);
    if (length == 0 || length >= std::size(base)) return LastSystemError();
    static std::atomic<unsigned> counter{0};
    LARGE_INTEGER now{};
    ::QueryPerformanceCounter(&now);
    uint64_t seed = static_cast<uint64_t>(now.QuadPart) ^
                    (static_cast<uint64_t>(::GetCurrentProcessId()) << 32);
    constexpr wchar_t kLetters[] = L"abcdefghijklmnopqrstuvwxyz0123456789";
    std::wstring path;
    for (int attempt = 0; attempt < kFolderTries; ++attempt) {
        // A new name at every try: six letters of a mixed counter, time and process number.
        seed = (seed + counter.fetch_add(1) + 0x9E3779B97F4A7C15ull) * 0xBF58476D1CE4E5B9ull;
        std::wstring suffix;
        uint64_t bits = seed ^ (seed >> 31);
        for (int i = 0; i < 6; ++i, bits /= 36) suffix += kLetters[bits % 36];
        path = std::wstring(base, length) + widePrefix + suffix;
        if (::CreateDirectoryW(path.c_str(), nullptr)) return Narrow(path);
        if (::GetLastError() != ERROR_ALREADY_EXISTS) break;
    }
    Error error = LastSystemError();
    error.message = Narrow(path) + ": " + error.message;
    return error;
}

void RemoveFolder(const std::string& folder, const FolderEntries& entries) noexcept {
    const Expected<std::wstring> wideFolder = Wide(folder);
    const Expected<std::wstring> name = Wide(entries.name);
    if (!wideFolder || !name) return;
    RemoveEntries(*wideFolder, *name, entries.withPrefixed);
    ::RemoveDirectoryW(wideFolder->c_str());
}

}  // namespace korvel::base::os
