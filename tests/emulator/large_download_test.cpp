// The engine, the serial link and the emulator together: downloads to the large readers over a
// pseudo-terminal, each checked against the flash its files must produce; the data-flash erases
// of both kinds; and application numbers the reader or the engine refuses.
#include <gmock/gmock.h>

#include <algorithm>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <map>
#include <mutex>

#include "cordane/cordane.h"
#include "cordane/formats/cipher.h"
#include "emulator_support.h"

using namespace emulatortest;
using ::testing::ElementsAre;

namespace {

constexpr int kPort = 9;                    // virtual reader port of every emulated reader here
constexpr size_t kCodeDump = 0x180000;      // a large reader's code-flash dump
constexpr size_t kDataFlash = 0x10000;      // and its data flash
constexpr uint32_t kSignatureAt = 0x4000;   // 'K', 'V' of a complete image
constexpr uint32_t kNeverWritten = 0xF000;  // 0xF000-0xFFFF: the procedure never writes there
constexpr uint32_t kNeverWrittenEnd = 0x10000;

// Binary download file: where its parts lie and where they go in the reader.
constexpr size_t kFileDriver = 2;  // 0xA000 bytes of driver library, to 0x4000
constexpr size_t kDriverLength = 0xA000;
constexpr size_t kFileApp = 0xA002;       // the application's low part, to 0xE000
constexpr size_t kFileUpper = 0x7C002;    // the upper part, to 0x100000
constexpr size_t kFileNumber = 0xA013;    // three ASCII digits
constexpr size_t kFileIdentity = 0xA042;  // 16 bits, low byte first
constexpr size_t kEnciphered = 4096;      // bytes enciphered at kFileApp in download type 1

// "" when `got` equals `want`; else where they first differ and how many bytes do.
std::string Difference(const Bytes& got, const Bytes& want) {
    if (got.size() != want.size()) {
        return std::to_string(got.size()) + " bytes, expected " + std::to_string(want.size());
    }
    size_t first = 0;
    size_t count = 0;
    for (size_t i = 0; i < got.size(); ++i) {
        if (got[i] != want[i] && count++ == 0) first = i;
    }
    if (count == 0) return "";
    char text[128];
    std::snprintf(text, sizeof text,
                  "%zu bytes differ, the first at 0x%zX: 0x%02X, expected 0x%02X", count, first,
                  got[first], want[first]);
    return text;
}

// The code flash a complete download leaves: every stretch at its address, the signature at
// 0x4000, nothing in 0xF000-0xFFFF, 0xFF wherever nothing was written.
Bytes ExpectedFlash(const std::map<uint32_t, Bytes>& stretches) {
    Bytes flash(kCodeDump, 0xFF);
    for (const auto& [address, bytes] : stretches) {
        for (size_t i = 0; i < bytes.size(); ++i) {
            const uint32_t at = address + static_cast<uint32_t>(i);
            if (at < kNeverWritten || at >= kNeverWrittenEnd) flash[at] = bytes[i];
        }
    }
    flash[kSignatureAt] = 'K';
    flash[kSignatureAt + 1] = 'V';
    return flash;
}

// Where the parts of a binary download file (in plain form) go.
std::map<uint32_t, Bytes> BinaryStretches(const Bytes& file) {
    const auto part = [&file](size_t from, size_t to) {
        return Bytes(file.begin() + static_cast<long>(from), file.begin() + static_cast<long>(to));
    };
    std::map<uint32_t, Bytes> stretches{
        {0x4000, part(kFileDriver, kFileDriver + kDriverLength)},
        {0xE000, part(kFileApp, std::min(file.size(), kFileUpper))}};
    if (file.size() > kFileUpper) stretches[0x100000] = part(kFileUpper, file.size());
    return stretches;
}

// A binary download file of `size` bytes carrying application number `number` (three digits)
// and identity 0x1234.
Bytes BinaryFile(size_t size, const char* number) {
    Bytes file = Pattern(size, 11);
    file[0] = 0x3C;  // the two bytes the image key is derived from
    file[1] = 0xA5;
    for (size_t i = 0; i < 3; ++i) file[kFileNumber + i] = static_cast<uint8_t>(number[i]);
    file[kFileIdentity] = 0x34;
    file[kFileIdentity + 1] = 0x12;
    return file;
}

// `plain` as an image for automatic binary loading: its head enciphered with base key A.
Bytes Enciphered(Bytes plain) {
    uint8_t key[cordane::kBaseKeySize];
    EXPECT_TRUE(cordane::BuiltInBaseKey(cordane::kBaseKeyA, key));
    EXPECT_TRUE(
        cordane::EncipherImageRegion(plain.data(), plain.size(), kFileApp, kEnciphered, key));
    return plain;
}

// One value of every transcript line: the text after "name": up to the next comma or brace.
std::vector<std::string> TranscriptField(const std::string& path, const std::string& name) {
    std::vector<std::string> values;
    const std::string key = "\"" + name + "\":";
    std::ifstream in(path);
    for (std::string line; std::getline(in, line);) {
        const size_t at = line.find(key);
        if (at == std::string::npos) continue;
        const size_t from = at + key.size();
        std::string value = line.substr(from, line.find_first_of(",}", from) - from);
        if (value.size() >= 2 && value.front() == '"') value = value.substr(1, value.size() - 2);
        values.push_back(value);
    }
    return values;
}

// A job that never cancels and records its outcome.
class Job : public CDownloadManager {
  public:
    bool KvIsCanceled() override { return false; }
    void KvDownloadCompleted(char* text, int code) override {
        std::lock_guard lock(mutex);
        completions.push_back(std::string(text) + "/" + std::to_string(code));
    }
    std::mutex mutex;
    std::vector<std::string> completions;
};

class LargeReaderEmulatorTest : public ::testing::Test {
  protected:
    void SetUp() override {
        setenv("KORVEL_PORTS_DIR", dir.path().c_str(), 1);
        KvSetMessageBoxHandler(
            [](HWND, const char* text, const char*, unsigned, void* context) -> int {
                auto* test = static_cast<LargeReaderEmulatorTest*>(context);
                std::lock_guard lock(test->mutex);
                test->boxes.push_back(text);
                return IDNO;
            },
            this);
    }
    void TearDown() override {
        KvSetMessageBoxHandler(nullptr, nullptr);
        unsetenv("KORVEL_PORTS_DIR");
    }

