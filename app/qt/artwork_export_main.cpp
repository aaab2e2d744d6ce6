// brenmark-artwork: Brenmark's pictures as files for the Windows resource compiler, painted by the
// same code the Linux program paints its dialog with. Writes into OUTDIR (made if missing), each
// file replaced whole:
//   bitmap144.bmp, bitmap146.bmp, bitmap151.bmp  the terminal pictures, 42 x 68 pixels
//   icon128.ico, icon134.ico                      the icons, 16, 32 and 48 pixels a side
//   animation149.bmp                              the animation's frames side by side, 312 x 78
//   each
// The bitmaps are laid over the dialog's background colour, as BMP has no transparency.
// Usage: brenmark-artwork OUTDIR
#include <QColor>
#include <QGuiApplication>
#include <QImage>
#include <QPainter>
#include <cstdio>
#include <filesystem>
#include <string>
#include <system_error>
#include <utility>
#include <vector>

#include "artwork.h"
#include "base/replace_file.h"
#include "brenmark/dialog_view.h"
#include "brenmark/picture_files.h"

namespace {

using brenmark::pictures::Picture;
using korvel::base::Expected;

// The picture control (28 x 42 dialog units) and the animation (208 x 48) in pixels, with the
// dialog font's base units of 6 x 13 at 96 dpi: x * 6 / 4 and y * 13 / 8, rounded.
constexpr int kPictureWidth = 42, kPictureHeight = 68;
constexpr int kFrameWidth = 312, kFrameHeight = 78;
const QColor kDialogBackground(212, 208, 200);

Picture FromImage(const QImage& image) {
    const QImage argb = image.convertToFormat(QImage::Format_ARGB32);
    Picture picture{argb.width(), argb.height(), {}};
    picture.pixels.reserve(static_cast<size_t>(argb.width()) * static_cast<size_t>(argb.height()));
    for (int y = 0; y < argb.height(); ++y) {
        const auto* row = reinterpret_cast<const QRgb*>(argb.constScanLine(y));
        picture.pixels.insert(picture.pixels.end(), row, row + argb.width());
    }
    return picture;
}

Picture TerminalBitmap(int bitmap) {
    QImage image(kPictureWidth, kPictureHeight, QImage::Format_RGB32);
    image.fill(kDialogBackground);
    QPainter painter(&image);
    painter.drawPixmap(
        0, 0, brenmark::artwork::TerminalPicture(bitmap, QSize(kPictureWidth, kPictureHeight)));
    painter.end();
    return FromImage(image);
}

Picture AnimationStrip() {
    QImage image(kFrameWidth * brenmark::artwork::kAnimationFrames, kFrameHeight,
                 QImage::Format_RGB32);
    image.fill(kDialogBackground);
    QPainter painter(&image);
    for (int frame = 0; frame < brenmark::artwork::kAnimationFrames; ++frame) {
        const QRect area(frame * kFrameWidth, 0, kFrameWidth, kFrameHeight);
        painter.setClipRect(area);  // a frame never paints into its neighbour
        brenmark::artwork::PaintAnimationFrame(painter, area, frame);
    }
    painter.end();
    return FromImage(image);
}

// The icon's images at 16, 32 and 48 pixels, or an empty list when the icon lacks one of them.
std::vector<Picture> IconImages(int icon) {
    const QIcon source = brenmark::artwork::ProgramIcon(icon);
    std::vector<Picture> images;
    for (int side : {16, 32, 48}) {
        const QImage image = source.pixmap(QSize(side, side)).toImage();
        if (image.size() != QSize(side, side)) return {};
        images.push_back(FromImage(image));
    }
    return images;
}

// Writes one file, or prints why not and answers false.
bool Write(const std::filesystem::path& folder, const char* name,
           const Expected<std::vector<uint8_t>>& bytes) {
    const std::string path = (folder / name).string();
    Expected<void> written =
        bytes ? korvel::base::ReplaceWholeFile(path, *bytes) : Expected<void>(bytes.error());
    if (written) return true;
    const korvel::base::Error& error = written.error();
    const std::string head = "cannot write " + path + ": ";
    std::string text;
    if (error.message.rfind(head, 0) == 0) {
        text = error.message;
    } else {
        text = head + (error.detail.empty() ? error.message : error.detail);
    }
    std::fprintf(stderr, "brenmark-artwork: %s\n", text.c_str());
    return false;
}

QtMessageHandler previousHandler = nullptr;

void DropSessionNotes(QtMsgType type, const QMessageLogContext& context, const QString& text) {
    if (type == QtWarningMsg && text.startsWith(QLatin1String("QStandardPaths:"))) return;
    if (previousHandler) previousHandler(type, context, text);
}

}  // namespace

int main(int argc, char** argv) {
    if (argc != 2 || argv[1][0] == '\0') {
        std::fprintf(stderr, "usage: brenmark-artwork OUTDIR\n");
        return 2;
    }
    const std::filesystem::path folder(argv[1]);
    std::error_code madeError;
    std::filesystem::create_directories(folder, madeError);
    if (madeError) {
        std::fprintf(stderr, "brenmark-artwork: cannot write %s: cannot make the folder %s: %s\n",
                     (folder / "bitmap144.bmp").string().c_str(), argv[1],
                     madeError.message().c_str());
        return 1;
    }

    // Nothing is shown: the pictures are painted the same without a display. A build has no
    // session, and the note that there is no runtime folder for one is not for its log.
    qputenv("QT_QPA_PLATFORM", "offscreen");
    previousHandler = qInstallMessageHandler(DropSessionNotes);
    QGuiApplication application(argc, argv);

    using brenmark::pictures::BmpFile;
    using brenmark::pictures::IcoFile;
    bool ok = Write(folder, "bitmap144.bmp", BmpFile(TerminalBitmap(brenmark::kBitmapOrb))) &&
              Write(folder, "bitmap146.bmp", BmpFile(TerminalBitmap(brenmark::kBitmapTal))) &&
              Write(folder, "bitmap151.bmp", BmpFile(TerminalBitmap(brenmark::kBitmapQuin)));
    for (auto [icon, name] : {std::pair{brenmark::kIconAbout, "icon128.ico"},
                              std::pair{brenmark::kIconProgram, "icon134.ico"}}) {
        if (!ok) break;
        const std::vector<Picture> images = IconImages(icon);
        ok = Write(folder, name,
                   images.empty() ? Expected<std::vector<uint8_t>>(korvel::base::Fail(
                                        "the icon has no 16, 32 and 48 pixel images"))
                                  : IcoFile(images));
    }
    ok = ok && Write(folder, "animation149.bmp", BmpFile(AnimationStrip()));
    return ok ? 0 : 1;
}
