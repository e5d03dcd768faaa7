// SPDX-License-Identifier: Apache-2.0
#pragma once

#include <QPixmap>
#include <QString>

#include <array>

namespace kx {

// The pictures of the fingerprint page and its dialogs. One folder holds a set (res/Finger for
// fingerprint keys, res/FingerVein for finger-vein keys) under fixed file names; loading another
// folder replaces only the pictures that folder has.
class FingerPictures
{
public:
    // Indices of `markers`, and the marker values of the hand's buttons.
    static constexpr int kEnrolledMarker = 0;
    static constexpr int kRecognisedMarker = 1;

    static inline const QString kOkFile = QStringLiteral("FingerOK.png");
    static inline const QString kErrorFile = QStringLiteral("FingerError.png");
    static inline const QString kHandFile = QStringLiteral("FingerHand.png");
    static inline const QString kDemoFile = QStringLiteral("FingerDemo.gif");
    static inline const std::array<QString, 2> kMarkerFiles{QStringLiteral("F1.bmp"), QStringLiteral("F2.bmp")};

    // Shown after an operation succeeded.
    QPixmap ok;
    // Shown after an operation failed.
    QPixmap error;
    // Drawn behind the ten finger buttons.
    QPixmap hand;
    // The animation "put your finger on the sensor", played with QMovie; empty when none.
    QString demo;
    // The button pictures: an enrolled finger, a finger a test recognised.
    std::array<QPixmap, 2> markers;

    // Reads the set from `folder` (back slashes count as slashes). A file that is missing or does
    // not decode leaves the picture held before; nothing is reported. A marker bitmap without an
    // alpha channel gets the colour of its bottom-left pixel as its transparent colour.
    void Load(const QString& folder);
};

} // namespace kx
