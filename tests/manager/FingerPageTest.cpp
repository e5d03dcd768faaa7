// SPDX-License-Identifier: Apache-2.0
// The fingerprint features of the manager against the virtual key's SKF library (and a scripted
// one where the virtual key cannot fail on purpose), with fingers presented by the control tool.
#include "ManagerFixture.h"

#include "common/LanguageTexts.h"
#include "common/TextFormat.h"
#include "manager/CertificatePage.h"
#include "manager/FingerPage.h"
#include "manager/LoginPage.h"
#include "manager/TMainForm.h"
#include "manager/finger/FingerDialog.h"
#include "manager/finger/FingerHand.h"

#include <QAction>
#include <QApplication>
#include <QDialog>
#include <QImage>
#include <QLineEdit>
#include <QPointer>
#include <QPushButton>
#include <QTest>
#include <QTimer>
#include <QToolButton>
#include <QTreeWidget>

#include <dlfcn.h>

#include <functional>

using namespace kx;
using test::child;
using test::ManagerWorld;
using test::RecordingPresenter;

namespace {

const QByteArray kSkfLine = "SKFLib=" KEYSIM_SKF_PATH "\n";

// Records the modal dialogs that open while it lives (by caption) and hands each to `handle`;
// without a handler a dialog is left to close by itself.
class DialogWatcher
{
public:
    explicit DialogWatcher(std::function<void(QDialog*)> handle = {}) : m_handle(std::move(handle))
    {
        QObject::connect(&m_timer, &QTimer::timeout, [this] {
            auto* dialog = qobject_cast<QDialog*>(QApplication::activeModalWidget());
            if (dialog && dialog != m_last) {
                m_last = dialog;
                titles.append(dialog->windowTitle());
                if (m_handle) {
                    m_handle(dialog);
                }
            }
        });
        m_timer.start(50);
    }
    QStringList titles;

private:
    QTimer m_timer;
    // A guarded pointer: a new dialog may take the place of one that is gone.
    QPointer<QDialog> m_last;
    std::function<void(QDialog*)> m_handle;
};

// Writes a picture of `side` pixels into the program folder.
void writePicture(ManagerWorld& world, const QString& relative, int side)
{
    QImage image(side, side, QImage::Format_ARGB32);
    image.fill(Qt::green);
    const QString path = world.folders.path(relative);
    QDir().mkpath(QFileInfo(path).absolutePath());
    QVERIFY(image.save(path, "PNG"));
}

QTreeWidgetItem* keyNode(TMainForm& window, int key)
{
    return child<QTreeWidget>(window, "tv")->topLevelItem(0)->child(key);
}

void select(TMainForm& window, QTreeWidgetItem* node)
{
    child<QTreeWidget>(window, "tv")->setCurrentItem(node);
    test::settled(window);
}

void loginWithPin(TMainForm& window, const QString& pin)
{
    select(window, keyNode(window, 0)->child(2));
    child<QLineEdit>(window, "edtUPIN")->setText(pin);
    window.loginPage().AcLoginExecute();
    QVERIFY(test::settled(window));
    QVERIFY(test::settled(window));
    QCOMPARE(window.session().LoginState(0), 2);
}

void showFingerPage(TMainForm& window)
{
    select(window, keyNode(window, 0)->child(3));
    QCOMPARE(window.ActivePageIndex(), int(TMainForm::PageFinger));
}

FingerHand* hand(TMainForm& window)
{
    return child<FingerHand>(window, "FingerHandUser");
}

void clickFinger(TMainForm& window, int finger)
{
    hand(window)->button(finger)->click();
    test::settled(window);
}

} // namespace

