// SPDX-License-Identifier: Apache-2.0
// What a user meets: the real KX2700Mon and KX2700Mgr against virtual keys, worked through their
// windows, checked by what they show and by the files, the certificate store and the key they
// leave behind. Every scenario ends with the operation log: the calls traced, no secret in it.
#include "Desktop.h"

#include "../manager/CertFixture.h"

#include <QRegularExpression>
#include <QTest>

#include <unistd.h>

using namespace kx::test;

namespace {

const QString kMgr = QStringLiteral("KX2700Mgr");
const QString kMon = QStringLiteral("KX2700Mon");
const QString kFactoryPin = QStringLiteral("12345678");
const QString kNewPin = QStringLiteral("Kx2700!e2e");
const QString kPfxPassword = QStringLiteral("pfx-pass");

// The operation log names the calls the scenario made and holds none of its secrets.
void checkLog(Desktop& desktop, const QStringList& calls, const QStringList& secrets)
{
    const QByteArray log = desktop.operationLog();
    QVERIFY2(!log.isEmpty(), "no operation log");
    for (const QString& call : calls) {
        QVERIFY2(log.contains(call.toUtf8()), qPrintable(QStringLiteral("not traced: ") + call));
    }
    for (const QString& secret : secrets) {
        QVERIFY2(!log.contains(secret.toUtf8()), qPrintable(QStringLiteral("secret in the log: ") + secret));
    }
}

// Starts the manager and waits until its key tree lists `keys` keys.
void openManager(Desktop& desktop, int keys)
{
    const QString started = QString::number(desktop.started().size());
    desktop.start(kMgr);
    QString tree;
    const bool listed = QTest::qWaitFor(
        [&] {
            tree = desktop.get(kMgr, QStringLiteral("TMainForm/tv"));
            return tree.split('\n').filter(QRegularExpression(QStringLiteral("^  \\S"))).size() == keys;
        },
        20000);
    QVERIFY2(listed, qPrintable(QStringLiteral("start %1: ").arg(started) + tree +
                                (desktop.running(kMgr) ? " (running)" : " (not running)") + desktop.lastError));
}

// The position of the key labelled `label` in the manager's key list.
int keyPosition(Desktop& desktop, const QString& label)
{
    const QStringList keys = desktop.get(kMgr, QStringLiteral("TMainForm/tv"))
                                 .split('\n')
                                 .filter(QRegularExpression(QStringLiteral("^  \\S")));
    return static_cast<int>(keys.indexOf(QStringLiteral("  ") + label));
}

void loginWithPin(Desktop& desktop, const QString& pin, const QString& label = QStringLiteral("KX2700 Key"))
{
    const int key = keyPosition(desktop, label);
    QVERIFY(key >= 0);
    QVERIFY(desktop.act(kMgr, {"select", "TMainForm/tv", QStringLiteral("0/%1/2").arg(key)}));
    QVERIFY(desktop.act(kMgr, {"set", "TMainForm/edtUPIN", pin}));
    QVERIFY(desktop.click(kMgr, QStringLiteral("TMainForm/btnlogon")));
    QVERIFY(QTest::qWaitFor(
        [&] {
            return desktop.drive(kMgr, {"visible", "TMainForm/tvCert"}) == QStringLiteral("1");
        },
        10000));
}

// Imports a PKCS#12 file into a new container through the import dialog. Empty when the dialog
// closed without a message (the import went through), otherwise the message shown.
QString importPkcs12(Desktop& desktop, const QString& file, const QString& container, bool pullBeforeOk = false,
                     const QString& password = kPfxPassword)
{
    if (!desktop.click(kMgr, QStringLiteral("TMainForm/btnInputCert")) ||
        !desktop.waitForModal(kMgr, QStringLiteral("IMForm"))) {
        return QStringLiteral("no import dialog");
    }
    desktop.act(kMgr, {"set", "@modal/edtPath", file});
    desktop.act(kMgr, {"set", "@modal/edtpwd", password});
    desktop.act(kMgr, {"check", "@modal/rb1"});
    desktop.act(kMgr, {"set", "@modal/edtContname", container});
    desktop.act(kMgr, {"check", "@modal/rb3"});
    if (pullBeforeOk) {
        desktop.keysim({"pull", "KXA"});
        // The manager hears of the removal and may close the dialog itself.
        QTest::qWait(1500);
    }
    if (desktop.drive(kMgr, {"modal"}).value_or(QString()).startsWith(QStringLiteral("IMForm"))) {
        desktop.click(kMgr, QStringLiteral("@modal/btnOK"));
    }
    QString message = QStringLiteral("still importing");
    QTest::qWaitFor(
        [&] {
            const std::optional<QString> modal = desktop.drive(kMgr, {"modal"});
            if (!modal) {
                message = desktop.running(kMgr) ? message : QStringLiteral("manager ended");
                return !desktop.running(kMgr);
            }
            message = modal->section('\n', 2);
            return modal->isEmpty() || !message.isEmpty();
        },
        20000);
    // Without a message the import runs on after the dialog closed; the tree shows its end.
    if (message.isEmpty() &&
        !QTest::qWaitFor(
            [&] {
                return desktop.get(kMgr, QStringLiteral("TMainForm/tvCert")).contains(container + QLatin1Char('('));
            },
            20000)) {
        return QStringLiteral("import did not finish");
    }
    return message;
}

// Starts the monitor on a key with its factory PIN and changes the PIN at its prompt.
void changeFactoryPinAtTheMonitor(Desktop& desktop, const QString& oldPin, const QString& newPin)
{
    desktop.start(kMon);
    QVERIFY(desktop.waitForModal(kMon, QStringLiteral("UPinSetForm")));
    QVERIFY(desktop.get(kMon, QStringLiteral("@modal/lmsg")).contains(QStringLiteral("默认")));
    QVERIFY(desktop.click(kMon, QStringLiteral("@modal/btn1")));
    QVERIFY(QTest::qWaitFor(
        [&] {
            return desktop.drive(kMon, {"visible", "@modal/GroupBox1"}) == QStringLiteral("1");
        },
        10000));
    desktop.act(kMon, {"set", "@modal/edtUPin", oldPin});
    desktop.act(kMon, {"set", "@modal/edtNewUPin1", newPin});
    desktop.act(kMon, {"set", "@modal/edtNewUPin2", newPin});
    QVERIFY(desktop.click(kMon, QStringLiteral("@modal/btnOK")));
    QVERIFY(desktop.waitForModal(kMon, QStringLiteral("修改成功")));
    QVERIFY(desktop.act(kMon, {"answer", "ok"}));
}

// Where `secret` lies in the memory of the running `program`, as UTF-8 or UTF-16 text, by a core
// taken with gcore; empty when it is nowhere. The programs make themselves non-dumpable: the core
// is taken with the tracing privilege the test runs with, and the test is skipped without it.
QString secretInMemory(Desktop& desktop, const QString& program, const QStringList& secrets)
{
    const qint64 pid = desktop.pidOf(program);
    if (pid == 0) {
        return program + QStringLiteral(" is not running");
    }
    if (desktop.drive(program, {"dumpable"}) != QStringLiteral("0")) {
        return program + QStringLiteral(" is dumpable");
    }
    const QByteArray limits = TestFolders::read(QStringLiteral("/proc/%1/limits").arg(pid));
    if (!QRegularExpression(QStringLiteral("Max core file size\\s+0\\s"))
             .match(QString::fromLatin1(limits))
             .hasMatch()) {
        return program + QStringLiteral(" may write a core file");
    }
    const QString prefix = desktop.folders.path(QStringLiteral("core-") + program);
    QProcess gcore;
    gcore.start(QStringLiteral("gcore"), {QStringLiteral("-o"), prefix, QString::number(pid)});
    gcore.waitForFinished(120000);
    QFile core(prefix + QLatin1Char('.') + QString::number(pid));
    if (!core.open(QIODevice::ReadOnly)) {
        return QStringLiteral("no core: ") + QString::fromLocal8Bit(gcore.readAllStandardError().right(400));
    }
    const QByteArray memory = core.readAll();
    core.close();
    core.remove();
    QStringList found;
    for (const QString& secret : secrets) {
        const QByteArray utf16(reinterpret_cast<const char*>(secret.utf16()), secret.size() * 2);
        for (const QByteArray& form : {secret.toUtf8(), utf16}) {
            if (const qsizetype at = memory.indexOf(form); at >= 0) {
                found << QStringLiteral("%1 at %2 of %3 (%4)").arg(secret).arg(at).arg(memory.size()).arg(program);
            }
        }
    }
    return found.join(QStringLiteral("; "));
}

} // namespace