    // Starts the emulator of a large reader type; `once` ends it with the first session.
    std::unique_ptr<Simulator> Start(int reader, std::vector<std::string> extra = {},
                                     bool once = true) {
        std::vector<std::string> args = {"--reader",     std::to_string(reader),
                                         "--virtual",    std::to_string(kPort),
                                         "--ports-dir",  dir.path(),
                                         "--dump",       dump,
                                         "--dump-data",  dataDump,
                                         "--transcript", transcript};
        if (once) args.push_back("--once");
        args.insert(args.end(), extra.begin(), extra.end());
        auto sim = std::make_unique<Simulator>(args);
        EXPECT_TRUE(sim->Started());
        EXPECT_TRUE(ReadReady(*sim).has_value());
        return sim;
    }

    void Prepare(Job& job, int reader, const std::string& app, const std::string& driver = {}) {
        job.SetPortCom(kPort, true);
        job.SetReaderType(static_cast<eReaderType>(reader));
        job.SetApplicationName(const_cast<char*>(app.c_str()));
        if (!driver.empty()) job.SetDriverName(const_cast<char*>(driver.c_str()));
    }

    // Waits for the job's thread; its exit code.
    static unsigned Finish(CWinThread* thread) {
        if (!thread) return 1000;
        thread->Wait();
        const unsigned code = thread->ExitCode();
        delete thread;
        return code;
    }

    static unsigned Download(Job& job) { return Finish(job.StartDownload(false)); }

