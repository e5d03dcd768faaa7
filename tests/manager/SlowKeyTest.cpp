// SPDX-License-Identifier: Apache-2.0
// The login and PIN pages over a key that is slow or fails (the fault wrapper in front of the
// virtual key), as the user sees them: a failing key is never reported as a wrong PIN and no try
// is spent to find out; a slow key keeps the page's window free and says what it waits for.
#include "ManagerFixture.h"
#include "SessionFixture.h"

#include "common/LanguageTexts.h"
#include "manager/KeyNamePage.h"
#include "manager/LoginPage.h"
#include "manager/UserPinPage.h"
#include "manager/finger/FingerPictures.h"

#include <QAction>
#include <QLineEdit>
#include <QSaveFile>
#include <QSignalSpy>
#include <QTest>

using namespace kx;
using test::child;
using test::ManagerWorld;
using test::OpenSession;
using test::RecordingPresenter;

namespace {

const QString kPin = QStringLiteral("12345678");

// A manager world whose programs load the fault wrapper in front of the virtual key; the
// wrapper's faults are set by `faults()`.
class FaultyWorld : public ManagerWorld
{
public:
    FaultyWorld() : ManagerWorld("PKCS11Lib=" FAULTWRAP_MODULE "\n")
    {
        qputenv("KX2700_FAULTWRAP_MODULE", KEYSIM_PKCS11_PATH);
        qputenv("KX2700_FAULTWRAP_CONFIG", QFile::encodeName(folders.path(QStringLiteral("faults.conf"))));
        faults(QByteArray());
    }
    bool faults(const QByteArray& text)
    {
        QSaveFile file(folders.path(QStringLiteral("faults.conf")));
        return file.open(QIODevice::WriteOnly) && file.write(text) == text.size() && file.commit();
    }
};

} // namespace