class ScenarioTest : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void initTestCase() { QVERIFY(m_certs.ok()); }

    // After a PIN change at the monitor's prompt, a login and two imports in the manager, neither
    // program holds the PINs or the first file's password anywhere in its memory. (The token
    // library keeps the password of the file it parsed last until the next parse.)
    void secretsLeaveNoTraceInMemory()
    {
        if (::geteuid() != 0) {
            QSKIP("a core of a non-dumpable process needs the tracing privilege (run as root)");
        }
#ifdef __SANITIZE_ADDRESS__
        QSKIP("a core of a program built with AddressSanitizer holds its shadow memory: terabytes");
#endif
        const QString oldPin = QStringLiteral("Fq3!old#pin9");
        const QString newPin = QStringLiteral("Nw8!new#pin4");
        const QString password = QStringLiteral("Px5!pass#word");
        QProcess openssl;
        openssl.setWorkingDirectory(m_certs.path(QString()));
        openssl.start(QStringLiteral("openssl"), {"pkcs12", "-export", "-inkey", "user.key", "-in", "user.pem",
                                                  "-passout", "pass:" + password, "-out", "secret.pfx"});
        QVERIFY(openssl.waitForFinished(30000) && openssl.exitCode() == 0);

        Desktop desktop;
        QVERIFY(desktop.keysim({"create", "--serial", "KXA", "--pin", oldPin}));
        changeFactoryPinAtTheMonitor(desktop, oldPin, newPin);
        if (QTest::currentTestFailed()) {
            return;
        }

        openManager(desktop, 1);
        loginWithPin(desktop, newPin);
        QCOMPARE(
            importPkcs12(desktop, m_certs.path(QStringLiteral("secret.pfx")), QStringLiteral("first"), false, password),
            QString());
        QCOMPARE(importPkcs12(desktop, m_certs.path(QStringLiteral("user.pfx")), QStringLiteral("second")), QString());
        // The second file's password too: the token library keeps no password once a file is parsed.
        for (const QString& program : {kMon, kMgr}) {
            const QString found = secretInMemory(desktop, program, {oldPin, newPin, password, kPfxPassword});
            QVERIFY2(found.isEmpty(), qPrintable(found));
        }
    }

    // A key with the factory PIN: the monitor asks to change it, the user does.
    void factoryPinIsChangedAtTheMonitorsPrompt()
    {
        Desktop desktop;
        QVERIFY(desktop.keysim({"create", "--serial", "KXA", "--pin", kFactoryPin}));
        changeFactoryPinAtTheMonitor(desktop, kFactoryPin, kNewPin);
        if (QTest::currentTestFailed()) {
            return;
        }
        QVERIFY(desktop.keysim({"show", "KXA"}));
        QVERIFY(desktop.lastOutput.contains(QStringLiteral("user-pin-default: no")));
        checkLog(desktop, {"token_change_upin"}, {kFactoryPin, kNewPin});
    }

    // Two keys with certificates: the monitor registers the first at start and the second when
    // it is plugged in; pulling the last key empties the store and closes the manager.
    void keysComeAndGoWithTheirCertificates()
    {
        Desktop desktop;
        desktop.writeUserConfig("DefaultPINMode=0\n");
        QVERIFY(desktop.keysim({"create", "--serial", "KXA", "--label", "Key A"}));
        QVERIFY(desktop.keysim({"create", "--serial", "KXB", "--label", "Key B", "--pid", "C004"}));
        openManager(desktop, 2);
        // A certificate for the first key through the manager.
        loginWithPin(desktop, kFactoryPin, QStringLiteral("Key A"));
        QCOMPARE(importPkcs12(desktop, m_certs.path(QStringLiteral("user.pfx")), QStringLiteral("KeyA")), QString());
        desktop.endPrograms();
        QVERIFY(desktop.keysim({"pull", "KXB"}));

        desktop.start(kMon);
        const bool registered = QTest::qWaitFor([&] { return desktop.store(QStringLiteral("MY")).size() == 1; }, 15000);
        QVERIFY2(registered, qPrintable(desktop.store(QStringLiteral("MY")).join(' ') + " | " +
                                        desktop.store(QStringLiteral("CA")).join(' ') + " | " +
                                        desktop.drive(kMon, {"modal"}).value_or("no monitor") + " | " +
                                        QString::number(desktop.programPids().size()) + " programs | " +
                                        QString::fromUtf8(desktop.operationLog().right(6000))));
        QVERIFY(desktop.keysim({"plug", "KXB"}));
        QVERIFY(QTest::qWaitFor([&] { return desktop.running(kMon); }, 1000));
        openManager(desktop, 2);
        QVERIFY(desktop.keysim({"pull", "KXB"}));
        QVERIFY(desktop.keysim({"pull", "KXA"}));
        QVERIFY(QTest::qWaitFor([&] { return desktop.store(QStringLiteral("MY")).isEmpty(); }, 15000));
        QVERIFY(QTest::qWaitFor([&] { return !desktop.running(kMgr); }, 15000));
        QVERIFY(desktop.running(kMon));
        checkLog(desktop, {"token_login", "pkcs12_import_certificate", "container_addcert_to_store"},
                 {kFactoryPin, kPfxPassword});
    }

    // Login, a PKCS#12 file with its chain, the chain in the user's stores, and the export of the
    // certificate as a file.
    void importWithChainAndExport()
    {
        Desktop desktop;
        desktop.writeUserConfig("DefaultPINMode=0\n");
        QVERIFY(desktop.keysim({"create", "--serial", "KXA"}));
        openManager(desktop, 1);
        loginWithPin(desktop, kFactoryPin);
        QCOMPARE(importPkcs12(desktop, m_certs.path(QStringLiteral("user.pfx")), QStringLiteral("张三")), QString());
        QVERIFY(QTest::qWaitFor(
            [&] { return desktop.get(kMgr, QStringLiteral("TMainForm/tvCert")).contains(QStringLiteral("张三")); },
            5000));
        QVERIFY(QTest::qWaitFor(
            [&] {
                return desktop.store(QStringLiteral("ROOT")).size() == 1 &&
                       desktop.store(QStringLiteral("CA")).size() == 1;
            },
            10000));
        // The monitor registers the new certificate and has the manager reload its tree; the
        // selection below comes after that.
        QVERIFY(QTest::qWaitFor([&] { return desktop.store(QStringLiteral("MY")).size() == 1; }, 10000));
        QTest::qWait(1500);

        // The exchange certificate under the container, saved through the file dialog.
        // The chain went into containers of their own; the certificate is in the one named.
        const QStringList containers =
            desktop.get(kMgr, QStringLiteral("TMainForm/tvCert")).split('\n').filter(QRegularExpression("^\\S"));
        const auto named = std::find_if(containers.begin(), containers.end(),
                                        [](const QString& line) { return line.startsWith(QStringLiteral("张三")); });
        QVERIFY(named != containers.end());
        const QString position = QString::number(named - containers.begin()) + QStringLiteral("/0/0");
        QVERIFY(desktop.act(kMgr, {"select", "TMainForm/tvCert", position}));
        QVERIFY(desktop.click(kMgr, QStringLiteral("TMainForm/btnOutput")));
        QVERIFY(desktop.waitForModal(kMgr, QStringLiteral("QFileDialog")));
        const QString exported = desktop.folders.path(QStringLiteral("exported.cer"));
        QVERIFY(desktop.act(kMgr, {"set", "@modal/fileNameEdit", exported}));
        QVERIFY(desktop.act(kMgr, {"accept", "@modal"}));
        QVERIFY(desktop.waitForModal(kMgr, QStringLiteral("导出成功")));
        QVERIFY(desktop.act(kMgr, {"answer", "ok"}));
        QCOMPARE(TestFolders::read(exported), m_certs.read(QStringLiteral("user.cer")));
        // The end of the session closes the manager cleanly.
        QProcess* manager = desktop.started().first();
        ::kill(static_cast<pid_t>(manager->processId()), SIGTERM);
        QVERIFY(QTest::qWaitFor([&] { return manager->state() == QProcess::NotRunning; }, 10000));
        QCOMPARE(manager->exitStatus(), QProcess::NormalExit);
        QCOMPARE(manager->exitCode(), 0);
        checkLog(desktop, {"token_login", "pkcs12_file_parse", "pkcs12_import_certificate", "container_get_cert"},
                 {kFactoryPin, kPfxPassword});
    }

    // A key that takes seconds for a login and fails now and then: the window answers all the
    // while, says what the key is doing, and a failed call is the key's failure, not a wrong PIN.
    void slowAndFailingKeyKeepsTheWindowAnswering()
    {
        Desktop desktop;
        desktop.writeUserConfig("DefaultPINMode=0\n");
        desktop.useFaultWrapper("profile=real-key\n");
        QVERIFY(desktop.keysim({"create", "--serial", "KXA"}));
        openManager(desktop, 1);
        const int key = keyPosition(desktop, QStringLiteral("KX2700 Key"));
        QVERIFY(key >= 0);
        QVERIFY(desktop.act(kMgr, {"select", "TMainForm/tv", QStringLiteral("0/%1/2").arg(key)}));

        // A device error at the login: said as such, and every try stays.
        desktop.setFaults("profile=real-key\nfail.next.C_Login=after:1:0x30\n");
        QVERIFY(desktop.act(kMgr, {"set", "TMainForm/edtUPIN", kFactoryPin}));
        QVERIFY(desktop.click(kMgr, QStringLiteral("TMainForm/btnlogon")));
        QVERIFY(desktop.waitForModal(kMgr, QStringLiteral("设备错误")));
        QVERIFY(desktop.act(kMgr, {"answer", "ok"}));

        // A login of seven seconds: the window answers every question meanwhile (a window thread
        // held by the key would leave the driver unanswered for five), and tells what it waits for.
        desktop.setFaults("profile=real-key\nlatency.C_Login=7000\n");
        QVERIFY(desktop.act(kMgr, {"set", "TMainForm/edtUPIN", kFactoryPin}));
        QVERIFY(desktop.click(kMgr, QStringLiteral("TMainForm/btnlogon")));
        bool told = false;
        bool unanswered = false;
        int answers = 0;
        const bool loggedIn = QTest::qWaitFor(
            [&] {
                const std::optional<QString> busy = desktop.drive(kMgr, {"get", "TMainForm/lblKeyWorking"});
                if (!busy) {
                    unanswered = true;
                    return true;
                }
                ++answers;
                told = told || busy->contains(QStringLiteral("登录USBKey"));
                return desktop.drive(kMgr, {"visible", "TMainForm/tvCert"}) == QStringLiteral("1");
            },
            20000);
        QVERIFY2(!unanswered, qPrintable(desktop.lastError));
        QVERIFY(loggedIn);
        QVERIFY(answers > 1);
        QVERIFY(told);
        QVERIFY(desktop.keysim({"show", "KXA"}));
        QVERIFY2(desktop.lastOutput.contains(QStringLiteral("user-pin-retries: 6/6")), qPrintable(desktop.lastOutput));
    }

    // The key leaves while the import dialog is filled in: the monitor closes the manager (it does
    // at every removal), nothing is imported and nothing breaks.
    void keyPulledDuringAnImport()
    {
        Desktop desktop;
        desktop.writeUserConfig("DefaultPINMode=0\n");
        QVERIFY(desktop.keysim({"create", "--serial", "KXA", "--label", "Key A"}));
        QVERIFY(desktop.keysim({"create", "--serial", "KXB", "--label", "Key B", "--pid", "C004"}));
        openManager(desktop, 2);
        QVERIFY(QTest::qWaitFor([&] { return desktop.running(kMon); }, 5000));
        loginWithPin(desktop, kFactoryPin, QStringLiteral("Key A"));
        QProcess* manager = desktop.started().last();
        const QString message =
            importPkcs12(desktop, m_certs.path(QStringLiteral("user.pfx")), QStringLiteral("Lost"), true);
        QCOMPARE(message, QStringLiteral("manager ended"));
        QVERIFY(QTest::qWaitFor([&] { return manager->state() == QProcess::NotRunning; }, 5000));
        QCOMPARE(manager->exitStatus(), QProcess::NormalExit);
        QVERIFY(desktop.keysim({"plug", "KXA"}));
        QVERIFY(desktop.keysim({"show", "KXA"}));
        QVERIFY2(!desktop.lastOutput.contains(QStringLiteral("Lost")), qPrintable(desktop.lastOutput));
        checkLog(desktop, {"token_login"}, {kFactoryPin, kPfxPassword});
    }

    // A blocked user PIN, unblocked with the issuing party's answer to the request code.
    void lockedPinUnblockedRemotely()
    {
        Desktop desktop;
        desktop.writeUserConfig("DefaultPINMode=0\n");
        QVERIFY(desktop.keysim({"create", "--serial", "KXA"}));
        QVERIFY(desktop.keysim({"set", "KXA", "--user-retries", "0"}));
        openManager(desktop, 1);
        QVERIFY(desktop.act(kMgr, {"select", "TMainForm/tv", "0/0/3"}));
        QVERIFY(desktop.click(kMgr, QStringLiteral("TMainForm/btnRequest")));
        QString request;
        QVERIFY(QTest::qWaitFor(
            [&] { return (request = desktop.get(kMgr, QStringLiteral("TMainForm/edtRequestStr"))).size() == 16; },
            5000));
        QVERIFY(desktop.keysim({"unlock-code", "KXA", request}));
        const QString code = desktop.lastOutput.trimmed();
        desktop.act(kMgr, {"set", "TMainForm/edtUnlockCode", code});
        desktop.act(kMgr, {"set", "TMainForm/edtNewUPin_RM", kFactoryPin});
        desktop.act(kMgr, {"set", "TMainForm/edtNewUPin1_RM", kNewPin});
        desktop.act(kMgr, {"set", "TMainForm/edtNewUPin2_RM", kNewPin});
        QCOMPARE(desktop.drive(kMgr, {"enabled", "TMainForm/btnRemoteUnlock"}), QStringLiteral("1"));
        QVERIFY(desktop.click(kMgr, QStringLiteral("TMainForm/btnRemoteUnlock")));
        QVERIFY(desktop.waitForModal(kMgr, QStringLiteral("解锁成功")));
        QVERIFY(desktop.act(kMgr, {"answer", "ok"}));
        QVERIFY(desktop.keysim({"show", "KXA"}));
        QVERIFY2(desktop.lastOutput.contains(QStringLiteral("user-pin-retries: 6/6")), qPrintable(desktop.lastOutput));
        QVERIFY(desktop.lastOutput.contains(QStringLiteral("user-pin-default: no")));
        checkLog(desktop, {"SKF_GenRemoteUnblockRequest", "SKF_RemoteUnblockPIN", "token_change_upin"},
                 {kFactoryPin, kNewPin, code});
    }

    // The settings dialog of the monitor: English, then back to Chinese.
    void settingsSwitchTheLanguage()
    {
        Desktop desktop;
        desktop.writeUserConfig("DefaultPINMode=0\n");
        QVERIFY(desktop.keysim({"create", "--serial", "KXA"}));
        desktop.start(kMon);
        QVERIFY(QTest::qWaitFor([&] { return desktop.drive(kMon, {"windows"}).has_value(); }, 10000));
        const QString chineseExit = desktop.get(kMon, QStringLiteral("TMainForm/AcExit"));
        for (const QString& language : {QStringLiteral("English"), QStringLiteral("简体中文")}) {
            QVERIFY(desktop.click(kMon, QStringLiteral("TMainForm/AcAdvanced")));
            QVERIFY(desktop.waitForModal(kMon, QStringLiteral("ProjectConfigForm")));
            QVERIFY(desktop.act(kMon, {"set", "@modal/cbLanguageID", language}));
            QVERIFY(desktop.click(kMon, QStringLiteral("@modal/btnSave")));
            static_cast<void>(QTest::qWaitFor([&] { return !desktop.modalText(kMon).isEmpty(); }, 3000));
            desktop.act(kMon, {"answer", "ok"});
            QVERIFY(QTest::qWaitFor([&] { return desktop.drive(kMon, {"modal"}) == QString(); }, 5000));
            const QByteArray config = TestFolders::read(desktop.userConfig());
            QVERIFY2(config.contains(language == QLatin1String("English") ? "LanguageID=1033" : "LanguageID=2052"),
                     config.constData());
            const QString exitText = desktop.get(kMon, QStringLiteral("TMainForm/AcExit"));
            QCOMPARE(exitText == chineseExit, language != QLatin1String("English"));
        }
        checkLog(desktop, {"token_find"}, {});
    }

    // A key with a fingerprint sensor: the finger logs the user in.
    void fingerprintLogon()
    {
        Desktop desktop;
        desktop.writeUserConfig("DefaultPINMode=0\n");
        QVERIFY(desktop.keysim({"create", "--serial", "KXF", "--sensor", "fingerprint", "--fingers", "2"}));
        openManager(desktop, 1);
        QVERIFY(desktop.get(kMgr, QStringLiteral("TMainForm/tv")).contains(QStringLiteral("用户指纹")));
        QVERIFY(desktop.act(kMgr, {"select", "TMainForm/tv", "0/0/2"}));
        QVERIFY(QTest::qWaitFor(
            [&] {
                return desktop.drive(kMgr, {"enabled", "TMainForm/Button20"}) == QStringLiteral("1");
            },
            5000));
        QVERIFY(desktop.keysim({"present-finger", "KXF", "2"}));
        QVERIFY(desktop.click(kMgr, QStringLiteral("TMainForm/Button20")));
        QVERIFY(QTest::qWaitFor(
            [&] {
                return desktop.drive(kMgr, {"visible", "TMainForm/tvCert"}) == QStringLiteral("1");
            },
            15000));
        checkLog(desktop, {"token_login", "SKF_GetFingerInfo"}, {kFactoryPin});
    }

private:
    QTemporaryDir m_certFolder;
    TestCertificates m_certs{m_certFolder.path()};
};

QTEST_MAIN(ScenarioTest)
#include "ScenarioTest.moc"
