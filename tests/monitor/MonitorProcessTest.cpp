// SPDX-License-Identifier: Apache-2.0
// The real KX2700Mon and KX2700Mgr programs against the virtual key: one monitor per user, the
// certificate store on start, removal and insertion, the manager closed by a removal and by the
// monitor's end at SIGTERM. Prints the monitor's memory, its idle wake-ups and the time from a
// plug to the certificates being in the store.
#include "../common/XSession.h"
#include "MonitorFixture.h"

#include <QElapsedTimer>
#include <QFileInfo>
#include <QTest>

#include <csignal>

using namespace kx;
using namespace kx::test;

namespace {

constexpr auto kInstalledCSP = "KX2700 Cryptographic Service Provider";

QStringList installedStore()
{
    QStringList containers;
    platform::CertStore store(platform::CertStore::defaultRoot());
    for (const auto& cert : store.list("MY")) {
        if (cert.keyProv && cert.keyProv->provider == kInstalledCSP) {
            containers.append(QString::fromStdString(cert.keyProv->container));
        }
    }
    return containers;
}

QStringList sorted(QStringList list)
{
    list.sort();
    return list;
}

QByteArray statusField(qint64 pid, const QByteArray& field)
{
    for (const QByteArray& line : TestFolders::read(QStringLiteral("/proc/%1/status").arg(pid)).split('\n')) {
        if (line.startsWith(field + ':')) {
            return line.mid(field.size() + 1).trimmed();
        }
    }
    return {};
}

// The monitors of this test's user session: the build's KX2700Mon with this runtime folder. The
// manager starts one beside it too, which ends at once while another runs.
int monitorsOfThisSession()
{
    const QString program = QFileInfo(QStringLiteral(KX_BIN_DIR "/KX2700Mon")).canonicalFilePath();
    const QByteArray runtime = "XDG_RUNTIME_DIR=" + qgetenv("XDG_RUNTIME_DIR");
    int count = 0;
    for (const QString& entry : QDir(QStringLiteral("/proc")).entryList(QDir::Dirs)) {
        const QString exe = QFileInfo(QStringLiteral("/proc/%1/exe").arg(entry)).symLinkTarget();
        if (exe == program &&
            TestFolders::read(QStringLiteral("/proc/%1/environ").arg(entry)).split('\0').contains(runtime)) {
            ++count;
        }
    }
    return count;
}

// The environment of the installed programs in the test's world.
QProcessEnvironment programEnvironment(MonitorWorld& world)
{
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    env.insert(QStringLiteral("HOME"), world.folders.path(QStringLiteral("home")));
    env.insert(QStringLiteral("XDG_CONFIG_HOME"), world.folders.path(QStringLiteral("config")));
    for (const char* name : {"XDG_DATA_HOME", "XDG_RUNTIME_DIR", "KX2700_KEYSIM_DIR"}) {
        env.insert(QString::fromLatin1(name), qEnvironmentVariable(name));
    }
    env.insert(QStringLiteral("QT_QPA_PLATFORM"), QStringLiteral("offscreen"));
    return env;
}

// Two plugged keys, KXA with an RSA certificate in container ContA and KXB with an ECC one in
// ContB, and settings without the default-PIN prompt.
class TwoKeyWorld : public MonitorWorld
{
public:
    TwoKeyWorld() : certs(certFolder.path())
    {
        TUserConfigInfo config;
        config.DefaultPINMode = 0;
        ok = certs.ok() && keysim({"create", "--serial", "KXA"}) && keysim({"create", "--serial", "KXB"}) &&
             importCertificates(QStringLiteral("KXA"), "ContA", {{1, certs.path(QStringLiteral("user.pfx"))}}) &&
             importCertificates(QStringLiteral("KXB"), "ContB", {{2, certs.path(QStringLiteral("ecuser.p12"))}}) &&
             QDir().mkpath(folders.path(QStringLiteral("config/kx2700"))) &&
             WriteUserConfig(folders.path(QStringLiteral("config/kx2700/UserConfig.ini")), config) == 0;
    }
    QTemporaryDir certFolder;
    TestCertificates certs;
    bool ok = false;
    const QStringList both{QStringLiteral("ContA"), QStringLiteral("ContB")};
};

// Starts the monitor and waits until it answers on its window class, which it does only once
// its start-up (and with it the registration of the keys present) is over.
void startMonitor(QProcess& monitor, const QProcessEnvironment& env)
{
    monitor.setProcessEnvironment(env);
    monitor.setProcessChannelMode(QProcess::ForwardedChannels);
    monitor.start(QStringLiteral(KX_BIN_DIR "/KX2700Mon"), {});
    QVERIFY(monitor.waitForStarted());
    QTRY_VERIFY_WITH_TIMEOUT(WindowClassExists(QString::fromLatin1(kMonitorWindowClass)), 15000);
}

} // namespace

