// The remembered settings: a per-user text file in the format of registry exports, holding the
// values of the key "HKEY_LOCAL_MACHINE\Software\Korvel\Brenmark":
//
//   Windows Registry Editor Version 5.00
//
//   [HKEY_LOCAL_MACHINE\Software\Korvel\Brenmark]
//   "FileName"="/home/op/app.sre"
//   "nCom"=dword:80000003
//
// Strings escape \ and " with a backslash. The file is read as UTF-8 or as UTF-16LE with a
// byte-order mark, and written as UTF-8. Value names compare without regard to case.
#ifndef BRENMARK_SETTINGS_STORE_H
#define BRENMARK_SETTINGS_STORE_H

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace brenmark {

inline constexpr const char kStoreHeader[] = "Windows Registry Editor Version 5.00";
inline constexpr const char kStoreKey[] = "HKEY_LOCAL_MACHINE\\Software\\Korvel\\Brenmark";

// The store's file: KORVEL_REGISTRY when set, else $XDG_CONFIG_HOME/korvel/brenmark.reg, else
// ~/.config/korvel/brenmark.reg.
std::string SettingsStorePath();

class SettingsStore {
  public:
    struct Value {
        std::string name;
        bool isString = true;
        std::string text;
        uint32_t number = 0;
    };

    // Parses the file's bytes; false with `error` set when they are not such a file.
    static bool Parse(const std::vector<uint8_t>& bytes, SettingsStore& store, std::string& error);
    // The file's text (UTF-8).
    std::string Serialize() const;

    std::optional<std::string> GetString(std::string_view name) const;
    std::optional<uint32_t> GetNumber(std::string_view name) const;
    // Sets a value (a value of the name, in any case and of either kind, is replaced; its name
    // keeps its spelling). A string holding a line end or a zero cannot be stored: false.
    bool SetString(std::string_view name, std::string_view text);
    void SetNumber(std::string_view name, uint32_t number);
    const std::vector<Value>& Values() const { return values_; }

  private:
    Value* Find(std::string_view name);
    const Value* Find(std::string_view name) const;
    std::vector<Value> values_;
};

// The store opened at a path: open or create, and atomic saves.
class StoreFile {
  public:
    enum class Opened { Existing, Created, Failed };

    explicit StoreFile(std::string path) : path_(std::move(path)) {}
    // Reads the file. A missing file is created (Created; the caller then puts its first values
    // and saves). An unreadable or corrupt file is treated as new, with `problem` set once to a
    // sentence naming the file; its bytes are kept beside it as PATH.corrupt at the first save.
    Opened Open(std::string& problem);
    // Writes the whole store atomically (its directory is made when missing). False with `error`.
    bool Save(std::string& error);

    SettingsStore& store() { return store_; }
    const std::string& path() const { return path_; }

  private:
    std::string path_;
    SettingsStore store_;
    bool keepCorrupt_ = false;
};

}  // namespace brenmark

#endif
