// SPDX-License-Identifier: Apache-2.0
// The parts the benchmarks measure with: the stall meter, the window driver's wait, and the
// token benchmark's fill of containers with both key pairs. A wrong figure there would make the
// README's table lie, so they are checked like program code.
#include "token/KeyThreadGuard.h"
#include "token/TokenWrappers.h"
#include "tools/StallMeter.h"
#include "tools/WindowDriver.h"

#include <QProcess>
#include <QRegularExpression>
#include <QTemporaryDir>
#include <QTest>
#include <QTimer>

#include <algorithm>
#include <memory>

using namespace kx;

namespace {

constexpr qint64 kMs = 1000000;

bool runProgram(const QString& program, const QStringList& arguments, const QString& folder = QString())
{
    QProcess process;
    process.setWorkingDirectory(folder);
    process.setProcessChannelMode(QProcess::ForwardedErrorChannel);
    process.start(program, arguments);
    return process.waitForFinished(120000) && process.exitStatus() == QProcess::NormalExit && process.exitCode() == 0;
}

} // namespace

class ToolsTest : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    // The meter keeps the longest gap between its ticks, the gap up to the reading included, and
    // a reset forgets what came before it.
    void stallMeterKeepsTheLongestGap()
    {
        qint64 now = 1000 * kMs;
        StallMeter meter(5, [&] { return now; });
        now += 7 * kMs;
        QCOMPARE(meter.longestMs(), 7.0);
        now += 30 * kMs;
        QCOMPARE(meter.longestMs(), 30.0);
        now += 12 * kMs;
        QCOMPARE(meter.longestMs(), 30.0);
        // A gap still open when the meter is read counts.
        now += 45 * kMs;
        QCOMPARE(meter.longestMs(), 45.0);
        now += 80 * kMs;
        meter.reset();
        now += 4 * kMs;
        QCOMPARE(meter.longestMs(), 4.0);
    }

    // The meter ticks on the event loop: a loop held up shows as a gap at least that long.
    void stallMeterSeesABlockedLoop()
    {
        StallMeter meter(5);
        QTimer::singleShot(10, this, [] { QTest::qSleep(120); });
        QTest::qWait(200);
        QVERIFY2(meter.longestMs() >= 120, qPrintable(QString::number(meter.longestMs())));
    }

    // The wait holds out through the settling time: a condition that turns false again meanwhile
    // is waited for once more, and a condition never met ends the wait with false.
    void waitSettlesAndTimesOut()
    {
        // The timers end with the test, whatever it finds.
        QObject scope;
        int stage = 0;
        bool holds = false;
        QTimer::singleShot(10, &scope, [&] {
            holds = true;
            stage = 1;
        });
        QTimer::singleShot(40, &scope, [&] {
            holds = false;
            stage = 2;
        });
        QTimer::singleShot(150, &scope, [&] {
            holds = true;
            stage = 3;
        });
        QVERIFY(WindowDriver::waitUntil([&] { return holds; }, 30000, 100));
        QCOMPARE(stage, 3);

        QVERIFY(!WindowDriver::waitUntil([] { return false; }, 50, 10));
        // Without settling the first time the condition holds ends the wait.
        stage = 0;
        holds = false;
        QTimer::singleShot(10, &scope, [&] {
            holds = true;
            stage = 1;
        });
        QTimer::singleShot(2000, &scope, [&] { stage = 2; });
        QVERIFY(WindowDriver::waitUntil([&] { return holds; }, 30000));
        QCOMPARE(stage, 1);
    }

    // A stage whose calls the key refused reports the failure, not the time of calls that did
    // nothing, and the run ends with a failure: here the key has no room for the containers.
    void benchmarkReportsFailedStages()
    {
        QTemporaryDir folder;
        QVERIFY(folder.isValid());
        const QString dir = folder.path();
        qputenv("KX2700_KEYSIM_DIR", QFile::encodeName(dir + QStringLiteral("/keys")));
        QVERIFY(runProgram(QStringLiteral(KEYSIM_TOOL_PATH),
                           {"create", "--serial", "KXFULL", "--total-memory", "65536", "--free-memory", "600"}));
        QVERIFY(runProgram("openssl",
                           {"req", "-x509", "-newkey", "ec", "-pkeyopt", "ec_paramgen_curve:P-256", "-nodes", "-keyout",
                            "user.key", "-subj", "/CN=Full", "-days", "30", "-outform", "DER", "-out", "user.cer"},
                           dir));
        QVERIFY(runProgram("openssl",
                           {"req", "-x509", "-key", "user.key", "-subj", "/CN=Full", "-days", "30", "-out", "user.pem"},
                           dir));
        QVERIFY(runProgram("openssl",
                           {"pkcs12", "-export", "-inkey", "user.key", "-in", "user.pem", "-passout", "pass:bench",
                            "-out", "user.pfx"},
                           dir));
        QProcess benchmark;
        benchmark.setWorkingDirectory(dir);
        benchmark.start(QStringLiteral(TOKEN_BENCHMARK_PATH),
                        {QStringLiteral(KEYSIM_PKCS11_PATH), "12345678", "user.cer", "user.pfx", "bench"});
        QVERIFY(benchmark.waitForFinished(120000));
        const QString out = QString::fromUtf8(benchmark.readAllStandardOutput());
        QCOMPARE(benchmark.exitCode(), 1);
        QVERIFY2(
            out.contains(QRegularExpression(QStringLiteral("^enumerate 1 keys with their information: [0-9.]+ ms$"),
                                            QRegularExpression::MultilineOption)),
            qPrintable(out));
        QVERIFY2(out.contains(QRegularExpression(
                     QStringLiteral("^create 65 containers with one certificate each: failed, rtn=0x[0-9A-F]{8}$"),
                     QRegularExpression::MultilineOption)),
                 qPrintable(out));
        QVERIFY2(out.contains(QRegularExpression(QStringLiteral("^import a PKCS#12 file .*: failed, rtn=0x"),
                                                 QRegularExpression::MultilineOption)),
                 qPrintable(out));
    }

    // fill-pairs gives every container both pairs (certificate, public and private key each),
    // taking the files two by two from FIRST on and round the list.
    void fillPairsFillsBothPairsOfEveryContainer()
    {
        QTemporaryDir folder;
        QVERIFY(folder.isValid());
        const QString dir = folder.path();
        qputenv("KX2700_KEYSIM_DIR", QFile::encodeName(dir + QStringLiteral("/keys")));
        QVERIFY(runProgram(QStringLiteral(KEYSIM_TOOL_PATH),
                           {"create", "--serial", "KXFILL", "--total-memory", "1048576", "--free-memory", "1040000"}));
        // Two key pairs, each with two certificates: files A1 B1 A2 B2.
        QStringList files;
        for (const QString& key : {QStringLiteral("a"), QStringLiteral("b")}) {
            QVERIFY(runProgram(
                "openssl", {"genpkey", "-algorithm", "RSA", "-pkeyopt", "rsa_keygen_bits:2048", "-out", key + ".key"},
                dir));
        }
        for (const QString& n : {QStringLiteral("1"), QStringLiteral("2")}) {
            for (const QString& key : {QStringLiteral("a"), QStringLiteral("b")}) {
                const QString name = key.toUpper() + n;
                QVERIFY(runProgram("openssl",
                                   {"req", "-x509", "-new", "-key", key + ".key", "-subj", "/CN=" + name, "-days", "30",
                                    "-out", name + ".pem"},
                                   dir));
                QVERIFY(runProgram("openssl",
                                   {"pkcs12", "-export", "-inkey", key + ".key", "-in", name + ".pem", "-passout",
                                    "pass:fill", "-out", name + ".pfx"},
                                   dir));
                files << dir + QLatin1Char('/') + name + ".pfx";
            }
        }
        const QString tool = QStringLiteral(TOKEN_BENCHMARK_PATH);
        const QString module = QStringLiteral(KEYSIM_PKCS11_PATH);
        QVERIFY(runProgram(tool, QStringList{"fill-pairs", module, "12345678", "fill", "0", "3"} + files));
        // Container 3 takes the files 6 and 7: A2 and B2 again.
        QVERIFY(runProgram(tool, QStringList{"fill-pairs", module, "12345678", "fill", "3", "1"} + files));

        const KeyThreadGuard::Exemption direct;
        QCOMPARE(InitTokenLibrary(module, QString(), QString(), QString()), 0);
        int count = 0;
        int retries = 0;
        QCOMPARE(FindAndConnectKeys(count), 0);
        QCOMPARE(token_login(0, QStringLiteral("12345678"), retries), 0);
        TR7Info info;
        QCOMPARE(LoadContainerNames(0, info), 0);
        QCOMPARE(info.containerCount, 4);
        QStringList exchange;
        QStringList signature;
        auto cert = std::make_unique<TR7CertInfo>();
        for (int i = 0; i < info.containerCount; ++i) {
            const QByteArray name = info.containerNames[static_cast<std::size_t>(i)];
            for (const int spec : {kKeySpecExchange, kKeySpecSignature}) {
                QCOMPARE(ReadContainerCert(0, name, spec, *cert), 0);
                (spec == kKeySpecExchange ? exchange : signature) << cert->subject;
                int algorithm = 0;
                QCOMPARE(container_get_pubkey(0, name, spec, algorithm), 0);
                QCOMPARE(container_get_prikey(0, name, spec), 0);
            }
        }
        uninit_pkcs11();
        std::sort(exchange.begin(), exchange.end());
        std::sort(signature.begin(), signature.end());
        QCOMPARE(exchange.join(','), QStringLiteral("A1,A1,A2,A2"));
        QCOMPARE(signature.join(','), QStringLiteral("B1,B1,B2,B2"));
    }
};

QTEST_MAIN(ToolsTest)
#include "ToolsTest.moc"
