// The remembered settings in the system registry (Windows).
//
// The key is "Software\Korvel\Brenmark" under HKEY_LOCAL_MACHINE, opened or created with full
// access, as earlier installations kept it. Current Windows refuses that access to a user who is
// not an administrator: the key is then read for reading only, and the user's settings are kept
// under the same subkey of HKEY_CURRENT_USER. Once the user's key exists it wins: it is the key
// written, and its values are read before the machine's, which fill in only what it lacks.
#ifndef BRENMARK_REGISTRY_SETTINGS_H
#define BRENMARK_REGISTRY_SETTINGS_H

#if !defined(_WIN32)
#error "the registry is Windows' own"
#endif

#include <windows.h>

#include <string>

#include "brenmark/remembered_settings.h"

namespace brenmark {

// An open registry key, closed when its owner goes.
class RegistryKey {
  public:
    RegistryKey() = default;
    explicit RegistryKey(HKEY key) : key_(key) {}
    RegistryKey(RegistryKey&& other) noexcept : key_(other.Release()) {}
    RegistryKey& operator=(RegistryKey&& other) noexcept;
    RegistryKey(const RegistryKey&) = delete;
    RegistryKey& operator=(const RegistryKey&) = delete;
    ~RegistryKey();

    HKEY get() const { return key_; }
    explicit operator bool() const { return key_ != nullptr; }
    HKEY Release() {
        HKEY key = key_;
        key_ = nullptr;
        return key;
    }

  private:
    HKEY key_ = nullptr;
};

class RegistrySettings : public RememberedSettings {
  public:
    // The keys under which the subkey lies: the machine's and the user's (tests give keys of
    // their own).
    struct Roots {
        HKEY machine = HKEY_LOCAL_MACHINE;
        HKEY user = HKEY_CURRENT_USER;
    };

    // The subkey under HKEY_LOCAL_MACHINE and HKEY_CURRENT_USER, or under the roots given.
    explicit RegistrySettings(std::wstring subkey);
    RegistrySettings(std::wstring subkey, Roots roots);

    korvel::base::Expected<Opened> Open() override;
    std::optional<std::string> GetString(std::string_view name) const override;
    std::optional<uint32_t> GetNumber(std::string_view name) const override;
    bool SetString(std::string_view name, std::string_view text) override;
    void SetNumber(std::string_view name, uint32_t number) override;
    // The values are in the registry as soon as they are set: the first write that failed.
    korvel::base::Expected<void> Save() override;

    // Whether the settings are written under the user's key (after Open).
    bool WritesUserKey() const { return writesUser_; }

  protected:
    // Opens or creates the machine's key with full access; the system's error code.
    virtual LSTATUS CreateMachineKey(HKEY* key, DWORD* disposition);

  private:
    void Write(std::string_view name, DWORD type, const void* data, DWORD size);

    std::wstring subkey_;
    Roots roots_;
    RegistryKey written_;   // the key written: the machine's, or the user's
    RegistryKey readOnly_;  // the machine's key, read where the user's lacks a value
    bool writesUser_ = false;
    LSTATUS firstWriteError_ = ERROR_SUCCESS;
    std::string firstWriteName_;
};

}  // namespace brenmark

#endif
