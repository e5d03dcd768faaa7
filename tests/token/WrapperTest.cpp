// SPDX-License-Identifier: Apache-2.0
#include "FakeTokenLibrary.h"

#include "../common/TestFolders.h"

#include "common/OperationLog.h"
#include "token/CertRegistration.h"
#include "token/TokenWrappers.h"

#include "platform/CertStore.h"

#include <QTest>

#include <cstring>

using namespace kx;
using test::FakeTokenLibrary;

namespace {

// Traces into a temporary log folder and reads back what was written.
class LogCapture
{
public:
    LogCapture()
    {
        QDir().mkpath(m_folders.path(QStringLiteral("KeyLog")));
        m_folders.context().setClock([] { return QDateTime(QDate(2024, 3, 1), QTime(9, 0, 0)); });
    }
    QStringList lines() const
    {
        const QByteArray text = test::TestFolders::read(OperationLogPath(QDate(2024, 3, 1)));
        QStringList result;
        for (const QByteArray& line : text.split('\n')) {
            if (!line.isEmpty()) {
                result << QString::fromUtf8(line.mid(10).trimmed()); // drop "09:00:00> "
            }
        }
        return result;
    }
    test::TestFolders& folders() { return m_folders; }

private:
    test::TestFolders m_folders;
};

FakeTokenLibrary::KeyPair pair(int certType, int algorithm, const char* der, int storeResult = 0)
{
    return {certType, algorithm, QByteArray(der), storeResult};
}

} // namespace

