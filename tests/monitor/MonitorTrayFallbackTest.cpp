// SPDX-License-Identifier: Apache-2.0
// The monitor on a desktop without a tray host: a private session bus carries its notices to a
// notification server registered by the test, the tray menu's entries are offered as the actions
// of a lasting notice and work from there, and balloons become notifications.
#include "../common/NotificationServer.h"
#include "../common/XSession.h"
#include "MonitorFixture.h"

#include "common/LanguageTexts.h"
#include "monitor/TMainForm.h"
#include "monitor/TProjectConfigForm.h"
#include "monitor/TrayMenuNotice.h"

#include <QAction>
#include <QApplication>
#include <QDBusConnection>
#include <QSignalSpy>
#include <QSystemTrayIcon>
#include <QTest>
#include <QTimer>

using namespace kx;
using namespace kx::test;
using kx::mon::TMainForm;

class MonitorTrayFallbackTest : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void initTestCase()
    {
        QVERIFY(QDBusConnection::sessionBus().isConnected());
        QVERIFY(!QSystemTrayIcon::isSystemTrayAvailable()); // no tray host on this bus or display
    }

    void cleanup() { Language() = LanguageTexts(); }

    // The menu notice: its actions, the settings entry through it, its withdrawal with the last
    // key, and no new offer after a dismissal until a key comes.
    void menuOfferedAsNoticeActions()
    {
        MonitorWorld world;
        RecordingLauncher launcher;
        NotificationServer server;
        QVERIFY(server.registered);
        TUserConfigInfo config;
        config.DefaultPINMode = 0;
        world.writeConfig(config);
        QVERIFY(world.keysim({"create", "--serial", "KXA"}));

        TMainForm window;
        QSignalSpy offered(window.menuNotice(), &mon::TrayMenuNotice::offered);
        QVERIFY(started(window));
        const QString caption = Lang("P_Caption").trimmed();
        QTRY_COMPARE_WITH_TIMEOUT(server.withSummary(caption).size(), 1, 5000);
        const Notice menu = server.withSummary(caption).first();
        QStringList keys;
        QStringList labels;
        for (qsizetype i = 0; i + 1 < menu.actions.size(); i += 2) {
            keys << menu.actions.at(i);
            labels << menu.actions.at(i + 1);
        }
        QCOMPARE(keys, (QStringList{"default", "AcShowMain", "AcAdvanced", "AcExit"}));
        QCOMPARE(labels.mid(1), (QStringList{Lang("Main_Form_PopupMenu_listMain"), Lang("Main_Form_PopupMenu_Advanced"),
                                             Lang("Main_Form_PopupMenu_Close")}));
        QCOMPARE(menu.timeout, 0); // stays until dismissed
        QVERIFY(menu.hints.value(QStringLiteral("resident")).toBool());
        QTRY_COMPARE(window.menuNotice()->noticeId(), menu.id);

        // "Settings" and a click on the notice itself work like the menu's entries.
        DialogWatch settings;
        server.click(menu.id, QStringLiteral("AcAdvanced"));
        QTRY_COMPARE_WITH_TIMEOUT(settings.opened, 1, 5000);
        QTRY_VERIFY(!window.configDialog());
        server.click(menu.id, QStringLiteral("default"));
        QTRY_COMPARE_WITH_TIMEOUT(launcher.of(QStringLiteral("KX2700Mgr")).size(), 1, 5000);
        server.click(menu.id + 100, QStringLiteral("AcAdvanced")); // another program's notice
        QVERIFY(launcher.of(QStringLiteral("notify-send")).isEmpty());

        // Dismissed: a second key brings it back once, with its arrival notice.
        server.dismiss(menu.id);
        QTRY_COMPARE(window.menuNotice()->noticeId(), 0u);
        const int before = server.notices.size();
        QVERIFY(world.keysim({"create", "--serial", "KXB"}));
        QTRY_COMPARE_WITH_TIMEOUT(server.withSummary(caption).size(), 2, 5000);
        QTRY_COMPARE_WITH_TIMEOUT(server.withSummary(Lang("K_Key_Arrival")).size(), 1, 5000);
        QTRY_COMPARE_WITH_TIMEOUT(offered.count(), 2, 5000);
        QCOMPARE(server.notices.size(), before + 2);
        const uint second = server.withSummary(caption).last().id;

        // The last key gone: the notice is withdrawn.
        QVERIFY(world.keysim({"pull", "KXA"}));
        QVERIFY(world.keysim({"pull", "KXB"}));
        QTRY_VERIFY_WITH_TIMEOUT(server.closedIds.contains(second), 5000);
        QCOMPARE(window.KeyCount(), 0);
        QCOMPARE(server.withSummary(caption).size(), 2);
    }

    // Without a tray a balloon is a notice of the server with the balloon's time, not a tip at
    // the screen's corner; "Exit" on the menu notice ends the monitor.
    void balloonsAsNoticesAndExit()
    {
        MonitorWorld world;
        RecordingLauncher launcher;
        NotificationServer server;
        TUserConfigInfo config;
        config.DefaultPINMode = 0;
        world.writeConfig(config);
        auto window = std::make_unique<TMainForm>();
        QSignalSpy ended(window.get(), &TMainForm::destroyedCleanly);
        QVERIFY(world.keysim({"create", "--serial", "KXA", "--initialised", "no"}));
        QTRY_COMPARE_WITH_TIMEOUT(server.withSummary(Lang("Init_Info")).size(), 1, 5000);
        const Notice arrival = server.withSummary(Lang("K_Key_Arrival")).value(0);
        QCOMPARE(arrival.timeout, 10000);
        QCOMPARE(arrival.icon, QStringLiteral("dialog-information"));
        QVERIFY(arrival.actions.isEmpty());
        QCOMPARE(server.withSummary(Lang("Init_Info")).first().icon, QStringLiteral("security-high"));
        QVERIFY(launcher.of(QStringLiteral("notify-send")).isEmpty());
        QVERIFY(QApplication::topLevelWidgets().size() >= 1);
        for (QWidget* widget : QApplication::topLevelWidgets()) {
            QVERIFY2(!widget->isVisible(), qPrintable(widget->objectName())); // no balloon tip drawn
        }

        QTRY_VERIFY(window->menuNotice()->noticeId() != 0);
        const uint menu = window->menuNotice()->noticeId();
        server.click(menu, QStringLiteral("AcExit"));
        QTRY_COMPARE_WITH_TIMEOUT(ended.count(), 1, 5000);
        QVERIFY(window->ExitRequested());
        QTRY_VERIFY(server.closedIds.contains(menu));
    }

private:
    // Rejects each settings dialog that opens and counts them.
    struct DialogWatch
    {
        DialogWatch()
        {
            poll.setInterval(20);
            QObject::connect(&poll, &QTimer::timeout, [this] {
                if (auto* dialog = qobject_cast<mon::TProjectConfigForm*>(QApplication::activeModalWidget())) {
                    ++opened;
                    dialog->reject();
                }
            });
            poll.start();
        }
        QTimer poll;
        int opened = 0;
    };
};

int main(int argc, char** argv)
{
    XSession session; // a private session bus; no panel, so no tray host
    if (!session.start()) {
        std::fprintf(stderr, "No session bus could be started (Xvfb, dbus-daemon)\n");
        return 1;
    }
    QApplication app(argc, argv);
    MonitorTrayFallbackTest test;
    return QTest::qExec(&test, argc, argv);
}

#include "MonitorTrayFallbackTest.moc"
