// Whole downloads to the large readers against the scripted link: binary, enciphered and
// S-record files, erase-only and data-flash jobs, the application checks, and their failures.

#include <gmock/gmock.h>

#include <cstring>
#include <fstream>

#include "cordane/formats/cipher.h"
#include "cordane/routines.h"
#include "engine_state.h"
#include "harness.h"

using ::testing::ElementsAre;
using ::testing::HasSubstr;

namespace enginetest {
namespace {

using Bytes = std::vector<uint8_t>;

// Frames as "command@address+length" (addressed frames), e.g. "3@0x4000+255".
std::vector<std::string> Frames() {
    std::vector<std::string> out;
    for (const Bytes& f : zrfake::SentFrames()) {
        if (f.size() < 9) {
            out.push_back("raw" + std::to_string(f.size()));
            continue;
        }
        char text[48];
        std::snprintf(text, sizeof text, "%u@0x%X+%u", f[2], (f[6] << 16) | (f[7] << 8) | f[8],
                      (f[0] << 8) | f[1]);
        out.push_back(text);
    }
    return out;
}

// Payload bytes written to each address by the WriteBlock frames.
std::map<uint32_t, uint8_t> Written() {
    std::map<uint32_t, uint8_t> memory;
    for (const Bytes& f : zrfake::SentFrames()) {
        if (f.size() < 9 || f[2] != 3) continue;
        const uint32_t address = (f[6] << 16) | (f[7] << 8) | f[8];
        const size_t length = (f[0] << 8) | f[1];
        for (size_t i = 0; i < length; ++i) memory[address + i] = f[9 + i];
    }
    return memory;
}

class LargeDownloadTest : public EngineTest {
  protected:
    void SetUp() override {
        EngineTest::SetUp();
        Bytes params(50, 0);
        UpdateParam(params.data());
        client.readerType = KvOrb1Mb;
    }

    // A binary download file of `size` bytes: key bytes, driver, application with its number
    // and identity, and an upper part when long enough.
    Bytes BinaryFile(size_t size, const char* number = "123", uint16_t identity = 0x1234) {
        Bytes file = Pattern(size, 3);
        std::memcpy(&file[0xA013], number, 3);
        file[0xA042] = static_cast<uint8_t>(identity);
        file[0xA043] = static_cast<uint8_t>(identity >> 8);
        return file;
    }
    std::string Write(const std::string& name, const Bytes& bytes) {
        return WriteText(name, std::string(bytes.begin(), bytes.end()));
    }
    unsigned Download(uint32_t flags, const std::string& app, zrfake::Script script = {}) {
        zrfake::Reset(std::move(script));
        Prepare(client, client.readerType, app, flags);
        return Run(client);
    }
    void SetParam(size_t offset, uint32_t value) {
        auto block = cordane::CurrentParamBlock();
        for (size_t i = 0; i < 4; ++i) block[offset + i] = static_cast<uint8_t>(value >> (8 * i));
        UpdateParam(block.data());
    }

