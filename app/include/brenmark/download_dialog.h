// Brenmark's download dialog: the operator's controls, Start, and the engine's client.
//
// CDownloadDlg holds the dialog's members and handles its commands against a DialogView; it is
// also the job the engine reads and the client it reports to. The engine calls the eight client
// operations on its worker thread: the dialog keeps the progress bar's state itself (so that
// KvpBarSetPos answers the previous position at once) and posts every change of a control or a
// timer to the user-interface thread. The progress text is shared under a lock.
#ifndef BRENMARK_DOWNLOAD_DIALOG_H
#define BRENMARK_DOWNLOAD_DIALOG_H

#include <array>
#include <atomic>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "base/error.h"
#include "brenmark/application_files.h"
#include "brenmark/command_line.h"
#include "brenmark/dialog_steps.h"
#include "brenmark/dialog_view.h"
#include "brenmark/job_logging.h"
#include "cordane/cordane.h"
#include "cordane/exit_codes.h"
#include "cordane/progress_bar.h"
#include "zr318/ports.h"

namespace brenmark {

inline constexpr const char kProgramName[] = "Brenmark";
inline constexpr const char kCompletionText[] = "Progression : Download completed.";

// Timers of the dialog window.
enum TimerId : int { kTimerEndOfDownload = 1, kTimerReaderReset = 2, kTimerRefresh = 3 };

// Exit codes of an automatic run that could not start its download (the worker's own codes are
// the engine's statuses), from the exit-code table.
// No application or driver file, or a name too long.
inline constexpr int kExitFileRefused = cordane::kExitBadInput;
// No port, no reader type, or no worker started.
inline constexpr int kExitNoDownload = cordane::kExitOpenFailed;

// One entry of the terminal-type list.
struct TerminalType {
    const char* entry;
    int bitmap;
};
// The terminal-type list, in the order of the reader type index.
extern const std::array<TerminalType, 8> kTerminalTypes;

// The picture of a reader type index.
int PictureOf(int readerType);
// The large readers of the list (types 2 to 7) take a driver file.
bool TakesDriver(int readerType);

class CDownloadDlg : public CLoadInterface {
  public:
    using PortProbe = std::function<std::vector<korvel::ports::OpenablePort>()>;

    // steps: the options, settings and global-file steps (null: NoSettingsSources).
    explicit CDownloadDlg(DialogSteps* steps = nullptr);
    ~CDownloadDlg();
    CDownloadDlg(const CDownloadDlg&) = delete;
    CDownloadDlg& operator=(const CDownloadDlg&) = delete;

    // Takes the command line's settings (before the dialog runs).
    void ApplyCommandLine(const CommandLine& commandLine);
    void AttachView(DialogView* view) { view_ = view; }
    DialogView* View() const { return view_; }
    // Where the ports come from (the real probe by default).
    void SetPortProbe(PortProbe probe) { probePorts_ = std::move(probe); }
    // Whether the program has a display (HasDisplay; true until told otherwise).
    void SetDisplay(bool present) { display_ = present; }
    // Receives the messages shown without a display (stderr by default).
    void SetErrorSink(std::function<void(const std::string&)> sink) {
        errorSink_ = std::move(sink);
    }

    // ---- Commands, on the user-interface thread.
    void OnInitDialog();
    // True when the job is in the engine's hands.
    bool OnStart();
    void OnQuit();
    // Escape or a request to close the window: never closes the dialog.
    void OnCancelCommand();
    void OnTerminalTypeChange();
    void OnBrowseApplication();
    void OnBrowseDriver();
    void OnTimer(int id);

    // After the dialog has ended: waits for the last worker and for the job log's rows (each
    // bounded by the job log's own time-outs), tells a row that could not be written, and returns
    // the program's exit code (the worker's, or the code of an automatic run that could not
    // start, or 0).
    uint32_t WaitForWorker();
    bool WorkerRunning() const;
    // Whether a row of the job log is still being written, on the job log's own thread.
    bool JobLogWriting() const { return jobLog_.Writing(); }
    // Where the job log's rows go (the job log itself by default; tests replace it).
    void SetJobLogWriter(JobRowWriter writer) { jobLog_.SetWriter(std::move(writer)); }

    // A message of the dialog: a message box captioned with the program's name where there is a
    // display, in either run mode; without one a line to the error sink, as nobody can answer
    // (a Yes/No question is then answered No).
    int ShowMessage(const std::string& text, unsigned style);
    // The same with a caption of its own (empty: the program's name) and, when not `owned`, a box
    // without owner window.
    int ShowMessage(const std::string& text, unsigned style, const std::string& caption,
                    bool owned = true);
    // A failure as the operator reads it: its message, and its hint on a line of its own.
    int ShowError(const korvel::base::Error& error, unsigned style);
    // Ends an automatic run that cannot download, with the program's exit code.
    void EndAutomaticRun(int exitCode);

