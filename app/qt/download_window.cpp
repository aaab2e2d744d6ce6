#include "brenmark/download_window.h"

#include <QCloseEvent>
#include <QComboBox>
#include <QContextMenuEvent>
#include <QFileDialog>
#include <QFileInfo>
#include <QFontMetrics>
#include <QGroupBox>
#include <QGuiApplication>
#include <QLabel>
#include <QLineEdit>
#include <QMenu>
#include <QMessageBox>
#include <QPainter>
#include <QProgressBar>
#include <QPushButton>
#include <QTimer>
#include <cstdio>
#include <cstdlib>

#include "artwork.h"

namespace brenmark {
namespace {

constexpr int kAnimationFrameMs = 100;

// The dialog resource: caption, size and font, then the controls in their order (the tab order).
constexpr const char kCaption[] = "Download Application";
constexpr int kDialogWidth = 324;
constexpr int kDialogHeight = 181;
constexpr const char kDialogFont[] = "MS Sans Serif";
constexpr int kDialogFontPoints = 8;

enum class Kind { Animation, Picture, Group, Label, DropList, Edit, Button, DefaultButton, Bar };

struct ControlTemplate {
    int id;  // -1: a control the dialog never addresses
    Kind kind;
    const char* text;
    int x, y, width, height;
    bool disabled;
};

constexpr ControlTemplate kControls[] = {
    {kAnimation, Kind::Animation, "", 37, 3, 208, 48, false},
    {kPicture, Kind::Picture, "", 246, 8, 28, 42, false},
    {-1, Kind::Group, "Parameters", 9, 54, 303, 66, false},
    {-1, Kind::Label, "Terminal type :", 16, 67, 47, 8, false},
    {kTerminalList, Kind::DropList, "", 70, 65, 70, 57, false},
    {-1, Kind::Label, "PC's serial port :", 154, 67, 53, 9, false},
    {kPortList, Kind::DropList, "", 208, 66, 70, 66, false},
    {-1, Kind::Label, "Application file :", 17, 84, 52, 8, false},
    {kApplicationFile, Kind::Edit, "", 70, 83, 208, 12, false},
    {kApplicationBrowse, Kind::Button, "....", 290, 83, 15, 12, false},
    {kDriverLabel, Kind::Label, "Driver file :", 17, 100, 34, 8, true},
    {kDriverFile, Kind::Edit, "", 70, 100, 208, 12, true},
    {kDriverBrowse, Kind::Button, "....", 290, 100, 15, 12, true},
    {kProgressText, Kind::Label, "Progression :", 9, 127, 299, 9, false},
    {kProgressBar, Kind::Bar, "", 7, 139, 305, 13, false},
    {kStart, Kind::Button, "&Start", 84, 160, 50, 14, false},
    {kQuit, Kind::DefaultButton, "&Quit", 190, 161, 48, 13, false},
};

QFont DialogFont() {
    QFont font(kDialogFont, kDialogFontPoints);
    font.setStyleHint(QFont::SansSerif);
    return font;
}

int MulDiv(int value, int numerator, int denominator) {
    return (value * numerator + denominator / 2) / denominator;
}

}  // namespace

// ---- Dialog units.

DialogUnits::DialogUnits(const QFont& font) {
    const QFontMetrics metrics(font);
    static const QString kAlphabet =
        QStringLiteral("ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz");
    baseX_ = (metrics.horizontalAdvance(kAlphabet) / 26 + 1) / 2;
    baseY_ = metrics.height();
}

QRect DialogUnits::ToPixels(int x, int y, int width, int height) const {
    return QRect(MulDiv(x, baseX_, 4), MulDiv(y, baseY_, 8), MulDiv(width, baseX_, 4),
                 MulDiv(height, baseY_, 8));
}

QSize DialogUnits::ToPixels(int width, int height) const {
    return QSize(MulDiv(width, baseX_, 4), MulDiv(height, baseY_, 8));
}

// ---- The animation control.

class AnimationWidget : public QWidget {
  public:
    explicit AnimationWidget(QWidget* parent) : QWidget(parent), timer_(this) {
        timer_.setInterval(kAnimationFrameMs);
        QObject::connect(&timer_, &QTimer::timeout, this, [this] {
            frame_ = (frame_ + 1) % artwork::kAnimationFrames;
            update();
        });
    }
    void Open() {
        opened_ = true;
        Stop();
    }
    void Play() {
        if (opened_) timer_.start();
    }
    void Stop() {
        timer_.stop();
        frame_ = 0;
        update();
    }
    bool playing() const { return timer_.isActive(); }

