#include "brenmark/kit_files.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <cstring>
#include <filesystem>
#include <fstream>

#include "support/temp_dir.h"

namespace brenmark {
namespace {

// A configuration stream: the header, then records of type, size, count and body.
struct Stream {
    Stream() {
        const std::string header = "CONF:V2.0";
        bytes.assign(header.begin(), header.end());
    }
    std::vector<uint8_t> bytes;
    Stream& Record(uint8_t type, uint16_t size, uint16_t count, std::vector<uint8_t> body) {
        bytes.push_back(type);
        for (uint16_t v : {size, count}) {
            bytes.push_back(static_cast<uint8_t>(v));
            bytes.push_back(static_cast<uint8_t>(v >> 8));
        }
        bytes.insert(bytes.end(), body.begin(), body.end());
        return *this;
    }
};

std::vector<uint8_t> Body(size_t size, uint8_t fill) {
    return std::vector<uint8_t>(size, fill);
}

TEST(KitFiles, RecordStream) {
    KitRecord record{};
    record.fill(0xEE);
    // A short type-1 record replaces only its bytes; other types are skipped by size x count.
    Stream s;
    s.Record(2, 10, 3, Body(30, 0x11)).Record(1, 4, 99, {1, 2, 3, 4});
    ReadKitRecords(s.bytes.data(), s.bytes.size(), record);
    EXPECT_EQ(record[0], 1);
    EXPECT_EQ(record[3], 4);
    EXPECT_EQ(record[4], 0xEE);

    // A long record is cut to 187 bytes and reading goes on after it; a later one wins.
    Stream t;
    std::vector<uint8_t> long1 = Body(300, 0x22);
    t.Record(1, 300, 1, long1).Record(7, 0, 5, {}).Record(1, 2, 1, {9, 9});
    ReadKitRecords(t.bytes.data(), t.bytes.size(), record);
    EXPECT_EQ(record[0], 9);
    EXPECT_EQ(record[2], 0x22);
    EXPECT_EQ(record[186], 0x22);

    // Truncated streams: a body cut short is not used; a cut header ends the reading.
    for (size_t cut = 0; cut < t.bytes.size(); ++cut) {
        KitRecord partial{};
        ReadKitRecords(t.bytes.data(), cut, partial);
        const bool firstWhole = cut >= 9 + 5 + 300;
        EXPECT_EQ(partial[5], firstWhole ? 0x22 : 0) << cut;
    }
    Stream u;
    u.Record(3, 0xFFFF, 0xFFFF, Body(10, 0)).Record(1, 2, 1, {5, 5});
    record.fill(0);
    ReadKitRecords(u.bytes.data(), u.bytes.size(), record);
    EXPECT_EQ(record[0], 0);  // the skip runs past the end
}

TEST(KitFiles, FieldsAndPatterns) {
    KitRecord record{};
    auto put16 = [&](size_t at, uint16_t v) {
        record[at] = static_cast<uint8_t>(v);
        record[at + 1] = static_cast<uint8_t>(v >> 8);
    };
    put16(0, 5);
    put16(2, 2);
    record[171] = 3;
    std::memcpy(&record[172], "DEMO", 5);
    std::memcpy(&record[19], "C:\\Kit\\", 8);
    put16(101, 0x8003);
    put16(10, 0);
    KitSettings s = DecodeKitRecord(record);
    EXPECT_EQ(s.portWord, 0x8003);
    EXPECT_EQ(s.outputDirectory, "C:/Kit/");
    EXPECT_EQ(ApplicationFilePath(s), "C:/Kit/Download/KvTal/App05/TS2DEMO00502030101.sre");
    put16(101, 0x0105);
    EXPECT_EQ(DecodeKitRecord(record).portWord, 5);

    s.readerType = 4;
    EXPECT_EQ(ApplicationFilePath(s), "C:/Kit/Download/KvQuin3/App05/OG2DEMO00502030101.sre");
    for (int type : {3, 7, 8, 9, -1}) {
        s.readerType = type;
        EXPECT_EQ(ApplicationFilePath(s), "C:/Kit/Download/KvTal512/App05/TA2DEMO00502030101.sre");
        EXPECT_EQ(DriverFolder(type, true), "KvTal512");
    }
    EXPECT_EQ(DriverFolder(0, false), "");
    EXPECT_EQ(DriverFolder(2, true), "KvOrb512");
    EXPECT_EQ(DriverFolder(5, false), "KvOrb1Mb");
    EXPECT_EQ(DriverFolder(5, true), "KvOrb1MS");
    EXPECT_EQ(DriverFolder(6, true), "KvTal1MS");
    EXPECT_EQ(DriverFolder(4, true), "KvQuin3S");

    // A directory without its separator gets one; a field without its zero ends at its size.
    std::memset(&record[19], 'a', 82);
    record[101 - 1] = 0;
    EXPECT_EQ(DecodeKitRecord(record).outputDirectory, std::string(81, 'a') + "/");
    EXPECT_EQ(KitDirectory("C:\\kits\\one\\kit.mki"), "C:/kits/one/");
    EXPECT_EQ(KitDirectory("/kits/one/"), "/kits/one/");
    EXPECT_EQ(KitDirectory("kit"), "kit");
}

class KitTree : public ::testing::Test {
  protected:
    void Touch(const std::filesystem::path& path) {
        korvel::testkit::WriteFile(path.string(), "S9030000FC\n");
    }
    korvel::testkit::TempDir temp;
    std::filesystem::path dir{temp.path()};
};

TEST_F(KitTree, DriverChoiceAndNamesInAnyCase) {
    KitSettings s;
    s.outputDirectory = dir.string() + "/";
    s.readerType = 5;
    const std::string folder = dir.string() + "/lib/kvorb1mb";
    EXPECT_EQ(ChooseDriverFile(s), dir.string() + "/LIB/KvOrb1Mb/SREHARD*.sre");
    Touch(folder + "/SREHARD3.sre");
    Touch(folder + "/srehard12.SRE");
    Touch(folder + "/SREHARD4_S.sre");
    Touch(folder + "/SREHARD12b.sre");  // same number, later in name order
    Touch(folder + "/SREHARD99.txt");
    Touch(folder + "/SREHARDx.sre");
    EXPECT_EQ(ChooseDriverFile(s), folder + "/SREHARD12b.sre");

    Touch(dir / "download/kvorb1mb/app05/ob2demo00502030101.SRE");
    s.applicationNumber = 5;
    s.secondNumber = 2;
    s.thirdNumber = 3;
    s.shortName = "DEMO";
    EXPECT_EQ(ApplicationFilePath(s),
              dir.string() + "/download/kvorb1mb/app05/ob2demo00502030101.SRE");

    // The configuration itself is found in any case; a missing one gives COM1.
    KitRecord record{};
    EXPECT_FALSE(ReadKitConfiguration(dir.string() + "/", record));
    EXPECT_EQ(DecodeKitRecord(record).portWord, 1);
    std::filesystem::create_directories(dir / "kvsdk");
    Stream stream;
    std::vector<uint8_t> body(102, 0);
    body[101] = 7;
    stream.Record(1, 102, 1, body);
    std::ofstream(dir / "kvsdk/SIMULATOR.CFG", std::ios::binary)
        .write(reinterpret_cast<const char*>(stream.bytes.data()),
               static_cast<std::streamsize>(stream.bytes.size()));
    EXPECT_TRUE(ReadKitConfiguration(dir.string() + "/", record));
    EXPECT_EQ(DecodeKitRecord(record).portWord, 7);
}

}  // namespace
}  // namespace brenmark
