#include "cli/json_writer.h"

#include <gtest/gtest.h>

namespace cordane::tools {
namespace {

TEST(JsonWriterTest, CommasBetweenMembersAndElementsAtEveryDepth) {
    JsonWriter json;
    json.BeginObject().Key("a").Number(-1).Key("b").BeginArray();
    json.BeginObject().EndObject().BeginArray().EndArray().Bool(true).Null().String("x");
    json.EndArray().Key("c").BeginObject().Key("d").Bool(false).EndObject().EndObject();
    EXPECT_EQ(json.text(), R"({"a":-1,"b":[{},[],true,null,"x"],"c":{"d":false}})");
}

TEST(JsonWriterTest, KeysAndStringsAreEscaped) {
    JsonWriter json;
    json.BeginObject().Key("k\"\\").String(std::string("\n\x01\xff", 3)).EndObject();
    EXPECT_EQ(json.text(), "{\"k\\\"\\\\\":\"\\n\\u0001\\ufffd\"}");
}

}  // namespace
}  // namespace cordane::tools
