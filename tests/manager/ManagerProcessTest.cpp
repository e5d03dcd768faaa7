// SPDX-License-Identifier: Apache-2.0
// The manager as a program: one instance per user, the commands of the monitor, and no start while
// the monitor's PIN dialog is open.

#include "common/CommandChannel.h"

#include <QElapsedTimer>
#include <QFileInfo>
#include <QProcess>
#include <QTemporaryDir>
#include <QTest>
#include <functional>
#include <memory>

using namespace kx;

namespace {

bool waitUntil(const std::function<bool()>& condition, int timeoutMs = 15000)
{
    QElapsedTimer timer;
    timer.start();
    while (timer.elapsed() < timeoutMs) {
        if (condition()) {
            return true;
        }
        QTest::qWait(100);
    }
    return condition();
}

} // namespace

class ManagerProcessTest : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void init()
    {
        m_home = std::make_unique<QTemporaryDir>();
        const QString home = m_home->path();
        QDir().mkpath(home + QStringLiteral("/run"));
        QFile::setPermissions(home + QStringLiteral("/run"), QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner);
        m_env = QProcessEnvironment::systemEnvironment();
        m_env.insert(QStringLiteral("HOME"), home);
        m_env.insert(QStringLiteral("XDG_CONFIG_HOME"), home + QStringLiteral("/config"));
        m_env.insert(QStringLiteral("XDG_DATA_HOME"), home + QStringLiteral("/data"));
        m_env.insert(QStringLiteral("XDG_RUNTIME_DIR"), home + QStringLiteral("/run"));
        m_env.insert(QStringLiteral("KX2700_KEYSIM_DIR"), home + QStringLiteral("/keys"));
        m_env.insert(QStringLiteral("QT_QPA_PLATFORM"), QStringLiteral("offscreen"));
        // A program folder of its own: the manager and its token library, without the monitor.
        const QString bin = home + QStringLiteral("/bin");
        const QString built = QFileInfo(QStringLiteral(KX_MANAGER_PATH)).absolutePath();
        QDir().mkpath(bin);
        QVERIFY(QFile::copy(QStringLiteral(KX_MANAGER_PATH), bin + QStringLiteral("/KX2700Mgr")));
        QVERIFY(QFile::copy(built + QStringLiteral("/libDrevmor.so"), bin + QStringLiteral("/libDrevmor.so")));
        QFile appInfo(bin + QStringLiteral("/APPInfo.ini"));
        QVERIFY(appInfo.open(QIODevice::WriteOnly));
        appInfo.write("[APPLib]\nPKCS11Lib=" + built.toUtf8() + "/libkeysim-pkcs11.so\n[APPFlag]\nPID=$C003\n");
        appInfo.close();
        m_manager = bin + QStringLiteral("/KX2700Mgr");
        // This process talks to the programs over the same private folder.
        qputenv("XDG_RUNTIME_DIR", QFile::encodeName(home + QStringLiteral("/run")));
    }

    void cleanup()
    {
        for (QProcess* p : {&m_first, &m_second}) {
            if (p->state() != QProcess::NotRunning) {
                p->kill();
                p->waitForFinished();
            }
        }
    }

    void oneManagerPerUserAndItsCommands()
    {
        start(m_first);
        QVERIFY(waitUntil([] { return WindowClassExists(QString::fromLatin1(kManagerWindowClass)); }));
        // A second manager ends at once and leaves the first running.
        start(m_second);
        QVERIFY(m_second.waitForFinished(15000));
        QCOMPARE(m_second.exitCode(), 0);
        QCOMPARE(m_first.state(), QProcess::Running);

        QVERIFY(SendCommand(QStringLiteral("close"), QString::fromLatin1(kManagerWindowClass)));
        QTest::qWait(300);
        QCOMPARE(m_first.state(), QProcess::Running); // the manager's commands are case-sensitive
        QVERIFY(SendCommand(QStringLiteral("CLOSE"), QString::fromLatin1(kManagerWindowClass)));
        QVERIFY(m_first.waitForFinished(15000));
        QCOMPARE(m_first.exitCode(), 0);
        QVERIFY(!WindowClassExists(QString::fromLatin1(kManagerWindowClass)));

        // A killed manager leaves nothing that blocks the next start.
        start(m_first);
        QVERIFY(waitUntil([] { return WindowClassExists(QString::fromLatin1(kManagerWindowClass)); }));
        m_first.kill();
        m_first.waitForFinished();
        start(m_second);
        QVERIFY(waitUntil([] { return WindowClassExists(QString::fromLatin1(kManagerWindowClass)); }));
        QCOMPARE(m_second.state(), QProcess::Running);
    }

    void noStartWhileThePinDialogIsOpen()
    {
        QProcess dialog;
        dialog.setProcessEnvironment(m_env);
        dialog.start(QStringLiteral(KX_CHANNEL_PEER),
                     {QString::fromLatin1(kPinDialogWindowClass), QStringLiteral("pin")});
        QVERIFY(waitUntil([] { return WindowClassExists(QString::fromLatin1(kPinDialogWindowClass)); }));
        start(m_first);
        QVERIFY(m_first.waitForFinished(15000));
        QCOMPARE(m_first.exitCode(), 0);
        dialog.kill();
        dialog.waitForFinished();
    }

private:
    void start(QProcess& process)
    {
        process.setProcessEnvironment(m_env);
        process.start(m_manager, {});
        QVERIFY(process.waitForStarted());
    }

    std::unique_ptr<QTemporaryDir> m_home;
    QString m_manager;
    QProcessEnvironment m_env;
    QProcess m_first;
    QProcess m_second;
};

QTEST_GUILESS_MAIN(ManagerProcessTest)
#include "ManagerProcessTest.moc"
