// SPDX-License-Identifier: Apache-2.0
// The monitor's main window against the virtual key: start-up, commands, insertion and removal
// on the keysim bus, the certificate store, the plug-in, the last-key clean-up and the expiry
// check.
#include "MonitorFixture.h"

#include "common/LanguageTexts.h"
#include "monitor/SystemCleanup.h"
#include "monitor/TMainForm.h"
#include "token/KeyThreadGuard.h"
#include "token/TokenApi.h"

#include <QAction>
#include <QMessageBox>
#include <QSignalSpy>
#include <QSystemTrayIcon>
#include <QTest>
#include <QTimer>

#include <unistd.h>

using namespace kx;
using namespace kx::test;
using kx::mon::TMainForm;

namespace {

int g_findCalls = 0;
decltype(&::token_find) g_realFind = nullptr;

int countingFind(char* buffer, int* count)
{
    ++g_findCalls;
    return g_realFind(buffer, count);
}

QString notice(const QString& text)
{
    return QStringLiteral("notify-send --app-name=KX2700Mon --icon=dialog-information --expire-time=10000 -- ") + text;
}

TUserConfigInfo quietConfig()
{
    TUserConfigInfo config;
    config.DefaultPINMode = 0;
    return config;
}

} // namespace

class MonitorWindowTest : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void initTestCase()
    {
        m_certs = std::make_unique<TestCertificates>(m_certFolder.path());
        QVERIFY(m_certs->ok());
    }

    void cleanup() { Language() = LanguageTexts(); }

    void startWithoutKeyAndTheCommands()
    {
        MonitorWorld world;
        RecordingPresenter messages;
        RecordingLauncher launcher;
        FakeManager manager;
        world.writeConfig(quietConfig());
        // A certificate of the provider left behind by an earlier run.
        const QByteArray der = m_certs->read(QStringLiteral("user.cer"));
        platform::CertStore(platform::CertStore::defaultRoot())
            .add("MY", {reinterpret_cast<const std::uint8_t*>(der.constData()), std::size_t(der.size())},
                 platform::KeyProvInfo{"stale", "KX CSP", 1});
        QCOMPARE(MonitorWorld::storeContainers(), QStringList{QStringLiteral("stale")});

        TMainForm window;
        QVERIFY(started(window));
        QCOMPARE(window.KeyCount(), 0);
        QVERIFY(!window.trayShown());
        QVERIFY(!window.timer("TCheckDefaultUPIN")->isActive());
        QVERIFY(!window.isVisible());

        // Commands arrive over the channel in any case; "RegCert" with no key cleans the store
        // and tells the manager "LoadCert".
        QVERIFY(whileProcessingEvents<bool>(
            [] { return SendCommand(QStringLiteral("rEGcERT"), QString::fromLatin1(kMonitorWindowClass)); }));
        QVERIFY(window.timer("TRegCertXE")->isActive());
        QTRY_COMPARE_WITH_TIMEOUT(manager.count(QStringLiteral("LoadCert")), 1, 5000);
        QVERIFY(MonitorWorld::storeContainers().isEmpty());
        window.handleCommand(QStringLiteral("RegCert2"));
        window.handleCommand(QStringLiteral("LoadCert"));
        QVERIFY(!window.timer("TRegCertXE")->isActive());

        // "Update" answers the open question captioned P_MSGTitle with No, and no other box.
        QMessageBox other(QMessageBox::Question, QStringLiteral("other"), QStringLiteral("?"),
                          QMessageBox::Yes | QMessageBox::No);
        other.show();
        QMessageBox prompt(QMessageBox::Question, Lang("P_MSGTitle"), QStringLiteral("?"),
                           QMessageBox::Yes | QMessageBox::No);
        prompt.show();
        window.handleCommand(QStringLiteral("update"));
        QVERIFY(!prompt.isVisible());
        QCOMPARE(prompt.clickedButton(), prompt.button(QMessageBox::No));
        QVERIFY(other.isVisible());

        // Any close other than the exit entry only hides the window.
        window.show();
        QTRY_VERIFY(!window.isVisible());
        QVERIFY(!window.close());
        QVERIFY(launcher.starts.isEmpty());
        QVERIFY(messages.messages.isEmpty());
    }

    void showMainStartsTheManagerUnlessThePinDialogIsUp()
    {
        MonitorWorld world;
        RecordingLauncher launcher;
        world.writeConfig(quietConfig());
        TMainForm window;
        QVERIFY(started(window));
        window.action("AcShowMain")->trigger();
        QCOMPARE(launcher.starts, QStringList{QStringLiteral("KX2700Mgr ")});
        // The tray icon: a click (a StatusNotifierItem's Activate) opens the manager; the double
        // click that follows it is the same request; the menu button opens nothing.
        auto* icon = window.findChild<QSystemTrayIcon*>(QStringLiteral("TrayIcon1"));
        QVERIFY(icon);
        Q_EMIT icon->activated(QSystemTrayIcon::Trigger);
        QCOMPARE(launcher.starts.size(), 2);
        Q_EMIT icon->activated(QSystemTrayIcon::DoubleClick);
        Q_EMIT icon->activated(QSystemTrayIcon::Context);
        QCOMPARE(launcher.starts.size(), 2);
        QTest::qWait(QApplication::doubleClickInterval() + 100);
        Q_EMIT icon->activated(QSystemTrayIcon::DoubleClick);
        QCOMPARE(launcher.starts.size(), 3);
        QWidget lookalike; // a window with the PIN dialog's title
        lookalike.setWindowTitle(Lang("Main_Form_btn_SetUPIN"));
        lookalike.show();
        window.action("AcShowMain")->trigger();
        QCOMPARE(launcher.starts.size(), 3);
    }

    void unlistedProductDoesNothing()
    {
        MonitorWorld world;
        RecordingLauncher launcher;
        world.writeConfig(quietConfig());
        TMainForm window;
        QVERIFY(started(window));
        QVERIFY(world.keysim({"create", "--serial", "KXX", "--pid", "1234"}));
        QTest::qWait(1200);
        QCOMPARE(window.ExpectedKeyCount(), 0);
        QVERIFY(!window.timer("TFindUSBKey")->isActive());
        QCOMPARE(window.KeyCount(), 0);
        QVERIFY(!window.trayShown());
        QVERIFY(launcher.starts.isEmpty());
    }

    void oneKeyInThenTheLastKeyOut()
    {
        MonitorWorld world;
        RecordingPresenter messages;
        RecordingLauncher launcher;
        FakeManager manager;
        TUserConfigInfo config = quietConfig();
        config.URLOpenMode = 1;
        config.URL = QStringLiteral("  http://kx.example/start  ");
        world.writeConfig(config);
        // The process named by CloseAPP, and one whose name only starts like it.
        const QString closeApp = world.folders.path(QStringLiteral("bin/kxmon-closeapp"));
        const QString lookalike = world.folders.path(QStringLiteral("bin/kxmon-closeapp2"));
        QVERIFY(QFile::copy(QStringLiteral("/bin/sleep"), closeApp));
        QVERIFY(QFile::copy(QStringLiteral("/bin/sleep"), lookalike));
        QProcess victim;
        QProcess survivor;
        victim.start(closeApp, {QStringLiteral("60")});
        survivor.start(lookalike, {QStringLiteral("60")});
        QVERIFY(victim.waitForStarted() && survivor.waitForStarted());
        QCOMPARE(mon::ProcessExecutableName(victim.processId()), QStringLiteral("kxmon-closeapp"));
        QCOMPARE(mon::ProcessRealUid(victim.processId()), long(::getuid()));

        TMainForm window;
        QVERIFY(started(window));
        QSignalSpy balloons(&window, &TMainForm::balloonShown);
        QVERIFY(world.keysim({"create", "--serial", "KXA", "--initialised", "no"}));
        QTRY_COMPARE_WITH_TIMEOUT(balloons.count(), 1, 5000);
        QCOMPARE(balloons.at(0).at(0).toString(), Lang("K_Key_Arrival"));
        QVERIFY(window.trayShown());
        QCOMPARE(window.KeyCount(), 1);
        QTRY_VERIFY(window.timer("TCheckDefaultUPIN")->isActive());
        // The not-initialised notice follows 400 ms later, with the monitor's own icon.
        QTRY_COMPARE_WITH_TIMEOUT(balloons.count(), 2, 3000);
        QCOMPARE(balloons.at(1).at(0).toString(), Lang("Init_Info"));
        const QStringList expected = {
            notice(Lang("K_Key_Arrival")),
            QStringLiteral("xdg-open http://kx.example/start"),
            QStringLiteral("kxplugin http 51235"),
            QStringLiteral("kxplugin https 51245"),
            QStringLiteral("notify-send --app-name=KX2700Mon --icon=security-high --expire-time=10000 -- ") +
                Lang("Init_Info"),
        };
        QCOMPARE(launcher.starts, expected);
        QTest::qWait(700); // the default-PIN check ran and, switched off, did nothing
        QCOMPARE(launcher.starts.size(), expected.size());

        QVERIFY(world.keysim({"pull", "KXA"}));
        QTRY_COMPARE_WITH_TIMEOUT(manager.count(QStringLiteral("CLOSE")), 1, 3000);
        QTRY_COMPARE_WITH_TIMEOUT(balloons.count(), 3, 3000);
        QCOMPARE(balloons.at(2).at(0).toString(), Lang("K_Key_Remove"));
        QVERIFY(window.trayShown()); // until the clean-up a second later
        QTRY_COMPARE_WITH_TIMEOUT(manager.count(QStringLiteral("CLOSE")), 2, 3000);
        QVERIFY(!window.trayShown());
        QCOMPARE(window.KeyCount(), 0);
        QCOMPARE(window.ExpectedKeyCount(), 0);
        // The kill may already have been noticed while the test waited for the commands.
        QTRY_COMPARE_WITH_TIMEOUT(victim.state(), QProcess::NotRunning, 5000);
        QCOMPARE(victim.exitStatus(), QProcess::CrashExit);
        QCOMPARE(survivor.state(), QProcess::Running);
        survivor.kill();
        survivor.waitForFinished();
        QVERIFY(messages.messages.filter(QStringLiteral("注册证书失败")).size() <= 1);
    }

    void aKeyThatNeverAppearsIsSearchedFourTimes()
    {
        MonitorWorld world;
        RecordingLauncher launcher;
        FakeManager manager;
        world.writeConfig(quietConfig());
        TMainForm window;
        QVERIFY(started(window));
        QVERIFY(world.keysim({"create", "--serial", "KXA", "--no-plug"}));
        QVERIFY(world.keysim({"fault", "KXA", "--visible-after", "600000"}));
        ScopedTokenApi api;
        g_findCalls = 0;
        g_realFind = api.api().token_find;
        api.api().token_find = &countingFind;
        QVERIFY(world.keysim({"plug", "KXA"}));
        QTRY_VERIFY_WITH_TIMEOUT(window.timer("TFindUSBKey")->isActive(), 3000);
        QTRY_VERIFY_WITH_TIMEOUT(!window.timer("TFindUSBKey")->isActive(), 5000);
        QCOMPARE(g_findCalls, 4);
        QCOMPARE(window.ExpectedKeyCount(), 1);
        QVERIFY(launcher.starts.isEmpty());
        QVERIFY(!window.trayShown());
        // Its removal lowers the count again and, as every removal, closes the manager.
        QVERIFY(world.keysim({"pull", "KXA"}));
        QTRY_COMPARE_WITH_TIMEOUT(manager.count(QStringLiteral("CLOSE")), 1, 3000);
        QCOMPARE(window.ExpectedKeyCount(), 0);
        QTest::qWait(1300);
        QCOMPARE(manager.count(QStringLiteral("CLOSE")), 1); // no key was known, so no clean-up
    }

    void secondKeyThenOneOfTwoOut()
    {
        MonitorWorld world;
        RecordingPresenter messages;
        RecordingLauncher launcher;
        FakeManager manager;
        QVERIFY(world.keysim({"create", "--serial", "KXA"}));
        QVERIFY(world.keysim({"create", "--serial", "KXB", "--pid", "C004"}));
        QVERIFY(MonitorWorld::importCertificates(QStringLiteral("KXA"), "ContA",
                                                 {{1, m_certs->path(QStringLiteral("user.pfx"))}}));
        QVERIFY(MonitorWorld::importCertificates(QStringLiteral("KXB"), "ContB",
                                                 {{2, m_certs->path(QStringLiteral("ecuser.p12"))}}));
        QVERIFY(world.keysim({"pull", "KXB"}));
        TUserConfigInfo config = quietConfig();
        config.URLOpenMode = 1;
        config.URL = QStringLiteral("http://kx.example/");
        config.BrowserMode = 1;
        config.CertTips = 1;
        config.CertDay = 30;
        world.writeConfig(config);

        TMainForm window;
        QVERIFY(started(window));
        // The key present at start is registered and its default-PIN check scheduled.
        QCOMPARE(window.KeyCount(), 1);
        QVERIFY(window.trayShown());
        QCOMPARE(MonitorWorld::storeContainers(), QStringList{QStringLiteral("ContA")});
        QVERIFY(window.timer("TCheckDefaultUPIN")->isActive());
        window.timer("TCheckDefaultUPIN")->stop();

        // Seen from 20 days before the end of their validity, the certificates are expiring.
        const KeyThreadGuard::Exemption direct; // the test reads the key itself
        TR7Info info;
        QCOMPARE(LoadContainerNames(0, info), 0);
        auto cert = std::make_unique<TR7CertInfo>();
        QCOMPARE(ReadContainerCert(0, info.containerNames[0], 1, *cert), 0);
        const QDate end(cert->notAfter[0], cert->notAfter[1], cert->notAfter[2]);
        world.folders.context().setClock([end] { return QDateTime(end.addDays(-20), QTime(12, 0)); });

        QSignalSpy balloons(&window, &TMainForm::balloonShown);
        QVERIFY(world.keysim({"plug", "KXB"}));
        QTRY_COMPARE_WITH_TIMEOUT(balloons.count(), 1, 5000);
        QVERIFY(keysSettled(window)); // registration, plug-in and expiry check follow the balloon
        QCOMPARE(window.KeyCount(), 2);
        QCOMPARE(MonitorWorld::storeContainers(), (QStringList{QStringLiteral("ContA"), QStringLiteral("ContB")}));
        QCOMPARE(launcher.of(QStringLiteral("x-www-browser")),
                 QStringList{QStringLiteral("x-www-browser http://kx.example/")});
        QCOMPARE(launcher.of(QStringLiteral("kxplugin")).size(), 2);
        // The expiry check ran for both keys: one certificate each.
        QCOMPARE(messages.messages.filter(QStringLiteral("密钥将于")).size(), 2);
        // Both stay above other windows while the monitor waits behind them.
        QCOMPARE(messages.notices.filter(QStringLiteral("^密钥将于")).size(), 2);
        QVERIFY(!window.timer("TCheckDefaultUPIN")->isActive()); // two keys: no default-PIN check

        manager.clear();
        QVERIFY(world.keysim({"pull", "KXA"}));
        QTRY_COMPARE_WITH_TIMEOUT(balloons.count(), 2, 3000);
        QCOMPARE(MonitorWorld::storeContainers(), QStringList{QStringLiteral("ContB")});
        QTest::qWait(1300);
        QCOMPARE(window.KeyCount(), 1);
        QVERIFY(window.trayShown());
        QCOMPARE(manager.count(QStringLiteral("CLOSE")), 1);
    }

    void expiryCheckOfTwoCertificates()
    {
        MonitorWorld world;
        RecordingPresenter messages;
        QVERIFY(world.keysim({"create", "--serial", "KXA"}));
        QVERIFY(MonitorWorld::importCertificates(
            QStringLiteral("KXA"), "Both",
            {{1, m_certs->path(QStringLiteral("user.pfx"))}, {2, m_certs->path(QStringLiteral("ecuser.p12"))}}));
        TUserConfigInfo config = quietConfig();
        config.CertTips = 1;
        config.CertDay = 30;
        world.writeConfig(config);
        TMainForm window;
        QVERIFY(started(window));
        window.timer("TCheckDefaultUPIN")->stop();
        const KeyThreadGuard::Exemption direct; // the test reads the key itself
        TR7Info info;
        QCOMPARE(LoadContainerNames(0, info), 0);
        auto cert = std::make_unique<TR7CertInfo>();
        QCOMPARE(ReadContainerCert(0, QByteArray("Both"), 2, *cert), 0);
        const QDate end(cert->notAfter[0], cert->notAfter[1], cert->notAfter[2]);
        const QString day = end.toString(QStringLiteral("yyyy-MM-dd"));
        auto at = [&](const QDate& date, const QTime& time) {
            world.folders.context().setClock([date, time] { return QDateTime(date, time); });
            messages.messages.clear();
            return expiryCheck(window, 0);
        };

        QCOMPARE(at(end.addDays(-20), QTime(12, 0)), 0);
        const QString expiring = QStringLiteral("密钥将于%1日过期，请尽快更新证书！").arg(day);
        QCOMPARE(messages.messages, (QStringList{expiring, expiring}));
        // From the first moment of the valid-to day the certificates count as expired.
        at(end, QTime(0, 0, 1));
        const QString expired = QStringLiteral("密钥已于%1日过期，请联系系统管理员！").arg(day);
        QCOMPARE(messages.messages, (QStringList{expired, expired}));
        at(end.addDays(-31), QTime(12, 0));
        QVERIFY(messages.messages.isEmpty());
        // With CertDay 0 only a valid-to day that has begun is reported.
        window.userConfig().CertDay = 0;
        at(end.addDays(-1), QTime(23, 0));
        QVERIFY(messages.messages.isEmpty());
        at(end, QTime(9, 0));
        QCOMPARE(messages.messages.size(), 2);
        window.userConfig().CertTips = 0;
        at(end, QTime(9, 0));
        QVERIFY(messages.messages.isEmpty());
    }

    void exitRemovesTheCertificatesAndClosesTheManager()
    {
        MonitorWorld world;
        FakeManager manager;
        QVERIFY(world.keysim({"create", "--serial", "KXA"}));
        QVERIFY(MonitorWorld::importCertificates(QStringLiteral("KXA"), "ContA",
                                                 {{1, m_certs->path(QStringLiteral("user.pfx"))}}));
        world.writeConfig(quietConfig());
        auto window = std::make_unique<TMainForm>();
        QVERIFY(started(*window));
        window->timer("TCheckDefaultUPIN")->stop();
        QCOMPARE(MonitorWorld::storeContainers(), QStringList{QStringLiteral("ContA")});
        QSignalSpy ended(window.get(), &TMainForm::destroyedCleanly);
        window->action("AcExit")->trigger();
        QCOMPARE(ended.count(), 1);
        QVERIFY(window->ExitRequested());
        QVERIFY(MonitorWorld::storeContainers().isEmpty());
        QTRY_COMPARE_WITH_TIMEOUT(manager.count(QStringLiteral("CLOSE")), 1, 3000);
        window.reset();
        QCOMPARE(manager.count(QStringLiteral("CLOSE")), 1); // the clean-up runs once
    }

    // A registration that fails after an insertion is reported in a notice that stays on top.
    void failedRegistrationIsReportedOnTop()
    {
        MonitorWorld world;
        RecordingPresenter messages;
        RecordingLauncher launcher;
        QVERIFY(world.keysim({"create", "--serial", "KXA"}));
        QVERIFY(MonitorWorld::importCertificates(QStringLiteral("KXA"), "ContA",
                                                 {{1, m_certs->path(QStringLiteral("user.pfx"))}}));
        QVERIFY(world.keysim({"pull", "KXA"}));
        world.writeConfig(quietConfig());
        // A file where the personal store's folder belongs: nothing can be added to the store.
        world.folders.write(QStringLiteral("data/kx2700/certstore/MY"), "not a folder");
        TMainForm window;
        QVERIFY(started(window));
        QSignalSpy balloons(&window, &TMainForm::balloonShown);
        QVERIFY(world.keysim({"plug", "KXA"}));
        QTRY_COMPARE_WITH_TIMEOUT(balloons.count(), 1, 5000);
        QVERIFY(keysSettled(window)); // the registration follows the balloon
        const QStringList failures = messages.notices.filter(QStringLiteral("注册证书失败"));
        QCOMPARE(failures.size(), 1);
        QVERIFY(failures.first().startsWith(QStringLiteral("^注册证书失败，错误码 =")));
    }

    void failedLibraryStartReportsAndEnds()
    {
        MonitorWorld world;
        RecordingPresenter messages;
        world.folders.write(QStringLiteral("bin/APPInfo.ini"),
                            "[APPLib]\nPKCS11Lib=/nonexistent/libnothing.so\n[APPFlag]\nPID=$C003\n");
        TMainForm window;
        QVERIFY(keysSettled(window));
        QSignalSpy ended(&window, &TMainForm::destroyedCleanly);
        QVERIFY(!window.LibraryReady());
        QVERIFY(window.timer("TCloseProject")->isActive());
        QVERIFY(world.keysim({"create", "--serial", "KXA"})); // ignored while the library is not ready
        QTRY_COMPARE_WITH_TIMEOUT(ended.count(), 1, 3000);
        QCOMPARE(messages.messages, QStringList{Lang("K_pkcs11Init_Error")});
        QCOMPARE(messages.notices, QStringList{QLatin1Char('?') + Lang("K_pkcs11Init_Error")});
        QVERIFY(window.ExitRequested());
        QCOMPARE(window.ExpectedKeyCount(), 0);
        QVERIFY(!window.trayShown());
    }

private:
    QTemporaryDir m_certFolder;
    std::unique_ptr<TestCertificates> m_certs;
};

QTEST_MAIN(MonitorWindowTest)
#include "MonitorWindowTest.moc"
