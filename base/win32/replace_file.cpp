// Whole-file replacement on Windows, which has no unnamed files: the bytes go to a temporary file
// beside the target, which is flushed to the disk and then takes the target's place, by
// ReplaceFileW when the target exists (it keeps the target's attributes, its security and its
// streams) and by MoveFileExW with MOVEFILE_WRITE_THROUGH when it does not. A failure removes the
// temporary file and leaves the target as it was; only the end of the process between the two
// (TerminateProcess, a crash) can leave the temporary file, whose name starts with the target's
// so that a watcher removing "file*" takes it. A symbolic link (or junction) is followed to the
// file it leads to, which is replaced in its own folder; a link to nothing is refused, since
// Windows does not say where it leads without it. Devices and named pipes are written in place.
#include <windows.h>

#include <atomic>
#include <cstdio>
#include <optional>
#include <utility>

#include "handle.h"
#include "os.h"
#include "system_error.h"

namespace korvel::base::os {
namespace {

constexpr unsigned kNameTries = 100;  // names tried for a temporary file before giving up
constexpr DWORD kLargestWrite = 1u << 30;
// What a program may set of a file's attributes, and what a replaced file keeps.
constexpr DWORD kSettableAttributes = FILE_ATTRIBUTE_READONLY | FILE_ATTRIBUTE_HIDDEN |
                                      FILE_ATTRIBUTE_SYSTEM | FILE_ATTRIBUTE_ARCHIVE |
                                      FILE_ATTRIBUTE_NOT_CONTENT_INDEXED;

struct Target {
    std::string path;   // as given
    std::string file;   // where the links lead
    std::string shown;  // "path" or "path (a link to file)"
};

// A temporary file of ours, removed unless it has taken the target's place.
class TemporaryName {
  public:
    TemporaryName() = default;
    ~TemporaryName() {
        if (path_.empty()) return;
        ::SetFileAttributesW(path_.c_str(), FILE_ATTRIBUTE_NORMAL);  // a read-only one too
        ::DeleteFileW(path_.c_str());
    }
    TemporaryName(const TemporaryName&) = delete;
    TemporaryName& operator=(const TemporaryName&) = delete;
    void Set(std::wstring path) { path_ = std::move(path); }
    const std::wstring& path() const { return path_; }
    void Release() { path_.clear(); }

