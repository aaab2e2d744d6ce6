// The pure pieces: the CRC with its start values, JSON written and read back, hexadecimal and
// text, and the error type's propagation.
#include <cstring>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "base/crc16.h"
#include "base/error.h"
#include "base/hex.h"
#include "base/json_reader.h"
#include "base/json_writer.h"
#include "base/text.h"
#include "base/utf8.h"

namespace {

using namespace korvel::base;

// CRC-16/X-25 one bit at a time, from its definition.
uint16_t BitwiseCrc(const std::vector<uint8_t>& bytes, uint16_t start) {
    uint16_t crc = start;
    for (const uint8_t byte : bytes) {
        crc ^= byte;
        for (int bit = 0; bit < 8; ++bit) {
            crc = (crc & 1) ? static_cast<uint16_t>((crc >> 1) ^ 0x8408) : crc >> 1;
        }
    }
    return static_cast<uint16_t>(~crc);
}

TEST(Crc16X25, GivesTheCheckValueAndMatchesTheDefinitionFromAnyStart) {
    const char* check = "123456789";
    EXPECT_EQ(Crc16X25(reinterpret_cast<const uint8_t*>(check), std::strlen(check)), 0x906E);
    EXPECT_EQ(Crc16X25(nullptr, 0), 0x0000);
    EXPECT_EQ(Crc16X25Table()[1], 0x1189);
    EXPECT_EQ(Crc16X25Table()[128], 0x8408);

    std::vector<uint8_t> data(1000);
    for (size_t i = 0; i < data.size(); ++i) data[i] = static_cast<uint8_t>(i * 37 + (i >> 3));
    // Lengths around the sixteen-byte slices, from the standard start and a keyed one.
    for (const uint16_t start : {kCrc16X25Start, uint16_t{0x6C2F}}) {
        for (size_t size :
             {size_t{1}, size_t{15}, size_t{16}, size_t{17}, size_t{33}, size_t{1000}}) {
            const std::vector<uint8_t> part(data.begin(), data.begin() + static_cast<long>(size));
            EXPECT_EQ(Crc16X25(part, start), BitwiseCrc(part, start)) << size << " from " << start;
        }
        // Going on from the complement of the CRC so far is the CRC of the whole.
        const uint16_t first = Crc16X25(std::span(data).first(333), start);
        EXPECT_EQ(Crc16X25(std::span(data).subspan(333), static_cast<uint16_t>(~first)),
                  Crc16X25(data, start));
    }
    EXPECT_NE(Crc16X25(data, 0x6C2F), Crc16X25(data)) << "the start value counts";
}

TEST(Json, WhatIsWrittenReadsBackTheSame) {
    const std::string text = std::string("quote \" backslash \\ tab \t line\n nul ") +
                             std::string(1, '\0') + " e\xCC\x81 \xF0\x9F\x98\x80";
    JsonWriter writer;
    writer.BeginObject().Key("event").String("messagebox").Key("text").String(text);
    writer.Key("code").Number(-5).Key("big").Number(INT64_MIN).Key("question").Bool(true);
    writer.Key("answer").Null().EndObject();
    EXPECT_NE(writer.text().find(R"({"event":"messagebox","text":"quote \" backslash \\ tab \t )"
                                 R"(line\n nul \u0000 e)"),
              std::string::npos)
        << writer.text();
    Expected<JsonObject> read = ReadJsonObject("  " + writer.text() + "\r\n");
    ASSERT_TRUE(read) << read.error().message;
    EXPECT_EQ(read->String("text"), text);
    EXPECT_EQ(read->Number("code"), -5);
    EXPECT_EQ(read->Number("big"), INT64_MIN);
    EXPECT_EQ(read->Bool("question"), true);
    EXPECT_EQ(read->Find("answer")->kind, JsonValue::Kind::Null);
    EXPECT_FALSE(read->Number("text")) << "a member of another kind";

    // Bytes that are not UTF-8 are written as U+FFFD; escapes as the reader knows them.
    EXPECT_EQ(JsonString("a\xFF\xC0\x80z"), R"("a\ufffd\ufffd\ufffdz")");
    EXPECT_EQ(JsonString("a\nb\x01", JsonEscapes::Unicode), R"("a\u000ab\u0001")");
    EXPECT_EQ(ReadJsonObject(R"({"a":"\ud83d\ude00\u00e9\/"})")->String("a"),
              "\xF0\x9F\x98\x80\xC3\xA9/");
    JsonWriter nested;
    nested.BeginObject().Key("jobs").BeginArray().BeginObject().Key("s").Fixed(2.3456, 2);
    nested.EndObject().Number(1).EndArray().Key("n").Unsigned(UINT64_MAX).EndObject();
    EXPECT_EQ(nested.text(), R"({"jobs":[{"s":2.35},1],"n":18446744073709551615})");
    EXPECT_TRUE(ReadJsonObject("{}"));
}

TEST(Json, BadLinesAreRefusedWithThePlaceAndTheReason) {
    const std::pair<const char*, const char*> cases[] = {
        {"", "at byte 0, '{' expected"},
        {R"({"a":1} x)", "at byte 8, text after the object"},
        {R"({"a" 1})", "at byte 5, ':' expected"},
        {R"({"a":1,})", "at byte 7, '\"' expected"},
        {R"({"a":{"b":1}})", "at byte 5, a nested object or array"},
        {R"({"a":1.5})", "a fraction or an exponent"},
        {R"({"a":01})", "at byte 5, a number with a leading zero"},
        {R"({"a":9223372036854775808})", "a number beyond 64 bits"},
        {R"({"a":tru})", "a value expected"},
        {"{\"a\":\"\xC3\"}", "not valid UTF-8"},
        {"{\"a\":\"x\ny\"}", "a control character inside a string"},
        {R"({"a":"\ud800"})", "a surrogate without its second half"},
        {R"({"a":"\udc00"})", "the second half of a surrogate alone"},
        {R"({"a":"\x41"})", "an unknown escape \\x"},
        {R"({"a":"\u12G4"})", "four hexadecimal digits expected"},
        {R"({"a":"open)", "a string without its closing quote"},
    };
    for (const auto& [line, reason] : cases) {
        const Expected<JsonObject> read = ReadJsonObject(line);
        ASSERT_FALSE(read) << line;
        EXPECT_EQ(read.error().cause, Cause::BadInput);
        EXPECT_NE(read.error().message.find(reason), std::string::npos)
            << line << ": " << read.error().message;
    }
}

TEST(Hex, NumbersAndBytesAreWrittenAndReadBackOrRefused) {
    EXPECT_EQ(HexNumber(0x2A), "0x2A");
    EXPECT_EQ(HexNumber(0x2A, 4), "0x002A");
    EXPECT_EQ(HexNumber(0x100000, 6), "0x100000");
    EXPECT_EQ(HexNumber(UINT64_MAX), "0xFFFFFFFFFFFFFFFF");
    const std::vector<uint8_t> bytes{0x05, 0x00, 0xAB};
    EXPECT_EQ(HexBytes(bytes), "05 00 AB");
    EXPECT_EQ(HexBytes(bytes, "", HexLetters::Lower), "0500ab");
    EXPECT_EQ(HexBytes({}), "");
    EXPECT_EQ(ParseHexBytes("0500aB").value(), bytes);

    const Expected<std::vector<uint8_t>> odd = ParseHexBytes("050");
    ASSERT_FALSE(odd);
    EXPECT_EQ(odd.error().message, "\"050\" has an odd number of hexadecimal digits");
    const Expected<std::vector<uint8_t>> digit = ParseHexBytes("05G0");
    ASSERT_FALSE(digit);
    EXPECT_NE(digit.error().message.find("character 3 is not a digit"), std::string::npos);
    const Expected<std::vector<uint8_t>> many = ParseHexBytes("050607", 2);
    ASSERT_FALSE(many);
    EXPECT_EQ(many.error().cause, Cause::BadInput);
    EXPECT_EQ(HexDigitValue('f'), 15);
    EXPECT_EQ(HexDigitValue('g'), -1);
}

TEST(Text, TrimsComparesAndGroups) {
    EXPECT_EQ(Trimmed("\r\n  Reboot && initialisation Loader...  \n"),
              "Reboot && initialisation Loader...");
    EXPECT_EQ(Trimmed(" \t\r\n"), "");
    EXPECT_EQ(OneLine("\nfirst\r\nsecond  "), "first  second");
    EXPECT_EQ(TrimEnd("value \t\r", " \t\r"), "value");
    EXPECT_EQ(TrimStart("\r value", " \t"), "\r value") << "only the blanks asked for";
    EXPECT_TRUE(EqualIgnoringCase("Brenmark.INI", "brenmark.ini"));
    EXPECT_FALSE(EqualIgnoringCase("glo", "glob"));
    EXPECT_EQ(GroupDigits(57344), "57,344");
    EXPECT_EQ(GroupDigits(999), "999");
    EXPECT_EQ(GroupDigits(1000000), "1,000,000");
    std::string encoded;
    AppendUtf8(encoded, 0xE9);
    AppendUtf8(encoded, 0x1F600);
    AppendUtf8(encoded, 0xD800);
    EXPECT_EQ(encoded, "\xC3\xA9\xF0\x9F\x98\x80\xEF\xBF\xBD");
    EXPECT_TRUE(IsValidUtf8(encoded));
    EXPECT_FALSE(IsValidUtf8("\xED\xA0\x80")) << "a surrogate";
    EXPECT_EQ(ValidUtf8("a\xE0\x80z"), "a\xEF\xBF\xBD\xEF\xBF\xBDz");
}

// A caller three levels up gets the first failure, code and hint included.
Expected<int> Parse(const std::string& text) {
    if (text.empty()) return Error(2, "no number given", "give a number");
    return static_cast<int>(text.size());
}
Expected<void> Check(const std::string& text) {
    KORVEL_ASSIGN_OR_RETURN(const int length, Parse(text));
    if (length > 3) return Fail("\"" + text + "\" is too long");
    return {};
}
Expected<std::string> Checked(const std::string& text) {
    KORVEL_TRY(Check(text));
    return "ok " + text;
}

TEST(Error, FailuresTravelUpWithTheirCodeAndPrintAtTheBoundary) {
    EXPECT_EQ(Checked("ab").value(), "ok ab");
    const Expected<std::string> empty = Checked("");
    ASSERT_FALSE(empty);
    EXPECT_EQ(empty.error().code, 2);
    EXPECT_EQ(FormatError(empty.error(), "cordane seal: "),
              "cordane seal: no number given\ngive a number");
    const Expected<std::string> longer = Checked("abcd");
    ASSERT_FALSE(longer);
    EXPECT_EQ(longer.error().code, kFailureCode);
    EXPECT_EQ(FormatError(longer.error()), "\"abcd\" is too long") << "no hint, no second line";
    EXPECT_EQ(Fail("x").WithCode(3).WithHint("y").code, 3);
    GTEST_FLAG_SET(death_test_style, "threadsafe");  // a fresh process, whatever threads run
    EXPECT_DEATH((void)empty.value(), "no number given");
}

}  // namespace
