// SPDX-License-Identifier: Apache-2.0
#pragma once

#include <QImage>
#include <QPixmap>
#include <QWidget>

namespace kx {

// The banner at the top of the manager's window: a background picture, or a blue gradient when
// there is none, with the program's title and a subtitle drawn over it as text. The text is
// drawn at the device's resolution and in the language in use, so it stays sharp at any scale;
// the picture is scaled smoothly to the device's pixels once per size.
class BannerView : public QWidget
{
    Q_OBJECT

public:
    explicit BannerView(QWidget* parent = nullptr);

    // Loads the background from `path`; a missing or unreadable file leaves the gradient.
    void setBackground(const QString& path);
    bool hasBackground() const { return !m_background.isNull(); }
    // The title also names the banner for screen readers.
    void setTexts(const QString& title, const QString& subtitle);
    QString title() const { return m_title; }
    QString subtitle() const { return m_subtitle; }
    // The fonts the texts are drawn in, from the widget's font at sizes that suit the banner.
    QFont titleFont() const;
    QFont subtitleFont() const;

protected:
    void paintEvent(QPaintEvent* event) override;

private:
    // The room the texts have: from their left margin to as far short of the square.
    int textWidth() const;
    // The background scaled to `pixels`, kept until the size or ratio changes.
    const QPixmap& scaledBackground(const QSize& pixels, qreal ratio);

    QImage m_background;
    QPixmap m_scaled;
    QString m_title;
    QString m_subtitle;
};

} // namespace kx
