// SPDX-License-Identifier: Apache-2.0
#pragma once

#include <QDir>
#include <QProcess>
#include <QString>
#include <QStringList>

namespace kx::test {

// A folder where the openssl command makes certificate files.
class OpensslFolder
{
public:
    explicit OpensslFolder(const QString& folder) : m_folder(folder) { QDir().mkpath(folder); }
    QString path(const QString& name) const { return m_folder + QLatin1Char('/') + name; }
    QByteArray read(const QString& name) const
    {
        QFile file(path(name));
        return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
    }

protected:
    bool run(const QStringList& arguments)
    {
        QProcess openssl;
        openssl.setWorkingDirectory(m_folder);
        openssl.start(QStringLiteral("openssl"), arguments);
        return openssl.waitForFinished(60000) && openssl.exitCode() == 0;
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
};

// Certificates made with the openssl command for one test: a root CA, an intermediate CA signed
// by it, an RSA and an EC end-entity certificate signed by the intermediate, and the files the
// import dialog reads (PKCS#12 with the chain, DER ".cer", ".p7b").
class TestCertificates : public OpensslFolder
{
public:
    explicit TestCertificates(const QString& folder) : OpensslFolder(folder)
    {
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

private:
    bool leaf(const QString& name, const QStringList& keyOptions, const QString& subject)
    {
        return run(QStringList{"req"} + keyOptions +
                   QStringList{"-nodes", "-keyout", name + ".key", "-out", name + ".csr", "-subj", subject}) &&
               run({"x509", "-req", "-in", name + ".csr", "-CA", "ca.pem", "-CAkey", "ca.key", "-CAcreateserial",
                    "-out", name + ".pem", "-days", "825"});
    }
    bool m_ok = false;
};

// An SM2 chain made with the openssl command: a root, an intermediate CA, and a signature and an
// exchange certificate of one holder, each key pair in its PKCS#12 file ("sign.p12" with the
// chain, "enc.p12"), with DER copies ("sign.cer", "enc.cer"); and files the import must refuse:
// "mismatched.p12" (a key beside a certificate that is not its own), "cut.p12" and "cut.cer"
// (cut short).
class Sm2TestCertificates : public OpensslFolder
{
public:
    explicit Sm2TestCertificates(const QString& folder) : OpensslFolder(folder)
    {
        m_ok =
            key("root") &&
            run({"req", "-new", "-x509", "-key", "root.key", "-sm3", "-utf8", "-subj", "/C=CN/O=测试机构/CN=测试根证书",
                 "-days", "3650", "-addext", "basicConstraints=critical,CA:TRUE", "-out", "root.pem"}) &&
            issue("ca", "/C=CN/O=测试机构/CN=测试中级CA", "root", "basicConstraints=critical,CA:TRUE\n") &&
            issue("sign", "/C=CN/CN=张三签名", "ca", "keyUsage=digitalSignature,nonRepudiation\n") &&
            issue("enc", "/C=CN/CN=张三加密", "ca", "keyUsage=keyEncipherment,dataEncipherment\n") && key("other") &&
            concat("chain.pem", {"ca.pem", "root.pem"}) &&
            run({"pkcs12", "-export", "-inkey", "sign.key", "-in", "sign.pem", "-certfile", "chain.pem", "-passout",
                 "pass:sm2-pass", "-out", "sign.p12"}) &&
            run({"pkcs12", "-export", "-inkey", "enc.key", "-in", "enc.pem", "-passout", "pass:sm2-pass", "-out",
                 "enc.p12"}) &&
            run({"pkcs12", "-export", "-inkey", "other.key", "-nocerts", "-certfile", "sign.pem", "-passout",
                 "pass:sm2-pass", "-out", "mismatched.p12"}) &&
            run({"x509", "-in", "sign.pem", "-outform", "DER", "-out", "sign.cer"}) &&
            run({"x509", "-in", "enc.pem", "-outform", "DER", "-out", "enc.cer"}) &&
            write("cut.p12", read("sign.p12").chopped(200)) && write("cut.cer", read("sign.cer").chopped(40));
    }

    bool ok() const { return m_ok; }

private:
    bool key(const QString& name)
    {
        return run({"ecparam", "-genkey", "-name", "SM2", "-noout", "-out", name + ".key"});
    }
    bool issue(const QString& name, const QString& subject, const QString& issuer, const QByteArray& extensions)
    {
        return key(name) && write(name + ".ext", extensions) &&
               run({"req", "-new", "-key", name + ".key", "-sm3", "-utf8", "-subj", subject, "-out", name + ".csr"}) &&
               run({"x509", "-req", "-in", name + ".csr", "-CA", issuer + ".pem", "-CAkey", issuer + ".key", "-sm3",
                    "-CAcreateserial", "-days", "825", "-extfile", name + ".ext", "-out", name + ".pem"});
    }
    bool m_ok = false;
};

} // namespace kx::test