class MonitorProcessTest : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void monitorAndManagerAgainstTheVirtualKey()
    {
        QTemporaryDir certFolder;
        TestCertificates certs(certFolder.path());
        QVERIFY(certs.ok());
        MonitorWorld world;
        QVERIFY(world.keysim({"create", "--serial", "KXA"}));
        QVERIFY(MonitorWorld::importCertificates(QStringLiteral("KXA"), "ContA",
                                                 {{1, certs.path(QStringLiteral("user.pfx"))}}));
        // The user's settings of the installed programs: no default-PIN prompt in this run.
        TUserConfigInfo config;
        config.DefaultPINMode = 0;
        QVERIFY(QDir().mkpath(world.folders.path(QStringLiteral("config/kx2700"))));
        QCOMPARE(WriteUserConfig(world.folders.path(QStringLiteral("config/kx2700/UserConfig.ini")), config), 0);

        const QProcessEnvironment env = programEnvironment(world);
        auto start = [&](QProcess& process, const char* program) {
            process.setProcessEnvironment(env);
            process.start(QStringLiteral(KX_BIN_DIR "/") + QString::fromLatin1(program), {});
            QVERIFY(process.waitForStarted());
        };
        const QString monitorClass = QString::fromLatin1(kMonitorWindowClass);
        const QString managerClass = QString::fromLatin1(kManagerWindowClass);

        QProcess monitor;
        start(monitor, "KX2700Mon");
        QTRY_VERIFY_WITH_TIMEOUT(WindowClassExists(monitorClass), 15000);
        QTRY_COMPARE_WITH_TIMEOUT(installedStore(), QStringList{QStringLiteral("ContA")}, 5000);
        QProcess second;
        start(second, "KX2700Mon");
        QVERIFY(second.waitForFinished(15000));
        QCOMPARE(second.exitCode(), 0);
        QCOMPARE(monitor.state(), QProcess::Running);

        QProcess manager;
        start(manager, "KX2700Mgr");
        QTRY_VERIFY_WITH_TIMEOUT(WindowClassExists(managerClass), 15000);
        // A removal closes the manager and empties the store.
        QVERIFY(world.keysim({"pull", "KXA"}));
        QVERIFY(manager.waitForFinished(10000));
        QTRY_VERIFY_WITH_TIMEOUT(installedStore().isEmpty(), 5000);

        // Idle: no key, nothing happening.
        QTest::qWait(1500);
        const qint64 pid = monitor.processId();
        const int before = statusField(pid, "voluntary_ctxt_switches").toInt();
        QTest::qWait(3000);
        const int after = statusField(pid, "voluntary_ctxt_switches").toInt();
        qInfo("monitor idle: %d wake-ups in 3 s; memory VmRSS %s", after - before,
              statusField(pid, "VmRSS").constData());

        QElapsedTimer plugged;
        plugged.start();
        QVERIFY(world.keysim({"plug", "KXA"}));
        QTRY_COMPARE_WITH_TIMEOUT(installedStore(), QStringList{QStringLiteral("ContA")}, 10000);
        qInfo("plug to certificates in the store: %lld ms", static_cast<long long>(plugged.elapsed()));

        // The monitor's end at the end of the session closes the manager and cleans the store.
        start(manager, "KX2700Mgr");
        QTRY_VERIFY_WITH_TIMEOUT(WindowClassExists(managerClass), 15000);
        // The monitor the manager started has seen the running one and ended.
        QTRY_COMPARE_WITH_TIMEOUT(monitorsOfThisSession(), 1, 15000);
        monitor.terminate();
        QVERIFY(monitor.waitForFinished(15000));
        QCOMPARE(monitor.exitStatus(), QProcess::NormalExit);
        QCOMPARE(monitor.exitCode(), 0);
        QVERIFY(manager.waitForFinished(10000));
        QVERIFY(installedStore().isEmpty());
        QVERIFY(!WindowClassExists(monitorClass));
        QCOMPARE(monitorsOfThisSession(), 0);
    }

    // A certificate kx2700 imports into a plugged key reaches the store through the running
    // monitor, which learns of the change from kx2700 and registers the key again.
    void commandLineChangesReachTheMonitor()
    {
        TwoKeyWorld world;
        QVERIFY2(world.ok, qPrintable(world.lastOutput));
        QVERIFY(world.keysim({"pull", "KXB"}));
        const QProcessEnvironment env = programEnvironment(world);
        QProcess monitor;
        startMonitor(monitor, env);
        QTRY_COMPARE_WITH_TIMEOUT(installedStore(), QStringList{QStringLiteral("ContA")}, 10000);

        const QString pin = world.folders.write(QStringLiteral("pin"), "12345678\n");
        const QString password = world.folders.write(QStringLiteral("password"), "pfx-pass\n");
        const auto kx2700 = [&](const QStringList& args) {
            QProcess cli;
            cli.setProcessEnvironment(env);
            cli.setProcessChannelMode(QProcess::ForwardedChannels);
            cli.start(QStringLiteral(KX_BIN_DIR "/kx2700"), args + QStringList{QStringLiteral("--pin-file"), pin});
            return cli.waitForFinished(30000) && cli.exitStatus() == QProcess::NormalExit && cli.exitCode() == 0;
        };
        QVERIFY(kx2700({QStringLiteral("import"), world.certs.path(QStringLiteral("ecuser.p12")),
                        QStringLiteral("--container"), QStringLiteral("ContC"), QStringLiteral("--pair"),
                        QStringLiteral("signature"), QStringLiteral("--password-file"), password}));
        QTRY_COMPARE_WITH_TIMEOUT(sorted(installedStore()),
                                  (QStringList{QStringLiteral("ContA"), QStringLiteral("ContC")}), 5000);
        QCOMPARE(monitor.state(), QProcess::Running);
        monitor.terminate();
        QVERIFY(monitor.waitForFinished(15000));
    }

    // After the monitor was killed and a key pulled meanwhile, the next start leaves only the
    // certificates of the keys present; SIGHUP then ends it as cleanly as the session's end.
    void killedMonitorLeavesNoStaleCertificates()
    {
        TwoKeyWorld world;
        QVERIFY2(world.ok, qPrintable(world.lastOutput));
        const QProcessEnvironment env = programEnvironment(world);

        QProcess first;
        startMonitor(first, env);
        QTRY_COMPARE_WITH_TIMEOUT(sorted(installedStore()), world.both, 10000);
        first.kill();
        QVERIFY(first.waitForFinished(10000));
        QCOMPARE(sorted(installedStore()), world.both); // nothing could clean up
        QVERIFY(world.keysim({"pull", "KXB"}));

        QProcess second;
        startMonitor(second, env);
        QTRY_COMPARE_WITH_TIMEOUT(installedStore(), QStringList{QStringLiteral("ContA")}, 10000);

        FakeManager manager;
        ::kill(static_cast<pid_t>(second.processId()), SIGHUP);
        QVERIFY(second.waitForFinished(15000));
        QCOMPARE(second.exitStatus(), QProcess::NormalExit);
        QCOMPARE(second.exitCode(), 0);
        QVERIFY(installedStore().isEmpty());
        QCOMPARE(manager.count(QStringLiteral("CLOSE")), 1);
    }

    // The X server under the monitor dies: the monitor removes the certificates, tells the
    // manager to close and ends.
    void lostDisplayEndsTheMonitorCleanly()
    {
        TwoKeyWorld world;
        QVERIFY2(world.ok, qPrintable(world.lastOutput));
        XSession session;
        QVERIFY2(session.startXServer(), "No X server (Xvfb) could be started");
        QProcessEnvironment env = programEnvironment(world);
        env.insert(QStringLiteral("QT_QPA_PLATFORM"), QStringLiteral("xcb"));
        env.insert(QStringLiteral("DISPLAY"), QString::fromLatin1(session.display));

        QProcess monitor;
        startMonitor(monitor, env);
        QTRY_COMPARE_WITH_TIMEOUT(sorted(installedStore()), world.both, 10000);
        FakeManager manager;
        session.killXServer();
        QVERIFY(monitor.waitForFinished(15000));
        QCOMPARE(monitor.exitStatus(), QProcess::NormalExit);
        QVERIFY(installedStore().isEmpty());
        QCOMPARE(manager.count(QStringLiteral("CLOSE")), 1);
    }

    // The Wayland compositor under the monitor goes away. Qt ends the process from its Wayland
    // event thread; the clean-up still runs first, on the window thread.
    void lostWaylandCompositorEndsTheMonitorCleanly()
    {
        TwoKeyWorld world;
        QVERIFY2(world.ok, qPrintable(world.lastOutput));
        QProcessEnvironment env = programEnvironment(world);
        const QString runtime = env.value(QStringLiteral("XDG_RUNTIME_DIR"));
        const QString socket = QStringLiteral("kx-wayland-%1").arg(QCoreApplication::applicationPid());
        QProcess compositor;
        compositor.setProcessEnvironment(env);
        compositor.start(QStringLiteral("weston"),
                         {QStringLiteral("--backend=headless-backend.so"), QStringLiteral("--socket=") + socket,
                          QStringLiteral("--idle-time=0")});
        QVERIFY2(compositor.waitForStarted(), "No Wayland compositor (weston) could be started");
        QTRY_VERIFY_WITH_TIMEOUT(QFileInfo::exists(runtime + QLatin1Char('/') + socket), 10000);
        env.insert(QStringLiteral("QT_QPA_PLATFORM"), QStringLiteral("wayland"));
        env.insert(QStringLiteral("WAYLAND_DISPLAY"), socket);
        env.remove(QStringLiteral("DISPLAY"));

        QProcess monitor;
        startMonitor(monitor, env);
        QTRY_COMPARE_WITH_TIMEOUT(sorted(installedStore()), world.both, 10000);
        FakeManager manager;
        compositor.kill();
        QVERIFY(compositor.waitForFinished(10000));
        QVERIFY(monitor.waitForFinished(15000));
        QCOMPARE(monitor.exitStatus(), QProcess::NormalExit);
        QVERIFY(installedStore().isEmpty());
        QCOMPARE(manager.count(QStringLiteral("CLOSE")), 1);
    }
};

QTEST_MAIN(MonitorProcessTest)
#include "MonitorProcessTest.moc"
