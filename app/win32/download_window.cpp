#include "download_window.h"

#include <commctrl.h>
#include <commdlg.h>
#include <windowsx.h>

#include <algorithm>
#include <vector>

#include "base/utf8.h"
#include "base/win32.h"
#include "resource.h"

namespace brenmark::win32 {

// The resource script's identifiers are the dialog logic's.
static_assert(IDC_APPLICATION_FILE == kApplicationFile && IDC_PROGRESS_BAR == kProgressBar &&
              IDC_DRIVER_FILE == kDriverFile && IDC_PROGRESS_TEXT == kProgressText &&
              IDC_START == kStart && IDC_QUIT == kQuit &&
              IDC_APPLICATION_BROWSE == kApplicationBrowse && IDC_TERMINAL_LIST == kTerminalList &&
              IDC_PORT_LIST == kPortList && IDC_PICTURE == kPicture &&
              IDC_DRIVER_BROWSE == kDriverBrowse && IDC_DRIVER_LABEL == kDriverLabel &&
              IDC_ANIMATION == kAnimation);
static_assert(IDI_ABOUT == kIconAbout && IDI_PROGRAM == kIconProgram && IDB_ORB == kBitmapOrb &&
              IDB_TAL == kBitmapTal && IDB_QUIN == kBitmapQuin);

namespace {

using korvel::base::win32::Utf16;
using korvel::base::win32::Utf8;

// The background of the program's dialogs, with black text.
constexpr COLORREF kDialogBackground = RGB(212, 208, 200);
// The message that runs what other threads posted.
constexpr UINT kRunPosted = WM_APP + 1;
// The longest path the file-open dialog hands back.
constexpr DWORD kLongestPath = 32768;

// UTF-8 for a W call; text that is not UTF-8 is shown with its stray bytes replaced.
std::wstring Wide(const std::string& text) {
    korvel::base::Expected<std::wstring> wide = Utf16(text);
    return wide ? std::move(*wide) : Utf16(korvel::base::ValidUtf8(text)).value();
}

std::string WindowText(HWND window) {
    const int length = GetWindowTextLengthW(window);
    if (length <= 0) return {};
    std::wstring text(static_cast<size_t>(length) + 1, L'\0');
    text.resize(static_cast<size_t>(GetWindowTextW(window, text.data(), length + 1)));
    return Utf8(text);
}

// ---- The animation control: the frames of bitmap 149, side by side, played in a loop. It
// answers the animation control's open, play and stop messages.

constexpr int kAnimationFrames = BRENMARK_ANIMATION_FRAMES;
constexpr UINT kFrameTimer = 1;
constexpr UINT kFrameMilliseconds = 100;

struct Animation {
    HBITMAP frames = nullptr;
    int frame = 0;
};

LRESULT CALLBACK AnimationProcedure(HWND window, UINT message, WPARAM w, LPARAM l) {
    auto* animation = reinterpret_cast<Animation*>(GetWindowLongPtrW(window, GWLP_USERDATA));
    switch (message) {
        case WM_NCCREATE:
            SetWindowLongPtrW(window, GWLP_USERDATA, reinterpret_cast<LONG_PTR>(new Animation));
            break;
        case WM_NCDESTROY:
            if (animation) {
                if (animation->frames) DeleteObject(animation->frames);
                delete animation;
                SetWindowLongPtrW(window, GWLP_USERDATA, 0);
            }
            break;
        case ACM_OPENW: {
            if (!animation) return FALSE;
            KillTimer(window, kFrameTimer);
            if (animation->frames) DeleteObject(animation->frames);
            animation->frames = static_cast<HBITMAP>(
                LoadImageW(reinterpret_cast<HINSTANCE>(w), reinterpret_cast<LPCWSTR>(l),
                           IMAGE_BITMAP, 0, 0, LR_CREATEDIBSECTION));
            animation->frame = 0;
            InvalidateRect(window, nullptr, TRUE);
            return animation->frames != nullptr;
        }
        case ACM_PLAY:
            if (!animation || !animation->frames) return FALSE;
            SetTimer(window, kFrameTimer, kFrameMilliseconds, nullptr);
            return TRUE;
        case ACM_STOP:
            if (!animation) return FALSE;
            KillTimer(window, kFrameTimer);
            animation->frame = 0;
            InvalidateRect(window, nullptr, TRUE);
            return TRUE;
        case WM_TIMER:
            if (animation && w == kFrameTimer) {
                animation->frame = (animation->frame + 1) % kAnimationFrames;
                InvalidateRect(window, nullptr, FALSE);
                return 0;
            }
            break;
        case WM_ERASEBKGND:
            return 1;  // the frame, or the background, covers all of it
        case WM_PAINT: {
            PAINTSTRUCT paint;
            HDC dc = BeginPaint(window, &paint);
            RECT area;
            GetClientRect(window, &area);
            HBRUSH background = reinterpret_cast<HBRUSH>(
                SendMessageW(GetParent(window), WM_CTLCOLORSTATIC, reinterpret_cast<WPARAM>(dc),
                             reinterpret_cast<LPARAM>(window)));
            BITMAP info{};
            if (animation && animation->frames &&
                GetObjectW(animation->frames, sizeof info, &info) == sizeof info) {
                HDC source = CreateCompatibleDC(dc);
                HGDIOBJ previous = SelectObject(source, animation->frames);
                const int width = info.bmWidth / kAnimationFrames;
                SetStretchBltMode(dc, HALFTONE);
                SetBrushOrgEx(dc, 0, 0, nullptr);
                StretchBlt(dc, 0, 0, area.right, area.bottom, source, width * animation->frame, 0,
                           width, info.bmHeight, SRCCOPY);
                SelectObject(source, previous);
                DeleteDC(source);
            } else {
                FillRect(dc, &area, background ? background : GetSysColorBrush(COLOR_BTNFACE));
            }
            EndPaint(window, &paint);
            return 0;
        }
        default:
            break;
    }
    return DefWindowProcW(window, message, w, l);
}

}  // namespace

void RegisterAnimationClass(HINSTANCE instance) {
    WNDCLASSEXW type{};
    type.cbSize = sizeof type;
    type.lpfnWndProc = AnimationProcedure;
    type.hInstance = instance;
    type.hCursor = LoadCursorW(nullptr, reinterpret_cast<LPCWSTR>(IDC_ARROW));
    type.lpszClassName = L"" BRENMARK_ANIMATION_CLASS;
    RegisterClassExW(&type);
}

// ---- The dialog.

DownloadWindow::DownloadWindow(CDownloadDlg& dialog, HINSTANCE instance)
    : dialog_(dialog), instance_(instance), background_(CreateSolidBrush(kDialogBackground)) {
    icon_ =
        static_cast<HICON>(LoadImageW(instance, MAKEINTRESOURCEW(IDI_PROGRAM), IMAGE_ICON,
                                      GetSystemMetrics(SM_CXICON), GetSystemMetrics(SM_CYICON), 0));
    smallIcon_ = static_cast<HICON>(LoadImageW(instance, MAKEINTRESOURCEW(IDI_PROGRAM), IMAGE_ICON,
                                               GetSystemMetrics(SM_CXSMICON),
                                               GetSystemMetrics(SM_CYSMICON), 0));
    dialog_.AttachView(this);
}

DownloadWindow::~DownloadWindow() {
    dialog_.AttachView(nullptr);
    for (auto& [id, picture] : pictures_) DeleteObject(picture);
    if (icon_) DestroyIcon(icon_);
    if (smallIcon_) DestroyIcon(smallIcon_);
    DeleteObject(background_);
}

namespace {

// The dialog whose keyboard opens its context menu: the one running on this thread.
thread_local DownloadWindow* keyboardMenuOwner = nullptr;

}  // namespace

LRESULT CALLBACK DownloadWindow::DialogKeys(int code, WPARAM w, LPARAM l) {
    // The dialog manager's loop hands every message here first: the menu key and Shift+F10,
    // wherever the focus is in the dialog, open its context menu, as the system would for a
    // window that has one.
    const MSG* message = reinterpret_cast<const MSG*>(l);
    DownloadWindow* self = keyboardMenuOwner;
    if (code == MSGF_DIALOGBOX && self && self->window_ && message &&
        GetAncestor(message->hwnd, GA_ROOT) == self->window_) {
        const bool menuKey = message->message == WM_KEYDOWN && message->wParam == VK_APPS;
        const bool shiftF10 =
            (message->message == WM_KEYDOWN || message->message == WM_SYSKEYDOWN) &&
            message->wParam == VK_F10 && GetKeyState(VK_SHIFT) < 0;
        if (menuKey || shiftF10) {
            self->ContextMenu(MAKELPARAM(-1, -1));
            return 1;
        }
    }
    return CallNextHookEx(nullptr, code, w, l);
}

void DownloadWindow::Run() {
    keyboardMenuOwner = this;
    HHOOK keys = SetWindowsHookExW(WH_MSGFILTER, DialogKeys, nullptr, GetCurrentThreadId());
    DialogBoxParamW(instance_, MAKEINTRESOURCEW(IDD_DOWNLOAD), nullptr, Procedure,
                    reinterpret_cast<LPARAM>(this));
    if (keys) UnhookWindowsHookEx(keys);
    keyboardMenuOwner = nullptr;
    postTarget_ = nullptr;
    window_ = nullptr;
    ended_ = true;
}

INT_PTR CALLBACK DownloadWindow::Procedure(HWND window, UINT message, WPARAM w, LPARAM l) {
    if (message == WM_INITDIALOG) {
        SetWindowLongPtrW(window, DWLP_USER, l);
        reinterpret_cast<DownloadWindow*>(l)->window_ = window;
        reinterpret_cast<DownloadWindow*>(l)->postTarget_ = window;
    }
    auto* self = reinterpret_cast<DownloadWindow*>(GetWindowLongPtrW(window, DWLP_USER));
    return self ? self->Handle(message, w, l) : FALSE;
}

INT_PTR DownloadWindow::Handle(UINT message, WPARAM w, LPARAM l) {
    switch (message) {
        case WM_INITDIALOG:
            SendMessageW(window_, WM_SETICON, ICON_BIG, reinterpret_cast<LPARAM>(icon_));
            SendMessageW(window_, WM_SETICON, ICON_SMALL, reinterpret_cast<LPARAM>(smallIcon_));
            dialog_.OnInitDialog();
            if (!ended_) SetFocus(Item(kTerminalList));
            return FALSE;  // the focus is set
        case WM_COMMAND:
            Command(LOWORD(w), HIWORD(w));
            return TRUE;
        case WM_CLOSE:
            // The window manager's close request is the Cancel command: the dialog stays.
            if (!ended_) dialog_.OnCancelCommand();
            return TRUE;
        case WM_TIMER:
            // A tick already queued when its timer was stopped is not one.
            if (timers_.count(static_cast<int>(w))) dialog_.OnTimer(static_cast<int>(w));
            return TRUE;
        case kRunPosted:
            RunPosted();
            return TRUE;
        case WM_CONTEXTMENU:
            ContextMenu(l);
            return TRUE;
        case WM_CTLCOLORDLG:
        case WM_CTLCOLORSTATIC:
        case WM_CTLCOLORBTN: {
            HDC dc = reinterpret_cast<HDC>(w);
            SetTextColor(dc, RGB(0, 0, 0));
            SetBkColor(dc, kDialogBackground);
            return reinterpret_cast<INT_PTR>(background_);
        }
        default:
            return FALSE;
    }
}

void DownloadWindow::Command(int id, int notification) {
    switch (id) {
        case IDCANCEL:  // Escape
            if (!ended_) dialog_.OnCancelCommand();
            break;
        case kStart:
            if (notification == BN_CLICKED) dialog_.OnStart();
            break;
        case kQuit:
            if (notification == BN_CLICKED) dialog_.OnQuit();
            break;
        case kApplicationBrowse:
            if (notification == BN_CLICKED) dialog_.OnBrowseApplication();
            break;
        case kDriverBrowse:
            if (notification == BN_CLICKED) dialog_.OnBrowseDriver();
            break;
        case kTerminalList:
            // Only the operator's choice: setting the selection sends no notification.
            if (notification == CBN_SELCHANGE) dialog_.OnTerminalTypeChange();
            break;
        case IDM_ABOUT:
            ShowAbout();
            break;
        default:  // IDOK without a default button, and the rest: nothing
            break;
    }
}

void DownloadWindow::ContextMenu(LPARAM at) {
    POINT point{GET_X_LPARAM(at), GET_Y_LPARAM(at)};
    if (point.x == -1 && point.y == -1) {  // from the keyboard: at the window's corner
        point = POINT{0, 0};
        ClientToScreen(window_, &point);
    }
    HMENU menu = CreatePopupMenu();
    if (!menu) return;
    // The system menu's About entry, as the dialog has no system-menu box.
    AppendMenuW(menu, MF_STRING, IDM_ABOUT, L"&A propos de Brenmark...");
    const UINT chosen = static_cast<UINT>(TrackPopupMenu(menu, TPM_RETURNCMD | TPM_RIGHTBUTTON,
                                                         point.x, point.y, 0, window_, nullptr));
    DestroyMenu(menu);
    if (chosen == IDM_ABOUT) ShowAbout();
}

namespace {

INT_PTR CALLBACK AboutProcedure(HWND window, UINT message, WPARAM w, LPARAM) {
    switch (message) {
        case WM_INITDIALOG:
            return TRUE;
        case WM_COMMAND:
            if (LOWORD(w) == IDOK || LOWORD(w) == IDCANCEL) ::EndDialog(window, LOWORD(w));
            return TRUE;
        case WM_CLOSE:
            ::EndDialog(window, IDCANCEL);
            return TRUE;
        default:
            return FALSE;
    }
}

}  // namespace

void DownloadWindow::ShowAbout() {
    DialogBoxParamW(instance_, MAKEINTRESOURCEW(IDD_ABOUTBOX), window_, AboutProcedure, 0);
}

// ---- The view's operations.

void DownloadWindow::EnableControl(int id, bool enable) {
    EnableWindow(Item(id), enable ? TRUE : FALSE);
}

bool DownloadWindow::IsControlEnabled(int id) const {
    HWND item = Item(id);
    return item && IsWindowEnabled(item);
}

void DownloadWindow::SetControlText(int id, const std::string& text) {
    HWND item = Item(id);
    // An edit field's caret stays where it is when its text does not change.
    if (item && WindowText(item) != text) SetWindowTextW(item, Wide(text).c_str());
}

std::string DownloadWindow::ControlText(int id) const {
    HWND item = Item(id);
    return item ? WindowText(item) : std::string();
}

void DownloadWindow::ResetList(int id) {
    SendDlgItemMessageW(window_, id, CB_RESETCONTENT, 0, 0);
}

int DownloadWindow::AddListItem(int id, const std::string& text, uint32_t data) {
    const LRESULT index = SendDlgItemMessageW(window_, id, CB_ADDSTRING, 0,
                                              reinterpret_cast<LPARAM>(Wide(text).c_str()));
    if (index < 0) return -1;
    SendDlgItemMessageW(window_, id, CB_SETITEMDATA, static_cast<WPARAM>(index),
                        static_cast<LPARAM>(data));
    return static_cast<int>(index);
}

int DownloadWindow::ListCount(int id) const {
    return std::max(0, static_cast<int>(SendDlgItemMessageW(window_, id, CB_GETCOUNT, 0, 0)));
}

std::string DownloadWindow::ListItemText(int id, int index) const {
    const LRESULT length = SendDlgItemMessageW(window_, id, CB_GETLBTEXTLEN, index, 0);
    if (length < 0) return {};
    std::wstring text(static_cast<size_t>(length) + 1, L'\0');
    const LRESULT got = SendDlgItemMessageW(window_, id, CB_GETLBTEXT, index,
                                            reinterpret_cast<LPARAM>(text.data()));
    text.resize(got < 0 ? 0 : static_cast<size_t>(got));
    return Utf8(text);
}

uint32_t DownloadWindow::ListItemData(int id, int index) const {
    const LRESULT data = SendDlgItemMessageW(window_, id, CB_GETITEMDATA, index, 0);
    return data == CB_ERR ? 0 : static_cast<uint32_t>(data);
}

int DownloadWindow::ListSelection(int id) const {
    const LRESULT index = SendDlgItemMessageW(window_, id, CB_GETCURSEL, 0, 0);
    return index < 0 ? -1 : static_cast<int>(index);
}

void DownloadWindow::SetListSelection(int id, int index) {
    SendDlgItemMessageW(window_, id, CB_SETCURSEL, static_cast<WPARAM>(index), 0);
}

void DownloadWindow::SetBarRange(int lower, int upper) {
    SendDlgItemMessageW(window_, kProgressBar, PBM_SETRANGE32, static_cast<WPARAM>(lower),
                        static_cast<LPARAM>(upper));
}

void DownloadWindow::SetBarPosition(int position) {
    SendDlgItemMessageW(window_, kProgressBar, PBM_SETPOS, static_cast<WPARAM>(position), 0);
}

void DownloadWindow::ShowPicture(int bitmap) {
    HBITMAP picture = nullptr;
    if (bitmap != kBitmapNone) {
        HBITMAP& loaded = pictures_[bitmap];
        if (!loaded) {
            loaded = static_cast<HBITMAP>(
                LoadImageW(instance_, MAKEINTRESOURCEW(bitmap), IMAGE_BITMAP, 0, 0, 0));
        }
        picture = loaded;
    }
    // The control hands back the picture it showed, which stays ours.
    SendDlgItemMessageW(window_, kPicture, STM_SETIMAGE, IMAGE_BITMAP,
                        reinterpret_cast<LPARAM>(picture));
    InvalidateRect(Item(kPicture), nullptr, TRUE);
}

void DownloadWindow::OpenAnimation(int resource) {
    SendDlgItemMessageW(window_, kAnimation, ACM_OPENW, reinterpret_cast<WPARAM>(instance_),
                        reinterpret_cast<LPARAM>(MAKEINTRESOURCEW(resource)));
}

void DownloadWindow::PlayAnimation() {
    SendDlgItemMessageW(window_, kAnimation, ACM_PLAY, static_cast<WPARAM>(-1),
                        MAKELPARAM(0, 0xFFFF));
}

void DownloadWindow::StopAnimation() {
    SendDlgItemMessageW(window_, kAnimation, ACM_STOP, 0, 0);
}

void DownloadWindow::StartTimer(int id, unsigned milliseconds) {
    if (!window_ || ended_) return;
    // Setting a running timer again restarts it with the new period.
    SetTimer(window_, static_cast<UINT_PTR>(id), std::max(milliseconds, 1u), nullptr);
    timers_.insert(id);
}

void DownloadWindow::StopTimer(int id) {
    if (window_) KillTimer(window_, static_cast<UINT_PTR>(id));
    timers_.erase(id);
}

int DownloadWindow::ShowBox(const std::string& caption, const std::string& text,
                            unsigned style) const {
    // Owned by the dialog while it is open. The W call: texts name files in any script.
    return MessageBoxW(Open() ? postTarget_.load() : nullptr, Wide(text).c_str(),
                       Wide(caption).c_str(), style);
}

int DownloadWindow::MessageBox(const std::string& text, unsigned style) {
    return ShowBox(kProgramName, text, style);
}

std::optional<std::string> DownloadWindow::BrowseFile(const std::string& startFile,
                                                      const std::vector<FileFilter>& filters) {
    // The filters as the dialog takes them: name, zero, pattern, zero; a second zero at the end.
    std::wstring filter;
    for (const FileFilter& entry : filters) {
        filter += Wide(entry.name);
        filter += L'\0';
        filter += Wide(entry.pattern);
        filter += L'\0';
    }
    filter += L'\0';
    std::vector<wchar_t> file(kLongestPath, L'\0');
    const std::wstring start = Wide(startFile);
    if (start.size() < file.size()) std::copy(start.begin(), start.end(), file.begin());

    OPENFILENAMEW choice{};
    choice.lStructSize = sizeof choice;
    choice.hwndOwner = window_;
    choice.lpstrFilter = filters.empty() ? nullptr : filter.c_str();
    choice.nFilterIndex = 1;
    choice.lpstrFile = file.data();
    choice.nMaxFile = kLongestPath;
    choice.Flags = OFN_FILEMUSTEXIST | OFN_PATHMUSTEXIST | OFN_HIDEREADONLY | OFN_NOCHANGEDIR;
    if (!GetOpenFileNameW(&choice)) return std::nullopt;
    return Utf8(file.data());
}

void DownloadWindow::EndDialog(int result) {
    if (ended_) return;
    ended_ = true;
    for (int id : timers_) {
        if (window_) KillTimer(window_, static_cast<UINT_PTR>(id));
    }
    timers_.clear();
    if (window_) ::EndDialog(window_, result);
}

HWND DownloadWindow::WindowId() const {
    return window_;
}

void DownloadWindow::Post(std::function<void()> work) {
    bool first = false;
    {
        std::lock_guard lock(postedMutex_);
        first = posted_.empty();
        posted_.push_back(std::move(work));
    }
    // One message runs all that is queued; once the dialog is gone the program's wait runs it.
    if (HWND target = postTarget_.load(); first && target) PostMessageW(target, kRunPosted, 0, 0);
}

void DownloadWindow::RunPosted() {
    for (;;) {
        std::function<void()> work;
        {
            std::lock_guard lock(postedMutex_);
            if (posted_.empty()) return;
            work = std::move(posted_.front());
            posted_.pop_front();
        }
        work();
    }
}

}  // namespace brenmark::win32
