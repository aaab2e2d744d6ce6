// The Qt 6 Widgets view of the download dialog: the dialog resource laid out from its dialog
// units with the dialog font's metrics, and the view operations the dialog's logic calls.
#ifndef BRENMARK_DOWNLOAD_WINDOW_H
#define BRENMARK_DOWNLOAD_WINDOW_H

#include <QDialog>
#include <QFont>
#include <QPoint>
#include <QRect>
#include <map>

#include "brenmark/download_dialog.h"

class QTimer;
class QComboBox;

namespace brenmark {

// Converts dialog units to pixels with a font's metrics, as the dialog manager does: a horizontal
// unit is a quarter of the average character width, a vertical unit an eighth of the height.
class DialogUnits {
  public:
    explicit DialogUnits(const QFont& font);
    QRect ToPixels(int x, int y, int width, int height) const;
    QSize ToPixels(int width, int height) const;
    int baseX() const { return baseX_; }
    int baseY() const { return baseY_; }

  private:
    int baseX_;
    int baseY_;
};

class AnimationWidget;

class DownloadWindow : public QDialog, public DialogView {
  public:
    // headless: no display; message boxes then go to stderr and questions are answered No.
    DownloadWindow(CDownloadDlg& dialog, bool headless, QWidget* parent = nullptr);
    ~DownloadWindow() override;

    // Runs the dialog's initialisation; true when it left the dialog open (run exec then).
    bool Initialise();
    // The widget of a control id.
    QWidget* Control(int id) const;
    bool Ended() const { return ended_; }
    bool headless() const { return headless_; }
    const DialogUnits& units() const { return units_; }
    // The About box ("A propos de Brenmark"), modal.
    void ShowAbout();

    // DialogView.
    void EnableControl(int id, bool enable) override;
    bool IsControlEnabled(int id) const override;
    void SetControlText(int id, const std::string& text) override;
    std::string ControlText(int id) const override;
    void ResetList(int id) override;
    int AddListItem(int id, const std::string& text, uint32_t data) override;
    int ListCount(int id) const override;
    std::string ListItemText(int id, int index) const override;
    uint32_t ListItemData(int id, int index) const override;
    int ListSelection(int id) const override;
    void SetListSelection(int id, int index) override;
    void SetBarRange(int lower, int upper) override;
    void SetBarPosition(int position) override;
    void ShowPicture(int bitmap) override;
    void OpenAnimation(int resource) override;
    void PlayAnimation() override;
    void StopAnimation() override;
    void StartTimer(int id, unsigned milliseconds) override;
    void StopTimer(int id) override;
    int MessageBox(const std::string& text, unsigned style) override;
    std::optional<std::string> BrowseFile(const std::string& startFile,
                                          const std::vector<FileFilter>& filters) override;
    void EndDialog(int result) override;
    HWND WindowId() const override;
    void Post(std::function<void()> work) override;

    // A message box with a caption of its own (the engine's), or stderr when headless.
    int ShowBox(const std::string& caption, const std::string& text, unsigned style);

    // Escape: the Cancel command, which never closes the dialog.
    void reject() override;
    // The OK command is ignored.
    void accept() override {}

  protected:
    void closeEvent(QCloseEvent* event) override;
    void contextMenuEvent(QContextMenuEvent* event) override;

  private:
    void Build();
    QComboBox* List(int id) const;

    CDownloadDlg& dialog_;
    bool headless_;
    bool ended_ = false;
    DialogUnits units_;
    std::map<int, QWidget*> controls_;
    std::map<int, QTimer*> timers_;
    AnimationWidget* animation_ = nullptr;
    QSize pictureSize_;
};

// Sets the offscreen platform when there is no display (neither DISPLAY nor WAYLAND_DISPLAY) and
// no platform was asked for. Call before the application object is made.
void ChooseHeadlessPlatformWhenNoDisplay();
// True when the application runs without a display (HasDisplay of its platform and environment).
bool RunningHeadless();

}  // namespace brenmark

#endif
