// SPDX-License-Identifier: Apache-2.0
#include "TreeIcons.h"

#include <QPainter>
#include <QPainterPath>
#include <QPixmap>

namespace kx {

namespace {

constexpr int kSize = 32;

QPixmap canvas()
{
    QPixmap pixmap(kSize, kSize);
    pixmap.fill(Qt::transparent);
    return pixmap;
}

void drawLock(QPainter& p, bool open, const QColor& body)
{
    p.setPen(QPen(QColor(80, 80, 80), 3));
    p.setBrush(Qt::NoBrush);
    if (open) {
        p.drawArc(QRect(5, 3, 14, 16), 0 * 16, 180 * 16);
    } else {
        p.drawArc(QRect(9, 3, 14, 16), 0 * 16, 180 * 16);
    }
    p.setPen(Qt::NoPen);
    p.setBrush(body);
    p.drawRoundedRect(QRect(6, 13, 20, 16), 3, 3);
    p.setBrush(Qt::white);
    p.drawEllipse(QPoint(16, 20), 2, 2);
}

void drawFinger(QPainter& p, const QColor& colour)
{
    p.setPen(QPen(colour, 2));
    p.setBrush(Qt::NoBrush);
    for (int r = 3; r <= 13; r += 4) {
        p.drawArc(QRect(16 - r, 17 - r, 2 * r, 2 * r + 4), 20 * 16, 140 * 16);
    }
    p.drawLine(16, 17, 16, 28);
}

} // namespace

QIcon TreeIcon(int imageIndex)
{
    QPixmap pixmap = canvas();
    QPainter p(&pixmap);
    p.setRenderHint(QPainter::Antialiasing);
    switch (imageIndex) {
    case 3: // certificates: a sheet with a seal
        p.setPen(QPen(QColor(90, 90, 90), 1.5));
        p.setBrush(QColor(250, 250, 240));
        p.drawRect(QRect(5, 3, 20, 25));
        p.drawLine(9, 9, 21, 9);
        p.drawLine(9, 13, 21, 13);
        p.setPen(Qt::NoPen);
        p.setBrush(QColor(211, 47, 47));
        p.drawEllipse(QPoint(20, 23), 6, 6);
        break;
    case 4: // change PIN: a closed lock
        drawLock(p, false, QColor(251, 140, 0));
        break;
    case 7: // about: an "i" in a circle
        p.setPen(Qt::NoPen);
        p.setBrush(QColor(30, 136, 229));
        p.drawEllipse(QRect(3, 3, 26, 26));
        p.setBrush(Qt::white);
        p.drawEllipse(QPoint(16, 9), 2, 2);
        p.drawRoundedRect(QRect(14, 13, 4, 12), 1, 1);
        break;
    case 9: { // key list: a USB key
        p.setPen(Qt::NoPen);
        p.setBrush(QColor(55, 71, 79));
        p.drawRoundedRect(QRect(4, 10, 18, 12), 3, 3);
        p.setBrush(QColor(176, 190, 197));
        p.drawRect(QRect(22, 12, 7, 8));
        p.setBrush(QColor(102, 187, 106));
        p.drawEllipse(QPoint(9, 16), 2, 2);
        break;
    }
    case 10: // system information: a screen
        p.setPen(QPen(QColor(69, 90, 100), 2));
        p.setBrush(QColor(144, 202, 249));
        p.drawRoundedRect(QRect(3, 5, 26, 17), 2, 2);
        p.drawLine(16, 22, 16, 27);
        p.drawLine(10, 27, 22, 27);
        break;
    case 11: { // key name: a pencil
        p.setPen(Qt::NoPen);
        p.setBrush(QColor(255, 193, 7));
        QPainterPath path;
        path.moveTo(6, 26);
        path.lineTo(8, 19);
        path.lineTo(22, 5);
        path.lineTo(27, 10);
        path.lineTo(13, 24);
        path.closeSubpath();
        p.drawPath(path);
        p.setBrush(QColor(80, 80, 80));
        p.drawEllipse(QPoint(7, 25), 2, 2);
        break;
    }
    case 18: // fingerprint
        drawFinger(p, QColor(0, 121, 107));
        break;
    case 22: // remote unlock: an open lock
        drawLock(p, true, QColor(67, 160, 71));
        break;
    case 23: // finger vein
        drawFinger(p, QColor(198, 40, 40));
        break;
    default:
        break;
    }
    p.end();
    return QIcon(pixmap);
}

} // namespace kx
