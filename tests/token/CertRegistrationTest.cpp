// SPDX-License-Identifier: Apache-2.0
// What a registration reports of a key's containers, and the removals that keep the certificates
// of keys still plugged, over a real certificate store in a temporary folder.
#include "FakeTokenLibrary.h"

#include "../common/TestFolders.h"
#include "../platform/WriteLimits.h"

#include "token/CertRegistration.h"

#include "platform/CertStore.h"

#include <QTest>

#include <sys/stat.h>

using namespace kx;
using test::FakeTokenLibrary;

namespace {

using Der = std::vector<std::uint8_t>;

const Der kA{1, 1}, kA2{1, 2}, kB{2, 1}, kC{3, 1}, kOtherCsp{4, 1}, kUnbound{5, 1}, kGbk{6, 1}, kRoot{7, 1}, kCa{8, 1};
const char kGbkName[] = "\xC8\xDD\xC6\xF7";

QByteArray bytes(const Der& der)
{
    return QByteArray(reinterpret_cast<const char*>(der.data()), static_cast<qsizetype>(der.size()));
}

} // namespace

class CertRegistrationTest : public QObject
{
    Q_OBJECT

private:
    std::unique_ptr<test::TestFolders> m_folders;

    platform::CertStore store() const { return platform::CertStore(platform::CertStore::defaultRoot()); }

    // The personal certificates left, in the order of the list the test gives.
    QList<Der> personal(const QList<Der>& candidates) const
    {
        QList<Der> left;
        const auto listed = store().list("MY");
        for (const Der& der : candidates) {
            if (std::any_of(listed.begin(), listed.end(), [&](const auto& c) { return c.der == der; })) {
                left.append(der);
            }
        }
        return left;
    }

private Q_SLOTS:
    void init()
    {
        m_folders = std::make_unique<test::TestFolders>();
        qputenv("XDG_DATA_HOME", QFile::encodeName(m_folders->path(QStringLiteral("data"))));
        // Certificates of containers c1 (two), c2, c3 and a GBK-named one of "KX CSP"; one of
        // another provider in c1, one without a binding, a root and a CA.
        auto s = store();
        const platform::KeyProvInfo c1{"c1", "KX CSP", 1};
        QCOMPARE(s.add("MY", kA, c1), 0);
        QCOMPARE(s.add("MY", kA2, platform::KeyProvInfo{"c1", "KX CSP", 2}), 0);
        QCOMPARE(s.add("MY", kB, platform::KeyProvInfo{"c2", "KX CSP", 1}), 0);
        QCOMPARE(s.add("MY", kC, platform::KeyProvInfo{"c3", "KX CSP", 2}), 0);
        QCOMPARE(s.add("MY", kOtherCsp, platform::KeyProvInfo{"c1", "kx csp", 1}), 0);
        QCOMPARE(s.add("MY", kUnbound, std::nullopt), 0);
        QCOMPARE(s.add("MY", kGbk, platform::KeyProvInfo{kGbkName, "KX CSP", 1}), 0);
        QCOMPARE(s.add("ROOT", kRoot, std::nullopt), 0);
        QCOMPARE(s.add("CA", kCa, std::nullopt), 0);
    }
    void cleanup()
    {
        qunsetenv("XDG_DATA_HOME");
        m_folders.reset();
    }

    // The containers read are reported whatever became of their certificates; none when the list
    // could not be read. The result codes are those of the plain call.
    void registrationReportsTheContainers()
    {
        FakeTokenLibrary fake;
        fake.containers = {{"user", {{1, {0, 1, "ex", 0}}}},
                           {"chain", {{1, {1, 1, "root", 0}}}},
                           {"empty", {}},
                           {"failing", {{2, {0, 1, "sig", 0x1234}}}},
                           {"never reached", {{1, {0, 1, "late", 0}}}}};
        TR7Info info;
        std::optional<QSet<QByteArray>> containers;
        QCOMPARE(RegisterKeyCertificates(0, info, QStringLiteral("CSP"), 0, containers), 20000 + 0x1234);
        QCOMPARE(containers, std::optional(QSet<QByteArray>{"user", "chain", "empty", "failing", "never reached"}));
        QCOMPARE(fake.storeAdds.size(), 2);

        fake.containers[3].pairs[2].storeResult = 0;
        QCOMPARE(RegisterKeyCertificates(0, info, QStringLiteral("CSP"), 0, containers), 0);
        QCOMPARE(containers->size(), 5);

        fake.loadAllResult = 0xE0;
        QCOMPARE(RegisterKeyCertificates(0, info, QStringLiteral("CSP"), 0, containers), 0xE0);
        QVERIFY(!containers);
    }

