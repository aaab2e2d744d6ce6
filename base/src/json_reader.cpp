#include "base/json_reader.h"

#include "base/hex.h"
#include "base/utf8.h"

namespace korvel::base {
namespace {

class Reader {
  public:
    explicit Reader(std::string_view text) : text_(text) {}

    Expected<JsonObject> Object() {
        JsonObject object;
        Blanks();
        if (!Take('{')) return Refuse("'{' expected at the start of the object");
        Blanks();
        if (!Take('}')) {
            for (;;) {
                Blanks();
                std::string key;
                if (Peek() != '"') return Refuse("'\"' expected at the start of a member name");
                if (!String(key)) return Refused();
                Blanks();
                if (!Take(':')) return Refuse("':' expected after the member name");
                Blanks();
                JsonValue value;
                if (!Value(value)) return Refused();
                object.members.emplace_back(std::move(key), std::move(value));
                Blanks();
                if (Take(',')) continue;
                if (Take('}')) break;
                return Refuse("',' or '}' expected after a member");
            }
        }
        Blanks();
        if (at_ != text_.size()) return Refuse("text after the object");
        return object;
    }

  private:
    char Peek() const { return at_ < text_.size() ? text_[at_] : '\0'; }
    bool Take(char c) {
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
    void Blanks() {
        while (at_ < text_.size() && (text_[at_] == ' ' || text_[at_] == '\t' ||
                                      text_[at_] == '\r' || text_[at_] == '\n')) {
            ++at_;
        }
    }

    // Notes why the text is refused, at the current byte.
    bool Fault(std::string why) {
        why_ = "at byte " + std::to_string(at_) + ", " + std::move(why);
        return false;
    }
    Error Refused() const {
        return Fail("not a flat JSON object: " + why_,
                    "each line must be one object of strings, whole numbers, booleans and null",
                    Cause::BadInput);
    }
    Error Refuse(std::string why) {
        Fault(std::move(why));
        return Refused();
    }

    // A string literal: valid UTF-8, no raw control characters; \u escapes become UTF-8, a
    // surrogate pair as one code point, a lone surrogate refused.
    bool String(std::string& out) {
        ++at_;  // the opening quote
        while (at_ < text_.size()) {
            const auto c = static_cast<unsigned char>(text_[at_]);
            if (c == '"') {
                ++at_;
                return true;
            }
            if (c < 0x20) return Fault("a control character inside a string (it must be escaped)");
            if (c >= 0x80) {
                const size_t length = Utf8SequenceLength(text_, at_);
                if (length == 0) return Fault("a byte that is not valid UTF-8 inside a string");
                out.append(text_.substr(at_, length));
                at_ += length;
                continue;
            }
            ++at_;
            if (c != '\\') {
                out += static_cast<char>(c);
                continue;
            }
            if (at_ >= text_.size()) break;
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
                    char32_t code = 0;
                    if (!Hex4(code)) return false;
                    if (code >= 0xD800 && code <= 0xDBFF) {
                        char32_t low = 0;
                        if (!Word("\\u")) return Fault("a surrogate without its second half");
                        if (!Hex4(low)) return false;
                        if (low < 0xDC00 || low > 0xDFFF) {
                            return Fault("a surrogate without its second half");
                        }
                        code = 0x10000 + ((code - 0xD800) << 10) + (low - 0xDC00);
                    } else if (code >= 0xDC00 && code <= 0xDFFF) {
                        return Fault("the second half of a surrogate alone");
                    }
                    AppendUtf8(out, code);
                    break;
                }
                default:
                    --at_;
                    return Fault("an unknown escape \\" + std::string(1, e));
            }
        }
        return Fault("a string without its closing quote");
    }

    bool Hex4(char32_t& code) {
        for (int i = 0; i < 4; ++i) {
            const int digit = at_ < text_.size() ? HexDigitValue(text_[at_]) : -1;
            if (digit < 0) return Fault("four hexadecimal digits expected after \\u");
            code = code << 4 | static_cast<char32_t>(digit);
            ++at_;
        }
        return true;
    }

    // A whole number within 64 bits: no fraction, no exponent, no leading zero.
    bool Integer(int64_t& value) {
        const bool negative = Take('-');
        const size_t first = at_;
        uint64_t magnitude = 0;
        while (at_ < text_.size() && text_[at_] >= '0' && text_[at_] <= '9') {
            const auto digit = static_cast<uint64_t>(text_[at_] - '0');
            if (magnitude > (UINT64_MAX - digit) / 10) return Fault("a number beyond 64 bits");
            magnitude = magnitude * 10 + digit;
            ++at_;
        }
        if (at_ == first)
            return Fault("a value expected (a string, a number, true, false or null)");
        if (text_[first] == '0' && at_ - first > 1) {
            at_ = first;
            return Fault("a number with a leading zero");
        }
        if (Peek() == '.' || Peek() == 'e' || Peek() == 'E') {
            return Fault("a number with a fraction or an exponent; only whole numbers are read");
        }
        const uint64_t most = static_cast<uint64_t>(INT64_MAX) + (negative ? 1 : 0);
        if (magnitude > most) {
            at_ = first;
            return Fault("a number beyond 64 bits");
        }
        value = negative ? static_cast<int64_t>(0 - magnitude) : static_cast<int64_t>(magnitude);
        return true;
    }

    bool Value(JsonValue& value) {
        const char c = Peek();
        if (c == '"') {
            value.kind = JsonValue::Kind::String;
            return String(value.text);
        }
        if (c == '{' || c == '[') return Fault("a nested object or array");
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

    std::string_view text_;
    size_t at_ = 0;
    std::string why_;
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

std::optional<bool> JsonObject::Bool(std::string_view key) const {
    const JsonValue* value = Find(key);
    if (value == nullptr || value->kind != JsonValue::Kind::Bool) return std::nullopt;
    return value->boolean;
}

Expected<JsonObject> ReadJsonObject(std::string_view text) {
    return Reader(text).Object();
}

}  // namespace korvel::base
