// SPDX-License-Identifier: Apache-2.0
// The key in the desktop's own programs: the real KX2700Mon registers a virtual key that holds a
// PKCS#12-imported certificate and its chain; then p11-kit, GnuTLS and NSS see the key, and
// NSS's tstclnt and GnuTLS's gnutls-cli log in to a TLS server that trusts only the test root,
// signing with the key through the registered module, once the user agreed to trust the key's
// root; NSS's cmsutil signs mail with the key and opens mail encrypted to it. Once the key is
// pulled they cannot, and
// the user's NSS database and p11-kit configuration are as they were.
#include "../e2e/Desktop.h"

#include "drevmor.h"

#include <QRegularExpression>
#include <QStandardPaths>
#include <QTcpServer>
#include <QTest>

#include <unistd.h>

using namespace kx::test;

namespace {

const QString kMon = QStringLiteral("KX2700Mon");
const QByteArray kPin = "12345678";
const QString kSerial = QStringLiteral("KXDESK");
// The key's token label and the container the certificate is imported into.
const QString kTokenCert = QStringLiteral("KX2700 Key:KXUser");
const QString kKeyUrl = QStringLiteral("pkcs11:serial=KXDESK;object=KXUser");

struct Run
{
    bool ok = false;
    QString output;
};

// A TLS server (openssl s_server) on a free port of 127.0.0.1 that asks for a client certificate
// and trusts only the test root; it takes one connection.
class TlsServer
{
public:
    TlsServer(const QString& certs, const QProcessEnvironment& env)
    {
        QTcpServer probe;
        probe.listen(QHostAddress::LocalHost, 0);
        port = probe.serverPort();
        probe.close();
        m_process.setProcessEnvironment(env);
        m_process.setProcessChannelMode(QProcess::MergedChannels);
        m_process.setWorkingDirectory(certs);
        m_process.start(QStringLiteral("openssl"), {"s_server", "-accept", QStringLiteral("127.0.0.1:%1").arg(port),
                                                    "-cert", "server.pem", "-key", "server.key", "-CAfile", "root.pem",
                                                    "-Verify", "1", "-verify_return_error", "-naccept", "1", "-www"});
        m_process.waitForStarted(10000);
        QTest::qWaitFor(
            [&] {
                m_output += m_process.readAll();
                return m_output.contains("ACCEPT") || m_process.state() == QProcess::NotRunning;
            },
            10000);
    }
    ~TlsServer()
    {
        m_process.kill();
        m_process.waitForFinished(3000);
    }
    // After the client has ended: whether the server completed a handshake with a client
    // certificate it verified.
    bool accepted()
    {
        m_process.waitForFinished(5000);
        m_output += m_process.readAll();
        return m_output.contains("1 server accepts that finished") && m_output.contains("depth=0 CN = Zhang San");
    }
    QString log() const { return QString::fromUtf8(m_output); }

    quint16 port = 0;

private:
    QProcess m_process;
    QByteArray m_output;
};

} // namespace

class DesktopProgramsTest : public QObject
{
    Q_OBJECT

private:
    QString home() const { return m_desktop->folders.path(QStringLiteral("home")); }
    QString nssdb() const { return home() + QStringLiteral("/.pki/nssdb"); }
    QString certs() const { return m_desktop->folders.path(QStringLiteral("certs")); }

    Run run(const QString& program, const QStringList& arguments, bool asUser = false,
            const QByteArray& gnutlsPin = QByteArray())
    {
        QProcess process;
        QProcessEnvironment env = m_env;
        if (!gnutlsPin.isEmpty()) {
            env.insert(QStringLiteral("GNUTLS_PIN"), QString::fromLatin1(gnutlsPin));
        }
        process.setProcessEnvironment(env);
        process.setProcessChannelMode(QProcess::MergedChannels);
        process.setStandardInputFile(QProcess::nullDevice());
        process.setWorkingDirectory(certs());
        // p11-kit reads no user's configuration in a program running as root; such clients run
        // as nobody, as a user's programs would.
        if (asUser && ::geteuid() == 0) {
            process.start(QStringLiteral("setpriv"),
                          QStringList{"--reuid=nobody", "--regid=nogroup", "--clear-groups", "--", program} +
                              arguments);
        } else {
            process.start(program, arguments);
        }
        Run result;
        result.ok =
            process.waitForFinished(30000) && process.exitStatus() == QProcess::NormalExit && process.exitCode() == 0;
        result.output = QString::fromUtf8(process.readAll());
        return result;
    }
    bool openssl(const QStringList& arguments) { return run(QStringLiteral("openssl"), arguments).ok; }

