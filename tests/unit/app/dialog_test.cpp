// The download dialog's behaviour against a fake view, with the real engine over the scripted
// fake link and the engine's virtual clock.
#include <gmock/gmock.h>

#include "dialog_harness.h"

namespace brenmarktest {
namespace {

using namespace brenmark;
using ::testing::ElementsAre;
using ::testing::HasSubstr;

constexpr std::initializer_list<int> kOperatorControls = {
    kTerminalList,      kPortList,        kStart,        kQuit,
    kApplicationBrowse, kApplicationFile, kDriverBrowse, kDriverFile};

TEST_F(DialogTest, OpensOnKvOrb512WithTheDriverRowAndComOneSelected) {
    dialog.OnInitDialog();
    ASSERT_EQ(view.ListCount(kTerminalList), 8);
    EXPECT_EQ(view.ListItemText(kTerminalList, 0), "KvTal (64 Kb)");
    EXPECT_EQ(view.ListItemText(kTerminalList, 7), "KvTalModem");
    EXPECT_EQ(view.ListSelection(kTerminalList), 2);
    EXPECT_EQ(view.picture, kBitmapOrb);
    for (int id : kOperatorControls) EXPECT_TRUE(view.IsControlEnabled(id)) << id;
    EXPECT_TRUE(view.IsControlEnabled(kDriverLabel));
    EXPECT_EQ(view.ListItemText(kPortList, 1), "KORVEL03");
    EXPECT_EQ(view.ListItemData(kPortList, 1), 0x80000003u);
    EXPECT_EQ(view.ListSelection(kPortList), 0);  // COM1, the port word before any setting
    EXPECT_EQ(view.animation, "open 149");
    EXPECT_FALSE(view.ended.has_value());

    // Without COM1 no port is selected.
    ports.erase(ports.begin());
    dialog.FillPortList();
    EXPECT_EQ(dialog.SelectPort(1), -1);
    EXPECT_EQ(view.ListSelection(kPortList), -1);
}

TEST_F(DialogTest, FixedPortLocksTheSelectorOnlyWhenPresent) {
    dialog.serialPortNumber = 0x80000003u;
    dialog.OnInitDialog();
    EXPECT_EQ(view.ListSelection(kPortList), 1);
    EXPECT_FALSE(view.IsControlEnabled(kPortList));
    EXPECT_EQ(dialog.portFound, 1);
    EXPECT_EQ(dialog.SelectPort(1), -1);  // the fixed port wins over the last port word

    // The same port fixed while absent: dropped, the operator chooses, the last port word selects.
    FakeView other;
    CDownloadDlg second;
    second.AttachView(&other);
    second.SetPortProbe([] {
        return std::vector<korvel::ports::OpenablePort>{{1, "COM1", "/dev/null"}};
    });
    second.serialPortNumber = 0x80000003u;
    second.OnInitDialog();
    EXPECT_EQ(second.serialPortNumber, 0u);
    EXPECT_TRUE(other.IsControlEnabled(kPortList));
    EXPECT_EQ(other.ListSelection(kPortList), 0);
}

TEST_F(DialogTest, TerminalTypeChangeSetsPictureAndDriverRow) {
    dialog.OnInitDialog();
    view.texts[kDriverFile] = "/kit/driver.sre";
    view.lists[kTerminalList].selection = 0;
    dialog.OnTerminalTypeChange();
    EXPECT_EQ(static_cast<int>(dialog.readerType), KvTal64);
    EXPECT_EQ(view.picture, kBitmapTal);
    EXPECT_FALSE(view.IsControlEnabled(kDriverLabel));
    EXPECT_FALSE(view.IsControlEnabled(kDriverFile));
    EXPECT_FALSE(view.IsControlEnabled(kDriverBrowse));
    EXPECT_EQ(view.ControlText(kDriverFile), "");

    view.lists[kTerminalList].selection = 3;
    dialog.OnTerminalTypeChange();
    EXPECT_EQ(view.picture, kBitmapTal);
    EXPECT_TRUE(view.IsControlEnabled(kDriverFile));
    EXPECT_TRUE(view.IsControlEnabled(kDriverBrowse));
    EXPECT_EQ(view.ControlText(kDriverFile), "");

    view.lists[kTerminalList].selection = 4;
    dialog.OnTerminalTypeChange();
    EXPECT_EQ(view.picture, kBitmapQuin);
    EXPECT_EQ(PictureOf(8), kBitmapNone);
    EXPECT_EQ(PictureOf(12), kBitmapQuin);
}

TEST_F(DialogTest, StartRefusesWhatTheEngineCouldNotTake) {
    dialog.OnInitDialog();
    EXPECT_FALSE(dialog.OnStart());
    EXPECT_THAT(view.boxes, ElementsAre("The application file is not valide."));

    view.texts[kApplicationFile] = WriteApplication("app.sre");
    EXPECT_FALSE(dialog.OnStart());  // KvOrb (512Kb) without a driver file
    EXPECT_EQ(view.boxes.back(), "The driver file is not valide.");

    view.lists[kTerminalList].selection = 6;  // KvTal (1Mb): the driver is not checked
    view.lists[kPortList].selection = -1;
    EXPECT_FALSE(dialog.OnStart());
    EXPECT_EQ(view.boxes.back(), "No serial port selected.");

    view.lists[kPortList].selection = 0;
    view.texts[kApplicationFile] = "/" + std::string(255, 'a');
    EXPECT_FALSE(dialog.OnStart());
    EXPECT_THAT(view.boxes.back(), HasSubstr("256 characters long"));
    EXPECT_THAT(view.boxes.back(), HasSubstr("shorter path"));

    // Nothing was started and no control was taken away.
    EXPECT_FALSE(dialog.WorkerRunning());
    for (int id : kOperatorControls) EXPECT_TRUE(view.IsControlEnabled(id)) << id;
    EXPECT_TRUE(view.timers.empty());
}

// A dialog whose engine has no worker for it, recording the job it was given.
class NoWorkerDialog : public CDownloadDlg {
  protected:
    CWinThread* StartWorker() override { return nullptr; }
};

TEST_F(DialogTest, StartBuildsFlagsWordAndParameterBlock) {
    FakeView other;
    NoWorkerDialog job;
    job.AttachView(&other);
    job.SetPortProbe([this] { return ports; });
    job.OnInitDialog();
    job.downloadType = KV_DOWNLOAD_AUTO_BINARY;
    job.eraseDataFlash = 1;
    job.askQuestion = 1;
    job.checkApplicationNumber = 1;
    job.applicationNumber = 0x01020304;
    job.previousApplicationNumber1 = 7;
    job.previousApplicationNumber2 = 0xFFFFFFFF;
    other.texts[kApplicationFile] = "/kit/image.kor";
    other.lists[kTerminalList].selection = 5;
    other.lists[kPortList].selection = 1;

    EXPECT_FALSE(job.OnStart());
    EXPECT_EQ(job.flags, 0x80000000u | 0x20000000u | 1u);
    EXPECT_EQ(static_cast<int>(job.portWord), static_cast<int16_t>(0x8003));
    EXPECT_EQ(static_cast<int>(job.readerType), KvOrb1Mb);
    EXPECT_STREQ(job.applicationFile, "/kit/image.kor");
    EXPECT_EQ(NumberOf(job.ownerWindow), 0x4242);
    const std::array<uint8_t, 16> head = {1, 0, 0, 0, 4,    3,    2,    1,
                                          7, 0, 0, 0, 0xFF, 0xFF, 0xFF, 0xFF};
    EXPECT_TRUE(std::equal(head.begin(), head.end(), job.parameterBlock.begin()));
    EXPECT_TRUE(std::all_of(job.parameterBlock.begin() + 16, job.parameterBlock.end(),
                            [](uint8_t b) { return b == 0; }));

    // No worker: the operator is told and can start again; nothing waits for a worker.
    EXPECT_THAT(other.boxes.back(), HasSubstr("/kit/image.kor could not be started"));
    for (int id : {kPortList, kStart, kQuit}) EXPECT_TRUE(other.IsControlEnabled(id)) << id;
    EXPECT_FALSE(other.timers.count(kTimerRefresh));
    EXPECT_EQ(other.animation, "first frame");
    EXPECT_EQ(job.WaitForWorker(), 0u);

    // Erase code mode sets its own bit; options off clear theirs.
    job.downloadType = KV_DOWNLOAD_ERASE_CODE;
    job.eraseDataFlash = 0;
    job.askQuestion = 0;
    EXPECT_FALSE(job.OnStart());
    EXPECT_EQ(job.flags, 0x40000000u | 3u);
    EXPECT_TRUE(std::all_of(job.parameterBlock.begin(), job.parameterBlock.end(),
                            [](uint8_t b) { return b == 0; }));
}

TEST_F(DialogTest, DownloadShowsProgressAndMakesTheDialogReadyAgain) {
    dialog.OnInitDialog();
    view.texts[kApplicationFile] = WriteApplication("app.sre");
    view.lists[kTerminalList].selection = 0;
    dialog.OnTerminalTypeChange();
    view.lists[kPortList].selection = 1;

    ASSERT_TRUE(dialog.OnStart());
    for (int id : kOperatorControls) EXPECT_FALSE(view.IsControlEnabled(id)) << id;
    EXPECT_EQ(view.animation, "playing");
    RunWorkerToEnd();
    EXPECT_EQ(dialog.WaitForWorker(), 0u);
    EXPECT_TRUE(engineBoxes.empty());

    // The engine's notices started timers 3, 0 and 1; the line shows at the next refresh.
    EXPECT_THAT(view.timerLog,
                ElementsAre("start 3 1000", "start 3 1000", "start 0 200", "start 1 200"));
    EXPECT_EQ(dialog.downloadResult, 1);
    EXPECT_EQ(view.barPosition, 100);
    EXPECT_EQ(view.ControlText(kProgressText), "");
    Tick(kTimerRefresh);
    EXPECT_EQ(view.ControlText(kProgressText), "Progression : Download completed.");
    for (int id : kOperatorControls) EXPECT_FALSE(view.IsControlEnabled(id)) << id;

    Tick(kTimerEndOfDownload);
    EXPECT_TRUE(view.timers.count(0));  // the engine's other timer ticks on, doing nothing
    EXPECT_FALSE(view.timers.count(kTimerEndOfDownload));
    EXPECT_FALSE(view.timers.count(kTimerRefresh));
    for (int id : {kTerminalList, kPortList, kStart, kQuit, kApplicationBrowse, kApplicationFile}) {
        EXPECT_TRUE(view.IsControlEnabled(id)) << id;
    }
    EXPECT_FALSE(view.IsControlEnabled(kDriverFile));  // KvTal (64 Kb) takes no driver
    EXPECT_EQ(view.barPosition, 0);
    EXPECT_EQ(view.ControlText(kProgressText), " ");
    EXPECT_EQ(view.animation, "first frame");
    EXPECT_FALSE(view.ended.has_value());
    Tick(0);
    EXPECT_FALSE(view.timers.count(0));

    // Quit: sets the cancel flag and ends the dialog; the program's exit code is the worker's.
    dialog.OnQuit();
    EXPECT_TRUE(dialog.KvIsCanceled());
    EXPECT_EQ(view.ended, 0);
}

TEST_F(DialogTest, FailedDownloadGivesResultTwoAndTheWorkersExitCode) {
    dialog.OnInitDialog();
    view.texts[kApplicationFile] = (dir / "missing.sre").string();
    view.lists[kTerminalList].selection = 1;
    ASSERT_TRUE(dialog.OnStart());
    RunWorkerToEnd();
    EXPECT_EQ(dialog.WaitForWorker(), 1u);  // the engine's file error
    EXPECT_EQ(dialog.downloadResult, 2);
    ASSERT_EQ(engineBoxes.size(), 1u);
    EXPECT_THAT(engineBoxes[0], HasSubstr("|16962"));  // owned by the dialog's window
    Tick(kTimerEndOfDownload);
    EXPECT_TRUE(view.IsControlEnabled(kStart));
}

TEST_F(DialogTest, EndOfDownloadFollowsTheDownloadType) {
    dialog.OnInitDialog();
    dialog.downloadType = KV_DOWNLOAD_AUTO_BINARY;
    for (int id : kOperatorControls) view.EnableControl(id, false);
    char* none = nullptr;
    dialog.KvFinTelechargement(none, kTimerEndOfDownload);
    view.Pump();
    Tick(kTimerEndOfDownload);
    EXPECT_TRUE(view.IsControlEnabled(kStart));
    EXPECT_TRUE(view.IsControlEnabled(kQuit));
    EXPECT_TRUE(view.IsControlEnabled(kPortList));
    for (int id : {kTerminalList, kApplicationFile, kApplicationBrowse, kDriverFile}) {
        EXPECT_FALSE(view.IsControlEnabled(id)) << id;
    }

    // Binary loading from a global file deletes the extracted file.
    dialog.downloadType = KV_DOWNLOAD_BINARY;
    dialog.globalFileFlag = 1;
    dialog.globalFileName = WriteApplication("extracted.bin");
    dialog.serialPortNumber = 1;
    view.EnableControl(kPortList, false);
    dialog.KvFinTelechargement(none, kTimerEndOfDownload);
    view.Pump();
    Tick(kTimerEndOfDownload);
    EXPECT_FALSE(std::filesystem::exists(dialog.globalFileName));
    EXPECT_TRUE(view.IsControlEnabled(kApplicationFile));
    EXPECT_FALSE(view.IsControlEnabled(kPortList));  // a fixed port stays locked
}

TEST_F(DialogTest, ResultIsOneOnlyAfterTheCompletionText) {
    char* none = nullptr;
    std::string text = "DOWNLOAD COMPLETED.";
    dialog.AttachView(&view);
    dialog.KvSetMessage(text.data());
    dialog.KvFinTelechargement(none, 1);
    EXPECT_EQ(dialog.downloadResult, 1);
    text = "Download completed";
    dialog.KvSetMessage(text.data());
    dialog.KvFinTelechargement(none, 1);
    EXPECT_EQ(dialog.downloadResult, 2);
    std::string period = "  750";
    dialog.KvFinTelechargement(period.data(), 3);
    EXPECT_EQ(dialog.downloadResult, 2);  // a notice with a period leaves the result
    view.Pump();
    EXPECT_EQ(view.timers[1], 200u);
    EXPECT_EQ(view.timers[3], 750u);
}

TEST_F(DialogTest, ProgressBarAnswersAtOnceAndMovesOnTheUserInterfaceThread) {
    dialog.KvpBarSetRange(0, 40);
    dialog.KvpBarSetStep(15);
    EXPECT_EQ(dialog.KvpBarSetPos(10), 0);
    EXPECT_EQ(dialog.KvpBarSetPos(25), 10);
    EXPECT_EQ(dialog.KvpBarGetMaxRange(), 40);
    dialog.KvpBarStepIt();
    EXPECT_EQ(dialog.BarPosition(), 40);
    dialog.KvpBarStepIt();  // past the end: starts over
    EXPECT_EQ(dialog.BarPosition(), 15);
    EXPECT_EQ(dialog.KvpBarSetPos(99), 15);
    EXPECT_EQ(dialog.BarPosition(), 40);
    EXPECT_EQ(view.barPosition, 0);  // nothing touched the control from the worker's side
    EXPECT_EQ(view.Pump(), 6u);
    EXPECT_EQ(view.barRange, std::make_pair(0, 40));
    EXPECT_EQ(view.barPosition, 40);
}

TEST_F(DialogTest, EscapeSchedulesTheReaderResetAndNeverCloses) {
    dialog.OnInitDialog();
    view.lists[kPortList].selection = 1;
    view.texts[kApplicationFile] = WriteApplication("app.sre");
    view.lists[kTerminalList].selection = 0;
    dialog.OnCancelCommand();
    EXPECT_FALSE(view.ended.has_value());
    EXPECT_EQ(view.timers[kTimerReaderReset], 1000u);
    EXPECT_EQ(view.ControlText(kApplicationFile), "");  // controls refreshed from the members

    dialog.portWord = static_cast<int16_t>(0x8003);
    dialog.linkHandle = 77;
    view.StartTimer(kTimerRefresh, 1000);
    Tick(kTimerReaderReset);
    std::vector<std::string> ops;
    for (const zrfake::Call& call : zrfake::Calls()) {
        ops.push_back(call.op + " " + std::to_string(call.handle));
        if (call.op == "ZrOpen") {
            EXPECT_EQ(call.port, 0xFFFF8003u);
            EXPECT_EQ(call.value, 60000LL * 100000 + 20);
        }
    }
    ASSERT_EQ(ops.size(), 4u);
    EXPECT_EQ(ops[0], "ZrClose 77");
    EXPECT_EQ(ops[1].rfind("ZrOpen", 0), 0u);
    EXPECT_EQ(ops[2].rfind("ZrKvrenReset", 0), 0u);
    EXPECT_EQ(ops[3].rfind("ZrClose", 0), 0u);
    EXPECT_EQ(zrfake::OpenHandles(), 0u);
    EXPECT_EQ(dialog.linkHandle, 0);
    EXPECT_THAT(sleeps, ElementsAre(500u, 1500u));
    EXPECT_FALSE(view.timers.count(kTimerReaderReset));
    EXPECT_FALSE(view.timers.count(kTimerRefresh));
    EXPECT_FALSE(view.ended.has_value());
}

TEST_F(DialogTest, AutomaticRunDownloadsAtOnceAndEndsAfterTheNotice) {
    dialog.runMode = kRunAutomatic;
    // The kit's files come from the kit discovery; here the field holds one already.
    struct KitFiles : NoSettingsSources {
        std::string app;
        void FindApplicationFiles(CDownloadDlg& d) override {
            d.applicationFileName = app;
            d.readerType = KvTal64;
        }
    } kit;
    kit.app = WriteApplication("app.sre");
    FakeView other;
    CDownloadDlg automatic(&kit);
    automatic.AttachView(&other);
    automatic.SetPortProbe([this] { return ports; });
    automatic.runMode = kRunAutomatic;

    automatic.OnInitDialog();
    EXPECT_FALSE(other.IsControlEnabled(kQuit));
    for (int i = 0; i < 5000 && automatic.WorkerRunning(); ++i) {
        other.Pump();
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    other.Pump();
    EXPECT_EQ(automatic.WaitForWorker(), 0u);
    EXPECT_FALSE(other.ended.has_value());
    automatic.OnTimer(kTimerEndOfDownload);
    EXPECT_EQ(other.ended, 0);
}

TEST_F(DialogTest, AutomaticRunThatCannotStartEndsWithTheReason) {
    // Without a display: the reasons go to stderr.
    dialog.SetDisplay(false);
    dialog.runMode = kRunAutomatic;
    dialog.OnInitDialog();  // no kit files: no application file
    EXPECT_EQ(view.ended, 0);
    EXPECT_EQ(dialog.WaitForWorker(), static_cast<uint32_t>(kExitFileRefused));
    EXPECT_THAT(errors, ElementsAre("Brenmark: The application file is not valide."));
    EXPECT_TRUE(view.boxes.empty());

    // No port at all: the stop message, exit code 3.
    FakeView other;
    CDownloadDlg noPort;
    noPort.AttachView(&other);
    noPort.SetPortProbe([] { return std::vector<korvel::ports::OpenablePort>{}; });
    noPort.SetErrorSink([this](const std::string& line) { errors.push_back(line); });
    noPort.SetDisplay(false);
    noPort.runMode = kRunAutomatic;
    noPort.applicationFileName = "/kit/app.sre";
    noPort.driverFileName = "/kit/driver.sre";
    noPort.OnInitDialog();
    EXPECT_EQ(other.ended, 0);
    EXPECT_EQ(noPort.WaitForWorker(), static_cast<uint32_t>(kExitNoDownload));
    EXPECT_THAT(errors.back(), HasSubstr("Download serial port is not available."));

    // A global file in this build: refused with a message naming it.
    FakeView third;
    CDownloadDlg global;
    global.AttachView(&third);
    global.SetPortProbe([this] { return ports; });
    global.SetErrorSink([this](const std::string& line) { errors.push_back(line); });
    global.SetDisplay(false);
    global.runMode = kRunAutomatic;
    global.applicationFileName = "/kit/all.glo";
    global.driverFileName = "/kit/driver.sre";
    global.OnInitDialog();
    EXPECT_EQ(third.ended, 0);
    EXPECT_EQ(global.WaitForWorker(), static_cast<uint32_t>(kExitNoDownload));
    EXPECT_THAT(errors.back(), HasSubstr("/kit/all.glo"));
}

TEST_F(DialogTest, MessagesAreBoxesWhereverThereIsADisplayInEitherRunMode) {
    EXPECT_TRUE(HasDisplay("", ":0", ""));
    EXPECT_TRUE(HasDisplay("", "", "wayland-0"));
    EXPECT_TRUE(HasDisplay("xcb", ":1", ""));
    EXPECT_FALSE(HasDisplay("", "", ""));
    EXPECT_FALSE(HasDisplay("offscreen", ":0", "wayland-0"));
    EXPECT_FALSE(HasDisplay("offscreen:fontengine=freetype", ":0", ""));
    EXPECT_FALSE(HasDisplay("minimal", ":0", ""));

    // With a display the automatic run asks as the interactive run does, and takes the answer.
    view.questionAnswer = IDYES;
    for (int mode : {kRunInteractive, kRunAutomatic}) {
        dialog.runMode = mode;
        EXPECT_EQ(dialog.ShowMessage("Erase it?", MB_YESNO | MB_ICONQUESTION), IDYES);
        EXPECT_EQ(dialog.ShowMessage("Refused.", MB_OK, "CAUTION"), IDOK);
    }
    EXPECT_THAT(view.boxes, ElementsAre("Erase it?", "Erase it?"));
    EXPECT_THAT(engineBoxes, ElementsAre("CAUTION|Refused.|16962", "CAUTION|Refused.|16962"));
    EXPECT_TRUE(errors.empty());

    // Without one, in either run mode: stderr, and a question answered No.
    dialog.SetDisplay(false);
    for (int mode : {kRunInteractive, kRunAutomatic}) {
        dialog.runMode = mode;
        EXPECT_EQ(dialog.ShowMessage("Erase it?", MB_YESNO | MB_ICONQUESTION), IDNO);
        EXPECT_EQ(dialog.ShowMessage("Refused.", MB_OK, "CAUTION"), IDOK);
    }
    EXPECT_EQ(view.boxes.size(), 2u);
    EXPECT_EQ(engineBoxes.size(), 2u);
    EXPECT_THAT(errors, ElementsAre("Brenmark: Erase it?", "Brenmark: CAUTION: Refused.",
                                    "Brenmark: Erase it?", "Brenmark: CAUTION: Refused."));

    // An automatic run that cannot start, on a display: its box, then the same exit code.
    FakeView other;
    CDownloadDlg automatic;
    automatic.AttachView(&other);
    automatic.SetPortProbe([this] { return ports; });
    automatic.runMode = kRunAutomatic;
    automatic.OnInitDialog();
    EXPECT_THAT(other.boxes, ElementsAre("The application file is not valide."));
    EXPECT_EQ(other.ended, 0);
    EXPECT_EQ(automatic.WaitForWorker(), static_cast<uint32_t>(kExitFileRefused));
}

TEST_F(DialogTest, BrowsingUsesTheFiltersOfTheDownloadType) {
    dialog.OnInitDialog();
    view.texts[kApplicationFile] = "/kit/old.sre";
    view.browseAnswer = "/kit/new.sre";
    dialog.OnBrowseApplication();
    EXPECT_EQ(view.browseStart, "/kit/old.sre");
    ASSERT_EQ(view.filters.size(), 1u);
    EXPECT_EQ(view.filters[0].name, "Download files (*.sre)");
    EXPECT_EQ(view.ControlText(kApplicationFile), "/kit/new.sre");

    dialog.downloadType = KV_DOWNLOAD_BINARY;
    view.browseAnswer.reset();
    view.texts[kDriverFile] = "typed";
    dialog.OnBrowseApplication();
    ASSERT_EQ(view.filters.size(), 2u);
    EXPECT_EQ(view.filters[0].pattern, "*.glo");
    EXPECT_EQ(view.filters[1].pattern, " *.bin");
    EXPECT_EQ(view.ControlText(kApplicationFile), "/kit/new.sre");  // cancelled: unchanged

    view.browseAnswer = "/kit/driver.sre";
    dialog.OnBrowseDriver();
    EXPECT_EQ(view.browseStart, "/kit/new.sre");  // the driver also starts at the application
    EXPECT_EQ(view.ControlText(kDriverFile), "/kit/driver.sre");
}

}  // namespace
}  // namespace brenmarktest
