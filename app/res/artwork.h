// Brenmark's pictures, drawn in code: the terminal pictures (bitmaps 144, 146 and 151), the icons
// (128 and 134) and the frames of the download animation (149).
#ifndef BRENMARK_ARTWORK_H
#define BRENMARK_ARTWORK_H

#include <QIcon>
#include <QPainter>
#include <QPixmap>
#include <QRect>

namespace brenmark::artwork {

// Number of frames of the download animation.
inline constexpr int kAnimationFrames = 12;

// The picture of a terminal family at a size; a null pixmap for a bitmap the program does not
// hold (154).
QPixmap TerminalPicture(int bitmap, QSize size);
// Icon 128 (About box) or 134 (the window).
QIcon ProgramIcon(int icon);
// Frame `frame` (0 to kAnimationFrames - 1) of the animation, into `area`. Frame 0 is the still
// picture shown while no download runs.
void PaintAnimationFrame(QPainter& painter, const QRect& area, int frame);

}  // namespace brenmark::artwork

#endif
