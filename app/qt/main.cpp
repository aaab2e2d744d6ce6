// brenmark: the operator's download program.
#include <QApplication>

#include "brenmark/command_line.h"
#include "brenmark/download_window.h"
#include "brenmark/settings_sources.h"
#include "brenmark/startup.h"

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
