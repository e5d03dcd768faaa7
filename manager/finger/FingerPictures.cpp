// SPDX-License-Identifier: Apache-2.0
#include "FingerPictures.h"

#include <QBitmap>
#include <QDir>
#include <QFileInfo>
#include <QImage>
#include <QImageReader>

#include <optional>

namespace kx {

namespace {

// The picture of `path`, or nothing when the file is missing or not a picture.
std::optional<QImage> readImage(const QString& path)
{
    if (!QFileInfo(path).isFile()) {
        return std::nullopt;
    }
    QImage image(path);
    if (image.isNull()) {
        return std::nullopt;
    }
    return image;
}

void loadPixmap(QPixmap& target, const QString& path)
{
    if (const auto image = readImage(path)) {
        target = QPixmap::fromImage(*image);
    }
}

// A bitmap carries no transparency: the colour of its bottom-left pixel is taken as the
// background, so the marker does not cover the fingertip under the button with a square.
void loadMarker(QPixmap& target, const QString& path)
{
    const auto image = readImage(path);
    if (!image) {
        return;
    }
    QPixmap pixmap = QPixmap::fromImage(*image);
    if (!image->hasAlphaChannel()) {
        const QColor background = image->pixelColor(0, image->height() - 1);
        pixmap.setMask(pixmap.createMaskFromColor(background, Qt::MaskInColor));
    }
    target = pixmap;
}

} // namespace

void FingerPictures::Load(const QString& folder)
{
    QString cleaned = folder;
    cleaned.replace(QLatin1Char('\\'), QLatin1Char('/'));
    const QDir dir(cleaned);
    loadPixmap(ok, dir.filePath(kOkFile));
    loadPixmap(error, dir.filePath(kErrorFile));
    loadPixmap(hand, dir.filePath(kHandFile));
    for (std::size_t i = 0; i < markers.size(); ++i) {
        loadMarker(markers[i], dir.filePath(kMarkerFiles[i]));
    }
    // The animation is played by QMovie from its file; a file whose first frame decodes
    // replaces the one held (a valid header alone is not enough).
    const QString animation = dir.filePath(kDemoFile);
    if (QFileInfo(animation).isFile() && !QImageReader(animation).read().isNull()) {
        demo = animation;
    }
}

} // namespace kx