    RecordingClient client{transcript};
};

TEST_F(LargeDownloadTest, BinaryImageIsSentRegionByRegionWithTheSignatureLast) {
    const Bytes file = BinaryFile(0x7C002 + 300);
    ASSERT_EQ(Download(KV_DOWNLOAD_BINARY, Write("app.bin", file)), 0u);
    const auto frames = Frames();
    ASSERT_GE(frames.size(), 10u);
    EXPECT_EQ(frames[0], "0@0x80000+59");   // FlashErase
    EXPECT_EQ(frames[1], "1@0x80000+100");  // ProgramLarge
    EXPECT_EQ(frames[2], "3@0x4000+255");   // the driver library from file offset 2
    EXPECT_EQ(frames[161], "3@0xDE61+255");
    EXPECT_EQ(frames[162], "3@0xDF60+160");  // its last block
    EXPECT_EQ(frames[163], "3@0xE000+239");  // blocks 0-15 blank, block 16 from 0xE000
    EXPECT_EQ(frames[frames.size() - 4], "3@0x100000+255");  // upper part, 300 bytes
    EXPECT_EQ(frames[frames.size() - 3], "3@0x1000FF+45");
    EXPECT_EQ(frames[frames.size() - 2], "3@0x4000+2");
    EXPECT_EQ(frames.back(), "8@0x0+0");
    // The signature goes in just before the end of the session.
    const auto sent = zrfake::SentFrames();
    EXPECT_EQ(sent[sent.size() - 2], (Bytes{0, 2, 3, 0, 0, 0, 0, 0x40, 0x00, 'K', 'V'}));
    EXPECT_EQ(sent[2][9], 0xFF);
    EXPECT_EQ(sent[2][10], 0xFF);

    // What reached the reader is the file at its addresses, 0xF000-0xFFFF excepted.
    auto memory = Written();
    EXPECT_EQ(memory[0x4000], 'K');
    for (uint32_t a = 0x4002; a < 0xE000; ++a) ASSERT_EQ(memory[a], file[a - 0x4000 + 2]) << a;
    for (uint32_t a = 0xE000; a < 0x80000; ++a) {
        if (a >= 0xF000 && a < 0x10000) {
            ASSERT_EQ(memory.count(a), 0u) << std::hex << a;
        } else {
            ASSERT_EQ(memory[a], file[a - 0xE000 + 0xA002]) << std::hex << a;
        }
    }
    for (uint32_t a = 0; a < 300; ++a) ASSERT_EQ(memory[0x100000 + a], file[0x7C002 + a]);
    EXPECT_EQ(transcript.Only("KvSetMessage").back(), "KvSetMessage Download completed.");
    EXPECT_EQ(zrfake::OpenHandles(), 0u);
}

TEST_F(LargeDownloadTest, PausesAndTimeOutsOfTheSession) {
    // An application region of 0x1500 bytes: 21 full blocks and a last one of 21 bytes.
    ASSERT_EQ(Download(KV_DOWNLOAD_BINARY, Write("app.bin", BinaryFile(0xA002 + 0x500))), 0u);
    EXPECT_EQ(transcript.Only("ZrTimeOut"),
              (std::vector<std::string>{"ZrTimeOut 30000", "ZrTimeOut 3000"}));
    // 1 ms before the program routine, each driver block, the application's last block, the
    // signature and the end of the session; none between the application's full blocks.
    const auto pauses = Pauses();
    EXPECT_EQ(std::count(pauses.begin(), pauses.end(), 1u), 1 + 161 + 1 + 1 + 1);
    EXPECT_EQ(pauses.back(), 2000u);
}

TEST_F(LargeDownloadTest, EncipheredImageIsDecipheredBeforeItIsSent) {
    Bytes plain = BinaryFile(0xA002 + 0x2000);
    Bytes file = plain;
    uint8_t key[8];
    ASSERT_TRUE(cordane::BuiltInBaseKey(1, key));
    ASSERT_TRUE(cordane::EncipherImageRegion(file.data(), file.size(), 0xA002, 4096, key));
    ASSERT_NE(file, plain);
    SetParam(KV_PARAM_KEY_SELECTOR, 1);
    ASSERT_EQ(Download(KV_DOWNLOAD_AUTO_BINARY, Write("app.kor", file)), 0u);
    auto memory = Written();
    for (uint32_t a = 0xE000; a < 0xF000; ++a) ASSERT_EQ(memory[a], plain[a - 0xE000 + 0xA002]);
}

TEST_F(LargeDownloadTest, KeySelectorWithoutARegisteredKeyIsRefusedBeforeTheReader) {
    SetParam(KV_PARAM_KEY_SELECTOR, 0x5000);
    const std::string path = Write("app.kor", BinaryFile(0xB000));
    EXPECT_EQ(Download(KV_DOWNLOAD_AUTO_BINARY, path), 1u);
    EXPECT_TRUE(zrfake::Calls().empty());
    ASSERT_EQ(boxes.size(), 1u);
    EXPECT_THAT(boxes[0], HasSubstr("key selector 20480"));

    const uint8_t key[8] = {1, 2, 3, 4, 5, 6, 7, 8};
    ASSERT_EQ(RegisterBaseKey(0x5000, key), 0);
    EXPECT_EQ(Download(KV_DOWNLOAD_AUTO_BINARY, path), 0u);
}

TEST_F(LargeDownloadTest, BinaryFilesTheLayoutCannotHoldAreRefusedBeforeTheReader) {
    for (size_t size : {size_t{0xA001}, size_t{0x7C002 + 0x80000}}) {
        SCOPED_TRACE(size);
        boxes.clear();
        EXPECT_EQ(Download(KV_DOWNLOAD_BINARY, Write("app.bin", Bytes(size, 0))), 1u);
        EXPECT_TRUE(zrfake::Calls().empty());
        ASSERT_EQ(boxes.size(), 1u);
        EXPECT_THAT(boxes[0], HasSubstr("app.bin is " + std::to_string(size) + " bytes long"));
    }
    EXPECT_EQ(Download(KV_DOWNLOAD_BINARY, Write("app.bin", BinaryFile(0x7C002 + 0x7FFFF))), 0u);
}

TEST_F(LargeDownloadTest, SrecordFilesWithTheOverlay) {
    // Driver: low part from 0x4000, 0x300 bytes, and a high part at 0x70000; application: its
    // code at 0xE000 and records for 0x4300-0x471F laid over the driver.
    Bytes driverLow = Pattern(0x300, 9), driverHigh = Pattern(10, 11), app = Pattern(0x200, 13),
          overlay = Pattern(0x20, 17);
    std::string driverText = "";
    const std::string driver = WriteSrec("driver.sre", driverLow, 0x4000);
    {
        std::ifstream in(driver);
        driverText.assign(std::istreambuf_iterator<char>(in), {});
    }
    const std::string highPath = WriteSrec("high.sre", driverHigh, 0x70000);
    std::ifstream highIn(highPath);
    std::string highText((std::istreambuf_iterator<char>(highIn)), {});
    WriteText("driver.sre", driverText + highText);
    const std::string appPath = WriteSrec("app.sre", app, 0xE000);
    std::ifstream appIn(appPath);
    std::string appText((std::istreambuf_iterator<char>(appIn)), {});
    std::ifstream overlayIn(WriteSrec("overlay.sre", overlay, 0x4300));
    std::string overlayText((std::istreambuf_iterator<char>(overlayIn)), {});
    WriteText("app.sre", overlayText + appText);
    std::snprintf(client.driverFile, sizeof client.driverFile, "%s", driver.c_str());

    ASSERT_EQ(Download(KV_DOWNLOAD_NORMAL, appPath), 0u);
    auto memory = Written();
    EXPECT_EQ(memory[0x4000], 'K');
    for (uint32_t a = 0x4002; a < 0x4300; ++a) ASSERT_EQ(memory[a], driverLow[a - 0x4000]);
    for (uint32_t a = 0x4300; a < 0x4320; ++a) ASSERT_EQ(memory[a], overlay[a - 0x4300]);
    for (uint32_t a = 0; a < 10; ++a) ASSERT_EQ(memory[0x70000 + a], driverHigh[a]);
    for (uint32_t a = 0; a < 0x200; ++a) ASSERT_EQ(memory[0xE000 + a], app[a]);
    EXPECT_EQ(memory.count(0x100000), 0u);  // no upper part
    const auto frames = Frames();
    EXPECT_EQ(frames[2], "3@0x4000+255");
    EXPECT_EQ(frames[frames.size() - 2], "3@0x4000+2");
}

TEST_F(LargeDownloadTest, EraseOnlyJobs) {
    struct Case {
        const char* name;
        uint32_t flags;
        eReaderType type;
        std::vector<std::string> frames;
    };
    for (const Case& c :
         {Case{"erase code", KV_FLAG_ERASE_CODE | 3, KvOrb512, {"0@0x80000+59", "8@0x0+0"}},
          Case{"erase code and data flash",
               KV_FLAG_ERASE_CODE | KV_FLAG_ERASE_DATA_FLASH,
               KvOrb512,
               {"0@0x80000+59", "1@0x80000+245", "0@0x800F5+131"}},
          Case{"data flash through the link",
               KV_FLAG_ERASE_CODE | KV_FLAG_ERASE_DATA_FLASH,
               KvTal1Mb,
               {"0@0x80000+59"}}}) {
        SCOPED_TRACE(c.name);
        transcript.Clear();
        client.readerType = c.type;
        EXPECT_EQ(Download(c.flags, "/nonexistent"), 0u);
        EXPECT_EQ(Frames(), c.frames);
        EXPECT_EQ(transcript.Only("KvSetMessage").back(), "KvSetMessage Download completed.");
        EXPECT_EQ(client.flags & (KV_FLAG_ERASE_DATA_FLASH | KV_FLAG_ASK_QUESTION), 0u);
    }
    EXPECT_EQ(transcript.Count("ZrEraseData1M port=0x00000001"), 1u);
    // DataFlashEraseStart is only sent: nothing is awaited after it.
    client.readerType = KvOrb512;
    Download(KV_FLAG_ERASE_CODE | KV_FLAG_ERASE_DATA_FLASH, "/nonexistent");
    const auto lines = transcript.Lines();
    const int start = transcript.Find("ZrSendMessage #3");
    ASSERT_GE(start, 0);
    EXPECT_EQ(transcript.Find("ZrGetMessage", start), -1);
}

TEST_F(LargeDownloadTest, DataFlashQuestion) {
    const std::string path = Write("app.bin", BinaryFile(0xA002 + 0x100));
    for (int answer : {IDYES, IDNO}) {
        SCOPED_TRACE(answer);
        yesNoAnswer = answer;
        boxes.clear();
        client.readerType = KvOrb512;
        ASSERT_EQ(Download(KV_DOWNLOAD_BINARY | KV_FLAG_ERASE_DATA_FLASH | KV_FLAG_ASK_QUESTION |
                               KV_FLAG_SILENT,
                           path),
                  0u);
        // Asked even in a silent job, with no owner window.
        EXPECT_THAT(boxes, ElementsAre("Download|Do you really want to erase the data flash "
                                       "memory?|24|owner=0"));
        const auto frames = Frames();
        if (answer == IDYES) {
            EXPECT_EQ(frames.back(), "0@0x800F5+131");
        } else {
            EXPECT_EQ(frames.back(), "8@0x0+0");
        }
    }
}

TEST_F(LargeDownloadTest, FailuresOfTheSession) {
    const std::string path = Write("app.bin", BinaryFile(0xA002 + 0x100));
    zrfake::Script erase;
    erase.replies[1] = {0, 0, {0x07}};
    EXPECT_EQ(Download(KV_DOWNLOAD_BINARY, path, erase), 7u);
    EXPECT_THAT(boxes, ElementsAre("Download error|Download error.|10|owner=4660"));
    EXPECT_EQ(transcript.Lines().back(), "KvFinTelechargement 1 (null)");
    EXPECT_EQ(zrfake::OpenHandles(), 0u);

    boxes.clear();
    zrfake::Script noAnswer;
    noAnswer.replies[40] = {0, 6, {}};
    EXPECT_EQ(Download(KV_DOWNLOAD_BINARY, path, noAnswer), 5u);
    EXPECT_THAT(boxes, ElementsAre("Download error|Download error.|10|owner=4660"));
    EXPECT_EQ(zrfake::SentFrames().size(), 40u);

    boxes.clear();
    zrfake::Script linkErase;
    linkErase.resetResults = {0, 0xFF05};
    EXPECT_EQ(Download(KV_DOWNLOAD_BINARY | KV_FLAG_ERASE_DATA_FLASH, path, linkErase), 5u);
    EXPECT_THAT(boxes, ElementsAre("Download error|No response from the reader.|10|owner=4660"));
    // 0xFF00 carries no status; it must not end as a success.
    boxes.clear();
    linkErase.resetResults = {0, 0xFF00};
    EXPECT_EQ(Download(KV_DOWNLOAD_BINARY | KV_FLAG_ERASE_DATA_FLASH, path, linkErase), 3u);
    EXPECT_THAT(boxes, ElementsAre("Download error|Error opening download session.|10|owner=4660"));

    boxes.clear();
    client.readerType = KvOrb512;
    zrfake::Script cannotSend;
    // Routines 2, driver 161, application 2, signature 1, DataFlashEraseCore 1: then the start.
    cannotSend.sendResults[2 + 161 + 2 + 1 + 1 + 1] = 3;
    const unsigned code = Download(KV_DOWNLOAD_BINARY | KV_FLAG_ERASE_DATA_FLASH, path, cannotSend);
    EXPECT_EQ(Frames().back(), "0@0x800F5+131");
    EXPECT_EQ(code, 4u);
    EXPECT_THAT(boxes, ElementsAre("Download error|Download error.|10|owner=4660"));
}

TEST_F(LargeDownloadTest, CancelAfterTheDriverLeavesNoSignature) {
    client.cancelAtQuery = 1;
    EXPECT_EQ(Download(KV_DOWNLOAD_BINARY, Write("app.bin", BinaryFile(0xB000))), 6u);
    EXPECT_THAT(boxes, ElementsAre("Download error|Download cancelled.|10|owner=4660"));
    for (const auto& frame : Frames()) EXPECT_NE(frame, "3@0x4000+2");
}

// ---- Application checks.

TEST_F(LargeDownloadTest, IdentityCheck) {
    SetParam(KV_PARAM_IDENTITY_CHECK, 1);
    SetParam(KV_PARAM_EXPECTED_IDENTITY, 0x1234);
    const std::string path = Write("app.kor", BinaryFile(0xB002, "123", 0x1234));
    // The identity is read after decipherment: encipher a file whose plain identity is 0x1234.
    Bytes file = BinaryFile(0xB002, "123", 0x1234);
    uint8_t key[8];
    ASSERT_TRUE(cordane::BuiltInBaseKey(0, key));
    ASSERT_TRUE(cordane::EncipherImageRegion(file.data(), file.size(), 0xA002, 4096, key));
    Write("app.kor", file);
    EXPECT_EQ(Download(KV_DOWNLOAD_AUTO_BINARY, path), 0u);

    SetParam(KV_PARAM_EXPECTED_IDENTITY, 0x1235);
    EXPECT_EQ(Download(KV_DOWNLOAD_AUTO_BINARY, path), 1u);
    EXPECT_THAT(boxes, ElementsAre("Erreur au chargement|Fichier à télécharger incorrect!|10|"
                                   "owner=4660"));
    EXPECT_TRUE(zrfake::SentFrames().empty());  // before the flash is touched
    EXPECT_EQ(zrfake::OpenHandles(), 0u);

    // Only download type 1 is checked.
    boxes.clear();
    EXPECT_EQ(Download(KV_DOWNLOAD_BINARY, path), 0u);
    EXPECT_TRUE(boxes.empty());
}

TEST_F(LargeDownloadTest, ApplicationNumberCheck) {
    Bytes file = BinaryFile(0xB002, "007");
    uint8_t key[8];
    ASSERT_TRUE(cordane::BuiltInBaseKey(0, key));
    ASSERT_TRUE(cordane::EncipherImageRegion(file.data(), file.size(), 0xA002, 4096, key));
    const std::string path = Write("app.kor", file);
    SetParam(KV_PARAM_CHECK_APP_NUMBER, 1);
    SetParam(KV_PARAM_APP_NUMBER, 7);
    SetParam(KV_PARAM_PREVIOUS_APP_1, 5);
    SetParam(KV_PARAM_PREVIOUS_APP_2, 120);

    ASSERT_EQ(Download(KV_DOWNLOAD_AUTO_BINARY, path), 0u);
    Bytes routine(cordane::routines::kAppNumberCheck.begin(),
                  cordane::routines::kAppNumberCheck.end());
    const char digits[] = "007005120";
    for (size_t g = 0; g < 3; ++g) {
        for (size_t i = 0; i < 3; ++i) {
            routine[cordane::routines::kAppNumberDigits[g][i]] = digits[g * 3 + i];
        }
    }
    const auto sent = zrfake::SentFrames();
    EXPECT_EQ(Bytes(sent[0].begin() + 9, sent[0].end()), routine);
    EXPECT_EQ(Frames()[0], "0@0x80000+141");
    EXPECT_EQ(transcript.Only("ZrTimeOut")[0], "ZrTimeOut 500");

    // The reader refuses the change.
    zrfake::Script refuse;
    refuse.replies[1] = {0, 0, {0x31}};
    EXPECT_EQ(Download(KV_DOWNLOAD_AUTO_BINARY, path, refuse), 0x31u);
    EXPECT_THAT(boxes, ElementsAre("Download error|Trying to download incorrect application "
                                   "number!|10|owner=4660"));
    EXPECT_EQ(zrfake::SentFrames().size(), 1u);

    // The file carries another number: the session is ended unanswered, then the message.
    boxes.clear();
    transcript.Clear();
    SetParam(KV_PARAM_APP_NUMBER, 8);
    EXPECT_EQ(Download(KV_DOWNLOAD_AUTO_BINARY, path), 4u);
    EXPECT_EQ(Frames(), std::vector<std::string>{"8@0x0+0"});
    EXPECT_EQ(transcript.Count("ZrGetMessage"), 0u);
    EXPECT_EQ(boxes.size(), 1u);
    const auto lines = transcript.Lines();
    EXPECT_EQ(lines.back(), "KvFinTelechargement 1 (null)");

    // Previous numbers are three digits at most; a longer one is refused before the reader.
    boxes.clear();
    SetParam(KV_PARAM_APP_NUMBER, 7);
    SetParam(KV_PARAM_PREVIOUS_APP_2, 1200);
    EXPECT_EQ(Download(KV_DOWNLOAD_AUTO_BINARY, path), 1u);
    EXPECT_TRUE(zrfake::Calls().empty());
    EXPECT_THAT(boxes.at(0), HasSubstr("1200"));

    // A check value other than 1 checks nothing.
    SetParam(KV_PARAM_CHECK_APP_NUMBER, 2);
    EXPECT_EQ(Download(KV_DOWNLOAD_AUTO_BINARY, path), 0u);
    EXPECT_EQ(Frames()[0], "0@0x80000+59");
}

}  // namespace
}  // namespace enginetest
