// brenmark.exe: the operator's download program on Windows. The dialog, the command line as the
// system hands it over, the engine's message boxes, the modal run and the wait for the worker,
// whose exit code becomes the program's.
#include <windows.h>
// After <windows.h>, which it needs.
#include <commctrl.h>

#include <cstdio>

#include "base/win32.h"
#include "brenmark/command_line.h"
#include "brenmark/download_dialog.h"
#include "brenmark/settings_sources.h"
#include "download_window.h"

namespace {

// The engine's message boxes, shown on its worker thread: owned by the dialog while it is open
// (the job's owner window), on their own once it has ended (an automatic run's last report).
int ShowEngineBox(HWND, const char* text, const char* caption, unsigned style, void* window) {
    return static_cast<const brenmark::win32::DownloadWindow*>(window)->ShowBox(
        caption ? caption : "", text ? text : "", style);
}

int Run(HINSTANCE instance) {
    INITCOMMONCONTROLSEX controls{sizeof controls, ICC_PROGRESS_CLASS | ICC_STANDARD_CLASSES};
    InitCommonControlsEx(&controls);
    brenmark::win32::RegisterAnimationClass(instance);

    // The options file, the remembered settings and the kit's files; then the dialog, made before
    // the command line is read so that the line can fill it.
    brenmark::SettingsSources sources;
    brenmark::CDownloadDlg dialog(&sources);
    // No port fixed yet, COM1 as the port word.
    dialog.portWord = 1;
    dialog.serialPortNumber = 0;
    dialog.portFound = 0;
    const std::string line =
        brenmark::ArgumentsOfCommandLine(korvel::base::win32::Utf8(GetCommandLineW()));
    const brenmark::CommandLine parsed = brenmark::ParseCommandLine(line);
    for (const std::string& warning : parsed.warnings) {
        std::fprintf(stderr, "%s: %s\n", brenmark::kProgramName, warning.c_str());
    }
    if (!line.empty()) dialog.ApplyCommandLine(parsed);
    dialog.SetDisplay(true);

    brenmark::win32::DownloadWindow window(dialog, instance);
    KvSetMessageBoxHandler(ShowEngineBox, &window);
    window.Run();

    // The worker may still run its last steps, and the job log still write the last row: wait,
    // still running what they hand over.
    while (dialog.WorkerRunning() || dialog.JobLogWriting()) {
        window.RunPosted();
        Sleep(5);
    }
    const uint32_t exitCode = dialog.WaitForWorker();
    KvSetMessageBoxHandler(nullptr, nullptr);
    return static_cast<int>(exitCode);
}

}  // namespace

int WINAPI WinMain(HINSTANCE instance, HINSTANCE, LPSTR, int) {
    return Run(instance);
}