    // The certificates: a root, a user certificate it issued directly, an intermediate CA, the
    // PKCS#12 file with the user's key, certificate and chain (root and CA), and the server's.
    bool makeCertificates()
    {
        QDir().mkpath(certs());
        return openssl({"req", "-x509", "-newkey", "rsa:2048", "-nodes", "-keyout", "root.key", "-out", "root.pem",
                        "-days", "30", "-subj", "/CN=KX Desktop Root", "-addext",
                        "basicConstraints=critical,CA:TRUE"}) &&
               issue("ca", "/CN=KX Desktop CA", "basicConstraints=critical,CA:TRUE\n") &&
               issue("user", "/CN=Zhang San",
                     "extendedKeyUsage=clientAuth,emailProtection\nsubjectAltName=email:zhang.san@example.org\n") &&
               issue("server", "/CN=127.0.0.1", "subjectAltName=IP:127.0.0.1\nextendedKeyUsage=serverAuth\n") &&
               m_desktop->folders
                       .write(QStringLiteral("certs/chain.pem"),
                              TestFolders::read(certs() + QStringLiteral("/root.pem")) +
                                  TestFolders::read(certs() + QStringLiteral("/ca.pem")))
                       .size() > 0 &&
               openssl({"pkcs12", "-export", "-inkey", "user.key", "-in", "user.pem", "-certfile", "chain.pem",
                        "-passout", "pass:pfx-pass", "-out", "user.pfx"});
    }
    bool issue(const QString& name, const QString& subject, const QByteArray& extensions)
    {
        m_desktop->folders.write(QStringLiteral("certs/") + name + QStringLiteral(".ext"), extensions);
        return openssl({"req", "-newkey", "rsa:2048", "-nodes", "-keyout", name + ".key", "-out", name + ".csr",
                        "-subj", subject}) &&
               openssl({"x509", "-req", "-in", name + ".csr", "-CA", "root.pem", "-CAkey", "root.key",
                        "-CAcreateserial", "-out", name + ".pem", "-days", "30", "-extfile", name + ".ext"});
    }

    // Imports the PKCS#12 file into the key through the token library: the user's certificate
    // with its key pair into "KXUser", each chain certificate into a container of its own.
    void importPkcs12()
    {
        qputenv("KX2700_KEYSIM_DIR", m_env.value(QStringLiteral("KX2700_KEYSIM_DIR")).toUtf8());
        QCOMPARE(init_pkcs11(KEYSIM_PKCS11_PATH), 0);
        char serials[128] = {};
        int count = 32;
        QCOMPARE(token_find(serials, &count), 0);
        QCOMPARE(count, 1);
        QCOMPARE(token_connect(0), 0);
        int retries = 0;
        QCOMPARE(token_login(0, kPin.constData(), &retries), 0);
        int certificates = 0;
        QCOMPARE(pkcs12_file_parse(qPrintable(certs() + QStringLiteral("/user.pfx")), "pfx-pass", &certificates), 0);
        QCOMPARE(certificates, 3);
        for (int i = 0; i < certificates; ++i) {
            const QByteArray name = i == 0 ? QByteArray("KXUser") : "KXChain" + QByteArray::number(i);
            QCOMPARE(container_create_new(0, name.constData()), 0);
            QCOMPARE(pkcs12_import_certificate(0, name.constData(), 1, i), 0);
        }
        QCOMPARE(uninit_pkcs11(), 0);
    }

