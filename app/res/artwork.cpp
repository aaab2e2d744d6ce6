#include "artwork.h"

#include <QLinearGradient>
#include <QPainterPath>
#include <cmath>

#include "brenmark/dialog_view.h"

namespace brenmark::artwork {
namespace {

const QColor kOutline(40, 40, 48);
const QColor kScreen(150, 190, 150);
const QColor kKey(225, 225, 230);

// A handheld reader: tall body, screen, keypad, card slot at the top (the "Orb" family).
void PaintOrb(QPainter& p, const QRectF& r) {
    QLinearGradient body(r.topLeft(), r.topRight());
    body.setColorAt(0, QColor(70, 90, 140));
    body.setColorAt(1, QColor(35, 50, 95));
    p.setPen(QPen(kOutline, 1));
    p.setBrush(body);
    p.drawRoundedRect(r.adjusted(1, 3, -1, -1), r.width() * 0.18, r.width() * 0.18);
    p.setBrush(QColor(20, 20, 20));
    p.drawRect(QRectF(r.left() + r.width() * 0.2, r.top(), r.width() * 0.6, r.height() * 0.06));
    p.setBrush(kScreen);
    p.drawRect(QRectF(r.left() + r.width() * 0.18, r.top() + r.height() * 0.14, r.width() * 0.64,
                      r.height() * 0.22));
    p.setBrush(kKey);
    const double kw = r.width() * 0.16, kh = r.height() * 0.07;
    for (int row = 0; row < 4; ++row) {
        for (int col = 0; col < 3; ++col) {
            p.drawRect(QRectF(r.left() + r.width() * (0.2 + col * 0.22),
                              r.top() + r.height() * (0.45 + row * 0.12), kw, kh));
        }
    }
}

// A counter terminal with its printer: wide base, paper roll at the back (the "Tal" family).
void PaintTal(QPainter& p, const QRectF& r) {
    p.setPen(QPen(kOutline, 1));
    p.setBrush(Qt::white);
    p.drawRect(QRectF(r.left() + r.width() * 0.25, r.top() + 1, r.width() * 0.5, r.height() * 0.2));
    QLinearGradient body(r.topLeft(), r.bottomLeft());
    body.setColorAt(0, QColor(120, 120, 125));
    body.setColorAt(1, QColor(60, 60, 66));
    p.setBrush(body);
    QPainterPath shape;
    shape.moveTo(r.left() + r.width() * 0.1, r.top() + r.height() * 0.16);
    shape.lineTo(r.right() - r.width() * 0.1, r.top() + r.height() * 0.16);
    shape.lineTo(r.right() - 1, r.bottom() - 1);
    shape.lineTo(r.left() + 1, r.bottom() - 1);
    shape.closeSubpath();
    p.drawPath(shape);
    p.setBrush(kScreen);
    p.drawRect(QRectF(r.left() + r.width() * 0.22, r.top() + r.height() * 0.24, r.width() * 0.56,
                      r.height() * 0.18));
    p.setBrush(kKey);
    for (int row = 0; row < 3; ++row) {
        for (int col = 0; col < 4; ++col) {
            p.drawRect(QRectF(r.left() + r.width() * (0.14 + col * 0.19),
                              r.top() + r.height() * (0.52 + row * 0.14), r.width() * 0.13,
                              r.height() * 0.08));
        }
    }
}

// A pin pad on a short stand (the "Quin" family and any other reader).
void PaintQuin(QPainter& p, const QRectF& r) {
    p.setPen(QPen(kOutline, 1));
    p.setBrush(QColor(170, 40, 40));
    p.drawRoundedRect(QRectF(r.left() + 2, r.top() + 2, r.width() - 4, r.height() * 0.78), 4, 4);
    p.setBrush(QColor(90, 90, 90));
    p.drawRect(QRectF(r.left() + r.width() * 0.35, r.top() + r.height() * 0.8, r.width() * 0.3,
                      r.height() * 0.12));
    p.drawRect(QRectF(r.left() + r.width() * 0.15, r.bottom() - r.height() * 0.08, r.width() * 0.7,
                      r.height() * 0.08 - 1));
    p.setBrush(kScreen);
    p.drawRect(QRectF(r.left() + r.width() * 0.2, r.top() + r.height() * 0.08, r.width() * 0.6,
                      r.height() * 0.16));
    p.setBrush(kKey);
    for (int row = 0; row < 3; ++row) {
        for (int col = 0; col < 3; ++col) {
            p.drawEllipse(QRectF(r.left() + r.width() * (0.2 + col * 0.22),
                                 r.top() + r.height() * (0.32 + row * 0.14), r.width() * 0.15,
                                 r.width() * 0.15));
        }
    }
}

void PaintComputer(QPainter& p, const QRectF& r) {
    p.setPen(QPen(kOutline, 1));
    p.setBrush(QColor(200, 196, 186));
    p.drawRect(r.adjusted(0, 0, 0, -r.height() * 0.25));
    p.setBrush(QColor(30, 60, 120));
    p.drawRect(
        r.adjusted(r.width() * 0.08, r.height() * 0.08, -r.width() * 0.08, -r.height() * 0.33));
    p.setBrush(QColor(200, 196, 186));
    p.drawRect(QRectF(r.left() + r.width() * 0.1, r.bottom() - r.height() * 0.15, r.width() * 0.8,
                      r.height() * 0.15));
}

}  // namespace

QPixmap TerminalPicture(int bitmap, QSize size) {
    if (bitmap == kBitmapNone) return QPixmap();
    QPixmap pixmap(size);
    pixmap.fill(Qt::transparent);
    QPainter painter(&pixmap);
    painter.setRenderHint(QPainter::Antialiasing);
    const QRectF area(0, 0, size.width() - 1, size.height() - 1);
    switch (bitmap) {
        case kBitmapOrb:
            PaintOrb(painter, area);
            break;
        case kBitmapTal:
            PaintTal(painter, area);
            break;
        default:
            PaintQuin(painter, area);
            break;
    }
    return pixmap;
}

QIcon ProgramIcon(int icon) {
    QIcon result;
    for (int side : {16, 32, 48}) {
        QPixmap pixmap(side, side);
        pixmap.fill(Qt::transparent);
        QPainter painter(&pixmap);
        painter.setRenderHint(QPainter::Antialiasing);
        // Icon 134: a reader with a downward arrow; icon 128: the reader alone, for the About box.
        PaintOrb(painter, QRectF(side * 0.25, 0, side * 0.5, side - 1));
        if (icon == kIconProgram) {
            painter.setPen(Qt::NoPen);
            painter.setBrush(QColor(230, 160, 20));
            QPainterPath arrow;
            arrow.moveTo(side * 0.55, side * 0.45);
            arrow.lineTo(side * 0.95, side * 0.45);
            arrow.lineTo(side * 0.75, side * 0.75);
            arrow.closeSubpath();
            arrow.addRect(QRectF(side * 0.67, side * 0.15, side * 0.16, side * 0.3));
            painter.drawPath(arrow);
        }
        result.addPixmap(pixmap);
    }
    return result;
}

void PaintAnimationFrame(QPainter& p, const QRect& area, int frame) {
    p.save();
    p.setRenderHint(QPainter::Antialiasing);
    const QRectF r(area);
    const double side = r.height() * 0.8;
    const QRectF computer(r.left() + r.width() * 0.04, r.top() + r.height() * 0.1, side * 1.1,
                          side);
    const QRectF reader(r.right() - r.width() * 0.04 - side * 0.6, r.top() + r.height() * 0.1,
                        side * 0.6, side);
    PaintComputer(p, computer);
    PaintOrb(p, reader);
    // The cable, and a page of the program travelling along it.
    const QPointF from(computer.right() + 4, computer.center().y());
    const QPointF to(reader.left() - 4, reader.center().y());
    p.setPen(QPen(QColor(90, 90, 90), 1, Qt::DashLine));
    p.drawLine(from, to);
    if (frame > 0) {
        const double t = static_cast<double>(frame) / kAnimationFrames;
        const QPointF at = from + (to - from) * t;
        const double h = r.height() * 0.35;
        p.setPen(QPen(kOutline, 1));
        p.setBrush(Qt::white);
        p.drawRect(QRectF(at.x() - h * 0.35,
                          at.y() - h * 0.5 - r.height() * 0.15 * (1 - 2 * std::abs(t - 0.5)),
                          h * 0.7, h));
        p.setPen(QPen(QColor(30, 60, 120), 1));
        for (int line = 1; line <= 3; ++line) {
            const double y =
                at.y() - h * 0.5 + h * line / 4.5 - r.height() * 0.15 * (1 - 2 * std::abs(t - 0.5));
            p.drawLine(QPointF(at.x() - h * 0.22, y), QPointF(at.x() + h * 0.22, y));
        }
    }
    p.restore();
}

}  // namespace brenmark::artwork
