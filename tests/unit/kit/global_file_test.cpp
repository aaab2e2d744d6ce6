// Global file extraction: files built with the builder and by hand.
#include "kit/global_file.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <iterator>

#include "base/crc16.h"
#include "cordane/cordane.h"

#include "support/temp_dir.h"

namespace korvel::kit {
namespace {

using Bytes = std::vector<uint8_t>;

Bytes Fill(size_t n, uint8_t seed) {
    Bytes out(n);
    for (size_t i = 0; i < n; ++i) out[i] = static_cast<uint8_t>(seed + i * 7);
    return out;
}

GloComponentSpec Common(uint32_t address, Bytes data, std::string name = "COMMON.SRE") {
    return {glo::kCommonKind, std::nullopt, address, std::move(name), std::move(data), {}};
}
GloComponentSpec Specific(uint8_t flags, uint32_t address, Bytes data,
                          std::string name = "APP.SRE") {
    return {2, flags, address, std::move(name), std::move(data), {}};
}

GloImage Extract(const Bytes& file, int readerType) {
    return ExtractImage("test.glo", file.data(), file.size(), readerType);
}

// The image as it should be, bytes placed by hand.
Bytes Expected(size_t length, std::initializer_list<std::pair<size_t, Bytes>> parts) {
    Bytes out(length, 0xFF);
    for (const auto& [offset, data] : parts) {
        std::copy_n(data.begin(), std::min(data.size(), length - offset), out.begin() + offset);
    }
    return out;
}

TEST(GlobalFileTags, LongFormLengthsAndOneLevelSearch) {
    const Bytes twoBytes{0x82, 0x00, 0x05};
    EXPECT_EQ(ReadBigEndianLength(twoBytes.data() + 1, 2), 5u);
    const Bytes sixBytes{0x12, 0x34, 0x00, 0x00, 0x01, 0x02};  // only the last 4 count
    EXPECT_EQ(ReadBigEndianLength(sixBytes.data(), 6), 0x102u);

    // 0x86 nested inside 0x30 is not found one level up; the sibling after it is.
    const Bytes value{0x30, 0x03, 0x86, 0x01, 0xAA, 0x86, 0x81, 0x01, 0xBB};
    GloElement element;
    size_t fault = 0;
    ASSERT_EQ(FindTag(value.data(), 0, value.size(), 0x86, &element, &fault), TagSearch::Found);
    EXPECT_EQ(element.offset, 5u);
    EXPECT_EQ(element.valueOffset, 8u);
    EXPECT_EQ(element.length, 1u);
    EXPECT_EQ(FindTag(value.data(), 0, value.size(), 0x87, &element, &fault), TagSearch::Absent);
    // A sibling that runs past the end stops the search.
    EXPECT_EQ(FindTag(value.data(), 0, value.size() - 1, 0x86, &element, &fault),
              TagSearch::Malformed);
    EXPECT_EQ(fault, 5u);

    // The builder's long form reads back as the short form does.
    EXPECT_EQ(EncodeGloLength(5, true), (Bytes{0x84, 0, 0, 0, 5}));
    EXPECT_EQ(EncodeGloLength(0x80), (Bytes{0x81, 0x80}));
    EXPECT_EQ(EncodeGloLength(0x1234), (Bytes{0x82, 0x12, 0x34}));
    const std::vector<GloComponentSpec> parts{Common(0x4300, Fill(40, 1)),
                                              Specific(0x58, 0x4720, Fill(300, 2))};
    const auto shortForm = Extract(BuildGlobalFile(parts), KvOrb1Mb);
    const auto longForm = Extract(BuildGlobalFile(parts, true), KvOrb1Mb);
    ASSERT_TRUE(shortForm.Ok()) << shortForm.refusal.text;
    ASSERT_TRUE(longForm.Ok()) << longForm.refusal.text;
    EXPECT_EQ(shortForm.image, longForm.image);
}

TEST(GlobalFileTags, ReaderTypeFromFlagsAndName) {
    EXPECT_EQ(ReaderTypeOfComponent(0x00, "X"), KvTal512);
    EXPECT_EQ(ReaderTypeOfComponent(0x40, "SREHARD4_S.SRE"), KvTal512);
    EXPECT_EQ(ReaderTypeOfComponent(0x10, "X"), KvTal1Mb);
    EXPECT_EQ(ReaderTypeOfComponent(0x08, "SREHARD4_S.SRE"), KvLarge8);
    EXPECT_EQ(ReaderTypeOfComponent(0x48, "SREHARD4_S.SRanything"), KvLarge8);
    EXPECT_EQ(ReaderTypeOfComponent(0x08, "SREHARD4_S.S"), KvOrb512);  // 12 characters
    EXPECT_EQ(ReaderTypeOfComponent(0x08, "sREHARD4_S.SRE"), KvOrb512);
    EXPECT_EQ(ReaderTypeOfComponent(0x18, "SREHARD4_S.SRE"), KvQuin3);
    EXPECT_EQ(ReaderTypeOfComponent(0x58, "SREHARD4_S.SR"), KvLarge9);
    EXPECT_EQ(ReaderTypeOfComponent(0x58, "OTHER"), KvOrb1Mb);
}

TEST(GlobalFileExtraction, SlotsForTheDetectedTypeOnly) {
    const Bytes s1 = Fill(0x300, 1), s2 = Fill(0x420, 2), s3 = Fill(5000, 3), s4 = Fill(0x1000, 4),
                s5 = Fill(3000, 5), s7 = Fill(777, 7), other = Fill(100, 9);
    const auto file = BuildGlobalFile({
        Common(0x4300, s2), Specific(0x58, 0x4000, s1), Specific(0x08, 0x4000, other),  // type 2's
        Specific(0x58, 0x4720, s3), Common(0xE000, s4), Common(0x10000, s5), Common(0x100000, s7),
        Common(0x4000, other),          // no common slot at 0x4000: ignored
        Specific(0x58, 0xE000, other),  // no reader-specific slot at 0xE000: ignored
    });
    const auto got = Extract(file, KvOrb1Mb);
    ASSERT_TRUE(got.Ok()) << got.refusal.text;
    // The last non-empty slot is slot 7: L = 0x7C000 + N + 1.
    const size_t length = 0x7C000 + s7.size() + 1;
    const Bytes expected = Expected(
        length, {{0, s1}, {0x300, s2}, {0x720, s3}, {0xA000, s4}, {0xC000, s5}, {0x7C000, s7}});
    EXPECT_EQ(got.image, expected);
    EXPECT_EQ(got.crc, korvel::base::Crc16X25(expected.data(), expected.size()));

    // Type 2 gets its own slot 1 and the common parts; type 4 only the common parts.
    const auto orb = Extract(file, KvOrb512);
    ASSERT_TRUE(orb.Ok());
    EXPECT_TRUE(std::equal(other.begin(), other.end(), orb.image.begin()));
    EXPECT_EQ(orb.image[other.size()], 0xFF);
    const auto quin = Extract(file, KvQuin3);
    ASSERT_TRUE(quin.Ok());
    EXPECT_EQ(quin.image[0], 0xFF);
    EXPECT_EQ(quin.image.size(), length);

    // "SREHARD4_S.SRE" with flags 0x08 is kept for type 8 only.
    const auto eight = BuildGlobalFile({Specific(0x08, 0x4720, s3, "SREHARD4_S.SRE")});
    EXPECT_EQ(Extract(eight, KvLarge8).image.size(), 0x720 + s3.size() + 1);
    EXPECT_EQ(Extract(eight, KvOrb512).refusal.error, GloError::NothingKept);
}

TEST(GlobalFileExtraction, LaterComponentReplacesAndEndOffsetRule) {
    // A later component for the same slot replaces the earlier one, shorter or not.
    const auto replaced = Extract(
        BuildGlobalFile({Common(0x4300, Fill(0x420, 1)), Common(0x4300, Fill(16, 2))}), KvTal512);
    ASSERT_TRUE(replaced.Ok());
    EXPECT_EQ(replaced.image, Expected(0x300 + 16 + 1, {{0x300, Fill(16, 2)}}));

    // A large slot 3 followed by a non-empty slot 4: the end is slot 4's, and 0xB000 to 0xBFFF
    // are blank whatever slot 3 held there.
    const Bytes big = Fill(0xB800, 3);
    const auto cut = Extract(
        BuildGlobalFile({Specific(0x00, 0x4720, big), Common(0xE000, Fill(0x1000, 4))}), KvTal512);
    ASSERT_TRUE(cut.Ok());
    EXPECT_EQ(cut.image.size(), 0xB001u);
    EXPECT_EQ(cut.image,
              Expected(0xB001, {{0x720, big}, {0xA000, Fill(0x1000, 4)}, {0xB000, Bytes{0xFF}}}));
    const Bytes bigger = Fill(0xC000, 3);
    const auto blank = Extract(
        BuildGlobalFile({Specific(0x00, 0x4720, bigger), Common(0x4300, Fill(1, 2))}), KvTal512);
    ASSERT_TRUE(blank.Ok());
    ASSERT_EQ(blank.image.size(), 0x720 + bigger.size() + 1);
    EXPECT_EQ(blank.image[0xAFFF], bigger[0xAFFF - 0x720]);
    EXPECT_EQ(blank.image[0xB000], 0xFF);
    EXPECT_EQ(blank.image[0xBFFF], 0xFF);
    EXPECT_EQ(blank.image[0xC000], bigger[0xC000 - 0x720]);

    // Slot 5 moves the end only when no slot 6 was kept.
    const Bytes s5 = Fill(0x60000, 5), s6 = Fill(16, 6);
    const auto with6 =
        Extract(BuildGlobalFile({Common(0x10000, s5), Specific(0x10, 0x70000, s6)}), KvTal1Mb);
    ASSERT_TRUE(with6.Ok());
    EXPECT_EQ(with6.image.size(), 0x6C000 + s6.size() + 1);
    const auto without6 = Extract(BuildGlobalFile({Common(0x10000, s5)}), KvTal1Mb);
    EXPECT_EQ(without6.image.size(), 0xC000 + s5.size() + 1);
}

TEST(GlobalFileExtraction, ForeignElementsAndTrailingBytes) {
    const auto file = BuildGlobalFile({Common(0x4300, Fill(8, 1))});
    const auto plain = Extract(file, KvOrb512);
    ASSERT_TRUE(plain.Ok());

    // One foreign element before the 0xA0 element is stepped over.
    Bytes leading{0x30, 0x03, 0xA0, 0xA0, 0xA0};
    leading.insert(leading.end(), file.begin(), file.end());
    const auto led = Extract(leading, KvOrb512);
    ASSERT_TRUE(led.Ok()) << led.refusal.text;
    EXPECT_EQ(led.image, plain.image);

    // Foreign elements inside the 0xA0 value, after the last component, are stepped over.
    Bytes body(file.begin() + 2, file.end());  // the short-form 0xA0 header is 2 bytes
    body.insert(body.end(), {0x04, 0x02, 0x11, 0x22});
    const auto inner = Extract(EncodeGloElement(0xA0, body), KvOrb512);
    ASSERT_TRUE(inner.Ok()) << inner.refusal.text;
    EXPECT_EQ(inner.image, plain.image);

    // One spare byte after the 0xA0 element: not a valid Binary Global File.
    Bytes spare = file;
    spare.push_back(0x00);
    const auto refused = Extract(spare, KvOrb512);
    EXPECT_EQ(refused.refusal.error, GloError::NotGlobal);
    EXPECT_EQ(refused.refusal.text, "The file test.glo is not a valid Binary Global File");
    EXPECT_TRUE(refused.refusal.caution);

    // A hand-written component whose data length has 6 length bytes, the first two not 0.
    Bytes component{0x80, 0x02, 0,    0,    0x81, 0x01, 'N',  0x82, 0x01,
                    0x01, 0x85, 0x04, 0x00, 0x43, 0x00, 0x00, 0x86, 0x86,
                    0xFF, 0xFF, 0x00, 0x00, 0x00, 0x03, 0xA1, 0xB2, 0xC3};
    const uint16_t crc = korvel::base::Crc16X25(component.data() + component.size() - 3, 3);
    component[2] = static_cast<uint8_t>(crc);
    component[3] = static_cast<uint8_t>(crc >> 8);
    const auto byHand = Extract(EncodeGloElement(0xA0, EncodeGloElement(0xA1, component)), 3);
    ASSERT_TRUE(byHand.Ok()) << byHand.refusal.text;
    EXPECT_EQ(byHand.image, Expected(0x304, {{0x300, Bytes{0xA1, 0xB2, 0xC3}}}));
}

TEST(GlobalFileExtraction, BadCrcAnywhereFailsTheWhole) {
    auto other = Specific(0x08, 0x4720, Fill(64, 1));  // type 2's
    other.crc = 0x1234;
    const auto file = BuildGlobalFile({Common(0x4300, Fill(8, 1)), other});
    const auto got = Extract(file, KvTal1Mb);
    EXPECT_EQ(got.refusal.error, GloError::BadCrc);
    EXPECT_EQ(got.refusal.text, "CRC Error!");
    EXPECT_FALSE(got.refusal.caution);
    EXPECT_NE(got.refusal.detail.find("0x1234"), std::string::npos);
    EXPECT_TRUE(got.image.empty());
}

TEST(GlobalFileCheck, StructureAndEveryCrcBeforeTheTypeAndEveryComponentCounted) {
    const auto good = Common(0x4300, Fill(8, 1));
    auto badCrc = Specific(0x48, 0x4720, Fill(64, 1));
    badCrc.crc = 0x1234;
    const Bytes damaged = BuildGlobalFile({good, badCrc});
    const GloRefusal refusal = CheckGlobalFile("t.glo", damaged.data(), damaged.size());
    EXPECT_EQ(refusal.error, GloError::BadCrc);
    EXPECT_EQ(RefusalLine(refusal, "t.glo").rfind("t.glo: CRC Error! (the component at byte ", 0),
              0u)
        << RefusalLine(refusal, "t.glo");
    // Nothing for a type is judged only once the type is known.
    const Bytes sound = BuildGlobalFile({Specific(0x08, 0x4720, Fill(8, 1))});
    EXPECT_EQ(CheckGlobalFile("t.glo", sound.data(), sound.size()).error, GloError::None);

    // The third of four components lacks its flags: counted, named, and the walk goes on.
    auto noFlags = Specific(0x08, 0x4000, Fill(4, 1));
    noFlags.flags.reset();
    const Bytes file = BuildGlobalFile({good, good, noFlags, good});
    GloContents contents = ReadGlobalFile("t.glo", file.data(), file.size());
    EXPECT_EQ(contents.refusal.error, GloError::Malformed);
    EXPECT_EQ(contents.components.size(), 2u);
    EXPECT_EQ(contents.componentCount, 4u);
    EXPECT_TRUE(contents.countComplete);
    EXPECT_EQ(contents.refusedComponent, std::optional<size_t>(2));
    // Cut inside the last one: at least the three before it.
    contents = ReadGlobalFile("t.glo", file.data(), file.size() - 3);
    EXPECT_EQ(contents.refusal.error, GloError::NotGlobal);
    EXPECT_EQ(contents.componentCount, 3u);
    EXPECT_FALSE(contents.countComplete);

    // The slot rule mkglo shares with the extraction.
    EXPECT_EQ(PlaceOf(true, 0x4300, 0x420).fit, SlotFit::Fits);
    EXPECT_EQ(PlaceOf(true, 0x4300, 0x421).fit, SlotFit::TooLarge);
    EXPECT_EQ(PlaceOf(true, 0x4000, 1).fit, SlotFit::NoSlot);  // a reader-specific place
}

TEST(GlobalFileExtraction, MalformedFilesAreRefusedWithTheirPlace) {
    const auto good = Common(0x4300, Fill(8, 1));
    auto component = [](std::initializer_list<Bytes> elements) {
        Bytes value;
        for (const Bytes& e : elements) value.insert(value.end(), e.begin(), e.end());
        return EncodeGloElement(0xA0, EncodeGloElement(0xA1, value));
    };
    const Bytes data{1, 2, 3};
    const uint16_t crc = korvel::base::Crc16X25(data.data(), data.size());
    const Bytes crcTag{0x80, 2, static_cast<uint8_t>(crc), static_cast<uint8_t>(crc >> 8)};
    const Bytes name{0x81, 1, 'N'}, kind{0x82, 1, 1}, address{0x85, 4, 0, 0x43, 0, 0},
        dataTag{0x86, 3, 1, 2, 3};
    ASSERT_TRUE(Extract(component({crcTag, name, kind, address, dataTag}), 2).Ok());

    auto tooLarge = Common(0xE000, Fill(0x1001, 1));
    auto noFlags = Specific(0x08, 0x4000, Fill(4, 1));
    noFlags.flags.reset();
    struct Case {
        const char* what;
        Bytes file;
        GloError error;
        const char* says;
    };
    const std::vector<Case> cases{
        {"no 0xA0", {0x30, 0x01, 0x00}, GloError::NotGlobal, "Global File"},
        {"0xA0 past the end", {0xA0, 0x05, 0xA1, 0x00}, GloError::NotGlobal, "Global File"},
        {"foreign element past the end", {0x30, 0x09, 0xA0, 0x00}, GloError::Malformed, "byte 0"},
        {"element past 0xA0", {0xA0, 0x02, 0xA1, 0x05}, GloError::Malformed, "byte 2"},
        {"element past its component",
         component({crcTag, name, kind, address, {0x86, 0x09, 1, 2, 3}}), GloError::Malformed,
         "runs past the end of the component"},
        {"no CRC", component({name, kind, address, dataTag}), GloError::Malformed, "(tag 0x80)"},
        {"no name", component({crcTag, kind, address, dataTag}), GloError::Malformed, "(tag 0x81)"},
        {"no kind", component({crcTag, name, address, dataTag}), GloError::Malformed, "(tag 0x82)"},
        {"no address", component({crcTag, name, kind, dataTag}), GloError::Malformed, "(tag 0x85)"},
        {"no data", component({crcTag, name, kind, address}), GloError::Malformed, "(tag 0x86)"},
        {"no reader flags", BuildGlobalFile({good, noFlags}), GloError::Malformed, "(tag 0x83)"},
        {"3-byte CRC", component({{0x80, 3, 0, 0, 0}, name, kind, address, dataTag}),
         GloError::Malformed, "3 bytes long instead of 2"},
        {"2-byte kind", component({crcTag, name, {0x82, 2, 1, 0}, address, dataTag}),
         GloError::Malformed, "instead of 1"},
        {"5-byte address", component({crcTag, name, kind, {0x85, 5, 0, 0x43, 0, 0, 0}, dataTag}),
         GloError::Malformed, "instead of 4"},
        {"257-byte name", BuildGlobalFile({Common(0x4300, data, std::string(257, 'N'))}),
         GloError::Malformed, "at most 256"},
        {"slot overflow", BuildGlobalFile({good, tooLarge}), GloError::TooLarge, "4096 bytes"},
        {"nothing for the reader", BuildGlobalFile({Specific(0x08, 0x4000, data)}),
         GloError::NothingKept, "reader type 3 (KvTal (512 Kb))"},
        {"only empty parts", BuildGlobalFile({Common(0x4300, {})}), GloError::NothingKept, ""},
        {"empty 0xA0", {0xA0, 0x00}, GloError::NothingKept, ""},
        {"empty", {}, GloError::Empty, "test.glo is empty"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        const auto got = Extract(c.file, KvTal512);
        EXPECT_EQ(got.refusal.error, c.error);
        EXPECT_NE(got.refusal.text.find(c.says), std::string::npos) << got.refusal.text;
        if (c.error != GloError::Empty) {
            EXPECT_EQ(got.refusal.text.rfind("The file test.glo ", 0), 0u) << got.refusal.text;
        }
        EXPECT_TRUE(got.image.empty());
    }
    const Bytes huge(glo::kMaxFile + 1, 0);
    EXPECT_EQ(Extract(huge, 2).refusal.error, GloError::NotGlobal);
}

class GlobalFileOnDisk : public ::testing::Test {
  protected:
    std::string Write(const std::string& name, const Bytes& bytes) {
        return temp.Write(name, bytes);
    }
    static Bytes Read(const std::string& path) { return korvel::testkit::ReadBytes(path); }
    size_t Entries() const {
        return static_cast<size_t>(std::distance(std::filesystem::directory_iterator(dir), {}));
    }
    korvel::testkit::TempDir temp;
    std::filesystem::path dir{temp.path()};
};

TEST_F(GlobalFileOnDisk, WritesTheBinFileBesideTheGlobalFile) {
    const Bytes s7 = Fill(100, 7);
    const std::string path = Write("all.glo", BuildGlobalFile({Common(0x100000, s7)}));
    const auto got = ExtractGlobalFile(path, KvOrb512);
    ASSERT_TRUE(got.Ok()) << got.refusal.text;
    // Beside it, named with the separators the caller used.
    EXPECT_EQ(std::filesystem::path(got.binPath), dir / "all.bin");
    const Bytes bin = Read(got.binPath);
    const size_t length = 0x7C000 + s7.size() + 1;
    ASSERT_EQ(bin.size(), length + 2);
    const uint16_t crc = korvel::base::Crc16X25(bin.data() + 2, length);
    EXPECT_EQ(bin[0], crc & 0xFF);
    EXPECT_EQ(bin[1], crc >> 8);
    EXPECT_TRUE(std::equal(s7.begin(), s7.end(), bin.begin() + 2 + 0x7C000));
    EXPECT_EQ(Entries(), 2u);  // no temporary file left

    // A second extraction overwrites it.
    Write("all.glo", BuildGlobalFile({Common(0x4300, Fill(4, 1))}));
    ASSERT_TRUE(ExtractGlobalFile(path, KvOrb512).Ok());
    EXPECT_EQ(Read(got.binPath).size(), 2 + 0x300 + 4 + 1u);
}

TEST_F(GlobalFileOnDisk, RefusalsWriteNothing) {
    const std::string missing = (dir / "missing.glo").string();
    const auto absent = ExtractGlobalFile(missing, KvOrb512);
    EXPECT_EQ(absent.refusal.error, GloError::CannotOpen);
    EXPECT_EQ(absent.refusal.text, "Impossible to open " + missing);

    // A refused file leaves an earlier "bin" file as it was.
    const std::string earlier = Write("bad.bin", {1, 2, 3});
    auto wrong = Common(0x4300, Fill(8, 1));
    wrong.crc = 0;
    const std::string bad = Write("bad.glo", BuildGlobalFile({wrong}));
    const auto refused = ExtractGlobalFile(bad, KvOrb512);
    EXPECT_EQ(refused.refusal.text, "CRC Error!");
    EXPECT_TRUE(refused.binPath.empty());
    EXPECT_EQ(Read(earlier), (Bytes{1, 2, 3}));
    const std::string empty = Write("empty.glo", {});
    EXPECT_EQ(ExtractGlobalFile(empty, KvOrb512).refusal.text, empty + " is empty");
    EXPECT_FALSE(std::filesystem::exists(dir / "empty.bin"));
    EXPECT_EQ(Entries(), 3u);

    // A "bin" file that cannot be written: its name is taken by a folder.
    std::filesystem::create_directory(dir / "taken.bin");
    const std::string taken = Write("taken.glo", BuildGlobalFile({Common(0x4300, Fill(8, 1))}));
    const auto blocked = ExtractGlobalFile(taken, KvOrb512);
    EXPECT_EQ(blocked.refusal.error, GloError::CannotWrite);
    EXPECT_EQ(blocked.refusal.text.rfind("Impossible to write " + temp.File("taken.bin"), 0), 0u)
        << blocked.refusal.text;
    EXPECT_TRUE(blocked.binPath.empty());
    EXPECT_EQ(Entries(), 5u);  // no temporary file left behind
}

TEST(GlobalFileComponents, ParsesTheCommandLineForm) {
    auto parsed = ParseComponentArgument("2:0x48:0x4720:APP.SRE=dir/app.bin");
    ASSERT_TRUE(parsed) << parsed.error().message;
    EXPECT_EQ(parsed->spec.kind, 2);
    EXPECT_EQ(parsed->spec.flags, std::optional<uint8_t>(0x48));
    EXPECT_EQ(parsed->spec.address, 0x4720u);
    EXPECT_EQ(parsed->spec.name, "APP.SRE");
    EXPECT_EQ(parsed->dataPath, "dir/app.bin");
    parsed = ParseComponentArgument("1::1048576:a:b=c");
    ASSERT_TRUE(parsed) << parsed.error().message;
    EXPECT_FALSE(parsed->spec.flags);
    EXPECT_EQ(parsed->spec.address, 0x100000u);
    EXPECT_EQ(parsed->spec.name, "a:b");
    EXPECT_EQ(parsed->dataPath, "c");
    for (const char* bad : {"1:0:0x4300:NAME", "1:0:0x4300", "256::0x4300:N=f", "1:0x100:0:N=f",
                            "1::0x100000000:N=f", "1::-1:N=f", "x::0:N=f", "1::0:N="}) {
        const auto refused = ParseComponentArgument(bad);
        ASSERT_FALSE(refused) << bad;
        EXPECT_NE(refused.error().message.find(bad), std::string::npos);
    }
}

}  // namespace
}  // namespace korvel::kit
