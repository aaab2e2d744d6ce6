#include "base/json_writer.h"

#include <algorithm>
#include <cmath>
#include <cstdio>

#include "base/utf8.h"

namespace korvel::base {

std::string JsonString(std::string_view text, JsonEscapes escapes) {
    std::string out;
    out.reserve(text.size() + 2);
    out += '"';
    for (size_t at = 0; at < text.size();) {
        const auto c = static_cast<unsigned char>(text[at]);
        if (c >= 0x80) {
            // A multi-byte sequence is copied only when it is valid UTF-8.
            const size_t length = Utf8SequenceLength(text, at);
            if (length == 0) {
                out += "\\ufffd";
                ++at;
            } else {
                out.append(text.substr(at, length));
                at += length;
            }
            continue;
        }
        ++at;
        if (c == '"' || c == '\\') {
            out += '\\';
            out += static_cast<char>(c);
            continue;
        }
        if (c >= 0x20) {
            out += static_cast<char>(c);
            continue;
        }
        if (escapes == JsonEscapes::Short) {
            const char* shortForm = nullptr;
            switch (c) {
                case '\b':
                    shortForm = "\\b";
                    break;
                case '\f':
                    shortForm = "\\f";
                    break;
                case '\n':
                    shortForm = "\\n";
                    break;
                case '\r':
                    shortForm = "\\r";
                    break;
                case '\t':
                    shortForm = "\\t";
                    break;
                default:
                    break;
            }
            if (shortForm != nullptr) {
                out += shortForm;
                continue;
            }
        }
        char escaped[8];
        std::snprintf(escaped, sizeof escaped, "\\u%04x", c);
        out += escaped;
    }
    out += '"';
    return out;
}

void JsonWriter::BeforeValue() {
    if (afterKey_) {
        afterKey_ = false;
        return;
    }
    if (!empty_.empty()) {
        if (!empty_.back()) text_ += ',';
        empty_.back() = false;
    }
}

JsonWriter& JsonWriter::Open(char bracket) {
    BeforeValue();
    text_ += bracket;
    open_.push_back(bracket == '{' ? '}' : ']');
    empty_.push_back(true);
    return *this;
}

JsonWriter& JsonWriter::Close() {
    // An unbalanced close writes nothing rather than text that is no JSON.
    if (open_.empty()) return *this;
    text_ += open_.back();
    open_.pop_back();
    empty_.pop_back();
    afterKey_ = false;
    return *this;
}

JsonWriter& JsonWriter::Key(std::string_view key) {
    BeforeValue();
    text_ += JsonString(key, escapes_);
    text_ += ':';
    afterKey_ = true;
    return *this;
}

JsonWriter& JsonWriter::String(std::string_view value) {
    BeforeValue();
    text_ += JsonString(value, escapes_);
    return *this;
}

JsonWriter& JsonWriter::Number(int64_t value) {
    BeforeValue();
    text_ += std::to_string(value);
    return *this;
}

JsonWriter& JsonWriter::Unsigned(uint64_t value) {
    BeforeValue();
    text_ += std::to_string(value);
    return *this;
}

JsonWriter& JsonWriter::Fixed(double value, int decimals) {
    BeforeValue();
    if (!std::isfinite(value)) {
        text_ += "null";
        return *this;
    }
    char number[400];  // room for any double's digits
    std::snprintf(number, sizeof number, "%.*f", std::clamp(decimals, 0, 9), value);
    text_ += number;
    return *this;
}

JsonWriter& JsonWriter::Bool(bool value) {
    BeforeValue();
    text_ += value ? "true" : "false";
    return *this;
}

JsonWriter& JsonWriter::Null() {
    BeforeValue();
    text_ += "null";
    return *this;
}

}  // namespace korvel::base
