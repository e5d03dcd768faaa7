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

// Certificates of containers c1 (two), c2, c3 and a GBK-named one of "KX CSP"; one of another
// provider in c1 and one without a binding.
const char kGbkName[] = "\xC8\xDD\xC6\xF7";
const Der kA{1}, kA2{2}, kB{3}, kC{4}, kOtherCsp{5}, kUnbound{6}, kGbk{7};
const std::vector<std::pair<Der, std::optional<platform::KeyProvInfo>>> kPersonal{
    {kA, platform::KeyProvInfo{"c1", "KX CSP", 1}},        {kA2, platform::KeyProvInfo{"c1", "KX CSP", 2}},
    {kB, platform::KeyProvInfo{"c2", "KX CSP", 1}},        {kC, platform::KeyProvInfo{"c3", "KX CSP", 2}},
    {kOtherCsp, platform::KeyProvInfo{"c1", "kx csp", 1}}, {kUnbound, std::nullopt},
    {kGbk, platform::KeyProvInfo{kGbkName, "KX CSP", 1}}};

} // namespace

class CertRegistrationTest : public QObject
{
    Q_OBJECT

private:
    std::unique_ptr<test::TestFolders> m_folders;

    platform::CertStore store() const { return platform::CertStore(platform::CertStore::defaultRoot()); }

    // The personal certificates left, in the order of kPersonal.
    QList<Der> personal() const
    {
        QList<Der> left;
        const auto listed = store().list("MY");
        for (const auto& [der, keyProv] : kPersonal) {
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
        for (const auto& [der, keyProv] : kPersonal) {
            QCOMPARE(store().add("MY", der, keyProv), 0);
        }
        QCOMPARE(store().add("ROOT", kA, std::nullopt), 0);
        QCOMPARE(store().add("CA", kB, std::nullopt), 0);
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
        QList<QByteArray> roots;
        QCOMPARE(RegisterKeyCertificates(0, info, QStringLiteral("CSP"), 0, containers, roots), 20000 + 0x1234);
        QCOMPARE(containers, std::optional(QSet<QByteArray>{"user", "chain", "empty", "failing", "never reached"}));
        QCOMPARE(fake.storeAdds.size(), 2);

        fake.containers[3].pairs[2].storeResult = 0;
        QCOMPARE(RegisterKeyCertificates(0, info, QStringLiteral("CSP"), 0, containers, roots), 0);
        QCOMPARE(containers->size(), 5);

        fake.loadAllResult = 0xE0;
        QCOMPARE(RegisterKeyCertificates(0, info, QStringLiteral("CSP"), 0, containers, roots), 0xE0);
        QVERIFY(!containers);
    }

    // Only certificates of the provider whose container no present key holds go; names are
    // compared as bytes (case and encoding count), the provider exactly.
    void absentContainersLoseTheirCertificates()
    {
        QCOMPARE(RemoveStoreCertsOfAbsentContainers(QStringLiteral("KX CSP"), {"c2", kGbkName, "C3"}), 0);
        QCOMPARE(personal(), (QList<Der>{kB, kOtherCsp, kUnbound, kGbk}));
        QCOMPARE(store().list("ROOT").size() + store().list("CA").size(), std::size_t{2});
        QCOMPARE(RemoveStoreCertsOfAbsentContainers(QStringLiteral("kx csp"), {}), 0);
        QCOMPARE(personal(), (QList<Der>{kB, kUnbound, kGbk}));
    }

    // A deleted container takes its certificates along; a deleted certificate only itself.
    void deletedContainerOrCertificate()
    {
        const auto bytes = [](const Der& der) { return QByteArray(reinterpret_cast<const char*>(der.data()), 1); };
        QCOMPARE(RemoveStoreCertsOfContainer(QStringLiteral("KX CSP"), "c1", bytes(kA2)), 0);
        QCOMPARE(RemoveStoreCertsOfContainer(QStringLiteral("KX CSP"), "c1", bytes(kB)), 0); // bound elsewhere
        QCOMPARE(personal(), (QList<Der>{kA, kB, kC, kOtherCsp, kUnbound, kGbk}));
        QCOMPARE(RemoveStoreCertsOfContainer(QStringLiteral("KX CSP"), "c1", std::nullopt), 0);
        QCOMPARE(RemoveStoreCertsOfContainer(QStringLiteral("KX CSP"), kGbkName, std::nullopt), 0);
        QCOMPARE(personal(), (QList<Der>{kB, kC, kOtherCsp, kUnbound}));
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
        QCOMPARE(personal().size(), kPersonal.size());
    }
};

QTEST_GUILESS_MAIN(CertRegistrationTest)
#include "CertRegistrationTest.moc"
