// SPDX-License-Identifier: Apache-2.0
// A key's root certificates reach the desktop's NSS databases only as the user decided: a
// registration with a scripted token library over real certificates (made by openssl), real NSS
// databases (read with certutil) and the decisions file the two programs share.
#include "FakeTokenLibrary.h"

#include "../common/TestFolders.h"

#include "common/AppInfo.h"
#include "common/UserConfig.h"
#include "token/CertRegistration.h"
#include "token/CertificateSummary.h"
#include "token/DesktopRegistration.h"
#include "token/RootDecisions.h"

#include <QProcess>
#include <QRegularExpression>
#include <QStandardPaths>
#include <QTest>

using namespace kx;
using test::FakeTokenLibrary;

namespace {

bool run(const QString& program, const QStringList& arguments, QByteArray* out = nullptr)
{
    QProcess process;
    process.setStandardInputFile(QProcess::nullDevice());
    process.start(program, arguments);
    const bool ok = process.waitForFinished(30000) && process.exitCode() == 0;
    if (out) {
        *out = process.readAllStandardOutput() + process.readAllStandardError();
    }
    return ok;
}

} // namespace

class RootConsentTest : public QObject
{
    Q_OBJECT

private:
    std::unique_ptr<test::TestFolders> m_folders;
    QByteArray m_root, m_ca, m_selfSigned;
    DesktopRegistration::Settings m_settings;

    QString path(const QString& relative) const { return m_folders->path(relative); }
    QString shared() const { return path(QStringLiteral("home/.pki/nssdb")); }
    QString profile() const { return path(QStringLiteral("home/.mozilla/firefox/abcd.default")); }

    bool openssl(const QStringList& arguments) { return run(QStringLiteral("openssl"), arguments); }
    QByteArray der(const QString& name) { return test::TestFolders::read(path(name + QStringLiteral(".der"))); }

    // The database's own certificates, one "nickname|trust" a line, sorted.
    QStringList listed(const QString& folder)
    {
        QByteArray out;
        run(QStringLiteral("certutil"), {"-L", "-d", "sql:" + folder, "-h", "internal"}, &out);
        QStringList rows;
        for (const QByteArray& line : out.split('\n').mid(4)) {
            const QString row = QString::fromUtf8(line).trimmed();
            if (!row.isEmpty()) {
                rows.append(row.section(QRegularExpression(QStringLiteral("\\s{2,}")), 0, 0) + QLatin1Char('|') +
                            row.section(QRegularExpression(QStringLiteral("\\s+")), -1));
            }
        }
        rows.sort();
        return rows;
    }

    // One registration of the key the fake library holds: the roots it left undecided.
    QList<QByteArray> registerKey()
    {
        TR7Info info;
        std::optional<QSet<QByteArray>> containers;
        QList<QByteArray> undecided;
        const int result = RegisterKeyCertificates(0, info, QStringLiteral("CSP"), 0, containers, undecided);
        DesktopRegistration::instance().waitForIdle();
        return result == 0 ? undecided : QList<QByteArray>{QByteArray("registration failed")};
    }

    static RootDecisions::Decision decisionOf(const QByteArray& der)
    {
        return RootDecisions().decision(CertificateSummary::sha256Of(der));
    }

private Q_SLOTS:
    void initTestCase()
    {
        if (QStandardPaths::findExecutable(QStringLiteral("certutil")).isEmpty()) {
            QSKIP("NSS's certutil is not installed (libnss3-tools)");
        }
    }

    void init()
    {
        m_folders = std::make_unique<test::TestFolders>();
        qputenv("XDG_DATA_HOME", QFile::encodeName(path(QStringLiteral("data"))));
        const QString dir = path(QString());
        // A root, an intermediate it issued, and a self-signed certificate without CA:TRUE.
        QVERIFY(openssl({"req", "-x509", "-newkey", "ec", "-pkeyopt", "ec_paramgen_curve:P-256", "-nodes", "-keyout",
                         dir + "root.key", "-out", dir + "root.pem", "-days", "30", "-subj", "/O=Evil Inc/CN=Evil Root",
                         "-addext", "basicConstraints=critical,CA:TRUE"}));
        QVERIFY(openssl({"x509", "-in", dir + "root.pem", "-outform", "DER", "-out", dir + "root.der"}));
        m_folders->write(QStringLiteral("ca.ext"), "basicConstraints=critical,CA:TRUE\n");
        QVERIFY(openssl({"req", "-newkey", "ec", "-pkeyopt", "ec_paramgen_curve:P-256", "-nodes", "-keyout",
                         dir + "ca.key", "-out", dir + "ca.csr", "-subj", "/CN=Evil CA"}));
        QVERIFY(openssl({"x509", "-req", "-in", dir + "ca.csr", "-CA", dir + "root.pem", "-CAkey", dir + "root.key",
                         "-CAcreateserial", "-outform", "DER", "-out", dir + "ca.der", "-days", "30", "-extfile",
                         dir + "ca.ext"}));
        QVERIFY(openssl({"req", "-newkey", "ec", "-pkeyopt", "ec_paramgen_curve:P-256", "-nodes", "-keyout",
                         dir + "self.key", "-out", dir + "self.csr", "-subj", "/CN=Self Made"}));
        QVERIFY(openssl({"x509", "-req", "-in", dir + "self.csr", "-key", dir + "self.key", "-outform", "DER", "-out",
                         dir + "self.der", "-days", "30"}));
        m_root = der(QStringLiteral("root"));
        m_ca = der(QStringLiteral("ca"));
        m_selfSigned = der(QStringLiteral("self"));
        QVERIFY(!m_root.isEmpty() && !m_ca.isEmpty() && !m_selfSigned.isEmpty());

        m_settings.enabled = true;
        m_settings.module = path(QStringLiteral("bin/libmodule.so"));
        m_settings.name = QStringLiteral("KX CSP");
        m_settings.home = path(QStringLiteral("home"));
        m_settings.configHome = path(QStringLiteral("home/.config"));
        DesktopRegistration::instance().configure(m_settings);
    }
    void cleanup()
    {
        DesktopRegistration::Settings off = m_settings;
        off.enabled = false;
        DesktopRegistration::instance().configure(off);
        qunsetenv("XDG_DATA_HOME");
        m_folders.reset();
    }

