#include "cordane/formats/srec.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <algorithm>
#include <string>
#include <vector>

#include "support/srec_writer.h"

namespace cordane {
namespace {

using ::testing::Each;
using ::testing::ElementsAre;
using ::testing::ElementsAreArray;

constexpr uint8_t kCanary = 0xA5;  // image bytes the conversion must leave alone

std::string Hex(uint32_t value, int digits) {
    static constexpr char kDigits[] = "0123456789ABCDEF";
    std::string out(digits, '0');
    for (int i = digits - 1; i >= 0; --i, value >>= 4) out[i] = kDigits[value & 15];
    return out;
}

// One record of the given type with a 24-bit address, correct checksum and a line end.
std::string Record(char type, uint32_t address, const std::vector<uint8_t>& data,
                   const char* lineEnd = "\r\n") {
    return korvel::testkit::SrecRecord(type, address, 3, data, lineEnd);
}

std::string S2(uint32_t address, const std::vector<uint8_t>& data, const char* lineEnd = "\r\n") {
    return Record('2', address, data, lineEnd);
}

const std::string kHeader = "S00600004844521B\r\n";  // S0 record, skipped by the parser
const std::string kEnd = "S804002000DB\r\n";         // S8 end record

// Runs a conversion on a copy of `text` in a heap block of exactly its size, into a heap image of
// exactly `capacity` bytes preset to the canary, so that the address sanitizer catches any access
// past either. Checks that the image is untouched from result.length on, refused or not.
struct Conversion {
    SrecResult result;
    std::vector<uint8_t> image;  // the bytes below result.length