  private:
    std::wstring path_;
};

Error Failure(const Target& target, const std::string& what, DWORD error, std::string hint) {
    const std::string words = SystemText(error);
    Error failure(kFailureCode, what + " " + target.shown + ": " + words, std::move(hint),
                  CauseOf(error));
    failure.detail = words;
    return failure;
}

Error WriteFailure(const Target& target, DWORD error) {
    return Failure(target, "cannot write", error,
                   CauseOf(error) == Cause::NoSpace
                       ? "check the free space; " + target.path + " is unchanged"
                       : target.path + " is unchanged");
}

Error CreateFailure(const Target& target, DWORD error) {
    const std::string words = SystemText(error);
    Error failure(kFailureCode, "cannot create a file next to " + target.shown + ": " + words,
                  "check that its folder exists and is writable", CauseOf(error));
    failure.detail = words;
    return failure;
}

bool IsPipeName(const std::wstring& path) {
    return path.size() > 9 &&
           ::CompareStringOrdinal(path.c_str(), 9, L"\\\\.\\pipe\\", 9, TRUE) == CSTR_EQUAL;
}

// The path the system reaches through `handle`, as a program would write it.
std::optional<std::wstring> FinalPath(HANDLE handle) {
    std::wstring path(MAX_PATH, L'\0');
    for (int tries = 0; tries < 2; ++tries) {
        const DWORD length =
            ::GetFinalPathNameByHandleW(handle, path.data(), static_cast<DWORD>(path.size()), 0);
        if (length == 0) return std::nullopt;
        if (length < path.size()) {
            path.resize(length);
            if (path.rfind(L"\\\\?\\UNC\\", 0) == 0) return L"\\" + path.substr(7);
            if (path.rfind(L"\\\\?\\", 0) == 0) return path.substr(4);
            return path;
        }
        path.resize(length);
    }
    return std::nullopt;
}

bool WriteAll(HANDLE handle, std::span<const uint8_t> bytes, DWORD& error) {
    while (!bytes.empty()) {
        DWORD put = 0;
        const auto wanted = static_cast<DWORD>(std::min<size_t>(bytes.size(), kLargestWrite));
        if (!::WriteFile(handle, bytes.data(), wanted, &put, nullptr)) {
            error = ::GetLastError();
            return false;
        }
        if (put == 0) {
            error = ERROR_WRITE_FAULT;
            return false;
        }
        bytes = bytes.subspan(put);
    }
    return true;
}

// A device or a named pipe, written in place: never truncated, never replaced, never created.
Expected<void> WriteInPlace(const Target& target, const std::wstring& file,
                            std::span<const uint8_t> bytes) {
    const OwnedHandle handle(::CreateFileW(file.c_str(), GENERIC_WRITE,
                                           FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                                           OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr));
    if (!handle.valid()) {
        const DWORD error = ::GetLastError();
        if (IsPipeName(file) && (error == ERROR_PIPE_BUSY || error == ERROR_FILE_NOT_FOUND)) {
            return Error(kFailureCode,
                         "cannot write " + target.shown + ": it is a FIFO that nothing reads from",
                         "start its reader first, or give a regular file", Cause::Busy);
        }
        return Failure(target, "cannot write", error, {});
    }
    DWORD error = NO_ERROR;
    if (!WriteAll(handle.get(), bytes, error)) return Failure(target, "cannot write", error, {});
    return {};
}

// A name beside `file` that starts with its name, different at every call.
std::wstring SiblingName(const std::wstring& file, unsigned attempt) {
    static std::atomic<unsigned> counter{0};
    wchar_t suffix[64];
    std::swprintf(suffix, std::size(suffix), L".%lu-%u-%llx.tmp",
                  static_cast<unsigned long>(::GetCurrentProcessId()),
                  counter.fetch_add(1) + attempt,
                  static_cast<unsigned long long>(::GetTickCount64()));
    return file + suffix;
}

// The read-only attribute is what Windows has of the permission bits: a file nobody may write.
bool ReadOnlyMode(unsigned mode) {
    return (mode & 0222) == 0;
}

Expected<void> SetReadOnly(const Target& target, const std::wstring& file, bool readOnly) {
    const DWORD attributes = ::GetFileAttributesW(file.c_str());
    if (attributes == INVALID_FILE_ATTRIBUTES) return WriteFailure(target, ::GetLastError());
    const DWORD wanted = readOnly ? attributes | FILE_ATTRIBUTE_READONLY
                                  : attributes & ~static_cast<DWORD>(FILE_ATTRIBUTE_READONLY);
    if (wanted != attributes && !::SetFileAttributesW(file.c_str(), wanted)) {
        return WriteFailure(target, ::GetLastError());
    }
    return {};
}

}  // namespace

void UseUnnamedFiles(bool) noexcept {}  // Windows has none: always the named way

Expected<void> ReplaceWholeFile(const std::string& path, std::span<const uint8_t> bytes,
                                const ReplaceOptions& options) {
    Target target{path, path, path};
    Expected<std::wstring> given = Wide(path);
    if (!given) {
        return Error(kFailureCode, "cannot write " + path + ": the name is not valid UTF-8",
                     "give the file another name", Cause::BadInput);
    }
    std::wstring file = *given;
    if (IsPipeName(file)) return WriteInPlace(target, file, bytes);
    // A name rooted on the current drive ("\tmp\a.bin", "/tmp/a.bin") is given its drive for
    // every call below: ReplaceFileW does not take it everywhere (Wine refuses it with "directory
    // name invalid"). Other names stay as given: "NUL" would become the device path "\\.\NUL".
    const bool rootedWithoutDrive = !file.empty() && (file[0] == L'\\' || file[0] == L'/') &&
                                    !(file.size() > 1 && (file[1] == L'\\' || file[1] == L'/'));
    if (const DWORD length =
            rootedWithoutDrive ? ::GetFullPathNameW(file.c_str(), 0, nullptr, nullptr) : 0;
        length > 0) {
        std::wstring full(length, L'\0');
        const DWORD written = ::GetFullPathNameW(file.c_str(), length, full.data(), nullptr);
        if (written > 0 && written < length) {
            full.resize(written);
            file = std::move(full);
        }
    }

    bool exists = false;
    const DWORD attributes = ::GetFileAttributesW(file.c_str());
    if (attributes != INVALID_FILE_ATTRIBUTES || ::GetLastError() == ERROR_SHARING_VIOLATION) {
        // Opened only to look at it (links followed): what it is, and where a link leads.
        const OwnedHandle looked(
            ::CreateFileW(file.c_str(), FILE_READ_ATTRIBUTES,
                          FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                          OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr));
        if (!looked.valid()) {
            const DWORD error = ::GetLastError();
            const bool link = attributes != INVALID_FILE_ATTRIBUTES &&
                              (attributes & FILE_ATTRIBUTE_REPARSE_POINT) != 0;
            return Failure(target, "cannot write", error,
                           link ? "check its symbolic links" : path + " is unchanged");
        }
        if (attributes != INVALID_FILE_ATTRIBUTES &&
            (attributes & FILE_ATTRIBUTE_REPARSE_POINT) != 0) {
            if (const std::optional<std::wstring> final = FinalPath(looked.get())) {
                file = *final;
                target.file = Narrow(file);
                target.shown = path + " (a link to " + target.file + ")";
            }
        }
        KORVEL_ASSIGN_OR_RETURN(const FileInfo info, Info(FromNative(looked.get())));
        if (info.kind == FileKind::CharacterDevice || info.kind == FileKind::Fifo) {
            return WriteInPlace(target, file, bytes);
        }
        if (info.kind != FileKind::Regular) {
            return Error(
                kFailureCode,
                "cannot write " + target.shown + ": it is " + DescribeFileKind(info.kind),
                "give the name of a regular file",
                info.kind == FileKind::Directory ? Cause::IsDirectory : Cause::NotRegularFile);
        }
        exists = true;
    }

    TemporaryName temporary;
    const bool readOnly = ReadOnlyMode(options.forcedMode.value_or(options.newFileMode));
    OwnedHandle handle;
    for (unsigned attempt = 0; attempt < kNameTries && !handle.valid(); ++attempt) {
        const std::wstring name = SiblingName(file, attempt);
        // Shared with nobody while it is written: nothing reads a part of it.
        handle.Reset(::CreateFileW(name.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_NEW,
                                   FILE_ATTRIBUTE_NORMAL, nullptr));
        if (handle.valid()) {
            temporary.Set(name);
        } else if (::GetLastError() != ERROR_FILE_EXISTS) {
            return CreateFailure(target, ::GetLastError());
        }
    }
    if (!handle.valid()) return CreateFailure(target, ERROR_FILE_EXISTS);
    DWORD error = NO_ERROR;
    if (!WriteAll(handle.get(), bytes, error)) return WriteFailure(target, error);
    if (!::FlushFileBuffers(handle.get())) return WriteFailure(target, ::GetLastError());
    handle.Reset();

    if (!exists) {
        if (readOnly) KORVEL_TRY(SetReadOnly(target, temporary.path(), true));
        if (!::MoveFileExW(temporary.path().c_str(), file.c_str(),
                           MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH)) {
            return WriteFailure(target, ::GetLastError());
        }
        temporary.Release();
        return {};
    }
    // A read-only file is replaced as a POSIX one is (its bits guard its bytes, not its name)
    // and stays read-only; Windows would refuse to replace it.
    const DWORD kept = ::GetFileAttributesW(file.c_str()) & kSettableAttributes;
    if ((kept & FILE_ATTRIBUTE_READONLY) != 0) {
        ::SetFileAttributesW(file.c_str(), kept & ~static_cast<DWORD>(FILE_ATTRIBUTE_READONLY));
    }
    if (!::ReplaceFileW(file.c_str(), temporary.path().c_str(), nullptr,
                        REPLACEFILE_IGNORE_MERGE_ERRORS | REPLACEFILE_IGNORE_ACL_ERRORS, nullptr,
                        nullptr)) {
        error = ::GetLastError();
        if (error != ERROR_UNABLE_TO_MOVE_REPLACEMENT) {
            ::SetFileAttributesW(file.c_str(), kept ? kept : FILE_ATTRIBUTE_NORMAL);
            return WriteFailure(target, error);
        }
        // The old file is gone and the new one still has the temporary name: it takes the name
        // now, or stays where it is, named in the message; it is never removed.
        if (!::MoveFileExW(temporary.path().c_str(), file.c_str(),
                           MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH)) {
            const std::string moved = Narrow(temporary.path());
            temporary.Release();
            return Failure(target, "cannot write", ::GetLastError(),
                           "its new contents are in " + moved + ": rename that file");
        }
    }
    temporary.Release();
    // The attributes the file had (ReplaceFileW keeps them, not every implementation does), the
    // read-only one as forced.
    DWORD wanted = kept;
    if (options.forcedMode) {
        wanted = readOnly ? wanted | FILE_ATTRIBUTE_READONLY
                          : wanted & ~static_cast<DWORD>(FILE_ATTRIBUTE_READONLY);
    }
    if ((::GetFileAttributesW(file.c_str()) & kSettableAttributes) != wanted &&
        !::SetFileAttributesW(file.c_str(), wanted ? wanted : FILE_ATTRIBUTE_NORMAL)) {
        return WriteFailure(target, ::GetLastError());
    }
    return {};
}

}  // namespace korvel::base::os
