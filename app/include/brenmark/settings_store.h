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
// byte-order mark, and written back in the encoding it was read in. Value names compare without
// regard to case. The file may be a whole export copied from a station: other keys, comments,
// blank lines and values of other kinds (hex data, deletions) are kept as they stand, and a save
// rewrites only the lines of the values it changed.
#ifndef BRENMARK_SETTINGS_STORE_H
#define BRENMARK_SETTINGS_STORE_H

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "base/error.h"
#include "brenmark/remembered_settings.h"

namespace brenmark {

inline constexpr const char kStoreHeader[] = "Windows Registry Editor Version 5.00";
inline constexpr const char kStoreKey[] = "HKEY_LOCAL_MACHINE\\Software\\Korvel\\Brenmark";

// The store's file: KORVEL_REGISTRY when set, else $XDG_CONFIG_HOME/korvel/brenmark.reg, else
// ~/.config/korvel/brenmark.reg.
std::string SettingsStorePath();

// A store file larger than this is not read (and never written over).
inline constexpr size_t kStoreSizeLimit = 64u << 20;

class SettingsStore {
  public:
    struct Value {
        std::string name;
        bool isString = true;
        std::string text;
        uint32_t number = 0;
    };

    // Parses the file's bytes; refused (Cause::BadInput, the message saying why: "line 3 has no
    // quoted value name") when they are not such a file.
    static korvel::base::Expected<SettingsStore> Parse(const std::vector<uint8_t>& bytes);
    // The file's bytes: those that were parsed, with the lines of the values set since then
    // rewritten in place and new values added after the key's last line (the key is added at the
    // end of the file when it had none). A store that was never parsed is the header and the key.
    std::vector<uint8_t> Serialize() const;

    std::optional<std::string> GetString(std::string_view name) const;
    std::optional<uint32_t> GetNumber(std::string_view name) const;
    // Sets a value (a value of the name, in any case and of either kind, is replaced; its name
    // keeps its spelling). Setting what the value already holds changes nothing. A string holding
    // a line end or a zero cannot be stored, nor, in a UTF-16 file, one that is not UTF-8: false.
    bool SetString(std::string_view name, std::string_view text);
    void SetNumber(std::string_view name, uint32_t number);
    const std::vector<Value>& Values() const { return values_; }

  private:
    enum class Encoding { Utf8, Utf8WithMark, Utf16 };
    // Where a value's line stands in text_ (without its line end), and whether to rewrite it.
    struct Place {
        size_t begin = std::string::npos;  // npos: a new value
        size_t end = std::string::npos;
        bool changed = true;
    };

    size_t Index(std::string_view name) const;  // values_.size() when there is none
    // A value read from the line [begin, end): the last line of a name is the one that counts.
    void Read(const Value& value, size_t begin, size_t end);
    void Put(Value value);

    std::vector<Value> values_;
    std::vector<Place> places_;  // one per value
    std::string text_;           // the text parsed (UTF-8); empty for a store never parsed
    Encoding encoding_ = Encoding::Utf8;
    std::string lineEnd_ = "\r\n";       // the file's own, for the lines written
    size_t keyEnd_ = std::string::npos;  // after the key's last line; npos: the key is not there
    bool keyEndContinues_ = false;       // that last line announces a continuation line
};

// The store opened at a path: open or create, and atomic saves. The program's remembered settings
// where there is no registry.
class StoreFile : public RememberedSettings {
  public:
    // Opened: Existing, read; Created, no file yet (the caller puts its first values and saves).
    explicit StoreFile(std::string path) : path_(std::move(path)) {}
    // The error: a file stands there that cannot be read as a store (not readable, larger than
    // kStoreSizeLimit, not such a file). It is never written over: the store starts empty and the
    // error says so, naming the file, for the operator (its hint says what happens next); the
    // first Save moves the file aside whole, as PATH.corrupt (PATH.corrupt.2 and on when that
    // name is taken), then writes the new store.
    korvel::base::Expected<Opened> Open() override;
    // Writes the whole store atomically (its directory is made when missing). On failure an
    // unreadable file that could not be moved aside is left as it was.
    korvel::base::Expected<void> Save() override;

    std::optional<std::string> GetString(std::string_view name) const override {
        return store_.GetString(name);
    }
    std::optional<uint32_t> GetNumber(std::string_view name) const override {
        return store_.GetNumber(name);
    }
    bool SetString(std::string_view name, std::string_view text) override {
        return store_.SetString(name, text);
    }
    void SetNumber(std::string_view name, uint32_t number) override {
        store_.SetNumber(name, number);
    }

    SettingsStore& store() { return store_; }
    const std::string& path() const { return path_; }

  private:
    std::string path_;
    SettingsStore store_;
    bool unreadable_ = false;
    int asideNumber_ = 1;  // the first free name for an unreadable file, PATH.corrupt[.N]
};

}  // namespace brenmark

#endif
