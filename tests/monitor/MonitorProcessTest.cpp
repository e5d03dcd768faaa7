// SPDX-License-Identifier: Apache-2.0
// The real KX2700Mon and KX2700Mgr programs against the virtual key: one monitor per user, the
// certificate store on start, removal and insertion, the manager closed by a removal and by the
// monitor's end at SIGTERM. Prints the monitor's memory, its idle wake-ups and the time from a
// plug to the certificates being in the store.
#include "MonitorFixture.h"

#include <QElapsedTimer>
#include <QTest>

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
        WriteUserConfig(world.folders.path(QStringLiteral("config/kx2700/UserConfig.ini")), config);

        QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
        env.insert(QStringLiteral("HOME"), world.folders.path(QStringLiteral("home")));
        env.insert(QStringLiteral("XDG_CONFIG_HOME"), world.folders.path(QStringLiteral("config")));
        for (const char* name : {"XDG_DATA_HOME", "XDG_RUNTIME_DIR", "KX2700_KEYSIM_DIR"}) {
            env.insert(QString::fromLatin1(name), qEnvironmentVariable(name));
        }
        env.insert(QStringLiteral("QT_QPA_PLATFORM"), QStringLiteral("offscreen"));
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
};

QTEST_MAIN(MonitorProcessTest)
#include "MonitorProcessTest.moc"
