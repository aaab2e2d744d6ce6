// The JSON the cordane commands print for scripts, written as it is meant: objects, arrays, keys
// and values, with the commas and the escaping done in one place. Output is compact (no spaces),
// in the order written.
#ifndef CORDANE_TOOLS_JSON_WRITER_H
#define CORDANE_TOOLS_JSON_WRITER_H

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace cordane::tools {

// A JSON string literal: quoted, with quotes, backslashes and control characters escaped and any
// byte that is not part of valid UTF-8 replaced by U+FFFD.
std::string JsonString(std::string_view text);

class JsonWriter {
  public:
    JsonWriter& BeginObject() { return Open('{'); }
    JsonWriter& EndObject() { return Close('}'); }
    JsonWriter& BeginArray() { return Open('['); }
    JsonWriter& EndArray() { return Close(']'); }
    // The key of the object member whose value comes next.
    JsonWriter& Key(std::string_view key);
    JsonWriter& String(std::string_view value);
    JsonWriter& Number(int64_t value);
    // A number with `decimals` digits after the point (seconds, say): 2.35.
    JsonWriter& Fixed(double value, int decimals);
    JsonWriter& Bool(bool value);
    JsonWriter& Null();

    // The text so far; once every object and array is closed, a whole JSON value.
    const std::string& text() const { return text_; }

  private:
    JsonWriter& Open(char bracket);
    JsonWriter& Close(char bracket);
    void BeforeValue();

    std::string text_;
    std::vector<bool> first_;  // per open object or array: nothing in it yet
    bool afterKey_ = false;
};

}  // namespace cordane::tools

#endif
