// SPDX-License-Identifier: Apache-2.0
// The remote unlock page against the virtual key, with the control tool as the issuing party, and
// the system check page.
#include "ManagerFixture.h"

#include "../common/KeyWait.h"

#include "common/LanguageTexts.h"
#include "common/RegistryAccess.h"
#include "common/UserConfig.h"
#include "manager/RemoteUnlockPage.h"
#include "manager/SysVersion.h"
#include "manager/TMainForm.h"
#include "token/TokenWrappers.h"

#include <QAction>
#include <QLineEdit>
#include <QPlainTextEdit>
#include <QProcess>
#include <QRegularExpression>
#include <QTest>
#include <QTreeWidget>

using namespace kx;
using test::child;
using test::ManagerWorld;
using test::RecordingPresenter;

namespace {

const QByteArray kSkfLine = "SKFLib=" KEYSIM_SKF_PATH "\n";
const QString kInitialPin = QStringLiteral("12345678");
const QString kNewPin = QStringLiteral("Kx2700!new");

// Selects the remote unlock node (the last one) of key `key`.
void selectUnlockPage(TMainForm& window, int key)
{
    auto* tv = child<QTreeWidget>(window, "tv");
    QTreeWidgetItem* node = tv->topLevelItem(0)->child(key);
    tv->setCurrentItem(node->child(node->childCount() - 1));
    test::settled(window);
    QCOMPARE(window.ActivePageIndex(), int(TMainForm::PageRemoteUnlock));
}

void fill(TMainForm& window, const QString& code, const QString& initial, const QString& pin1, const QString& pin2)
{
    child<QPlainTextEdit>(window, "edtUnlockCode")->setPlainText(code);
    child<QLineEdit>(window, "edtNewUPin_RM")->setText(initial);
    child<QLineEdit>(window, "edtNewUPin1_RM")->setText(pin1);
    child<QLineEdit>(window, "edtNewUPin2_RM")->setText(pin2);
}

QString requestCode(TMainForm& window)
{
    window.action("AcRequest")->trigger();
    test::settled(window);
    return child<QLineEdit>(window, "edtRequestStr")->text();
}

QString unlockCode(ManagerWorld& world, const QString& serial, const QString& request)
{
    if (!world.keysim({"unlock-code", serial, request})) {
        return QString();
    }
    return world.lastOutput.trimmed();
}

bool pinIsLocked(TMainForm& window, int keyIndex)
{
    return test::pinState(window.session().service(), keyIndex).values[4] == 1;
}

// One key KXA whose user PIN is blocked, the manager open on its remote unlock page, and the
// unlock code the issuing party gives for the page's request.
struct BlockedKeyPage
{
    explicit BlockedKeyPage(const QStringList& createOptions = {})
    {
        QVERIFY(world.keysim(QStringList{"create", "--serial", "KXA", "--pin", "12345678"} + createOptions));
        QVERIFY(world.keysim({"set", "KXA", "--user-retries", "0"}));
        test::openWindow(window);
        selectUnlockPage(window, 0);
        code = unlockCode(world, QStringLiteral("KXA"), requestCode(window));
        QCOMPARE(code.size(), 16);
    }
    ManagerWorld world{kSkfLine};
    RecordingPresenter messages;
    TMainForm window;
    QString code;
};

} // namespace

