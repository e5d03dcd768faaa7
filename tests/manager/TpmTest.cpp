// SPDX-License-Identifier: Apache-2.0
// The manager on a token of a real PKCS#11 stack nobody here wrote: tpm2-pkcs11 over a software
// TPM. It refuses public data objects and private keys from outside, has no PIN counter and no
// label setting, offers a spare slot, gives every token the same serial, locks out after wrong
// PINs for a while, and its module stays broken when the TPM goes away until it is started again.
#include "CertFixture.h"
#include "CertPageFixture.h"
#include "ManagerFixture.h"
#include "SessionFixture.h"

#include "../common/TpmToken.h"

#include "common/LanguageTexts.h"
#include "drivers/drevmor/drevmor.h"
#include "manager/KeyGenDialog.h"
#include "manager/KeyInfoPage.h"
#include "manager/KeyNamePage.h"
#include "manager/LoginPage.h"
#include "manager/RemoteUnlockPage.h"
#include "manager/UserPinPage.h"
#include "manager/finger/FingerPictures.h"

#include <QAction>
#include <QComboBox>
#include <QLabel>
#include <QLineEdit>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QTemporaryDir>
#include <QTest>

#include <memory>

using namespace kx;
using test::CertPage;
using test::certTree;
using test::child;
using test::ChosenFiles;
using test::ManagerWorld;
using test::newContainer;
using test::OpenSession;
using test::RecordingPresenter;

namespace {

const QString kPin = QStringLiteral("12345678");

// A manager world whose programs load the TPM's module.
class TpmWorld : public ManagerWorld
{
public:
    TpmWorld() : ManagerWorld(QByteArray("PKCS11Lib=") + test::TpmToken::kModule + "\n") {}
};

// The text of the row of a key information list whose first column is `label`.
QString rowText(QTreeWidget* list, const QString& label)
{
    for (int i = 0; i < list->topLevelItemCount(); ++i) {
        if (list->topLevelItem(i)->text(0) == label) {
            return list->topLevelItem(i)->text(1);
        }
    }
    return QStringLiteral("(no row)");
}

} // namespace

