#include "brenmark/application_files.h"

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

SimulatorSettings Decode(const SimulatorRecord::Bytes& record) {
    return DecodeSimulatorRecord(SimulatorRecord::FromBytes(record));
}

TEST(ApplicationFiles, RecordStream) {
    SimulatorRecord::Bytes record{};
    record.fill(0xEE);
    // A short type-1 record replaces only its bytes; other types are skipped by size x count.
    Stream s;
    s.Record(2, 10, 3, Body(30, 0x11)).Record(1, 4, 99, {1, 2, 3, 4});
    ReadSimulatorRecords(s.bytes.data(), s.bytes.size(), record);
    EXPECT_EQ(record[0], 1);
    EXPECT_EQ(record[3], 4);
    EXPECT_EQ(record[4], 0xEE);

    // A long record is cut to 187 bytes and reading goes on after it; a later one wins.
    Stream t;
    std::vector<uint8_t> long1 = Body(300, 0x22);
    t.Record(1, 300, 1, long1).Record(7, 0, 5, {}).Record(1, 2, 1, {9, 9});
    ReadSimulatorRecords(t.bytes.data(), t.bytes.size(), record);
    EXPECT_EQ(record[0], 9);
    EXPECT_EQ(record[2], 0x22);
    EXPECT_EQ(record[186], 0x22);

    // Truncated streams: a body cut short is not used; a cut header ends the reading.
    for (size_t cut = 0; cut < t.bytes.size(); ++cut) {
        SimulatorRecord::Bytes partial{};
        ReadSimulatorRecords(t.bytes.data(), cut, partial);
        const bool firstWhole = cut >= 9 + 5 + 300;
        EXPECT_EQ(partial[5], firstWhole ? 0x22 : 0) << cut;
    }
    Stream u;
    u.Record(3, 0xFFFF, 0xFFFF, Body(10, 0)).Record(1, 2, 1, {5, 5});
    record.fill(0);
    ReadSimulatorRecords(u.bytes.data(), u.bytes.size(), record);
    EXPECT_EQ(record[0], 0);  // the skip runs past the end
}

