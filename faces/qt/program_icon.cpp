#include "faces/qt/program_icon.h"

#include <QPainter>
#include <QPainterPath>

namespace qks::qt {

QImage ProgramIconImage(int size) {
    QImage image(size, size, QImage::Format_ARGB32_Premultiplied);
    image.fill(Qt::transparent);
    QPainter p(&image);
    p.setRenderHint(QPainter::Antialiasing);
    p.scale(size / 64.0, size / 64.0);   // drawn on a 64-unit grid

    // The enclosure.
    p.setPen(QPen(QColor(0x3a, 0x3f, 0x47), 2));
    p.setBrush(QColor(0xb8, 0xc0, 0xcc));
    p.drawRoundedRect(QRectF(4, 14, 56, 44), 6, 6);
    p.setBrush(QColor(0x2e, 0xcc, 0x40));   // its activity lamp
    p.setPen(Qt::NoPen);
    p.drawEllipse(QRectF(49, 49, 5, 5));

    // The bridge chip with its pins.
    p.setBrush(QColor(0x8a, 0x92, 0x9e));
    for (int i = 0; i < 4; ++i) {
        const double at = 27 + i * 6;
        p.drawRect(QRectF(12, at, 6, 2.5));
        p.drawRect(QRectF(46, at, 6, 2.5));
    }
    p.setPen(QPen(QColor(0x11, 0x14, 0x18), 1));
    p.setBrush(QColor(0x24, 0x29, 0x31));
    p.drawRoundedRect(QRectF(18, 24, 28, 26), 2, 2);
    p.setBrush(QColor(0x55, 0x5c, 0x66));
    p.drawEllipse(QRectF(21, 43.5, 3.5, 3.5));   // pin-1 mark

    // The firmware going in.
    QPainterPath arrow;
    arrow.moveTo(28, 2);
    arrow.lineTo(36, 2);
    arrow.lineTo(36, 22);
    arrow.lineTo(44, 22);
    arrow.lineTo(32, 38);
    arrow.lineTo(20, 22);
    arrow.lineTo(28, 22);
    arrow.closeSubpath();
    p.setPen(QPen(QColor(0x0b, 0x5e, 0x1c), 1.5));
    p.setBrush(QColor(0x2e, 0xb8, 0x4a));
    p.drawPath(arrow);
    return image;
}

QIcon ProgramIcon() {
    QIcon icon;
    for (int size : {16, 24, 32, 48, 64, 128, 256})
        icon.addPixmap(QPixmap::fromImage(ProgramIconImage(size)));
    return icon;
}

}  // namespace qks::qt
