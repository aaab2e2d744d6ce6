#include "system_error.h"

#include <string>

#include "base/win32.h"
#include "handle.h"

namespace korvel::base::os {
namespace {

constexpr DWORD kDiskQuotaExceeded = 1295;  // ERROR_DISK_QUOTA_EXCEEDED, which MinGW lacks

}  // namespace

Cause CauseOf(DWORD error) noexcept {
    switch (error) {
        case ERROR_FILE_NOT_FOUND:
        case ERROR_PATH_NOT_FOUND:
        case ERROR_INVALID_DRIVE:
        case ERROR_BAD_NETPATH:
        case ERROR_BAD_NET_NAME:
        case ERROR_INVALID_NAME:
        case ERROR_DIRECTORY:
        case ERROR_MOD_NOT_FOUND:
            return Cause::NotFound;
        case ERROR_ACCESS_DENIED:
        case ERROR_WRITE_PROTECT:
        case ERROR_PRIVILEGE_NOT_HELD:
        case ERROR_CANNOT_MAKE:
            return Cause::Denied;
        case ERROR_FILE_EXISTS:
        case ERROR_ALREADY_EXISTS:
            return Cause::Exists;
        case ERROR_DISK_FULL:
        case ERROR_HANDLE_DISK_FULL:
        case ERROR_FILE_TOO_LARGE:
        case kDiskQuotaExceeded:
            return Cause::NoSpace;
        case ERROR_SHARING_VIOLATION:
        case ERROR_LOCK_VIOLATION:
        case ERROR_PIPE_BUSY:
        case ERROR_BUSY:
        case ERROR_USER_MAPPED_FILE:
        case ERROR_UNABLE_TO_REMOVE_REPLACED:  // the file to replace is open in another program
            return Cause::Busy;
        case ERROR_NO_DATA:
            return Cause::WouldBlock;
        case ERROR_NOT_ENOUGH_MEMORY:
        case ERROR_OUTOFMEMORY:
        case ERROR_COMMITMENT_LIMIT:
            return Cause::OutOfMemory;
        case ERROR_NO_UNICODE_TRANSLATION:
            return Cause::BadInput;
        default:
            return Cause::Other;
    }
}

std::string SystemText(DWORD error) {
    wchar_t* text = nullptr;
    const DWORD length = ::FormatMessageW(
        FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS,
        nullptr, error, 0, reinterpret_cast<wchar_t*>(&text), 0, nullptr);
    std::wstring words = length > 0 && text != nullptr ? std::wstring(text, length) : L"";
    if (text != nullptr) ::LocalFree(text);
    // One line, without the full stop: the text goes inside a sentence of the library's.
    for (wchar_t& c : words) {
        if (c == L'\r' || c == L'\n') c = L' ';
    }
    while (!words.empty() && (words.back() == L' ' || words.back() == L'.')) words.pop_back();
    if (words.empty()) return "system error " + std::to_string(error);
    return Narrow(words);
}

Error SystemError(DWORD error) {
    Error failure(kFailureCode, SystemText(error), {}, CauseOf(error));
    failure.detail = failure.message;
    return failure;
}

Expected<std::wstring> Wide(const std::string& text) {
    if (text.empty()) return std::wstring();
    const int length = ::MultiByteToWideChar(CP_UTF8, MB_ERR_INVALID_CHARS, text.data(),
                                             static_cast<int>(text.size()), nullptr, 0);
    if (length <= 0) {
        return Error(kFailureCode, "the name is not valid UTF-8", {}, Cause::BadInput);
    }
    std::wstring wide(static_cast<size_t>(length), L'\0');
    ::MultiByteToWideChar(CP_UTF8, MB_ERR_INVALID_CHARS, text.data(), static_cast<int>(text.size()),
                          wide.data(), length);
    return wide;
}

std::string Narrow(const std::wstring& text) {
    if (text.empty()) return {};
    const int length = ::WideCharToMultiByte(CP_UTF8, 0, text.data(), static_cast<int>(text.size()),
                                             nullptr, 0, nullptr, nullptr);
    if (length <= 0) return {};
    std::string narrow(static_cast<size_t>(length), '\0');
    ::WideCharToMultiByte(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), narrow.data(),
                          length, nullptr, nullptr);
    return narrow;
}

}  // namespace korvel::base::os

namespace korvel::base::win32 {

Expected<std::wstring> Utf16(const std::string& text) {
    return os::Wide(text);
}

std::string Utf8(const std::wstring& text) {
    return os::Narrow(text);
}

std::string ErrorText(unsigned long error) {
    return os::SystemText(static_cast<DWORD>(error));
}

}  // namespace korvel::base::win32