class WrapperTest : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void initWritesLinesOnlyForThePlainCall()
    {
        FakeTokenLibrary fake;
        LogCapture log;
        QCOMPARE(InitTokenLibrary(QStringLiteral("libkeysim-pkcs11.so"), QString(), QString(), QString()), 0);
        QCOMPARE(
            InitTokenLibrary(QStringLiteral("lib.so"), QStringLiteral("USB"), QStringLiteral("O"), QStringLiteral("A")),
            0);
        QCOMPARE(fake.calls, (QStringList{QStringLiteral("init_pkcs11 libkeysim-pkcs11.so"),
                                          QStringLiteral("init_pkcs11_ex USB lib.so")}));
        QCOMPARE(log.lines(), (QStringList{QStringLiteral("init_pkcs11 begin pName=libkeysim-pkcs11.so"),
                                           QStringLiteral("init_pkcs11 end rtn=0")}));
        int count = 0;
        FindAndConnectKeys(count);
        QVERIFY(log.lines().contains(QStringLiteral("token_find begin kn=32")));
    }

    void findAndConnect()
    {
        FakeTokenLibrary fake;
        LogCapture log;
        int count = 7;
        QCOMPARE(FindAndConnectKeys(count), 1); // no key
        QCOMPARE(count, 0);
        QCOMPARE(fake.calls, QStringList{QStringLiteral("token_find 32")});

        fake.keyCount = 2;
        fake.findResult = 0xE0;
        QCOMPARE(FindAndConnectKeys(count), 1); // the search failed
        QCOMPARE(count, 0);

        fake.findResult = 0;
        fake.keyCount = 3;
        fake.connectResults[1] = 0x32;
        fake.calls.clear();
        QCOMPARE(FindAndConnectKeys(count), 0); // the last connect decides
        QCOMPARE(count, 3);
        QCOMPARE(fake.calls, (QStringList{QStringLiteral("token_find 32"), QStringLiteral("token_connect 0"),
                                          QStringLiteral("token_connect 1"), QStringLiteral("token_connect 2")}));
        fake.connectResults[2] = 0x30;
        QCOMPARE(FindAndConnectKeys(count), 0x30);
        QCOMPARE(count, 3);
        QVERIFY(log.lines().contains(QStringLiteral("token_connect begin keyindex=2")));
        QVERIFY(log.lines().contains(QStringLiteral("token_connect end rtn=50")));

        fake.keyCount = 500; // a library reporting more keys than asked for
        QCOMPARE(FindAndConnectKeys(count), 0);
        QCOMPARE(count, 32);
    }

    void containerNames()
    {
        FakeTokenLibrary fake;
        fake.containers = {{"first", {}}, {"with space", {}}, {QByteArray("\xB2\xE2\xCA\xD4"), {}}};
        TR7Info info;
        QCOMPARE(LoadContainerNames(0, info), 0);
        QCOMPARE(info.containerCount, 3);
        QCOMPARE(info.containerNames[0], QByteArray("first"));
        QCOMPARE(info.containerNames[1], QByteArray("with space"));
        QCOMPARE(info.containerNames[2], QByteArray("\xB2\xE2\xCA\xD4")); // any byte kept

        // Every name a key holds, past the 65th and past what the first 64 KiB hold: the list is
        // asked for again with the length the library names, and from then on (every asking reads
        // all of the key's objects again) with room for that length at once.
        fake.containers.clear();
        int needed = 0;
        for (int i = 0; i < 70; ++i) {
            fake.containers.append({QByteArray("c") + QByteArray::number(i) + QByteArray(1000, 'n'), {}});
            needed += static_cast<int>(fake.containers.last().name.size()) + 1;
        }
        fake.calls.clear();
        QCOMPARE(LoadContainerNames(0, info), 0);
        QCOMPARE(info.containerCount, 70);
        QCOMPARE(info.containerNames.size(), std::size_t(70));
        QCOMPARE(info.containerNames[69], QByteArray("c69") + QByteArray(1000, 'n'));
        QCOMPARE(fake.calls, (QStringList{QStringLiteral("container_load_all 65536"),
                                          QStringLiteral("container_load_all %1").arg(needed)}));
        fake.calls.clear();
        QCOMPARE(LoadContainerNames(0, info), 0);
        QCOMPARE(info.containerCount, 70);
        QCOMPARE(fake.calls, QStringList{QStringLiteral("container_load_all %1").arg(needed * 5 / 4)});

        // A list that outgrows every buffer, or a length no key needs, ends in the library's
        // refusal and leaves the record as it was.
        fake.loadAllGrows = true;
        fake.calls.clear();
        QCOMPARE(LoadContainerNames(0, info), DRV_BUFFER_TOO_SMALL);
        QCOMPARE(fake.calls.size(), 4);
        QCOMPARE(info.containerCount, 70);
        fake.loadAllNeeded = 0x7FFFFFFF;
        fake.calls.clear();
        QCOMPARE(LoadContainerNames(0, info), DRV_BUFFER_TOO_SMALL);
        QCOMPARE(fake.calls.size(), 1);
        fake.loadAllGrows = false;
        fake.loadAllNeeded = 0;

        fake.loadAllResult = 0x30;
        info.containerCount = 2;
        QCOMPARE(LoadContainerNames(0, info), 0x30);
        QCOMPARE(info.containerCount, 2); // unchanged on failure
        QVERIFY(fake.calls.last().startsWith(QStringLiteral("container_load_all ")));
    }

    void readContainerCert()
    {
        FakeTokenLibrary fake;
        fake.containers = {{"c", {{1, pair(0, 3, "leaf")}}}};
        TR7CertInfo cert;
        QCOMPARE(ReadContainerCert(0, "c", 2, cert), DRV_NOT_FOUND);
        QCOMPARE(fake.calls, QStringList{QStringLiteral("container_get_cert c 2")}); // nothing after it

        fake.calls.clear();
        QCOMPARE(ReadContainerCert(0, "c", 1, cert), 0);
        QCOMPARE(fake.calls.size(), 3);
        QCOMPARE(cert.der(), QByteArray("leaf"));
        QCOMPARE(cert.subject, QStringLiteral("CN=leaf"));
        QCOMPARE(cert.issuer, QStringLiteral("CN=发行者"));
        QCOMPARE(cert.serial, QByteArray("0A1B"));
        QCOMPARE(cert.notBeforeText, QStringLiteral("2024-01-05"));
        QCOMPARE(cert.notAfterText, QStringLiteral("0999-12-31"));
        QCOMPARE(cert.notAfter[0], 999);
        QCOMPARE(cert.keyAlgorithm, 3);
        QCOMPARE(cert.keyBits, 256);

        fake.decodeResult = 0x0A000002;
        cert.subject = QStringLiteral("old");
        QCOMPARE(ReadContainerCert(0, "c", 1, cert), 0x0A000002);
        QCOMPARE(cert.subject, QStringLiteral("old"));
    }

    void secretsNeverReachTheLog()
    {
        FakeTokenLibrary fake;
        LogCapture log;
        int retries = 0;
        QCOMPARE(token_login(0, QStringLiteral("123456"), retries), 0);
        QCOMPARE(retries, 5);
        QCOMPARE(fake.calls.last(), QStringLiteral("token_login 123456")); // the library gets the PIN
        token_change_upin(0, QStringLiteral("123456"), QStringLiteral("654321"));
        int count = 0;
        pkcs12_file_parse(QStringLiteral("/tmp/a.pfx"), QStringLiteral("pfx-secret"), count);
        const QStringList lines = log.lines();
        QVERIFY(lines.contains(QStringLiteral("token_login begin UPIN=***")));
        QVERIFY(lines.contains(QStringLiteral("token_change_upin begin newUPIN=***")));
        QVERIFY(lines.contains(QStringLiteral("pkcs12_file_parse begin password=***")));
        const QString all = lines.join(QLatin1Char('\n'));
        QVERIFY(!all.contains(QStringLiteral("123456")));
        QVERIFY(!all.contains(QStringLiteral("654321")));
        QVERIFY(!all.contains(QStringLiteral("pfx-secret")));
    }

    void labelField()
    {
        FakeTokenLibrary fake;
        QCOMPARE(token_set_label(0, QStringLiteral("我的Key")), 0);
        QCOMPARE(fake.labelFields.size(), 1);
        const QByteArray expected = QStringLiteral("我的Key").toUtf8();
        QCOMPARE(fake.labelFields[0].left(expected.size()), expected);
        QCOMPARE(fake.labelFields[0].mid(expected.size()), QByteArray(64 - expected.size(), '\0'));
        QCOMPARE(token_set_label(0, QString(64, QLatin1Char('a'))), 0);
        QCOMPARE(token_set_label(0, QString(22, QChar(0x4E2D))), DRV_INVALID_PARAM); // 66 bytes
        QCOMPARE(fake.labelFields.size(), 2);
    }

    // The key-pair calls: subject texts go to the library as UTF-8, the request comes back as long
    // as the library says, the container name of a certificate as the library wrote it; nothing
    // is taken from a failed call.
    void keyPairsBornOnTheKey()
    {
        ScopedTokenApi scope;
        static QByteArray seenSubject;
        scope.api().container_create_request = [](int, const char* name, int spec, const char* cn, const char* o,
                                                  const char* ou, const char* c, const char* e, unsigned char* der,
                                                  int* length) {
            seenSubject =
                QByteArray(name) + '|' + QByteArray::number(spec) + '|' + cn + '|' + o + '|' + ou + '|' + c + '|' + e;
            if (QByteArray(cn).isEmpty())
                return DRV_INVALID_PARAM;
            std::memcpy(der, "REQ\0DER", 7);
            *length = 7;
            return 0;
        };
        scope.api().container_find_by_cert = [](int, const unsigned char* cert, int length, char* name, int* spec) {
            if (QByteArray(reinterpret_cast<const char*>(cert), length) != "CERT")
                return DRV_NOT_FOUND;
            std::strcpy(name, "容器一");
            *spec = 2;
            return 0;
        };
        scope.api().token_get_keygen_choices = [](int keyIndex, int* choices) {
            *choices = DRV_KEYGEN_P256 | DRV_KEYGEN_SM2;
            return keyIndex == 0 ? 0 : 0x32;
        };

        QByteArray der = "old";
        QCOMPARE(container_create_request(0, "web", 2, QStringLiteral("张三"), QStringLiteral("单位"), QString(),
                                          QStringLiteral("CN"), QStringLiteral("a@b.c"), der),
                 0);
        QCOMPARE(der, QByteArray("REQ\0DER", 7));
        QCOMPARE(QString::fromUtf8(seenSubject), QStringLiteral("web|2|张三|单位||CN|a@b.c"));
        QCOMPARE(container_create_request(0, "web", 2, QString(), QString(), QString(), QString(), QString(), der),
                 DRV_INVALID_PARAM);
        QCOMPARE(der, QByteArray("REQ\0DER", 7));

        QByteArray name;
        int spec = 0;
        QCOMPARE(container_find_by_cert(0, "CERT", name, spec), 0);
        QCOMPARE(QString::fromUtf8(name), QStringLiteral("容器一"));
        QCOMPARE(spec, 2);
        QCOMPARE(container_find_by_cert(0, "OTHER", name, spec), DRV_NOT_FOUND);

        int choices = -1;
        QCOMPARE(token_get_keygen_choices(0, choices), 0);
        QCOMPARE(choices, DRV_KEYGEN_P256 | DRV_KEYGEN_SM2);
        QCOMPARE(token_get_keygen_choices(1, choices), 0x32);
        QCOMPARE(choices, 0);
    }

    void pinStateIsClearedBeforeTheCall()
    {
        FakeTokenLibrary fake;
        PinState state;
        state.values.fill(7);
        QCOMPARE(token_get_pin_state(0, 1, state), 0);
        QCOMPARE(state.retriesLeft(), 4);
        QCOMPARE(state.maxRetries(), 6);
        QVERIFY(!state.locked());
        QVERIFY(state.defaultPin());
    }

    void registrationModes_data()
    {
        QTest::addColumn<int>("mode");
        QTest::addColumn<int>("algorithm");
        QTest::addColumn<QList<int>>("registered");
        QTest::newRow("mode 0, RSA") << 0 << 1 << QList<int>{1, 2};
        QTest::newRow("mode 0, ECC") << 0 << 3 << QList<int>{1, 2};
        QTest::newRow("mode 1, RSA") << 1 << 1 << QList<int>{1, 2};
        QTest::newRow("mode 1, ECC") << 1 << 3 << QList<int>{};
        QTest::newRow("mode 1, no public key") << 1 << -1 << QList<int>{};
        QTest::newRow("mode 2, RSA") << 2 << 1 << QList<int>{2};
        QTest::newRow("mode 2, ECC") << 2 << 3 << QList<int>{};
        QTest::newRow("mode 7") << 7 << 1 << QList<int>{};
    }

    void registrationModes()
    {
        QFETCH(int, mode);
        QFETCH(int, algorithm);
        QFETCH(QList<int>, registered);
        FakeTokenLibrary fake;
        fake.containers = {{"user", {{1, pair(0, algorithm, "ex")}, {2, pair(0, algorithm, "sig")}}},
                           {"chain", {{1, pair(1, 1, "root")}, {2, pair(2, 3, "ca")}}}};
        TR7Info info;
        QCOMPARE(RegisterKeyCertificates(0, info, QStringLiteral("CSP"), mode), 0);
        QList<int> specs;
        for (const auto& [name, spec] : fake.storeAdds) {
            QCOMPARE(name, QByteArray("user"));
            specs << spec;
        }
        QCOMPARE(specs, registered);
        // Root and CA certificates go to their stores whatever the mode.
        QCOMPARE(fake.rootAdds.size(), 2);
        QCOMPARE(fake.rootAdds[0], qMakePair(QStringLiteral("ROOT"), QByteArray("root")));
        QCOMPARE(fake.rootAdds[1], qMakePair(QStringLiteral("CA"), QByteArray("ca")));
    }

    void registrationStopsAtTheFirstFailure()
    {
        FakeTokenLibrary fake;
        fake.containers = {{"one", {{2, pair(0, 1, "a")}}},
                           {"two", {{1, pair(0, 1, "b")}, {2, pair(0, 1, "c", 0x1234)}}},
                           {"three", {{1, pair(0, 1, "d")}}}};
        TR7Info info;
        QCOMPARE(RegisterKeyCertificates(0, info, QStringLiteral("CSP"), 0), 20000 + 0x1234);
        QCOMPARE(fake.storeAdds.size(), 3); // "three" is never reached
        fake.containers[1].pairs[1].storeResult = 5;
        fake.storeAdds.clear();
        QCOMPARE(RegisterKeyCertificates(0, info, QStringLiteral("CSP"), 0), 10005);
        fake.loadAllResult = 0xE0;
        QCOMPARE(RegisterKeyCertificates(0, info, QStringLiteral("CSP"), 0), 0xE0);
    }

    void registrationFailureNamesTheReason()
    {
        FakeTokenLibrary fake;
        fake.containers = {{"one", {{2, pair(0, 1, "a", DRV_STORE_FULL)}}}};
        TR7Info info;
        const int full = RegisterKeyCertificates(0, info, QStringLiteral("CSP"), 0);
        QCOMPARE(full, 20000 + DRV_STORE_FULL);
        QVERIFY(RegistrationFailureText(full).contains(QString::number(full)));
        QVERIFY(RegistrationFailureText(full).contains(QStringLiteral("磁盘已满")));
        QVERIFY(RegistrationFailureText(10000 + DRV_STORE_DENIED).contains(QStringLiteral("权限")));
        QCOMPARE(RegistrationFailureText(10000 + DRV_STORE_ERROR),
                 QStringLiteral("注册证书失败，错误码 =%1").arg(10000 + DRV_STORE_ERROR));
    }

    void removalMatchesTheProviderExactly()
    {
        test::TestFolders folders;
        const QByteArray data = QFile::encodeName(folders.path(QStringLiteral("data")));
        qputenv("XDG_DATA_HOME", data);
        platform::CertStore store(platform::CertStore::defaultRoot());
        const std::vector<std::uint8_t> a{1, 2, 3}, b{4, 5, 6}, c{7, 8, 9}, r{1, 1, 1};
        store.add("MY", a, platform::KeyProvInfo{"c1", "KX CSP", 1});
        store.add("MY", b, platform::KeyProvInfo{"c2", "kx csp", 2});
        store.add("MY", c, std::nullopt);
        store.add("ROOT", r, std::nullopt);
        QCOMPARE(RemoveStoreCertsOfCSP(QStringLiteral("KX csp")), 0); // differs in case: nothing
        QCOMPARE(store.list("MY").size(), std::size_t{3});
        QCOMPARE(RemoveStoreCertsOfCSP(QStringLiteral("KX CSP")), 0);
        const auto left = store.list("MY");
        QCOMPARE(left.size(), std::size_t{2});
        for (const auto& certificate : left) {
            QVERIFY(certificate.der != a);
        }
        QCOMPARE(store.list("ROOT").size(), std::size_t{1});

        // A Chinese provider name, and a container named in GBK bytes.
        store.add("MY", r, platform::KeyProvInfo{"\xC8\xDD\xC6\xF7", "中文CSP", 1});
        QCOMPARE(RemoveStoreCertsOfCSP(QStringLiteral("中文CSP")), 0);
        QCOMPARE(store.list("MY").size(), std::size_t{2});
        qunsetenv("XDG_DATA_HOME");
    }
};

QTEST_GUILESS_MAIN(WrapperTest)
#include "WrapperTest.moc"
