// SPDX-License-Identifier: Apache-2.0
// The key service over the virtual key: jobs that find their key by identity, answers that reach
// only receivers still there, key calls only on workers, the journal settling writes cut short,
// and a registration that keeps the certificates of the keys still present.
#include "../common/KeyWait.h"
#include "../common/KeysimControl.h"
#include "../common/TestFolders.h"
#include "../manager/CertFixture.h"

#include "common/AppInfo.h"
#include "keyservice/CertJobs.h"
#include "keyservice/KeyJournal.h"
#include "keyservice/KeyService.h"
#include "keyservice/StoreRegistration.h"
#include "platform/CertStore.h"
#include "token/TokenApi.h"

#include <QProcess>
#include <QSemaphore>
#include <QSignalSpy>
#include <QTemporaryDir>
#include <QTest>
#include <QThread>

#include <atomic>

using namespace kx;

namespace {

const QString kPin = QStringLiteral("12345678");

// A user with a virtual key store, a data folder and a store of certificates of their own.
class Keys
{
public:
    Keys()
    {
        qputenv("KX2700_KEYSIM_DIR", QFile::encodeName(folders.path(QStringLiteral("keys"))));
        qputenv("XDG_DATA_HOME", QFile::encodeName(folders.path(QStringLiteral("data"))));
    }
    bool keysim(const QStringList& arguments) { return test::runKeysim(QStringLiteral(KEYSIM_TOOL_PATH), arguments); }
    test::TestFolders folders;
};

KeyService::Options options()
{
    KeyService::Options o;
    o.tableSize = 32;
    return o;
}

// Opens the library of `service` and lists its keys; 0 or the failing code.
int openAndList(KeyService& service)
{
    TAPPInfo app;
    app.PKCS11Lib = QStringLiteral(KEYSIM_PKCS11_PATH);
    int opened = -1;
    service.openLibrary(app, &service, [&](int result) { opened = result; });
    static_cast<void>(QTest::qWaitFor([&] { return opened != -1; }, 10000));
    if (opened != 0) {
        return opened;
    }
    return test::listKeys(service);
}

// The serial number a job reads from its key, and the key's position the answer came with.
struct SerialRead
{
    int result = 0;
    QString serial;
};

std::pair<SerialRead, int> readSerial(KeyService& service, const QByteArray& key)
{
    std::optional<std::pair<SerialRead, int>> answer;
    service.runOn<SerialRead>(
        key, QString(),
        [](KeyCall& call) {
            SerialRead read;
            TR7Info info;
            read.result = call.info(info);
            read.serial = info.serialText();
            return read;
        },
        &service, [&](SerialRead& read, int keyIndex) { answer = std::make_pair(read, keyIndex); });
    static_cast<void>(QTest::qWaitFor([&] { return answer.has_value(); }, 10000));
    return answer.value_or(std::make_pair(SerialRead{-1, QString()}, -2));
}

template <typename Result>
Result runWork(KeyService& service, int keyIndex, std::function<Result(KeyCall&)> work)
{
    return test::runAndWait<Result>(service, keyIndex, std::move(work)).value_or(Result{});
}

QThread* g_testThread = nullptr;
std::atomic_int g_callsOnTestThread{0};
decltype(&::token_get_info_ex) g_realInfo = nullptr;

int recordingInfo(int keyIndex, char* serial, char* label, char* manufacturer, char* model, int* maxPinLen,
                  int* minPinLen, int* soMaxPinLen, int* soMinPinLen, int* totalMemory, int* freeMemory,
                  int* hardwareVersion, int* firmwareVersion, int* initialised, int* reserved)
{
    if (QThread::currentThread() == g_testThread) {
        ++g_callsOnTestThread;
    }
    return g_realInfo(keyIndex, serial, label, manufacturer, model, maxPinLen, minPinLen, soMaxPinLen, soMinPinLen,
                      totalMemory, freeMemory, hardwareVersion, firmwareVersion, initialised, reserved);
}

} // namespace

