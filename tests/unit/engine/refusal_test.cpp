// Files a reader cannot take are refused before it is reset: the job ends with exit code 1 and a
// message naming the file, the address and the limit, and the link is never touched.

#include <gmock/gmock.h>

#if !defined(_WIN32)
#include <sys/stat.h>
#endif

#include <cstring>
#include <filesystem>
#include <fstream>
#include <map>

#include "cordane/formats/large_images.h"
#include "harness.h"

#include "support/srec_writer.h"

using ::testing::AllOf;
using ::testing::HasSubstr;

namespace enginetest {
namespace {

using Bytes = std::vector<uint8_t>;

class RefusalTest : public EngineTest {
  protected:
    void SetUp() override {
        EngineTest::SetUp();
        Bytes params(50, 0);
        UpdateParam(params.data());
    }
    std::string Write(const std::string& name, const Bytes& bytes) {
        return WriteText(name, std::string(bytes.begin(), bytes.end()));
    }
    // S-record text of several stretches (address -> bytes), in address order.
    std::string Srec(const std::string& name, const std::map<uint32_t, Bytes>& stretches) {
        return WriteText(name, korvel::testkit::SrecText(stretches));
    }
    RecordingClient client{transcript};
};

TEST_F(RefusalTest, FilesTheReaderCannotTakeAreRefusedBeforeTheReset) {
    const std::string driver = Srec("driver.sre", {{0x4000, Pattern(0x800)}});
    const std::string app = Srec("app.sre", {{0xE000, Pattern(0x800, 2)}});
#if defined(_WIN32)
    // No FIFO there: the null device is the file that is not a regular one.
    const std::string fifo = "NUL";
#else
    const std::string fifo = (dir / "fifo").string();
    ASSERT_EQ(mkfifo(fifo.c_str(), 0600), 0);
#endif
    std::filesystem::create_directory(dir / "folder");
    struct Case {
        const char* name;
        eReaderType reader;
        uint32_t flags;
        std::string app, driver;
        std::vector<const char*> says;
    };
    const std::vector<Case> cases = {
        {"64 Kb image past 0xFFFF, raw or addressed loader alike",
         KvTal64,
         0,
         WriteSrec("big64.sre", Pattern(0xE001)),
         "",
         {"to 0x10000", "flash ends at 0xFFFF"}},
        {"a binary file for a 1 Mb reader to a 512 Kb reader",
         KvOrb512,
         KV_DOWNLOAD_BINARY,
         Write("big.bin", Pattern(0xC0000, 5)),
         "",
         {"big.bin", "0x100000", "KvOrb (512Kb) reader has no flash", "0x4000-0x7FFFF"}},
        {"a record crossing the end of its region",
         KvOrb512,
         0,
         Srec("cross.sre", {{0xE000, Pattern(0x100)}, {0x7FFF0, Pattern(32)}}),
         driver,
         {"cross.sre", "address 0x07FFF0", "runs across the boundary"}},
        {"application and driver overlapping in 0x70000-0x7FFFF",
         KvOrb512,
         0,
         Srec("overlap-app.sre", {{0xE000, Pattern(0x100)}, {0x70100, Pattern(0x40, 7)}}),
         Srec("overlap-drv.sre", {{0x4000, Pattern(0x100)}, {0x70000, Pattern(0x200, 9)}}),
         // The application's block from 0x700C9 writes blanks, then its data, over the driver.
         {"overlap-drv.sre", "overlap-app.sre", "address 0x700C9", "cannot program the same"}},
        {"an application with nothing in its regions",
         KvOrb512,
         0,
         WriteSrec("small.sre", Pattern(100)),
         driver,
         {"small.sre", "nothing to download"}},
        {"an empty application file",
         KvOrb512,
         0,
         WriteText("empty.sre", ""),
         driver,
         {"empty.sre", "nothing to download"}},
        {"random bytes as the application",
         KvOrb1Mb,
         0,
         Write("random.sre", Pattern(5000, 11)),
         driver,
         {"random.sre"}},
        {"a driver with nothing in its regions",
         KvOrb512,
         0,
         app,
         Srec("nodriver.sre", {{0x2000, Pattern(0x100)}}),
         {"nodriver.sre", "no driver library"}},
        {"a binary file whose driver part is blank",
         KvOrb1Mb,
         KV_DOWNLOAD_BINARY,
         Write("blank-driver.bin",
               [] {
                   Bytes file(0xB002, 0xFF);
                   file[0xA100] = 1;
                   return file;
               }()),
         "",
         {"blank-driver.bin", "no driver library"}},
        {"a directory as the application",
         KvOrb512,
         0,
         (dir / "folder").string(),
         driver,
         {"folder", "it is a directory"}},
        {"a FIFO as the application, never waited for",
         KvOrb64,
         0,
         fifo,
         "",
         {fifo.c_str(), "not a regular file"}},
        {"a FIFO as a large reader's application",
         KvOrb512,
         KV_DOWNLOAD_BINARY,
         fifo,
         "",
         {fifo.c_str(), "not a regular file"}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        transcript.Clear();
        boxes.clear();
        zrfake::Reset();
        Prepare(client, c.reader, c.app, c.flags);
        std::snprintf(client.driverFile, sizeof client.driverFile, "%s", c.driver.c_str());
        EXPECT_EQ(Run(client), 1u);
        EXPECT_TRUE(zrfake::Calls().empty()) << "the reader was touched";
        ASSERT_EQ(boxes.size(), 1u);
        for (const char* text : c.says) EXPECT_THAT(boxes[0], HasSubstr(text));
    }
}

TEST_F(RefusalTest, AFileLongerThanTheEngineReadsIsRefusedNotCut) {
    // A file that would once have been cut between two records and downloaded in part.
    const std::string path = WriteSrec("long.sre", Pattern(0x800));
    std::filesystem::resize_file(path, (64 << 20) + 1);
    Prepare(client, KvOrb64, path);
    EXPECT_EQ(Run(client), 1u);
    EXPECT_TRUE(zrfake::Calls().empty());
    ASSERT_EQ(boxes.size(), 1u);
    EXPECT_THAT(boxes[0], AllOf(HasSubstr("long.sre"), HasSubstr("67108865 bytes long")));
}

TEST_F(RefusalTest, TheDriverGapBeforeTheOverlayIsBlank) {
    // A driver of 0x10 bytes at 0x4000 and a high part of 0xAB: the low region is stretched to
    // the application's overlay at 0x4300, and the stretch holds nothing but 0xFF.
    const std::string driver =
        Srec("driver.sre", {{0x4000, Pattern(0x10)}, {0x70000, Bytes(0x400, 0xAB)}});
    const std::string app =
        Srec("app.sre", {{0x4300, Pattern(0x20, 4)}, {0xE000, Pattern(0x300, 5)}});
    zrfake::Reset();
    Prepare(client, KvOrb512, app);
    std::snprintf(client.driverFile, sizeof client.driverFile, "%s", driver.c_str());
    ASSERT_EQ(Run(client), 0u) << (boxes.empty() ? "" : boxes[0]);
    std::map<uint32_t, uint8_t> written;
    for (const Bytes& f : zrfake::SentFrames()) {
        if (f.size() < 9 || f[2] != 3) continue;
        const uint32_t address = (f[6] << 16) | (f[7] << 8) | f[8];
        for (size_t i = 0; i < size_t((f[0] << 8) | f[1]); ++i) written[address + i] = f[9 + i];
    }
    for (uint32_t a = 0x4010; a < 0x4300; ++a) ASSERT_EQ(written.at(a), 0xFF) << std::hex << a;
    EXPECT_EQ(written.at(0x4300), Pattern(0x20, 4)[0]);
}

}  // namespace
}  // namespace enginetest
