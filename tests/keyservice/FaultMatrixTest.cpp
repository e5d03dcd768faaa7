// SPDX-License-Identifier: Apache-2.0
// The key service over a key whose calls fail at random (the fault wrapper in front of keysim,
// a few seeds and rates, before or after the real call): the user's work on the key goes on while
// calls fail, then the faults stop and the key is seen again. Whatever failed, afterwards:
// - the PIN's tries are all there (nothing spent a try to find out) and the right PIN was never
//   reported as a wrong one;
// - no container is half-written once the journal settled (a pair with a key has its certificate
//   and both keys; no empty container blocks a name);
// - the key is not stuck: its tree reads and an import works;
// - every container on the key with a certificate is registered in the user's store, and none
//   that left it.

#include "../common/KeyWait.h"
#include "../common/KeysimControl.h"
#include "../common/TestFolders.h"
#include "../manager/CertFixture.h"

#include "common/AppInfo.h"
#include "keyservice/CertJobs.h"
#include "keyservice/KeyService.h"
#include "keyservice/PinJobs.h"
#include "keyservice/StoreRegistration.h"
#include "platform/CertStore.h"
#include "token/LoginFailure.h"
#include "token/TokenApi.h"

#include <QProcess>
#include <QSaveFile>
#include <QTemporaryDir>
#include <QTest>

using namespace kx;

namespace {

const QString kPin = QStringLiteral("12345678");
const QString kNewPin = QStringLiteral("Kx2700-new");

template <typename Result>
Result runWork(KeyService& service, int keyIndex, std::function<Result(KeyCall&)> work)
{
    return test::runAndWait<Result>(service, keyIndex, std::move(work)).value_or(Result{});
}

bool isPinVerdict(LoginFailure failure)
{
    return failure == LoginFailure::WrongPin || failure == LoginFailure::Locked;
}

} // namespace

