#include "brenmark/startup.h"

#include <QApplication>
#include <QPalette>
#include <QThread>
#include <atomic>
#include <cstdio>

#include "brenmark/download_dialog.h"
#include "brenmark/download_window.h"

namespace brenmark {
namespace {

// The background of the program's dialogs.
const QColor kDialogBackground(212, 208, 200);

// Where the engine's message boxes go. The engine shows them on its worker thread: the box is
// shown by the user-interface thread while the worker waits for the answer, in either run mode.
// Without a display, or once the dialog is gone, nobody can answer: caption and text go to stderr
// and a question is answered No.
struct EngineBoxes {
    DownloadWindow* window = nullptr;
    bool unattended = false;
    std::atomic<bool> dialogOpen{false};

    static int Show(HWND, const char* text, const char* caption, unsigned style, void* context) {
        auto* self = static_cast<EngineBoxes*>(context);
        const std::string captionText = caption ? caption : "";
        const std::string bodyText = text ? text : "";
        const bool question = (style & 0xF) == MB_YESNO;
        if (self->unattended || !self->dialogOpen) {
            std::fprintf(stderr, "%s: %s\n", captionText.c_str(), bodyText.c_str());
            return question ? IDNO : IDOK;
        }
        if (QThread::currentThread() == self->window->thread()) {
            return self->window->ShowBox(captionText, bodyText, style);
        }
        int answer = question ? IDNO : IDOK;
        QMetaObject::invokeMethod(
            self->window,
            [&] {
                answer =
                    self->dialogOpen ? self->window->ShowBox(captionText, bodyText, style) : answer;
            },
            Qt::BlockingQueuedConnection);
        return answer;
    }
};

}  // namespace

int RunProgram(const std::string& commandLine, const StartupOptions& options) {
    // The dialog, made before the command line is read so that the line can fill it.
    CDownloadDlg dialog(options.steps);
    // The look of the program's dialogs.
    QPalette palette = QApplication::palette();
    palette.setColor(QPalette::Window, kDialogBackground);
    palette.setColor(QPalette::WindowText, Qt::black);
    palette.setColor(QPalette::Button, kDialogBackground);
    palette.setColor(QPalette::ButtonText, Qt::black);
    QApplication::setPalette(palette);
    // The CRC table of the options file's check value and of the global files is made by the
    // compiler (base/crc16.h): nothing to build here.
    // No port fixed yet, COM1 as the port word.
    dialog.portWord = 1;
    dialog.serialPortNumber = 0;
    dialog.portFound = 0;
    // The command line.
    const CommandLine parsed = ParseCommandLine(commandLine);
    for (const std::string& warning : parsed.warnings) {
        std::fprintf(stderr, "%s: %s\n", kProgramName, warning.c_str());
    }
    if (!commandLine.empty()) dialog.ApplyCommandLine(parsed);

    // Messages are boxes wherever there is a display, the automatic run's too; stderr without.
    const bool headless = RunningHeadless();
    dialog.SetDisplay(!headless);
    // The main window, and the engine's boxes owned by it.
    DownloadWindow window(dialog, headless);
    EngineBoxes boxes;
    boxes.window = &window;
    boxes.unattended = headless;
    boxes.dialogOpen = true;
    KvSetMessageBoxHandler(EngineBoxes::Show, &boxes);

    // The modal run, unless the initialisation has ended the dialog already.
    if (window.Initialise()) {
        window.show();
        if (options.onShown) options.onShown(window);
        window.exec();
    }
    boxes.dialogOpen = false;

    // The worker may still run its last steps, and the job log still write the last row (the
    // automatic run ends the dialog right after its job): wait, still serving what they hand
    // over. The job log's waits are bounded by its own time-outs.
    while (dialog.WorkerRunning() || dialog.JobLogWriting()) {
        QCoreApplication::processEvents(QEventLoop::AllEvents, 20);
        QThread::msleep(5);
    }
    const uint32_t exitCode = dialog.WaitForWorker();
    KvSetMessageBoxHandler(nullptr, nullptr);
    // The window and the dialog go; the worker's exit code is the program's.
    return static_cast<int>(exitCode);
}

}  // namespace brenmark
