#include "settings_store.h"

#include <pwd.h>
#include <unistd.h>

#include <cctype>
#include <cstdio>
#include <cstdlib>
#include <filesystem>

#include "atomic_file.h"

namespace brenmark {
namespace {

bool SameName(std::string_view a, std::string_view b) {
    if (a.size() != b.size()) return false;
    for (size_t i = 0; i < a.size(); ++i) {
        if (std::tolower(static_cast<unsigned char>(a[i])) !=
            std::tolower(static_cast<unsigned char>(b[i]))) {
            return false;
        }
    }
    return true;
}

std::string_view Trim(std::string_view text) {
    while (!text.empty() && (text.front() == ' ' || text.front() == '\t')) text.remove_prefix(1);
    while (!text.empty() && (text.back() == ' ' || text.back() == '\t' || text.back() == '\r')) {
        text.remove_suffix(1);
    }
    return text;
}

void AppendUtf8(std::string& out, uint32_t code) {
    if (code < 0x80) {
        out += static_cast<char>(code);
    } else if (code < 0x800) {
        out += static_cast<char>(0xC0 | (code >> 6));
        out += static_cast<char>(0x80 | (code & 0x3F));
    } else if (code < 0x10000) {
        out += static_cast<char>(0xE0 | (code >> 12));
        out += static_cast<char>(0x80 | ((code >> 6) & 0x3F));
        out += static_cast<char>(0x80 | (code & 0x3F));
    } else {
        out += static_cast<char>(0xF0 | (code >> 18));
        out += static_cast<char>(0x80 | ((code >> 12) & 0x3F));
        out += static_cast<char>(0x80 | ((code >> 6) & 0x3F));
        out += static_cast<char>(0x80 | (code & 0x3F));
    }
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
        AppendUtf8(out, unit);
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

bool SettingsStore::Parse(const std::vector<uint8_t>& bytes, SettingsStore& store,
                          std::string& error) {
    store.values_.clear();
    std::string text;
    if (bytes.size() >= 2 && bytes[0] == 0xFF && bytes[1] == 0xFE) {
        if (!Utf16ToUtf8(bytes.data() + 2, bytes.size() - 2, text)) {
            error = "its UTF-16 text is broken";
            return false;
        }
    } else {
        size_t start = 0;
        if (bytes.size() >= 3 && bytes[0] == 0xEF && bytes[1] == 0xBB && bytes[2] == 0xBF)
            start = 3;
        text.assign(bytes.begin() + static_cast<long>(start), bytes.end());
        if (text.find('\0') != std::string::npos) {
            error = "it holds zero bytes (a UTF-16 file needs its byte-order mark)";
            return false;
        }
    }
    bool headerSeen = false;
    bool inKey = false;
    size_t at = 0;
    int lineNumber = 0;
    while (at < text.size()) {
        size_t end = text.find('\n', at);
        if (end == std::string::npos) end = text.size();
        const std::string_view line = Trim(std::string_view(text).substr(at, end - at));
        at = end + 1;
        ++lineNumber;
        if (line.empty() || line.front() == ';') continue;
        auto refuse = [&](const std::string& why) {
            error = "line " + std::to_string(lineNumber) + " " + why;
            return false;
        };
        if (!headerSeen) {
            if (line != kStoreHeader) return refuse("is not \"" + std::string(kStoreHeader) + "\"");
            headerSeen = true;
            continue;
        }
        if (line.front() == '[') {
            if (line.back() != ']') return refuse("opens a key without closing it");
            inKey = SameName(line.substr(1, line.size() - 2), kStoreKey);
            continue;
        }
        // Values of other keys are left alone (and not kept).
        if (!inKey) continue;
        std::string name;
        std::string_view rest;
        if (!TakeQuoted(line, name, rest)) return refuse("has no quoted value name");
        rest = Trim(rest);
        if (rest.empty() || rest.front() != '=') return refuse("has no '=' after the value name");
        rest = Trim(rest.substr(1));
        if (!rest.empty() && rest.front() == '"') {
            std::string value;
            std::string_view after;
            if (!TakeQuoted(rest, value, after) || !Trim(after).empty()) {
                return refuse("has a string that is not closed");
            }
            store.SetString(name, value);
        } else if (rest.size() > 6 && SameName(rest.substr(0, 6), "dword:")) {
            const std::string_view digits = rest.substr(6);
            if (digits.size() > 8) return refuse("has a dword of more than 8 digits");
            uint32_t number = 0;
            for (char c : digits) {
                if (!std::isxdigit(static_cast<unsigned char>(c))) {
                    return refuse("has a dword that is not hexadecimal");
                }
                const int digit = std::isdigit(static_cast<unsigned char>(c))
                                      ? c - '0'
                                      : std::tolower(static_cast<unsigned char>(c)) - 'a' + 10;
                number = (number << 4) | static_cast<uint32_t>(digit);
            }
            store.SetNumber(name, number);
        } else if (rest == "-") {
            // A deleted value.
        } else {
            return refuse("has a value that is neither a string nor a dword");
        }
    }
    if (!headerSeen) {
        error = "it is empty";
        return false;
    }
    return true;
}

std::string SettingsStore::Serialize() const {
    std::string out = std::string(kStoreHeader) + "\r\n\r\n[" + kStoreKey + "]\r\n";
    for (const Value& value : values_) {
        out += Quote(value.name) + "=";
        if (value.isString) {
            out += Quote(value.text);
        } else {
            char digits[16];
            std::snprintf(digits, sizeof digits, "dword:%08x", value.number);
            out += digits;
        }
        out += "\r\n";
    }
    return out + "\r\n";
}

const SettingsStore::Value* SettingsStore::Find(std::string_view name) const {
    for (const Value& value : values_) {
        if (SameName(value.name, name)) return &value;
    }
    return nullptr;
}

SettingsStore::Value* SettingsStore::Find(std::string_view name) {
    return const_cast<Value*>(static_cast<const SettingsStore*>(this)->Find(name));
}

std::optional<std::string> SettingsStore::GetString(std::string_view name) const {
    const Value* value = Find(name);
    if (!value || !value->isString) return std::nullopt;
    return value->text;
}

std::optional<uint32_t> SettingsStore::GetNumber(std::string_view name) const {
    const Value* value = Find(name);
    if (!value || value->isString) return std::nullopt;
    return value->number;
}

bool SettingsStore::SetString(std::string_view name, std::string_view text) {
    if (text.find_first_of(std::string_view("\r\n\0", 3)) != std::string_view::npos) return false;
    Value* value = Find(name);
    if (!value) value = &values_.emplace_back(Value{std::string(name), true, {}, 0});
    value->isString = true;
    value->text = std::string(text);
    value->number = 0;
    return true;
}

void SettingsStore::SetNumber(std::string_view name, uint32_t number) {
    Value* value = Find(name);
    if (!value) value = &values_.emplace_back(Value{std::string(name), false, {}, 0});
    value->isString = false;
    value->text.clear();
    value->number = number;
}

StoreFile::Opened StoreFile::Open(std::string& problem) {
    problem.clear();
    std::vector<uint8_t> bytes;
    std::string error;
    bool missing = false;
    if (!ReadWholeFile(path_, bytes, error, missing, 1u << 20)) {
        store_ = SettingsStore();
        if (missing) return Opened::Created;
        problem = "The remembered settings could not be read: " + error +
                  ".\nBrenmark starts with new settings.";
        return Opened::Created;
    }
    std::string why;
    if (!SettingsStore::Parse(bytes, store_, why)) {
        store_ = SettingsStore();
        keepCorrupt_ = true;
        problem = "The remembered settings in " + path_ + " are not a settings file: " + why +
                  ".\nBrenmark starts with new settings and keeps the old file as " + path_ +
                  ".corrupt.";
        return Opened::Created;
    }
    return Opened::Existing;
}

bool StoreFile::Save(std::string& error) {
    std::error_code ignored;
    const std::filesystem::path parent = std::filesystem::path(path_).parent_path();
    if (!parent.empty()) std::filesystem::create_directories(parent, ignored);
    if (keepCorrupt_) {
        // The unreadable file goes aside, not away: its owner may want what it held.
        if (std::rename(path_.c_str(), (path_ + ".corrupt").c_str()) == 0) keepCorrupt_ = false;
    }
    const std::string text = store_.Serialize();
    return ReplaceFileAtomically(path_, std::vector<uint8_t>(text.begin(), text.end()), error,
                                 0600);
}

}  // namespace brenmark
