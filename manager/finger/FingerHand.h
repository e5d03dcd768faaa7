// SPDX-License-Identifier: Apache-2.0
#pragma once

#include <QPixmap>
#include <QWidget>

#include <array>

class QToolButton;

namespace kx {

class FingerPictures;

// Both hands, palms down, with a small button on each fingertip. Fingers are numbered as the
// key numbers them: 1 to 5 the left thumb, index, middle, ring and little finger, 6 to 10 the
// same fingers of the right hand. A button shows the finger's marker: none, enrolled, or
// recognised by a test. The buttons are named "SpeedButton1" to "SpeedButton10" and carry their
// finger number as the "Tag" property.
class FingerHand : public QWidget
{
    Q_OBJECT

public:
    static constexpr int kFingers = 10;
    static constexpr int kNoMarker = -1;
    // The size of the hand picture the fingertip positions belong to.
    static constexpr QSize kHandSize{320, 200};

    explicit FingerHand(QWidget* parent = nullptr);

    // Takes the hand and the two marker pictures; the buttons show their markers again.
    void setPictures(const FingerPictures& pictures);

    // `marker`: kNoMarker, FingerPictures::kEnrolledMarker or kRecognisedMarker; other values
    // read as kNoMarker. Fingers outside 1 to 10 are ignored.
    void setMarker(int finger, int marker);
    // The marker of finger 1 to 10; kNoMarker for other numbers.
    int marker(int finger) const;
    void clearMarkers();
    // The markers of fingers 1 to 10 at indices 0 to 9.
    std::array<int, kFingers> markers() const;
    void setMarkers(const std::array<int, kFingers>& markers);

    // The button of finger 1 to 10, nullptr for other numbers.
    QToolButton* button(int finger) const;

    // Names the buttons after their fingers in the current language (for screen readers and as
    // tool tips).
    void applyTexts();

    QSize sizeHint() const override { return kHandSize; }

signals:
    void fingerClicked(int finger);

protected:
    void paintEvent(QPaintEvent* event) override;
    // The arrow keys move between the fingers; Return presses the finger's button.
    bool eventFilter(QObject* watched, QEvent* event) override;

private:
    void showMarker(int finger);

    std::array<QToolButton*, kFingers> m_buttons{};
    std::array<int, kFingers> m_markers{};
    std::array<QPixmap, 2> m_markerPictures;
    QPixmap m_hand;
};

} // namespace kx
