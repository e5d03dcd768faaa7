// SPDX-License-Identifier: Apache-2.0
// A key's root certificate and the user's NSS database through the real monitor: the monitor asks
// before the root becomes a trusted authority, and a refusal holds for every later registration and
// run. A program of its own: a monitor that ends ends the desktop registration for the process.
#include "MonitorFixture.h"

#include "common/LanguageTexts.h"
#include "monitor/TMainForm.h"
#include "token/CertificateSummary.h"
#include "token/DesktopRegistration.h"
#include "token/RootDecisions.h"

#include <QProcess>
#include <QStandardPaths>
#include <QTest>
#include <QTimer>

using namespace kx;
using namespace kx::test;
using kx::mon::TMainForm;

namespace {

// The root-certificate questions among the recorded messages.
QStringList rootQuestions(const RecordingPresenter& messages)
{
    return messages.messages.filter(Lang("R_Root_Trust"));
}

QByteArray tool(const QString& program, const QStringList& arguments, const QString& folder = QString())
{
    QProcess process;
    process.setWorkingDirectory(folder);
    process.setStandardInputFile(QProcess::nullDevice());
    process.start(program, arguments);
    process.waitForFinished(30000);
    return process.exitCode() == 0 ? process.readAllStandardOutput() : QByteArray();
}

// The certificates of an NSS database with their trust, and the modules it loads.
QString nssState(const QString& folder)
{
    return QString::fromUtf8(tool(QStringLiteral("certutil"), {"-L", "-d", "sql:" + folder, "-h", "internal"}) +
                             TestFolders::read(folder + QStringLiteral("/pkcs11.txt")));
}

} // namespace

class MonitorRootsTest : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void initTestCase()
    {
        if (QStandardPaths::findExecutable(QStringLiteral("certutil")).isEmpty() ||
            QStandardPaths::findExecutable(QStringLiteral("modutil")).isEmpty()) {
            QSKIP("NSS's certutil and modutil are not installed (libnss3-tools)");
        }
        m_certs = std::make_unique<TestCertificates>(m_certFolder.path());
        QVERIFY(m_certs->ok());
        tool(QStringLiteral("openssl"),
             {"pkcs12", "-export", "-inkey", "root.key", "-in", "root.pem", "-passout", "pass:pfx-pass", "-out",
              "root.p12"},
             m_certFolder.path());
        QVERIFY(QFileInfo::exists(m_certs->path(QStringLiteral("root.p12"))));
    }

    // The key holds a user certificate and, in a container of its own, the root. The monitor names
    // the root and the key and asks; the user says no: the module is registered in the user's
    // database, the root is not. Neither a refresh nor the next run asks again.
    void refusedRootStaysOutAndIsNotAskedAgain()
    {
        MonitorWorld world;
        RecordingPresenter messages;
        messages.answer = false;
        RecordingLauncher launcher;
        TUserConfigInfo config;
        config.DefaultPINMode = 0;
        world.writeConfig(config);
        QVERIFY(world.keysim({"create", "--serial", "KXR"}));
        QVERIFY(MonitorWorld::importCertificates(QStringLiteral("KXR"), "User",
                                                 {{1, m_certs->path(QStringLiteral("user.pfx"))}}));
        QVERIFY(MonitorWorld::importCertificates(QStringLiteral("KXR"), "Root",
                                                 {{2, m_certs->path(QStringLiteral("root.p12"))}}));
        const std::optional<CertificateSummary> root = CertificateSummary::read(tool(
            QStringLiteral("openssl"), {"x509", "-in", m_certs->path(QStringLiteral("root.pem")), "-outform", "DER"}));
        QVERIFY(root && root->trustableRoot());
        // The user's shared NSS database exists already.
        const QString nssdb = world.folders.path(QStringLiteral("home/.pki/nssdb"));
        QDir().mkpath(nssdb);
        tool(QStringLiteral("certutil"), {"-N", "-d", "sql:" + nssdb, "--empty-password"});
        QVERIFY(QFileInfo::exists(nssdb + QStringLiteral("/cert9.db")));
        {
            TMainForm window;
            QVERIFY(started(window));
            QTRY_COMPARE_WITH_TIMEOUT(rootQuestions(messages).size(), 1, 10000);
            const QString question = rootQuestions(messages).first();
            for (const QString& part : {root->subject, root->issuer, root->notBefore, root->notAfter, root->sha1,
                                        root->sha256, window.keyInfo(0).labelText().trimmed()}) {
                QVERIFY2(!part.isEmpty() && question.contains(part),
                         qPrintable(part + QStringLiteral(" in ") + question));
            }
            QVERIFY(question.contains(QStringLiteral("CN=KX Test Root")));
            QCOMPARE(RootDecisions().decision(root->sha256), RootDecisions::Decision::Refused);

            window.timer("TRegCertXE")->start();
            QTRY_VERIFY_WITH_TIMEOUT(!window.timer("TRegCertXE")->isActive(), 5000);
            QVERIFY(keysSettled(window));
            DesktopRegistration::instance().waitForIdle();
            QTest::qWait(100); // a queued question would have been asked by now
            QCOMPARE(rootQuestions(messages).size(), 1);
            const QString state = nssState(nssdb);
            QVERIFY2(state.contains(QStringLiteral("library=" KEYSIM_PKCS11_PATH)), qPrintable(state));
            QVERIFY2(!state.contains(QStringLiteral("KX Test Root")), qPrintable(state));
        }
        {
            TMainForm again;
            QVERIFY(started(again));
            QVERIFY(keysSettled(again));
            QTest::qWait(100);
            QCOMPARE(rootQuestions(messages).size(), 1);
        }
        QVERIFY(!nssState(nssdb).contains(QStringLiteral("KX Test Root")));
    }

private:
    QTemporaryDir m_certFolder;
    std::unique_ptr<TestCertificates> m_certs;
};

QTEST_MAIN(MonitorRootsTest)
#include "MonitorRootsTest.moc"