    // What the user is shown of a certificate, and which certificates count as roots at all.
    void summaryOfTheCertificates()
    {
        const std::optional<CertificateSummary> root = CertificateSummary::read(m_root);
        QVERIFY(root);
        QCOMPARE(root->subject, QStringLiteral("CN=Evil Root,O=Evil Inc"));
        QCOMPARE(root->issuer, root->subject);
        QVERIFY(root->trustableRoot());
        QVERIFY(QRegularExpression(QStringLiteral("^\\d{4}-\\d\\d-\\d\\d \\d\\d:\\d\\d:\\d\\d UTC$"))
                    .match(root->notAfter)
                    .hasMatch());
        QByteArray fingerprint;
        QVERIFY(run(QStringLiteral("openssl"), {"x509", "-in", path("root.pem"), "-noout", "-fingerprint", "-sha256"},
                    &fingerprint));
        QCOMPARE(root->sha256, QString::fromLatin1(fingerprint.trimmed().split('=').last()));
        QCOMPARE(root->sha1.size(), 20 * 3 - 1);

        const std::optional<CertificateSummary> ca = CertificateSummary::read(m_ca);
        QVERIFY(ca && ca->intermediate() && !ca->trustableRoot());
        QCOMPARE(ca->issuer, root->subject);
        const std::optional<CertificateSummary> self = CertificateSummary::read(m_selfSigned);
        QVERIFY(self && self->selfSigned && !self->ca && !self->trustableRoot() && !self->intermediate());
        QVERIFY(!CertificateSummary::read("no certificate"));
    }

    // Undecided, the root is reported and nothing trusted enters NSS; refused, it is not asked
    // again and stays out; trusted, it is trusted for TLS and e-mail. Our own ROOT store gets it
    // every time, also the self-signed certificate without CA:TRUE, which never reaches NSS.
    void rootEntersNssOnlyAfterYes()
    {
        FakeTokenLibrary fake;
        // The driver calls a self-signed certificate without basic constraints a root.
        fake.containers = {{"root", {{2, {1, 1, m_root, 0}}}},
                           {"ca", {{2, {2, 1, m_ca, 0}}}},
                           {"self", {{2, {1, 1, m_selfSigned, 0}}}}};

        QCOMPARE(registerKey(), QList<QByteArray>{m_root});
        QCOMPARE(listed(shared()), QStringList{QStringLiteral("Evil CA|,,")});
        QCOMPARE(fake.rootAdds.size(), 3);
        QCOMPARE(fake.rootAdds.at(2), qMakePair(QStringLiteral("ROOT"), m_selfSigned));

        QCOMPARE(RootDecisions().record(CertificateSummary::sha256Of(m_root), RootDecisions::Decision::Refused,
                                        QStringLiteral("CN=Evil Root")),
                 0);
        QCOMPARE(registerKey(), QList<QByteArray>{});
        QCOMPARE(listed(shared()), QStringList{QStringLiteral("Evil CA|,,")});

        QCOMPARE(RootDecisions().record(CertificateSummary::sha256Of(m_root), RootDecisions::Decision::Trusted,
                                        QStringLiteral("CN=Evil Root")),
                 0);
        QCOMPARE(registerKey(), QList<QByteArray>{});
        QCOMPARE(listed(shared()), QStringList({QStringLiteral("Evil CA|,,"), QStringLiteral("Evil Root|C,C,")}));
        QCOMPARE(fake.rootAdds.size(), 9);
    }

