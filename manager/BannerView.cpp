// SPDX-License-Identifier: Apache-2.0
#include "BannerView.h"

#include <QFileInfo>
#include <QLinearGradient>
#include <QPainter>

#include <cmath>

namespace kx {

namespace {

// The gradient of the shipped picture, top to bottom, and its pale square at the right.
const QColor kTopColour(0x0b, 0x3d, 0x92);
const QColor kBottomColour(0x1f, 0x88, 0xe4);
const QColor kSquareColour(255, 255, 255, 84);
constexpr int kSquareSide = 60;
constexpr int kSquareRight = 24; // from the right edge
constexpr qreal kSquareRadius = 10;

// The texts' place and sizes in logical pixels, for a banner 85 pixels high.
constexpr int kTextLeft = 26;
constexpr int kTitleBaseline = 51;
constexpr int kSubtitleBaseline = 73;
constexpr int kTitlePixels = 26;
constexpr int kSubtitlePixels = 13;
const QColor kTitleColour(Qt::white);
const QColor kSubtitleColour(0xdd, 0xe8, 0xf6);

// `font` at `pixels` pixels, or smaller where `text` would not fit in `width` at that size.
QFont fitted(QFont font, int pixels, const QString& text, int width)
{
    font.setPixelSize(pixels);
    const int advance = QFontMetrics(font).horizontalAdvance(text);
    if (advance > width && width > 0) {
        font.setPixelSize(std::max(1, static_cast<int>(std::floor(pixels * qreal(width) / advance))));
    }
    return font;
}

} // namespace

BannerView::BannerView(QWidget* parent) : QWidget(parent)
{
    // A picture with a name: screen readers announce it, the keyboard passes it by.
    setFocusPolicy(Qt::NoFocus);
    setAttribute(Qt::WA_OpaquePaintEvent);
}

void BannerView::setBackground(const QString& path)
{
    m_background = QFileInfo::exists(path) ? QImage(path) : QImage();
    m_scaled = QPixmap();
    update();
}

void BannerView::setTexts(const QString& title, const QString& subtitle)
{
    m_title = title;
    m_subtitle = subtitle;
    setAccessibleName(title);
    setAccessibleDescription(subtitle);
    update();
}

int BannerView::textWidth() const
{
    return width() - kSquareRight - kSquareSide - 2 * kTextLeft;
}

QFont BannerView::titleFont() const
{
    return fitted(font(), kTitlePixels, m_title, textWidth());
}

QFont BannerView::subtitleFont() const
{
    return fitted(font(), kSubtitlePixels, m_subtitle, textWidth());
}

const QPixmap& BannerView::scaledBackground(const QSize& pixels, qreal ratio)
{
    if (m_scaled.size() != pixels || m_scaled.devicePixelRatio() != ratio) {
        m_scaled = QPixmap::fromImage(m_background.scaled(pixels, Qt::IgnoreAspectRatio, Qt::SmoothTransformation)
                                          .convertToFormat(QImage::Format_RGB32));
        m_scaled.setDevicePixelRatio(ratio);
    }
    return m_scaled;
}

void BannerView::paintEvent(QPaintEvent*)
{
    QPainter painter(this);
    // The ratio of the device painted on: the screen's, or that of an image the banner renders
    // into.
    const qreal ratio = painter.device()->devicePixelRatioF();
    if (!m_background.isNull()) {
        const QSize pixels(static_cast<int>(std::ceil(width() * ratio)), static_cast<int>(std::ceil(height() * ratio)));
        painter.drawPixmap(0, 0, scaledBackground(pixels, ratio));
    } else {
        QLinearGradient gradient(0, 0, 0, height());
        gradient.setColorAt(0, kTopColour);
        gradient.setColorAt(1, kBottomColour);
        painter.fillRect(rect(), gradient);
        painter.setRenderHint(QPainter::Antialiasing);
        painter.setPen(Qt::NoPen);
        painter.setBrush(kSquareColour);
        const int top = (height() - kSquareSide) / 2;
        painter.drawRoundedRect(QRectF(width() - kSquareRight - kSquareSide, top, kSquareSide, kSquareSide),
                                kSquareRadius, kSquareRadius);
    }
    painter.setRenderHint(QPainter::TextAntialiasing);
    painter.setFont(titleFont());
    painter.setPen(kTitleColour);
    painter.drawText(QPoint(kTextLeft, kTitleBaseline), m_title);
    painter.setFont(subtitleFont());
    painter.setPen(kSubtitleColour);
    painter.drawText(QPoint(kTextLeft, kSubtitleBaseline), m_subtitle);
}

} // namespace kx
