// Files, pipes and devices on Windows: handles that are never inherited unless a child is started
// with them, opened for sharing as POSIX files are (another program may read, write, rename or
// delete the file meanwhile), and always binary.
#include <windows.h>

#include <algorithm>
#include <mutex>
#include <unordered_set>

#include "handle.h"
#include "os.h"
#include "system_error.h"

namespace korvel::base::os {
namespace {

constexpr DWORD kShareAll = FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE;
constexpr DWORD kLargestTransfer = 1u << 30;  // one ReadFile or WriteFile at most

// Anonymous pipes cannot be read without waiting: the handles whose reads must not wait are kept
// here, and such a read first looks at what the pipe holds.
std::mutex g_notWaitingMutex;
std::unordered_set<Handle> g_notWaiting;

bool IsNotWaiting(Handle file) {
    const std::lock_guard lock(g_notWaitingMutex);
    return g_notWaiting.count(file) != 0;
}

// Where no lock reaches real data: Windows' locks are mandatory for the bytes they cover, so
// the lock covers one byte far past the end of any file, which makes it advisory in effect.
constexpr DWORD kLockOffsetHigh = 0x7FFFFFFF;
constexpr DWORD kLockOffsetLow = 0xFFFFFFF0;

FileKind KindOfType(DWORD type) {
    switch (type) {
        case FILE_TYPE_CHAR:
            return FileKind::CharacterDevice;
        case FILE_TYPE_PIPE:
            return FileKind::Fifo;
        default:
            return FileKind::Other;
    }
}

Error NoDataYet() {
    return Error(kFailureCode, "nothing to read yet", {}, Cause::WouldBlock);
}

}  // namespace

Expected<Handle> Open(const std::string& path, FileAccess access, bool wait) {
    KORVEL_ASSIGN_OR_RETURN(const std::wstring name, Wide(path));
    DWORD desired = 0;
    DWORD disposition = OPEN_EXISTING;
    // Folders open too (to be told apart from files afterwards), as on POSIX systems.
    DWORD flags = FILE_ATTRIBUTE_NORMAL | FILE_FLAG_BACKUP_SEMANTICS;
    switch (access) {
        case FileAccess::Read:
            desired = GENERIC_READ;
            break;
        case FileAccess::ReadWrite:
            desired = GENERIC_READ | GENERIC_WRITE;
            break;
        case FileAccess::Create:
            desired = GENERIC_WRITE;
            disposition = CREATE_ALWAYS;
            flags = FILE_ATTRIBUTE_NORMAL;
            break;
        case FileAccess::Append:
            // Only appending: every write lands at the end, whoever else writes meanwhile.
            desired = FILE_APPEND_DATA | SYNCHRONIZE | FILE_READ_ATTRIBUTES;
            disposition = OPEN_ALWAYS;
            flags = FILE_ATTRIBUTE_NORMAL;
            break;
    }
    HANDLE handle =
        ::CreateFileW(name.c_str(), desired, kShareAll, nullptr, disposition, flags, nullptr);
    if (handle == INVALID_HANDLE_VALUE) {
        const DWORD error = ::GetLastError();
        const DWORD attributes = ::GetFileAttributesW(name.c_str());
        if (error == ERROR_ACCESS_DENIED && attributes != INVALID_FILE_ATTRIBUTES &&
            (attributes & FILE_ATTRIBUTE_DIRECTORY) != 0) {
            Error failure = SystemError(error);
            failure.cause = Cause::IsDirectory;
            return failure;
        }
        return SystemError(error);
    }
    if (access == FileAccess::Read && !wait && ::GetFileType(handle) == FILE_TYPE_PIPE) {
        const std::lock_guard lock(g_notWaitingMutex);
        g_notWaiting.insert(FromNative(handle));
    }
    return FromNative(handle);
}

Handle Standard(StandardStream stream) {
    DWORD which = STD_INPUT_HANDLE;
    if (stream == StandardStream::Output) which = STD_OUTPUT_HANDLE;
    if (stream == StandardStream::Errors) which = STD_ERROR_HANDLE;
    HANDLE handle = ::GetStdHandle(which);
    return handle == nullptr ? kNoHandle : FromNative(handle);
}

Expected<Handle> Duplicate(StandardStream stream) {
    const Handle standard = Standard(stream);
    if (standard == kNoHandle) return SystemError(ERROR_INVALID_HANDLE);
    HANDLE copy = nullptr;
    if (!::DuplicateHandle(::GetCurrentProcess(), Native(standard), ::GetCurrentProcess(), &copy, 0,
                           FALSE, DUPLICATE_SAME_ACCESS)) {
        return LastSystemError();
    }
    return FromNative(copy);
}

Expected<FileInfo> Info(Handle file) {
    HANDLE handle = Native(file);
    const DWORD type = ::GetFileType(handle);
    if (type == FILE_TYPE_UNKNOWN && ::GetLastError() != NO_ERROR) return LastSystemError();
    if (type != FILE_TYPE_DISK) return FileInfo{KindOfType(type), 0};
    BY_HANDLE_FILE_INFORMATION info{};
    if (!::GetFileInformationByHandle(handle, &info)) return LastSystemError();
    if ((info.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) != 0) {
        return FileInfo{FileKind::Directory, 0};
    }
    return FileInfo{FileKind::Regular,
                    (static_cast<uint64_t>(info.nFileSizeHigh) << 32) | info.nFileSizeLow};
}

namespace {

// Opens `path` only to look at it: no access to its bytes, so that nothing is held against
// other programs; links are followed.
Expected<OwnedHandle> OpenToLook(const std::string& path) {
    KORVEL_ASSIGN_OR_RETURN(const std::wstring name, Wide(path));
    HANDLE handle = ::CreateFileW(name.c_str(), FILE_READ_ATTRIBUTES, kShareAll, nullptr,
                                  OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr);
    if (handle == INVALID_HANDLE_VALUE) return LastSystemError();
    return OwnedHandle(handle);
}

bool IsPipeName(const std::string& path) {
    // A named pipe is not opened to be looked at: that would take one of its instances.
    auto lower = [](char c) { return c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c; };
    const std::string prefix = "\\\\.\\pipe\\";
    if (path.size() <= prefix.size()) return false;
    for (size_t i = 0; i < prefix.size(); ++i) {
        if (lower(path[i]) != prefix[i] && !(prefix[i] == '\\' && path[i] == '/')) return false;
    }
    return true;
}

}  // namespace

Expected<FileInfo> InfoOf(const std::string& path) {
    if (IsPipeName(path)) return FileInfo{FileKind::Fifo, 0};
    KORVEL_ASSIGN_OR_RETURN(const OwnedHandle handle, OpenToLook(path));
    return Info(FromNative(handle.get()));
}

Expected<bool> NamesSameFile(const std::string& path, Handle file) {
    BY_HANDLE_FILE_INFORMATION open{};
    if (!::GetFileInformationByHandle(Native(file), &open)) return LastSystemError();
    Expected<OwnedHandle> named = OpenToLook(path);
    if (!named) {
        if (named.error().cause == Cause::NotFound) return false;
        return std::move(named).error();
    }
    BY_HANDLE_FILE_INFORMATION now{};
    if (!::GetFileInformationByHandle(named->get(), &now)) return LastSystemError();
    return now.dwVolumeSerialNumber == open.dwVolumeSerialNumber &&
           now.nFileIndexHigh == open.nFileIndexHigh && now.nFileIndexLow == open.nFileIndexLow;
}

Expected<size_t> Read(Handle file, std::span<uint8_t> buffer) {
    HANDLE handle = Native(file);
    DWORD wanted = static_cast<DWORD>(std::min<size_t>(buffer.size(), kLargestTransfer));
    if (IsNotWaiting(file)) {
        DWORD available = 0;
        if (!::PeekNamedPipe(handle, nullptr, 0, nullptr, &available, nullptr)) {
            const DWORD error = ::GetLastError();
            if (error == ERROR_BROKEN_PIPE) return size_t{0};
            return SystemError(error);
        }
        if (available == 0) return NoDataYet();
        wanted = std::min(wanted, available);
    }
    DWORD got = 0;
    if (!::ReadFile(handle, buffer.data(), wanted, &got, nullptr)) {
        const DWORD error = ::GetLastError();
        // The writer's end closed, or the end of the file: the end, as POSIX reads it.
        if (error == ERROR_BROKEN_PIPE || error == ERROR_HANDLE_EOF) return size_t{0};
        return SystemError(error);
    }
    return static_cast<size_t>(got);
}

Expected<size_t> Write(Handle file, std::span<const uint8_t> bytes) {
    const DWORD wanted = static_cast<DWORD>(std::min<size_t>(bytes.size(), kLargestTransfer));
    DWORD put = 0;
    if (!::WriteFile(Native(file), bytes.data(), wanted, &put, nullptr)) {
        const DWORD error = ::GetLastError();
        // A pipe whose reader has gone says "being closed": the broken pipe it is.
        return SystemError(error == ERROR_NO_DATA ? ERROR_BROKEN_PIPE : error);
    }
    if (put == 0 && wanted > 0) return SystemError(ERROR_WRITE_FAULT);  // never loop on it
    return static_cast<size_t>(put);
}

Expected<void> SetWaiting(Handle file, bool wait) {
    const std::lock_guard lock(g_notWaitingMutex);
    if (wait) {
        g_notWaiting.erase(file);
    } else if (::GetFileType(Native(file)) == FILE_TYPE_PIPE) {
        g_notWaiting.insert(file);
    }
    return {};
}

Expected<void> Flush(Handle file) {
    // Only a file on a disk: on a pipe FlushFileBuffers waits until the reader has read it all.
    if (::GetFileType(Native(file)) != FILE_TYPE_DISK) return {};
    if (!::FlushFileBuffers(Native(file))) {
        const DWORD error = ::GetLastError();
        // A console or a pipe has nothing to flush to a disk.
        if (error == ERROR_INVALID_HANDLE || error == ERROR_INVALID_FUNCTION) return {};
        return SystemError(error);
    }
    return {};
}

Expected<void> Close(Handle file) {
    {
        const std::lock_guard lock(g_notWaitingMutex);
        g_notWaiting.erase(file);
    }
    if (!::CloseHandle(Native(file))) return LastSystemError();
    return {};
}

Expected<bool> TryLock(Handle file) {
    // Held by the open file (the handle), not the process: two opens in one process exclude
    // each other too.
    OVERLAPPED at{};
    at.Offset = kLockOffsetLow;
    at.OffsetHigh = kLockOffsetHigh;
    if (::LockFileEx(Native(file), LOCKFILE_EXCLUSIVE_LOCK | LOCKFILE_FAIL_IMMEDIATELY, 0, 1, 0,
                     &at)) {
        return true;
    }
    const DWORD error = ::GetLastError();
    if (error == ERROR_LOCK_VIOLATION || error == ERROR_IO_PENDING) return false;
    return SystemError(error);
}

Expected<Mapping> Map(Handle file, size_t length) {
    const OwnedHandle mapping(
        ::CreateFileMappingW(Native(file), nullptr, PAGE_READONLY, 0, 0, nullptr));
    if (!mapping.valid()) return LastSystemError();
    // The view keeps the mapping alive after its handle is closed.
    const void* view = ::MapViewOfFile(mapping.get(), FILE_MAP_READ, 0, 0, length);
    if (view == nullptr) return LastSystemError();
    return Mapping{static_cast<const uint8_t*>(view), length};
}

void Unmap(const Mapping& mapping) noexcept {
    ::UnmapViewOfFile(mapping.data);
}

// Windows refuses to cut a file shorter while a view of it is mapped (ERROR_USER_MAPPED_FILE):
// the bytes mapped stay readable, and there is nothing to guard against.
void GuardMappings(const std::string&, int) noexcept {}

void UnguardMappings() noexcept {}

}  // namespace korvel::base::os
