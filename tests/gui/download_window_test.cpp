// The real download dialog's widgets: layout, initial states, keyboard, messages and Escape.
#include <gmock/gmock.h>

#include <QApplication>
#include <QComboBox>
#include <QLabel>
#include <QLineEdit>
#include <QMessageBox>
#include <QProgressBar>
#include <QPushButton>
#include <QTest>
#include <QTimer>

#include "brenmark/download_window.h"
#include "zr_fake.h"

namespace brenmark {
namespace {

class DownloadWindowTest : public ::testing::Test {
  protected:
    void SetUp() override {
        zrfake::Reset();
        dialog.SetPortProbe([] {
            return std::vector<korvel::ports::OpenablePort>{{1, "COM1", "/dev/null"},
                                                            {0x80000003u, "KORVEL03", "/dev/null"}};
        });
    }

    // Answers the next modal box or dialog once it shows, keeping its caption and text.
    void AnswerNextModal() {
        QTimer::singleShot(0, [this] {
            QWidget* modal = QApplication::activeModalWidget();
            if (!modal) return AnswerNextModal();
            seenCaption = modal->windowTitle().toStdString();
            if (auto* box = qobject_cast<QMessageBox*>(modal)) {
                seenText = box->text().toStdString();
            } else {
                for (QLabel* label : modal->findChildren<QLabel*>()) {
                    seenText += label->text().toStdString();
                }
            }
            static_cast<QDialog*>(modal)->accept();
        });
    }

