// SPDX-License-Identifier: Apache-2.0
// Registering the key's module and authorities with p11-kit and real NSS databases (made and read
// with NSS's own certutil), in a home folder of the test's own.
#include "../common/TestFolders.h"

#include "common/AppInfo.h"
#include "token/DesktopRegistration.h"

#include <QProcess>
#include <QRegularExpression>
#include <QStandardPaths>
#include <QTest>

using namespace kx;

namespace {

QByteArray run(const QString& program, const QStringList& arguments, bool* ok = nullptr)
{
    QProcess process;
    process.setStandardInputFile(QProcess::nullDevice());
    process.start(program, arguments);
    const bool finished = process.waitForFinished(30000);
    if (ok) {
        *ok = finished && process.exitCode() == 0;
    }
    return process.readAllStandardOutput() + process.readAllStandardError();
}

} // namespace

class DesktopRegistrationTest : public QObject
{
    Q_OBJECT

private:
    test::TestFolders* m_folders = nullptr;
    DesktopRegistration::Settings m_settings;
    QByteArray m_root, m_ca, m_other;

    QString path(const QString& relative) const { return m_folders->path(relative); }
    QString shared() const { return path(QStringLiteral("home/.pki/nssdb")); }

    // A certificate authority made by openssl, as DER.
    QByteArray authority(const QString& name)
    {
        bool ok = false;
        const QString key = path(name + QStringLiteral(".key"));
        const QString der = path(name + QStringLiteral(".der"));
        run(QStringLiteral("openssl"),
            {"req", "-x509", "-newkey", "ec", "-pkeyopt", "ec_paramgen_curve:P-256", "-nodes", "-keyout", key,
             "-outform", "DER", "-out", der, "-days", "30", "-subj", "/CN=" + name, "-addext",
             "basicConstraints=critical,CA:TRUE"},
            &ok);
        return ok ? test::TestFolders::read(der) : QByteArray();
    }
    void certutil(const QStringList& arguments)
    {
        bool ok = false;
        const QByteArray out = run(QStringLiteral("certutil"), arguments, &ok);
        QVERIFY2(ok, out.constData());
    }
    // The database's own certificates as certutil lists them, one "nickname|trust" a line.
    QStringList listed(const QString& folder)
    {
        QStringList rows;
        const QByteArray out = run(QStringLiteral("certutil"), {"-L", "-d", "sql:" + folder, "-h", "internal"});
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
    QString modules(const QString& folder)
    {
        return QString::fromUtf8(test::TestFolders::read(folder + QStringLiteral("/pkcs11.txt")));
    }
    void makeDatabase(const QString& folder)
    {
        QDir().mkpath(folder);
        certutil({"-N", "-d", "sql:" + folder, "--empty-password"});
    }

private Q_SLOTS:
    void initTestCase()
    {
        if (QStandardPaths::findExecutable(QStringLiteral("certutil")).isEmpty() ||
            QStandardPaths::findExecutable(QStringLiteral("modutil")).isEmpty()) {
            QSKIP("NSS's certutil and modutil are not installed (libnss3-tools)");
        }
    }

    void init()
    {
        m_folders = new test::TestFolders;
        qputenv("KX2700_KEYSIM_DIR", path(QStringLiteral("keys")).toUtf8());
        m_settings.enabled = true;
        m_settings.module = QStringLiteral(KEYSIM_PKCS11_PATH);
        m_settings.name = QStringLiteral("KX2700 Cryptographic Service Provider");
        m_settings.home = path(QStringLiteral("home"));
        m_settings.configHome = path(QStringLiteral("home/.config"));
        m_root = authority(QStringLiteral("KX Root"));
        m_ca = authority(QStringLiteral("KX CA"));
        m_other = authority(QStringLiteral("Other CA"));
        QVERIFY(!m_root.isEmpty() && !m_ca.isEmpty() && !m_other.isEmpty());
    }
    void cleanup()
    {
        delete m_folders;
        m_folders = nullptr;
    }

    // A fresh home: the shared database is created, the module registered there and with
    // p11-kit; a second registration adds nothing.
    void moduleRegisteredOnceInAFreshHome()
    {
        QCOMPARE(DesktopRegistration::registerModuleNow(m_settings), 0);
        QCOMPARE(DesktopRegistration::registerModuleNow(m_settings), 0);
        QVERIFY(QFileInfo::exists(shared() + QStringLiteral("/cert9.db")));
        QCOMPARE(QFileInfo(shared()).permissions() & (QFile::ReadOther | QFile::ReadGroup), QFile::Permissions());
        QCOMPARE(modules(shared()).count(QStringLiteral("library=") + m_settings.module), 1);
        QVERIFY(modules(shared()).contains(QStringLiteral("name=") + m_settings.name));
        const QString p11kit = DesktopRegistration::p11KitModuleFile(m_settings);
        const QString text = QString::fromUtf8(test::TestFolders::read(p11kit));
        QCOMPARE(text.split(QLatin1Char('\n')).filter(QStringLiteral("module:")),
                 QStringList{QStringLiteral("module: ") + m_settings.module});
        QCOMPARE(DesktopRegistration::registeredPlaces(m_settings),
                 QStringList({QStringLiteral("p11-kit: ") + p11kit, QStringLiteral("NSS: ") + shared()}));
    }

    // A database that holds other modules and certificates, one module under our name, and
    // browser profiles: ours is added beside them under a free name, theirs stay as they were;
    // only profiles with a database are touched.
    void othersModulesAndCertificatesStay()
    {
        makeDatabase(shared());
        const QString otherModule = QStringLiteral(P11KIT_TRUST_MODULE);
        bool ok = false;
        const QByteArray added =
            run(QStringLiteral("modutil"),
                {"-dbdir", "sql:" + shared(), "-add", m_settings.name, "-libfile", otherModule, "-force"}, &ok);
        QVERIFY2(ok, added.constData());
        m_folders->write(QStringLiteral("other.der"), m_other);
        certutil({"-A", "-d", "sql:" + shared(), "-n", "Someone's CA", "-t", "CT,C,C", "-i", path("other.der")});
        m_folders->write(QStringLiteral("home/.mozilla/firefox/profiles.ini"),
                         "[General]\nStartWithLastProfile=1\n\n[Profile0]\nName=default\nIsRelative=1\n"
                         "Path=abcd.default-release\n\n[Install4F96D1932A9F858E]\nDefault=abcd.default-release\n");
        makeDatabase(path(QStringLiteral("home/.mozilla/firefox/abcd.default-release")));
        m_folders->write(QStringLiteral("home/.thunderbird/profiles.ini"),
                         "[Profile0]\nName=mail\nIsRelative=0\nPath=" + path("mail-profile").toUtf8() + "\n");
        const QString before = modules(shared());
        const QStringList certificatesBefore = listed(shared());

        QCOMPARE(DesktopRegistration::registerModuleNow(m_settings), 0);
        QCOMPARE(DesktopRegistration::registerModuleNow(m_settings), 0);
        const QString after = modules(shared());
        QVERIFY2(after.startsWith(before.trimmed()), qPrintable(after));
        QCOMPARE(after.count(QStringLiteral("library=") + otherModule), 1);
        QCOMPARE(after.count(QStringLiteral("library=") + m_settings.module), 1);
        QVERIFY(after.contains(QStringLiteral("name=") + m_settings.name + QStringLiteral(" (2)")));
        QCOMPARE(listed(shared()), certificatesBefore);
        const QString profile = path(QStringLiteral("home/.mozilla/firefox/abcd.default-release"));
        QCOMPARE(modules(profile).count(QStringLiteral("library=") + m_settings.module), 1);
        QVERIFY(!QFileInfo::exists(path(QStringLiteral("mail-profile"))));
        QVERIFY(DesktopRegistration::registeredPlaces(m_settings).contains(QStringLiteral("NSS: ") + profile));
    }

    // Another module file that loads the module already: p11-kit would load it twice, so ours is
    // not written.
    void p11KitFileOfAnotherProgramIsEnough()
    {
        const QString theirs = m_folders->write(QStringLiteral("home/.config/pkcs11/modules/vendor.module"),
                                                "module: " + m_settings.module.toUtf8() + "\ncritical: no\n");
        QCOMPARE(DesktopRegistration::registerModuleNow(m_settings), 0);
        QVERIFY(!QFileInfo::exists(DesktopRegistration::p11KitModuleFile(m_settings)));
        QCOMPARE(test::TestFolders::read(theirs), "module: " + m_settings.module.toUtf8() + "\ncritical: no\n");
        QVERIFY(DesktopRegistration::registeredPlaces(m_settings).contains(QStringLiteral("p11-kit: ") + theirs));
    }

    // A ROOT is trusted for TLS and e-mail, a CA is added without trust, each once; what the user or
    // another program decided about a certificate stays.
    void authoritiesAddedOnceKeepingOthersTrust()
    {
        QCOMPARE(DesktopRegistration::addAuthorityNow(m_settings, m_root, true), 0);
        QCOMPARE(DesktopRegistration::addAuthorityNow(m_settings, m_ca, false), 0);
        QCOMPARE(DesktopRegistration::addAuthorityNow(m_settings, m_root, true), 0);
        QCOMPARE(DesktopRegistration::addAuthorityNow(m_settings, m_ca, false), 0);
        QCOMPARE(listed(shared()), QStringList({QStringLiteral("KX CA|,,"), QStringLiteral("KX Root|C,C,")}));

        // Someone trusts our root for e-mail only under a name of their own, and distrusted
        // another certificate: ours adds TLS trust to the first and leaves the second.
        DesktopRegistration::Settings second = m_settings;
        second.home = path(QStringLiteral("second-home"));
        makeDatabase(second.home + QStringLiteral("/.pki/nssdb"));
        const QString db = "sql:" + second.home + QStringLiteral("/.pki/nssdb");
        m_folders->write(QStringLiteral("root.der"), m_root);
        m_folders->write(QStringLiteral("other.der"), m_other);
        certutil({"-A", "-d", db, "-n", "Their root", "-t", ",C,", "-i", path("root.der")});
        certutil({"-A", "-d", db, "-n", "Distrusted", "-t", "p,p,p", "-i", path("other.der")});
        QCOMPARE(DesktopRegistration::addAuthorityNow(second, m_root, true), 0);
        QCOMPARE(DesktopRegistration::addAuthorityNow(second, m_other, true), 0);
        QCOMPARE(listed(second.home + QStringLiteral("/.pki/nssdb")),
                 QStringList({QStringLiteral("Distrusted|p,p,p"), QStringLiteral("Their root|C,C,")}));
        // Bytes that are no certificate are refused without touching the database.
        QCOMPARE(DesktopRegistration::addAuthorityNow(second, QByteArray("not a certificate"), true), 1);
        QCOMPARE(listed(second.home + QStringLiteral("/.pki/nssdb")).size(), 2);
    }

    // DesktopRegister=0, or a module that is nowhere, turns the registration off: nothing is
    // created, not even through the shared background worker.
    void switchedOffLeavesTheHomeAlone()
    {
        m_folders->write(QStringLiteral("bin/libmodule.so"), "not really a library");
        TAPPInfo info;
        info.PKCS11Lib = QStringLiteral("libmodule.so");
        info.CSPName = QStringLiteral(" My CSP ");
        DesktopRegistration::Settings on = DesktopRegistration::settingsFor(info);
        QVERIFY(on.enabled);
        QCOMPARE(on.module, path(QStringLiteral("bin/libmodule.so")));
        QCOMPARE(on.name, QStringLiteral("My CSP"));
        // The folders are the context's, never the real home of the user running the tests.
        QCOMPARE(on.home, path(QStringLiteral("home")));
        QCOMPARE(on.configHome, path(QStringLiteral("config")));
        info.DesktopRegister = 0;
        QVERIFY(!DesktopRegistration::settingsFor(info).enabled);
        info.DesktopRegister = 1;
        info.PKCS11Lib = QStringLiteral("libnowhere-at-all.so");
        QVERIFY(!DesktopRegistration::settingsFor(info).enabled);

        DesktopRegistration::Settings off = m_settings;
        off.enabled = false;
        DesktopRegistration& registration = DesktopRegistration::instance();
        registration.configure(off);
        registration.registerModule();
        registration.addAuthority(m_root, true);
        registration.waitForIdle();
        QCOMPARE(DesktopRegistration::registerModuleNow(off), 1);
        QVERIFY(!QFileInfo::exists(path(QStringLiteral("home"))));

        // Switched on, the same requests run in the background, in order.
        registration.configure(m_settings);
        registration.registerModule();
        registration.addAuthority(m_root, true);
        registration.addAuthority(m_ca, false);
        registration.waitForIdle();
        registration.configure(off);
        QCOMPARE(DesktopRegistration::registeredPlaces(m_settings).size(), 2);
        QCOMPARE(listed(shared()), QStringList({QStringLiteral("KX CA|,,"), QStringLiteral("KX Root|C,C,")}));
    }
};

QTEST_GUILESS_MAIN(DesktopRegistrationTest)
#include "DesktopRegistrationTest.moc"
