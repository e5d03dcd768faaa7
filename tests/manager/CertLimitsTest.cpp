// SPDX-License-Identifier: Apache-2.0
// The certificate page at the edges of what a key holds: more containers than the first list
// buffer, RSA keys longer than the public-key buffer, certificate files the key must refuse.
#include "CertFixture.h"
#include "CertPageFixture.h"
#include "ManagerFixture.h"

#include "common/LanguageTexts.h"
#include "keyservice/CertTreeData.h"
#include "manager/CertTree.h"
#include "platform/CertStore.h"
#include "token/CertRegistration.h"
#include "token/TokenWrappers.h"

#include <openssl/pem.h>
#include <openssl/pkcs12.h>

#include <QAction>
#include <QFileInfo>
#include <QProcess>
#include <QTemporaryDir>
#include <QTest>
#include <QTimer>
#include <QTreeWidget>

#include <algorithm>
#include <cstdio>
#include <memory>

using namespace kx;
using test::CertPage;
using test::certTree;
using test::child;
using test::ChosenFiles;
using test::ManagerWorld;
using test::newContainer;
using test::RecordingPresenter;
using test::TestCertificates;
using test::topTexts;

namespace {

bool createRoomyKey(ManagerWorld& world)
{
    return world.keysim({"create", "--serial", "KXA", "--total-memory", "1048576", "--free-memory", "1040000"});
}

bool openssl(const QString& folder, const QStringList& arguments)
{
    QProcess process;
    process.setWorkingDirectory(folder);
    process.start(QStringLiteral("openssl"), arguments);
    return process.waitForFinished(120000) && process.exitCode() == 0;
}

// An end-entity certificate issued by the test CA for a new key, with its PKCS#12 file
// ("<name>.pfx", password "pfx-pass"); `extensions` go into the certificate.
bool issue(const TestCertificates& certs, const QString& name, const QStringList& keyOptions,
           const QByteArray& extensions = "basicConstraints=CA:FALSE\n")
{
    const QString folder = QFileInfo(certs.path(name)).absolutePath();
    QFile ext(certs.path(name + QStringLiteral(".ext")));
    if (!ext.open(QIODevice::WriteOnly) || ext.write(extensions) != extensions.size()) {
        return false;
    }
    ext.close();
    return openssl(folder, QStringList{"req"} + keyOptions +
                               QStringList{"-nodes", "-keyout", name + ".key", "-out", name + ".csr", "-subj",
                                           "/CN=" + name}) &&
           openssl(folder, {"x509", "-req", "-in", name + ".csr", "-CA", "ca.pem", "-CAkey", "ca.key",
                            "-CAcreateserial", "-out", name + ".pem", "-days", "825", "-extfile", name + ".ext"}) &&
           openssl(folder, {"pkcs12", "-export", "-inkey", name + ".key", "-in", name + ".pem", "-passout",
                            "pass:pfx-pass", "-out", name + ".pfx"});
}

// A PKCS#12 file bagging the RSA user key with the EC user certificate under one local key id,
// which the openssl command refuses to make.
bool mismatchedPkcs12(const TestCertificates& certs, const QString& out)
{
    auto readPem = [&](const QString& name, auto reader) {
        FILE* file = std::fopen(QFile::encodeName(certs.path(name)).constData(), "r");
        auto* object = file ? reader(file, nullptr, nullptr, nullptr) : nullptr;
        if (file) {
            std::fclose(file);
        }
        return object;
    };
    std::unique_ptr<EVP_PKEY, decltype(&EVP_PKEY_free)> key(readPem(QStringLiteral("user.key"), PEM_read_PrivateKey),
                                                            &EVP_PKEY_free);
    std::unique_ptr<X509, decltype(&X509_free)> cert(readPem(QStringLiteral("ecuser.pem"), PEM_read_X509), &X509_free);
    if (!key || !cert) {
        return false;
    }
    STACK_OF(PKCS12_SAFEBAG)* bags = nullptr;
    unsigned char id[] = {1, 2, 3};
    PKCS12_SAFEBAG* certBag = PKCS12_add_cert(&bags, cert.get());
    PKCS12_SAFEBAG* keyBag = PKCS12_add_key(&bags, key.get(), 0, PKCS12_DEFAULT_ITER, NID_aes_256_cbc, "pfx-pass");
    PKCS12_add_localkeyid(certBag, id, sizeof id);
    PKCS12_add_localkeyid(keyBag, id, sizeof id);
    STACK_OF(PKCS7)* safes = nullptr;
    PKCS12_add_safe(&safes, bags, -1, 0, nullptr);
    sk_PKCS12_SAFEBAG_pop_free(bags, PKCS12_SAFEBAG_free);
    std::unique_ptr<PKCS12, decltype(&PKCS12_free)> p12(PKCS12_add_safes(safes, 0), &PKCS12_free);
    sk_PKCS7_pop_free(safes, PKCS7_free);
    if (!p12 || !PKCS12_set_mac(p12.get(), "pfx-pass", -1, nullptr, 0, PKCS12_DEFAULT_ITER, nullptr)) {
        return false;
    }
    unsigned char* der = nullptr;
    const int length = i2d_PKCS12(p12.get(), &der);
    QFile file(certs.path(out));
    const bool written = length > 0 && file.open(QIODevice::WriteOnly) &&
                         file.write(reinterpret_cast<const char*>(der), length) == length;
    OPENSSL_free(der);
    return written;
}

// Imports a file of the test certificates into a new container through the dialog.
void importInto(CertPage& page, const TestCertificates& certs, const QString& file, const QString& container,
                int keySpec)
{
    page.import([&](TIMForm& dialog) {
        dialog.chooseFile(certs.path(file));
        child<QLineEdit>(dialog, "edtpwd")->setText(QStringLiteral("pfx-pass"));
        newContainer(dialog, container, keySpec);
    });
}

std::vector<std::string> personalContainers()
{
    std::vector<std::string> names;
    for (const auto& certificate : platform::CertStore(platform::CertStore::defaultRoot()).list("MY")) {
        names.push_back(certificate.keyProv ? certificate.keyProv->container : std::string());
    }
    std::sort(names.begin(), names.end());
    return names;
}

} // namespace

