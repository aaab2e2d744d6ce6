// Where the dialog remembers the operator's files, port and reader type between runs: the key
// "Software\Korvel\Brenmark" of the system registry on Windows, the settings store file (a text
// file in the form of a registry export) elsewhere. Values are strings or 32-bit numbers; their
// names compare without regard to case.
#ifndef BRENMARK_REMEMBERED_SETTINGS_H
#define BRENMARK_REMEMBERED_SETTINGS_H

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <string_view>

#include "base/error.h"

namespace brenmark {

inline constexpr const char kSettingsSubkey[] = "Software\\Korvel\\Brenmark";
// What the operator is told when the settings can be neither read nor kept.
inline constexpr const char kStoreUnavailable[] = "Erreur reading registered values.";

class RememberedSettings {
  public:
    // Existing: the key was there. Created: it was made now (the caller puts its first values).
    enum class Opened { Existing, Created };

    virtual ~RememberedSettings() = default;

    // Opens the key, or creates it when it is missing. The error says why neither could be done,
    // for the operator; nothing is read then.
    virtual korvel::base::Expected<Opened> Open() = 0;
    virtual std::optional<std::string> GetString(std::string_view name) const = 0;
    virtual std::optional<uint32_t> GetNumber(std::string_view name) const = 0;
    // A value of the name, of either kind, is replaced. A text that cannot be kept (a line end in
    // the store file) is refused: false.
    virtual bool SetString(std::string_view name, std::string_view text) = 0;
    virtual void SetNumber(std::string_view name, uint32_t number) = 0;
    // Makes what was set since Open lasting.
    virtual korvel::base::Expected<void> Save() = 0;
};

// The program's remembered settings. `place` names another place for them (tests): the store
// file's path, or on Windows the registry subkey; empty: the program's own.
std::unique_ptr<RememberedSettings> OpenRememberedSettings(const std::string& place);

}  // namespace brenmark

#endif