    // A browser profile made after the first registration gets the accepted root and the CA at
    // the next one, in the same run of the program.
    void laterDatabaseGetsTheAcceptedRoot()
    {
        FakeTokenLibrary fake;
        fake.containers = {{"root", {{2, {1, 1, m_root, 0}}}}, {"ca", {{2, {2, 1, m_ca, 0}}}}};
        RootDecisions().record(CertificateSummary::sha256Of(m_root), RootDecisions::Decision::Trusted, QString());
        QCOMPARE(registerKey(), QList<QByteArray>{});
        const QStringList both = {QStringLiteral("Evil CA|,,"), QStringLiteral("Evil Root|C,C,")};
        QCOMPARE(listed(shared()), both);

        m_folders->write(QStringLiteral("home/.mozilla/firefox/profiles.ini"),
                         "[Profile0]\nName=default\nIsRelative=1\nPath=abcd.default\n");
        QDir().mkpath(profile());
        QVERIFY(run(QStringLiteral("certutil"), {"-N", "-d", "sql:" + profile(), "--empty-password"}));
        QCOMPARE(registerKey(), QList<QByteArray>{});
        QCOMPARE(listed(profile()), both);
        QCOMPARE(listed(shared()), both);
    }

    // The user's switch off: no root is asked about and nothing reaches NSS.
    void switchedOffRegistersNothingInNss()
    {
        FakeTokenLibrary fake;
        fake.containers = {{"root", {{2, {1, 1, m_root, 0}}}}, {"ca", {{2, {2, 1, m_ca, 0}}}}};
        TAPPInfo app;
        app.PKCS11Lib = QStringLiteral("libmodule.so");
        m_folders->write(QStringLiteral("bin/libmodule.so"), "not really a library");
        TUserConfigInfo user;
        QVERIFY(DesktopRegistration::settingsFor(app, user).enabled);
        user.DesktopRegistration = 0;
        DesktopRegistration::instance().configure(DesktopRegistration::settingsFor(app, user));

        QCOMPARE(registerKey(), QList<QByteArray>{});
        QVERIFY(!QFileInfo::exists(shared()));
        QCOMPARE(fake.rootAdds.size(), 2); // our own stores as ever
    }

    // The monitor and the manager share the answers: one program's answer is seen by the other at
    // once, a later answer replaces the earlier, and a file that cannot be read is not written
    // over (its answers would be lost).
    void decisionsSharedBetweenPrograms()
    {
        const QString fingerprint = CertificateSummary::sha256Of(m_root);
        const QString other = CertificateSummary::sha256Of(m_ca);
        const RootDecisions monitor;
        const RootDecisions manager;
        QCOMPARE(monitor.file(), path(QStringLiteral("data/kx2700/roots.ini")));
        QCOMPARE(manager.decision(fingerprint), RootDecisions::Decision::Undecided);
        QCOMPARE(monitor.record(fingerprint, RootDecisions::Decision::Refused, QStringLiteral("CN=Evil\nRoot")), 0);
        QCOMPARE(manager.record(other, RootDecisions::Decision::Trusted, QString()), 0);
        QCOMPARE(manager.decision(fingerprint), RootDecisions::Decision::Refused);
        QCOMPARE(monitor.decision(other), RootDecisions::Decision::Trusted);
        QCOMPARE(manager.record(fingerprint, RootDecisions::Decision::Trusted, QString()), 0);
        QCOMPARE(monitor.decision(fingerprint), RootDecisions::Decision::Trusted);
        // The fingerprint without separators or in lower case is the same one.
        QCOMPARE(monitor.decision(fingerprint.toLower().remove(QLatin1Char(':'))), RootDecisions::Decision::Trusted);
        QCOMPARE(monitor.record(QStringLiteral("12:34"), RootDecisions::Decision::Trusted, QString()), 1);
        const QByteArray text = test::TestFolders::read(monitor.file());
        QCOMPARE(text.count("=trusted"), 2);
        QVERIFY(!text.contains("Evil\nRoot"));

        // Hand-made damage: a line that is no entry is passed over.
        m_folders->write(QStringLiteral("data/kx2700/roots.ini"),
                         "[Roots]\ngarbage\n" + QString(fingerprint).remove(QLatin1Char(':')).toLatin1() + "=refused\n");
        QCOMPARE(monitor.decision(CertificateSummary::sha256Of(m_root)), RootDecisions::Decision::Refused);
        QFile::setPermissions(monitor.file(), QFile::WriteOwner);
        if (QFile(monitor.file()).open(QIODevice::ReadOnly)) {
            QSKIP("the tests run as a user who reads any file");
        }
        QCOMPARE(monitor.record(other, RootDecisions::Decision::Trusted, QString()), 1);
        QFile::setPermissions(monitor.file(), QFile::ReadOwner | QFile::WriteOwner);
        QCOMPARE(monitor.decision(CertificateSummary::sha256Of(m_root)), RootDecisions::Decision::Refused);
    }
};

QTEST_GUILESS_MAIN(RootConsentTest)
#include "RootConsentTest.moc"