    // Both clients try a client-authenticated handshake; what the server made of each.
    QPair<bool, bool> handshakes(const char* when)
    {
        bool nss = false;
        {
            TlsServer server(certs(), m_env);
            const Run client =
                run(QStringLiteral("tstclnt"), {"-Q", "-h", "127.0.0.1", "-p", QString::number(server.port), "-d",
                                                "sql:" + nssdb(), "-n", kTokenCert, "-w", QString::fromLatin1(kPin)});
            nss = server.accepted();
            qInfo().noquote() << when << "tstclnt (NSS, ~/.pki/nssdb):" << (nss ? "handshake accepted" : "refused")
                              << "\n  client:" << client.output.trimmed().left(400).replace('\n', "\n  client: ")
                              << "\n  server:" << server.log().trimmed().left(600).replace('\n', "\n  server: ");
        }
        bool gnutls = false;
        {
            TlsServer server(certs(), m_env);
            const Run client = run(QStringLiteral("gnutls-cli"),
                                   {"127.0.0.1", "-p", QString::number(server.port), "--x509cafile", "root.pem",
                                    "--x509certfile", kKeyUrl + QStringLiteral(";type=cert"), "--x509keyfile",
                                    kKeyUrl + QStringLiteral(";type=private")},
                                   true, kPin);
            gnutls = server.accepted();
            const QStringList lines = client.output.split('\n').filter(
                QRegularExpression(QStringLiteral("Handshake|Protocol|certificate|Error|error|Fatal")));
            qInfo().noquote() << when
                              << "gnutls-cli (p11-kit, " + kKeyUrl + "):" << (gnutls ? "handshake accepted" : "refused")
                              << "\n  client:" << lines.join(QStringLiteral("\n  client: "))
                              << "\n  server:" << server.log().trimmed().left(600).replace('\n', "\n  server: ");
        }
        return {nss, gnutls};
    }

    // S/MIME through NSS with the key: cmsutil signs a message with the key's private key (the
    // signer's certificate must chain to an authority trusted for e-mail), openssl checks the
    // signature against the test root; a message openssl encrypted to the key's certificate is
    // opened by cmsutil with the key's private key. True when both worked.
    bool mailWithTheKey()
    {
        const QByteArray message = "Zhang San signs and reads mail with the key.\n";
        m_desktop->folders.write(QStringLiteral("certs/message.txt"), message);
        const Run sign =
            run(QStringLiteral("cmsutil"), {"-S", "-N", kTokenCert, "-d", "sql:" + nssdb(), "-p",
                                            QString::fromLatin1(kPin), "-i", "message.txt", "-o", "message.p7s"});
        const Run verify = run(QStringLiteral("openssl"), {"cms", "-verify", "-inform", "DER", "-in", "message.p7s",
                                                           "-CAfile", "root.pem", "-out", "verified.txt"});
        const bool signedByKey =
            sign.ok && verify.ok && TestFolders::read(certs() + QStringLiteral("/verified.txt")) == message;
        qInfo().noquote() << "cmsutil -S (NSS, " + kTokenCert + "):" << (signedByKey ? "signed" : "failed")
                          << "\n  cmsutil:" << sign.output.trimmed().left(400)
                          << "\n  openssl cms -verify:" << verify.output.trimmed().left(400);

        const Run encrypt =
            run(QStringLiteral("openssl"), {"cms", "-encrypt", "-binary", "-aes256", "-in", "message.txt", "-outform",
                                            "DER", "-out", "message.p7m", "user.pem"});
        const Run decrypt =
            run(QStringLiteral("cmsutil"), {"-D", "-d", "sql:" + nssdb(), "-p", QString::fromLatin1(kPin), "-i",
                                            "message.p7m", "-o", "decrypted.txt"});
        const bool readByKey =
            encrypt.ok && decrypt.ok && TestFolders::read(certs() + QStringLiteral("/decrypted.txt")) == message;
        qInfo().noquote() << "cmsutil -D (NSS, the key's private key):" << (readByKey ? "decrypted" : "failed")
                          << "\n  openssl cms -encrypt:" << encrypt.output.trimmed().left(400)
                          << "\n  cmsutil:" << decrypt.output.trimmed().left(400);
        return signedByKey && readByKey;
    }

    QString nssState()
    {
        return run(QStringLiteral("certutil"), {"-L", "-d", "sql:" + nssdb(), "-h", "internal"}).output +
               QString::fromUtf8(TestFolders::read(nssdb() + QStringLiteral("/pkcs11.txt")));
    }

private Q_SLOTS:
    void initTestCase()
    {
#ifdef __SANITIZE_ADDRESS__
        // These programs must load our instrumented module with the sanitizer runtime preloaded,
        // and p11-kit's trust module then hangs in glibc's locale lock while it is being loaded.
        QSKIP("p11-kit and GnuTLS cannot load a module built with AddressSanitizer");
#endif
        for (const char* tool : {"certutil", "modutil", "tstclnt", "cmsutil", "p11tool", "gnutls-cli", "setpriv"}) {
            if (QStandardPaths::findExecutable(QLatin1String(tool)).isEmpty()) {
                QSKIP(qPrintable(QStringLiteral("%1 is not installed (scripts/bootstrap installs it)").arg(tool)));
            }
        }
    }

