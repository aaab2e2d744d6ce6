#include "brenmark/registry_settings.h"

#include <vector>

#include "base/win32.h"

namespace brenmark {
namespace {

using korvel::base::Error;
using korvel::base::Expected;
using korvel::base::win32::ErrorText;
using korvel::base::win32::Utf16;
using korvel::base::win32::Utf8;

// A value's name for the W calls; a name that is not UTF-8 names no value.
std::optional<std::wstring> ValueName(std::string_view name) {
    Expected<std::wstring> wide = Utf16(std::string(name));
    if (!wide) return std::nullopt;
    return std::move(*wide);
}

// The value of `key` as a string (REG_SZ, or REG_EXPAND_SZ taken as it is written).
std::optional<std::string> ReadString(HKEY key, const std::wstring& name) {
    if (!key) return std::nullopt;
    DWORD type = 0;
    DWORD size = 0;
    if (RegQueryValueExW(key, name.c_str(), nullptr, &type, nullptr, &size) != ERROR_SUCCESS ||
        (type != REG_SZ && type != REG_EXPAND_SZ)) {
        return std::nullopt;
    }
    // The value may change between the two calls: ask again while it grows.
    for (;;) {
        std::vector<wchar_t> buffer(size / sizeof(wchar_t) + 1, L'\0');
        DWORD got = static_cast<DWORD>(buffer.size() * sizeof(wchar_t));
        const LSTATUS status = RegQueryValueExW(key, name.c_str(), nullptr, &type,
                                                reinterpret_cast<BYTE*>(buffer.data()), &got);
        if (status == ERROR_MORE_DATA) {
            size = got;
            continue;
        }
        if (status != ERROR_SUCCESS || (type != REG_SZ && type != REG_EXPAND_SZ)) {
            return std::nullopt;
        }
        // The stored text need not end with its zero; it ends at its first one.
        std::wstring text(buffer.data(), got / sizeof(wchar_t));
        text.resize(std::wcslen(text.c_str()));
        return Utf8(text);
    }
}

std::optional<uint32_t> ReadNumber(HKEY key, const std::wstring& name) {
    if (!key) return std::nullopt;
    DWORD type = 0;
    DWORD value = 0;
    DWORD size = sizeof value;
    if (RegQueryValueExW(key, name.c_str(), nullptr, &type, reinterpret_cast<BYTE*>(&value),
                         &size) != ERROR_SUCCESS ||
        type != REG_DWORD || size != sizeof value) {
        return std::nullopt;
    }
    return static_cast<uint32_t>(value);
}

}  // namespace

RegistryKey& RegistryKey::operator=(RegistryKey&& other) noexcept {
    if (this != &other) {
        if (key_) RegCloseKey(key_);
        key_ = other.Release();
    }
    return *this;
}

RegistryKey::~RegistryKey() {
    if (key_) RegCloseKey(key_);
}

RegistrySettings::RegistrySettings(std::wstring subkey)
    : RegistrySettings(std::move(subkey), Roots{HKEY_LOCAL_MACHINE, HKEY_CURRENT_USER}) {}

RegistrySettings::RegistrySettings(std::wstring subkey, Roots roots)
    : subkey_(std::move(subkey)), roots_(roots) {}

LSTATUS RegistrySettings::CreateMachineKey(HKEY* key, DWORD* disposition) {
    return RegCreateKeyExW(roots_.machine, subkey_.c_str(), 0, nullptr, REG_OPTION_NON_VOLATILE,
                           KEY_ALL_ACCESS, nullptr, key, disposition);
}

Expected<RememberedSettings::Opened> RegistrySettings::Open() {
    written_ = RegistryKey();
    readOnly_ = RegistryKey();
    writesUser_ = false;
    firstWriteError_ = ERROR_SUCCESS;

    HKEY key = nullptr;
    DWORD disposition = 0;
    // A user's key of the settings wins over the machine's.
    if (RegOpenKeyExW(roots_.user, subkey_.c_str(), 0, KEY_READ | KEY_WRITE, &key) ==
        ERROR_SUCCESS) {
        written_ = RegistryKey(key);
        writesUser_ = true;
        if (RegOpenKeyExW(roots_.machine, subkey_.c_str(), 0, KEY_READ, &key) == ERROR_SUCCESS) {
            readOnly_ = RegistryKey(key);
        }
        return Opened::Existing;
    }
    const LSTATUS machine = CreateMachineKey(&key, &disposition);
    if (machine == ERROR_SUCCESS) {
        written_ = RegistryKey(key);
        return disposition == REG_CREATED_NEW_KEY ? Opened::Created : Opened::Existing;
    }
    // Full access refused (not an administrator): the machine's values are read, the user's
    // written.
    if (RegOpenKeyExW(roots_.machine, subkey_.c_str(), 0, KEY_READ, &key) == ERROR_SUCCESS) {
        readOnly_ = RegistryKey(key);
    }
    const LSTATUS user =
        RegCreateKeyExW(roots_.user, subkey_.c_str(), 0, nullptr, REG_OPTION_NON_VOLATILE,
                        KEY_ALL_ACCESS, nullptr, &key, &disposition);
    if (user != ERROR_SUCCESS) {
        readOnly_ = RegistryKey();
        const std::string name = Utf8(subkey_);
        return Error(korvel::base::kFailureCode, kStoreUnavailable,
                     "The settings key " + name +
                         " could not be opened or created, neither for the "
                         "machine (" +
                         ErrorText(static_cast<unsigned long>(machine)) + ") nor for the user (" +
                         ErrorText(static_cast<unsigned long>(user)) +
                         "): Brenmark starts with new settings and does not keep them.");
    }
    written_ = RegistryKey(key);
    writesUser_ = true;
    // A machine's key read for the user counts as the settings found.
    return readOnly_ || disposition != REG_CREATED_NEW_KEY ? Opened::Existing : Opened::Created;
}

std::optional<std::string> RegistrySettings::GetString(std::string_view name) const {
    const std::optional<std::wstring> wide = ValueName(name);
    if (!wide) return std::nullopt;
    // Only a value of the written key's own, of another kind, hides the machine's.
    if (std::optional<std::string> text = ReadString(written_.get(), *wide)) return text;
    if (ReadNumber(written_.get(), *wide)) return std::nullopt;
    return ReadString(readOnly_.get(), *wide);
}

std::optional<uint32_t> RegistrySettings::GetNumber(std::string_view name) const {
    const std::optional<std::wstring> wide = ValueName(name);
    if (!wide) return std::nullopt;
    if (std::optional<uint32_t> number = ReadNumber(written_.get(), *wide)) return number;
    if (ReadString(written_.get(), *wide)) return std::nullopt;
    return ReadNumber(readOnly_.get(), *wide);
}

void RegistrySettings::Write(std::string_view name, DWORD type, const void* data, DWORD size) {
    LSTATUS status = ERROR_INVALID_HANDLE;
    if (const std::optional<std::wstring> wide = ValueName(name); !wide) {
        status = ERROR_INVALID_PARAMETER;
    } else if (written_) {
        status = RegSetValueExW(written_.get(), wide->c_str(), 0, type,
                                static_cast<const BYTE*>(data), size);
    }
    if (status != ERROR_SUCCESS && firstWriteError_ == ERROR_SUCCESS) {
        firstWriteError_ = status;
        firstWriteName_ = std::string(name);
    }
}

bool RegistrySettings::SetString(std::string_view name, std::string_view text) {
    if (text.find('\0') != std::string_view::npos) return false;
    const Expected<std::wstring> wide = Utf16(std::string(text));
    if (!wide) return false;
    Write(name, REG_SZ, wide->c_str(), static_cast<DWORD>((wide->size() + 1) * sizeof(wchar_t)));
    return true;
}

void RegistrySettings::SetNumber(std::string_view name, uint32_t number) {
    const DWORD value = number;
    Write(name, REG_DWORD, &value, sizeof value);
}

Expected<void> RegistrySettings::Save() {
    if (firstWriteError_ == ERROR_SUCCESS) return {};
    return Error(korvel::base::kFailureCode,
                 "cannot write the value " + firstWriteName_ + " of the settings key " +
                     Utf8(subkey_) + ": " +
                     ErrorText(static_cast<unsigned long>(firstWriteError_)));
}

std::unique_ptr<RememberedSettings> OpenRememberedSettings(const std::string& place) {
    // A place that is not UTF-8 cannot name a key: the program's own is used.
    Expected<std::wstring> subkey = Utf16(place);
    if (place.empty() || !subkey) subkey = Utf16(kSettingsSubkey);
    return std::make_unique<RegistrySettings>(std::move(*subkey));
}

}  // namespace brenmark