TEST(ApplicationFiles, FieldsAndPatterns) {
    SimulatorRecord::Bytes record{};
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
    SimulatorSettings s = Decode(record);
    EXPECT_EQ(s.portWord, 0x8003);
    // The kit's backslashes become the system's separator.
    EXPECT_EQ(s.outputDirectory, NativeSeparators("C:/Kit/"));
    EXPECT_EQ(ApplicationFilePath(s),
              NativeSeparators("C:/Kit/Download/KvTal/App05/TS2DEMO00502030101.sre"));
    put16(101, 0x0105);
    EXPECT_EQ(Decode(record).portWord, 5);

    s.readerType = 4;
    EXPECT_EQ(ApplicationFilePath(s),
              NativeSeparators("C:/Kit/Download/KvQuin3/App05/OG2DEMO00502030101.sre"));
    for (int type : {3, 7, 8, 9, -1}) {
        s.readerType = type;
        EXPECT_EQ(ApplicationFilePath(s),
                  NativeSeparators("C:/Kit/Download/KvTal512/App05/TA2DEMO00502030101.sre"));
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
    EXPECT_EQ(Decode(record).outputDirectory, std::string(81, 'a') + kPathSeparator);
    EXPECT_EQ(KitDirectory("C:\\kits\\one\\kit.mki"), NativeSeparators("C:/kits/one/"));
    EXPECT_EQ(KitDirectory("/kits/one/"), NativeSeparators("/kits/one/"));
    EXPECT_EQ(JoinPath("", "a"), "a");
    EXPECT_EQ(JoinPath("C:/kit/", "a"), "C:/kit/a");
    EXPECT_EQ(JoinPath("kit", "a"), std::string("kit") + kPathSeparator + "a");
    EXPECT_EQ(KitDirectory("kit"), "kit");
}

TEST(SimulatorRecord, IsTheRecordsBytesFieldByField) {
    // A new record: the values at the places a dialog has always put them, zero elsewhere.
    SimulatorRecord::Bytes first{};
    auto put = [&first](size_t at, uint32_t value, size_t size) {
        for (size_t i = 0; i < size; ++i) first[at + i] = static_cast<uint8_t>(value >> (8 * i));
    };
    put(4, 2, 2);
    put(6, 16, 2);
    put(8, 1, 2);
    put(12, 4, 2);
    put(101, 1, 2);
    put(103, 19200, 4);
    put(167, 1, 2);
    put(169, 300, 2);
    put(175, 2, 2);
    put(177, 1, 1);
    put(179, 1, 1);
    EXPECT_EQ(SimulatorRecord().ToBytes(), first);

    // Every byte goes to one field and comes back from it; the fields the dialog reads are where
    // the kit writes them.
    SimulatorRecord::Bytes bytes;
    for (size_t i = 0; i < bytes.size(); ++i) bytes[i] = static_cast<uint8_t>(i * 7 + 3);
    const SimulatorRecord record = SimulatorRecord::FromBytes(bytes);
    EXPECT_EQ(record.ToBytes(), bytes);
    EXPECT_EQ(record.applicationNumber, bytes[0] | bytes[1] << 8);
    EXPECT_EQ(record.readerType, static_cast<int16_t>(bytes[10] | bytes[11] << 8));
    EXPECT_EQ(record.serialPort, bytes[101] | bytes[102] << 8);
    EXPECT_EQ(record.serialSpeed, static_cast<uint32_t>(bytes[103] | bytes[104] << 8 |
                                                        bytes[105] << 16 | bytes[106] << 24));
    EXPECT_EQ(record.thirdNumber, bytes[171]);
    EXPECT_EQ(static_cast<uint8_t>(record.shortName[0]), bytes[172]);
    EXPECT_EQ(record.variantFlags, bytes[185]);

    // An unreadable configuration sets the port, the speed and the fields at 4, 6, 167 and 169 to
    // their first values again, and nothing else.
    SimulatorRecord::Bytes kept;
    kept.fill(0xEE);
    SimulatorRecord reset = SimulatorRecord::FromBytes(kept);
    reset.SetUnreadFileDefaults();
    SimulatorRecord::Bytes expected = kept;
    for (size_t at : {4, 5, 6, 7, 101, 102, 103, 104, 105, 106, 167, 168, 169, 170}) {
        expected[at] = first[at];
    }
    EXPECT_EQ(reset.ToBytes(), expected);

    // A type-1 record cut inside the short name shows the bytes that stood after it.
    SimulatorRecord::Bytes cut = SimulatorRecord().ToBytes();
    Stream stream;
    stream.Record(1, 175, 1, Body(175, 'N'));
    ReadSimulatorRecords(stream.bytes.data(), stream.bytes.size(), cut);
    EXPECT_EQ(DecodeSimulatorRecord(SimulatorRecord::FromBytes(cut)).shortName, "NNN\x02");
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
    SimulatorSettings s;
    s.outputDirectory = NativeSeparators(dir.string() + "/");
    s.readerType = 5;
    // The kit's folders in another case than the program writes them. On Linux the program gives
    // the names as they are on the disk; on Windows as it writes them, which the system finds.
    const std::string folder = dir.string() + "/lib/kvorb1mb";
#ifdef _WIN32
    const std::string named = NativeSeparators(dir.string() + "/LIB/KvOrb1Mb");
    const std::string application = "/Download/KvOrb1Mb/App05/OB2DEMO00502030101.sre";
#else
    const std::string named = folder;
    const std::string application = "/download/kvorb1mb/app05/ob2demo00502030101.SRE";
#endif
    EXPECT_EQ(ChooseDriverFile(s), NativeSeparators(dir.string() + "/LIB/KvOrb1Mb/SREHARD*.sre"));
    Touch(folder + "/SREHARD3.sre");
    Touch(folder + "/srehard12.SRE");
    Touch(folder + "/SREHARD4_S.sre");
    Touch(folder + "/SREHARD12b.sre");  // same number, later in name order
    Touch(folder + "/SREHARD99.txt");
    Touch(folder + "/SREHARDx.sre");
    EXPECT_EQ(ChooseDriverFile(s), JoinPath(named, "SREHARD12b.sre"));

    Touch(dir / "download/kvorb1mb/app05/ob2demo00502030101.SRE");
    s.applicationNumber = 5;
    s.secondNumber = 2;
    s.thirdNumber = 3;
    s.shortName = "DEMO";
    EXPECT_EQ(ApplicationFilePath(s), NativeSeparators(dir.string() + application));

    // The configuration itself is found in any case; a missing one gives COM1.
    SimulatorRecord record = SimulatorRecord::FromBytes({});
    EXPECT_FALSE(ReadSimulatorConfiguration(s.outputDirectory, record));
    EXPECT_EQ(DecodeSimulatorRecord(record).portWord, 1);
    std::filesystem::create_directories(dir / "kvsdk");
    Stream stream;
    std::vector<uint8_t> body(102, 0);
    body[101] = 7;
    stream.Record(1, 102, 1, body);
    std::ofstream(dir / "kvsdk/SIMULATOR.CFG", std::ios::binary)
        .write(reinterpret_cast<const char*>(stream.bytes.data()),
               static_cast<std::streamsize>(stream.bytes.size()));
    EXPECT_TRUE(ReadSimulatorConfiguration(s.outputDirectory, record));
    EXPECT_EQ(DecodeSimulatorRecord(record).portWord, 7);
}

}  // namespace
}  // namespace brenmark
