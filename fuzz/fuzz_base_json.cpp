// Fuzz target for the JSON object reader of the shared library: any text is one flat object or
// refused with a reason, never a crash; an object that is read writes back as text that reads
// the same, member for member, byte for byte; and any string written reads back as valid UTF-8.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string_view>

#include "base/json_reader.h"
#include "base/json_writer.h"
#include "base/utf8.h"

namespace {

using namespace korvel::base;

void Require(bool condition) {
    if (!condition) std::abort();
}

bool Same(const JsonValue& a, const JsonValue& b) {
    return a.kind == b.kind && a.boolean == b.boolean && a.number == b.number && a.text == b.text;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const std::string_view text(reinterpret_cast<const char*>(data), size);

    // Whatever the bytes, a string written from them is read back as their valid UTF-8 form.
    JsonWriter single;
    single.BeginObject().Key("text").String(text).EndObject();
    const Expected<JsonObject> written = ReadJsonObject(single.text());
    Require(written.has_value() && written->String("text") == ValidUtf8(text));

    const Expected<JsonObject> object = ReadJsonObject(text);
    if (!object) {
        Require(!object.error().message.empty() && object.error().cause == Cause::BadInput);
        return 0;
    }
    JsonWriter writer;
    writer.BeginObject();
    for (const auto& [key, value] : object->members) {
        Require(IsValidUtf8(key) && IsValidUtf8(value.text));
        writer.Key(key);
        switch (value.kind) {
            case JsonValue::Kind::Null:
                writer.Null();
                break;
            case JsonValue::Kind::Bool:
                writer.Bool(value.boolean);
                break;
            case JsonValue::Kind::Number:
                writer.Number(value.number);
                break;
            case JsonValue::Kind::String:
                writer.String(value.text);
                break;
        }
    }
    writer.EndObject();
    const Expected<JsonObject> again = ReadJsonObject(writer.text());
    Require(again.has_value() && again->members.size() == object->members.size());
    for (size_t i = 0; i < object->members.size(); ++i) {
        Require(again->members[i].first == object->members[i].first);
        Require(Same(again->members[i].second, object->members[i].second));
    }
    return 0;
}