    // A job of download type 1 whose parameter block asks for the application-number check
    // (StartDownload would write a block without it).
    static unsigned CheckedDownload(Job& job, uint32_t number, uint32_t previous1,
                                    uint32_t previous2) {
        uint8_t block[KV_PARAM_BLOCK_SIZE] = {};
        const auto put = [&block](size_t offset, uint32_t value) {
            for (size_t i = 0; i < 4; ++i)
                block[offset + i] = static_cast<uint8_t>(value >> (8 * i));
        };
        put(KV_PARAM_CHECK_APP_NUMBER, 1);
        put(KV_PARAM_APP_NUMBER, number);
        put(KV_PARAM_PREVIOUS_APP_1, previous1);
        put(KV_PARAM_PREVIOUS_APP_2, previous2);
        put(KV_PARAM_KEY_SELECTOR, cordane::kBaseKeyA);
        UpdateParam(block);
        job.flags = KV_DOWNLOAD_AUTO_BINARY;
        return Finish(BeginDownload(&job, false));
    }

    std::vector<std::string> Boxes() {
        std::lock_guard lock(mutex);
        return boxes;
    }

    TempDir dir;
    std::string dump = dir.path() + "/flash.bin";
    std::string dataDump = dir.path() + "/data.bin";
    std::string transcript = dir.path() + "/frames.jsonl";
    std::mutex mutex;
    std::vector<std::string> boxes;
};

TEST_F(LargeReaderEmulatorTest, SrecordFilesToA512KbReader) {
    // The driver's low part with its high part; the application with the records it lays over
    // the driver (0x4300-0x471F) and a body running through 0xF000-0xFFFF into 0x10000.
    const std::map<uint32_t, Bytes> driver{{0x4000, Pattern(0x1800, 1)},
                                           {0x70100, Pattern(0x300, 2)}};
    const std::map<uint32_t, Bytes> application{{0x4300, Pattern(0x420, 3)},
                                                {0xE000, Pattern(0x2400, 4)}};
    std::map<uint32_t, Bytes> flash = driver;
    std::copy(application.at(0x4300).begin(), application.at(0x4300).end(),
              flash[0x4000].begin() + 0x300);
    flash[0xE000] = application.at(0xE000);

    auto sim = Start(2);
    const std::string drv = dir.Write("driver.sre", SrecText(driver));
    const std::string app = dir.Write("app.sre", SrecText(application));
    Job job;
    Prepare(job, 2, app, drv);
    EXPECT_EQ(Download(job), 0u) << ::testing::PrintToString(Boxes());
    EXPECT_EQ(sim->Wait(), 0);  // --once: a signed image
    EXPECT_THAT(job.completions, ElementsAre("Download completed/0"));
    EXPECT_EQ(Difference(ReadBytes(dump), ExpectedFlash(flash)), "");
}

TEST_F(LargeReaderEmulatorTest, PlainBinaryToA1MbReaderFillsItsUpperBank) {
    Bytes file = BinaryFile(kFileUpper + 0x1234, "042");
    // Blank stretches of whole blocks, which the engine skips, in the application and upper part.
    std::fill(file.begin() + 0x30000, file.begin() + 0x33000, 0xFF);
    std::fill(file.begin() + kFileUpper + 0x400, file.begin() + kFileUpper + 0xA00, 0xFF);

    auto sim = Start(5);
    Job job;
    Prepare(job, 5, dir.Write("app.bin", file));
    job.downloadType = KV_DOWNLOAD_BINARY;
    EXPECT_EQ(Download(job), 0u) << ::testing::PrintToString(Boxes());
    EXPECT_EQ(sim->Wait(), 0);
    EXPECT_EQ(Difference(ReadBytes(dump), ExpectedFlash(BinaryStretches(file))), "");
    EXPECT_EQ(ReadBytes(dataDump).size(), kDataFlash);
    EXPECT_NE(ReadBytes(dataDump), Bytes(kDataFlash, 0xFF));  // not asked to erase it
}

TEST_F(LargeReaderEmulatorTest, EncipheredImageToTheModemReader) {
    const Bytes plain = BinaryFile(kFileApp + 0x1800, "007");
    auto sim = Start(7);
    Job job;
    Prepare(job, 7, dir.Write("app.kor", Enciphered(plain)));
    job.downloadType = KV_DOWNLOAD_AUTO_BINARY;
    job.keySelector = cordane::kBaseKeyA;
    job.fileIdentityCheck = 1;  // read from the deciphered head
    job.expectedFileIdentity = 0x1234;
    EXPECT_EQ(Download(job), 0u) << ::testing::PrintToString(Boxes());
    EXPECT_EQ(sim->Wait(), 0);
    EXPECT_EQ(Difference(ReadBytes(dump), ExpectedFlash(BinaryStretches(plain))), "");
    EXPECT_EQ(TranscriptField(transcript, "kind").front(), "reset");
}

TEST_F(LargeReaderEmulatorTest, EraseOnlyWithTheDataFlashThroughTheLoaderRoutines) {
    auto sim = Start(2);
    Job job;
    Prepare(job, 2, "");
    job.eraseCode = 1;
    job.SetEraseDataflash(true);
    EXPECT_EQ(Download(job), 0u) << ::testing::PrintToString(Boxes());
    EXPECT_EQ(sim->Wait(), 1);  // no signed image: nothing was downloaded
    EXPECT_EQ(Difference(ReadBytes(dataDump), Bytes(kDataFlash, 0xFF)), "");
    EXPECT_EQ(Difference(ReadBytes(dump), Bytes(kCodeDump, 0xFF)), "");
    // The erase-start routine ends the session unanswered; no EndSession follows.
    EXPECT_THAT(
        TranscriptField(transcript, "kind"),
        ElementsAre("reset", "run-routine", "data-flash-erase-core", "data-flash-erase-start"));
    EXPECT_THAT(TranscriptField(transcript, "answer"), ElementsAre("0", "0", "0", "null"));
}

TEST_F(LargeReaderEmulatorTest, EraseOnlyWithTheDataFlashThroughEraseData) {
    auto sim = Start(5);
    Job job;
    Prepare(job, 5, "");
    job.downloadType = KV_DOWNLOAD_ERASE_CODE;
    job.SetEraseDataflash(true);
    EXPECT_EQ(Download(job), 0u) << ::testing::PrintToString(Boxes());
    EXPECT_EQ(sim->Wait(), 1);
    EXPECT_EQ(Difference(ReadBytes(dataDump), Bytes(kDataFlash, 0xFF)), "");
    EXPECT_THAT(TranscriptField(transcript, "kind"),
                ElementsAre("reset", "run-routine", "erase-data"));
    EXPECT_THAT(TranscriptField(transcript, "answer"), ElementsAre("0", "0", "0"));
}

TEST_F(LargeReaderEmulatorTest, RefusedApplicationNumbersLeaveTheFlashAlone) {
    // The reader holds application 005; it takes 005 again, and a change only from the numbers
    // the new application names as its predecessors.
    auto sim = Start(3, {"--app-number", "5"}, false);
    const Bytes first = BinaryFile(kFileApp + 0x1400, "005");
    const std::string firstPath = dir.Write("first.kor", Enciphered(first));
    const std::string secondPath =
        dir.Write("second.kor", Enciphered(BinaryFile(kFileApp + 0x1400, "007")));

    Job same;
    Prepare(same, 3, firstPath);
    EXPECT_EQ(CheckedDownload(same, 5, 4, 3), 0u) << ::testing::PrintToString(Boxes());

    Job refused;  // 007 may replace 006 or 004: the reader says no
    Prepare(refused, 3, secondPath);
    EXPECT_EQ(CheckedDownload(refused, 7, 6, 4), 0x31u);
    EXPECT_THAT(Boxes(), ElementsAre("Trying to download incorrect application number!"));

    Job mismatch;  // the file is not the application the caller names: the engine says no
    Prepare(mismatch, 3, secondPath);
    EXPECT_EQ(CheckedDownload(mismatch, 8, 6, 5), 4u);
    EXPECT_THAT(Boxes(), ElementsAre("Trying to download incorrect application number!",
                                     "Trying to download incorrect application number!"));

    sim->Stop(StopRequest::Terminate);
    EXPECT_EQ(sim->Wait(), 0);
    EXPECT_EQ(Difference(ReadBytes(dump), ExpectedFlash(BinaryStretches(first))), "");
    // The flash was erased once, in the first session; the later ones ended at their check.
    const auto kinds = TranscriptField(transcript, "kind");
    EXPECT_EQ(std::count(kinds.begin(), kinds.end(), "run-routine"), 1);
    EXPECT_EQ(std::count(kinds.begin(), kinds.end(), "app-number-check"), 2);
}

TEST_F(LargeReaderEmulatorTest, FilesTheReaderCannotTakeLeaveItsApplication) {
    // The reader gets a good driver and application; then every file it cannot take is offered
    // and refused before the reset, so the flash still holds that application.
    auto sim = Start(2, {}, false);
    const std::map<uint32_t, Bytes> driver{{0x4000, Pattern(0x800, 1)}};
    const std::map<uint32_t, Bytes> application{{0xE000, Pattern(0x900, 2)}};
    std::map<uint32_t, Bytes> flash = driver;
    flash[0xE000] = application.at(0xE000);
    const std::string drv = dir.Write("driver.sre", SrecText(driver));
    const std::string app = dir.Write("app.sre", SrecText(application));
    Job good;
    Prepare(good, 2, app, drv);
    ASSERT_EQ(Download(good), 0u) << ::testing::PrintToString(Boxes());

    std::string damaged = SrecText(application);
    damaged[damaged.find("S2") + 12] ^= 1;  // one data digit changed
    const std::string cut = SrecText(application);
    std::filesystem::create_directory(dir.path() + "/folder");
    struct Offer {
        const char* name;
        int type;  // download type
        std::string app, driver;
    };
    const std::vector<Offer> offers = {
        {"record across 0x7FFFF", 0,
         dir.Write("cross.sre", SrecText({{0xE000, Pattern(0x100, 3)}, {0x7FFF0, Pattern(32, 4)}})),
         drv},
        {"application over the driver's high part", 0,
         dir.Write("over.sre",
                   SrecText({{0xE000, Pattern(0x100, 3)}, {0x70000, Pattern(0x100, 5)}})),
         dir.Write("drv-high.sre",
                   SrecText({{0x4000, Pattern(0x100, 6)}, {0x70000, Pattern(16, 7)}}))},
        {"a 64 Kb reader's application", 0,
         dir.Write("small.sre", SrecText({{0x2000, Pattern(64, 8)}})), drv},
        {"a damaged record", 0, dir.Write("damaged.sre", damaged), drv},
        {"a file cut short", 0, dir.Write("cut.sre", cut.substr(0, cut.rfind("S8"))), drv},
        {"a binary file for a 1 Mb reader", 2, dir.Write("big.bin", Pattern(0xC0000, 9)), ""},
        {"a directory", 2, dir.path() + "/folder", ""},
    };
    for (const Offer& offer : offers) {
        SCOPED_TRACE(offer.name);
        Job job;
        Prepare(job, 2, offer.app, offer.driver);
        job.downloadType = offer.type;
        job.silent = 0;
        EXPECT_EQ(Download(job), 1u) << ::testing::PrintToString(Boxes());
    }
    EXPECT_EQ(Boxes().size(), offers.size());

    sim->Stop(StopRequest::Terminate);
    EXPECT_EQ(sim->Wait(), 0);
    EXPECT_EQ(Difference(ReadBytes(dump), ExpectedFlash(flash)), "");
    // The flash was erased once, for the good download.
    const auto kinds = TranscriptField(transcript, "kind");
    EXPECT_EQ(std::count(kinds.begin(), kinds.end(), "run-routine"), 1);
}

}  // namespace
