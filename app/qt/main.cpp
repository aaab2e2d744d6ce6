// brenmark: the operator's download program.
#include <QApplication>

#include "command_line.h"
#include "download_window.h"
#include "settings_sources.h"
#include "startup.h"

int main(int argc, char** argv) {
    brenmark::ChooseHeadlessPlatformWhenNoDisplay();
    QApplication application(argc, argv);
    application.setApplicationName(QStringLiteral("Brenmark"));
    // The options file, the remembered settings and the kit's files.
    brenmark::SettingsSources sources;
    brenmark::StartupOptions options;
    options.steps = &sources;
    return brenmark::RunProgram(brenmark::JoinArguments(argc, argv), options);
}
