// SPDX-License-Identifier: Apache-2.0
// A key pair generated on the key with its certificate request, through the key service over the
// fault wrapper in front of keysim: the request the key signed verifies and names the subject;
// a step that fails (generation, request, container) leaves the key as before at once, or once
// the key is seen again; and the certificate an authority issued for the request finds its key
// pair when it is imported, whatever container the user chose.

#include "../common/KeyWait.h"
#include "../common/KeysimControl.h"
#include "../common/TestFolders.h"
#include "../manager/CertFixture.h"

#include "common/AppInfo.h"
#include "drivers/drevmor/drevmor.h"
#include "keyservice/CertJobs.h"
#include "keyservice/KeyGenJobs.h"
#include "keyservice/KeyJournal.h"
#include "keyservice/KeyService.h"
#include "keyservice/KeyWrites.h"
#include "token/CertificateChain.h"
#include "token/TokenWrappers.h"

#include <QProcess>
#include <QSaveFile>
#include <QTemporaryDir>
#include <QTest>

#include <openssl/x509.h>

#include <memory>

using namespace kx;

namespace {

const QString kPin = QStringLiteral("12345678");

template <typename Result>
Result runWork(KeyService& service, std::function<Result(KeyCall&)> work)
{
    return test::runAndWait<Result>(service, 0, std::move(work), 60000).value_or(Result{});
}

KeyGenRequest p256Request(const QByteArray& container, bool fresh)
{
    KeyGenRequest request;
    request.container = container;
    request.newContainer = fresh;
    request.keySpec = DRV_KEYSPEC_SIGNATURE;
    request.choice = DRV_KEYGEN_P256;
    request.commonName = QStringLiteral("张三 Key Test");
    request.organization = QStringLiteral("KX2700");
    request.country = QStringLiteral("CN");
    return request;
}

// The subject's common name when the request's signature verifies with its own key; empty else.
QString verifiedCommonName(const QByteArray& der)
{
    const auto* data = reinterpret_cast<const unsigned char*>(der.constData());
    std::unique_ptr<X509_REQ, decltype(&X509_REQ_free)> request(d2i_X509_REQ(nullptr, &data, der.size()),
                                                                X509_REQ_free);
    if (!request || X509_REQ_verify(request.get(), X509_REQ_get0_pubkey(request.get())) != 1) {
        return QString();
    }
    const X509_NAME* subject = X509_REQ_get_subject_name(request.get());
    const int at = X509_NAME_get_index_by_NID(subject, NID_commonName, -1);
    unsigned char* utf8 = nullptr;
    const int length =
        at < 0 ? -1 : ASN1_STRING_to_UTF8(&utf8, X509_NAME_ENTRY_get_data(X509_NAME_get_entry(subject, at)));
    const QString name = length < 0 ? QString() : QString::fromUtf8(reinterpret_cast<char*>(utf8), length);
    OPENSSL_free(utf8);
    return name;
}

} // namespace

