#include "icons.h"

#include <QPainter>
#include <QPainterPath>

namespace lorvent {

QPixmap CardReaderPixmap(int size) {
    QPixmap pixmap(size, size);
    pixmap.fill(Qt::transparent);
    QPainter painter(&pixmap);
    painter.setRenderHint(QPainter::Antialiasing);
    painter.scale(size / 16.0, size / 16.0);

    // The card: a blue rounded rectangle with a gold chip.
    painter.setPen(QPen(QColor(0x1d, 0x3f, 0x7a), 1));
    painter.setBrush(QColor(0x3a, 0x78, 0xd8));
    painter.drawRoundedRect(QRectF(0.5, 5.5, 11, 8), 1.5, 1.5);
    painter.setPen(Qt::NoPen);
    painter.setBrush(QColor(0xf2, 0xc1, 0x4e));
    painter.drawRect(QRectF(2, 8, 3, 2.5));

    // Two waves around the card's upper right corner.
    painter.setBrush(Qt::NoBrush);
    painter.setPen(QPen(QColor(0x2e, 0x9e, 0x4f), 1.4, Qt::SolidLine, Qt::RoundCap));
    for (double radius : {2.5, 5.0})
        painter.drawArc(QRectF(10 - radius, 6 - radius, 2 * radius, 2 * radius), 0, 90 * 16);
    return pixmap;
}

QIcon CardReaderIcon() {
    QIcon icon;
    icon.addPixmap(CardReaderPixmap(16));
    return icon;
}

} // namespace lorvent
