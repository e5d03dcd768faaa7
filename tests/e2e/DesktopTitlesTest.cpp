// SPDX-License-Identifier: Apache-2.0
// The installed programs on a real desktop (an X server and the window manager openbox, started by
// the test): the titles the window manager shows for their windows, in Chinese and, after the
// monitor's settings switched the language, in English.
#include "../common/XSession.h"
#include "Desktop.h"

#include <QCoreApplication>
#include <QTest>

using namespace kx::test;

namespace {

const QString kMgr = QStringLiteral("KX2700Mgr");
const QString kMon = QStringLiteral("KX2700Mon");
const QString kVersion = QStringLiteral("  V" KX_VERSION ".0");

// Waits until the window manager shows a window titled `title` for `program`.
bool waitForTitle(Desktop& desktop, const QString& program, const QString& title, QStringList& seen)
{
    return QTest::qWaitFor(
        [&] {
            seen = XSession::clientTitles(desktop.pidOf(program));
            return seen.contains(title);
        },
        15000);
}

} // namespace

class DesktopTitlesTest : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void titlesAreExactlyTheTexts()
    {
        Desktop desktop;
        desktop.setEnvironment(QStringLiteral("QT_QPA_PLATFORM"), QStringLiteral("xcb"));
        desktop.writeUserConfig("DefaultPINMode=0\nLanguageID=2052\n");
        QVERIFY(desktop.keysim({"create", "--serial", "KXA"}));
        desktop.start(kMgr);
        QStringList seen;
        QVERIFY2(waitForTitle(desktop, kMgr, QStringLiteral("PKI管理工具   ") + kVersion, seen),
                 qPrintable(seen.join(QLatin1Char('|'))));

        // The monitor the manager started: its settings dialog, a box, then the switch to English.
        QVERIFY(QTest::qWaitFor([&] { return desktop.drive(kMon, {"windows"}).has_value(); }, 15000));
        QVERIFY(desktop.click(kMon, QStringLiteral("TMainForm/AcAdvanced")));
        QVERIFY2(waitForTitle(desktop, kMon, QStringLiteral("高级设置"), seen),
                 qPrintable(seen.join(QLatin1Char('|'))));
        QVERIFY(desktop.act(kMon, {"set", "@modal/cbLanguageID", "English"}));
        QVERIFY(desktop.click(kMon, QStringLiteral("@modal/btnSave")));
        // The saved notice still speaks the old language.
        QVERIFY2(waitForTitle(desktop, kMon, QStringLiteral("提示"), seen), qPrintable(seen.join(QLatin1Char('|'))));
        QVERIFY(desktop.act(kMon, {"answer", "ok"}));
        QVERIFY(QTest::qWaitFor([&] { return desktop.drive(kMon, {"modal"}) == QString(); }, 5000));

        QVERIFY(desktop.click(kMon, QStringLiteral("TMainForm/AcAdvanced")));
        QVERIFY2(waitForTitle(desktop, kMon, QStringLiteral("Advanced settings"), seen),
                 qPrintable(seen.join(QLatin1Char('|'))));
        QVERIFY(desktop.click(kMon, QStringLiteral("@modal/btnSave")));
        QVERIFY2(waitForTitle(desktop, kMon, QStringLiteral("Notice"), seen), qPrintable(seen.join(QLatin1Char('|'))));
        QVERIFY(desktop.act(kMon, {"answer", "ok"}));

        // A manager started now speaks English from its start.
        ::kill(static_cast<pid_t>(desktop.pidOf(kMgr)), SIGTERM);
        QVERIFY(QTest::qWaitFor([&] { return !desktop.running(kMgr); }, 10000));
        desktop.start(kMgr);
        QVERIFY2(waitForTitle(desktop, kMgr, QStringLiteral("PKI Manager   ") + kVersion, seen),
                 qPrintable(seen.join(QLatin1Char('|'))));
    }
};

int main(int argc, char** argv)
{
    return execOnDesktop<DesktopTitlesTest>(argc, argv);
}

#include "DesktopTitlesTest.moc"
