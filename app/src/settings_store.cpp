#include "brenmark/settings_store.h"

#include <fcntl.h>
#include <pwd.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>

#include "base/file.h"
#include "base/hex.h"
#include "base/read_file.h"
#include "base/replace_file.h"
#include "base/text.h"
#include "base/utf8.h"

namespace brenmark {
namespace {

using korvel::base::Cause;
using korvel::base::EqualIgnoringCase;
using korvel::base::Error;
using korvel::base::Expected;

// A line without the blanks before its text and after it (a CR of a CR LF line end among them).
std::string_view Trim(std::string_view text) {
    return korvel::base::TrimEnd(korvel::base::TrimStart(text, " \t"), " \t\r");
}

// UTF-16LE (after its byte-order mark) to UTF-8; false on an odd length or a broken pair.
bool Utf16ToUtf8(const uint8_t* data, size_t size, std::string& out) {
    if (size % 2 != 0) return false;
    for (size_t i = 0; i < size; i += 2) {
        uint32_t unit = data[i] | (data[i + 1] << 8);
        if (unit >= 0xD800 && unit < 0xDC00) {
            if (i + 3 >= size) return false;
            const uint32_t low = data[i + 2] | (data[i + 3] << 8);
            if (low < 0xDC00 || low >= 0xE000) return false;
            unit = 0x10000 + ((unit - 0xD800) << 10) + (low - 0xDC00);
            i += 2;
        } else if (unit >= 0xDC00 && unit < 0xE000) {
            return false;
        }
        if (unit == 0) return false;
        korvel::base::AppendUtf8(out, unit);
    }
    return true;
}

// A quoted string at the start of `text` with \\ and \" escapes; `rest` is what follows it.
bool TakeQuoted(std::string_view text, std::string& value, std::string_view& rest) {
    if (text.empty() || text.front() != '"') return false;
    value.clear();
    for (size_t i = 1; i < text.size(); ++i) {
        const char c = text[i];
        if (c == '"') {
            rest = text.substr(i + 1);
            return true;
        }
        if (c == '\\') {
            if (i + 1 >= text.size()) return false;
            value += text[++i];
        } else {
            value += c;
        }
    }
    return false;
}

std::string Quote(std::string_view text) {
    std::string out = "\"";
    for (char c : text) {
        if (c == '\\' || c == '"') out += '\\';
        out += c;
    }
    return out + '"';
}

// UTF-8 to UTF-16LE, appended to `out`; false on bytes that are not UTF-8 (or a zero, which the
// reader refuses).
bool Utf8ToUtf16(std::string_view text, std::vector<uint8_t>& out) {
    auto unit = [&out](uint32_t value) {
        out.push_back(static_cast<uint8_t>(value));
        out.push_back(static_cast<uint8_t>(value >> 8));
    };
    for (size_t i = 0; i < text.size();) {
        const auto lead = static_cast<uint8_t>(text[i]);
        size_t length = 0;
        uint32_t code = 0;
        uint32_t least = 0;
        if (lead < 0x80) {
            length = 1;
            code = lead;
        } else if ((lead & 0xE0) == 0xC0) {
            length = 2;
            code = lead & 0x1F;
            least = 0x80;
        } else if ((lead & 0xF0) == 0xE0) {
            length = 3;
            code = lead & 0x0F;
            least = 0x800;
        } else if ((lead & 0xF8) == 0xF0) {
            length = 4;
            code = lead & 0x07;
            least = 0x10000;
        } else {
            return false;
        }
        if (i + length > text.size()) return false;
        for (size_t k = 1; k < length; ++k) {
            const auto next = static_cast<uint8_t>(text[i + k]);
            if ((next & 0xC0) != 0x80) return false;
            code = (code << 6) | (next & 0x3F);
        }
        if (code == 0 || code < least || code > 0x10FFFF || (code >= 0xD800 && code < 0xE000)) {
            return false;
        }
        if (code >= 0x10000) {
            unit(0xD800 + ((code - 0x10000) >> 10));
            unit(0xDC00 + ((code - 0x10000) & 0x3FF));
        } else {
            unit(code);
        }
        i += length;
    }
    return true;
}

std::string Rendered(const SettingsStore::Value& value) {
    std::string line = Quote(value.name) + "=";
    if (value.isString) return line + Quote(value.text);
    char digits[16];
    std::snprintf(digits, sizeof digits, "dword:%08x", value.number);
    return line + digits;
}

// The value kinds of an export that the store keeps without reading them: binary and other
// typed data ("hex:", "hex(2):" ...), and the deletion of a value ("-").
bool KeptUnread(std::string_view rest) {
    return rest == "-" || (rest.size() >= 4 && EqualIgnoringCase(rest.substr(0, 3), "hex") &&
                           (rest[3] == ':' || rest[3] == '('));
}

// Where an unreadable store is kept: PATH.corrupt, then PATH.corrupt.2 and on.
std::string AsideName(const std::string& path, int number) {
    std::string name = path + ".corrupt";
    if (number > 1) {
        // Appended piece by piece: GCC 12 at -O3 warns falsely on "literal" + std::string.
        name += '.';
        name += std::to_string(number);
    }
    return name;
}

// The store file's bytes, refused in the words the settings' message has always used: "cannot
// open PATH (REASON)", "PATH is not a regular file", "PATH is N bytes long, more than LIMIT".
Expected<std::vector<uint8_t>> ReadStoreFile(const std::string& path) {
    auto refuse = [](std::string message, Cause cause) {
        return Error(korvel::base::kFailureCode, std::move(message), {}, cause);
    };
    Expected<korvel::base::File> file =
        korvel::base::File::Open(path, korvel::base::FileAccess::Read);
    if (!file) {
        Error error =
            refuse("cannot open " + path + " (" + file.error().detail + ")", file.error().cause);
        error.detail = file.error().detail;
        return error;
    }
    const Expected<korvel::base::FileInfo> info = file->Info();
    if (!info || info->kind != korvel::base::FileKind::Regular) {
        return refuse(path + " is not a regular file", Cause::NotRegularFile);
    }
    if (info->size > kStoreSizeLimit) {
        return refuse(path + " is " + std::to_string(info->size) + " bytes long, more than " +
                          std::to_string(kStoreSizeLimit),
                      Cause::TooLarge);
    }
    Expected<korvel::base::FileBytes> read =
        korvel::base::ReadToEnd(*file, {.limit = kStoreSizeLimit});
    if (!read) {
        if (read.error().cause == Cause::TooLarge) {
            return refuse(path + " is longer than " + std::to_string(kStoreSizeLimit) + " bytes",
                          Cause::TooLarge);
        }
        if (read.error().detail.empty()) return std::move(read).error();  // no memory for it
        return refuse("cannot read " + path + " (" + read.error().detail + ")", read.error().cause);
    }
    return std::move(read->bytes);
}

// No store file yet: nothing at its name (a folder on the way that is a file is an unreadable
// store, which is kept).
bool IsMissing(const Error& error) {
    return error.cause == Cause::NotFound && error.detail == std::strerror(ENOENT);
}

}  // namespace

std::string SettingsStorePath() {
    if (const char* explicitPath = std::getenv("KORVEL_REGISTRY"); explicitPath && *explicitPath) {
        return explicitPath;
    }
    std::string base;
    if (const char* config = std::getenv("XDG_CONFIG_HOME"); config && config[0] == '/') {
        base = config;
    } else {
        const char* home = std::getenv("HOME");
        if (!home || !*home) {
            const struct passwd* entry = ::getpwuid(::getuid());
            home = entry ? entry->pw_dir : "/tmp";
        }
        base = std::string(home) + "/.config";
    }
    return base + "/korvel/brenmark.reg";
}

Expected<SettingsStore> SettingsStore::Parse(const std::vector<uint8_t>& bytes) {
    auto refuse = [](std::string why) {
        return Error(korvel::base::kFailureCode, std::move(why), {}, Cause::BadInput);
    };
    SettingsStore store;
    std::string text;
    if (bytes.size() >= 2 && bytes[0] == 0xFF && bytes[1] == 0xFE) {
        if (!Utf16ToUtf8(bytes.data() + 2, bytes.size() - 2, text)) {
            return refuse("its UTF-16 text is broken");
        }
        store.encoding_ = Encoding::Utf16;
    } else {
        size_t start = 0;
        if (bytes.size() >= 3 && bytes[0] == 0xEF && bytes[1] == 0xBB && bytes[2] == 0xBF) {
            start = 3;
            store.encoding_ = Encoding::Utf8WithMark;
        }
        text.assign(bytes.begin() + static_cast<long>(start), bytes.end());
        if (text.find('\0') != std::string::npos) {
            return refuse("it holds zero bytes (a UTF-16 file needs its byte-order mark)");
        }
    }
    bool headerSeen = false;
    bool inKey = false;
    bool continued = false;  // the line before ended in a backslash: this one goes on with it
    size_t at = 0;
    int lineNumber = 0;
    while (at < text.size()) {
        const size_t begin = at;
        size_t end = text.find('\n', at);
        if (end == std::string::npos) end = text.size();
        at = end + 1;
        const size_t next = std::min(at, text.size());
        // The line without its line end, for a value written in its place.
        const size_t contentEnd = end > begin && text[end - 1] == '\r' ? end - 1 : end;
        const std::string_view line = Trim(std::string_view(text).substr(begin, end - begin));
        ++lineNumber;
        if (continued) {
            // Hex data of a value goes on over lines that end in a backslash.
            continued = !line.empty() && line.back() == '\\';
            if (inKey) {
                store.keyEnd_ = next;
                store.keyEndContinues_ = continued;
            }
            continue;
        }
        if (line.empty() || line.front() == ';') continue;
        auto refuseLine = [&](const std::string& why) {
            return refuse("line " + std::to_string(lineNumber) + " " + why);
        };
        if (!headerSeen) {
            if (line != kStoreHeader) {
                return refuseLine("is not \"" + std::string(kStoreHeader) + "\"");
            }
            headerSeen = true;
            continue;
        }
        if (line.front() == '[') {
            if (line.back() != ']') return refuseLine("opens a key without closing it");
            inKey = EqualIgnoringCase(line.substr(1, line.size() - 2), kStoreKey);
            if (inKey) {
                store.keyEnd_ = next;
                store.keyEndContinues_ = false;
            }
            continue;
        }
        continued = line.back() == '\\';
        // Values of other keys are kept as they stand, unread.
        if (!inKey) continue;
        store.keyEnd_ = next;
        store.keyEndContinues_ = continued;
        if (line.front() == '@') continue;  // the key's default value, kept unread
        std::string name;
        std::string_view rest;
        if (!TakeQuoted(line, name, rest)) return refuseLine("has no quoted value name");
        rest = Trim(rest);
        if (rest.empty() || rest.front() != '=')
            return refuseLine("has no '=' after the value name");
        rest = Trim(rest.substr(1));
        if (!rest.empty() && rest.front() == '"') {
            std::string value;
            std::string_view after;
            if (!TakeQuoted(rest, value, after) || !Trim(after).empty()) {
                return refuseLine("has a string that is not closed");
            }
            store.Read(Value{name, true, value, 0}, begin, contentEnd);
        } else if (rest.size() > 6 && EqualIgnoringCase(rest.substr(0, 6), "dword:")) {
            const std::string_view digits = rest.substr(6);
            if (digits.size() > 8) return refuseLine("has a dword of more than 8 digits");
            uint32_t number = 0;
            for (char c : digits) {
                const int digit = korvel::base::HexDigitValue(c);
                if (digit < 0) return refuseLine("has a dword that is not hexadecimal");
                number = (number << 4) | static_cast<uint32_t>(digit);
            }
            store.Read(Value{name, false, {}, number}, begin, contentEnd);
        } else if (!KeptUnread(rest)) {
            return refuseLine("has a value that is neither a string, a dword nor hex data");
        }
    }
    if (!headerSeen) return refuse("it is empty");
    const size_t firstEnd = text.find('\n');
    if (firstEnd != std::string::npos) {
        store.lineEnd_ = firstEnd > 0 && text[firstEnd - 1] == '\r' ? "\r\n" : "\n";
    }
    store.text_ = std::move(text);
    return store;
}

std::vector<uint8_t> SettingsStore::Serialize() const {
    const std::string& eol = lineEnd_;
    std::string text;
    std::string added;  // the new values' lines
    for (size_t i = 0; i < values_.size(); ++i) {
        if (places_[i].begin == std::string::npos) added += Rendered(values_[i]) + eol;
    }
    size_t keyEnd = keyEnd_;
    std::string base;
    const std::string* source = &text_;
    if (text_.empty()) {
        base = std::string(kStoreHeader) + eol + eol + "[" + kStoreKey + "]" + eol;
        keyEnd = base.size();
        added += eol;  // an export ends each key with a blank line
        source = &base;
    }
    // The changed values' lines, rewritten in place, in the order they stand.
    std::vector<size_t> changed;
    for (size_t i = 0; i < values_.size(); ++i) {
        if (places_[i].begin != std::string::npos && places_[i].changed) changed.push_back(i);
    }
    std::sort(changed.begin(), changed.end(),
              [this](size_t a, size_t b) { return places_[a].begin < places_[b].begin; });
    size_t copied = 0;
    for (size_t i : changed) {
        text.append(*source, copied, places_[i].begin - copied);
        text += Rendered(values_[i]);
        copied = places_[i].end;
    }
    if (added.empty()) {
        text.append(*source, copied);
    } else if (keyEnd == std::string::npos) {
        // The file has no such key: it comes at the end, after a blank line.
        text.append(*source, copied);
        if (!text.empty() && text.back() != '\n') text += eol;
        text += eol + "[" + kStoreKey + "]" + eol + added + eol;
    } else {
        text.append(*source, copied, keyEnd - copied);
        if (keyEnd > 0 && (*source)[keyEnd - 1] != '\n') text += eol;
        if (keyEndContinues_) text += eol;  // a blank line ends the data that was to go on
        text += added;
        text.append(*source, keyEnd);
    }

    if (encoding_ == Encoding::Utf16) {
        std::vector<uint8_t> bytes{0xFF, 0xFE};
        // Every string put in a UTF-16 store is UTF-8 (SetString), so this cannot fail.
        Utf8ToUtf16(text, bytes);
        return bytes;
    }
    if (encoding_ == Encoding::Utf8WithMark) text.insert(0, "\xEF\xBB\xBF");
    return std::vector<uint8_t>(text.begin(), text.end());
}

size_t SettingsStore::Index(std::string_view name) const {
    for (size_t i = 0; i < values_.size(); ++i) {
        if (EqualIgnoringCase(values_[i].name, name)) return i;
    }
    return values_.size();
}

void SettingsStore::Read(const Value& value, size_t begin, size_t end) {
    const size_t i = Index(value.name);
    if (i == values_.size()) {
        values_.push_back(value);
        places_.push_back(Place{begin, end, false});
        return;
    }
    values_[i].isString = value.isString;
    values_[i].text = value.text;
    values_[i].number = value.number;
    places_[i] = Place{begin, end, false};
}

void SettingsStore::Put(Value value) {
    const size_t i = Index(value.name);
    if (i == values_.size()) {
        values_.push_back(std::move(value));
        places_.emplace_back();
        return;
    }
    Value& old = values_[i];
    if (old.isString == value.isString && old.text == value.text && old.number == value.number) {
        return;
    }
    old.isString = value.isString;
    old.text = std::move(value.text);
    old.number = value.number;
    places_[i].changed = true;
}

std::optional<std::string> SettingsStore::GetString(std::string_view name) const {
    const size_t i = Index(name);
    if (i == values_.size() || !values_[i].isString) return std::nullopt;
    return values_[i].text;
}

std::optional<uint32_t> SettingsStore::GetNumber(std::string_view name) const {
    const size_t i = Index(name);
    if (i == values_.size() || values_[i].isString) return std::nullopt;
    return values_[i].number;
}

bool SettingsStore::SetString(std::string_view name, std::string_view text) {
    if (text.find_first_of(std::string_view("\r\n\0", 3)) != std::string_view::npos) return false;
    if (encoding_ == Encoding::Utf16) {
        std::vector<uint8_t> ignored;
        if (!Utf8ToUtf16(text, ignored)) return false;
    }
    Put(Value{std::string(name), true, std::string(text), 0});
    return true;
}

void SettingsStore::SetNumber(std::string_view name, uint32_t number) {
    Put(Value{std::string(name), false, {}, number});
}

Expected<StoreFile::Opened> StoreFile::Open() {
    store_ = SettingsStore();
    unreadable_ = false;
    Expected<std::vector<uint8_t>> bytes = ReadStoreFile(path_);
    std::string why;
    if (bytes) {
        Expected<SettingsStore> parsed = SettingsStore::Parse(*bytes);
        if (parsed) {
            store_ = std::move(*parsed);
            return Opened::Existing;
        }
        why = path_ + " is not a settings file: " + parsed.error().message;
    } else if (IsMissing(bytes.error())) {
        return Opened::Created;
    } else {
        why = bytes.error().message;
    }
    // Whatever stands there is kept: it may hold more than Brenmark's settings.
    unreadable_ = true;
    struct stat info {};
    asideNumber_ = 1;
    while (::lstat(AsideName(path_, asideNumber_).c_str(), &info) == 0) ++asideNumber_;
    return Error(
        korvel::base::kFailureCode, "The remembered settings could not be read: " + why + ".",
        "Brenmark starts with new settings and leaves the file as it is. If it still "
        "cannot be read when you quit, it is kept whole as " +
            AsideName(path_, asideNumber_) + " and the new settings are saved in its place.",
        bytes ? Cause::BadInput : bytes.error().cause);
}

Expected<void> StoreFile::Save() {
    std::error_code ignored;
    const std::filesystem::path parent = std::filesystem::path(path_).parent_path();
    if (!parent.empty()) std::filesystem::create_directories(parent, ignored);
    if (unreadable_) {
        // The file goes aside whole, never under an existing name, before anything is written.
        for (int n = asideNumber_;; ++n) {
            const std::string aside = AsideName(path_, n);
            if (::renameat2(AT_FDCWD, path_.c_str(), AT_FDCWD, aside.c_str(), RENAME_NOREPLACE) ==
                    0 ||
                errno == ENOENT) {
                break;
            }
            if (errno != EEXIST || n >= asideNumber_ + 100) {
                return Error(korvel::base::kFailureCode,
                             "cannot keep " + path_ + " as " + aside + " (" + std::strerror(errno) +
                                 "); it is left as it is and the settings are not saved");
            }
        }
        unreadable_ = false;
    }
    const std::vector<uint8_t> bytes = store_.Serialize();
    return korvel::base::ReplaceWholeFile(path_, bytes, {.newFileMode = 0600});
}

std::unique_ptr<RememberedSettings> OpenRememberedSettings(const std::string& place) {
    return std::make_unique<StoreFile>(place.empty() ? SettingsStorePath() : place);
}

}  // namespace brenmark