    // Data exchange of the three bound strings: to the controls (false) or from them (true).
    void UpdateData(bool fromControls);
    std::string ProgressText() const;
    void SetProgressText(const std::string& text);

    // ---- The engine's client operations, on the worker thread.
    void KvSetMessage(char* text) override;
    void KvpBarSetRange(short lower, short upper) override;
    void KvpBarSetStep(int step) override;
    void KvpBarStepIt() override;
    int KvpBarGetMaxRange() override;
    int KvpBarSetPos(int position) override;
    void KvFinTelechargement(char* text, int id) override;
    bool KvIsCanceled() override;

    // ---- Members of the dialog.
    uint32_t serialPortNumber = 0;  // port identifier fixed beforehand; 0: none
    uint32_t applicationNumber = 0;
    uint32_t previousApplicationNumber1 = 0;
    uint32_t previousApplicationNumber2 = 0;
    int checkApplicationNumber = 0;
    int eraseDataFlash = 0;
    int askQuestion = 0;
    int downloadType = 0;
    int portFound = 0;
    std::atomic<bool> cancelFlag{false};
    std::string kitDirectory;
    SimulatorRecord simulatorConfiguration;  // the kit's settings, read in the automatic run
    std::string globalFileName;
    int globalFileFlag = 0;
    std::array<uint8_t, 2> detectionBytes{};
    int32_t linkHandle = 0;
    std::atomic<int> downloadResult{0};  // 0 none yet, 1 completed, 2 not
    int runMode = kRunInteractive;
    std::string applicationFileName;
    std::string driverFileName;

    // The parameter block handed to the engine at the last Start.
    std::array<uint8_t, KV_PARAM_BLOCK_SIZE> parameterBlock{};

    // Fills the serial-port selector; selecting a port answers its index or -1.
    void FillPortList();
    int SelectPort(uint32_t id);
    // The bar as the client operations see it.
    int BarPosition() const;

  protected:
    // Starts the engine's worker for this client; null when it cannot. Tests replace it.
    virtual CWinThread* StartWorker();

  private:
    void ShowPictureOf(int readerType);
    void SetDriverRow(bool enableLabel, bool enableFields);
    // What a new reader type changes: its picture, the driver file forgotten, the driver row.
    void ApplyReaderType();
    void DisableOperatorControls();
    // Tick of timer 1, which the engine's last notice starts: the job's end once its worker has
    // ended.
    void EndOfDownload();
    // The job is over and its worker has ended: the row, then the dialog closed or made ready.
    void JobEnded();
    // Hands the job log's row of the job just ended to the job log's thread, when KORVEL_LOG
    // names a job log; a row it could not write comes back to be told (ShowJobLogWarnings).
    void LogEndedJob();
    // Tells the rows the job log could not write, on the user-interface thread.
    void ShowJobLogWarnings();
    // Enables the controls of the download type and blanks the progress line and the bar.
    void MakeReady();
    void ReaderReset();
    // ShowMessage, and in the automatic run with a non-zero exitCode the end of the run.
    void Report(const std::string& text, unsigned style, int exitCode);
    void SetBar(int position);
    // Hands work to the user-interface thread (from the worker thread).
    void PostToView(std::function<void()> work);  // user-interface thread: the bar and its shadow

    DialogSteps* steps_;
    std::unique_ptr<DialogSteps> ownSteps_;
    DialogView* view_ = nullptr;
    PortProbe probePorts_;
    std::function<void(const std::string&)> errorSink_;
    bool display_ = true;
    // Quit came while the worker still ran: the dialog ends with the job's end.
    bool quitPending_ = false;
    std::unique_ptr<CWinThread> worker_;
    int exitCodeWithoutWorker_ = 0;

    mutable std::mutex progressMutex_;
    std::string progressText_;

    // Past its upper bound the bar starts over from the lower one, as a progress control does.
    mutable std::mutex barMutex_;
    cordane::ProgressBar bar_{cordane::PastTheEnd::Wrap};

    // The job log's rows that could not be written, from its thread, until they are told.
    std::mutex jobLogMutex_;
    std::vector<korvel::base::Error> jobLogWarnings_;
    // Last: it goes first, waiting for its thread, whose reports use the members above.
    DownloadJobLog jobLog_;
};

}  // namespace brenmark

#endif
