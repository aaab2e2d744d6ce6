// Reading the flat JSON objects the programs write one per line (a child's progress events):
// members whose values are strings, whole numbers, booleans or null. Anything else, including a
// nested object or array, a fraction, a string that is not valid UTF-8 and text after the object,
// is refused with the place and the reason.
#ifndef KORVEL_BASE_JSON_READER_H
#define KORVEL_BASE_JSON_READER_H

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "base/error.h"

namespace korvel::base {

struct JsonValue {
    enum class Kind : uint8_t { Null, Bool, Number, String };
    Kind kind = Kind::Null;
    bool boolean = false;
    int64_t number = 0;
    std::string text;
};

// The members of a flat object, in their order (a repeated key: the first one counts).
class JsonObject {
  public:
    std::vector<std::pair<std::string, JsonValue>> members;

    const JsonValue* Find(std::string_view key) const;
    // The value under `key`; nothing when it is missing or of another kind.
    std::optional<std::string> String(std::string_view key) const;
    std::optional<int64_t> Number(std::string_view key) const;
    std::optional<bool> Bool(std::string_view key) const;
};

// The one object that fills `text` (blanks around it allowed). Refused with Cause::BadInput and a
// message such as "not a flat JSON object: at byte 12, ':' expected after the member name".
Expected<JsonObject> ReadJsonObject(std::string_view text);

}  // namespace korvel::base

#endif