class FingerPageTest : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void initTestCase() { qputenv("KX2700_KEYSIM_FINGER_TIMEOUT_MS", "400"); }

    void capabilityDecidesTheFingerprintFeatures_data()
    {
        QTest::addColumn<QString>("caps");
        QTest::addColumn<bool>("sensor");
        QTest::addColumn<int>("pictureSide");
        QTest::newRow("1: no sensor") << "1" << false << 0;
        QTest::newRow("2: fingerprint") << "2" << true << 10;
        QTest::newRow("4: fingerprint") << "4" << true << 10;
        QTest::newRow("5: finger vein") << "5" << true << 20;
    }

    void capabilityDecidesTheFingerprintFeatures()
    {
        QFETCH(QString, caps);
        QFETCH(bool, sensor);
        QFETCH(int, pictureSide);
        ManagerWorld world(kSkfLine);
        writePicture(world, QStringLiteral("bin/res/Finger/FingerOK.png"), 10);
        writePicture(world, QStringLiteral("bin/res/FingerVein/FingerOK.png"), 20);
        QVERIFY(world.keysim({"create", "--serial", "KXA", "--sensor", "fingerprint", "--caps", caps}));
        RecordingPresenter messages;
        {
            TMainForm window;
            test::openWindow(window);
            QCOMPARE(window.session().FingerSupported(), sensor);
            QCOMPARE(window.session().FingerVein(), caps == QLatin1String("5"));
            QCOMPARE(keyNode(window, 0)->childCount(), sensor ? 5 : 4);
            QCOMPARE(window.action("AcFingerlogon")->isVisible(), sensor);
            // The pictures of the start stay for a key without sensor.
            QCOMPARE(window.fingerPictures().ok.width(), sensor ? pictureSide : 10);
            if (caps == QLatin1String("5")) {
                QCOMPARE(keyNode(window, 0)->child(3)->text(0),
                         LanguageTexts::fingerVeinText(LangKey("F_User_Finger")));
            } else if (sensor) {
                QCOMPARE(keyNode(window, 0)->child(3)->text(0), LanguageTexts::builtinText(LangKey("F_User_Finger")));
            }
            QVERIFY(messages.messages.isEmpty());
        }
        SwitchFingerTexts(1); // the next window starts from the fingerprint wording
    }

    void missingSkfLibraryLeavesNoFingerprintNode()
    {
        ManagerWorld world("SKFLib=libno-such-skf.so\n");
        QVERIFY(world.keysim({"create", "--serial", "KXA", "--sensor", "fingerprint"}));
        RecordingPresenter messages;
        TMainForm window;
        test::openWindow(window);
        QVERIFY(!window.session().FingerSupported());
        QCOMPARE(keyNode(window, 0)->childCount(), 4);
        QVERIFY(!window.action("AcFingerlogon")->isVisible());
        QVERIFY(messages.messages.isEmpty());
    }

    void w2fTitleHidesOnlyTheLogon()
    {
        const QString caption = Lang("P_Caption");
        Language().setText("P_Caption", QStringLiteral("W2F Key Manager"));
        ManagerWorld world(kSkfLine);
        QVERIFY(world.keysim({"create", "--serial", "KXA", "--sensor", "fingerprint"}));
        RecordingPresenter messages;
        {
            TMainForm window;
            test::openWindow(window);
            QVERIFY(window.windowTitle().startsWith(QStringLiteral("W2F")));
            QVERIFY(window.session().FingerSupported());
            QCOMPARE(keyNode(window, 0)->childCount(), 5);
            QVERIFY(!window.action("AcFingerlogon")->isVisible());
            showFingerPage(window);
        }
        Language().setText("P_Caption", caption);
    }

    void fingerButtonsEnrolOrAskToDelete()
    {
        ManagerWorld world(kSkfLine);
        QVERIFY(world.keysim({"create", "--serial", "KXA", "--pin", "12345678", "--sensor", "fingerprint",
                              "--finger-format", "list", "--fingers", "3,7"}));
        RecordingPresenter messages;
        TMainForm window;
        test::openWindow(window);
        loginWithPin(window, QStringLiteral("12345678"));
        showFingerPage(window);
        QCOMPARE(window.session().UserFingerCount(), 2u);
        QCOMPARE(hand(window)->marker(3), FingerPictures::kEnrolledMarker);
        QCOMPARE(hand(window)->marker(7), FingerPictures::kEnrolledMarker);
        QCOMPARE(hand(window)->marker(4), FingerHand::kNoMarker);

        // An enrolled finger: the question, answered No, changes nothing.
        messages.answer = false;
        DialogWatcher dialogs;
        clickFinger(window, 3);
        QCOMPARE(messages.messages, QStringList{Lang("P_FingerDeleteInfo")});
        QCOMPARE(window.fingerPage().SelectedFinger, 3);
        QCOMPARE(hand(window)->marker(3), FingerPictures::kEnrolledMarker);
        QVERIFY(dialogs.titles.isEmpty());

        // An empty finger: the enrolment, which the virtual sensor completes by itself; no
        // learning follows with FingerStudy 0.
        clickFinger(window, 4);
        QCOMPARE(dialogs.titles, QStringList{Lang("P_FingerInput")});
        QCOMPARE(hand(window)->marker(4), FingerPictures::kEnrolledMarker);
        QCOMPARE(window.session().UserFingerCount(), 3u);
        QVERIFY(window.action("AcFingerlogon")->isEnabled());

        // Yes deletes.
        messages.answer = true;
        clickFinger(window, 3);
        QCOMPARE(hand(window)->marker(3), FingerHand::kNoMarker);
        QCOMPARE(window.session().UserFingerCount(), 2u);
        QCOMPARE(messages.messages.size(), 2);

        // After the logout the SKF application is logged out as well: the key refuses.
        window.certificatePage().AclogoutExecute();
        QVERIFY(test::settled(window));
        window.session().setLoginState(0, 2);
        clickFinger(window, 7);
        QCOMPARE(messages.messages.last(), Lang("P_SAR_USER_NOT_LOGGED_IN"));
        QCOMPARE(hand(window)->marker(7), FingerPictures::kEnrolledMarker);
    }

    // Keyboard only: Tab reaches the fingers, the arrow keys go from finger to finger as they lie
    // in the picture, Return (like Space) acts on the finger; each button is named after its
    // finger for screen readers.
    void fingersByKeyboard()
    {
        ManagerWorld world(kSkfLine);
        QVERIFY(world.keysim({"create", "--serial", "KXA", "--pin", "12345678", "--sensor", "fingerprint",
                              "--finger-format", "list", "--fingers", "3"}));
        RecordingPresenter messages;
        TMainForm window;
        test::openWindow(window);
        loginWithPin(window, QStringLiteral("12345678"));
        showFingerPage(window);
        for (int finger = 1; finger <= FingerHand::kFingers; ++finger) {
            QToolButton* button = hand(window)->button(finger);
            QVERIFY(button->focusPolicy() & Qt::TabFocus);
            QVERIFY(!button->accessibleName().isEmpty());
        }
        QCOMPARE(hand(window)->button(4)->accessibleName(), Lang("F_Finger_Name4"));
        QCOMPARE(hand(window)->button(6)->accessibleName(), Lang("F_Finger_Name6"));

        hand(window)->button(2)->setFocus();
        QTest::keyClick(hand(window)->button(2), Qt::Key_Left); // towards the little finger
        QCOMPARE(window.focusWidget(), hand(window)->button(3));
        QTest::keyClick(hand(window)->button(3), Qt::Key_Right);
        QTest::keyClick(hand(window)->button(2), Qt::Key_Right);
        QTest::keyClick(hand(window)->button(1), Qt::Key_Right); // across to the right hand
        QCOMPARE(window.focusWidget(), hand(window)->button(6));
        QTest::keyClick(hand(window)->button(6), Qt::Key_Left);
        QTest::keyClick(hand(window)->button(1), Qt::Key_Left);

        messages.answer = false;
        QTest::keyClick(hand(window)->button(2), Qt::Key_Left);
        QCOMPARE(window.focusWidget(), hand(window)->button(3));
        QTest::keyClick(hand(window)->button(3), Qt::Key_Return);
        QVERIFY(test::settled(window));
        QCOMPARE(messages.messages, QStringList{Lang("P_FingerDeleteInfo")});
        QCOMPARE(window.fingerPage().SelectedFinger, 3);
        // The key read the finger meanwhile; the focus stayed on it.
        QCOMPARE(window.focusWidget(), hand(window)->button(3));
    }

    void notLoggedInOpensNothing()
    {
        ManagerWorld world(kSkfLine);
        QVERIFY(world.keysim({"create", "--serial", "KXA", "--sensor", "fingerprint", "--fingers", "1"}));
        RecordingPresenter messages;
        TMainForm window;
        test::openWindow(window);
        showFingerPage(window);
        DialogWatcher dialogs;
        clickFinger(window, 5);
        window.action("AcFingerDel")->trigger();
        QVERIFY(test::settled(window));
        window.action("AcFingerUnlock")->trigger();
        QVERIFY(test::settled(window));
        const QString notLoggedIn = Lang("P_SAR_USER_NOT_LOGGED_IN");
        QCOMPARE(messages.messages, (QStringList{notLoggedIn, notLoggedIn, notLoggedIn}));
        QVERIFY(dialogs.titles.isEmpty());
    }

    void learningFollowsEnrolmentWhenConfigured()
    {
        ManagerWorld world(kSkfLine, "FingerStudy=1\n");
        QVERIFY(world.keysim({"create", "--serial", "KXA", "--pin", "12345678", "--sensor", "fingerprint"}));
        RecordingPresenter messages;
        TMainForm window;
        test::openWindow(window);
        loginWithPin(window, QStringLiteral("12345678"));
        showFingerPage(window);
        DialogWatcher dialogs([](QDialog* dialog) {
            if (dialog->windowTitle() == QStringLiteral("指纹学习")) {
                QTimer::singleShot(300, dialog, [dialog] { child<QPushButton>(*dialog, "btnCancel")->click(); });
            }
        });
        clickFinger(window, 6);
        QCOMPARE(dialogs.titles, (QStringList{Lang("P_FingerInput"), QStringLiteral("指纹学习")}));
        QCOMPARE(window.fingerPage().SelectedFinger, 6);
        QCOMPARE(hand(window)->marker(6), FingerPictures::kEnrolledMarker);
    }

    void deleteAllGoesInOrderAndStopsAtTheFirstFailure()
    {
        ManagerWorld world("SKFLib=" FAKE_SKF_PATH "\n");
        QVERIFY(world.keysim({"create", "--serial", "KXA", "--sensor", "fingerprint"}));
        RecordingPresenter messages;
        TMainForm window;
        // The scripted library is loaded by the window; its controls are reached through it.
        void* fake = dlopen(FAKE_SKF_PATH, RTLD_NOW);
        QVERIFY(fake);
        auto control = [fake](const char* name) { return dlsym(fake, name); };
        reinterpret_cast<void (*)()>(control("FakeSkf_Reset"))();
        reinterpret_cast<void (*)(const char*, std::uint32_t, std::uint32_t)>(control("FakeSkf_SetDevices"))("dev0\0\0",
                                                                                                             6, 6);
        reinterpret_cast<void (*)(const char*, std::uint32_t)>(control("FakeSkf_SetApps"))("APP\0\0", 5);
        reinterpret_cast<void (*)(int, const char*)>(control("FakeSkf_SetSerial"))(0, "KXA");
        reinterpret_cast<void (*)(std::uint32_t)>(control("FakeSkf_SetCaps"))(2);
        const std::uint8_t map[10] = {1, 0, 1, 0, 0, 0, 0, 0, 0, 0};
        reinterpret_cast<void (*)(const std::uint8_t*, std::uint32_t, std::uint32_t, std::uint32_t)>(
            control("FakeSkf_SetFingers"))(map, 10, 10, 0);
        auto deleted = [&] { return QByteArray(reinterpret_cast<const char* (*)()>(control("FakeSkf_Deleted"))()); };
        auto failDelete = reinterpret_cast<void (*)(std::uint32_t, std::uint32_t)>(control("FakeSkf_FailDelete"));

        test::openWindow(window);
        QVERIFY(window.session().FingerSupported());
        showFingerPage(window);
        window.session().setLoginState(0, 2);
        window.action("AcFingerDel")->trigger();
        QVERIFY(test::settled(window));
        QCOMPARE(deleted(), QByteArray("13"));
        QCOMPARE(messages.messages, QStringList{Lang("P_FingerDeleteInfo")});

        failDelete(1, 0x0A000010);
        window.action("AcFingerDel")->trigger();
        QVERIFY(test::settled(window));
        QCOMPARE(deleted(), QByteArray("131"));
        QCOMPARE(messages.messages.last(), QStringLiteral("操作失败(0x0a000010)"));
        dlclose(fake);
    }

    // The key information page of a key with a sensor ends with its user fingerprint state.
    void keyInformationShowsTheFingerprintRows()
    {
        ManagerWorld world(kSkfLine);
        QVERIFY(world.keysim(
            {"create", "--serial", "KXA", "--sensor", "fingerprint", "--fingers", "2,5", "--finger-retries", "4"}));
        QVERIFY(world.keysim({"create", "--serial", "KXB", "--pid", "C004"}));
        RecordingPresenter messages;
        TMainForm window;
        test::openWindow(window);
        auto* lv = child<QTreeWidget>(window, "lv");
        QCOMPARE(lv->topLevelItemCount(), 14);
        QCOMPARE(lv->topLevelItem(12)->text(0), Lang("F_User_Try"));
        QCOMPARE(lv->topLevelItem(12)->text(1), QStringLiteral("4"));
        QCOMPARE(lv->topLevelItem(13)->text(0), Lang("F_User_Count"));
        QCOMPARE(lv->topLevelItem(13)->text(1), QStringLiteral("2"));
        // The second key has no sensor application of its own: its state cannot be read.
        select(window, keyNode(window, 1));
        QCOMPARE(lv->topLevelItemCount(), 13);
        QCOMPARE(lv->topLevelItem(12)->text(0), Lang("F_Finger_State"));
        QCOMPARE(lv->topLevelItem(12)->text(1), Lang("P_SAR_APPLICATION_NOT_EXISTS"));
        QVERIFY(messages.messages.isEmpty());
    }

    void noRetriesLeftRefusesWithoutADialog()
    {
        ManagerWorld world(kSkfLine);
        QVERIFY(world.keysim(
            {"create", "--serial", "KXA", "--sensor", "fingerprint", "--fingers", "2", "--finger-retries", "0"}));
        RecordingPresenter messages;
        TMainForm window;
        test::openWindow(window);
        showFingerPage(window);
        DialogWatcher dialogs;
        window.action("AcFingerTest")->trigger();
        QVERIFY(test::settled(window));
        window.fingerPage().AcFingerStudyExecute();
        QVERIFY(test::settled(window));
        window.loginPage().AcFingerlogonExecute();
        QVERIFY(test::settled(window));
        const QString locked = Lang("P_SAR_PIN_LOCKED");
        QCOMPARE(messages.messages, (QStringList{locked, locked, locked}));
        QVERIFY(dialogs.titles.isEmpty());
    }

    void nothingEnrolledDisablesTheLogon()
    {
        ManagerWorld world(kSkfLine);
        QVERIFY(world.keysim({"create", "--serial", "KXA", "--sensor", "fingerprint"}));
        RecordingPresenter messages;
        TMainForm window;
        test::openWindow(window);
        select(window, keyNode(window, 0)->child(2));
        QCOMPARE(window.session().UserFingerCount(), 0u);
        QVERIFY(!window.action("AcFingerlogon")->isEnabled());
        window.fingerPage().AcFingerStudyExecute();
        QVERIFY(test::settled(window));
        QCOMPARE(messages.messages, QStringList{Lang("P_SAR_FINGER_NOT_EXIST")});
    }

    // Enter on the empty PIN field of a sensor key logs in by finger through the verification
    // dialog, as the logon button does; the user PIN is never tried with the empty text.
    void enterOnAnEmptyPinLogsInByFinger()
    {
        ManagerWorld world(kSkfLine);
        QVERIFY(world.keysim({"create", "--serial", "KXA", "--sensor", "fingerprint", "--fingers", "2"}));
        RecordingPresenter messages;
        TMainForm window;
        test::openWindow(window);
        select(window, keyNode(window, 0)->child(2));
        QVERIFY(world.keysim({"present-finger", "KXA", "2"}));
        DialogWatcher dialogs;
        QTest::keyClick(child<QLineEdit>(window, "edtUPIN"), Qt::Key_Return);
        QVERIFY(test::settled(window));
        QCOMPARE(dialogs.titles, QStringList{Lang("P_FingerVerify")});
        QCOMPARE(window.session().LoginState(0), 2);
        QVERIFY(messages.messages.isEmpty());
        QVERIFY(world.keysim({"show", "KXA"}));
        QVERIFY2(world.lastOutput.contains(QStringLiteral("user-pin-retries: 6/6")), qPrintable(world.lastOutput));
    }

    // Beside a sensor key, a key without a sensor gets no finger logon: neither Enter on its
    // empty PIN field nor the logon button sends it the empty PIN that would cost a try.
    void keyWithoutSensorBesideASensorKey()
    {
        ManagerWorld world(kSkfLine);
        QVERIFY(world.keysim({"create", "--serial", "KXA", "--sensor", "fingerprint", "--fingers", "2"}));
        QVERIFY(world.keysim({"create", "--serial", "KXB", "--pid", "C004"}));
        RecordingPresenter messages;
        TMainForm window;
        test::openWindow(window);
        QVERIFY(window.session().FingerSupported());
        select(window, keyNode(window, 0)->child(2)); // the sensor key's fingers are read first
        select(window, keyNode(window, 1)->child(2));
        QCOMPARE(window.session().CurrentKeyIndex(), 1);
        DialogWatcher dialogs;
        QTest::keyClick(child<QLineEdit>(window, "edtUPIN"), Qt::Key_Return);
        QVERIFY(test::settled(window));
        QVERIFY(messages.messages.isEmpty());
        window.loginPage().AcFingerlogonExecute();
        QVERIFY(test::settled(window));
        QCOMPARE(messages.messages, QStringList{Lang("P_SAR_FINGER_NOT_EXIST")});
        QVERIFY(dialogs.titles.isEmpty());
        QCOMPARE(window.session().LoginState(1), 1);
        QVERIFY(world.keysim({"show", "KXB"}));
        QVERIFY2(world.lastOutput.contains(QStringLiteral("user-pin-retries: 6/6")), qPrintable(world.lastOutput));
    }

    // While the key waits for the finger the verification dialog cannot be closed: Escape, the
    // close box and reject() leave it open, so the login that follows is one the user sees.
    void verificationCannotBeClosedWhileTheKeyWaits()
    {
        ManagerWorld world(kSkfLine);
        QVERIFY(world.keysim({"create", "--serial", "KXA", "--sensor", "fingerprint", "--fingers", "2"}));
        RecordingPresenter messages;
        TMainForm window;
        test::openWindow(window);
        select(window, keyNode(window, 0)->child(2));
        qputenv("KX2700_KEYSIM_FINGER_TIMEOUT_MS", "60000");
        QList<bool> openAfter;
        bool cancelEnabled = true;
        QTimer attempts;
        DialogWatcher dialogs([&](QDialog* dialog) {
            QObject::connect(&attempts, &QTimer::timeout, dialog, [&, dialog] {
                auto* verify = qobject_cast<FingerDialog*>(dialog);
                if (!verify || !verify->running()) {
                    return;
                }
                attempts.stop();
                cancelEnabled = child<QPushButton>(*dialog, "btnCancel")->isEnabled();
                QTest::keyClick(dialog, Qt::Key_Escape);
                openAfter << dialog->isVisible();
                dialog->close();
                openAfter << dialog->isVisible();
                dialog->reject();
                openAfter << dialog->isVisible();
                world.keysim({"present-finger", "KXA", "2"});
            });
            attempts.start(20);
        });
        window.action("AcFingerlogon")->trigger();
        QVERIFY(test::settled(window));
        qputenv("KX2700_KEYSIM_FINGER_TIMEOUT_MS", "400");
        QCOMPARE(dialogs.titles, QStringList{Lang("P_FingerVerify")});
        QVERIFY(!cancelEnabled);
        QCOMPARE(openAfter, (QList<bool>{true, true, true}));
        QCOMPARE(window.session().LoginState(0), 2);
    }

    void fingerLogonLogsTheKeyIn()
    {
        ManagerWorld world(kSkfLine);
        QVERIFY(world.keysim({"create", "--serial", "KXA", "--sensor", "fingerprint", "--fingers", "2"}));
        RecordingPresenter messages;
        TMainForm window;
        test::openWindow(window);
        select(window, keyNode(window, 0)->child(2));
        QCOMPARE(window.ActivePageIndex(), int(TMainForm::PageLogin));
        QVERIFY(window.action("AcFingerlogon")->isEnabled());
        QVERIFY(world.keysim({"present-finger", "KXA", "2"}));
        DialogWatcher dialogs;
        window.action("AcFingerlogon")->trigger();
        QVERIFY(test::settled(window));
        QCOMPARE(dialogs.titles, QStringList{Lang("P_FingerVerify")});
        QCOMPARE(window.session().LoginState(0), 2);
        QCOMPARE(window.ActivePageIndex(), int(TMainForm::PageCertificates));
        // A logon by finger does not log the SKF application in: the key refuses changes.
        showFingerPage(window);
        messages.answer = true;
        clickFinger(window, 2);
        QCOMPARE(messages.messages, (QStringList{Lang("P_FingerDeleteInfo"), Lang("P_SAR_USER_NOT_LOGGED_IN")}));
    }
};

QTEST_MAIN(FingerPageTest)
#include "FingerPageTest.moc"
