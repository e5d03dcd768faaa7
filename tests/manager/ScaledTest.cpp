// SPDX-License-Identifier: Apache-2.0
// The manager at twice the pixels per logical pixel (QT_SCALE_FACTOR=2) under a dark palette:
// the banner's texts are drawn at the screen's resolution in the language in use, and the system
// check shows its values whole.
#include "ManagerFixture.h"

#include "common/LanguageTexts.h"
#include "manager/BannerView.h"
#include "manager/TMainForm.h"

#include <QAccessible>
#include <QApplication>
#include <QPalette>
#include <QTest>
#include <QTreeWidget>

using namespace kx;
using test::child;
using test::ManagerWorld;
using test::RecordingPresenter;

namespace {

const QString kLanguages = QStringLiteral(KX_SOURCE_DIR "/resources/Languages/");
const QString kBannerPicture = QStringLiteral(KX_SOURCE_DIR "/resources/res/top_img.jpg");

// How many pairs of neighbouring pixels in a row of `image`, left of `right`, differ in brightness
// by more than `step`: a glyph drawn at the image's resolution has many such edges; one drawn at
// half of it and scaled up has its edges spread over two pixels, each half as steep.
int steepEdges(const QImage& image, int right, int step)
{
    int count = 0;
    for (int y = 0; y < image.height(); ++y) {
        for (int x = 0; x + 1 < std::min(right, image.width()); ++x) {
            count += std::abs(qGray(image.pixel(x, y)) - qGray(image.pixel(x + 1, y))) > step ? 1 : 0;
        }
    }
    return count;
}

// The pixels of `image` at least as bright as `gray`, left of `right`.
int brightPixels(const QImage& image, int right, int gray)
{
    int count = 0;
    for (int y = 0; y < image.height(); ++y) {
        for (int x = 0; x < std::min(right, image.width()); ++x) {
            count += qGray(image.pixel(x, y)) >= gray ? 1 : 0;
        }
    }
    return count;
}

QString accessibleName(QWidget* widget)
{
    QAccessibleInterface* accessible = QAccessible::queryAccessibleInterface(widget);
    return accessible ? accessible->text(QAccessible::Name) : QString();
}

QPalette darkPalette()
{
    QPalette palette;
    palette.setColor(QPalette::Window, QColor(0x2b, 0x2b, 0x2b));
    palette.setColor(QPalette::WindowText, QColor(0xee, 0xee, 0xee));
    palette.setColor(QPalette::Base, QColor(0x1e, 0x1e, 0x1e));
    palette.setColor(QPalette::AlternateBase, QColor(0x2b, 0x2b, 0x2b));
    palette.setColor(QPalette::Text, QColor(0xee, 0xee, 0xee));
    palette.setColor(QPalette::Button, QColor(0x35, 0x35, 0x35));
    palette.setColor(QPalette::ButtonText, QColor(0xee, 0xee, 0xee));
    palette.setColor(QPalette::Highlight, QColor(0x2a, 0x82, 0xda));
    palette.setColor(QPalette::HighlightedText, Qt::white);
    return palette;
}

} // namespace