class KeyGenTest : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void initTestCase()
    {
        QVERIFY(m_certFolder.isValid());
        m_certs = std::make_unique<test::TestCertificates>(m_certFolder.path());
        QVERIFY(m_certs->ok());
        m_config = m_certFolder.filePath(QStringLiteral("faults.conf"));
        qputenv("KX2700_FAULTWRAP_MODULE", KEYSIM_PKCS11_PATH);
        qputenv("KX2700_FAULTWRAP_CONFIG", QFile::encodeName(m_config));
    }

    void init()
    {
        m_folders = std::make_unique<test::TestFolders>();
        qputenv("KX2700_KEYSIM_DIR", QFile::encodeName(m_folders->path(QStringLiteral("keys"))));
        qputenv("XDG_DATA_HOME", QFile::encodeName(m_folders->path(QStringLiteral("data"))));
        QVERIFY(keysim({"create", "--serial", "KXG"}));
        QVERIFY(setFaults(QByteArray()));
        KeyService::Options options;
        options.tableSize = 4;
        m_service = std::make_unique<KeyService>(options);
        TAPPInfo app;
        app.PKCS11Lib = QStringLiteral(FAULTWRAP_MODULE);
        int opened = -1;
        m_service->openLibrary(app, m_service.get(), [&](int result) { opened = result; });
        QTRY_VERIFY_WITH_TIMEOUT(opened != -1, 10000);
        QCOMPARE(opened, 0);
        QCOMPARE(test::listKeys(*m_service), 0);
        int retries = 0;
        QCOMPARE(test::login(*m_service, 0, kPin, retries), 0);
    }

    void cleanup()
    {
        m_service.reset();
        m_folders.reset();
    }

    // The pair, its request and the certificate issued for it, which the import puts into the
    // pair although the user chose a new container; the chain export finds its authorities.
    void generatedPairTakesItsIssuedCertificate()
    {
        QCOMPARE(runWork<int>(*m_service,
                              [](KeyCall& key) {
                                  int choices = 0;
                                  return ReadKeyGenChoices(key, choices) == 0 ? choices : -1;
                              }) &
                     (DRV_KEYGEN_RSA2048 | DRV_KEYGEN_P256 | DRV_KEYGEN_P384),
                 DRV_KEYGEN_RSA2048 | DRV_KEYGEN_P256 | DRV_KEYGEN_P384);
        const KeyGenOutcome made = generate(p256Request("born", true));
        QCOMPARE(made.result, 0);
        QCOMPARE(verifiedCommonName(made.request), QStringLiteral("张三 Key Test"));
        QVERIFY(!m_service->journal().pending(m_service->keyId(0)));
        CertTreeData tree = readTree();
        QVERIFY(tree.find("born"));
        QVERIFY(!tree.find("born")->pairs[1].certificate);
        // Both keys of the pair are there, the private one on the key only.
        QCOMPARE(runWork<int>(*m_service,
                              [](KeyCall& key) {
                                  int algorithm = 0;
                                  const int pub = key.at([&](int position) {
                                      return container_get_pubkey(position, "born", DRV_KEYSPEC_SIGNATURE, algorithm);
                                  });
                                  const int priv = key.at([&](int position) {
                                      return container_get_prikey(position, "born", DRV_KEYSPEC_SIGNATURE, &algorithm);
                                  });
                                  return pub == 0 && priv == 0 ? algorithm : -1;
                              }),
                 DRV_KEY_ALGORITHM_ECC);

        // The authority signs the request; the user imports the certificate into "elsewhere".
        QVERIFY(writeFile(QStringLiteral("born.csr"), PemEncode(made.request, "CERTIFICATE REQUEST")));
        QVERIFY(openssl({"x509", "-req", "-in", "born.csr", "-CA", "ca.pem", "-CAkey", "ca.key", "-CAcreateserial",
                         "-days", "30", "-out", "born.pem"}));
        ImportRequest import;
        import.fileType = 1;
        import.path = m_certs->path(QStringLiteral("born.pem"));
        import.container = "elsewhere";
        import.keySpec = DRV_KEYSPEC_EXCHANGE;
        import.existingContainers = tree.names();
        const ImportOutcome imported = runWork<ImportOutcome>(*m_service, [&](KeyCall& key) {
            return ImportIntoKey(key, m_service->journal(), import, std::make_shared<ImportProgress>());
        });
        QCOMPARE(imported.result, 0);
        QCOMPARE(imported.matchedContainer, QByteArray("born"));
        QCOMPARE(imported.matchedKeySpec, DRV_KEYSPEC_SIGNATURE);
        tree = readTree();
        QVERIFY(!tree.find("elsewhere"));
        QVERIFY(tree.find("born")->pairs[1].certificate);
        const QByteArray issued = tree.find("born")->pairs[1].der;

        // A certificate of no key pair on the key goes where the user chose, as before.
        import.path = m_certs->path(QStringLiteral("user.cer"));
        const ImportOutcome plain = runWork<ImportOutcome>(*m_service, [&](KeyCall& key) {
            return ImportIntoKey(key, m_service->journal(), import, std::make_shared<ImportProgress>());
        });
        QCOMPARE(plain.result, 0);
        QVERIFY(plain.matchedContainer.isEmpty());
        QVERIFY(readTree().find("elsewhere"));

        // The chain: the issued certificate, its authority and the root, from the certificates at hand.
        const QList<QByteArray> chain = CertificateChain(
            issued, {m_certs->read(QStringLiteral("user.cer")), pemFile("root.pem"), pemFile("ca.pem")});
        QCOMPARE(chain.size(), 3);
        QCOMPARE(chain.at(1), pemFile("ca.pem"));
        QCOMPARE(chain.at(2), pemFile("root.pem"));
        // A certificate that only names the authority without its signature is no issuer.
        QCOMPARE(CertificateChain(issued, {pemFile("root.pem")}).size(), 1);
        QCOMPARE(PemDecode(PemEncode(issued, "CERTIFICATE"), "CERTIFICATE"), issued);
    }

    // A step that fails takes back what the steps before it made, at once.
    void failedStepLeavesTheKeyAsBefore_data()
    {
        QTest::addColumn<QByteArray>("faults");
        QTest::addColumn<bool>("fresh");
        QTest::addColumn<int>("failedStep");
        const int generation = int(KeyGenOutcome::Step::Generation);
        const int request = int(KeyGenOutcome::Step::Request);
        QTest::newRow("generation fails after the key made the pair, new container")
            << QByteArray("fail.next.C_GenerateKeyPair=after:1:0x30\n") << true << generation;
        QTest::newRow("generation fails after the key made the pair, existing container")
            << QByteArray("fail.next.C_GenerateKeyPair=after:1:0x30\n") << false << generation;
        QTest::newRow("the key refuses to sign the request, new container")
            << QByteArray("fail.next.C_SignInit=before:3:0x30\n") << true << request;
        QTest::newRow("the key refuses to sign the request, existing container")
            << QByteArray("fail.next.C_SignInit=before:3:0x30\n") << false << request;
    }

    void failedStepLeavesTheKeyAsBefore()
    {
        QFETCH(QByteArray, faults);
        QFETCH(bool, fresh);
        QFETCH(int, failedStep);
        if (!fresh) {
            QCOMPARE(importP12("kept"), 0);
        }
        const QByteArray container = fresh ? QByteArray("born") : QByteArray("kept");
        const CertTreeData before = readTree();
        QVERIFY(setFaults(faults));
        const KeyGenOutcome made = generate(p256Request(container, fresh));
        QVERIFY(setFaults(QByteArray()));
        QVERIFY(made.result != 0);
        QCOMPARE(int(made.failedStep), failedStep);
        QVERIFY(made.request.isEmpty());
        QVERIFY(!m_service->journal().pending(m_service->keyId(0)));
        expectSameTree(before, readTree());
    }

    // When the key does not let the undo happen either, the journal keeps the write and it is
    // taken back once the key answers again.
    void generationCutShortIsTakenBackWhenSeenAgain()
    {
        const CertTreeData before = readTree();
        QVERIFY(setFaults("fail.next.C_SignInit=before:3:0x30\nfail.next.C_DestroyObject=before:100:0x30\n"));
        const KeyGenOutcome made = generate(p256Request("born", true));
        QVERIFY(made.result != 0);
        QVERIFY(m_service->journal().pending(m_service->keyId(0)));
        QVERIFY(setFaults(QByteArray()));
        const SettledWrite settled = runWork<SettledWrite>(
            *m_service, [this](KeyCall& key) { return SettleJournal(key, m_service->journal()); });
        QCOMPARE(int(settled.outcome), int(SettledWrite::Outcome::Undone));
        QCOMPARE(int(settled.entry.kind), int(JournalEntry::Kind::Generate));
        QVERIFY(!m_service->journal().pending(m_service->keyId(0)));
        expectSameTree(before, readTree());
    }

    // The next write on the key, before the key was seen again, takes the pending write back
    // first rather than putting its own entry over it; while the key still refuses, the next
    // write is not made at all.
    void nextWriteSettlesThePendingOneFirst()
    {
        const CertTreeData before = readTree();
        QVERIFY(setFaults("fail.next.C_SignInit=before:3:0x30\nfail.next.C_DestroyObject=before:100:0x30\n"));
        QVERIFY(generate(p256Request("born", true)).result != 0);
        QVERIFY(m_service->journal().pending(m_service->keyId(0)));
        // Still refused: the import is not made and the pending generation stays.
        QVERIFY(importP12("next") != 0);
        QVERIFY(m_service->journal().pending(m_service->keyId(0)));
        QVERIFY(setFaults(QByteArray()));
        QCOMPARE(importP12("next"), 0);
        QVERIFY(!m_service->journal().pending(m_service->keyId(0)));
        const CertTreeData after = readTree();
        QVERIFY(!after.find("born"));
        QVERIFY(after.find("next"));
        QCOMPARE(after.containers.size(), before.containers.size() + 1);
    }

    // A pair that holds keys is not generated over, and nothing is sent to the key for it.
    void occupiedPairIsRefused()
    {
        QCOMPARE(importP12("kept"), 0);
        const CertTreeData before = readTree();
        KeyGenRequest request = p256Request("kept", false);
        request.keySpec = DRV_KEYSPEC_EXCHANGE;
        QCOMPARE(generate(request).result, DRV_EXISTS);
        request.container = "kept";
        request.newContainer = true;
        const KeyGenOutcome again = generate(request);
        QCOMPARE(again.result, DRV_EXISTS);
        QCOMPARE(int(again.failedStep), int(KeyGenOutcome::Step::Container));
        expectSameTree(before, readTree());
    }

