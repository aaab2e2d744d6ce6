#include "brenmark/download_dialog.h"

#include <algorithm>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>

#include "base/path.h"
#include "base/text.h"
#include "cordane/job_words.h"
#include "cordane/readers.h"
#include "zr318.h"

namespace brenmark {

// The entries are the reader table's names (cordane/readers.h); the pictures are the dialog's.
const std::array<TerminalType, 8> kTerminalTypes = {{
    {cordane::kReaders[KvTal64].name, kBitmapTal},
    {cordane::kReaders[KvOrb64].name, kBitmapOrb},
    {cordane::kReaders[KvOrb512].name, kBitmapOrb},
    {cordane::kReaders[KvTal512].name, kBitmapTal},
    {cordane::kReaders[KvQuin3].name, kBitmapQuin},
    {cordane::kReaders[KvOrb1Mb].name, kBitmapOrb},
    {cordane::kReaders[KvTal1Mb].name, kBitmapTal},
    {cordane::kReaders[KvTalModem].name, kBitmapTal},
}};

// The list holds the reader table's listed types, which come first in it.
constexpr bool ListedTypesComeFirst(size_t count) {
    for (size_t i = 0; i < cordane::kReaders.size(); ++i) {
        if (cordane::kReaders[i].listed != (i < count)) return false;
    }
    return true;
}
static_assert(ListedTypesComeFirst(std::tuple_size_v<decltype(kTerminalTypes)>));

namespace {

constexpr unsigned kRefreshPeriodMs = 1000;       // timer 3: the progress line
constexpr unsigned kResetDelayMs = 1000;          // timer 2: Escape to the reader reset
constexpr unsigned kDefaultNoticePeriodMs = 200;  // KvFinTelechargement without a period
constexpr unsigned kWorkerEndPollMs = 50;         // timer 1 again while the worker still runs
constexpr size_t kMaxFileName = KV_PATH_SIZE - 1;

// The reader reset's link: a plain open with the longest reply time-out.
constexpr int kResetOpenMode = 0;
constexpr int kResetOpenTimeout = 60000;
constexpr int kResetOpenRetries = 20;

const std::vector<FileFilter> kSrecFilters = {{"Download files (*.sre)", "*.sre"}};
const std::vector<FileFilter> kBinaryFilters = {
    {" Binary Global Files (*.glo) ", "*.glo"},
    {" Download binary files (*.bin)", " *.bin"},
};

void CopyField(char (&field)[KV_PATH_SIZE], const std::string& text) {
    std::memset(field, 0, sizeof field);
    std::memcpy(field, text.data(), std::min(text.size(), sizeof field - 1));
}

void PrintToStderr(const std::string& line) {
    std::fprintf(stderr, "%s\n", line.c_str());
}

}  // namespace

int PictureOf(int readerType) {
    const cordane::ReaderFacts* facts = cordane::FindReader(readerType);
    if (facts && facts->listed) return kTerminalTypes[static_cast<size_t>(readerType)].bitmap;
    // The types only detection sets have no picture in the resources; any other value shows the
    // last family's.
    return facts ? kBitmapNone : kBitmapQuin;
}

bool TakesDriver(int readerType) {
    const cordane::ReaderFacts* facts = cordane::FindReader(readerType);
    return facts && facts->large && facts->listed;
}

CDownloadDlg::CDownloadDlg(DialogSteps* steps)
    : steps_(steps), probePorts_(korvel::ports::ListOpenablePorts), errorSink_(PrintToStderr) {
    if (!steps_) {
        ownSteps_ = std::make_unique<NoSettingsSources>();
        steps_ = ownSteps_.get();
    }
    // The job fields start clean: the engine's base leaves them undefined.
    ownerWindow = 0;
    flags = 0;
    std::memset(reserved, 0, sizeof reserved);
    portWord = 1;
    readerType = KvOrb512;
    std::memset(applicationFile, 0, sizeof applicationFile);
    std::memset(driverFile, 0, sizeof driverFile);
    // The simulator configuration record starts with its own first values (SimulatorRecord).
}

CDownloadDlg::~CDownloadDlg() {
    // The worker reads this object: it must have ended before the object goes; and so must the
    // job log's writes, which report to it.
    if (worker_) worker_->Wait();
    jobLog_.WaitForWrites();
}

void CDownloadDlg::ApplyCommandLine(const CommandLine& commandLine) {
    serialPortNumber = commandLine.serialPort;
    kitDirectory = commandLine.kitDirectory;
    runMode = commandLine.runMode;
}

// ---- Data exchange and progress text.

std::string CDownloadDlg::ProgressText() const {
    std::lock_guard lock(progressMutex_);
    return progressText_;
}

void CDownloadDlg::SetProgressText(const std::string& text) {
    std::lock_guard lock(progressMutex_);
    progressText_ = text;
}

void CDownloadDlg::UpdateData(bool fromControls) {
    if (fromControls) {
        applicationFileName = view_->ControlText(kApplicationFile);
        driverFileName = view_->ControlText(kDriverFile);
        SetProgressText(view_->ControlText(kProgressText));
    } else {
        view_->SetControlText(kProgressText, ProgressText());
        view_->SetControlText(kApplicationFile, applicationFileName);
        view_->SetControlText(kDriverFile, driverFileName);
    }
}

// ---- Initialisation.

void CDownloadDlg::OnInitDialog() {
    downloadType = 0;
    askQuestion = 0;
    // The terminal-type list, from the dialog's initialisation data.
    view_->ResetList(kTerminalList);
    for (size_t i = 0; i < kTerminalTypes.size(); ++i) {
        view_->AddListItem(kTerminalList, kTerminalTypes[i].entry, static_cast<uint32_t>(i));
    }
    portWord = 1;
    readerType = KvOrb512;

    if (!steps_->ReadOptionsFile(*this)) return;
    if (runMode == kRunInteractive) {
        steps_->LoadRememberedSettings(*this);
    } else {
        steps_->FindApplicationFiles(*this);
    }
    if (downloadType == KV_DOWNLOAD_AUTO_BINARY && !steps_->CheckOptionsSeal(*this)) return;

    view_->SetListSelection(kTerminalList, readerType < static_cast<int>(kTerminalTypes.size())
                                               ? static_cast<int>(readerType)
                                               : -1);
    ShowPictureOf(readerType);
    FillPortList();
    SelectPort(korvel::ports::WordToId(static_cast<uint16_t>(portWord)));
    view_->OpenAnimation(kAnimationDownload);
    UpdateData(false);

    if (runMode == kRunAutomatic) {
        for (int id :
             {kTerminalList, kPortList, kStart, kQuit, kApplicationBrowse, kApplicationFile}) {
            view_->EnableControl(id, false);
        }
        OnStart();
    }

    if (downloadType == KV_DOWNLOAD_NORMAL) {
        if (TakesDriver(readerType)) {
            SetDriverRow(true, runMode == kRunInteractive);
        } else {
            SetDriverRow(false, false);
        }
    }
}

void CDownloadDlg::ShowPictureOf(int type) {
    view_->ShowPicture(PictureOf(type));
}

void CDownloadDlg::SetDriverRow(bool enableLabel, bool enableFields) {
    view_->EnableControl(kDriverLabel, enableLabel);
    view_->EnableControl(kDriverFile, enableFields);
    view_->EnableControl(kDriverBrowse, enableFields);
}

void CDownloadDlg::DisableOperatorControls() {
    for (int id : {kTerminalList, kPortList, kStart, kQuit, kApplicationBrowse, kApplicationFile,
                   kDriverBrowse, kDriverFile}) {
        view_->EnableControl(id, false);
    }
}

// ---- Ports.

void CDownloadDlg::FillPortList() {
    view_->ResetList(kPortList);
    const uint32_t fixed = korvel::ports::Canonical(serialPortNumber);
    for (const korvel::ports::OpenablePort& entry : probePorts_()) {
        const int index = view_->AddListItem(kPortList, entry.text, entry.id);
        if (serialPortNumber != 0 && fixed == entry.id) {
            view_->SetListSelection(kPortList, index);
            portFound = 1;
        }
    }
    if (portFound) {
        // A fixed port that is present locks the selector.
        view_->EnableControl(kPortList, false);
    } else {
        // A fixed port that is not present is dropped: the operator chooses.
        view_->EnableControl(kPortList, true);
        serialPortNumber = 0;
    }
}

int CDownloadDlg::SelectPort(uint32_t id) {
    if (serialPortNumber != 0) return -1;
    const int count = view_->ListCount(kPortList);
    for (int i = 0; i < count; ++i) {
        if (view_->ListItemData(kPortList, i) == id) {
            view_->SetListSelection(kPortList, i);
            return i;
        }
    }
    return -1;
}

// ---- Messages.

void CDownloadDlg::Report(const std::string& text, unsigned style, int exitCode) {
    ShowMessage(text, style);
    if (runMode == kRunAutomatic && exitCode != 0) EndAutomaticRun(exitCode);
}

int CDownloadDlg::ShowMessage(const std::string& text, unsigned style) {
    return ShowMessage(text, style, std::string());
}

int CDownloadDlg::ShowMessage(const std::string& text, unsigned style, const std::string& caption,
                              bool owned) {
    if (!display_) {
        errorSink_(std::string(kProgramName) + ": " + (caption.empty() ? "" : caption + ": ") +
                   text);
        return (style & 0xF) == MB_YESNO ? IDNO : IDOK;
    }
    if (caption.empty() && owned) return view_->MessageBox(text, style);
    return KvMessageBox(owned ? view_->WindowId() : 0, text.c_str(),
                        caption.empty() ? kProgramName : caption.c_str(), style);
}

int CDownloadDlg::ShowError(const korvel::base::Error& error, unsigned style) {
    return ShowMessage(korvel::base::FormatError(error), style);
}

void CDownloadDlg::EndAutomaticRun(int exitCode) {
    exitCodeWithoutWorker_ = exitCode;
    view_->EndDialog(0);
}

// ---- Start.

bool CDownloadDlg::OnStart() {
    UpdateData(true);
    parameterBlock.fill(0);

    if (applicationFileName.empty()) {
        Report("The application file is not valide.", MB_OK | MB_ICONWARNING, kExitFileRefused);
        return false;
    }
    if (view_->ListSelection(kTerminalList) == KvOrb512 && driverFileName.empty()) {
        Report("The driver file is not valide.", MB_OK | MB_ICONWARNING, kExitFileRefused);
        return false;
    }
    // The engine's file fields hold 255 characters: a longer name is refused, not cut.
    for (const std::string* name : {&applicationFileName, &driverFileName}) {
        if (name->size() > kMaxFileName) {
            Report("The file name " + *name + " is " + std::to_string(name->size()) +
                       " characters long; Brenmark takes " + std::to_string(kMaxFileName) +
                       " at most.\nMove the file to a folder with a shorter path.",
                   MB_OK | MB_ICONWARNING, kExitFileRefused);
            return false;
        }
    }
    const int portIndex = view_->ListSelection(kPortList);
    if (serialPortNumber == 0 && portIndex < 0) {
        if (runMode == kRunInteractive) {
            Report("No serial port selected.", MB_OK | MB_ICONWARNING, 0);
        } else {
            Report(
                "Download serial port is not available.\nConfigure download settings on another "
                "serial port\nor free the specified serial port.",
                MB_OK | MB_ICONERROR, kExitNoDownload);
        }
        return false;
    }
    const uint32_t port =
        serialPortNumber != 0 ? serialPortNumber : view_->ListItemData(kPortList, portIndex);
    portWord = static_cast<int16_t>(korvel::ports::IdToWord(port));

    const std::string& app = applicationFileName;
    if (app.size() >= 3 && app.compare(app.size() - 3, 3, "glo") == 0) {
        globalFileName = app;
        globalFileFlag = 1;
        SetProgressText("Progression : Reader parameters detection...");
        UpdateData(false);
        if (!steps_->DetectReader(*this)) {
            if (runMode == kRunAutomatic) EndAutomaticRun(kExitNoDownload);
            return false;
        }
        UpdateData(true);
        SetProgressText("Progression : Global File Extraction...");
        if (!steps_->ExtractGlobalFile(*this)) {
            if (runMode == kRunAutomatic) EndAutomaticRun(kExitNoDownload);
            return false;
        }
        UpdateData(false);
        // As a terminal type change, but the reader type keeps the detected value (8 and 9 have
        // no entry in the list).
        view_->SetListSelection(kTerminalList, readerType < static_cast<int>(kTerminalTypes.size())
                                                   ? static_cast<int>(readerType)
                                                   : -1);
        ApplyReaderType();
    } else {
        const int type = view_->ListSelection(kTerminalList);
        if (type < 0) {
            // Only a detected reader of type 8 or 9 leaves the list without a selection.
            Report("No terminal type selected.\nChoose the terminal type in the list.",
                   MB_OK | MB_ICONWARNING, kExitNoDownload);
            return false;
        }
        readerType = static_cast<eReaderType>(type);
        globalFileFlag = 0;
    }

    reserved[0] = 0;
    cordane::FlagOptions options;
    // The "bin" file cut out of a global file is a binary download file whatever the download
    // type: in the normal download it would be read as S-records and refused. The download type
    // itself stays, so that the end of the download keeps the extracted file.
    options.downloadType = static_cast<uint32_t>(
        globalFileFlag && downloadType == KV_DOWNLOAD_NORMAL ? KV_DOWNLOAD_BINARY : downloadType);
    options.eraseDataFlash = eraseDataFlash != 0;
    options.askQuestion = askQuestion != 0;
    flags = cordane::FlagsWord(options);
    if (downloadType == KV_DOWNLOAD_AUTO_BINARY) {
        cordane::PutParamField(parameterBlock, KV_PARAM_CHECK_APP_NUMBER,
                               static_cast<uint32_t>(checkApplicationNumber));
        cordane::PutParamField(parameterBlock, KV_PARAM_APP_NUMBER, applicationNumber);
        cordane::PutParamField(parameterBlock, KV_PARAM_PREVIOUS_APP_1, previousApplicationNumber1);
        cordane::PutParamField(parameterBlock, KV_PARAM_PREVIOUS_APP_2, previousApplicationNumber2);
    }
    CopyField(applicationFile, globalFileFlag ? globalFileName : applicationFileName);
    CopyField(driverFile, driverFileName);
    ownerWindow = view_->WindowId();

    DisableOperatorControls();
    view_->StartTimer(kTimerRefresh, kRefreshPeriodMs);
    view_->PlayAnimation();

    jobLog_.Begin(korvel::ports::DisplayName(port), readerType,
                  cordane::ReaderName(static_cast<eReaderType>(readerType)), globalFileFlag != 0,
                  downloadType, applicationFile, driverFileName);
    UpdateParam(parameterBlock.data());
    CWinThread* started = StartWorker();
    if (!started) {
        // No worker: the job never began, so the dialog is made ready again at once.
        view_->StopTimer(kTimerRefresh);
        MakeReady();
        Report("The download of " + std::string(applicationFile) +
                   " could not be started: the engine has no worker for it.\nWait for any other "
                   "download to end, then press Start again.",
               MB_OK | MB_ICONERROR, kExitNoDownload);
        return false;
    }
    worker_.reset(started);
    return true;
}

CWinThread* CDownloadDlg::StartWorker() {
    // The thread object is kept for its exit code, read after the thread has ended: self-deletion
    // is switched off at once, which the engine makes safe however short the job.
    CWinThread* thread = BeginDownload(this);
    if (thread) thread->m_bAutoDelete = false;
    return thread;
}

// ---- Commands.

void CDownloadDlg::OnQuit() {
    cancelFlag = true;
    // Quit is disabled while a job runs. Should it come all the same, the job's end closes the
    // dialog (JobEnded): this thread never waits for the worker.
    if (WorkerRunning()) {
        quitPending_ = true;
        return;
    }
    steps_->SaveRememberedSettings(*this);
    view_->EndDialog(0);
}

void CDownloadDlg::OnCancelCommand() {
    UpdateData(false);
    view_->StartTimer(kTimerReaderReset, kResetDelayMs);
}

void CDownloadDlg::OnTerminalTypeChange() {
    UpdateData(true);
    readerType = static_cast<eReaderType>(view_->ListSelection(kTerminalList));
    ApplyReaderType();
    UpdateData(false);
}

void CDownloadDlg::ApplyReaderType() {
    ShowPictureOf(readerType);
    driverFileName.clear();
    if (!TakesDriver(readerType)) {
        SetDriverRow(false, false);
    } else if (downloadType == KV_DOWNLOAD_NORMAL) {
        SetDriverRow(true, true);
    }
}

void CDownloadDlg::OnBrowseApplication() {
    UpdateData(true);
    const auto& filters = downloadType == KV_DOWNLOAD_BINARY ? kBinaryFilters : kSrecFilters;
    const std::optional<std::string> chosen = view_->BrowseFile(applicationFileName, filters);
    if (!chosen) return;
    applicationFileName = *chosen;
    UpdateData(false);
}

void CDownloadDlg::OnBrowseDriver() {
    UpdateData(true);
    const std::optional<std::string> chosen = view_->BrowseFile(applicationFileName, kSrecFilters);
    if (!chosen) return;
    driverFileName = *chosen;
    UpdateData(false);
}

// ---- Timers.

void CDownloadDlg::OnTimer(int id) {
    switch (id) {
        case kTimerEndOfDownload:
            EndOfDownload();
            break;
        case kTimerReaderReset:
            ReaderReset();
            break;
        case kTimerRefresh:
            UpdateData(false);
            break;
        default:
            // The engine's success notice starts a timer whose ticks have nothing to do.
            view_->StopTimer(id);
            break;
    }
}

void CDownloadDlg::EndOfDownload() {
    // The engine's last notice comes just before its worker returns, or before a box the worker
    // then shows and waits on: this tick may run inside that box's event loop.
    if (WorkerRunning()) {
        view_->StartTimer(kTimerEndOfDownload, kWorkerEndPollMs);
        return;
    }
    JobEnded();
}

// The one way a job's end reaches the user-interface thread. The engine's last notice starts
// timer 1, whose tick (EndOfDownload) looks whether the worker has ended, without waiting, and
// comes back until it has; then, and only then, this runs. The user-interface thread never waits
// for the worker, which may itself be waiting for this thread to answer one of the engine's
// boxes: whatever needs the job's end or its exit code belongs here.
void CDownloadDlg::JobEnded() {
    for (int id : {kTimerEndOfDownload, kTimerReaderReset, kTimerRefresh}) view_->StopTimer(id);
    LogEndedJob();
    if (quitPending_) {
        quitPending_ = false;
        OnQuit();
        return;
    }
    if (runMode == kRunAutomatic) {
        view_->EndDialog(0);
        return;
    }
    MakeReady();
    if (downloadType == KV_DOWNLOAD_BINARY && globalFileFlag) {
        std::error_code error;
        std::filesystem::remove(korvel::base::PathOf(globalFileName), error);
        if (error) {
            ShowMessage("The extracted file " + globalFileName + " could not be deleted (" +
                            error.message() + ").\nDelete it by hand.",
                        MB_OK | MB_ICONWARNING);
        }
    }
    UpdateData(false);
}

void CDownloadDlg::LogEndedJob() {
    if (!worker_ || !jobLog_.active()) return;
    // The dialog goes on at once; the outcome comes back from the job log's thread.
    jobLog_.End(static_cast<int>(worker_->ExitCode()),
                [this](korvel::base::Expected<void> written) {
                    if (written) return;
                    {
                        std::lock_guard lock(jobLogMutex_);
                        jobLogWarnings_.push_back(std::move(written).error());
                    }
                    PostToView([this] { ShowJobLogWarnings(); });
                });
}

void CDownloadDlg::ShowJobLogWarnings() {
    std::vector<korvel::base::Error> warnings;
    {
        std::lock_guard lock(jobLogMutex_);
        warnings.swap(jobLogWarnings_);
    }
    for (const korvel::base::Error& warning : warnings) {
        ShowError(warning, MB_OK | MB_ICONWARNING);
    }
}

void CDownloadDlg::MakeReady() {
    const bool portFree = serialPortNumber == 0;
    auto enable = [this](int id) { view_->EnableControl(id, true); };
    switch (downloadType) {
        case KV_DOWNLOAD_NORMAL:
        case KV_DOWNLOAD_BINARY:
            enable(kTerminalList);
            enable(kApplicationBrowse);
            enable(kApplicationFile);
            if (downloadType == KV_DOWNLOAD_NORMAL && TakesDriver(readerType)) {
                enable(kDriverBrowse);
                enable(kDriverFile);
            }
            break;
        case KV_DOWNLOAD_ERASE_CODE:
            enable(kTerminalList);
            break;
        default:
            break;
    }
    if (portFree) enable(kPortList);
    enable(kStart);
    enable(kQuit);
    SetBar(0);
    SetProgressText(" ");
    view_->StopAnimation();
}

void CDownloadDlg::ReaderReset() {
    KvSleep(500);
    ZrClose(linkHandle);
    ZrOpen(kResetOpenMode, korvel::ports::WordToSignedId(static_cast<uint16_t>(portWord)),
           kResetOpenTimeout, kResetOpenRetries, &linkHandle);
    ZrKvrenReset(linkHandle);
    KvSleep(1500);
    ZrClose(linkHandle);
    // Closed: the next reset must not close a handle number the link may have given out again.
    linkHandle = 0;
    view_->StopTimer(kTimerReaderReset);
    view_->StopTimer(kTimerRefresh);
}

// ---- Worker.

bool CDownloadDlg::WorkerRunning() const {
    return worker_ && !worker_->Wait(0);
}

uint32_t CDownloadDlg::WaitForWorker() {
    if (!worker_) return static_cast<uint32_t>(exitCodeWithoutWorker_);
    worker_->Wait();
    // The dialog has ended: this waits on the database, never on the worker's callbacks.
    jobLog_.WaitForWrites();
    ShowJobLogWarnings();
    return worker_->ExitCode();
}

// ---- The progress bar as the client sees it.

int CDownloadDlg::BarPosition() const {
    std::lock_guard lock(barMutex_);
    return bar_.position();
}

void CDownloadDlg::SetBar(int position) {
    {
        std::lock_guard lock(barMutex_);
        bar_.SetPos(position);
    }
    view_->SetBarPosition(BarPosition());
}

// ---- Client operations, on the worker thread.

void CDownloadDlg::PostToView(std::function<void()> work) {
    // The view outlives the worker in the program; a view taken away drops what comes late.
    if (DialogView* view = view_) view->Post(std::move(work));
}

void CDownloadDlg::KvSetMessage(char* text) {
    SetProgressText(std::string("Progression : ") + (text ? text : ""));
}

void CDownloadDlg::KvpBarSetRange(short lower, short upper) {
    int position;
    {
        std::lock_guard lock(barMutex_);
        bar_.SetRange(lower, upper);
        position = bar_.position();
    }
    PostToView([this, lower, upper, position] {
        view_->SetBarRange(lower, upper);
        view_->SetBarPosition(position);
    });
}

void CDownloadDlg::KvpBarSetStep(int step) {
    std::lock_guard lock(barMutex_);
    bar_.SetStep(step);
}

void CDownloadDlg::KvpBarStepIt() {
    int position;
    {
        std::lock_guard lock(barMutex_);
        position = bar_.StepIt();
    }
    PostToView([this, position] { view_->SetBarPosition(position); });
}

int CDownloadDlg::KvpBarGetMaxRange() {
    std::lock_guard lock(barMutex_);
    return bar_.GetMaxRange();
}

int CDownloadDlg::KvpBarSetPos(int position) {
    int previous;
    int now;
    {
        std::lock_guard lock(barMutex_);
        previous = bar_.SetPos(position);
        now = bar_.position();
    }
    PostToView([this, now] { view_->SetBarPosition(now); });
    return previous;
}

void CDownloadDlg::KvFinTelechargement(char* text, int id) {
    unsigned period = kDefaultNoticePeriodMs;
    if (text) {
        const long value = std::strtol(text, nullptr, 10);
        period = static_cast<unsigned>(std::clamp<long>(value, 0, INT_MAX));
    } else {
        const std::string last = ProgressText();
        downloadResult = korvel::base::EqualIgnoringCase(last, kCompletionText) ? 1 : 2;
    }
    PostToView([this, id, period] { view_->StartTimer(id, period); });
}

bool CDownloadDlg::KvIsCanceled() {
    return cancelFlag.load();
}

// ---- Steps this build does not have.

bool NoSettingsSources::DetectReader(CDownloadDlg& dialog) {
    dialog.downloadResult = 2;
    dialog.ShowMessage(
        "Global files cannot be downloaded by this version of Brenmark: " + dialog.globalFileName +
            "\nChoose the application's S-record file (.sre) instead.",
        MB_OK | MB_ICONWARNING);
    return false;
}

}  // namespace brenmark
