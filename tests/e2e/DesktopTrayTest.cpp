// SPDX-License-Identifier: Apache-2.0
// The installed monitor on a desktop without a tray host: a private session bus with a
// notification server of the test and no panel. The tray menu reaches the user as the actions of
// a notification, and its entries work on the running program.
#include "../common/NotificationServer.h"
#include "../common/XSession.h"
#include "Desktop.h"

#include <QCoreApplication>
#include <QTest>

using namespace kx::test;

class DesktopTrayTest : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void menuThroughTheNotificationServer()
    {
        const QString mon = QStringLiteral("KX2700Mon");
        NotificationServer server;
        QVERIFY(server.registered);
        Desktop desktop;
        desktop.writeUserConfig("DefaultPINMode=0\nLanguageID=1033\n");
        QVERIFY(desktop.keysim({"create", "--serial", "KXA"}));
        QProcess* monitor = desktop.start(mon);

        // The notice offers the menu's three entries.
        QVERIFY(QTest::qWaitFor([&] { return !server.withSummary(QStringLiteral("PKI Manager")).isEmpty(); }, 15000));
        const Notice menu = server.withSummary(QStringLiteral("PKI Manager")).first();
        QCOMPARE(menu.actions, (QStringList{"default", "Show main window", "AcShowMain", "Show main window",
                                            "AcAdvanced", "Advanced settings", "AcExit", "Exit"}));

        // "Settings" opens the settings dialog of the running monitor.
        server.click(menu.id, QStringLiteral("AcAdvanced"));
        QVERIFY2(desktop.waitForModal(mon, QStringLiteral("ProjectConfigForm")), qPrintable(desktop.lastError));
        QVERIFY(desktop.act(mon, {"reject", "ProjectConfigForm"}));
        QVERIFY(QTest::qWaitFor([&] { return desktop.drive(mon, {"modal"}).value_or("x").isEmpty(); }, 5000));

        // A balloon goes to the server: the second key's arrival notice.
        QVERIFY(desktop.keysim({"create", "--serial", "KXB"}));
        QVERIFY(
            QTest::qWaitFor([&] { return !server.withSummary(QStringLiteral("USBKey inserted")).isEmpty(); }, 15000));

        // "Exit" ends the monitor, which withdraws its notice on the way out.
        server.click(menu.id, QStringLiteral("AcExit"));
        QVERIFY(QTest::qWaitFor([&] { return monitor->state() == QProcess::NotRunning; }, 15000));
        QCOMPARE(monitor->exitStatus(), QProcess::NormalExit);
        QVERIFY(QTest::qWaitFor([&] { return server.closedIds.contains(menu.id); }, 5000));
    }
};

int main(int argc, char** argv)
{
    XSession session; // a private session bus, and no panel: no tray host
    if (!session.start()) {
        std::fprintf(stderr, "No session bus could be started (Xvfb, dbus-daemon)\n");
        return 1;
    }
    QCoreApplication app(argc, argv);
    DesktopTrayTest test;
    return QTest::qExec(&test, argc, argv);
}

#include "DesktopTrayTest.moc"
