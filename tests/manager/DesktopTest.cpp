// SPDX-License-Identifier: Apache-2.0
// The manager on a real desktop: an X server with the window manager openbox, started by the test.
// Window titles are read back from the X server as the window manager reads them; message boxes
// and Qt's own dialogs speak the language in use, also after a switch at run time; windows open
// centred; the tree highlights the node under the mouse.
#include "../common/XSession.h"
#include "ManagerFixture.h"

#include "common/LanguageInfo.h"
#include "common/LanguageTexts.h"
#include "common/StartupConfiguration.h"
#include "common/UiLanguage.h"
#include "common/widgets/MessageBox.h"
#include "manager/TMainForm.h"
#include "monitor/TProjectConfigForm.h"

#include <QAbstractButton>
#include <QApplication>
#include <QFileDialog>
#include <QLabel>
#include <QMessageBox>
#include <QRegularExpression>
#include <QScreen>
#include <QTest>
#include <QTimer>
#include <QTreeWidget>

using namespace kx;
using test::ManagerWorld;
using test::XSession;

namespace {

const QString kLanguages = QStringLiteral(KX_SOURCE_DIR "/resources/Languages/");

// The language list of the installation, with entry `entry` in use.
void useLanguage(int entry)
{
    TLanguageInfo list;
    QCOMPARE(ReadLanguageList(kLanguages + QStringLiteral("LanguageInfo.ini"), list), 0);
    ManagerWorld world;
    QDir().mkpath(world.folders.path(QStringLiteral("bin/Languages")));
    for (const QString& file : {QStringLiteral("CN_2052.lng"), QStringLiteral("EN_1033.lng")}) {
        QFile::copy(kLanguages + file, world.folders.path(QStringLiteral("bin/Languages/")) + file);
    }
    QCOMPARE(UseLanguageEntry(list, entry), 0);
}

// The title of `window` as the X server holds it for the window manager.
QString serverTitle(QWidget& window)
{
    return XSession::windowText(window.winId(), "_NET_WM_NAME");
}

// Waits until `window` is mapped and its title reached the X server.
bool waitForServerTitle(QWidget& window, const QString& title)
{
    return QTest::qWaitFor([&] { return window.isVisible() && serverTitle(window) == title; }, 10000);
}

struct BoxSeen
{
    QString serverTitle;
    QStringList buttons;
};

// Opens a real message box (information or question) and records what it shows.
BoxSeen showBox(QWidget* owner, bool question)
{
    BoxSeen seen;
    QTimer::singleShot(0, [&] {
        QTRY_VERIFY(qobject_cast<QMessageBox*>(QApplication::activeModalWidget()));
        auto* box = qobject_cast<QMessageBox*>(QApplication::activeModalWidget());
        (void)QTest::qWaitFor([&] { return !serverTitle(*box).isEmpty(); }, 10000);
        seen.serverTitle = serverTitle(*box);
        for (QAbstractButton* button : box->buttons()) {
            seen.buttons.append(button->text());
        }
        seen.buttons.sort();
        box->reject();
    });
    if (question) {
        QuestionBox(owner, QStringLiteral("?"));
    } else {
        InfoBox(owner, QStringLiteral("!"));
    }
    return seen;
}

// The "Look in" label of Qt's own file dialog.
QString fileDialogLabel()
{
    QFileDialog dialog;
    dialog.setOption(QFileDialog::DontUseNativeDialog);
    auto* label = dialog.findChild<QLabel*>(QStringLiteral("lookInLabel"));
    return label ? label->text() : QString();
}

// How far the centre of `window`'s frame lies from the centre of the screen's free area.
QPoint offCentre(QWidget& window)
{
    return window.frameGeometry().center() - window.screen()->availableGeometry().center();
}

} // namespace