  protected:
    void paintEvent(QPaintEvent*) override {
        if (!opened_) return;
        QPainter painter(this);
        artwork::PaintAnimationFrame(painter, rect(), frame_);
    }

  private:
    QTimer timer_;
    int frame_ = 0;
    bool opened_ = false;
};

// ---- The window.

DownloadWindow::DownloadWindow(CDownloadDlg& dialog, bool headless, QWidget* parent)
    : QDialog(parent), dialog_(dialog), headless_(headless), units_(DialogFont()) {
    // A caption and a modal frame, without the system-menu box.
    setWindowFlags(Qt::Dialog | Qt::CustomizeWindowHint | Qt::WindowTitleHint);
    setWindowTitle(kCaption);
    setWindowIcon(artwork::ProgramIcon(kIconProgram));
    setFont(DialogFont());
    setFixedSize(units_.ToPixels(kDialogWidth, kDialogHeight));
    Build();
    dialog_.AttachView(this);
}

DownloadWindow::~DownloadWindow() {
    dialog_.AttachView(nullptr);
}

void DownloadWindow::Build() {
    QWidget* previous = nullptr;
    for (const ControlTemplate& t : kControls) {
        const QRect at = units_.ToPixels(t.x, t.y, t.width, t.height);
        QWidget* widget = nullptr;
        switch (t.kind) {
            case Kind::Animation:
                widget = animation_ = new AnimationWidget(this);
                break;
            case Kind::Picture: {
                auto* picture = new QLabel(this);
                picture->setAlignment(Qt::AlignLeft | Qt::AlignTop);
                pictureSize_ = at.size();
                widget = picture;
                break;
            }
            case Kind::Group:
                widget = new QGroupBox(QString::fromUtf8(t.text), this);
                break;
            case Kind::Label:
                widget = new QLabel(QString::fromUtf8(t.text), this);
                break;
            case Kind::DropList: {
                auto* list = new QComboBox(this);
                list->setMaxVisibleItems(8);
                widget = list;
                break;
            }
            case Kind::Edit:
                widget = new QLineEdit(this);
                break;
            case Kind::Button:
            case Kind::DefaultButton: {
                // A push button with the focus takes Enter; elsewhere Enter presses the default.
                auto* button = new QPushButton(QString::fromUtf8(t.text), this);
                button->setAutoDefault(true);
                if (t.kind == Kind::DefaultButton) button->setDefault(true);
                widget = button;
                break;
            }
            case Kind::Bar: {
                auto* bar = new QProgressBar(this);
                bar->setTextVisible(false);
                bar->setRange(0, 100);
                bar->setValue(0);
                widget = bar;
                break;
            }
        }
        // A drop-down list's height in the resource includes its open list: the closed box
        // keeps its own height.
        QRect geometry = at;
        if (t.kind == Kind::DropList) geometry.setHeight(widget->sizeHint().height());
        widget->setGeometry(geometry);
        widget->setEnabled(!t.disabled);
        if (t.id >= 0) {
            widget->setObjectName(QStringLiteral("control%1").arg(t.id));
            controls_[t.id] = widget;
        }
        if (widget->focusPolicy() != Qt::NoFocus) {
            if (previous) QWidget::setTabOrder(previous, widget);
            previous = widget;
        }
    }

    connect(static_cast<QPushButton*>(controls_[kStart]), &QPushButton::clicked, this,
            [this] { dialog_.OnStart(); });
    connect(static_cast<QPushButton*>(controls_[kQuit]), &QPushButton::clicked, this,
            [this] { dialog_.OnQuit(); });
    connect(static_cast<QPushButton*>(controls_[kApplicationBrowse]), &QPushButton::clicked, this,
            [this] { dialog_.OnBrowseApplication(); });
    connect(static_cast<QPushButton*>(controls_[kDriverBrowse]), &QPushButton::clicked, this,
            [this] { dialog_.OnBrowseDriver(); });
    // Only the operator's choice counts as a selection change, as with a list's notification.
    connect(List(kTerminalList), &QComboBox::activated, this,
            [this](int) { dialog_.OnTerminalTypeChange(); });
}

bool DownloadWindow::Initialise() {
    dialog_.OnInitDialog();
    if (!ended_) controls_[kTerminalList]->setFocus();
    return !ended_;
}

QWidget* DownloadWindow::Control(int id) const {
    auto it = controls_.find(id);
    return it == controls_.end() ? nullptr : it->second;
}

QComboBox* DownloadWindow::List(int id) const {
    return qobject_cast<QComboBox*>(Control(id));
}

void DownloadWindow::EnableControl(int id, bool enable) {
    if (QWidget* widget = Control(id)) widget->setEnabled(enable);
}

bool DownloadWindow::IsControlEnabled(int id) const {
    const QWidget* widget = Control(id);
    return widget && widget->isEnabled();
}

void DownloadWindow::SetControlText(int id, const std::string& text) {
    const QString value = QString::fromStdString(text);
    if (auto* edit = qobject_cast<QLineEdit*>(Control(id))) {
        if (edit->text() != value) edit->setText(value);
    } else if (auto* label = qobject_cast<QLabel*>(Control(id))) {
        label->setText(value);
    } else if (auto* button = qobject_cast<QPushButton*>(Control(id))) {
        button->setText(value);
    }
}

std::string DownloadWindow::ControlText(int id) const {
    if (auto* edit = qobject_cast<QLineEdit*>(Control(id))) return edit->text().toStdString();
    if (auto* label = qobject_cast<QLabel*>(Control(id))) return label->text().toStdString();
    if (auto* button = qobject_cast<QPushButton*>(Control(id))) return button->text().toStdString();
    return std::string();
}

void DownloadWindow::ResetList(int id) {
    if (QComboBox* list = List(id)) list->clear();
}

int DownloadWindow::AddListItem(int id, const std::string& text, uint32_t data) {
    QComboBox* list = List(id);
    if (!list) return -1;
    // Adding to an empty list would select the item: a list starts without a selection.
    const int selection = list->currentIndex();
    list->addItem(QString::fromStdString(text), QVariant::fromValue<uint>(data));
    list->setCurrentIndex(selection);
    return list->count() - 1;
}

int DownloadWindow::ListCount(int id) const {
    const QComboBox* list = List(id);
    return list ? list->count() : 0;
}

std::string DownloadWindow::ListItemText(int id, int index) const {
    const QComboBox* list = List(id);
    return list ? list->itemText(index).toStdString() : std::string();
}

uint32_t DownloadWindow::ListItemData(int id, int index) const {
    const QComboBox* list = List(id);
    return list ? list->itemData(index).toUInt() : 0;
}

int DownloadWindow::ListSelection(int id) const {
    const QComboBox* list = List(id);
    return list ? list->currentIndex() : -1;
}

void DownloadWindow::SetListSelection(int id, int index) {
    if (QComboBox* list = List(id)) list->setCurrentIndex(index);
}

void DownloadWindow::SetBarRange(int lower, int upper) {
    static_cast<QProgressBar*>(controls_[kProgressBar])->setRange(lower, upper);
}

void DownloadWindow::SetBarPosition(int position) {
    static_cast<QProgressBar*>(controls_[kProgressBar])->setValue(position);
}

void DownloadWindow::ShowPicture(int bitmap) {
    auto* picture = static_cast<QLabel*>(controls_[kPicture]);
    const QPixmap pixmap = artwork::TerminalPicture(bitmap, pictureSize_);
    if (pixmap.isNull()) {
        picture->clear();
    } else {
        picture->setPixmap(pixmap);
    }
    picture->setProperty("bitmap", bitmap);
}

void DownloadWindow::OpenAnimation(int) {
    animation_->Open();
}

void DownloadWindow::PlayAnimation() {
    animation_->Play();
}

void DownloadWindow::StopAnimation() {
    animation_->Stop();
}

void DownloadWindow::StartTimer(int id, unsigned milliseconds) {
    QTimer*& timer = timers_[id];
    if (!timer) {
        timer = new QTimer(this);
        connect(timer, &QTimer::timeout, this, [this, id] { dialog_.OnTimer(id); });
    }
    timer->start(static_cast<int>(std::min<unsigned>(milliseconds, INT32_MAX)));
}

void DownloadWindow::StopTimer(int id) {
    auto it = timers_.find(id);
    if (it != timers_.end()) it->second->stop();
}

int DownloadWindow::ShowBox(const std::string& caption, const std::string& text, unsigned style) {
    const bool question = (style & 0xF) == MB_YESNO;
    if (headless_) {
        std::fprintf(stderr, "%s: %s\n", caption.c_str(), text.c_str());
        if (question) std::fprintf(stderr, "%s: answered No (no display)\n", caption.c_str());
        return question ? IDNO : IDOK;
    }
    QMessageBox::Icon icon = QMessageBox::NoIcon;
    switch (style & 0xF0) {
        case MB_ICONERROR:
            icon = QMessageBox::Critical;
            break;
        case MB_ICONQUESTION:
            icon = QMessageBox::Question;
            break;
        case MB_ICONWARNING:
            icon = QMessageBox::Warning;
            break;
        case MB_ICONINFORMATION:
            icon = QMessageBox::Information;
            break;
        default:
            break;
    }
    QMessageBox box(icon, QString::fromStdString(caption), QString::fromStdString(text),
                    question ? (QMessageBox::Yes | QMessageBox::No) : QMessageBox::Ok, this);
    const int answer = box.exec();
    if (!question) return IDOK;
    return answer == QMessageBox::Yes ? IDYES : IDNO;
}

int DownloadWindow::MessageBox(const std::string& text, unsigned style) {
    return ShowBox(kProgramName, text, style);
}

std::optional<std::string> DownloadWindow::BrowseFile(const std::string& startFile,
                                                      const std::vector<FileFilter>& filters) {
    QFileDialog chooser(this);
    chooser.setFileMode(QFileDialog::ExistingFile);
    chooser.setAcceptMode(QFileDialog::AcceptOpen);
    QStringList names;
    for (const FileFilter& filter : filters) {
        QString name = QString::fromStdString(filter.name);
        // The toolkit reads a filter's patterns from the parentheses of its name.
        if (!name.contains('('))
            name += " (" + QString::fromStdString(filter.pattern).trimmed() + ")";
        names << name;
    }
    chooser.setNameFilters(names);
    if (!names.isEmpty()) chooser.selectNameFilter(names.first());
    if (!startFile.empty()) {
        const QFileInfo start(QString::fromStdString(startFile));
        chooser.setDirectory(start.absolutePath());
        chooser.selectFile(start.fileName());
    }
    if (chooser.exec() != QDialog::Accepted || chooser.selectedFiles().isEmpty()) {
        return std::nullopt;
    }
    return chooser.selectedFiles().first().toStdString();
}

void DownloadWindow::EndDialog(int result) {
    ended_ = true;
    for (auto& [id, timer] : timers_) timer->stop();
    done(result);
}

HWND DownloadWindow::WindowId() const {
    return static_cast<HWND>(winId());
}

void DownloadWindow::Post(std::function<void()> work) {
    // Queued to this window: work still queued when the window goes is dropped with it.
    QMetaObject::invokeMethod(
        this, [work = std::move(work)] { work(); }, Qt::QueuedConnection);
}

void DownloadWindow::reject() {
    dialog_.OnCancelCommand();
}

void DownloadWindow::closeEvent(QCloseEvent* event) {
    if (ended_) {
        event->accept();
        return;
    }
    // The window manager's close request is the Cancel command: the dialog stays.
    event->ignore();
    dialog_.OnCancelCommand();
}

void DownloadWindow::contextMenuEvent(QContextMenuEvent* event) {
    // The system menu's About entry, where a Linux window manager offers no system menu.
    QMenu menu(this);
    menu.addAction(QStringLiteral("&A propos de Brenmark..."), this, [this] { ShowAbout(); });
    menu.exec(event->globalPos());
}

void DownloadWindow::ShowAbout() {
    QDialog about(this);
    about.setObjectName(QStringLiteral("about"));
    about.setWindowTitle(QStringLiteral("A propos de Brenmark"));
    about.setFont(font());
    about.setFixedSize(units_.ToPixels(235, 55));
    auto* icon = new QLabel(&about);
    icon->setPixmap(artwork::ProgramIcon(kIconAbout).pixmap(32, 32));
    icon->setGeometry(units_.ToPixels(11, 17, 20, 20));
    auto* text = new QLabel(QStringLiteral("Brenmark version 1.4"), &about);
    text->setGeometry(units_.ToPixels(40, 10, 119, 8));
    auto* ok = new QPushButton(QStringLiteral("OK"), &about);
    ok->setDefault(true);
    ok->setGeometry(units_.ToPixels(178, 7, 50, 14));
    connect(ok, &QPushButton::clicked, &about, &QDialog::accept);
    about.exec();
}

// ---- Platform.

namespace {

std::string Environment(const char* name) {
    const char* value = std::getenv(name);
    return value ? value : "";
}

}  // namespace

void ChooseHeadlessPlatformWhenNoDisplay() {
    const std::string asked = Environment("QT_QPA_PLATFORM");
    if (asked.empty() &&
        !HasDisplay(asked, Environment("DISPLAY"), Environment("WAYLAND_DISPLAY"))) {
        setenv("QT_QPA_PLATFORM", "offscreen", 1);
    }
}

bool RunningHeadless() {
    return !HasDisplay(QGuiApplication::platformName().toStdString(), Environment("DISPLAY"),
                       Environment("WAYLAND_DISPLAY"));
}

}  // namespace brenmark
