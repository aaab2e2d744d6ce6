// Start on a global file: detection on the scripted fake link, extraction, and the download of the
// extracted "bin" file by the real engine.
#include <gmock/gmock.h>

#include <iterator>

#include "brenmark/global_file_steps.h"
#include "dialog_harness.h"
#include "kit/global_file.h"

namespace brenmarktest {
namespace {

using namespace brenmark;
using korvel::kit::DetectionOptions;
using korvel::kit::ExtractImage;
using korvel::kit::GloComponentSpec;
using korvel::kit::GloImage;
using ::testing::ElementsAre;
using ::testing::HasSubstr;

// Frames of a detection: 30 loader chunks, the start frame, then the two identification reads.
constexpr size_t kIdentify1Frame = 32;
constexpr size_t kIdentify2Frame = 33;

// The program's global-file steps, with the debug file in the test's folder; they note the
// progress line the operator sees while the reader is detected.
class GlobalSteps : public NoSettingsSources {
  public:
    explicit GlobalSteps(FakeView& view) : view_(view) {}
    bool DetectReader(CDownloadDlg& dialog) override {
        lineWhileDetecting = view_.ControlText(kProgressText);
        return DetectDialogReader(dialog, options);
    }
    bool ExtractGlobalFile(CDownloadDlg& dialog) override {
        return ExtractDialogGlobalFile(dialog);
    }
    std::string lineWhileDetecting;
    DetectionOptions options;

  private:
    FakeView& view_;
};

class GlobalDialogTest : public DialogTest {
  protected:
    void SetUp() override {
        DialogTest::SetUp();
        steps.options.debugFile = (dir / "Dbg.txt").string();
        global.AttachView(&globalView);
        global.SetPortProbe([this] { return ports; });
        global.SetErrorSink([this](const std::string& line) { errors.push_back(line); });
        global.OnInitDialog();
        global.downloadType = KV_DOWNLOAD_BINARY;              // as the options file sets it
        globalView.lists[kTerminalList].selection = KvTal512;  // no driver file asked for
        globalView.lists[kPortList].selection = 1;
    }
    void TearDown() override {
        global.WaitForWorker();
        DialogTest::TearDown();
    }

    // Common data at 0x10000, and a part at 0x4720 for reader type 8 and another for type 2.
    std::string WriteGlobalFile(const std::string& name) {
        std::vector<GloComponentSpec> parts(3);
        parts[0].address = 0x10000;
        parts[0].name = "APP.SRE";
        parts[0].data.assign(300, 0x5A);
        parts[1].kind = 2;
        parts[1].flags = 0x08;
        parts[1].address = 0x4720;
        parts[1].name = "SREHARD4_S.SRE";
        parts[1].data.assign(200, 0x88);
        parts[2] = parts[1];
        parts[2].flags = 0x48;
        parts[2].name = "DRIVER.SRE";
        parts[2].data.assign(200, 0x22);
        bytes = BuildGlobalFile(parts);
        return temp.Write(name, bytes);
    }

    void RunGlobalWorkerToEnd() {
        for (int i = 0; i < 5000 && global.WorkerRunning(); ++i) {
            globalView.Pump();
            std::this_thread::sleep_for(std::chrono::milliseconds(1));
        }
        globalView.Pump();
    }