class CertLimitsTest : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void initTestCase()
    {
        m_certs = std::make_unique<TestCertificates>(m_certFolder.path());
        QVERIFY(m_certs->ok());
        QVERIFY(issue(*m_certs, QStringLiteral("rsa3072"), {"-newkey", "rsa:3072"}));
        QVERIFY(issue(*m_certs, QStringLiteral("rsa4096"), {"-newkey", "rsa:4096"}));
        // A certificate of about 20 KB, with its PKCS#12 and PKCS#7 files.
        QVERIFY(issue(*m_certs, QStringLiteral("big"), {"-newkey", "rsa:2048"},
                      "basicConstraints=CA:FALSE\nnsComment=" + QByteArray(20000, 'z') + "\n"));
        QVERIFY(openssl(m_certFolder.path(), {"x509", "-in", "big.pem", "-outform", "DER", "-out", "big.cer"}));
        QVERIFY(m_certs->read(QStringLiteral("big.cer")).size() > 16384);
        QVERIFY(openssl(m_certFolder.path(),
                        {"crl2pkcs7", "-nocrl", "-certfile", "big.pem", "-outform", "DER", "-out", "big.p7b"}));
        QVERIFY(mismatchedPkcs12(*m_certs, QStringLiteral("mismatched.pfx")));
        QCOMPARE(Language().load(QStringLiteral(KX_SOURCE_DIR "/resources/Languages/CN_2052.lng")), 0);
    }

    // A key with more containers than the 65 of the library's record, the last one holding a
    // certificate: the tree, export, registration and the same-name check all reach it.
    void everyContainerOfALargeKeyIsShown()
    {
        ManagerWorld world;
        QVERIFY(createRoomyKey(world));
        RecordingPresenter messages;
        CertPage page(world);
        {
            // Another program fills the key meanwhile.
            const test::DirectKeyCalls direct;
            for (int i = 0; i < 70; ++i) {
                QCOMPARE(container_create_new(0, QByteArray("c") + QByteArray::number(100 + i)), 0);
            }
            QCOMPARE(x509_import_certificate(0, "c169", kKeySpecExchange, m_certs->path(QStringLiteral("user.cer"))),
                     0);
        }
        page.window.certificatePage().AcrefreshExecute();
        QVERIFY(page.settled());
        QTreeWidget* tree = certTree(page.window);
        QCOMPARE(tree->topLevelItemCount(), 70);
        QTreeWidgetItem* last = tree->topLevelItem(69);
        QCOMPARE(last->text(0), QStringLiteral("c169(容器)"));
        QCOMPARE(last->childCount(), 1);
        QCOMPARE(last->child(0)->child(0)->text(0), QStringLiteral("Zhang San RSA"));
        QCOMPARE(page.window.session().certPresence(0, 69), (std::array<std::uint8_t, 2>{1, 0}));

        ChosenFiles files;
        files.file = world.folders.path(QStringLiteral("last.cer"));
        tree->setCurrentItem(last->child(0)->child(0));
        page.window.certificatePage().AcOutputExecute();
        QVERIFY(page.settled());
        QCOMPARE(messages.messages.last(), Lang("OutPut_OK"));
        QCOMPARE(test::TestFolders::read(files.file), m_certs->read(QStringLiteral("user.cer")));

        page.window.certificatePage().AcRegCertExecute();
        QVERIFY(page.settled());
        QCOMPARE(messages.messages.last(), Lang("Change_Yes"));
        QCOMPARE(personalContainers(), std::vector<std::string>{"c169"});

        const int before = messages.messages.size();
        importInto(page, *m_certs, QStringLiteral("ecuser.cer"), QStringLiteral("c169"), 2);
        QCOMPARE(messages.messages.size(), before + 1);
        QCOMPARE(messages.messages.last(), Lang("K_Cont_Name_Error"));
        QCOMPARE(last->childCount(), 1);
    }

    // A tree of thousands of containers goes in a slice at a time, the window answering between
    // slices; a new read of the key replaces a fill still running, so the tree never mixes two.
    void aLargeTreeFillsInSlices()
    {
        auto containers = [](int count, const char* prefix) {
            CertTreeData data;
            for (int c = 0; c < count; ++c) {
                ContainerData container;
                container.name = prefix + QByteArray::number(c);
                container.pairs[0].certificate = container.pairs[0].publicKey = true;
                container.pairs[0].subject = QStringLiteral("User %1").arg(c);
                data.containers.push_back(container);
            }
            return data;
        };
        QTreeWidget tree;
        tree.show();
        FillCertTree(&tree, containers(3000, "old"));
        QVERIFY(CertTreeFilling(&tree));
        const int first = tree.topLevelItemCount();
        QVERIFY(first > 0 && first < 3000);
        int answered = 0;
        QTimer::singleShot(0, [&] { ++answered; }); // the window's own work runs between slices
        QTRY_VERIFY(tree.topLevelItemCount() > first);
        QCOMPARE(answered, 1);

        FillCertTree(&tree, containers(2000, "new"));
        QTRY_VERIFY_WITH_TIMEOUT(!CertTreeFilling(&tree), 30000);
        QCoreApplication::processEvents();
        QCOMPARE(tree.topLevelItemCount(), 2000);
        for (const int i : {0, 1999}) {
            QTreeWidgetItem* node = tree.topLevelItem(i);
            QCOMPARE(ContainerOfNode(node), QByteArray("new") + QByteArray::number(i));
            QVERIFY(node->isExpanded() && node->child(0)->isExpanded());
            QCOMPARE(node->child(0)->child(0)->text(0), QStringLiteral("User %1").arg(i));
        }
        FillCertTree(&tree, CertTreeData{});
        QVERIFY(!CertTreeFilling(&tree));
        QCOMPARE(topTexts(&tree), QStringList{Lang("K_Null_cont")});
    }

    // RSA keys of 3072 and 4096 bits show their public key, and the registration modes that
    // look at the key algorithm register their certificates.
    void longRsaKeysShowAndRegister()
    {
        ManagerWorld world;
        QVERIFY(createRoomyKey(world));
        RecordingPresenter messages;
        CertPage page(world);
        importInto(page, *m_certs, QStringLiteral("rsa3072.pfx"), QStringLiteral("exchange 3072"), 1);
        importInto(page, *m_certs, QStringLiteral("rsa4096.pfx"), QStringLiteral("signature 4096"), 2);
        QVERIFY2(messages.messages.isEmpty(), qPrintable(messages.messages.join(QLatin1Char('|'))));
        QTreeWidget* tree = certTree(page.window);
        QCOMPARE(topTexts(tree),
                 (QStringList{QStringLiteral("exchange 3072(容器)"), QStringLiteral("signature 4096(容器)")}));
        const QTreeWidgetItem* rsa3072 = tree->topLevelItem(0)->child(0);
        QCOMPARE(rsa3072->childCount(), 3);
        QCOMPARE(rsa3072->child(1)->text(0), QStringLiteral("公钥(RSA3072)"));
        QCOMPARE(rsa3072->child(2)->text(0), QStringLiteral("私钥(RSA3072)"));
        const QTreeWidgetItem* rsa4096 = tree->topLevelItem(1)->child(0);
        QCOMPARE(rsa4096->text(0), Lang("K_Cert_mode2"));
        QCOMPARE(rsa4096->child(1)->text(0), QStringLiteral("公钥(RSA4096)"));

        QTRY_VERIFY_WITH_TIMEOUT(!page.window.timer("TRegCert")->isActive(), 5000);
        QVERIFY(page.settled());
        const test::DirectKeyCalls direct;
        TR7Info info;
        RemoveStoreCertsOfCSP(QStringLiteral("KX CSP"));
        QCOMPARE(RegisterKeyCertificates(0, info, QStringLiteral("KX CSP"), 2), 0);
        QCOMPARE(personalContainers(), std::vector<std::string>{"signature 4096"});
        RemoveStoreCertsOfCSP(QStringLiteral("KX CSP"));
        QCOMPARE(RegisterKeyCertificates(0, info, QStringLiteral("KX CSP"), 1), 0);
        QCOMPARE(personalContainers(), (std::vector<std::string>{"exchange 3072", "signature 4096"}));
    }

    // Files the key must refuse are refused before anything is written, each with its message.
    void refusedFilesLeaveTheKeyAsItWas()
    {
        ManagerWorld world;
        QVERIFY(createRoomyKey(world));
        RecordingPresenter messages;
        CertPage page(world);
        importInto(page, *m_certs, QStringLiteral("user.cer"), QStringLiteral("kept"), 1);
        QVERIFY(messages.messages.isEmpty());
        TR7Info before;
        {
            const test::DirectKeyCalls direct;
            QCOMPARE(token_get_info_ex(0, before), 0);
        }

        struct Case
        {
            const char* file;
            LangKey message;
        };
        const Case cases[] = {{"big.cer", LangKey("K_Len_Error")},
                              {"big.pfx", LangKey("K_Len_Error")},
                              {"big.p7b", LangKey("K_Len_Error")},
                              {"mismatched.pfx", LangKey("I_CertFileError")}};
        for (const Case& c : cases) {
            const int shown = messages.messages.size();
            // Into a new container, and into the free signature pair of the existing one.
            for (const bool fresh : {true, false}) {
                page.import([&](TIMForm& dialog) {
                    dialog.chooseFile(m_certs->path(QString::fromLatin1(c.file)));
                    child<QLineEdit>(dialog, "edtpwd")->setText(QStringLiteral("pfx-pass"));
                    if (fresh) {
                        newContainer(dialog, QStringLiteral("refused"), 1);
                    } else {
                        test::existingContainer(dialog, 0, 2);
                    }
                });
            }
            QCOMPARE(messages.messages.size(), shown + 2);
            QCOMPARE(messages.messages.last(), Lang(c.message));
            QCOMPARE(messages.messages.at(shown), Lang(c.message));
            QCOMPARE(topTexts(certTree(page.window)), QStringList{QStringLiteral("kept(容器)")});
            QCOMPARE(certTree(page.window)->topLevelItem(0)->childCount(), 1);
        }
        TR7Info after;
        const test::DirectKeyCalls direct;
        QCOMPARE(token_get_info_ex(0, after), 0);
        QCOMPARE(after.freeMemory, before.freeMemory);
    }

private:
    QTemporaryDir m_certFolder;
    std::unique_ptr<TestCertificates> m_certs;
};

QTEST_MAIN(CertLimitsTest)
#include "CertLimitsTest.moc"
