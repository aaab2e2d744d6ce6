// The Win32 view of the download dialog: dialog 135 of the program's resources, run modally by
// the dialog manager, and the view operations the dialog's logic calls.
#ifndef BRENMARK_WIN32_DOWNLOAD_WINDOW_H
#define BRENMARK_WIN32_DOWNLOAD_WINDOW_H

#include <windows.h>

#include <atomic>
#include <deque>
#include <functional>
#include <map>
#include <mutex>
#include <set>

#include "brenmark/download_dialog.h"

namespace brenmark::win32 {

// Registers the window class of the animation control; once, before the dialog is made.
void RegisterAnimationClass(HINSTANCE instance);

class DownloadWindow : public DialogView {
  public:
    DownloadWindow(CDownloadDlg& dialog, HINSTANCE instance);
    ~DownloadWindow() override;
    DownloadWindow(const DownloadWindow&) = delete;
    DownloadWindow& operator=(const DownloadWindow&) = delete;

    // Runs the dialog modally, its initialisation first; returns when it has ended (at once when
    // the initialisation ended it).
    void Run();
    // Runs what was posted and not yet run (after the dialog has ended, while the program waits
    // for the worker).
    void RunPosted();
    // Whether the dialog is on the screen (between its initialisation and its end). Any thread.
    bool Open() const { return postTarget_.load() != nullptr && !ended_; }
    // The About box, modal.
    void ShowAbout();
    // A message box with a caption of its own, owned by the dialog while it is open, on its own
    // after; returns the button pressed. Any thread (the engine's boxes come from its worker).
    int ShowBox(const std::string& caption, const std::string& text, unsigned style) const;

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

  private:
    static INT_PTR CALLBACK Procedure(HWND window, UINT message, WPARAM w, LPARAM l);
    static LRESULT CALLBACK DialogKeys(int code, WPARAM w, LPARAM l);
    INT_PTR Handle(UINT message, WPARAM w, LPARAM l);
    void Command(int id, int notification);
    void ContextMenu(LPARAM at);
    HWND Item(int id) const { return GetDlgItem(window_, id); }

    CDownloadDlg& dialog_;
    HINSTANCE instance_;
    HWND window_ = nullptr;
    std::atomic<bool> ended_{false};  // read by the engine's boxes on the worker thread
    HBRUSH background_ = nullptr;
    HICON icon_ = nullptr;
    HICON smallIcon_ = nullptr;
    std::map<int, HBITMAP> pictures_;  // loaded once each, deleted with the view
    std::set<int> timers_;             // the window's timers that run

    // Where other threads post to: the dialog's window while it is there.
    std::atomic<HWND> postTarget_{nullptr};
    std::mutex postedMutex_;
    std::deque<std::function<void()>> posted_;
};

}  // namespace brenmark::win32

#endif