    static Conversion Run(const std::string& text, size_t capacity, bool windowed = false,
                          uint32_t lower = 0, uint32_t upper = 0) {
        std::vector<uint8_t> input(text.begin(), text.end());
        std::vector<uint8_t> buffer(capacity, kCanary);
        Conversion c;
        c.result = windowed
                       ? ConvertSrecWindow(input.data(), input.size(), buffer.data(), buffer.size(),
                                           lower, upper)
                       : ConvertSrecPlain(input.data(), input.size(), buffer.data(), buffer.size());
        EXPECT_LE(c.result.length, capacity);
        if (c.result.length <= capacity) {
            const auto touched = std::find_if(buffer.begin() + c.result.length, buffer.end(),
                                              [](uint8_t b) { return b != kCanary; });
            EXPECT_TRUE(touched == buffer.end())
                << "image written past its length, at index " << (touched - buffer.begin());
            c.image.assign(buffer.begin(), buffer.begin() + c.result.length);
        }
        return c;
    }
};

// A whole file: the records given, then an end record.
Conversion Plain(const std::string& text, size_t capacity = 0x7FFFF) {
    return Conversion::Run(text + kEnd, capacity);
}

Conversion Window(const std::string& text, uint32_t lower, uint32_t upper,
                  size_t capacity = 0x7FFFF) {
    return Conversion::Run(text + kEnd, capacity, true, lower, upper);
}

// The text exactly as given.
Conversion PlainText(const std::string& text) {
    return Conversion::Run(text, 0x7FFFF);
}

// A record from its characters after "S" and the type, with the checksum the digits need as the
// parser reads them (every character that is not 0-9 or A-F counting as 15).
std::string AsRead(const std::string& typeAndDigits) {
    auto digit = [](char c) -> unsigned {
        if (c >= '0' && c <= '9') return c - '0';
        if (c >= 'A' && c <= 'F') return c - 'A' + 10;
        return 15;
    };
    unsigned sum = 0;
    for (size_t i = 1; i + 1 < typeAndDigits.size(); i += 2) {
        sum += digit(typeAndDigits[i]) * 16 + digit(typeAndDigits[i + 1]);
    }
    return "S" + typeAndDigits + Hex(~sum & 0xFF, 2) + "\n";
}

std::vector<uint8_t> Fill(size_t count, uint8_t value = 0xFF) {
    return std::vector<uint8_t>(count, value);
}

std::vector<uint8_t> Concat(std::vector<uint8_t> a, const std::vector<uint8_t>& b) {
    a.insert(a.end(), b.begin(), b.end());
    return a;
}

// --- Conversion of valid files ---------------------------------------------------------------

TEST(SrecPlain, TextWithoutDataGivesEmptyImage) {
    EXPECT_EQ(PlainText("").result.length, 0u);
    EXPECT_EQ(PlainText(kHeader + kEnd).result.length, 0u);
    EXPECT_EQ(PlainText(kHeader + kEnd).result.error, SrecError::None);
    // No record at all: nothing to refuse, an empty image the callers report.
    EXPECT_EQ(PlainText("no records here\r\n\r\n").result.error, SrecError::None);
}

TEST(SrecPlain, RecordsBecomeBytesFromAddress0x2000WithHolesOf0xFF) {
    // The first record at 0x2000 with four bytes, a hole of 3 addresses, then a record at 0x2010
    // preceded by a record that is below 0x2000 and therefore left out entirely.
    const std::string text = kHeader + S2(0x2000, {0x01, 0x02, 0x03, 0x04}) +
                             S2(0x2007, {0xAA, 0xBB}) + S2(0x1FF0, {0x11, 0x22, 0x33}) +
                             S2(0x2010, {0x5A}) + kEnd;
    const Conversion c = Plain(text);
    ASSERT_EQ(c.result.error, SrecError::None);
    EXPECT_THAT(c.image, ElementsAre(0x01, 0x02, 0x03, 0x04, 0xFF, 0xFF, 0xFF, 0xAA, 0xBB, 0xFF,
                                     0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0x5A));
}

TEST(SrecPlain, FirstRecordAbove0x2000IsPrecededByFF) {
    const Conversion c = Plain(S2(0x2010, {0x12, 0x34}));
    EXPECT_THAT(c.image, ElementsAreArray(Concat(Fill(16), {0x12, 0x34})));
}

TEST(SrecPlain, OnlyS2RecordsAreTaken) {
    // S1 and S3 records whose addresses read as 0x2000 hold data the plain form must not take.
    const std::string text = "S1072000112233442E\r\n" + Record('3', 0x2000, {0x99, 0x88}) +
                             S2(0x2000, {0x42}) + "S5030001FB\r\n" + kEnd;
    const Conversion c = Plain(text);
    EXPECT_THAT(c.image, ElementsAre(0x42));
}

TEST(SrecPlain, CharactersOutsideRecordsAreSkipped) {
    // Records back to back with no line ends, LF-only lines, blank lines and stray text.
    const std::string text = "garbage\n\n" + S2(0x2000, {0x10}, "") + S2(0x2001, {0x20}, "") +
                             "  \t\n" + S2(0x2002, {0x30}, "\n") + "2222\r\n" + kEnd;
    EXPECT_THAT(Plain(text).image, ElementsAre(0x10, 0x20, 0x30));
}

TEST(SrecPlain, EveryRecordIsCheckedAndTheFileMustEnd) {
    // A wrong checksum, in a data record or in one that is not taken, refuses the file.
    const std::string first = S2(0x2000, {1, 2});
    for (const std::string& bad :
         {std::string("S20600200212340F\r\n"), std::string("S00600004844521C\r\n")}) {
        const Conversion c = Plain(first + bad);
        EXPECT_EQ(c.result.error, SrecError::BadChecksum) << bad;
        EXPECT_EQ(c.result.offset, first.size());
        EXPECT_THAT(c.image, ElementsAre(1, 2));
    }
    EXPECT_EQ(Plain("S20600200212340F\r\n").result.address, 0x2002u);
    // A data record whose checksum is missing at the end of the text.
    EXPECT_EQ(PlainText("S2060020001234").result.error, SrecError::Truncated);
    // Records without an end record after them: a file cut short at a line end.
    for (const std::string& text : {first, kEnd + first, first + kHeader}) {
        const Conversion c = PlainText(text);
        EXPECT_EQ(c.result.error, SrecError::MissingEnd);
        EXPECT_EQ(c.result.offset, text.size());
    }
    // Any of the three end records ends a file.
    for (const char* end :
         {"S5030001FB\r\nS70500002000DA\r\n", "S804002000DB\r\n", "S9032000DC\r\n"}) {
        EXPECT_THAT(PlainText(first + end).image, ElementsAre(1, 2)) << end;
    }
}

TEST(SrecPlain, LowerCaseAndOtherNonDigitsCountAs15) {
    // Data: "a1" -> 0xF1, "1a" -> 0x1F, "fG" -> 0xFF. Address "00200a" -> 0x200F.
    EXPECT_THAT(Plain(AsRead("207002000a11afG")).image, ElementsAre(0xF1, 0x1F, 0xFF));
    EXPECT_THAT(Plain(AsRead("20500200a77")).image, ElementsAreArray(Concat(Fill(15), {0x77})));
    // Byte count "0a" -> 0x0F: eleven data bytes.
    EXPECT_THAT(Plain(AsRead("20a002000" + std::string(22, '3'))).image,
                ElementsAreArray(Fill(11, 0x33)));
    // A lower-case file whose checksums were made from the digits' hexadecimal values reads
    // differently, so its checksums do not hold: refused rather than flashed as other bytes.
    const Conversion c = Plain("S2060020001a2b94\r\n");
    EXPECT_EQ(c.result.error, SrecError::BadChecksum);
    EXPECT_EQ(c.result.address, 0x2000u);
}

TEST(SrecPlain, RecordWithoutDataStillFillsTheGapInFront) {
    EXPECT_THAT(Plain(S2(0x2004, {})).image, ElementsAreArray(Fill(4)));
    // The image then continues at that address.
    EXPECT_THAT(Plain(S2(0x2002, {}) + S2(0x2002, {0x01})).image, ElementsAre(0xFF, 0xFF, 0x01));
}

TEST(SrecWindow, TakesRecordsInsideTheWindowOnly) {
    // Window [0x4300, 0x4720): records below, at the bounds and above it.
    const std::string text = kHeader + S2(0x42FF, {0xEE}) + S2(0x4400, {0x01, 0x02}) +
                             S2(0x4600, {0x03}) + S2(0x4720, {0xDD}) + S2(0x471F, {0x04}) +
                             S2(0x100000, {0xCC}) + kEnd;
    const Conversion c = Window(text, 0x4300, 0x4720);
    ASSERT_EQ(c.result.error, SrecError::None);
    ASSERT_EQ(c.image.size(), 0x420u);
    EXPECT_THAT(std::vector<uint8_t>(c.image.begin(), c.image.begin() + 0x100), Each(0xFF));
    EXPECT_EQ(c.image[0x100], 0x01);
    EXPECT_EQ(c.image[0x101], 0x02);
    EXPECT_EQ(c.image[0x300], 0x03);
    EXPECT_EQ(c.image[0x41F], 0x04);
}

TEST(SrecWindow, RecordAcrossABoundIsRefused) {
    // Starting inside and running past the upper bound, or starting below and running into the
    // window: part of it would be lost.
    for (uint32_t address : {0x70000u - 2, 0x4000u - 2}) {
        const std::string first = S2(0x5000, {9});
        const Conversion c =
            Window((address < 0x5000 ? "" : first) + S2(address, {1, 2, 3, 4}), 0x4000, 0x70000);
        EXPECT_EQ(c.result.error, SrecError::CrossesWindow);
        EXPECT_EQ(c.result.address, address);
    }
    // Ending exactly at a bound is no crossing.
    EXPECT_EQ(Window(S2(0x4000 - 4, {1, 2, 3, 4}) + S2(0x70000 - 4, {5, 6, 7, 8}), 0x4000, 0x70000)
                  .result.length,
              0x6C000u);
    // The plain form's lower bound is 0x2000.
    EXPECT_EQ(Plain(S2(0x1FFF, {1, 2})).result.error, SrecError::CrossesWindow);
}

TEST(SrecWindow, LowerBoundIsImageByteZero) {
    EXPECT_THAT(Window(S2(0, {0x7E}) + S2(2, {0x7F}), 0, 0x100).image,
                ElementsAre(0x7E, 0xFF, 0x7F));
    // The loader image form: records with no separators, a window that starts mid-record run.
    const std::string text =
        kHeader + S2(0x80009, {1, 2}, "") + S2(0x8000B, {3}, "") + "S804080009EA";
    EXPECT_THAT(Conversion::Run(text, 0x7FFFF, true, 0x80009, 0x83000).image, ElementsAre(1, 2, 3));
}

TEST(SrecWindow, WindowAtTheTopOfTheAddressRange) {
    const Conversion c = Window(S2(0xFFFFFE, {9, 8, 7}), 0xFFFFF0, UINT32_MAX);
    EXPECT_THAT(c.image, ElementsAreArray(Concat(Fill(14), {9, 8, 7})));
    // A window entirely above 24-bit addresses takes nothing.
    EXPECT_EQ(Window(S2(0xFFFFFE, {1}), 0x1000000, UINT32_MAX).result.length, 0u);
}

// --- Refusals --------------------------------------------------------------------------------

TEST(SrecRefusal, RecordBelowThePreviousEndIsOutOfOrder) {
    const std::string first = kHeader + S2(0x2000, {1, 2, 3, 4});
    for (uint32_t address : {0x2000u, 0x2003u}) {  // before, and overlapping by one byte
        const Conversion c = Plain(first + S2(address, {5}) + kEnd);
        EXPECT_EQ(c.result.error, SrecError::OutOfOrder);
        EXPECT_EQ(c.result.offset, first.size());
        EXPECT_EQ(c.result.address, address);
        EXPECT_THAT(c.image, ElementsAre(1, 2, 3, 4));  // what came before stays converted
    }
    const Conversion w = Window(S2(0x4400, {1, 2}) + S2(0x4300, {3}), 0x4300, 0x4720);
    EXPECT_EQ(w.result.error, SrecError::OutOfOrder);
    EXPECT_EQ(w.result.address, 0x4300u);
}

TEST(SrecRefusal, SkippedRecordsAreCheckedButNotOrdered) {
    // Records outside the window may come in any order.
    const std::string text = S2(0x2000, {1, 2}) + S2(0x1000, {3}) + S2(0x2002, {4});
    EXPECT_THAT(Plain(text).image, ElementsAre(1, 2, 4));
    const std::string windowed =
        S2(0x5000, {1}) + S2(0x4000, {2}) + S2(0x6000, {3}) + S2(0x5001, {4}) + S2(0x700000, {5});
    EXPECT_THAT(Window(windowed, 0x5000, 0x6000).image, ElementsAre(1, 4));
    // A damaged record is refused wherever it lies.
    EXPECT_EQ(Window(S2(0x5000, {1}) + "S2020010000\r\n", 0x5000, 0x6000).result.error,
              SrecError::ShortCount);
    EXPECT_EQ(Conversion::Run(S2(0x5000, {1}) + "S20800700012", 0x7FFFF, true, 0x5000, 0x6000)
                  .result.error,
              SrecError::Truncated);
}

TEST(SrecRefusal, ByteCountBelowFourIsRefused) {
    for (const char* count : {"00", "01", "02", "03"}) {
        const std::string first = S2(0x2000, {1});
        const Conversion c = Plain(first + "S2" + count + "002001FF\r\n" + S2(0x2002, {2}));
        EXPECT_EQ(c.result.error, SrecError::ShortCount) << count;
        EXPECT_EQ(c.result.offset, first.size());
        EXPECT_EQ(c.result.address, 0x2001u);
        EXPECT_THAT(c.image, ElementsAre(1));
    }
}

// Every way of cutting a record short, in both forms, with a record before it.
TEST(SrecRefusal, RecordCutOffByTheEndOfTheTextIsRefusedAtEveryPosition) {
    const std::string first = kHeader + S2(0x4400, {0xC0, 0xDE});
    const std::string record = S2(0x4410, {0x10, 0x20, 0x30});  // S2 07 004410 102030 cs CRLF
    const size_t recordEnd = 2 + 2 + 6 + 6 + 2;
    for (bool windowed : {false, true}) {
        for (size_t cut = 1; cut < record.size(); ++cut) {
            const std::string text = first + record.substr(0, cut);
            const Conversion c =
                windowed ? Conversion::Run(text, 0x7FFFF, true, 0x4300, 0x4720) : PlainText(text);
            SCOPED_TRACE(testing::Message() << (windowed ? "windowed" : "plain") << ", cut at "
                                            << cut << ": " << text.substr(first.size()));
            if (cut < recordEnd) {
                EXPECT_EQ(c.result.error, SrecError::Truncated);
                EXPECT_EQ(c.result.offset, first.size());
                // The address is known once the header is complete.
                EXPECT_EQ(c.result.address, cut < 10 ? 0u : 0x4410u);
            } else {  // the record is whole, but no end record follows
                EXPECT_EQ(c.result.error, SrecError::MissingEnd);
            }
            // What came before stays converted.
            ASSERT_GE(c.image.size(), 3u);
            const std::vector<uint8_t> tail(c.image.end() - 3, c.image.end());
            if (cut < recordEnd) {
                EXPECT_THAT(tail, ElementsAre(0xFF, 0xC0, 0xDE));
            } else {
                EXPECT_THAT(tail, ElementsAre(0x10, 0x20, 0x30));
            }
        }
    }
}

TEST(SrecRefusal, ImageMustFitTheCapacity) {
    // 0x2000..0x2003 exactly fill a 4-byte image; one byte less is refused before any write.
    const std::string text = S2(0x2000, {1, 2}) + S2(0x2002, {3, 4});
    EXPECT_THAT(Plain(text, 4).image, ElementsAre(1, 2, 3, 4));
    const Conversion over = Plain(text, 3);
    EXPECT_EQ(over.result.error, SrecError::ImageTooLarge);
    EXPECT_EQ(over.result.offset, S2(0x2000, {1, 2}).size());
    EXPECT_EQ(over.result.address, 0x2002u);
    EXPECT_THAT(over.image, ElementsAre(1, 2));

    // A gap alone can overflow: the engine's 0x7FFFF-byte image ends at address 0x81FFE.
    EXPECT_EQ(Plain(S2(0x81FFE, {7})).result.length, 0x7FFFFu);
    EXPECT_EQ(Plain(S2(0x81FFF, {})).result.length, 0x7FFFFu);
    EXPECT_EQ(Plain(S2(0x81FFF, {7})).result.error, SrecError::ImageTooLarge);
    EXPECT_EQ(Plain(S2(0xFFFFFF, {})).result.error, SrecError::ImageTooLarge);
    EXPECT_EQ(Window(S2(0x4000, {1}), 0x4000, 0x5000, 0).result.error, SrecError::ImageTooLarge);
    EXPECT_EQ(Window(kHeader + kEnd, 0x4000, 0x5000, 0).result.error, SrecError::None);
    EXPECT_EQ(Window(S2(0x4000, {}), 0x4000, 0x5000, 0).result.error, SrecError::None);
}

TEST(SrecBanner, IsWrittenToStandardOutput) {
    testing::internal::CaptureStdout();
    PrintConversionBanner();
    EXPECT_EQ(testing::internal::GetCapturedStdout(), "\nConversion fichier ...     ");
}

}  // namespace
}  // namespace cordane
