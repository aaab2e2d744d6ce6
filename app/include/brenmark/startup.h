// Brenmark's start-up: the dialog, the command line, the engine's message boxes, the modal run
// and the wait for the worker, whose exit code becomes the program's.
#ifndef BRENMARK_STARTUP_H
#define BRENMARK_STARTUP_H

#include <functional>
#include <string>

namespace brenmark {

class DownloadWindow;
class DialogSteps;

struct StartupOptions {
    // Called once the window shows, before its modal run (tests drive the widgets from here).
    std::function<void(DownloadWindow&)> onShown;
    // The options, settings and global-file steps (null: none in this build).
    DialogSteps* steps = nullptr;
};

// Runs the program on an existing application object with the joined command line; returns the
// program's exit code.
int RunProgram(const std::string& commandLine, const StartupOptions& options = {});

}  // namespace brenmark

#endif
