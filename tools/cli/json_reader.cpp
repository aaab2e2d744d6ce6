#include "cli/json_reader.h"

namespace cordane::tools {

namespace {

class Reader {
  public:
    explicit Reader(std::string_view text) : text_(text) {}

    void Spaces() {
        while (at_ < text_.size() && (text_[at_] == ' ' || text_[at_] == '\t' ||
                                      text_[at_] == '\r' || text_[at_] == '\n')) {
            ++at_;
        }
    }
    bool Take(char c) {
        Spaces();
        if (at_ < text_.size() && text_[at_] == c) {
            ++at_;
            return true;
        }
        return false;
    }
    bool Word(std::string_view word) {
        if (text_.substr(at_, word.size()) != word) return false;
        at_ += word.size();
        return true;
    }
    bool AtEnd() {
        Spaces();
        return at_ == text_.size();
    }

    // A string literal; \u escapes become UTF-8 (a surrogate pair as one code point).
    bool String(std::string& out) {
        if (!Take('"')) return false;
        while (at_ < text_.size()) {
            const char c = text_[at_++];
            if (c == '"') return true;
            if (static_cast<unsigned char>(c) < 0x20) return false;
            if (c != '\\') {
                out += c;
                continue;
            }
            if (at_ >= text_.size()) return false;
            const char e = text_[at_++];
            switch (e) {
                case '"':
                case '\\':
                case '/':
                    out += e;
                    break;
                case 'b':
                    out += '\b';
                    break;
                case 'f':
                    out += '\f';
                    break;
                case 'n':
                    out += '\n';
                    break;
                case 'r':
                    out += '\r';
                    break;
                case 't':
                    out += '\t';
                    break;
                case 'u': {
                    uint32_t code = 0;
                    if (!Hex4(code)) return false;
                    if (code >= 0xD800 && code <= 0xDBFF) {
                        uint32_t low = 0;
                        if (!Word("\\u") || !Hex4(low) || low < 0xDC00 || low > 0xDFFF) {
                            return false;
                        }
                        code = 0x10000 + ((code - 0xD800) << 10) + (low - 0xDC00);
                    } else if (code >= 0xDC00 && code <= 0xDFFF) {
                        return false;
                    }
                    Utf8(code, out);
                    break;
                }
                default:
                    return false;
            }
        }
        return false;
    }

    // An integer within int64_t; fractions and exponents are not written by the tools.
    bool Integer(int64_t& value) {
        Spaces();
        const bool negative = at_ < text_.size() && text_[at_] == '-';
        if (negative) ++at_;
        const size_t first = at_;
        uint64_t magnitude = 0;
        while (at_ < text_.size() && text_[at_] >= '0' && text_[at_] <= '9') {
            const auto digit = static_cast<uint64_t>(text_[at_] - '0');
            if (magnitude > (UINT64_MAX - digit) / 10) return false;
            magnitude = magnitude * 10 + digit;
            ++at_;
        }
        if (at_ == first || magnitude > static_cast<uint64_t>(INT64_MAX)) return false;
        value = negative ? -static_cast<int64_t>(magnitude) : static_cast<int64_t>(magnitude);
        return true;
    }

    bool Value(JsonValue& value) {
        Spaces();
        if (at_ >= text_.size()) return false;
        const char c = text_[at_];
        if (c == '"') {
            value.kind = JsonValue::Kind::String;
            return String(value.text);
        }
        if (Word("true") || Word("false")) {
            value.kind = JsonValue::Kind::Bool;
            value.boolean = c == 't';
            return true;
        }
        if (Word("null")) {
            value.kind = JsonValue::Kind::Null;
            return true;
        }
        value.kind = JsonValue::Kind::Number;
        return Integer(value.number);
    }

  private:
    bool Hex4(uint32_t& code) {
        if (at_ + 4 > text_.size()) return false;
        for (int i = 0; i < 4; ++i) {
            const char h = text_[at_++];
            code <<= 4;
            if (h >= '0' && h <= '9') {
                code |= static_cast<uint32_t>(h - '0');
            } else if (h >= 'a' && h <= 'f') {
                code |= static_cast<uint32_t>(h - 'a' + 10);
            } else if (h >= 'A' && h <= 'F') {
                code |= static_cast<uint32_t>(h - 'A' + 10);
            } else {
                return false;
            }
        }
        return true;
    }

    static void Utf8(uint32_t code, std::string& out) {
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

    std::string_view text_;
    size_t at_ = 0;
};

}  // namespace

const JsonValue* JsonObject::Find(std::string_view key) const {
    for (const auto& [name, value] : members) {
        if (name == key) return &value;
    }
    return nullptr;
}

std::optional<std::string> JsonObject::String(std::string_view key) const {
    const JsonValue* value = Find(key);
    if (value == nullptr || value->kind != JsonValue::Kind::String) return std::nullopt;
    return value->text;
}

std::optional<int64_t> JsonObject::Number(std::string_view key) const {
    const JsonValue* value = Find(key);
    if (value == nullptr || value->kind != JsonValue::Kind::Number) return std::nullopt;
    return value->number;
}

std::optional<JsonObject> ParseFlatObject(std::string_view text) {
    Reader reader(text);
    JsonObject object;
    if (!reader.Take('{')) return std::nullopt;
    if (!reader.Take('}')) {
        do {
            std::string key;
            JsonValue value;
            if (!reader.String(key) || !reader.Take(':') || !reader.Value(value)) {
                return std::nullopt;
            }
            object.members.emplace_back(std::move(key), std::move(value));
        } while (reader.Take(','));
        if (!reader.Take('}')) return std::nullopt;
    }
    if (!reader.AtEnd()) return std::nullopt;
    return object;
}

}  // namespace cordane::tools
