// SPDX-License-Identifier: Apache-2.0
#include "FingerHand.h"

#include "FingerPictures.h"

#include <QPainter>
#include <QToolButton>

namespace kx {

namespace {

constexpr int kButtonSize = 20;
constexpr int kMarkerSize = 16;

// The fingertip centres in the hand picture (scripts/make-finger-pictures draws the hands), for
// fingers 1 to 10. The left hand lies on the left with its thumb towards the middle; the right
// hand is its mirror image.
constexpr std::array<QPoint, FingerHand::kFingers> kTips{{
    {144, 108}, // left thumb
    {110, 46},  // left index finger
    {86, 34},   // left middle finger
    {62, 44},   // left ring finger
    {38, 68},   // left little finger
    {176, 108}, // right thumb
    {210, 46},  // right index finger
    {234, 34},  // right middle finger
    {258, 44},  // right ring finger
    {282, 68},  // right little finger
}};

bool validFinger(int finger)
{
    return finger >= 1 && finger <= FingerHand::kFingers;
}

std::size_t slot(int finger)
{
    return static_cast<std::size_t>(finger - 1);
}

} // namespace

FingerHand::FingerHand(QWidget* parent) : QWidget(parent)
{
    setFixedSize(kHandSize);
    m_markers.fill(kNoMarker);
    for (int finger = 1; finger <= kFingers; ++finger) {
        auto* button = new QToolButton(this);
        button->setObjectName(QStringLiteral("SpeedButton%1").arg(finger));
        button->setProperty("Tag", finger);
        button->setFixedSize(kButtonSize, kButtonSize);
        button->setIconSize(QSize(kMarkerSize, kMarkerSize));
        button->setAutoRaise(true);
        button->setCursor(Qt::PointingHandCursor);
        button->setFocusPolicy(Qt::NoFocus);
        // A faint ring shows where to click on a finger that has no marker yet.
        button->setStyleSheet(QStringLiteral("QToolButton { border: 1px solid rgba(0, 0, 0, 70); border-radius: 9px;"
                                             " background: rgba(255, 255, 255, 110); }"
                                             "QToolButton:hover { background: rgba(255, 255, 255, 230); }"));
        button->move(kTips[slot(finger)] - QPoint(kButtonSize / 2, kButtonSize / 2));
        connect(button, &QToolButton::clicked, this, [this, finger] { emit fingerClicked(finger); });
        m_buttons[slot(finger)] = button;
    }
}

void FingerHand::setPictures(const FingerPictures& pictures)
{
    m_hand = pictures.hand;
    m_markerPictures = pictures.markers;
    for (int finger = 1; finger <= kFingers; ++finger) {
        showMarker(finger);
    }
    update();
}

void FingerHand::setMarker(int finger, int marker)
{
    if (!validFinger(finger)) {
        return;
    }
    const bool known = marker == FingerPictures::kEnrolledMarker || marker == FingerPictures::kRecognisedMarker;
    m_markers[slot(finger)] = known ? marker : kNoMarker;
    showMarker(finger);
}

int FingerHand::marker(int finger) const
{
    return validFinger(finger) ? m_markers[slot(finger)] : kNoMarker;
}

void FingerHand::clearMarkers()
{
    for (int finger = 1; finger <= kFingers; ++finger) {
        setMarker(finger, kNoMarker);
    }
}

std::array<int, FingerHand::kFingers> FingerHand::markers() const
{
    return m_markers;
}

void FingerHand::setMarkers(const std::array<int, kFingers>& markers)
{
    for (int finger = 1; finger <= kFingers; ++finger) {
        setMarker(finger, markers[slot(finger)]);
    }
}

QToolButton* FingerHand::button(int finger) const
{
    return validFinger(finger) ? m_buttons[slot(finger)] : nullptr;
}

void FingerHand::showMarker(int finger)
{
    const int marker = m_markers[slot(finger)];
    QToolButton* button = m_buttons[slot(finger)];
    if (marker == kNoMarker) {
        button->setIcon(QIcon());
    } else {
        button->setIcon(QIcon(m_markerPictures[static_cast<std::size_t>(marker)]));
    }
}

void FingerHand::paintEvent(QPaintEvent*)
{
    if (m_hand.isNull()) {
        return;
    }
    // The fingertip positions belong to the picture's own size; another size is stretched to it.
    QPainter painter(this);
    painter.setRenderHint(QPainter::SmoothPixmapTransform);
    painter.drawPixmap(QRect(QPoint(0, 0), kHandSize), m_hand);
}

} // namespace kx