    FakeView globalView;
    GlobalSteps steps{globalView};
    CDownloadDlg global{&steps};
    std::vector<uint8_t> bytes;
};

TEST_F(GlobalDialogTest, DetectedTypeEightGetsItsExtractedImage) {
    const std::string glo = WriteGlobalFile("all.glo");
    globalView.texts[kApplicationFile] = glo;
    zrfake::Script script;
    script.replies[kIdentify1Frame] = {0, ZR_OK, {4, 0}};  // g below 5: the second read at 0x86001
    script.replies[kIdentify2Frame] = {0, ZR_OK, {0, 0, 1}};  // byte 2 set: reader type 8
    zrfake::Reset(std::move(script));

    ASSERT_TRUE(global.OnStart()) << ::testing::PrintToString(globalView.boxes);
    EXPECT_EQ(steps.lineWhileDetecting, "Progression : Reader parameters detection...");
    EXPECT_EQ(int{global.readerType}, KvLarge8);  // a packed field: compared by value
    EXPECT_THAT(global.detectionBytes, ElementsAre(4, 0));
    EXPECT_EQ(globalView.ListSelection(kTerminalList), -1);  // type 8 has no entry
    EXPECT_EQ(globalView.picture, kBitmapNone);
    EXPECT_EQ(global.globalFileFlag, 1);
    const std::string bin = glo.substr(0, glo.size() - 3) + "bin";  // beside it
    EXPECT_EQ(global.globalFileName, bin);
    EXPECT_STREQ(global.applicationFile, bin.c_str());

    // The "bin" file holds the CRC and the image for type 8: its own part, not type 2's.
    const GloImage expected = ExtractImage(glo, bytes.data(), bytes.size(), KvLarge8);
    ASSERT_TRUE(expected.Ok());
    EXPECT_EQ(expected.image[0x720], 0x88);
    const std::vector<uint8_t> written = [&] {
        std::ifstream file(bin, std::ios::binary);
        return std::vector<uint8_t>{std::istreambuf_iterator<char>(file), {}};
    }();
    ASSERT_EQ(written.size(), expected.image.size() + 2);
    EXPECT_EQ(written[0] | written[1] << 8, expected.crc);
    EXPECT_TRUE(std::equal(expected.image.begin(), expected.image.end(), written.begin() + 2));

    // The engine downloads it to reader type 8; binary loading then deletes the extracted file.
    RunGlobalWorkerToEnd();
    EXPECT_EQ(global.WaitForWorker(), 0u) << ::testing::PrintToString(engineBoxes);
    // The job's flags word, read once the worker (which clears its silent and debug bits) is done.
    EXPECT_EQ(global.flags, static_cast<uint32_t>(KV_DOWNLOAD_BINARY));
    EXPECT_EQ(global.downloadResult, 1);
    ASSERT_TRUE(globalView.timers.count(kTimerEndOfDownload));
    global.OnTimer(kTimerEndOfDownload);
    EXPECT_FALSE(std::filesystem::exists(bin));
    EXPECT_TRUE(std::filesystem::exists(glo));
}

TEST_F(GlobalDialogTest, NormalDownloadTypeSendsTheExtractedFileAsBinaryAndKeepsIt) {
    global.downloadType = KV_DOWNLOAD_NORMAL;
    globalView.texts[kApplicationFile] = WriteGlobalFile("all.glo");
    zrfake::Script script;
    script.replies[kIdentify1Frame] = {0, ZR_OK, {4, 0}};
    script.replies[kIdentify2Frame] = {0, ZR_OK, {0, 0, 0}};  // reader type 2
    zrfake::Reset(std::move(script));

    ASSERT_TRUE(global.OnStart()) << ::testing::PrintToString(globalView.boxes);
    EXPECT_EQ(int{global.readerType}, KvOrb512);
    EXPECT_EQ(globalView.ListSelection(kTerminalList), KvOrb512);
    RunGlobalWorkerToEnd();
    EXPECT_EQ(global.WaitForWorker(), 0u) << ::testing::PrintToString(engineBoxes);
    // The job's flags word, read once the worker (which clears its silent and debug bits) is done.
    EXPECT_EQ(global.flags, static_cast<uint32_t>(KV_DOWNLOAD_BINARY));
    global.OnTimer(kTimerEndOfDownload);
    EXPECT_TRUE(std::filesystem::exists(dir / "all.bin"));
}

TEST_F(GlobalDialogTest, FailedDetectionOrExtractionStartsNothing) {
    const std::string glo = WriteGlobalFile("all.glo");
    globalView.texts[kApplicationFile] = glo;

    // The link never opens: the detection's message, download result 2, nothing written.
    zrfake::Script closed;
    closed.resetResults = {0xFF01, 0xFF01, 0xFF01};
    zrfake::Reset(std::move(closed));
    EXPECT_FALSE(global.OnStart());
    EXPECT_THAT(globalView.boxes,
                ElementsAre("Problèmes de dialogue avec le lecteur.\nVérifier que celui-ci est "
                            "correctement connecté."));
    EXPECT_EQ(global.downloadResult, 2);
    EXPECT_EQ(global.globalFileName, glo);
    EXPECT_FALSE(std::filesystem::exists(dir / "all.bin"));
    EXPECT_EQ(globalView.ControlText(kProgressText),
              "Progression : Reader parameters detection...");
    EXPECT_TRUE(globalView.IsControlEnabled(kStart));
    EXPECT_FALSE(global.WorkerRunning());

    // A reader answering the first read only: a failed detection, not a guess.
    zrfake::Script shortAnswer;
    shortAnswer.replies[kIdentify1Frame] = {0, ZR_OK, {5, 0}};
    shortAnswer.replies[kIdentify2Frame] = {0, ZR_OK, {0x48}};
    zrfake::Reset(std::move(shortAnswer));
    EXPECT_FALSE(global.OnStart());
    EXPECT_EQ(globalView.boxes.size(), 2u);
    EXPECT_EQ(zrfake::OpenHandles(), 0u);

    // Detected, but the file is cut short: "CAUTION" with the file's name, nothing written.
    std::filesystem::resize_file(glo, bytes.size() - 1);
    zrfake::Script detected;
    detected.replies[kIdentify1Frame] = {0, ZR_OK, {4, 0}};
    detected.replies[kIdentify2Frame] = {0, ZR_OK, {0, 0, 0}};
    zrfake::Reset(std::move(detected));
    EXPECT_FALSE(global.OnStart());
    ASSERT_EQ(engineBoxes.size(), 1u);
    EXPECT_THAT(engineBoxes[0],
                HasSubstr("CAUTION|The file " + glo + " is not a valid Binary Global File"));
    EXPECT_THAT(engineBoxes[0], HasSubstr("|16962"));  // owned by the dialog's window
    EXPECT_EQ(global.globalFileName, glo);
    EXPECT_FALSE(std::filesystem::exists(dir / "all.bin"));
    EXPECT_EQ(global.ProgressText(), "Progression : Global File Extraction...");
    EXPECT_FALSE(global.WorkerRunning());
}

}  // namespace
}  // namespace brenmarktest