class FaultMatrixTest : public QObject
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

    void keyStaysWholeWhateverFails_data()
    {
        QTest::addColumn<int>("seed");
        QTest::addColumn<QString>("rate");
        for (const int seed : {1, 2, 3}) {
            for (const char* rate : {"1", "5", "20"}) {
                QTest::addRow("seed %d, %s%%", seed, rate) << seed << QString::fromLatin1(rate);
            }
        }
    }

    void keyStaysWholeWhateverFails()
    {
        QFETCH(int, seed);
        QFETCH(QString, rate);
        test::TestFolders folders;
        qputenv("KX2700_KEYSIM_DIR", QFile::encodeName(folders.path(QStringLiteral("keys"))));
        qputenv("XDG_DATA_HOME", QFile::encodeName(folders.path(QStringLiteral("data"))));
        QVERIFY(keysim({"create", "--serial", "KXF"}));
        QVERIFY(setFaults(QByteArray()));

        KeyService::Options options;
        options.tableSize = 8;
        KeyService service(options);
        TAPPInfo app;
        app.PKCS11Lib = QStringLiteral(FAULTWRAP_MODULE);
        int opened = -1;
        service.openLibrary(app, &service, [&](int result) { opened = result; });
        QTRY_VERIFY_WITH_TIMEOUT(opened != -1, 10000);
        QCOMPARE(opened, 0);
        QCOMPARE(test::listKeys(service), 0);
        int retries = 0;
        QCOMPARE(test::login(service, 0, kPin, retries), 0);
        const int maxRetries = test::pinState(service, 0).maxRetries();
        QVERIFY(maxRetries > 0);
        // Two containers made while the key answers: one to keep, one the user deletes.
        for (const QByteArray& name : {QByteArray("keep"), QByteArray("doomed")}) {
            QCOMPARE(importFile(service, name, QStringLiteral("ecuser.p12"), 1).result, 0);
        }
        StoreRegistration registration(service, nullptr);
        registration.setProvider(QStringLiteral("KX CSP"), 0);
        QVERIFY(registerRound(registration));

        // The user works on while calls fail.
        QVERIFY(setFaults("seed=" + QByteArray::number(seed) + "\nfail.rate=" + rate.toLatin1() +
                          "\nfail.when=either\nfail.code=0x30\n"));
        const LoginOutcome login = runWork<LoginOutcome>(
            service, 0, [secret = MakeSecret(kPin)](KeyCall& key) { return LoginToKey(key, secret, false); });
        if (login.result != 0) {
            QVERIFY2(!isPinVerdict(ClassifyLoginFailure(login.result, login.retriesLeft)),
                     qPrintable(QString::number(login.result, 16)));
        }
        static_cast<void>(importFile(service, "fresh", QStringLiteral("user.pfx"), 3));
        static_cast<void>(
            runWork<int>(service, 0, [&](KeyCall& key) { return DeleteFromKey(key, service.journal(), "doomed", 0); }));
        const PinChangeOutcome change = runWork<PinChangeOutcome>(
            service, 0, [oldPin = MakeSecret(kPin), newPin = MakeSecret(kNewPin)](KeyCall& key) {
                return ChangeKeyPin(key, oldPin, newPin, true);
            });
        if (change.stage == PinChangeOutcome::Stage::OldPinRefused) {
            QVERIFY2(!isPinVerdict(ClassifyLoginFailure(change.result, change.retriesLeft)),
                     qPrintable(QString::number(change.result, 16)));
        } else if (change.stage == PinChangeOutcome::Stage::ChangeFailed) {
            QVERIFY(ClassifyPinChangeFailure(change.result) != PinChangeFailure::WrongOldPin);
        }
        registerRound(registration);

        // The faults stop and the key is seen again.
        QVERIFY(setFaults(QByteArray()));
        QCOMPARE(test::listKeys(service), 0);
        const PinState state = test::pinState(service, 0);
        QCOMPARE(state.retriesLeft(), maxRetries);
        const bool changed = change.stage == PinChangeOutcome::Stage::Changed;
        const bool unknown = change.stage == PinChangeOutcome::Stage::ChangeFailed &&
                             ClassifyPinChangeFailure(change.result) == PinChangeFailure::Unconfirmed;
        if (test::login(service, 0, changed || unknown ? kNewPin : kPin, retries) != 0) {
            // Only an unconfirmed change leaves the PIN in doubt: the old one is in force then.
            QVERIFY(unknown);
            QCOMPARE(test::login(service, 0, kPin, retries), 0);
        }
        const SettledWrite settled =
            runWork<SettledWrite>(service, 0, [&](KeyCall& key) { return SettleJournal(key, service.journal()); });
        QVERIFY(settled.outcome != SettledWrite::Outcome::Failed &&
                settled.outcome != SettledWrite::Outcome::NeedsLogin);
        QVERIFY(!service.journal().pending(service.keyId(0)));

        CertTreeData tree = readTree(service);
        QCOMPARE(tree.result, 0);
        for (const ContainerData& container : tree.containers) {
            bool holdsCertificate = false;
            for (const KeyPairData& pair : container.pairs) {
                holdsCertificate = holdsCertificate || pair.certificate;
                if (pair.privateKey || pair.publicKey) {
                    QVERIFY2(pair.certificate && pair.privateKey && pair.publicKey, container.name.constData());
                }
            }
            QVERIFY2(holdsCertificate, container.name.constData());
        }
        QVERIFY(tree.find("keep"));
        // Not stuck: a write and a read work at once.
        QCOMPARE(importFile(service, "after", QStringLiteral("ecuser.p12"), 1).result, 0);
        tree = readTree(service);
        QVERIFY(tree.find("after"));

        QVERIFY(registerRound(registration));
        QStringList onKey;
        for (const ContainerData& container : tree.containers) {
            onKey << QString::fromLatin1(container.name);
        }
        QList<QByteArray> registered;
        for (const auto& cert : platform::CertStore(platform::CertStore::defaultRoot()).list("MY")) {
            const QString container = QString::fromStdString(cert.keyProv ? cert.keyProv->container : std::string());
            QVERIFY2(onKey.contains(container), qPrintable(container));
            registered << QByteArray(reinterpret_cast<const char*>(cert.der.data()), qsizetype(cert.der.size()));
        }
        // The store keeps one entry a certificate: each certificate with its key on the key is there.
        for (const ContainerData& container : tree.containers) {
            for (const KeyPairData& pair : container.pairs) {
                if (pair.certificate && pair.privateKey) {
                    QVERIFY2(registered.contains(pair.der), container.name.constData());
                }
            }
        }
        QVERIFY(!registered.isEmpty());
    }

private:
    bool keysim(const QStringList& arguments) { return test::runKeysim(QStringLiteral(KEYSIM_TOOL_PATH), arguments); }

    bool setFaults(const QByteArray& text) { return test::writeFaults(m_config, text); }

    ImportOutcome importFile(KeyService& service, const QByteArray& container, const QString& file, int count)
    {
        ImportRequest request;
        request.fileType = 0;
        request.path = m_certs->path(file);
        request.certificateCount = count;
        request.container = container;
        request.keySpec = 1;
        return runWork<ImportOutcome>(service, 0, [&](KeyCall& key) {
            int parsed = 0;
            if (pkcs12_file_parse(request.path, QStringLiteral("pfx-pass"), parsed) != 0 || parsed != count) {
                ImportOutcome unparsed;
                unparsed.result = -2;
                return unparsed;
            }
            request.existingContainers = ReadCertTree(key, true).names();
            return ImportIntoKey(key, service.journal(), request, std::make_shared<ImportProgress>());
        });
    }

    static CertTreeData readTree(KeyService& service)
    {
        return runWork<CertTreeData>(service, 0, [](KeyCall& key) { return ReadCertTree(key, true); });
    }

    static bool registerRound(StoreRegistration& registration)
    {
        bool done = false;
        registration.registerAll(true, false, true, [&] { done = true; });
        return QTest::qWaitFor([&] { return done; }, 60000);
    }

    QTemporaryDir m_certFolder;
    std::unique_ptr<test::TestCertificates> m_certs;
    QString m_config;
};

QTEST_GUILESS_MAIN(FaultMatrixTest)
#include "FaultMatrixTest.moc"