class ScaledTest : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void cleanup() { Language() = LanguageTexts(); }

    // The title and subtitle are text over a picture without any: drawn with the screen's pixels,
    // named for screen readers, and in the language in use.
    void bannerTextIsSharpAndInTheLanguage()
    {
        QCOMPARE(LoadLanguageFile(kLanguages + QStringLiteral("EN_1033.lng")), 0);
        ManagerWorld world;
        QDir().mkpath(world.folders.path(QStringLiteral("bin/res")));
        QVERIFY(QFile::copy(kBannerPicture, world.folders.path(QStringLiteral("bin/res/top_img.jpg"))));
        RecordingPresenter messages;
        TMainForm window;
        window.show();
        QWidget* banner = child<QWidget>(window, "Image1");
        QCOMPARE(banner->geometry(), QRect(0, 0, 674, 85));
        QCOMPARE(banner->focusPolicy(), Qt::NoFocus);
        QCOMPARE(accessibleName(banner), QStringLiteral("PKI Manager"));

        const QImage english = banner->grab().toImage();
        QCOMPARE(english.size(), QSize(1348, 170));
        // The same banner painted with one pixel per logical pixel and scaled up smoothly.
        QImage single(banner->size(), QImage::Format_RGB32);
        banner->render(&single);
        const QImage upscaled = single.scaled(english.size(), Qt::IgnoreAspectRatio, Qt::SmoothTransformation)
                                    .convertToFormat(english.format());
        // The texts lie left of the square at the right.
        const int textRight = 1100;
        const int sharp = steepEdges(english, textRight, 100);
        const int soft = steepEdges(upscaled, textRight, 100);
        QVERIFY2(sharp > 200 && sharp > 2 * soft, qPrintable(QStringLiteral("%1 against %2").arg(sharp).arg(soft)));
        QVERIFY(brightPixels(english, textRight, 230) > 500);

        // Chinese: another title, drawn where the English one was.
        QCOMPARE(LoadLanguageFile(kLanguages + QStringLiteral("CN_2052.lng")), 0);
        window.ApplyTexts();
        QCOMPARE(accessibleName(banner), QStringLiteral("PKI管理工具"));
        const QImage chinese = banner->grab().toImage();
        QCOMPARE(chinese.size(), english.size());
        QVERIFY(chinese.copy(0, 0, textRight, 120) != english.copy(0, 0, textRight, 120));
        QVERIFY(messages.messages.isEmpty());
    }

    // Without its picture the banner draws the picture's gradient itself.
    void bannerWithoutPictureDrawsTheGradient()
    {
        BannerView banner;
        banner.resize(674, 85);
        banner.setBackground(QStringLiteral("/nonexistent/top_img.jpg"));
        QVERIFY(!banner.hasBackground());
        QImage drawn(banner.size() * 2, QImage::Format_RGB32);
        drawn.setDevicePixelRatio(2);
        banner.render(&drawn);
        const QImage picture(kBannerPicture);
        QVERIFY(!picture.isNull());
        for (const int y : {0, 42, 84}) {
            const QColor expected = picture.pixelColor(400, y);
            const QColor got = drawn.pixelColor(800, 2 * y);
            QVERIFY2(std::abs(got.red() - expected.red()) < 8 && std::abs(got.green() - expected.green()) < 8 &&
                         std::abs(got.blue() - expected.blue()) < 8,
                     qPrintable(QStringLiteral("row %1: %2 against %3").arg(y).arg(got.name(), expected.name())));
        }
    }

    // Every caption and value of the system check is shown whole: one that is wider than its
    // column takes as many lines as it needs, and the value is also its row's tooltip.
    void systemCheckValuesAreNotCut_data()
    {
        QTest::addColumn<QString>("file");
        QTest::newRow("Chinese") << QStringLiteral("CN_2052.lng");
        QTest::newRow("English") << QStringLiteral("EN_1033.lng");
    }
    void systemCheckValuesAreNotCut()
    {
        QFETCH(QString, file);
        QCOMPARE(LoadLanguageFile(kLanguages + file), 0);
        // The key's module deep in a vendor's folders, as installed modules often are: its path
        // is wider than the list.
        const QString module = QStringLiteral("bin/lib/x86_64-linux-gnu/pkcs11/kx2700-usb-key/libkx2700-pkcs11.so");
        ManagerWorld world;
        const QString appInfo = world.folders.path(QStringLiteral("bin/APPInfo.ini"));
        world.folders.write(QStringLiteral("bin/APPInfo.ini"),
                            test::TestFolders::read(appInfo).replace(KEYSIM_PKCS11_PATH,
                                                                     QFile::encodeName(world.folders.path(module))));
        QDir().mkpath(QFileInfo(world.folders.path(module)).absolutePath());
        QVERIFY(QFile::link(QStringLiteral(KEYSIM_PKCS11_PATH), world.folders.path(module)));
        RecordingPresenter messages;
        TMainForm window;
        window.show();
        auto* tv = child<QTreeWidget>(window, "tv");
        auto* list = child<QTreeWidget>(window, "LVSystemInfo");
        tv->setCurrentItem(tv->topLevelItem(1));
        QCOMPARE(list->topLevelItemCount(), 6);
        QCOMPARE(list->devicePixelRatio(), 2.0);
        const QFontMetrics metrics(list->font());
        const int margins = 2 * (list->style()->pixelMetric(QStyle::PM_FocusFrameHMargin, nullptr, list) + 1);
        bool someWrapped = false;
        QStringList cut;
        for (int row = 0; row < list->topLevelItemCount(); ++row) {
            for (int column = 0; column < 2; ++column) {
                const QModelIndex index = list->model()->index(row, column);
                const QString text = index.data().toString();
                const QRect cell = list->visualRect(index);
                const int width = cell.width() - margins;
                // The fewest lines the text takes at the cell's width, wherever they break.
                const int needs = metrics.boundingRect(QRect(0, 0, width, 10000), Qt::TextWrapAnywhere, text).height();
                if (needs > cell.height() || cell.right() > list->viewport()->width()) {
                    cut.append(QStringLiteral("%1 needs %2x%3, has %4x%5")
                                   .arg(text)
                                   .arg(width)
                                   .arg(needs)
                                   .arg(cell.width())
                                   .arg(cell.height()));
                }
                someWrapped = someWrapped || metrics.horizontalAdvance(text) > width;
            }
            QCOMPARE(list->topLevelItem(row)->toolTip(1), list->topLevelItem(row)->text(1));
        }
        QVERIFY2(cut.isEmpty(), qPrintable(cut.join(QLatin1Char('\n'))));
        // The module's path is longer than the list is wide: the check above saw it wrapped.
        QVERIFY(someWrapped);
        // The values are light on the dark list, as the palette says.
        const QRect value = list->visualRect(list->model()->index(0, 1));
        QVERIFY(brightPixels(list->viewport()->grab(value).toImage(), 10000, 180) > 0);
        QVERIFY(messages.messages.isEmpty());
    }
};

int main(int argc, char** argv)
{
    // Two device pixels per logical pixel, and a dark theme.
    qputenv("QT_SCALE_FACTOR", "2");
    QApplication app(argc, argv);
    QApplication::setPalette(darkPalette());
    ScaledTest test;
    return QTest::qExec(&test, argc, argv);
}

#include "ScaledTest.moc"