    // Only certificates of the provider whose container no present key holds go; names are
    // compared as bytes, the provider exactly.
    void absentContainersLoseTheirCertificates()
    {
        QCOMPARE(RemoveStoreCertsOfAbsentContainers(QStringLiteral("KX CSP"), {"c2", kGbkName, "c9"}), 0);
        QCOMPARE(personal({kA, kA2, kB, kC, kOtherCsp, kUnbound, kGbk}), (QList<Der>{kB, kOtherCsp, kUnbound, kGbk}));
        QCOMPARE(store().list("ROOT").size(), std::size_t{1});
        QCOMPARE(store().list("CA").size(), std::size_t{1});

        // A name that differs in case or by its encoding is another container.
        QCOMPARE(RemoveStoreCertsOfAbsentContainers(QStringLiteral("KX CSP"), {"C2", QStringLiteral("容器").toUtf8()}),
                 0);
        QCOMPARE(personal({kB, kOtherCsp, kUnbound, kGbk}), (QList<Der>{kOtherCsp, kUnbound}));
        QCOMPARE(RemoveStoreCertsOfAbsentContainers(QStringLiteral("kx csp"), {}), 0);
        QCOMPARE(personal({kOtherCsp, kUnbound}), QList<Der>{kUnbound});
    }

    // A deleted container takes its certificates along; a deleted certificate only itself.
    void deletedContainerOrCertificate()
    {
        QCOMPARE(RemoveStoreCertsOfContainer(QStringLiteral("KX CSP"), "c1", bytes(kA2)), 0);
        QCOMPARE(personal({kA, kA2, kOtherCsp}), (QList<Der>{kA, kOtherCsp}));
        // Bytes of a certificate bound elsewhere remove nothing.
        QCOMPARE(RemoveStoreCertsOfContainer(QStringLiteral("KX CSP"), "c1", bytes(kB)), 0);
        QCOMPARE(personal({kA, kB}), (QList<Der>{kA, kB}));
        QCOMPARE(RemoveStoreCertsOfContainer(QStringLiteral("KX CSP"), "c1", std::nullopt), 0);
        QCOMPARE(personal({kA, kB, kC, kOtherCsp, kUnbound, kGbk}), (QList<Der>{kB, kC, kOtherCsp, kUnbound, kGbk}));
        QCOMPARE(RemoveStoreCertsOfContainer(QStringLiteral("KX CSP"), kGbkName, std::nullopt), 0);
        QCOMPARE(personal({kGbk}), QList<Der>{});
    }

    // A certificate that cannot be removed is told, never a silent success.
    void removalThatFailsIsTold()
    {
        const QString top = m_folders->path(QString()).chopped(1);
        const QString my = QFile::decodeName(platform::CertStore::defaultRoot().c_str()) + QStringLiteral("/MY");
        // Readable by the user the check runs as (nobody when the tests run as root).
        for (QString folder = my; folder.startsWith(top); folder = QFileInfo(folder).path()) {
            ::chmod(QFile::encodeName(folder).constData(), 0755);
        }
        for (const QFileInfo& file : QDir(my).entryInfoList(QDir::Files)) {
            ::chmod(QFile::encodeName(file.filePath()).constData(), 0644);
        }
        const int code = test::runWithoutWriteAccess(QFile::encodeName(my).constData(), [] {
            const int absent = RemoveStoreCertsOfAbsentContainers(QStringLiteral("KX CSP"), {});
            const int container = RemoveStoreCertsOfContainer(QStringLiteral("KX CSP"), "c1", std::nullopt);
            return absent == DRV_STORE_ERROR && container == DRV_STORE_ERROR ? 0 : 1;
        });
        QCOMPARE(code, 0);
        QCOMPARE(personal({kA, kB}), (QList<Der>{kA, kB}));
    }
};

QTEST_GUILESS_MAIN(CertRegistrationTest)
#include "CertRegistrationTest.moc"