    CDownloadDlg dialog;
    std::string seenCaption;
    std::string seenText;
};

TEST_F(DownloadWindowTest, ControlsAreLaidOutFromDialogUnitsWithTheirInitialStates) {
    DownloadWindow window(dialog, true);
    ASSERT_TRUE(window.Initialise());
    window.show();
    EXPECT_EQ(window.windowTitle().toStdString(), "Download Application");
    const DialogUnits& units = window.units();
    EXPECT_GT(units.baseX(), 0);
    EXPECT_EQ(window.size(), units.ToPixels(324, 181));
    EXPECT_EQ(window.Control(kApplicationFile)->geometry(), units.ToPixels(70, 83, 208, 12));
    EXPECT_EQ(window.Control(kProgressBar)->geometry(), units.ToPixels(7, 139, 305, 13));
    EXPECT_EQ(window.Control(kQuit)->geometry(), units.ToPixels(190, 161, 48, 13));

    auto* types = qobject_cast<QComboBox*>(window.Control(kTerminalList));
    ASSERT_NE(types, nullptr);
    EXPECT_EQ(types->count(), 8);
    EXPECT_EQ(types->currentText().toStdString(), "KvOrb (512Kb)");
    EXPECT_EQ(window.Control(kPicture)->property("bitmap").toInt(), kBitmapOrb);
    EXPECT_FALSE(qobject_cast<QLabel*>(window.Control(kPicture))->pixmap().isNull());
    auto* ports = qobject_cast<QComboBox*>(window.Control(kPortList));
    EXPECT_EQ(ports->currentText().toStdString(), "COM1");
    EXPECT_EQ(ports->itemData(1).toUInt(), 0x80000003u);
    EXPECT_EQ(qobject_cast<QLabel*>(window.Control(kProgressText))->text().toStdString(), "");
    for (int id : {kTerminalList, kPortList, kApplicationFile, kApplicationBrowse, kDriverLabel,
                   kDriverFile, kDriverBrowse, kStart, kQuit}) {
        EXPECT_TRUE(window.Control(id)->isEnabled()) << id;
    }
    auto* quit = qobject_cast<QPushButton*>(window.Control(kQuit));
    EXPECT_TRUE(quit->isDefault());
    EXPECT_EQ(quit->text().toStdString(), "&Quit");
    EXPECT_EQ(qobject_cast<QPushButton*>(window.Control(kStart))->text().toStdString(), "&Start");

    // Choosing "KvTal (64 Kb)" with the keyboard empties and disables the driver row.
    qobject_cast<QLineEdit*>(window.Control(kDriverFile))->setText("/kit/driver.sre");
    QTest::keyClick(types, Qt::Key_Home);
    EXPECT_EQ(types->currentIndex(), 0);
    EXPECT_FALSE(window.Control(kDriverFile)->isEnabled());
    EXPECT_EQ(qobject_cast<QLineEdit*>(window.Control(kDriverFile))->text().toStdString(), "");
    EXPECT_EQ(window.Control(kPicture)->property("bitmap").toInt(), kBitmapTal);
}

TEST_F(DownloadWindowTest, TabWalksTheControlsInTheResourceOrder) {
    DownloadWindow window(dialog, true);
    ASSERT_TRUE(window.Initialise());
    window.show();
    QApplication::setActiveWindow(&window);
    ASSERT_TRUE(QTest::qWaitForWindowActive(&window));
    std::vector<int> order;
    for (int i = 0; i < 8; ++i) {
        QWidget* focus = QApplication::focusWidget();
        ASSERT_NE(focus, nullptr);
        order.push_back(focus->objectName().mid(7).toInt());
        QTest::keyClick(focus, Qt::Key_Tab);
    }
    EXPECT_THAT(order, ::testing::ElementsAre(kTerminalList, kPortList, kApplicationFile,
                                              kApplicationBrowse, kDriverFile, kDriverBrowse,
                                              kStart, kQuit));

    // Enter presses the focused button (Start: refused, no file), elsewhere Quit, the default.
    window.Control(kStart)->setFocus();
    QTest::keyClick(window.Control(kStart), Qt::Key_Return);
    EXPECT_FALSE(window.Ended());
    window.Control(kApplicationFile)->setFocus();
    QTest::keyClick(window.Control(kApplicationFile), Qt::Key_Return);
    EXPECT_TRUE(window.Ended());
}

TEST_F(DownloadWindowTest, StartWithoutFileWarnsAndEscapeKeepsTheDialogOpen) {
    DownloadWindow window(dialog, false);  // real message boxes, answered by the test
    ASSERT_TRUE(window.Initialise());
    window.show();
    QApplication::setActiveWindow(&window);
    ASSERT_TRUE(QTest::qWaitForWindowActive(&window));

    AnswerNextModal();
    QTest::mouseClick(window.Control(kStart), Qt::LeftButton);
    EXPECT_EQ(seenCaption, "Brenmark");
    EXPECT_EQ(seenText, "The application file is not valide.");
    EXPECT_TRUE(window.Control(kStart)->isEnabled());

    // Escape and the close request are the Cancel command: the dialog stays.
    QTest::keyClick(&window, Qt::Key_Escape);
    window.close();
    EXPECT_TRUE(window.isVisible());
    EXPECT_FALSE(window.Ended());
    // The reader reset runs a second later on the fake link, and the dialog is still there.
    QTest::qWait(1300);
    EXPECT_EQ(zrfake::Calls().size(), 4u);
    EXPECT_TRUE(window.isVisible());

    // About, then Alt+Q: only Quit ends the dialog.
    AnswerNextModal();
    window.ShowAbout();
    EXPECT_EQ(seenCaption, "A propos de Brenmark");
    EXPECT_THAT(seenText, ::testing::HasSubstr("Brenmark version 1.4"));
    QApplication::setActiveWindow(&window);
    ASSERT_TRUE(QTest::qWaitForWindowActive(&window));
    QTest::keyClick(&window, Qt::Key_Q, Qt::AltModifier);
    // A mnemonic presses its button visibly before it clicks.
    EXPECT_TRUE(QTest::qWaitFor([&] { return window.Ended(); }));
    EXPECT_FALSE(window.isVisible());
}

}  // namespace
}  // namespace brenmark
