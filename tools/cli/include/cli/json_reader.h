// Reads back the flat JSON objects the cordane commands write one per line (JsonWriter): members
// whose values are strings, integers, booleans or null. Anything else is refused.
#ifndef CORDANE_TOOLS_JSON_READER_H
#define CORDANE_TOOLS_JSON_READER_H

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace cordane::tools {

struct JsonValue {
    enum class Kind { Null, Bool, Number, String };
    Kind kind = Kind::Null;
    bool boolean = false;
    int64_t number = 0;
    std::string text;
};

// The members of a flat object, in their order.
class JsonObject {
  public:
    std::vector<std::pair<std::string, JsonValue>> members;

    const JsonValue* Find(std::string_view key) const;
    // The string or the integer under `key`; nothing when missing or of another kind.
    std::optional<std::string> String(std::string_view key) const;
    std::optional<int64_t> Number(std::string_view key) const;
};

// One object filling `text` (spaces around it allowed); nothing when it is not one.
std::optional<JsonObject> ParseFlatObject(std::string_view text);

}  // namespace cordane::tools

#endif