private:
    KeyGenOutcome generate(const KeyGenRequest& request)
    {
        return runWork<KeyGenOutcome>(
            *m_service, [this, request](KeyCall& key) { return GenerateOnKey(key, m_service->journal(), request); });
    }

    int importP12(const QByteArray& container)
    {
        return runWork<int>(*m_service, [this, container](KeyCall& key) {
            int parsed = 0;
            if (pkcs12_file_parse(m_certs->path(QStringLiteral("ecuser.p12")), QStringLiteral("pfx-pass"), parsed) !=
                0) {
                return -2;
            }
            ImportRequest request;
            request.path = m_certs->path(QStringLiteral("ecuser.p12"));
            request.container = container;
            request.keySpec = DRV_KEYSPEC_EXCHANGE;
            request.existingContainers = ReadCertTree(key, true).names();
            return ImportIntoKey(key, m_service->journal(), request, std::make_shared<ImportProgress>()).result;
        });
    }

    CertTreeData readTree()
    {
        return runWork<CertTreeData>(*m_service, [](KeyCall& key) { return ReadCertTree(key, true); });
    }

    // Which key pairs of the key's containers hold keys, certificate or not ("name:1" entries).
    QStringList pairsWithKeys()
    {
        return runWork<QStringList>(*m_service, [](KeyCall& key) {
            QStringList pairs;
            for (const QByteArray& name : ReadCertTree(key, true).names()) {
                for (const int spec : {DRV_KEYSPEC_EXCHANGE, DRV_KEYSPEC_SIGNATURE}) {
                    if (PairHasKeys(key, name, spec)) {
                        pairs << QString::fromLatin1(name) + QLatin1Char(':') + QString::number(spec);
                    }
                }
            }
            return pairs;
        });
    }

    void expectSameTree(const CertTreeData& before, const CertTreeData& after)
    {
        QCOMPARE(after.result, 0);
        QCOMPARE(after.names(), before.names());
        QStringList keysBefore;
        for (const ContainerData& container : before.containers) {
            for (int i = 0; i < 2; ++i) {
                if (container.pairs[static_cast<size_t>(i)].privateKey ||
                    container.pairs[static_cast<size_t>(i)].publicKey) {
                    keysBefore << QString::fromLatin1(container.name) + QLatin1Char(':') + QString::number(i + 1);
                }
            }
        }
        QCOMPARE(pairsWithKeys(), keysBefore);
        for (const ContainerData& container : before.containers) {
            for (int i = 0; i < 2; ++i) {
                const KeyPairData& was = container.pairs[static_cast<size_t>(i)];
                const KeyPairData& now = after.find(container.name)->pairs[static_cast<size_t>(i)];
                QCOMPARE(now.privateKey, was.privateKey);
                QCOMPARE(now.publicKey, was.publicKey);
                QCOMPARE(now.der, was.der);
            }
        }
    }

    QByteArray pemFile(const QString& name) const { return PemDecode(m_certs->read(name), "CERTIFICATE"); }

    bool writeFile(const QString& name, const QByteArray& bytes) const
    {
        QSaveFile file(m_certs->path(name));
        return file.open(QIODevice::WriteOnly) && file.write(bytes) == bytes.size() && file.commit();
    }

    bool openssl(const QStringList& arguments) const
    {
        QProcess tool;
        tool.setWorkingDirectory(m_certFolder.path());
        tool.start(QStringLiteral("openssl"), arguments);
        return tool.waitForFinished(30000) && tool.exitStatus() == QProcess::NormalExit && tool.exitCode() == 0;
    }

    bool keysim(const QStringList& arguments) { return test::runKeysim(QStringLiteral(KEYSIM_TOOL_PATH), arguments); }

    bool setFaults(const QByteArray& text) { return test::writeFaults(m_config, text); }

    QTemporaryDir m_certFolder;
    std::unique_ptr<test::TestCertificates> m_certs;
    std::unique_ptr<test::TestFolders> m_folders;
    std::unique_ptr<KeyService> m_service;
    QString m_config;
};

QTEST_GUILESS_MAIN(KeyGenTest)
#include "KeyGenTest.moc"