class DesktopTest : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void init() { QCoreApplication::setApplicationVersion(QStringLiteral("1.0.0.0")); }

    void titlesAndButtonsSpeakTheLanguageInUse()
    {
        useLanguage(0);
        const QString chineseLookIn = fileDialogLabel();
        ManagerWorld world;
        TMainForm window;
        window.show();
        const QString chineseTitle = QStringLiteral("PKI管理工具     V1.0.0.0");
        QVERIFY2(waitForServerTitle(window, chineseTitle), qPrintable(serverTitle(window)));
        BoxSeen notice = showBox(&window, false);
        QCOMPARE(notice.serverTitle, QStringLiteral("提示"));
        QCOMPARE(notice.buttons, QStringList{QStringLiteral("确定")});
        BoxSeen question = showBox(&window, true);
        QCOMPARE(question.serverTitle, QStringLiteral("提示"));
        QCOMPARE(question.buttons, (QStringList{QStringLiteral("否(&N)"), QStringLiteral("是(&Y)")}));

        // The language changes while the program runs.
        useLanguage(1);
        window.ApplyTexts();
        QVERIFY2(waitForServerTitle(window, QStringLiteral("PKI Manager     V1.0.0.0")),
                 qPrintable(serverTitle(window)));
        notice = showBox(&window, false);
        QCOMPARE(notice.serverTitle, QStringLiteral("Notice"));
        QCOMPARE(notice.buttons, QStringList{QStringLiteral("OK")});
        question = showBox(&window, true);
        QCOMPARE(question.buttons, (QStringList{QStringLiteral("&No"), QStringLiteral("&Yes")}));
        // Qt's own dialogs follow: Chinese before the switch, English after it.
        QCOMPARE(fileDialogLabel(), QStringLiteral("Look in:"));
        QVERIFY2(chineseLookIn != fileDialogLabel() &&
                     chineseLookIn.contains(QRegularExpression(QStringLiteral("\\p{Han}"))),
                 qPrintable(chineseLookIn));
    }

    void languageWithoutButtonTextsKeepsQtsTranslatedOnes()
    {
        useLanguage(0);
        const QString yes = Lang("Btn_Yes");
        Language().setText("Btn_Yes", LanguageTexts::kMissingText);
        const BoxSeen question = showBox(nullptr, true);
        Language().setText("Btn_Yes", yes);
        // Qt's own Chinese "Yes", not a blank button and not English.
        QVERIFY(!question.buttons.contains(QStringLiteral(" ")));
        QVERIFY(!question.buttons.contains(QStringLiteral("&Yes")));
        QCOMPARE(question.buttons.size(), 2);
    }

    void windowsOpenCentred()
    {
        useLanguage(0);
        ManagerWorld world;
        TMainForm window;
        window.show();
        QVERIFY(QTest::qWaitForWindowExposed(&window));
        // The frame is known once the window manager has decorated the window.
        QVERIFY(QTest::qWaitFor([&] { return window.frameGeometry().height() > window.height(); }, 10000));
        QVERIFY2(std::abs(offCentre(window).x()) <= 2, qPrintable(QString::number(offCentre(window).x())));
        // The client area is centred; the frame's title bar may push it down by its height.
        QVERIFY2(std::abs(offCentre(window).y()) <= window.frameGeometry().height() - window.height(),
                 qPrintable(QString::number(offCentre(window).y())));

        mon::TProjectConfigForm settings;
        settings.show();
        QVERIFY(QTest::qWaitForWindowExposed(&settings));
        QVERIFY(QTest::qWaitFor([&] { return settings.frameGeometry().height() > settings.height(); }, 10000));
        QVERIFY(std::abs(offCentre(settings).x()) <= 2);
        QVERIFY(std::abs(offCentre(settings).y()) <= settings.frameGeometry().height() - settings.height());
    }

    void treeHighlightsTheNodeUnderTheMouse()
    {
        useLanguage(0);
        ManagerWorld world;
        TMainForm window;
        window.show();
        QVERIFY(QTest::qWaitForWindowExposed(&window));
        auto* tv = test::child<QTreeWidget>(window, "tv");
        tv->setCurrentItem(nullptr);
        tv->clearSelection();
        QTreeWidgetItem* about = tv->topLevelItem(2);
        const QRect row = tv->visualItemRect(about);
        QTest::mouseMove(tv->viewport(), QPoint(row.right() - 4, tv->viewport()->height() - 4));
        QCoreApplication::processEvents();
        const QImage away = tv->viewport()->grab(row).toImage();
        QTest::mouseMove(tv->viewport(), row.center());
        QVERIFY(QTest::qWaitFor([&] { return tv->viewport()->grab(row).toImage() != away; }, 5000));
    }
};

int main(int argc, char** argv)
{
    XSession session;
    if (!session.startWithWindowManager()) {
        std::fprintf(stderr, "No X session with a window manager could be started (Xvfb, openbox, dbus-daemon)\n");
        return 1;
    }
    qputenv("QT_QPA_PLATFORM", "xcb");
    int result = 0;
    {
        QApplication app(argc, argv);
        DesktopTest test;
        result = QTest::qExec(&test, argc, argv);
    }
    return result;
}

#include "DesktopTest.moc"
