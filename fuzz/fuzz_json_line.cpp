// Fuzz target for the JSON lines a download to several ports reads back from each port's job:
// any text is one flat object or refused, never a crash, and an object that is read writes back
// as text that reads the same.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string_view>

#include "cli/json_reader.h"
#include "cli/json_writer.h"

namespace {

void Require(bool condition) {
    if (!condition) std::abort();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    using namespace cordane::tools;
    const std::string_view text(reinterpret_cast<const char*>(data), size);
    const std::optional<JsonObject> object = ParseFlatObject(text);
    if (!object) return 0;
    JsonWriter writer;
    writer.BeginObject();
    for (const auto& [key, value] : object->members) {
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
    const std::optional<JsonObject> again = ParseFlatObject(writer.text());
    Require(again.has_value() && again->members.size() == object->members.size());
    for (size_t i = 0; i < object->members.size(); ++i) {
        const JsonValue& a = object->members[i].second;
        const JsonValue& b = again->members[i].second;
        Require(a.kind == b.kind && a.number == b.number && a.boolean == b.boolean);
        // Strings match unless the input held bytes that are not UTF-8, which the writer replaces.
        if (a.text != b.text) Require(a.kind == JsonValue::Kind::String);
    }
    return 0;
}