class RemoteUnlockTest : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void withoutSkfLibraryNoKeyIsFound()
    {
        ManagerWorld world("SKFLib=/nonexistent/libskf.so\n");
        QVERIFY(world.keysim({"create", "--serial", "KXA", "--sensor", "fingerprint"}));
        RecordingPresenter messages;
        TMainForm window;
        test::openWindow(window);
        selectUnlockPage(window, 0);
        QVERIFY(requestCode(window).isEmpty());
        QCOMPARE(messages.messages, QStringList{Lang("K_Find_Error")});
        fill(window, QStringLiteral("0123456789ABCDEF"), kInitialPin, kNewPin, kNewPin);
        QVERIFY(window.action("AcRemoteUnLock")->isEnabled());
        window.action("AcRemoteUnLock")->trigger();
        QVERIFY(test::settled(window));
        QCOMPARE(messages.messages.last(), Lang("K_Find_Error"));
        QCOMPARE(child<QLineEdit>(window, "edtNewUPin1_RM")->text(), kNewPin); // nothing lost
    }

    void requestIsSixteenUpperCaseHexDigits()
    {
        ManagerWorld world(kSkfLine);
        QVERIFY(world.keysim({"create", "--serial", "KXA"}));
        RecordingPresenter messages;
        TMainForm window;
        test::openWindow(window);
        selectUnlockPage(window, 0);
        const QString request = requestCode(window);
        QVERIFY2(QRegularExpression(QStringLiteral("^[0-9A-F]{16}$")).match(request).hasMatch(), qPrintable(request));
        QVERIFY(messages.messages.isEmpty());
        QVERIFY(child<QLineEdit>(window, "edtRequestStr")->isReadOnly());
    }

    void unlockIsEnabledOnlyWithLongEnoughFields()
    {
        ManagerWorld world(kSkfLine);
        QVERIFY(world.keysim({"create", "--serial", "KXA"}));
        RecordingPresenter messages;
        TMainForm window;
        test::openWindow(window);
        selectUnlockPage(window, 0);
        QAction* unlock = window.action("AcRemoteUnLock");
        const QString code16 = QStringLiteral("0123456789ABCDEF");
        fill(window, code16.left(15), kInitialPin, kNewPin, kNewPin);
        QVERIFY(!unlock->isEnabled());
        fill(window, code16, kInitialPin, kNewPin, kNewPin);
        QVERIFY(unlock->isEnabled());
        const QString seven = QStringLiteral("1234567");
        fill(window, code16, seven, kNewPin, kNewPin);
        QVERIFY(!unlock->isEnabled());
        fill(window, code16, kInitialPin, seven, kNewPin);
        QVERIFY(!unlock->isEnabled());
        fill(window, code16, kInitialPin, kNewPin, seven);
        QVERIFY(!unlock->isEnabled());
        // Tab leaves the code field (a keyboard user is not trapped in it) and types no tab.
        auto* codeField = child<QPlainTextEdit>(window, "edtUnlockCode");
        codeField->setFocus();
        QTest::keyClick(codeField, Qt::Key_Tab);
        QCOMPARE(codeField->toPlainText(), code16);
        QVERIFY(child<QLineEdit>(window, "edtNewUPin_RM")->maxLength() == 16);
        QCOMPARE(child<QLineEdit>(window, "edtNewUPin_RM")->echoMode(), QLineEdit::Password);
        // Another page chosen, and back: nothing typed for the key is left on the page.
        fill(window, code16, kInitialPin, kNewPin, kNewPin);
        auto* tv = child<QTreeWidget>(window, "tv");
        tv->setCurrentItem(tv->topLevelItem(0)->child(0));
        QVERIFY(test::settled(window));
        selectUnlockPage(window, 0);
        for (const char* name : {"edtNewUPin_RM", "edtNewUPin1_RM", "edtNewUPin2_RM"}) {
            QVERIFY2(child<QLineEdit>(window, name)->text().isEmpty(), name);
        }
        QVERIFY(child<QPlainTextEdit>(window, "edtUnlockCode")->toPlainText().isEmpty());
    }

    void blockedPinIsUnlockedAndTheCycleRenewed()
    {
        ManagerWorld world(kSkfLine);
        world.folders.context().setClock([] { return QDateTime(QDate(2026, 12, 9), QTime(10, 0)); });
        world.folders.write(QStringLiteral("config/kx/UserConfig.ini"), "[UserConfig]\nCycleSetPIN=30\n");
        QVERIFY(world.keysim({"create", "--serial", "KXA", "--pin", "12345678"}));
        QVERIFY(world.keysim({"create", "--serial", "KXB", "--pin", "12345678", "--pid", "C004"}));
        QVERIFY(world.keysim({"set", "KXB", "--user-retries", "0"}));
        RecordingPresenter messages;
        TMainForm window;
        test::openWindow(window);
        QVERIFY(pinIsLocked(window, 1));
        // The second key: request and unlock must reach it, not the first SKF device.
        selectUnlockPage(window, 1);
        const QString request = requestCode(window);
        const QString code = unlockCode(world, QStringLiteral("KXB"), request);
        QCOMPARE(code.size(), 16);
        // A last odd character is ignored.
        fill(window, code + QLatin1Char('7'), kInitialPin, kNewPin, kNewPin);
        window.action("AcRemoteUnLock")->trigger();
        QVERIFY(test::settled(window));
        QCOMPARE(messages.messages, QStringList{QStringLiteral("解锁成功")});
        QVERIFY(!pinIsLocked(window, 1));
        int retries = 0;
        QCOMPARE(test::checkPin(window.session().service(), 1, kNewPin, retries), 0);
        QCOMPARE(window.session().LoginState(1), 1);
        for (const char* field : {"edtNewUPin_RM", "edtNewUPin1_RM", "edtNewUPin2_RM", "edtRequestStr"}) {
            QVERIFY2(child<QLineEdit>(window, field)->text().isEmpty(), field);
        }
        QVERIFY(child<QPlainTextEdit>(window, "edtUnlockCode")->toPlainText().isEmpty());
        TUserConfigInfo config;
        ReadUserConfig(world.folders.path(QStringLiteral("config/kx/UserConfig.ini")), config);
        QCOMPARE(config.LastDay, QStringLiteral("20270108"));
    }

    void wrongInitialPinLocksTheKeyAgain()
    {
        BlockedKeyPage page({"--max-retries", "4"});
        fill(page.window, page.code, QStringLiteral("87654321"), kNewPin, kNewPin);
        page.window.action("AcRemoteUnLock")->trigger();
        QVERIFY(test::settled(page.window));
        QCOMPARE(page.messages.messages, QStringList{QStringLiteral("初始口令错误，设备已锁定，请重新解锁")});
        QVERIFY(pinIsLocked(page.window, 0));
        QCOMPARE(child<QLineEdit>(page.window, "edtNewUPin1_RM")->text(), kNewPin);
    }

    void refusalsKeepTheKeyBlocked_data()
    {
        QTest::addColumn<QString>("initial");
        QTest::addColumn<QString>("pin1");
        QTest::addColumn<QString>("pin2");
        QTest::addColumn<QString>("shown");
        QTest::newRow("short initial") << "1234567" << kNewPin << kNewPin << "密码长度不够";
        QTest::newRow("confirmation differs") << kInitialPin << kNewPin << "Kx2700!neW" << Lang("S_PIN_equal");
        QTest::newRow("letters and digits only") << kInitialPin << "abc123def"
                                                 << "abc123def"
                                                 << "口令为8-16位，必须包含数字、字母、特殊字符";
    }

    void refusalsKeepTheKeyBlocked()
    {
        QFETCH(QString, initial);
        QFETCH(QString, pin1);
        QFETCH(QString, pin2);
        QFETCH(QString, shown);
        BlockedKeyPage page;
        fill(page.window, page.code, initial, pin1, pin2);
        page.window.remoteUnlockPage().AcRemoteUnLockExecute();
        QVERIFY(test::settled(page.window));
        QCOMPARE(page.messages.messages, QStringList{shown});
        QVERIFY(pinIsLocked(page.window, 0));
    }

    void wrongOrOverlongCodesAreRefused()
    {
        BlockedKeyPage page;
        TMainForm& window = page.window;
        const QStringList& messages = page.messages.messages;
        QString code = page.code;
        // A code beyond what the key takes is refused as a whole instead of being cut.
        fill(window, code + QString(120, QLatin1Char('0')), kInitialPin, kNewPin, kNewPin);
        window.action("AcRemoteUnLock")->trigger();
        QVERIFY(test::settled(window));
        QCOMPARE(messages.size(), 1);
        QVERIFY(messages.last().contains(QStringLiteral("128")));
        // One wrong digit: the key refuses with its code in decimal.
        code[0] = code[0] == QLatin1Char('0') ? QLatin1Char('1') : QLatin1Char('0');
        fill(window, code, kInitialPin, kNewPin, kNewPin);
        window.action("AcRemoteUnLock")->trigger();
        QVERIFY(test::settled(window));
        QVERIFY(QRegularExpression(QStringLiteral("^解锁失败，错误码 = \\d+$")).match(messages.last()).hasMatch());
        QVERIFY(pinIsLocked(window, 0));
    }

    void systemCheckListsSixRowsEachTime()
    {
        ManagerWorld world("CSPLib=libnot-there.so\nPKCS11Lib=libversioned.so\n");
        // A module whose real file carries its version in the name, reached through a link.
        world.folders.write(QStringLiteral("bin/libversioned.so.2.5.1"), "x");
        QFile::link(world.folders.path(QStringLiteral("bin/libversioned.so.2.5.1")),
                    world.folders.path(QStringLiteral("bin/libversioned.so")));
        // A browser program that must not be started to learn its version.
        const QString started = world.folders.path(QStringLiteral("browser-started"));
        const QString browser = world.folders.write(
            QStringLiteral("path/x-www-browser"), "#!/bin/sh\ntouch '" + QFile::encodeName(started) + "'\nsleep 30\n");
        QFile::setPermissions(browser, QFile::ReadOwner | QFile::ExeOwner);
        const QByteArray oldPath = qgetenv("PATH");
        qputenv("PATH", QFile::encodeName(world.folders.path(QStringLiteral("path"))) + ":" + oldPath);
        // Only this world's desktop settings count, not those of the machine.
        qputenv("XDG_CONFIG_HOME", QFile::encodeName(world.folders.path(QStringLiteral("config"))));
        qputenv("XDG_CONFIG_DIRS", QFile::encodeName(world.folders.path(QStringLiteral("etc"))));
        qputenv("XDG_DATA_DIRS", QFile::encodeName(world.folders.path(QStringLiteral("share"))));
        RecordingPresenter messages;
        TMainForm window;
        window.show();
        auto* tv = child<QTreeWidget>(window, "tv");
        auto* list = child<QTreeWidget>(window, "LVSystemInfo");
        tv->setCurrentItem(tv->topLevelItem(1));
        QCOMPARE(list->topLevelItemCount(), 6);
        QCOMPARE(list->topLevelItem(0)->text(0), Lang("S_System_Ver"));
        QCOMPARE(list->topLevelItem(0)->text(1), OSName());
        QCOMPARE(list->topLevelItem(1)->text(1), QStringLiteral("x-www-browser Version："));
        QCOMPARE(list->topLevelItem(2)->text(1), Lang("S_CSP_NullInstall"));
        QCOMPARE(list->topLevelItem(3)->text(1), QString());
        QCOMPARE(list->topLevelItem(4)->text(1),
                 QStringLiteral("2.5.1.0 (%1)").arg(world.folders.path(QStringLiteral("bin/libversioned.so"))));
        // The configuration files in use: the installation's alone, then with the administrator's.
        const QString installed = world.folders.path(QStringLiteral("bin/APPInfo.ini"));
        const QString local = world.folders.write(QStringLiteral("etc/kx2700/APPInfo.ini"), "[APPLib]\n;CSPLib=x\n");
        QCOMPARE(list->topLevelItem(5)->text(0), Lang("S_Config_Files"));
        QCOMPARE(list->topLevelItem(5)->text(1), installed);
        const QByteArray oldLocal = qgetenv("KX2700_SYSTEM_APPINFO");
        qputenv("KX2700_SYSTEM_APPINFO", QFile::encodeName(local));
        tv->setCurrentItem(tv->topLevelItem(2));
        tv->setCurrentItem(tv->topLevelItem(1));
        QCOMPARE(list->topLevelItem(5)->text(1), installed + QStringLiteral("; ") + local);
        qputenv("KX2700_SYSTEM_APPINFO", oldLocal);

        // Registered provider and a browser version in the registry; selected again: still six.
        RegWriteString(QStringLiteral("HKEY_LOCAL_MACHINE"),
                       QStringLiteral("SOFTWARE\\Microsoft\\Cryptography\\Defaults\\Provider\\KX CSP"),
                       QStringLiteral("Image Path"), QStringLiteral("libDrevmor.so"));
        RegWriteString(QStringLiteral("HKEY_LOCAL_MACHINE"), QStringLiteral("Software\\Microsoft\\Internet Explorer"),
                       QStringLiteral("Version"), QStringLiteral("9.11"));
        tv->setCurrentItem(tv->topLevelItem(2));
        tv->setCurrentItem(tv->topLevelItem(1));
        QCOMPARE(list->topLevelItemCount(), 6);
        QCOMPARE(list->topLevelItem(1)->text(1), QStringLiteral("Internet Explorer Version：9.11"));
        QCOMPARE(list->topLevelItem(2)->text(1), Lang("S_CSP_Install"));
        // A p11-kit module file that loads the module (by its real name): the row says where.
        const QString moduleFile = world.folders.write(
            QStringLiteral("config/pkcs11/modules/vendor.module"),
            "module: " + QFile::encodeName(world.folders.path(QStringLiteral("bin/libversioned.so.2.5.1"))) + "\n");
        tv->setCurrentItem(tv->topLevelItem(2));
        tv->setCurrentItem(tv->topLevelItem(1));
        QCOMPARE(list->topLevelItem(2)->text(1), Lang("S_CSP_Install") + " (p11-kit: " + moduleFile + ")");
        qputenv("PATH", oldPath);
        qunsetenv("XDG_CONFIG_HOME");
        qunsetenv("XDG_CONFIG_DIRS");
        qunsetenv("XDG_DATA_DIRS");
        QVERIFY(messages.messages.isEmpty());
        QVERIFY(!QFileInfo::exists(started));
    }

    // The module's own version and path, the version of the package that installed the provider's
    // library, and the default browser named by the desktop with its package's version; the
    // package database answers later, and no browser is started.
    void systemCheckShowsFactsOfThisMachine()
    {
        ManagerWorld world("CSPLib=libudev.so.1\n");
        world.folders.write(QStringLiteral("config/mimeapps.list"),
                            "[Default Applications]\nx-scheme-handler/http=missing.desktop;fakefox.desktop;\n");
        // A desktop entry whose program belongs to an installed package.
        world.folders.write(QStringLiteral("data/applications/fakefox.desktop"),
                            "[Desktop Entry]\nType=Application\nName=Fakefox\nExec=env A=1 Xvfb %u\n");
        // Only this world's desktop settings count, not those of the machine.
        qputenv("XDG_CONFIG_HOME", QFile::encodeName(world.folders.path(QStringLiteral("config"))));
        qputenv("XDG_CONFIG_DIRS", QFile::encodeName(world.folders.path(QStringLiteral("etc"))));
        qputenv("XDG_DATA_DIRS", QFile::encodeName(world.folders.path(QStringLiteral("share"))));
        auto installed = [](const char* package) {
            QProcess query;
            query.start(QStringLiteral("dpkg-query"),
                        {QStringLiteral("-W"), QStringLiteral("-f=${Version}"), QString::fromLatin1(package)});
            query.waitForFinished();
            return QString::fromLocal8Bit(query.readAllStandardOutput()).trimmed();
        };
        const QString xvfb = installed("xvfb");
        const QString udev = installed("libudev1");
        QVERIFY(!xvfb.isEmpty() && !udev.isEmpty());
        RecordingPresenter messages;
        TMainForm window;
        test::openWindow(window);
        auto* tv = child<QTreeWidget>(window, "tv");
        auto* list = child<QTreeWidget>(window, "LVSystemInfo");
        tv->setCurrentItem(tv->topLevelItem(1));
        QCOMPARE(list->topLevelItem(4)->text(1), QStringLiteral("1.00 (" KEYSIM_PKCS11_PATH ")"));
        QCOMPARE(list->topLevelItem(1)->text(1), QStringLiteral("Fakefox Version："));
        QTRY_COMPARE_WITH_TIMEOUT(list->topLevelItem(1)->text(1), QStringLiteral("Fakefox Version：") + xvfb, 10000);
        QTRY_COMPARE_WITH_TIMEOUT(list->topLevelItem(3)->text(1), udev + QStringLiteral(" (libudev1)"), 10000);
        // Again, and quickly away: the questions of the check before are dropped, none is left running.
        tv->setCurrentItem(tv->topLevelItem(2));
        tv->setCurrentItem(tv->topLevelItem(1));
        tv->setCurrentItem(tv->topLevelItem(0));
        tv->setCurrentItem(tv->topLevelItem(1));
        QCOMPARE(list->topLevelItemCount(), 6);
        QTRY_COMPARE_WITH_TIMEOUT(list->topLevelItem(3)->text(1), udev + QStringLiteral(" (libudev1)"), 10000);
        QTRY_VERIFY_WITH_TIMEOUT(window.findChildren<QProcess*>().isEmpty(), 10000);
        qunsetenv("XDG_CONFIG_HOME");
        qunsetenv("XDG_CONFIG_DIRS");
        qunsetenv("XDG_DATA_DIRS");
        QVERIFY(messages.messages.isEmpty());
    }

    void systemFacts()
    {
        test::TestFolders folders;
        const QString release =
            folders.write(QStringLiteral("os-release"),
                          "NAME=\"Debian GNU/Linux\"\nPRETTY_NAME=\"Debian GNU/Linux 12 (bookworm)\"\n");
        QVERIFY(OSName(release).startsWith(QStringLiteral("Debian GNU/Linux 12 (bookworm) (")));
        const QString bare = folders.write(QStringLiteral("bare"), "NAME='Some OS'\nVERSION=\"3\"\n");
        QVERIFY(OSName(bare).startsWith(QStringLiteral("Some OS 3 (")));
        QVERIFY(OSName(folders.path(QStringLiteral("missing"))).startsWith(QStringLiteral("Linux ? (")));
        // Versions from real names; files without one, or missing, give nothing.
        QCOMPARE(FileVersionText(folders.write(QStringLiteral("lib/libz.so.1.2.13"), "z")), QStringLiteral("1.2.13.0"));
        QCOMPARE(FileVersionText(folders.write(QStringLiteral("lib/libq.so.6.4.2.9.1"), "q")),
                 QStringLiteral("6.4.2.9"));
        QCOMPARE(FileVersionText(folders.write(QStringLiteral("lib/libplain.so"), "p")), QString());
        QCOMPARE(FileVersionText(folders.path(QStringLiteral("lib/missing.so.1"))), QString());
        // The loader's view: an absolute path, a name beside the executable, a missing name.
        QCOMPARE(LibraryFile(folders.path(QStringLiteral("lib/libplain.so"))),
                 folders.path(QStringLiteral("lib/libplain.so")));
        folders.write(QStringLiteral("bin/libhere.so"), "h");
        QCOMPARE(LibraryFile(QStringLiteral("libhere.so")), folders.path(QStringLiteral("bin/libhere.so")));
        QCOMPARE(LibraryFile(QStringLiteral("libnowhere-at-all.so")), QString());
        QVERIFY(!LibraryFile(QStringLiteral("libc.so.6")).isEmpty()); // found as loaded
    }
};

QTEST_MAIN(RemoteUnlockTest)
#include "RemoteUnlockTest.moc"
