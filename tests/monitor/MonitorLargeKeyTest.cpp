// SPDX-License-Identifier: Apache-2.0
// The monitor with a key of more containers than the 65 of the token library's record: the
// registration on start-up and the expiry check reach the certificate of the last container.
#include "MonitorFixture.h"

#include "monitor/TMainForm.h"
#include "token/KeyThreadGuard.h"

#include <QTemporaryDir>
#include <QTest>

using namespace kx;
using namespace kx::test;
using kx::mon::TMainForm;

class MonitorLargeKeyTest : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void initTestCase()
    {
        m_certs = std::make_unique<TestCertificates>(m_certFolder.path());
        QVERIFY(m_certs->ok());
    }

    void lastOfSeventyContainersIsRegisteredAndChecked()
    {
        MonitorWorld world;
        RecordingPresenter messages;
        RecordingLauncher launcher;
        QVERIFY(world.keysim({"create", "--serial", "KXA", "--total-memory", "1048576", "--free-memory", "1040000"}));
        // 69 empty containers before the one with the certificate (the list is in name order).
        QCOMPARE(InitTokenLibrary(QStringLiteral(KEYSIM_PKCS11_PATH), QString(), QString(), QString()), 0);
        int count = 0;
        QCOMPARE(FindAndConnectKeys(count), 0);
        int left = 0;
        QCOMPARE(token_login(0, QStringLiteral("12345678"), left), 0);
        for (int i = 0; i < 69; ++i) {
            QCOMPARE(container_create_new(0, QByteArray("c") + QByteArray::number(100 + i)), 0);
        }
        uninit_pkcs11();
        QVERIFY(MonitorWorld::importCertificates(QStringLiteral("KXA"), "c169",
                                                 {{1, m_certs->path(QStringLiteral("user.pfx"))}}));
        TUserConfigInfo config;
        config.DefaultPINMode = 0;
        config.CertTips = 1;
        config.CertDay = 30;
        world.writeConfig(config);

        TMainForm window;
        QVERIFY(started(window));
        QCOMPARE(window.KeyCount(), 1);
        QCOMPARE(MonitorWorld::storeContainers(), QStringList{QStringLiteral("c169")});

        const KeyThreadGuard::Exemption direct; // the test reads the key itself
        TR7Info info;
        QCOMPARE(LoadContainerNames(0, info), 0);
        QCOMPARE(info.containerCount, 70);
        auto cert = std::make_unique<TR7CertInfo>();
        QCOMPARE(ReadContainerCert(0, QByteArray("c169"), 1, *cert), 0);
        const QDate end(cert->notAfter[0], cert->notAfter[1], cert->notAfter[2]);
        world.folders.context().setClock([end] { return QDateTime(end.addDays(-20), QTime(12, 0)); });
        messages.messages.clear();
        QCOMPARE(expiryCheck(window, 0), 0);
        QCOMPARE(
            messages.messages,
            QStringList{
                QStringLiteral("密钥将于%1日过期，请尽快更新证书！").arg(end.toString(QStringLiteral("yyyy-MM-dd")))});
    }

private:
    QTemporaryDir m_certFolder;
    std::unique_ptr<TestCertificates> m_certs;
};

QTEST_MAIN(MonitorLargeKeyTest)
#include "MonitorLargeKeyTest.moc"