class ServiceTest : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void initTestCase()
    {
        m_certs = std::make_unique<test::TestCertificates>(m_certFolder.path());
        QVERIFY(m_certs->ok());
    }

    // A job names its key by serial number: after a renumbering it still reaches its own key, the
    // answer carries the key's position then, and a key that left answers "gone" without a call.
    // No call of any of it runs on the service's own thread.
    void jobsFindTheirKeyByIdentity()
    {
        Keys keys;
        QVERIFY(keys.keysim({"create", "--serial", "KXA"}));
        QVERIFY(keys.keysim({"create", "--serial", "KXB"}));
        ScopedTokenApi api;
        g_testThread = QThread::currentThread();
        g_callsOnTestThread = 0;
        g_realInfo = api.api().token_get_info_ex;
        api.api().token_get_info_ex = &recordingInfo;
        KeyService service(options());
        QCOMPARE(openAndList(service), 0);
        QCOMPARE(service.KeyCount(), 2);
        QCOMPARE(service.keyId(1), QByteArray("KXB"));
        QVERIFY(keys.keysim({"pull", "KXA"}));
        QCOMPARE(test::listKeys(service), 0);
        QCOMPARE(service.KeyCount(), 1);
        const auto [kxb, position] = readSerial(service, "KXB");
        QCOMPARE(kxb.result, 0);
        QCOMPARE(kxb.serial, QStringLiteral("KXB"));
        QCOMPARE(position, 0);
        const auto [kxa, gone] = readSerial(service, "KXA");
        QCOMPARE(kxa.result, KeyDirectory::kKeyGone);
        QCOMPARE(gone, -1);
        QCOMPARE(g_callsOnTestThread.load(), 0);
    }

    // An answer whose receiver went meanwhile is dropped.
    void answersReachOnlyReceiversStillThere()
    {
        Keys keys;
        QVERIFY(keys.keysim({"create", "--serial", "KXA"}));
        KeyService service(options());
        QCOMPARE(openAndList(service), 0);
        bool answered = false;
        auto receiver = std::make_unique<QObject>();
        QSemaphore release;
        service.run<int>(
            0, QString(),
            [&](KeyCall&) {
                release.acquire();
                return 0;
            },
            receiver.get(), [&](int&, int) { answered = true; });
        receiver.reset();
        release.release();
        QVERIFY(test::keysIdle(service));
        QVERIFY(!answered);
    }

    // A container made for an import that did not get to its certificate is taken away when the
    // key is seen again (after the login its private objects need); an import whose certificate
    // is on the key was finished; a deletion cut short is completed.
    void journalSettlesWritesCutShort()
    {
        Keys keys;
        QVERIFY(keys.keysim({"create", "--serial", "KXA"}));
        KeyService service(options());
        QCOMPARE(openAndList(service), 0);
        int retries = 0;
        QCOMPARE(test::login(service, 0, kPin, retries), 0);
        const KeyJournal& journal = service.journal();
        const QString pfx = m_certs->path(QStringLiteral("ecuser.p12"));
        const QString cer = m_certs->path(QStringLiteral("user.cer"));
        // On the key: "half" with the private and public key of a PKCS#12 import but no
        // certificate (the write of the certificate never came); "done" complete; "doomed".
        QCOMPARE(runWork<int>(service, 0,
                              [&](KeyCall& key) {
                                  return key.at([&](int position) {
                                      int count = 0;
                                      int r = pkcs12_file_parse(pfx, QStringLiteral("pfx-pass"), count);
                                      r = r ? r : container_create_new(position, "half");
                                      r = r ? r : pkcs12_import_certificate(position, "half", 1, 0);
                                      r = r ? r : container_delete_cert(position, "half", 1);
                                      r = r ? r : container_create_new(position, "done");
                                      r = r ? r : x509_import_certificate(position, "done", 1, cer);
                                      return r ? r : container_create_new(position, "doomed");
                                  });
                              }),
                 0);
        auto names = [&] {
            return runWork<CertTreeData>(service, 0, [](KeyCall& key) { return ReadCertTree(key, true); }).names();
        };
        QCOMPARE(names(), (QList<QByteArray>{"done", "doomed", "half"}));
        auto leave = [&](const JournalEntry& entry) { journal.begin(service.keyId(0), entry); };
        JournalEntry half;
        half.container = "half";
        half.keySpec = 1;
        half.newContainer = true;
        leave(half);
        // Logged out, the private key cannot be seen: the entry waits for the login.
        runWork<int>(service, 0, [](KeyCall& key) { return key.logout(); });
        auto settle = [&] {
            return runWork<SettledWrite>(service, 0, [&](KeyCall& key) { return SettleJournal(key, journal); });
        };
        QCOMPARE(settle().outcome, SettledWrite::Outcome::NeedsLogin);
        QVERIFY(journal.pending(service.keyId(0)) != nullptr);
        QCOMPARE(test::login(service, 0, kPin, retries), 0);
        QList<SettledWrite::Outcome> settled;
        connect(&service, &KeyService::journalSettled, this,
                [&](int, const SettledWrite& write) { settled.append(write.outcome); });
        service.settleJournal(0);
        QTRY_COMPARE(settled.size(), 1);
        QCOMPARE(settled.at(0), SettledWrite::Outcome::Undone);
        QCOMPARE(names(), (QList<QByteArray>{"done", "doomed"}));

        JournalEntry done;
        done.container = "done";
        done.keySpec = 1;
        done.newContainer = true;
        leave(done);
        QCOMPARE(settle().outcome, SettledWrite::Outcome::Finished);
        JournalEntry doomed;
        doomed.kind = JournalEntry::Kind::DeleteContainer;
        doomed.container = "doomed";
        leave(doomed);
        QCOMPARE(settle().outcome, SettledWrite::Outcome::Finished);
        QCOMPARE(names(), QList<QByteArray>{"done"});
        QCOMPARE(settle().outcome, SettledWrite::Outcome::None);
    }

    // An import that fails after writing leaves the key as before, at once or later; a refused
    // one writes nothing and leaves no entry.
    void importsAreWholeOrNothing()
    {
        Keys keys;
        QVERIFY(keys.keysim({"create", "--serial", "KXA"}));
        KeyService service(options());
        QCOMPARE(openAndList(service), 0);
        int retries = 0;
        QCOMPARE(test::login(service, 0, kPin, retries), 0);
        const KeyJournal& journal = service.journal();
        const QString pfx = m_certs->path(QStringLiteral("ecuser.p12"));
        ImportRequest request;
        request.fileType = 0;
        request.path = pfx;
        request.container = "fresh";
        request.keySpec = 2;
        auto import = [&] {
            return runWork<ImportOutcome>(service, 0, [&](KeyCall& key) {
                int count = 0;
                pkcs12_file_parse(pfx, QStringLiteral("pfx-pass"), count);
                return ImportIntoKey(key, journal, request, std::make_shared<ImportProgress>());
            });
        };
        {
            // The certificate's write fails after the keys went in: the new container goes again.
            ScopedTokenApi api;
            api.api().pkcs12_import_certificate = [](int, const char*, int, int) { return 0x30; };
            QCOMPARE(import().result, 0x30);
        }
        QVERIFY(
            runWork<CertTreeData>(service, 0, [](KeyCall& key) { return ReadCertTree(key, true); }).names().isEmpty());
        QVERIFY(!journal.pending(service.keyId(0)));
        QCOMPARE(import().result, 0);
        const CertTreeData tree =
            runWork<CertTreeData>(service, 0, [](KeyCall& key) { return ReadCertTree(key, true); });
        QCOMPARE(tree.names(), QList<QByteArray>{"fresh"});
        QVERIFY(tree.containers[0].pairs[1].certificate && tree.containers[0].pairs[1].privateKey);
        QVERIFY(!journal.pending(service.keyId(0)));
    }

    // When a key leaves, the keys that stay keep their registration; the certificates of the key
    // that left go only once every present key's containers are known; a failed registration is
    // told once however often it is tried.
    void registrationKeepsWhatIsPresent()
    {
        Keys keys;
        QVERIFY(keys.keysim({"create", "--serial", "KXA"}));
        QVERIFY(keys.keysim({"create", "--serial", "KXB"}));
        KeyService service(options());
        QCOMPARE(openAndList(service), 0);
        for (int i = 0; i < 2; ++i) {
            int retries = 0;
            QCOMPARE(test::login(service, i, kPin, retries), 0);
            const QByteArray container = i == 0 ? "onA" : "onB";
            const QString cer = m_certs->path(i == 0 ? QStringLiteral("user.cer") : QStringLiteral("ecuser.cer"));
            QCOMPARE(runWork<int>(service, i,
                                  [&](KeyCall& key) {
                                      return key.at([&](int position) {
                                          const int r = container_create_new(position, container);
                                          return r ? r : x509_import_certificate(position, container, 1, cer);
                                      });
                                  }),
                     0);
        }
        StoreRegistration registration(service, nullptr);
        registration.setProvider(QStringLiteral("KX CSP"), 0);
        QSignalSpy failures(&registration, &StoreRegistration::failureToReport);
        auto registered = [] {
            QStringList containers;
            for (const auto& cert : platform::CertStore(platform::CertStore::defaultRoot()).list("MY")) {
                containers << QString::fromStdString(cert.keyProv ? cert.keyProv->container : std::string());
            }
            containers.sort();
            return containers;
        };
        auto round = [&](bool removeAbsent) {
            bool done = false;
            registration.registerAll(true, true, removeAbsent, [&] { done = true; });
            static_cast<void>(QTest::qWaitFor([&] { return done; }, 20000));
            return done;
        };
        QVERIFY(round(false));
        QCOMPARE(registered(), (QStringList{QStringLiteral("onA"), QStringLiteral("onB")}));

        QVERIFY(keys.keysim({"pull", "KXB"}));
        QCOMPARE(test::listKeys(service), 0);
        {
            // The key that stays cannot be read this time: nothing leaves the store.
            ScopedTokenApi api;
            api.api().container_load_all = [](int, char*, int*) { return 0x30; };
            QVERIFY(round(true));
            QVERIFY(round(true));
        }
        QCOMPARE(registered(), (QStringList{QStringLiteral("onA"), QStringLiteral("onB")}));
        QCOMPARE(failures.count(), 1);
        QVERIFY(registration.removalPending());
        // Read again, the key that stays keeps its certificate and the one that left loses its.
        QVERIFY(round(false));
        QCOMPARE(registered(), QStringList{QStringLiteral("onA")});
        QVERIFY(!registration.removalPending());
    }

private:
    QTemporaryDir m_certFolder;
    std::unique_ptr<test::TestCertificates> m_certs;
};

QTEST_GUILESS_MAIN(ServiceTest)
#include "ServiceTest.moc"
