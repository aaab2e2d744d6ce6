// The view behind Brenmark's download dialog: the few services of a dialog framework that the
// dialog's logic uses, so that the logic runs the same under Qt and under a test's fake view.
//
// Every operation is called on the user-interface thread, except Post, which any thread may call.
#ifndef BRENMARK_DIALOG_VIEW_H
#define BRENMARK_DIALOG_VIEW_H

#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <vector>

#include "cordane/platform.h"

namespace brenmark {

// Controls of the download dialog, by their identifiers.
enum ControlId : int {
    kApplicationFile = 1001,    // edit field: application file name
    kProgressBar = 1002,        // progress bar
    kDriverFile = 1003,         // edit field: driver file name
    kProgressText = 1005,       // label: the progress line
    kStart = 1021,              // "&Start"
    kQuit = 1022,               // "&Quit", the default button
    kApplicationBrowse = 1023,  // "...." for the application file
    kTerminalList = 1024,       // drop-down list of terminal types
    kPortList = 1025,           // drop-down list of serial ports
    kPicture = 1026,            // picture of the terminal family
    kDriverBrowse = 1027,       // "...." for the driver file
    kDriverLabel = 1028,        // "Driver file :"
    kAnimation = 1033           // animation of a download
};

// Resources drawn by the view.
enum ResourceId : int {
    kIconAbout = 128,         // the About box's icon
    kIconProgram = 134,       // the window's icon
    kAnimationDownload = 149  // the animation played while a download runs
};

// Terminal pictures; kBitmapNone is the picture the resources do not hold (readers 8 and 9).
enum BitmapId : int { kBitmapOrb = 144, kBitmapTal = 146, kBitmapQuin = 151, kBitmapNone = 154 };

// A filter of the file-open dialog: its name and its pattern, as the resource writes them.
struct FileFilter {
    std::string name;
    std::string pattern;
};

class DialogView {
  public:
    virtual ~DialogView() = default;

    virtual void EnableControl(int id, bool enable) = 0;
    virtual bool IsControlEnabled(int id) const = 0;
    virtual void SetControlText(int id, const std::string& text) = 0;
    virtual std::string ControlText(int id) const = 0;

    // Drop-down lists: items with a 32-bit item data each; selection -1 is none.
    virtual void ResetList(int id) = 0;
    virtual int AddListItem(int id, const std::string& text, uint32_t data) = 0;
    virtual int ListCount(int id) const = 0;
    virtual std::string ListItemText(int id, int index) const = 0;
    virtual uint32_t ListItemData(int id, int index) const = 0;
    virtual int ListSelection(int id) const = 0;
    virtual void SetListSelection(int id, int index) = 0;

    virtual void SetBarRange(int lower, int upper) = 0;
    virtual void SetBarPosition(int position) = 0;

    // Shows a terminal picture in control 1026; kBitmapNone empties it.
    virtual void ShowPicture(int bitmap) = 0;
    // The animation: opening shows its first frame; stopping goes back to it.
    virtual void OpenAnimation(int resource) = 0;
    virtual void PlayAnimation() = 0;
    virtual void StopAnimation() = 0;

    // Window timers: starting a running timer restarts it with the new period.
    virtual void StartTimer(int id, unsigned milliseconds) = 0;
    virtual void StopTimer(int id) = 0;

    // A modal message box captioned with the program's name; returns IDOK, IDYES or IDNO.
    virtual int MessageBox(const std::string& text, unsigned style) = 0;
    // The file-open dialog, starting at startFile; the path chosen, or nothing when cancelled.
    virtual std::optional<std::string> BrowseFile(const std::string& startFile,
                                                  const std::vector<FileFilter>& filters) = 0;

    // Ends the modal dialog with a result.
    virtual void EndDialog(int result) = 0;
    // The window that owns the engine's message boxes.
    virtual HWND WindowId() const = 0;

    // Runs work on the user-interface thread, later, in the order posted. Any thread may call it.
    virtual void Post(std::function<void()> work) = 0;
};

}  // namespace brenmark

#endif