    void keyWorksInTheDesktopsProgramsWhilePlugged()
    {
        Desktop desktop;
        m_desktop = &desktop;
        m_env = QProcessEnvironment::systemEnvironment();
        m_env.insert(QStringLiteral("HOME"), home());
        m_env.insert(QStringLiteral("XDG_CONFIG_HOME"), home() + QStringLiteral("/config"));
        m_env.insert(QStringLiteral("XDG_DATA_HOME"), home() + QStringLiteral("/data"));
        m_env.insert(QStringLiteral("KX2700_KEYSIM_DIR"), home() + QStringLiteral("/keys"));
        desktop.writeUserConfig("DefaultPINMode=0\n");
        QVERIFY(makeCertificates());
        QVERIFY(desktop.keysim({"create", "--serial", kSerial, "--pin", QString::fromLatin1(kPin)}));
        importPkcs12();
        if (::geteuid() == 0) {
            // The clients that run as nobody read the key, its configuration and the test root.
            QVERIFY(run(QStringLiteral("chmod"), {"-R", "a+rwX", home() + "/keys", home() + "/config", certs()}).ok);
            QVERIFY(run(QStringLiteral("chmod"), {"a+rx", desktop.folders.path(QString()), home()}).ok);
        }

        desktop.start(kMon);
        // The monitor asks before the key's root becomes a trusted authority of the desktop; the
        // question names the certificate, and the user trusts it.
        QVERIFY2(desktop.waitForModal(kMon, QStringLiteral("CN=KX Desktop Root"), 20000),
                 qPrintable(desktop.lastError));
        QVERIFY(desktop.modalText(kMon).contains(QStringLiteral("SHA-256")));
        QVERIFY(desktop.act(kMon, {QStringLiteral("answer"), QStringLiteral("yes")}));
        const QString listing = QStringLiteral("certutil -L -h all");
        QString all;
        const bool seen = QTest::qWaitFor(
            [&] {
                all = run(QStringLiteral("certutil"), {"-L", "-d", "sql:" + nssdb(), "-h", "all"}).output;
                return all.contains(QRegularExpression(QStringLiteral("KX Desktop Root\\s+C,C,"))) &&
                       all.contains(QRegularExpression(QStringLiteral("KX Desktop CA\\s+,,"))) &&
                       all.contains(QRegularExpression(QRegularExpression::escape(kTokenCert) + "\\s+u,u,u"));
            },
            20000);
        qInfo().noquote() << listing << "after the plug:\n" << all.trimmed();
        QVERIFY2(seen, qPrintable(all));
        QCOMPARE(desktop.store(QStringLiteral("MY")).size(), 1);

        const Run modules = run(QStringLiteral("p11-kit"), {"list-modules"}, true);
        QVERIFY2(modules.output.contains(QStringLiteral("kx2700:")), qPrintable(modules.output));
        const Run certificates = run(QStringLiteral("p11tool"), {"--list-all-certs", "pkcs11:serial=KXDESK"}, true);
        qInfo().noquote() << "p11tool --list-all-certs pkcs11:serial=KXDESK:\n" << certificates.output.trimmed();
        QVERIFY2(certificates.output.contains(QStringLiteral("object=KXUser;type=cert")),
                 qPrintable(certificates.output));

        const QPair<bool, bool> plugged = handshakes("plugged:");
        QVERIFY(plugged.first);
        QVERIFY(plugged.second);
        QVERIFY(mailWithTheKey());

        const QString before = nssState();
        const QByteArray p11kit = TestFolders::read(home() + QStringLiteral("/config/pkcs11/modules/kx2700.module"));
        QVERIFY(!p11kit.isEmpty());
        QVERIFY(desktop.keysim({"pull", kSerial}));
        QVERIFY(QTest::qWaitFor([&] { return desktop.store(QStringLiteral("MY")).isEmpty(); }, 15000));

        const QPair<bool, bool> pulled = handshakes("pulled:");
        QVERIFY(!pulled.first);
        QVERIFY(!pulled.second);
        // The removal took our store's certificates away and nothing of the desktop's.
        QCOMPARE(nssState(), before);
        QCOMPARE(TestFolders::read(home() + QStringLiteral("/config/pkcs11/modules/kx2700.module")), p11kit);
        QCOMPARE(desktop.store(QStringLiteral("ROOT")).size(), 1);
        desktop.endPrograms();
        m_desktop = nullptr;
    }

private:
    Desktop* m_desktop = nullptr;
    QProcessEnvironment m_env;
};

QTEST_MAIN(DesktopProgramsTest)
#include "DesktopProgramsTest.moc"