class SlowKeyTest : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void initTestCase()
    {
        QCOMPARE(Language().load(QStringLiteral(KX_SOURCE_DIR "/resources/Languages/CN_2052.lng")), 0);
    }

    // A key that fails at login, before or after the key saw the PIN, says so with its code; the
    // right PIN is never called wrong and keeps every try.
    void aFailingKeyIsNoWrongPin()
    {
        FaultyWorld world;
        QVERIFY(world.keysim({"create", "--serial", "KXA"}));
        RecordingPresenter messages;
        OpenSession open;
        QCOMPARE(open.listed, 0);
        const int tries = open.pinState(0).retriesLeft();
        const FingerPictures pictures;
        LoginPage page(open.session, pictures);
        QSignalSpy loggedIn(&page, &LoginPage::loggedIn);
        for (const QByteArray& when : {QByteArray("before"), QByteArray("after")}) {
            QVERIFY(world.faults("fail.next.C_Login=" + when + ":1:0x30\n"));
            child<QLineEdit>(page, "edtUPIN")->setText(kPin);
            page.AcLoginExecute();
            QVERIFY(open.idle());
            QCOMPARE(messages.messages.size(), 1);
            QVERIFY2(messages.messages.takeFirst().startsWith(Lang("K_Device_Error")), when.constData());
            QCOMPARE(loggedIn.count(), 0);
            QCOMPARE(open.pinState(0).retriesLeft(), tries);
        }
        // The key answers again: the same PIN logs in.
        QVERIFY(world.faults(QByteArray()));
        child<QLineEdit>(page, "edtUPIN")->setText(kPin);
        page.AcLoginExecute();
        QVERIFY(open.idle());
        QVERIFY2(messages.messages.isEmpty(), qPrintable(messages.messages.join(QLatin1Char('|'))));
        QCOMPARE(loggedIn.count(), 1);
    }

    // A key whose module cannot rename keys says so, and keeps its name.
    void renameTheModuleCannotDoSaysWhy()
    {
        FaultyWorld world;
        QVERIFY(world.keysim({"create", "--serial", "KXA", "--label", "Old"}));
        RecordingPresenter messages;
        OpenSession open;
        QCOMPARE(open.listed, 0);
        KeyNamePage page(open.session);
        page.showKey(0);
        QVERIFY(world.faults("fail.next.KeysimSetTokenLabel=before:1:0x54\n"));
        child<QLineEdit>(page, "edtKeyName")->setText(QStringLiteral("New"));
        page.AcSetKeyNameExecute();
        QVERIFY(open.idle());
        QCOMPARE(messages.messages, QStringList{Lang("K_Rename_Unsupported")});
        QCOMPARE(open.session.keyInfo(0).labelText().trimmed(), QStringLiteral("Old"));
    }

    // The answer to a PIN change is lost after the key changed the PIN: the page says the change
    // was not confirmed and does not log in with the old PIN to find out (that would spend a try).
    void aLostPinChangeAnswerSpendsNoTry()
    {
        FaultyWorld world;
        QVERIFY(world.keysim({"create", "--serial", "KXA"}));
        RecordingPresenter messages;
        OpenSession open;
        QCOMPARE(open.listed, 0);
        const int tries = open.pinState(0).retriesLeft();
        UserPinPage page(open.session);
        const QString newPin = QStringLiteral("Kx27!pin9");
        child<QLineEdit>(page, "edtOldUPin")->setText(kPin);
        child<QLineEdit>(page, "edtNewUPin1")->setText(newPin);
        child<QLineEdit>(page, "edtNewUPin2")->setText(newPin);
        QVERIFY(world.faults("fail.next.C_SetPIN=after:1:0x30\n"));
        page.AcSetUserPINExecute();
        QVERIFY(open.idle());
        QCOMPARE(messages.messages.size(), 1);
        QVERIFY2(messages.messages[0].startsWith(Lang("K_PIN_Unconfirmed")), qPrintable(messages.messages[0]));
        QVERIFY(world.faults(QByteArray()));
        QCOMPARE(open.pinState(0).retriesLeft(), tries);
        int retries = -1;
        QCOMPARE(test::checkPin(open.session.service(), 0, newPin, retries), 0);
    }

    // A login that takes seconds: the window thread goes on, the page's login is disabled until
    // the answer, and after two seconds the key says what it waits for.
    void aSlowKeySaysWhatItWaitsFor()
    {
        FaultyWorld world;
        QVERIFY(world.keysim({"create", "--serial", "KXA"}));
        RecordingPresenter messages;
        OpenSession open;
        QCOMPARE(open.listed, 0);
        const FingerPictures pictures;
        LoginPage page(open.session, pictures);
        QSignalSpy loggedIn(&page, &LoginPage::loggedIn);
        QSignalSpy waiting(&open.session.service(), &KeyService::keyWaiting);
        QVERIFY(world.faults("latency.C_Login=2600\n"));
        child<QLineEdit>(page, "edtUPIN")->setText(kPin);
        page.AcLoginExecute();
        // Back on the window thread at once, with the key at work.
        QVERIFY(open.session.keyBusy(0));
        child<QLineEdit>(page, "edtUPIN")->setText(kPin);
        QVERIFY(!page.findChild<QAction*>(QStringLiteral("AcLogin"))->isEnabled());
        QTRY_VERIFY_WITH_TIMEOUT(!waiting.isEmpty(), 10000);
        QCOMPARE(waiting.first().at(0).toInt(), 0);
        QCOMPARE(waiting.first().at(1).toString(), QStringLiteral("K_Wait_Login"));
        QVERIFY(open.idle());
        QCOMPARE(loggedIn.count(), 1);
        QVERIFY(page.findChild<QAction*>(QStringLiteral("AcLogin"))->isEnabled());
        QVERIFY(messages.messages.isEmpty());
    }
};

QTEST_MAIN(SlowKeyTest)
#include "SlowKeyTest.moc"