class TpmTest : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void initTestCase()
    {
        QCOMPARE(Language().load(QStringLiteral(KX_SOURCE_DIR "/resources/Languages/CN_2052.lng")), 0);
        const std::string missing = test::TpmToken::missingTools();
        if (!missing.empty()) {
            QSKIP(qPrintable(QStringLiteral("not installed: ") + QString::fromStdString(missing)));
        }
        m_tpm = std::make_unique<test::TpmToken>();
        std::string error;
        QVERIFY2(m_tpm->start({}, error), error.c_str());
        QVERIFY(m_tpm->setDictionaryAttack(3, 1000));
        m_certs = std::make_unique<test::TestCertificates>(m_certFolder.path());
        QVERIFY(m_certs->ok());
    }

    // One key for the one token (the module's spare slot is none), named apart from other
    // tokens of the same serial, with what it cannot do said rather than offered.
    void theTokenIsOneKeyThatSaysWhatItCannotDo()
    {
        TpmWorld world;
        RecordingPresenter messages;
        OpenSession open;
        QCOMPARE(open.listed, 0);
        QCOMPARE(open.session.KeyCount(), 1);
        const QByteArray id = open.session.service().keyId(0);
        QVERIFY2(id.startsWith("0000000000000000@") && id.endsWith("/tpmkey"), id.constData());
        QCOMPARE(open.session.service().keyCaps(0) & (DRV_CAP_REMOVABLE | DRV_CAP_SET_LABEL), 0);
        QVERIFY(open.session.service().anyFixedKey());

        KeyInfoPage info(open.session);
        info.ShowKeyInfo(0);
        QVERIFY(open.idle());
        auto* list = child<QTreeWidget>(info, "lv");
        QTRY_VERIFY(list->topLevelItemCount() > 0);
        QCOMPARE(rowText(list, Lang("S_KeyTryTime")), Lang("K_Count_Unknown"));
        QCOMPARE(rowText(list, Lang("Admin_label_TryCount")), Lang("K_Count_Unknown"));
        QCOMPARE(rowText(list, Lang("S_Key_Dead_State")), Lang("S_Key_Dead_No"));

        KeyNamePage name(open.session);
        name.showKey(0);
        child<QLineEdit>(name, "edtKeyName")->setText(QStringLiteral("New"));
        QVERIFY(!name.findChild<QAction*>(QStringLiteral("AcSetKeyName"))->isEnabled());
        QVERIFY(child<QLabel>(name, "lblRenameUnsupported")->isVisibleTo(&name));
        QCOMPARE(child<QLabel>(name, "lblRenameUnsupported")->text(), Lang("K_Rename_Unsupported"));
        QVERIFY2(messages.messages.isEmpty(), qPrintable(messages.messages.join(QLatin1Char('|'))));

        // No SKF application: the remote unlock says the key has none, not that it is not found.
        RemoteUnlockPage unlock(open.session);
        unlock.AcRequestExecute();
        QVERIFY(open.idle());
        QCOMPARE(messages.messages, QStringList{Lang("U_Unlock_Unsupported")});
    }

    // A PKCS#12 file cannot go onto the TPM: the manager says so and offers the way that works,
    // a key pair born on the key whose issued certificate then comes home to it.
    void theIssuedCertificateOfAPairBornOnTheTpm()
    {
        TpmWorld world;
        RecordingPresenter messages;
        messages.answer = false;
        ChosenFiles files;
        CertPage page(world);
        QCOMPARE(page.window.session().service().LoginState(0), KeyService::kLoggedIn);
        page.import([&](TIMForm& dialog) {
            dialog.chooseFile(m_certs->path(QStringLiteral("ecuser.p12")));
            child<QLineEdit>(dialog, "edtpwd")->setText(QStringLiteral("pfx-pass"));
            newContainer(dialog, QStringLiteral("from file"), 1);
        });
        QCOMPARE(messages.messages, QStringList{Lang("I_PrivateKey_Refused")});
        QCOMPARE(test::topTexts(certTree(page.window)), QStringList{Lang("K_Null_cont")});

        // Asked again, the user takes the offer: the key pair dialog opens with what the TPM can do.
        messages.answer = true;
        test::whenImportDialogOpens([&](TIMForm& dialog) {
            dialog.chooseFile(m_certs->path(QStringLiteral("ecuser.p12")));
            child<QLineEdit>(dialog, "edtpwd")->setText(QStringLiteral("pfx-pass"));
            newContainer(dialog, QStringLiteral("from file"), 1);
        });
        page.window.certificatePage().AcInputCertExecute();
        KeyGenDialog* dialog = nullptr;
        QTRY_VERIFY_WITH_TIMEOUT((dialog = page.window.findChild<KeyGenDialog*>()) && dialog->isVisible(), 10000);
        auto* algorithms = child<QComboBox>(*dialog, "cbAlgorithm");
        QVERIFY(algorithms->findText(QStringLiteral("RSA 2048")) >= 0);
        QCOMPARE(algorithms->findText(QStringLiteral("RSA 4096")), -1);
        algorithms->setCurrentIndex(algorithms->findText(QStringLiteral("ECC P-256")));
        QVERIFY(algorithms->currentIndex() >= 0);
        child<QLineEdit>(*dialog, "edtContainerName")->setText(QStringLiteral("laptop"));
        child<QLineEdit>(*dialog, "edtCommonName")->setText(QStringLiteral("张三 TPM"));
        child<QPushButton>(*dialog, "btnGenerate")->click();
        QTRY_VERIFY_WITH_TIMEOUT(child<QPlainTextEdit>(*dialog, "edtRequest")->isVisible(), 60000);
        files.file = m_certs->path(QStringLiteral("laptop.csr"));
        child<QPushButton>(*dialog, "btnSavePem")->click();
        child<QPushButton>(*dialog, "btnClose")->click();
        QTRY_VERIFY(!page.window.findChild<KeyGenDialog*>());
        QVERIFY(page.settled());
        QVERIFY(openssl({"req", "-verify", "-noout", "-in", "laptop.csr"}));
        QVERIFY(openssl({"x509", "-req", "-in", "laptop.csr", "-CA", "ca.pem", "-CAkey", "ca.key", "-CAcreateserial",
                         "-days", "30", "-outform", "DER", "-out", "laptop.cer"}));

        // The issued certificate, imported "elsewhere", goes into the pair born on the TPM.
        const qsizetype before = messages.messages.size();
        page.import([&](TIMForm& dialog) {
            dialog.chooseFile(m_certs->path(QStringLiteral("laptop.cer")));
            newContainer(dialog, QStringLiteral("elsewhere"), 1);
        });
        QCOMPARE(messages.messages.mid(before), QStringList{Lang("I_Matched").arg(QStringLiteral("laptop"))});
        QCOMPARE(test::topTexts(certTree(page.window)), QStringList{QStringLiteral("laptop(容器)")});
    }

    // The TPM goes away: the running manager shows the key gone and, once the TPM is back, shows
    // it again and logs in, without being started again.
    void aTpmThatRestartsComesBack()
    {
        TpmWorld world;
        RecordingPresenter messages;
        TMainForm window;
        test::openWindow(window);
        QCOMPARE(window.session().KeyCount(), 1);
        m_tpm->stopTpm();
        QTRY_COMPARE_WITH_TIMEOUT(window.session().KeyCount(), 0, 30000);
        QVERIFY(m_tpm->startTpm());
        QTRY_COMPARE_WITH_TIMEOUT(window.session().KeyCount(), 1, 30000);
        QVERIFY(test::settled(window));
        auto* tv = child<QTreeWidget>(window, "tv");
        tv->setCurrentItem(tv->topLevelItem(0)->child(0)->child(2));
        QVERIFY(test::settled(window));
        child<QLineEdit>(window, "edtUPIN")->setText(kPin);
        window.loginPage().AcLoginExecute();
        QVERIFY(test::settled(window));
        QCOMPARE(window.session().service().LoginState(0), KeyService::kLoggedIn);
    }

    // A token added while the manager runs appears with Refresh, which starts the module again
    // while no USB key is listed; it has the serial of the first and is told apart from it.
    void refreshFindsATokenAddedMeanwhile()
    {
        TpmWorld world;
        RecordingPresenter messages;
        TMainForm window;
        test::openWindow(window);
        QCOMPARE(window.session().KeyCount(), 1);
        test::TpmToken::Options second;
        second.label = "second";
        QVERIFY(m_tpm->addToken(second));
        window.keyInfoPage().AcFindKeyRefreshExecute();
        QTRY_COMPARE_WITH_TIMEOUT(window.session().KeyCount(), 2, 10000);
        QVERIFY(test::settled(window));
        KeyService& service = window.session().service();
        QVERIFY(service.keyId(0) != service.keyId(1));
        QCOMPARE(service.keyInfo(0).serialText(), service.keyInfo(1).serialText());
        QVERIFY2(messages.messages.isEmpty(), qPrintable(messages.messages.join(QLatin1Char('|'))));
    }

    // The PIN changes; wrong PINs then lock the TPM out for a while, which the manager tells apart
    // from a locked PIN, and the new PIN works once the lockout ends. (Last: the token keeps the
    // new PIN.)
    void pinChangeAndTheTpmsLockout()
    {
        TpmWorld world;
        RecordingPresenter messages;
        OpenSession open;
        QCOMPARE(open.listed, 0);
        UserPinPage pins(open.session);
        const QString newPin = QStringLiteral("Kx27!tpm9");
        child<QLineEdit>(pins, "edtOldUPin")->setText(kPin);
        child<QLineEdit>(pins, "edtNewUPin1")->setText(newPin);
        child<QLineEdit>(pins, "edtNewUPin2")->setText(newPin);
        pins.AcSetUserPINExecute();
        QVERIFY(open.idle());
        QCOMPARE(messages.messages, QStringList{Lang("K_Set_Yes")});
        messages.messages.clear();

        const FingerPictures pictures;
        LoginPage login(open.session, pictures);
        QStringList answers;
        for (int attempt = 0; attempt < 5 && !answers.contains(Lang("K_PIN_Lockout")); ++attempt) {
            child<QLineEdit>(login, "edtUPIN")->setText(QStringLiteral("99999999"));
            login.AcLoginExecute();
            QVERIFY(open.idle());
            answers << messages.messages.takeLast();
        }
        QCOMPARE(answers.last(), Lang("K_PIN_Lockout"));
        answers.removeLast();
        QVERIFY(!answers.isEmpty());
        for (const QString& answer : answers) {
            QCOMPARE(answer, Lang("K_PIN_Error"));
        }
        QVERIFY(!messages.messages.contains(Lang("K_Dead")));
        QVERIFY(!open.pinState(0).locked());

        QVERIFY(m_tpm->clearLockout());
        child<QLineEdit>(login, "edtUPIN")->setText(newPin);
        login.AcLoginExecute();
        QVERIFY(open.idle());
        QVERIFY2(messages.messages.isEmpty(), qPrintable(messages.messages.join(QLatin1Char('|'))));
        QCOMPARE(open.session.service().LoginState(0), KeyService::kLoggedIn);
    }

    void cleanupTestCase() { m_tpm.reset(); }

private:
    bool openssl(const QStringList& arguments) const
    {
        QProcess tool;
        tool.setWorkingDirectory(m_certFolder.path());
        tool.start(QStringLiteral("openssl"), arguments);
        return tool.waitForFinished(30000) && tool.exitStatus() == QProcess::NormalExit && tool.exitCode() == 0;
    }

    std::unique_ptr<test::TpmToken> m_tpm;
    QTemporaryDir m_certFolder;
    std::unique_ptr<test::TestCertificates> m_certs;
};

QTEST_MAIN(TpmTest)
#include "TpmTest.moc"
