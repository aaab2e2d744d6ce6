// brenmark-screenshot: pictures of the real dialog for the documentation. Starts the program's
// dialog, picks "KvTal (64 Kb)", the port and the application given, presses Start, and saves
// the window's picture while the download runs; then waits for the end and quits.
// Usage: brenmark-screenshot OUT.png APPLICATION.sre PORT   (PORT as listed, e.g. KORVEL03)
#include <QApplication>
#include <QComboBox>
#include <QLineEdit>
#include <QPixmap>
#include <QPushButton>
#include <QTest>
#include <QTimer>
#include <cstdio>

#include "brenmark/download_window.h"
#include "brenmark/startup.h"

int main(int argc, char** argv) {
    if (argc != 4) {
        std::fprintf(stderr, "usage: %s OUT.png APPLICATION.sre PORT\n", argv[0]);
        return 2;
    }
    brenmark::ChooseHeadlessPlatformWhenNoDisplay();
    QApplication application(argc, argv);
    const QString out = QString::fromLocal8Bit(argv[1]);
    const QString app = QString::fromLocal8Bit(argv[2]);
    const QString port = QString::fromLocal8Bit(argv[3]);
    constexpr int kShotAfterMs = 1200;  // into the download: the bar and the animation move

    bool saved = false;
    brenmark::StartupOptions options;
    options.onShown = [&](brenmark::DownloadWindow& window) {
        auto* types = qobject_cast<QComboBox*>(window.Control(brenmark::kTerminalList));
        auto* ports = qobject_cast<QComboBox*>(window.Control(brenmark::kPortList));
        QTest::keyClick(types, Qt::Key_Home);
        ports->setCurrentIndex(ports->findText(port));
        qobject_cast<QLineEdit*>(window.Control(brenmark::kApplicationFile))->setText(app);
        QTest::mouseClick(window.Control(brenmark::kStart), Qt::LeftButton);
        QTimer::singleShot(kShotAfterMs, &window, [&] {
            saved = window.grab().save(out, "PNG");
            auto* watch = new QTimer(&window);
            QObject::connect(watch, &QTimer::timeout, &window, [&window, watch] {
                if (!window.Control(brenmark::kQuit)->isEnabled()) return;
                watch->stop();
                QTest::mouseClick(window.Control(brenmark::kQuit), Qt::LeftButton);
            });
            watch->start(50);
        });
    };
    const int code = brenmark::RunProgram("", options);
    if (!saved) std::fprintf(stderr, "brenmark-screenshot: %s could not be written\n", argv[1]);
    return saved ? code : 1;
}
