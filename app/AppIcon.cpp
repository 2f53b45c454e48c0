#include "AppIcon.h"

#include <QPainter>
#include <QPainterPath>

// A plug on a blue tile, with the two wires of a CAN bus leaving it.
QImage DrawAppIconImage() {
    QImage image(32, 32, QImage::Format_ARGB32);
    image.fill(Qt::transparent);
    QPainter p(&image);
    p.setRenderHint(QPainter::Antialiasing);

    QLinearGradient tile(0, 0, 0, 32);
    tile.setColorAt(0, QColor(0x2f, 0x6f, 0xc9));
    tile.setColorAt(1, QColor(0x17, 0x3e, 0x7a));
    p.setPen(QPen(QColor(0x10, 0x2a, 0x55), 1));
    p.setBrush(tile);
    p.drawRoundedRect(QRectF(0.5, 0.5, 31, 31), 6, 6);

    // Plug body and its two pins.
    p.setPen(Qt::NoPen);
    p.setBrush(QColor(0xf2, 0xf2, 0xf2));
    p.drawRoundedRect(QRectF(5, 10, 11, 12), 2, 2);
    p.drawRect(QRectF(2, 12.5, 3, 2));
    p.drawRect(QRectF(2, 17.5, 3, 2));

    // CAN high and CAN low, running to the right edge.
    QPen high(QColor(0xff, 0xc8, 0x2e), 2);
    QPen low(QColor(0x5c, 0xd6, 0x6b), 2);
    QPainterPath h;
    h.moveTo(16, 13);
    h.cubicTo(21, 13, 21, 9, 29, 9);
    QPainterPath l;
    l.moveTo(16, 19);
    l.cubicTo(21, 19, 21, 23, 29, 23);
    p.setBrush(Qt::NoBrush);
    p.setPen(high);
    p.drawPath(h);
    p.setPen(low);
    p.drawPath(l);
    p.end();
    return image;
}

QIcon AppIcon() { return QIcon(QPixmap::fromImage(DrawAppIconImage())); }
