// SPDX-License-Identifier: Apache-2.0
#include "FingerHand.h"

#include "FingerPictures.h"

#include "common/LanguageTexts.h"

#include <QKeyEvent>
#include <QPainter>
#include <QToolButton>

#include <algorithm>

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

// The fingers as they lie in the picture, from left to right.
constexpr std::array<int, FingerHand::kFingers> kLeftToRight{5, 4, 3, 2, 1, 6, 7, 8, 9, 10};

// The language texts that name fingers 1 to 10.
constexpr std::array<LangKey, FingerHand::kFingers> kFingerNames{
    LangKey("F_Finger_Name1"), LangKey("F_Finger_Name2"), LangKey("F_Finger_Name3"), LangKey("F_Finger_Name4"),
    LangKey("F_Finger_Name5"), LangKey("F_Finger_Name6"), LangKey("F_Finger_Name7"), LangKey("F_Finger_Name8"),
    LangKey("F_Finger_Name9"), LangKey("F_Finger_Name10")};

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
        // Reached by Tab, moved between by the arrow keys, pressed by Space or Return.
        button->setFocusPolicy(Qt::StrongFocus);
        button->installEventFilter(this);
        // A faint ring shows where to click on a finger that has no marker yet; the finger with
        // the keyboard focus has a ring in the theme's highlight colour.
        button->setStyleSheet(QStringLiteral("QToolButton { border: 1px solid rgba(0, 0, 0, 70); border-radius: 9px;"
                                             " background: rgba(255, 255, 255, 110); }"
                                             "QToolButton:hover { background: rgba(255, 255, 255, 230); }"
                                             "QToolButton:focus { border: 2px solid palette(highlight); }"));
        button->move(kTips[slot(finger)] - QPoint(kButtonSize / 2, kButtonSize / 2));
        connect(button, &QToolButton::clicked, this, [this, finger] { emit fingerClicked(finger); });
        m_buttons[slot(finger)] = button;
    }
    // Tab and the arrow keys go from finger to finger as they lie, left to right.
    for (std::size_t i = 0; i + 1 < kLeftToRight.size(); ++i) {
        setTabOrder(m_buttons[slot(kLeftToRight[i])], m_buttons[slot(kLeftToRight[i + 1])]);
    }
    applyTexts();
}

void FingerHand::applyTexts()
{
    for (int finger = 1; finger <= kFingers; ++finger) {
        const QString name = Language().text(kFingerNames[slot(finger)]);
        m_buttons[slot(finger)]->setAccessibleName(name);
        m_buttons[slot(finger)]->setToolTip(name);
    }
}

bool FingerHand::eventFilter(QObject* watched, QEvent* event)
{
    auto* button = qobject_cast<QToolButton*>(watched);
    if (!button || event->type() != QEvent::KeyPress) {
        return QWidget::eventFilter(watched, event);
    }
    const int key = static_cast<QKeyEvent*>(event)->key();
    if (key == Qt::Key_Return || key == Qt::Key_Enter) {
        button->click();
        return true;
    }
    const int step = key == Qt::Key_Left || key == Qt::Key_Up      ? -1
                     : key == Qt::Key_Right || key == Qt::Key_Down ? 1
                                                                   : 0;
    if (step == 0) {
        return QWidget::eventFilter(watched, event);
    }
    const int finger = button->property("Tag").toInt();
    const auto at = std::find(kLeftToRight.begin(), kLeftToRight.end(), finger);
    const auto index = static_cast<int>(at - kLeftToRight.begin()) + step;
    if (at != kLeftToRight.end() && index >= 0 && index < kFingers) {
        m_buttons[slot(kLeftToRight[static_cast<std::size_t>(index)])]->setFocus(Qt::TabFocusReason);
    }
    return true;
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
