// SPDX-License-Identifier: Apache-2.0
// The login, user PIN and certificate pages, each built alone over a key session against the
// virtual key, without the main window.
#include "CertFixture.h"
#include "CertPageFixture.h"
#include "ManagerFixture.h"
#include "SessionFixture.h"

#include "../common/KeyWait.h"

#include "common/AppInfo.h"
#include "common/LanguageTexts.h"
#include "common/TextFormat.h"
#include "common/UserConfig.h"
#include "manager/CertificatePage.h"
#include "manager/KeyInfoPage.h"
#include "manager/KeySession.h"
#include "manager/LoginPage.h"
#include "manager/UserPinPage.h"
#include "manager/finger/FingerPictures.h"

#include <QAction>
#include <QLineEdit>
#include <QSignalSpy>
#include <QTemporaryDir>
#include <QTest>
#include <QTreeWidget>

using namespace kx;
using test::child;
using test::ManagerWorld;
using test::OpenSession;
using test::RecordingPresenter;

namespace {

const QString kPin = QStringLiteral("12345678");

QAction* pageAction(QWidget& page, const char* name)
{
    return page.findChild<QAction*>(QString::fromLatin1(name));
}

} // namespace

class PageTest : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void initTestCase()
    {
        m_certs = std::make_unique<test::TestCertificates>(m_certFolder.path());
        QVERIFY(m_certs->ok());
        // The shipped language shows every certificate action.
        QCOMPARE(Language().load(QStringLiteral(KX_SOURCE_DIR "/resources/Languages/CN_2052.lng")), 0);
    }

    void loginOpensOnlyTheSelectedKey()
    {
        ManagerWorld world;
        QVERIFY(world.keysim({"create", "--serial", "KXA"}));
        QVERIFY(world.keysim({"create", "--serial", "KXB", "--pin", "87654321", "--pid", "C004"}));
        RecordingPresenter messages;
        OpenSession open;
        QCOMPARE(open.listed, 0);
        QCOMPARE(open.session.KeyCount(), 2);
        const FingerPictures pictures;
        LoginPage page(open.session, pictures);
        QSignalSpy loggedIn(&page, &LoginPage::loggedIn);
        open.session.selectKey(1);
        auto* pin = child<QLineEdit>(page, "edtUPIN");
        // The first key's PIN is wrong on the second: the tries left are told, nothing opens.
        pin->setText(kPin);
        page.AcLoginExecute();
        QVERIFY(open.idle());
        QCOMPARE(messages.messages.size(), 1);
        QVERIFY2(messages.messages[0].contains(QLatin1Char('5')), qPrintable(messages.messages[0]));
        QCOMPARE(loggedIn.count(), 0);
        QCOMPARE(open.session.LoginState(1), int(KeySession::kLoggedOut));
        QVERIFY(pin->text().isEmpty());
        // Its own PIN opens it, and only it.
        pin->setText(QStringLiteral("87654321"));
        page.AcLoginExecute();
        QVERIFY(open.idle());
        QCOMPARE(loggedIn.count(), 1);
        QCOMPARE(loggedIn[0][0].toInt(), 1);
        QCOMPARE(open.session.LoginState(1), int(KeySession::kLoggedIn));
        QCOMPARE(open.session.LoginState(0), int(KeySession::kLoggedOut));
        QVERIFY(pin->text().isEmpty());
        QCOMPARE(messages.messages.size(), 1);
    }

    void typedPinNeverOutlivesItsKey()
    {
        ManagerWorld world;
        QVERIFY(world.keysim({"create", "--serial", "KXA", "--min-pin", "6"}));
        QVERIFY(world.keysim({"create", "--serial", "KXB", "--pid", "C004"}));
        RecordingPresenter messages;
        OpenSession open;
        QCOMPARE(open.listed, 0);
        const FingerPictures pictures;
        LoginPage page(open.session, pictures);
        auto* pin = child<QLineEdit>(page, "edtUPIN");
        QAction* login = pageAction(page, "AcLogin");
        pin->setText(QStringLiteral("12345"));
        QVERIFY(!login->isEnabled()); // shorter than the key's minimum
        pin->setText(kPin);
        QVERIFY(login->isEnabled());
        open.session.selectKey(1);
        QVERIFY(pin->text().isEmpty());
        pin->setText(kPin);
        QCOMPARE(open.refresh(), 0);
        QVERIFY(open.idle());
        QVERIFY(pin->text().isEmpty());
        // An empty PIN is never sent: the key keeps all its tries.
        const int before = open.pinState(0).retriesLeft();
        page.AcLoginExecute();
        QVERIFY(open.idle());
        QCOMPARE(open.pinState(0).retriesLeft(), before);
        QCOMPARE(open.session.LoginState(0), int(KeySession::kLoggedOut));
        QVERIFY(messages.messages.isEmpty());
    }

    void userPinChangeReachesTheKey()
    {
        ManagerWorld world;
        QVERIFY(world.keysim({"create", "--serial", "KXA"}));
        RecordingPresenter messages;
        OpenSession open;
        QCOMPARE(open.listed, 0);
        UserPinPage page(open.session);
        // Exactly as long as the key allows (16): the longest PIN is a PIN.
        const QString newPin = QStringLiteral("Kx27!pin9-abcdef");
        QCOMPARE(newPin.size(), open.session.keyInfo(0).maxPinLen);
        auto fill = [&](const QString& oldPin, const QString& first, const QString& second) {
            child<QLineEdit>(page, "edtOldUPin")->setText(oldPin);
            child<QLineEdit>(page, "edtNewUPin1")->setText(first);
            child<QLineEdit>(page, "edtNewUPin2")->setText(second);
        };
        // A confirmation that differs is refused before the key is asked.
        const int tries = open.pinState(0).retriesLeft();
        fill(kPin, newPin, newPin.chopped(1) + QLatin1Char('x'));
        page.AcSetUserPINExecute();
        QVERIFY(open.idle());
        QCOMPARE(messages.messages.last(), Lang("S_PIN_equal"));
        QCOMPARE(open.pinState(0).retriesLeft(), tries);
        // A wrong old PIN costs one try and changes nothing.
        fill(QStringLiteral("00000000"), newPin, newPin);
        page.AcSetUserPINExecute();
        QVERIFY(open.idle());
        QCOMPARE(messages.messages.last(), FormatInt(Lang("K_OldCheck"), tries - 1));
        QCOMPARE(open.session.LoginState(0), int(KeySession::kLoggedOut));
        // The attempt takes its PINs with it: pressed again, nothing more reaches the key.
        for (const char* name : {"edtOldUPin", "edtNewUPin1", "edtNewUPin2"}) {
            QVERIFY(child<QLineEdit>(page, name)->text().isEmpty());
        }
        page.AcSetUserPINExecute();
        QVERIFY(open.idle());
        QCOMPARE(open.pinState(0).retriesLeft(), tries - 1);
        // The right one changes the PIN on the key and empties the fields.
        fill(kPin, newPin, newPin);
        page.AcSetUserPINExecute();
        QVERIFY(open.idle());
        QCOMPARE(messages.messages.last(), Lang("K_Set_Yes"));
        for (const char* name : {"edtOldUPin", "edtNewUPin1", "edtNewUPin2"}) {
            QVERIFY(child<QLineEdit>(page, name)->text().isEmpty());
        }
        int retries = -1;
        QCOMPARE(test::checkPin(open.session.service(), 0, newPin, retries), 0);
        QVERIFY(test::checkPin(open.session.service(), 0, kPin, retries) != 0);
    }

    void certificatePageShowsImportsAndLogsOut()
    {
        ManagerWorld world;
        QVERIFY(world.keysim({"create", "--serial", "KXA"}));
        RecordingPresenter messages;
        OpenSession open;
        QCOMPARE(open.listed, 0);
        int retries = -1;
        QCOMPARE(test::login(open.session.service(), 0, kPin, retries), 0);
        CertificatePage page(open.session);
        page.LoadCertTree(0);
        QVERIFY(open.idle());
        auto* tree = child<QTreeWidget>(page, "tvCert");
        QCOMPARE(test::topTexts(tree), QStringList{QStringLiteral("(无容器)")});
        test::whenImportDialogOpens([&](TIMForm& dialog) {
            dialog.chooseFile(m_certs->path(QStringLiteral("ecuser.p12")));
            child<QLineEdit>(dialog, "edtpwd")->setText(QStringLiteral("pfx-pass"));
            test::newContainer(dialog, QStringLiteral("mine"), 2);
        });
        page.AcInputCertExecute();
        QTRY_VERIFY_WITH_TIMEOUT(!open.session.importRunning() && open.session.service().idle() &&
                                     test::topTexts(tree) == QStringList{QStringLiteral("mine(容器)")},
                                 20000);
        QVERIFY2(messages.messages.isEmpty(), qPrintable(messages.messages.join(QLatin1Char('|'))));
        QCOMPARE(test::topTexts(tree), QStringList{QStringLiteral("mine(容器)")});
        QCOMPARE(open.session.certPresence(0, 0), (std::array<std::uint8_t, 2>{0, 2}));
        QVERIFY(!open.session.importRunning());
        QSignalSpy loggedOut(&page, &CertificatePage::loggedOut);
        page.AclogoutExecute();
        QCOMPARE(loggedOut.count(), 1);
        QCOMPARE(open.session.LoginState(0), int(KeySession::kLoggedOut));
    }

    void importElsewhereStopsEveryPageAction()
    {
        ManagerWorld world;
        QVERIFY(world.keysim({"create", "--serial", "KXA"}));
        RecordingPresenter messages;
        OpenSession open;
        QCOMPARE(open.listed, 0);
        int retries = -1;
        QCOMPARE(test::login(open.session.service(), 0, kPin, retries), 0);
        CertificatePage page(open.session);
        KeyInfoPage info(open.session);
        page.LoadCertTree(0);
        QVERIFY(open.idle());
        // Whoever runs an import, the pages wait for it.
        open.session.setImportRunning(true);
        for (const char* name : {"AcInputCert", "Acrefresh", "Aclogout", "AcDel", "AcRegCert", "AcUnRegCert"}) {
            QVERIFY2(!pageAction(page, name)->isEnabled(), name);
        }
        QVERIFY(!pageAction(info, "AcFindKeyRefresh")->isEnabled());
        page.AclogoutExecute();
        QCOMPARE(open.session.LoginState(0), int(KeySession::kLoggedIn));
        info.AcFindKeyRefreshExecute();
        QVERIFY(open.idle());
        QCOMPARE(open.session.LoginState(0), int(KeySession::kLoggedIn)); // no new key list
        open.session.setImportRunning(false);
        for (const char* name : {"AcInputCert", "Acrefresh", "Aclogout"}) {
            QVERIFY2(pageAction(page, name)->isEnabled(), name);
        }
        QVERIFY(pageAction(info, "AcFindKeyRefresh")->isEnabled());
        QVERIFY(messages.messages.isEmpty());
    }

private:
    QTemporaryDir m_certFolder;
    std::unique_ptr<test::TestCertificates> m_certs;
};

QTEST_MAIN(PageTest)
#include "PageTest.moc"
