// JSON as the programs print it for scripts, written as it is meant: objects, arrays, keys and
// values, with the commas and the escaping done in one place. The output is compact (no spaces),
// in the order written, and always valid UTF-8.
#ifndef KORVEL_BASE_JSON_WRITER_H
#define KORVEL_BASE_JSON_WRITER_H

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace korvel::base {

// How control characters are escaped: \n, \r, \t, \b and \f where JSON has a short form, or every
// one as \u00XX (the form the emulator's transcripts have always had).
enum class JsonEscapes : uint8_t { Short, Unicode };

// A JSON string literal: quoted, with quotes, backslashes and control characters escaped and every
// byte that is not part of valid UTF-8 replaced by U+FFFD.
std::string JsonString(std::string_view text, JsonEscapes escapes = JsonEscapes::Short);

class JsonWriter {
  public:
    explicit JsonWriter(JsonEscapes escapes = JsonEscapes::Short) : escapes_(escapes) {}

    JsonWriter& BeginObject() { return Open('{'); }
    JsonWriter& EndObject() { return Close(); }
    JsonWriter& BeginArray() { return Open('['); }
    JsonWriter& EndArray() { return Close(); }
    // The key of the object member whose value comes next.
    JsonWriter& Key(std::string_view key);
    JsonWriter& String(std::string_view value);
    JsonWriter& Number(int64_t value);
    JsonWriter& Unsigned(uint64_t value);
    // A number with `decimals` digits after the point (seconds, say): 2.35; null when not finite.
    JsonWriter& Fixed(double value, int decimals);
    JsonWriter& Bool(bool value);
    JsonWriter& Null();

    // The text so far; once every object and array is closed, a whole JSON value.
    const std::string& text() const { return text_; }

  private:
    JsonWriter& Open(char bracket);
    JsonWriter& Close();
    void BeforeValue();

    std::string text_;
    std::vector<char> open_;   // the closing bracket of each open object or array
    std::vector<bool> empty_;  // per open object or array: nothing in it yet
    bool afterKey_ = false;
    JsonEscapes escapes_;
};

}  // namespace korvel::base

#endif
