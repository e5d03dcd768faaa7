// SPDX-License-Identifier: Apache-2.0
#pragma once

#include <QDir>
#include <QProcess>
#include <QString>
#include <QStringList>

namespace kx::test {

// Certificates made with the openssl command for one test: a root CA, an intermediate CA signed
// by it, an RSA and an EC end-entity certificate signed by the intermediate, and the files the
// import dialog reads (PKCS#12 with the chain, DER ".cer", ".p7b").
class TestCertificates
{
public:
    explicit TestCertificates(const QString& folder) : m_folder(folder)
    {
        QDir().mkpath(folder);
        m_ok = run({"req", "-x509", "-newkey", "rsa:2048", "-nodes", "-keyout", "root.key", "-out", "root.pem", "-days",
                    "3650", "-subj", "/CN=KX Test Root", "-addext", "basicConstraints=critical,CA:TRUE"}) &&
               run({"req", "-newkey", "rsa:2048", "-nodes", "-keyout", "ca.key", "-out", "ca.csr", "-subj",
                    "/CN=KX Test CA"}) &&
               write("ca.ext", "basicConstraints=critical,CA:TRUE\n") &&
               run({"x509", "-req", "-in", "ca.csr", "-CA", "root.pem", "-CAkey", "root.key", "-CAcreateserial", "-out",
                    "ca.pem", "-days", "3650", "-extfile", "ca.ext"}) &&
               leaf("user", {"-newkey", "rsa:2048"}, "/CN=Zhang San RSA") &&
               leaf("ecuser", {"-newkey", "ec", "-pkeyopt", "ec_paramgen_curve:P-256"}, "/CN=Zhang San EC") &&
               run({"x509", "-in", "user.pem", "-outform", "DER", "-out", "user.cer"}) &&
               run({"x509", "-in", "ecuser.pem", "-outform", "DER", "-out", "ecuser.cer"}) &&
               run({"x509", "-in", "user.pem", "-outform", "DER", "-out", "user.CER"}) &&
               run({"x509", "-in", "user.pem", "-outform", "DER", "-out", "user.crt"}) &&
               concat("chain.pem", {"ca.pem", "root.pem"}) &&
               run({"pkcs12", "-export", "-inkey", "user.key", "-in", "user.pem", "-certfile", "chain.pem", "-passout",
                    "pass:pfx-pass", "-out", "user.pfx"}) &&
               run({"pkcs12", "-export", "-inkey", "ecuser.key", "-in", "ecuser.pem", "-passout", "pass:pfx-pass",
                    "-out", "ecuser.p12"}) &&
               run({"crl2pkcs7", "-nocrl", "-certfile", "chain.pem", "-outform", "DER", "-out", "chain.p7b"});
    }

    bool ok() const { return m_ok; }
    QString path(const QString& name) const { return m_folder + QLatin1Char('/') + name; }
    QByteArray read(const QString& name) const
    {
        QFile file(path(name));
        return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
    }

private:
    bool run(const QStringList& arguments)
    {
        QProcess openssl;
        openssl.setWorkingDirectory(m_folder);
        openssl.start(QStringLiteral("openssl"), arguments);
        return openssl.waitForFinished(60000) && openssl.exitCode() == 0;
    }
    bool leaf(const QString& name, const QStringList& keyOptions, const QString& subject)
    {
        return run(QStringList{"req"} + keyOptions +
                   QStringList{"-nodes", "-keyout", name + ".key", "-out", name + ".csr", "-subj", subject}) &&
               run({"x509", "-req", "-in", name + ".csr", "-CA", "ca.pem", "-CAkey", "ca.key", "-CAcreateserial",
                    "-out", name + ".pem", "-days", "825"});
    }
    bool write(const QString& name, const QByteArray& text)
    {
        QFile file(path(name));
        return file.open(QIODevice::WriteOnly) && file.write(text) == text.size();
    }
    bool concat(const QString& name, const QStringList& parts)
    {
        QByteArray all;
        for (const QString& part : parts) {
            all += read(part);
        }
        return write(name, all);
    }

    QString m_folder;
    bool m_ok = false;
};

} // namespace kx::test
