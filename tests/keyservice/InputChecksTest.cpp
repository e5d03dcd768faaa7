// SPDX-License-Identifier: Apache-2.0
// What the manager and kx2700 refuse before a generation or a remote unlock reaches the key: the
// subject and container of a certificate request, the unlock code and the unlock's PINs, at the
// edges of what the token library and the key take.
#include "drivers/drevmor/drevmor.h"
#include "keyservice/CertTreeData.h"
#include "keyservice/FingerJobs.h"
#include "keyservice/KeyGenJobs.h"

#include <QTest>

using namespace kx;

Q_DECLARE_METATYPE(kx::KeyGenProblem)
Q_DECLARE_METATYPE(kx::UnlockInputProblem)

namespace {

KeyGenRequest subject(const QString& commonName, const QString& country = {}, const QString& email = {})
{
    KeyGenRequest request;
    request.container = "c";
    request.choice = DRV_KEYGEN_RSA2048;
    request.commonName = commonName;
    request.country = country;
    request.email = email;
    return request;
}

} // namespace

class InputChecksTest : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void subjects_data()
    {
        QTest::addColumn<KeyGenRequest>("request");
        QTest::addColumn<KeyGenProblem>("problem");
        const QString longest(kKeyGenNameFieldLength, QLatin1Char('x'));
        QTest::newRow("plain") << subject(QStringLiteral("Jane")) << KeyGenProblem::None;
        QTest::newRow("no common name") << subject(QString()) << KeyGenProblem::NoCommonName;
        QTest::newRow("longest name") << subject(longest) << KeyGenProblem::None;
        QTest::newRow("name too long") << subject(longest + QLatin1Char('x')) << KeyGenProblem::FieldTooLong;
        KeyGenRequest unit = subject(QStringLiteral("Jane"));
        unit.unit = longest + QLatin1Char('x');
        QTest::newRow("unit too long") << unit << KeyGenProblem::FieldTooLong;
        QTest::newRow("country") << subject(QStringLiteral("Jane"), QStringLiteral("DE")) << KeyGenProblem::None;
        QTest::newRow("three letters") << subject(QStringLiteral("Jane"), QStringLiteral("DEU"))
                                       << KeyGenProblem::BadCountry;
        QTest::newRow("digits") << subject(QStringLiteral("Jane"), QStringLiteral("D1")) << KeyGenProblem::BadCountry;
        QTest::newRow("address") << subject(QStringLiteral("Jane"), {}, QStringLiteral("jane@example.org"))
                                 << KeyGenProblem::None;
        QTest::newRow("no at") << subject(QStringLiteral("Jane"), {}, QStringLiteral("jane.example.org"))
                               << KeyGenProblem::BadEmail;
        QTest::newRow("two ats") << subject(QStringLiteral("Jane"), {}, QStringLiteral("a@b@c"))
                                 << KeyGenProblem::BadEmail;
        QTest::newRow("blank") << subject(QStringLiteral("Jane"), {}, QStringLiteral("ja ne@example.org"))
                               << KeyGenProblem::BadEmail;
        QTest::newRow("not ASCII") << subject(QStringLiteral("Jane"), {}, QStringLiteral("jäne@example.org"))
                                   << KeyGenProblem::BadEmail;
    }
    void subjects()
    {
        QFETCH(KeyGenRequest, request);
        QFETCH(KeyGenProblem, problem);
        QCOMPARE(KeyGenSubjectProblem(request), problem);
    }

    // The container and pair come before the subject, as the user fills them in.
    void containersAndPairs()
    {
        CertTreeData tree;
        ContainerData held;
        held.name = "held";
        held.pairs[1].publicKey = true; // the signature pair has keys, the exchange pair none
        tree.containers.push_back(held);
        KeyGenRequest request = subject(QString());
        request.newContainer = true;
        request.container = "held";
        QCOMPARE(KeyGenRequestProblem(request, tree), KeyGenProblem::ContainerExists);
        request.container.clear();
        QCOMPARE(KeyGenRequestProblem(request, tree), KeyGenProblem::NoContainerName);
        request.container = QByteArray(kKeyGenContainerNameLength + 1, 'c');
        QCOMPARE(KeyGenRequestProblem(request, tree), KeyGenProblem::ContainerNameTooLong);
        request.newContainer = false;
        request.container = "held";
        request.keySpec = DRV_KEYSPEC_SIGNATURE;
        QCOMPARE(KeyGenRequestProblem(request, tree), KeyGenProblem::PairUsed);
        request.keySpec = DRV_KEYSPEC_EXCHANGE;
        QCOMPARE(KeyGenRequestProblem(request, tree), KeyGenProblem::NoCommonName);
        request.choice = 0;
        QCOMPARE(KeyGenRequestProblem(request, tree), KeyGenProblem::NoAlgorithm);
    }

    void unlockCodes_data()
    {
        QTest::addColumn<QString>("text");
        QTest::addColumn<UnlockInputProblem>("problem");
        QTest::addColumn<QByteArray>("bytes");
        QTest::newRow("shortest") << QStringLiteral("00112233445566FF") << UnlockInputProblem::None
                                  << QByteArray::fromHex("00112233445566FF");
        QTest::newRow("blanks around") << QStringLiteral("  00112233445566ff\n") << UnlockInputProblem::None
                                       << QByteArray::fromHex("00112233445566FF");
        QTest::newRow("too short") << QStringLiteral("00112233445566F") << UnlockInputProblem::CodeTooShort
                                   << QByteArray();
        const QString longest(int(kUnlockCodeBytes * 2), QLatin1Char('A'));
        QTest::newRow("longest") << longest << UnlockInputProblem::None << QByteArray(int(kUnlockCodeBytes), '\xAA');
        QTest::newRow("too long") << longest + QStringLiteral("AA") << UnlockInputProblem::CodeTooLong << QByteArray();
    }
    void unlockCodes()
    {
        QFETCH(QString, text);
        QFETCH(UnlockInputProblem, problem);
        QFETCH(QByteArray, bytes);
        QByteArray code;
        QCOMPARE(DecodeUnlockCode(text, code), problem);
        QCOMPARE(code, bytes);
    }

    void unlockPins()
    {
        const QString strong = QStringLiteral("Kx2700!new");
        QCOMPARE(UnlockPinsProblem(QStringLiteral("12345678"), strong, strong), UnlockInputProblem::None);
        QCOMPARE(UnlockPinsProblem(QStringLiteral("1234567"), strong, strong), UnlockInputProblem::InitialPinTooShort);
        QCOMPARE(UnlockPinsProblem(QStringLiteral("12345678"), strong, QStringLiteral("Kx2700!nex")),
                 UnlockInputProblem::PinsDiffer);
        QCOMPARE(UnlockPinsProblem(QStringLiteral("12345678"), QStringLiteral("weakweak"), QStringLiteral("weakweak")),
                 UnlockInputProblem::WeakPin);
    }
};

QTEST_GUILESS_MAIN(InputChecksTest)
#include "InputChecksTest.moc"
