// brenmark: the operator's download program.
#include <QApplication>

#include "command_line.h"
#include "download_window.h"
#include "startup.h"

int main(int argc, char** argv) {
    brenmark::ChooseHeadlessPlatformWhenNoDisplay();
    QApplication application(argc, argv);
    application.setApplicationName(QStringLiteral("Brenmark"));
    return brenmark::RunProgram(brenmark::JoinArguments(argc, argv));
}
