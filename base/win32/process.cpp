// Child processes on Windows. A child inherits exactly its three streams (a list of handles given
// to CreateProcessW, under one lock); its command line is quoted so that it gets the arguments as
// they were given. Windows has no signals: a stop this process asked for is remembered, and a
// child that ends of it reports the signal of the same request on POSIX systems (Kill: 9), as
// callers tell a stopped child from one that failed; any other end is an exit code. A child that
// is to end with this process goes into a job object that kills its processes once its last
// handle, which only this process holds, is closed: however this process ends.
#include <windows.h>

#include <algorithm>
#include <cstdio>
#include <map>
#include <memory>

#include "handle.h"
#include "os.h"
#include "system_error.h"

namespace korvel::base::os {
namespace {

// The POSIX numbers of the stop requests, which ExitStatus carries.
constexpr int kInterruptSignal = 2;
constexpr int kKillSignal = 9;
constexpr int kTerminateSignal = 15;
// What a child ended by TerminateProcess exits with: 128 + the signal, as a POSIX shell shows it.
constexpr UINT kStoppedBase = 128;
// What a console program ended by Ctrl-C or Ctrl-Break exits with (STATUS_CONTROL_C_EXIT).
constexpr DWORD kControlCExit = 0xC000013A;

struct Record {
    DWORD id = 0;
    bool ownGroup = false;
    int stoppedBy = 0;  // the signal of the stop asked for; 0 when none was
};

std::mutex g_childrenMutex;
std::map<Handle, Record> g_children;

int SignalOf(StopRequest request) {
    switch (request) {
        case StopRequest::Interrupt:
            return kInterruptSignal;
        case StopRequest::Terminate:
            return kTerminateSignal;
        case StopRequest::Kill:
            break;
    }
    return kKillSignal;
}

// The job whose processes end with this one. Its handle is never closed here and never
// inherited: the system closes it when this process ends, and that ends them.
Expected<HANDLE> EndingJob() {
    static std::mutex mutex;
    static HANDLE job = nullptr;
    const std::lock_guard lock(mutex);
    if (job != nullptr) return job;
    OwnedHandle made(::CreateJobObjectW(nullptr, nullptr));
    if (!made.valid()) return LastSystemError();
    JOBOBJECT_EXTENDED_LIMIT_INFORMATION limits{};
    limits.BasicLimitInformation.LimitFlags =
        JOB_OBJECT_LIMIT_KILL_ON_JOB_CLOSE | JOB_OBJECT_LIMIT_BREAKAWAY_OK;
    if (!::SetInformationJobObject(made.get(), JobObjectExtendedLimitInformation, &limits,
                                   sizeof limits)) {
        return LastSystemError();
    }
    job = made.Release();
    return job;
}

// An inheritable-to-be handle for a child's stream: opened here, closed once the child has it.
Expected<OwnedHandle> OpenForChild(const std::wstring& path, bool write, DWORD disposition) {
    HANDLE handle = ::CreateFileW(path.c_str(), write ? GENERIC_WRITE : GENERIC_READ,
                                  FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                                  disposition, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (handle == INVALID_HANDLE_VALUE) return LastSystemError();
    return OwnedHandle(handle);
}

// This process's own stream, for a child to inherit; null when there is none (a program
// without a console).
Expected<OwnedHandle> CopyOfStandard(DWORD which) {
    HANDLE standard = ::GetStdHandle(which);
    if (standard == nullptr || standard == INVALID_HANDLE_VALUE) return OwnedHandle();
    HANDLE copy = nullptr;
    if (!::DuplicateHandle(::GetCurrentProcess(), standard, ::GetCurrentProcess(), &copy, 0, FALSE,
                           DUPLICATE_SAME_ACCESS)) {
        return OwnedHandle();  // a stream that cannot be handed on is left out, as a closed one
    }
    return OwnedHandle(copy);
}

// Where a child's output or error goes; `readEnd` gets the pipe's end for this process.
Expected<OwnedHandle> StreamFor(const Output& output, DWORD which, OwnedHandle& readEnd) {
    switch (output.to) {
        case Output::To::Inherit:
            return CopyOfStandard(which);
        case Output::To::Null:
            return OpenForChild(L"NUL", true, OPEN_EXISTING);
        case Output::To::File: {
            KORVEL_ASSIGN_OR_RETURN(const std::wstring path, Wide(output.path));
            return OpenForChild(path, true, CREATE_ALWAYS);
        }
        case Output::To::Pipe: {
            HANDLE read = nullptr;
            HANDLE write = nullptr;
            if (!::CreatePipe(&read, &write, nullptr, 0)) return LastSystemError();
            readEnd.Reset(read);
            return OwnedHandle(write);
        }
    }
    return OwnedHandle();
}

bool LessIgnoringCase(const std::wstring& a, const std::wstring& b) {
    return ::CompareStringOrdinal(a.c_str(), static_cast<int>(a.size()), b.c_str(),
                                  static_cast<int>(b.size()), TRUE) == CSTR_LESS_THAN;
}

std::wstring NameOf(const std::wstring& entry) {
    // "=C:=C:\work" is the current folder of drive C:, its name "=C:".
    const size_t equals = entry.find(L'=', 1);
    return entry.substr(0, equals == std::wstring::npos ? entry.size() : equals);
}

// The environment block of a child: this process's (unless only the given ones), the given
// variables replacing those of the same name (names are not case-sensitive on Windows), sorted.
Expected<std::wstring> EnvironmentBlock(const SpawnOptions& options) {
    std::vector<std::wstring> entries;
    if (!options.environmentOnly) {
        wchar_t* block = ::GetEnvironmentStringsW();
        if (block != nullptr) {
            for (const wchar_t* at = block; *at != L'\0'; at += std::wcslen(at) + 1) {
                entries.emplace_back(at);
            }
            ::FreeEnvironmentStringsW(block);
        }
    }
    for (const auto& [name, value] : options.environment) {
        KORVEL_ASSIGN_OR_RETURN(const std::wstring wideName, Wide(name));
        KORVEL_ASSIGN_OR_RETURN(const std::wstring wideValue, Wide(value));
        std::erase_if(entries, [&](const std::wstring& entry) {
            const std::wstring other = NameOf(entry);
            return ::CompareStringOrdinal(other.c_str(), static_cast<int>(other.size()),
                                          wideName.c_str(), static_cast<int>(wideName.size()),
                                          TRUE) == CSTR_EQUAL;
        });
        entries.push_back(wideName + L"=" + wideValue);
    }
    std::stable_sort(entries.begin(), entries.end(),
                     [](const std::wstring& a, const std::wstring& b) {
                         return LessIgnoringCase(NameOf(a), NameOf(b));
                     });
    std::wstring block;
    for (const std::wstring& entry : entries) {
        block += entry;
        block += L'\0';
    }
    if (entries.empty()) block += L'\0';
    block += L'\0';
    return block;
}

// Whether the process `id` is on this process's console: the console's events reach only those.
bool SharesTheConsole(DWORD id) {
    std::vector<DWORD> attached(64);
    for (;;) {
        const DWORD count =
            ::GetConsoleProcessList(attached.data(), static_cast<DWORD>(attached.size()));
        if (count == 0) return false;
        if (count <= attached.size()) {
            return std::find(attached.begin(), attached.begin() + count, id) !=
                   attached.begin() + count;
        }
        attached.resize(count);
    }
}

}  // namespace

std::mutex& InheritanceLock() {
    static std::mutex lock;
    return lock;
}

std::wstring CommandLine(const std::vector<std::wstring>& arguments) {
    std::wstring line;
    for (const std::wstring& argument : arguments) {
        if (!line.empty()) line += L' ';
        if (!argument.empty() && argument.find_first_of(L" \t\n\v\"") == std::wstring::npos) {
            line += argument;
            continue;
        }
        line += L'"';
        size_t backslashes = 0;
        for (const wchar_t c : argument) {
            if (c == L'\\') {
                ++backslashes;
                continue;
            }
            // Backslashes count only before a quote: doubled there, and the quote escaped.
            line.append(c == L'"' ? backslashes * 2 + 1 : backslashes, L'\\');
            backslashes = 0;
            line += c;
        }
        line.append(backslashes * 2, L'\\');  // before the closing quote
        line += L'"';
    }
    return line;
}

Expected<PROCESS_INFORMATION> StartProcess(const std::wstring& program,
                                           const std::wstring& commandLine,
                                           std::vector<HANDLE> inherited, STARTUPINFOW startup,
                                           DWORD creationFlags, std::wstring* environment,
                                           const std::wstring* directory) {
    std::erase_if(inherited, [](HANDLE h) { return h == nullptr || h == INVALID_HANDLE_VALUE; });
    std::sort(inherited.begin(), inherited.end());
    inherited.erase(std::unique(inherited.begin(), inherited.end()), inherited.end());

    STARTUPINFOEXW extended{};
    extended.StartupInfo = startup;
    extended.StartupInfo.cb = sizeof extended;
    SIZE_T size = 0;
    ::InitializeProcThreadAttributeList(nullptr, 1, 0, &size);
    auto storage = std::make_unique<unsigned char[]>(size);
    auto* attributes = reinterpret_cast<LPPROC_THREAD_ATTRIBUTE_LIST>(storage.get());
    const bool listed =
        !inherited.empty() && ::InitializeProcThreadAttributeList(attributes, 1, 0, &size);
    if (listed) {
        if (::UpdateProcThreadAttribute(attributes, 0, PROC_THREAD_ATTRIBUTE_HANDLE_LIST,
                                        inherited.data(), inherited.size() * sizeof(HANDLE),
                                        nullptr, nullptr)) {
            extended.lpAttributeList = attributes;
            creationFlags |= EXTENDED_STARTUPINFO_PRESENT;
        }
    }
    std::wstring line = commandLine;  // CreateProcessW may write into it
    PROCESS_INFORMATION started{};
    DWORD error = NO_ERROR;
    {
        const std::lock_guard lock(InheritanceLock());
        std::vector<DWORD> previous(inherited.size(), 0);
        for (size_t i = 0; i < inherited.size(); ++i) {
            ::GetHandleInformation(inherited[i], &previous[i]);
            ::SetHandleInformation(inherited[i], HANDLE_FLAG_INHERIT, HANDLE_FLAG_INHERIT);
        }
        if (!::CreateProcessW(
                program.c_str(), line.data(), nullptr, nullptr, inherited.empty() ? FALSE : TRUE,
                creationFlags | (environment ? CREATE_UNICODE_ENVIRONMENT : 0),
                environment ? environment->data() : nullptr,
                directory ? directory->c_str() : nullptr, &extended.StartupInfo, &started)) {
            error = ::GetLastError();
        }
        for (size_t i = 0; i < inherited.size(); ++i) {
            ::SetHandleInformation(inherited[i], HANDLE_FLAG_INHERIT,
                                   previous[i] & HANDLE_FLAG_INHERIT);
        }
    }
    if (listed) ::DeleteProcThreadAttributeList(attributes);
    if (error != NO_ERROR) return SystemError(error);
    return started;
}

Expected<Spawned> Spawn(const SpawnOptions& options) {
    KORVEL_ASSIGN_OR_RETURN(const std::wstring program, Wide(options.program));
    std::vector<std::wstring> arguments;
    for (const std::string& argument : options.arguments) {
        KORVEL_ASSIGN_OR_RETURN(std::wstring wide, Wide(argument));
        arguments.push_back(std::move(wide));
    }
    std::wstring directory;
    if (!options.directory.empty()) {
        KORVEL_ASSIGN_OR_RETURN(directory, Wide(options.directory));
    }
    std::wstring environment;
    const bool ownEnvironment = options.environmentOnly || !options.environment.empty();
    if (ownEnvironment) {
        KORVEL_ASSIGN_OR_RETURN(environment, EnvironmentBlock(options));
    }

    OwnedHandle input;
    if (options.nullInput) {
        KORVEL_ASSIGN_OR_RETURN(input, OpenForChild(L"NUL", false, OPEN_EXISTING));
    } else {
        KORVEL_ASSIGN_OR_RETURN(input, CopyOfStandard(STD_INPUT_HANDLE));
    }
    OwnedHandle outputRead;
    OwnedHandle errorsRead;
    KORVEL_ASSIGN_OR_RETURN(OwnedHandle output,
                            StreamFor(options.output, STD_OUTPUT_HANDLE, outputRead));
    KORVEL_ASSIGN_OR_RETURN(OwnedHandle errors,
                            StreamFor(options.errors, STD_ERROR_HANDLE, errorsRead));

    STARTUPINFOW startup{};
    startup.cb = sizeof startup;
    startup.dwFlags = STARTF_USESTDHANDLES;
    startup.hStdInput = input.valid() ? input.get() : nullptr;
    startup.hStdOutput = output.valid() ? output.get() : nullptr;
    startup.hStdError = errors.valid() ? errors.get() : nullptr;

    Expected<HANDLE> job = options.endWithParent ? EndingJob() : Expected<HANDLE>(nullptr);
    if (!job) return std::move(job).error();
    // Put into the job before it runs a single instruction: nothing it starts escapes it.
    DWORD flags = options.endWithParent ? CREATE_SUSPENDED : 0;
    if (options.ownGroup) flags |= CREATE_NEW_PROCESS_GROUP;
    KORVEL_ASSIGN_OR_RETURN(const PROCESS_INFORMATION started,
                            StartProcess(program, CommandLine(arguments),
                                         {startup.hStdInput, startup.hStdOutput, startup.hStdError},
                                         startup, flags, ownEnvironment ? &environment : nullptr,
                                         directory.empty() ? nullptr : &directory));
    OwnedHandle process(started.hProcess);
    const OwnedHandle thread(started.hThread);
    if (options.endWithParent) {
        if (!::AssignProcessToJobObject(*job, process.get())) {
            const Error error = LastSystemError();
            ::TerminateProcess(process.get(), kStoppedBase + kKillSignal);
            ::WaitForSingleObject(process.get(), INFINITE);
            return error;
        }
        ::ResumeThread(thread.get());
    }

    Spawned spawned;
    spawned.process = FromNative(process.Release());
    spawned.id = started.dwProcessId;
    if (outputRead.valid()) {
        spawned.output = FromNative(outputRead.Release());
        (void)SetWaiting(spawned.output, false);
    }
    if (errorsRead.valid()) {
        spawned.errors = FromNative(errorsRead.Release());
        (void)SetWaiting(spawned.errors, false);
    }
    const std::lock_guard lock(g_childrenMutex);
    g_children[spawned.process] = Record{started.dwProcessId, options.ownGroup, 0};
    return spawned;
}

Expected<std::optional<ExitStatus>> Reap(Handle process, bool wait) {
    const DWORD waited = ::WaitForSingleObject(Native(process), wait ? INFINITE : 0);
    if (waited == WAIT_TIMEOUT) return std::optional<ExitStatus>();
    if (waited == WAIT_FAILED) return LastSystemError();
    DWORD code = 0;
    if (!::GetExitCodeProcess(Native(process), &code)) return LastSystemError();
    Record record;
    {
        const std::lock_guard lock(g_childrenMutex);
        if (auto found = g_children.find(process); found != g_children.end()) {
            record = found->second;
            g_children.erase(found);
        }
    }
    ::CloseHandle(Native(process));
    if (record.stoppedBy != 0 &&
        (code == kStoppedBase + static_cast<UINT>(record.stoppedBy) || code == kControlCExit)) {
        return std::optional(ExitStatus::EndedBy(record.stoppedBy));
    }
    return std::optional(ExitStatus::Exited(static_cast<int>(code)));
}

Expected<void> Stop(Handle process, StopRequest request) {
    const int signal = SignalOf(request);
    Record* record = nullptr;
    std::unique_lock lock(g_childrenMutex);
    if (auto found = g_children.find(process); found != g_children.end()) record = &found->second;
    if (record != nullptr) record->stoppedBy = signal;
    // Politely only where Windows has a way: Ctrl-Break to a child of a console group of its own,
    // which it may catch and clean up after. Everything else is ended at once.
    if (request != StopRequest::Kill && record != nullptr && record->ownGroup &&
        SharesTheConsole(record->id) && ::GenerateConsoleCtrlEvent(CTRL_BREAK_EVENT, record->id)) {
        return {};
    }
    lock.unlock();
    if (!::TerminateProcess(Native(process), kStoppedBase + static_cast<UINT>(signal))) {
        const DWORD error = ::GetLastError();
        // Already ended: nothing left to stop.
        if (::WaitForSingleObject(Native(process), 0) == WAIT_OBJECT_0) return {};
        return SystemError(error);
    }
    return {};
}

Expected<std::string> HostName() {
    std::wstring name(MAX_COMPUTERNAME_LENGTH + 1, L'\0');
    for (;;) {
        DWORD length = static_cast<DWORD>(name.size());
        if (::GetComputerNameExW(ComputerNameDnsHostname, name.data(), &length)) {
            name.resize(length);
            return Narrow(name);
        }
        if (::GetLastError() != ERROR_MORE_DATA || length <= name.size()) {
            return LastSystemError();
        }
        name.resize(length);  // the length it needs, its end included
    }
}

Expected<std::string> CurrentProgram() {
    std::wstring path(MAX_PATH, L'\0');
    for (;;) {
        const DWORD length =
            ::GetModuleFileNameW(nullptr, path.data(), static_cast<DWORD>(path.size()));
        if (length == 0) return LastSystemError();
        if (length < path.size()) {
            path.resize(length);
            return Narrow(path);
        }
        path.resize(path.size() * 2);
    }
}

namespace {

// While this process waits for the one run instead of it, the console's events are that one's
// to act on: this one outlives them to pass its exit code on.
BOOL WINAPI LeaveToTheOther(DWORD event) {
    return event == CTRL_C_EVENT || event == CTRL_BREAK_EVENT ? TRUE : FALSE;
}

}  // namespace

Error RunInstead(const std::string& program, const std::vector<std::string>& arguments) {
    // Windows cannot put another program in this process's place: it runs as a child with this
    // process's streams, ends with it, and this process ends with its exit code.
    SpawnOptions options;
    options.program = program;
    options.arguments = arguments;
    options.endWithParent = true;
    Expected<Spawned> spawned = Spawn(options);
    if (!spawned) return std::move(spawned).error();
    ::SetConsoleCtrlHandler(LeaveToTheOther, TRUE);
    const DWORD waited = ::WaitForSingleObject(Native(spawned->process), INFINITE);
    DWORD code = 1;
    if (waited != WAIT_OBJECT_0 || !::GetExitCodeProcess(Native(spawned->process), &code)) {
        code = 1;
    }
    std::fflush(nullptr);
    ::ExitProcess(code);
}

std::string SignalName(int signal) {
    switch (signal) {
        case kInterruptSignal:
            return "Interrupt";
        case kKillSignal:
            return "Killed";
        case kTerminateSignal:
            return "Terminated";
        default:
            break;
    }
    // Windows has no signals; an exception's code, which ends a process as its exit code, is the
    // nearest thing.
    const auto code = static_cast<uint32_t>(signal);
    if ((code & 0xF0000000u) == 0xC0000000u) {
        char text[32];
        std::snprintf(text, sizeof text, "exception 0x%08X", static_cast<unsigned>(code));
        return text;
    }
    return "-";
}

}  // namespace korvel::base::os
