// SPDX-License-Identifier: Apache-2.0
#include "ManagerFixture.h"

#include "../common/KeyWait.h"

#include "common/LanguageTexts.h"
#include "common/UserConfig.h"
#include "common/widgets/WindowFont.h"
#include "keyservice/KeyPresence.h"
#include "manager/KeyInfoPage.h"
#include "manager/KeyNamePage.h"
#include "manager/LoginPage.h"
#include "manager/TIMForm.h"
#include "manager/TMainForm.h"
#include "manager/UserPinPage.h"
#include "token/TUSB.h"
#include "token/TokenApi.h"

#include <QAccessible>
#include <QAction>
#include <QApplication>
#include <QFocusEvent>
#include <QLabel>
#include <QLineEdit>
#include <QPalette>
#include <QPushButton>
#include <QTest>
#include <QTimer>
#include <QTreeWidget>

#include <algorithm>
#include <cmath>

using namespace kx;
using test::child;
using test::ManagerWorld;
using test::RecordingPresenter;

namespace {

QTreeWidgetItem* keyChild(TMainForm& window, int key, int index)
{
    return child<QTreeWidget>(window, "tv")->topLevelItem(0)->child(key)->child(index);
}

// True once the window's keys answered everything asked of them.
bool idle(TMainForm& window)
{
    return test::keysIdle(window.session().service());
}

// Selects a node of the key tree and waits for what the page asks of the key.
void select(TMainForm& window, QTreeWidgetItem* node)
{
    child<QTreeWidget>(window, "tv")->setCurrentItem(node);
    idle(window);
}

void typeInto(TMainForm& window, const char* edit, const QString& text)
{
    child<QLineEdit>(window, edit)->setText(text);
}

} // namespace

class MainFormTest : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void twoKeysAreListedAndLoggedOut()
    {
        ManagerWorld world;
        QVERIFY(world.keysim({"create", "--serial", "KXA", "--label", " 第一 ", "--hw-version", "1.2"}));
        QVERIFY(world.keysim({"create", "--serial", "KXB", "--label", "Second", "--pid", "C004"}));
        RecordingPresenter messages;
        TMainForm window;
        test::openWindow(window);
        auto* tv = child<QTreeWidget>(window, "tv");
        QCOMPARE(window.session().KeyCount(), 2);
        QCOMPARE(tv->topLevelItemCount(), 3);
        QCOMPARE(tv->topLevelItem(0)->childCount(), 2);
        QCOMPARE(tv->topLevelItem(0)->child(0)->text(0), QStringLiteral("第一"));
        QCOMPARE(tv->topLevelItem(0)->child(1)->childCount(), 4); // no fingerprint node
        QCOMPARE(tv->currentItem(), tv->topLevelItem(0));
        QCOMPARE(window.session().LoginState(0), 1);
        QCOMPARE(window.session().LoginState(1), 1);
        QCOMPARE(window.session().LoginState(2), 0);
        QCOMPARE(window.ActivePageIndex(), int(TMainForm::PageKeyInfo));
        auto* lv = child<QTreeWidget>(window, "lv");
        QCOMPARE(lv->topLevelItemCount(), 12);
        QCOMPARE(lv->topLevelItem(2)->text(1), QStringLiteral("KXA"));
        QCOMPARE(lv->topLevelItem(7)->text(1), Lang("S_Key_Dead_No"));
        QCOMPARE(lv->topLevelItem(10)->text(1), QStringLiteral("1.02")); // hardware version 258
        QCOMPARE(lv->topLevelItem(11)->text(1), QStringLiteral("1.00"));
        QVERIFY(messages.messages.isEmpty());
    }

    // A refresh from the second key's page lists the keys anew and starts over at the first: its
    // information shows, the key list is selected, and no key stays logged in.
    void refreshSelectsTheFirstKey()
    {
        ManagerWorld world;
        QVERIFY(world.keysim({"create", "--serial", "KXA", "--label", "A", "--pin", "12345678"}));
        QVERIFY(world.keysim({"create", "--serial", "KXB", "--label", "B", "--pin", "87654321", "--pid", "C004"}));
        RecordingPresenter messages;
        TMainForm window;
        test::openWindow(window);
        auto* tv = child<QTreeWidget>(window, "tv");
        select(window, keyChild(window, 1, 2));
        typeInto(window, "edtUPIN", QStringLiteral("87654321"));
        window.loginPage().AcLoginExecute();
        QVERIFY(idle(window));
        QCOMPARE(window.session().LoginState(1), 2);
        select(window, tv->topLevelItem(0)->child(1));
        QCOMPARE(window.session().CurrentKeyIndex(), 1);
        QCOMPARE(child<QTreeWidget>(window, "lv")->topLevelItem(2)->text(1), QStringLiteral("KXB"));

        window.keyInfoPage().AcFindKeyRefreshExecute();
        QVERIFY(test::settled(window));
        QCOMPARE(window.session().KeyCount(), 2);
        QCOMPARE(window.session().CurrentKeyIndex(), 0);
        QCOMPARE(tv->currentItem(), tv->topLevelItem(0));
        QCOMPARE(window.ActivePageIndex(), int(TMainForm::PageKeyInfo));
        QCOMPARE(child<QTreeWidget>(window, "lv")->topLevelItem(2)->text(1), QStringLiteral("KXA"));
        QCOMPARE(window.session().LoginState(0), 1);
        QCOMPARE(window.session().LoginState(1), 1);
        QVERIFY(messages.messages.isEmpty());
    }

    void treeNodesChooseThePages()
    {
        ManagerWorld world;
        QVERIFY(world.keysim({"create", "--serial", "KXA", "--label", "Key A"}));
        RecordingPresenter messages;
        TMainForm window;
        test::openWindow(window);
        auto* tv = child<QTreeWidget>(window, "tv");
        select(window, tv->topLevelItem(2));
        QCOMPARE(window.ActivePageIndex(), int(TMainForm::PageAbout));
        select(window, tv->topLevelItem(1));
        QCOMPARE(window.ActivePageIndex(), int(TMainForm::PageSystemInfo));
        select(window, keyChild(window, 0, 0));
        QCOMPARE(window.ActivePageIndex(), int(TMainForm::PageUserPIN));
        select(window, keyChild(window, 0, 1));
        QCOMPARE(window.ActivePageIndex(), int(TMainForm::PageKeyName));
        QCOMPARE(child<QLineEdit>(window, "edtKeyName")->text(), QStringLiteral("Key A"));
        select(window, keyChild(window, 0, 2));
        QCOMPARE(window.ActivePageIndex(), int(TMainForm::PageLogin));
        QCOMPARE(child<QLabel>(window, "Lkeyname")->text(), QStringLiteral("Key A"));
        QVERIFY(window.timer("TSetFocusUPIN")->isActive());
        select(window, keyChild(window, 0, 3)); // the remote unlock node on a key without sensor
        QCOMPARE(window.ActivePageIndex(), int(TMainForm::PageRemoteUnlock));
        select(window, tv->topLevelItem(0)->child(0));
        QCOMPARE(window.ActivePageIndex(), int(TMainForm::PageKeyInfo));
        // The key list root changes nothing but the current key.
        select(window, tv->topLevelItem(0));
        QCOMPARE(window.ActivePageIndex(), int(TMainForm::PageKeyInfo));
        QCOMPARE(window.session().CurrentKeyIndex(), 0);
    }

    // The PIN field's highlight while a PIN is typed stays readable under a light and a dark
    // theme: its text contrasts with its yellow at least as much as the theme's own text does.
    void pinFieldHighlightIsReadableInEveryTheme()
    {
        ManagerWorld world;
        QVERIFY(world.keysim({"create", "--serial", "KXA"}));
        RecordingPresenter messages;
        const QPalette original = QApplication::palette();
        QPalette dark = original;
        dark.setColor(QPalette::Window, QColor(0x20, 0x20, 0x20));
        dark.setColor(QPalette::WindowText, Qt::white);
        dark.setColor(QPalette::Base, QColor(0x2a, 0x2a, 0x2a));
        dark.setColor(QPalette::Text, Qt::white);
        auto contrast = [](const QColor& a, const QColor& b) {
            auto luminance = [](const QColor& c) {
                auto channel = [](double v) { return v <= 0.03928 ? v / 12.92 : std::pow((v + 0.055) / 1.055, 2.4); };
                return 0.2126 * channel(c.redF()) + 0.7152 * channel(c.greenF()) + 0.0722 * channel(c.blueF());
            };
            const double la = luminance(a), lb = luminance(b);
            return (std::max(la, lb) + 0.05) / (std::min(la, lb) + 0.05);
        };
        for (const QPalette& theme : {original, dark}) {
            QApplication::setPalette(theme);
            TMainForm window;
            test::openWindow(window);
            select(window, keyChild(window, 0, 2));
            auto* pin = child<QLineEdit>(window, "edtUPIN");
            QFocusEvent in(QEvent::FocusIn);
            QApplication::sendEvent(pin, &in);
            pin->ensurePolished();
            const QColor background = pin->palette().color(QPalette::Base);
            QCOMPARE(background, QColor(255, 255, 0));
            QVERIFY2(contrast(pin->palette().color(QPalette::Text), background) >= 4.5,
                     qPrintable(pin->palette().color(QPalette::Text).name()));
        }
        QApplication::setPalette(original);
    }

    // Walking the key tree with the arrow keys leaves the focus in the tree (the next key goes on
    // walking it); a click on the login node puts the cursor into the PIN field.
    void treeWalkedByKeysKeepsTheFocus()
    {
        ManagerWorld world;
        QVERIFY(world.keysim({"create", "--serial", "KXA"}));
        RecordingPresenter messages;
        TMainForm window;
        test::openWindow(window);
        auto* tv = child<QTreeWidget>(window, "tv");
        select(window, keyChild(window, 0, 1));
        tv->setFocus();
        QTest::keyClick(tv, Qt::Key_Down);
        idle(window);
        QCOMPARE(tv->currentItem(), keyChild(window, 0, 2));
        QCOMPARE(window.ActivePageIndex(), int(TMainForm::PageLogin));
        QTest::qWait(300); // longer than the login page's focus delay
        QCOMPARE(window.focusWidget(), tv);
        QTest::keyClick(tv, Qt::Key_Down);
        idle(window);
        QCOMPARE(tv->currentItem(), keyChild(window, 0, 3));

        QTest::mouseClick(tv->viewport(), Qt::LeftButton, {}, tv->visualItemRect(keyChild(window, 0, 2)).center());
        idle(window);
        QCOMPARE(window.ActivePageIndex(), int(TMainForm::PageLogin));
        QTRY_COMPARE(window.focusWidget(), child<QLineEdit>(window, "edtUPIN"));
    }

    // A screen reader names every field after its label and both trees after what they list, in
    // the language in use; the five remote-unlock fields have five different names.
    void fieldsAndTreesHaveAccessibleNames()
    {
        ManagerWorld world;
        QVERIFY(world.keysim({"create", "--serial", "KXA"}));
        RecordingPresenter messages;
        TMainForm window;
        test::openWindow(window);
        auto nameOf = [&](const char* widget) {
            QAccessibleInterface* accessible =
                QAccessible::queryAccessibleInterface(window.findChild<QWidget*>(QString::fromLatin1(widget)));
            return accessible ? accessible->text(QAccessible::Name) : QString();
        };
        QCOMPARE(nameOf("tv"), Lang("Main_Form_Treeview"));
        QCOMPARE(nameOf("tvCert"), Lang("Main_Form_Groupbox"));
        QStringList unlockNames;
        for (const char* field :
             {"edtRequestStr", "edtUnlockCode", "edtNewUPin_RM", "edtNewUPin1_RM", "edtNewUPin2_RM"}) {
            unlockNames.append(nameOf(field));
        }
        unlockNames.removeDuplicates();
        QCOMPARE(unlockNames.size(), 5);
        for (const char* field : {"edtUPIN", "edtOldUPin", "edtNewUPin1", "edtNewUPin2", "edtKeyName", "edtRequestStr",
                                  "edtUnlockCode", "edtNewUPin_RM", "edtNewUPin1_RM", "edtNewUPin2_RM"}) {
            QVERIFY2(!nameOf(field).trimmed().isEmpty(), field);
        }
        QVERIFY(nameOf("edtUPIN").startsWith(Lang("Lonin_Form_lable_Key").trimmed()));
    }

    // The window and its dialogs use the desktop's font with the language's least size, not the
    // family the language names when the system lacks it.
    void windowsUseTheDesktopFont()
    {
        ManagerWorld world;
        RecordingPresenter messages;
        TMainForm window;
        TIMForm import({QByteArrayLiteral("container-1")}, 0);
        const QFont expected = WindowFont();
        for (const QWidget* widget : {static_cast<const QWidget*>(&window), static_cast<const QWidget*>(&import)}) {
            QCOMPARE(widget->font().family(), expected.family());
            QCOMPARE(widget->font().pointSizeF(), expected.pointSizeF());
        }
    }

    void loginAndLogout()
    {
        ManagerWorld world;
        QVERIFY(world.keysim({"create", "--serial", "KXA", "--pin", "12345678", "--min-pin", "6"}));
        RecordingPresenter messages;
        TMainForm window;
        test::openWindow(window);
        select(window, keyChild(window, 0, 2));
        QAction* login = window.action("AcLogin");
        typeInto(window, "edtUPIN", QStringLiteral("12345"));
        QVERIFY(!login->isEnabled()); // shorter than the key's shortest PIN
        QCOMPARE(child<QLabel>(window, "Label10")->text(), QStringLiteral("5"));
        QVERIFY(!child<QPushButton>(window, "btnlogon")->isEnabled());
        // Enter still tries a PIN too short for the button: a wrong PIN with the retries left.
        QTest::keyClick(child<QLineEdit>(window, "edtUPIN"), Qt::Key_Return);
        QVERIFY(idle(window));
        QCOMPARE(messages.messages.size(), 1);
        QCOMPARE(messages.messages.last(),
                 Lang("K_PIN_Error") + QStringLiteral("\r") + QStringLiteral("您还有5次机会"));
        QVERIFY(child<QLineEdit>(window, "edtUPIN")->text().isEmpty()); // every attempt empties the field

        typeInto(window, "edtUPIN", QStringLiteral("12345678"));
        QVERIFY(login->isEnabled());
        login->trigger();
        QVERIFY(idle(window));
        QCOMPARE(messages.messages.size(), 1);
        QCOMPARE(window.session().LoginState(0), 2);
        QCOMPARE(window.ActivePageIndex(), int(TMainForm::PageCertificates));
        // Once logged in the certificates node leads straight to the certificate page.
        select(window, keyChild(window, 0, 0));
        select(window, keyChild(window, 0, 2));
        QCOMPARE(window.ActivePageIndex(), int(TMainForm::PageCertificates));

        window.action("Aclogout")->trigger();
        QVERIFY(idle(window));
        QCOMPARE(window.session().LoginState(0), 1);
        QCOMPARE(window.ActivePageIndex(), int(TMainForm::PageLogin));
        select(window, keyChild(window, 0, 0));
        select(window, keyChild(window, 0, 2));
        QCOMPARE(window.ActivePageIndex(), int(TMainForm::PageLogin));
        window.action("AcCancel")->trigger();
        QVERIFY(child<QLineEdit>(window, "edtUPIN")->text().isEmpty());
    }

    void wrongPinsDownToLockedAndRefusalWithoutATry()
    {
        ManagerWorld world;
        QVERIFY(world.keysim({"create", "--serial", "KXA", "--pin", "12345678", "--max-retries", "4"}));
        RecordingPresenter messages;
        TMainForm window;
        test::openWindow(window);
        select(window, keyChild(window, 0, 2));
        auto wrongPin = [&] {
            typeInto(window, "edtUPIN", QStringLiteral("00000000"));
            window.loginPage().AcLoginExecute();
            QVERIFY(idle(window));
        };
        wrongPin();
        QCOMPARE(messages.messages.last(), Lang("K_PIN_Error") + QStringLiteral("\r您还有3次机会"));
        wrongPin();
        wrongPin();
        wrongPin(); // the last try
        QCOMPARE(messages.messages.last(), Lang("K_Dead"));
        QVERIFY(world.keysim({"show", "KXA"}));
        const QString before = world.lastOutput;
        // A locked key is refused before any login: the counter does not move.
        typeInto(window, "edtUPIN", QStringLiteral("12345678"));
        window.loginPage().AcLoginExecute();
        QVERIFY(idle(window));
        QCOMPARE(messages.messages.last(), Lang("K_Dead"));
        QCOMPARE(messages.messages.size(), 5);
        QVERIFY(world.keysim({"show", "KXA"}));
        QCOMPARE(world.lastOutput, before);
        QCOMPARE(window.session().LoginState(0), 1);
    }

    // An empty PIN never reaches a key without a sensor: Enter on the empty login field does
    // nothing, an empty old PIN on the PIN page gets the length message; no try is spent.
    void emptyPinsAreNeverSent()
    {
        ManagerWorld world;
        QVERIFY(world.keysim({"create", "--serial", "KXA", "--pin", "12345678", "--max-retries", "4"}));
        RecordingPresenter messages;
        TMainForm window;
        test::openWindow(window);
        select(window, keyChild(window, 0, 2));
        auto* pin = child<QLineEdit>(window, "edtUPIN");
        for (int press = 0; press < 4; ++press) {
            QTest::keyClick(pin, Qt::Key_Return);
        }
        QVERIFY(messages.messages.isEmpty());
        QCOMPARE(window.session().LoginState(0), 1);

        select(window, keyChild(window, 0, 0));
        typeInto(window, "edtNewUPin1", QStringLiteral("Abcd!234"));
        typeInto(window, "edtNewUPin2", QStringLiteral("Abcd!234"));
        QTest::keyClick(child<QLineEdit>(window, "edtNewUPin2"), Qt::Key_Return);
        QVERIFY(idle(window));
        QCOMPARE(messages.messages, QStringList{Lang("UPIN_E2") + QStringLiteral("(6--16)")});
        QVERIFY(world.keysim({"show", "KXA"}));
        QVERIFY2(world.lastOutput.contains(QStringLiteral("user-pin-retries: 4/4")), qPrintable(world.lastOutput));
    }

    // The PIN field never carries a PIN over to another key: it is emptied when another key is
    // chosen and after every attempt, successful or not.
    void pinFieldIsEmptiedBetweenKeysAndAttempts()
    {
        ManagerWorld world;
        QVERIFY(world.keysim({"create", "--serial", "KXA", "--label", "A", "--pin", "12345678"}));
        QVERIFY(world.keysim({"create", "--serial", "KXB", "--label", "B", "--pin", "87654321", "--pid", "C004"}));
        RecordingPresenter messages;
        TMainForm window;
        test::openWindow(window);
        auto* pin = child<QLineEdit>(window, "edtUPIN");
        select(window, keyChild(window, 0, 2));
        typeInto(window, "edtUPIN", QStringLiteral("12345678"));
        select(window, keyChild(window, 1, 2));
        QVERIFY(pin->text().isEmpty());
        QTest::keyClick(pin, Qt::Key_Return);
        QVERIFY(messages.messages.isEmpty());

        select(window, keyChild(window, 0, 2));
        typeInto(window, "edtUPIN", QStringLiteral("12345678"));
        window.loginPage().AcLoginExecute();
        QVERIFY(idle(window));
        QCOMPARE(window.session().LoginState(0), 2);
        QVERIFY(pin->text().isEmpty());
        QCOMPARE(child<QLabel>(window, "Label10")->text(), QStringLiteral("0"));
        select(window, keyChild(window, 1, 2));
        QTest::keyClick(pin, Qt::Key_Return);
        QVERIFY(messages.messages.isEmpty());
        QVERIFY(world.keysim({"show", "KXB"}));
        QVERIFY2(world.lastOutput.contains(QStringLiteral("user-pin-retries: 6/6")), qPrintable(world.lastOutput));
    }

    // A login or old-PIN check that fails for another reason than the PIN is never shown as a
    // wrong PIN: a pulled key is reported missing, any other failure with its code.
    void failuresOtherThanTheWrongPin()
    {
        ManagerWorld world;
        QVERIFY(world.keysim({"create", "--serial", "KXA", "--pin", "12345678"}));
        RecordingPresenter messages;
        TMainForm window;
        test::openWindow(window);
        select(window, keyChild(window, 0, 0));
        typeInto(window, "edtOldUPin", QStringLiteral("12345678"));
        typeInto(window, "edtNewUPin1", QStringLiteral("Abcd!234"));
        typeInto(window, "edtNewUPin2", QStringLiteral("Abcd!234"));
        {
            ScopedTokenApi api;
            api.api().token_login = [](int, const char*, int* retries) {
                *retries = 5;
                return 0x0A000002;
            };
            window.userPinPage().AcSetUserPINExecute();
            QVERIFY(idle(window));
            select(window, keyChild(window, 0, 2));
            typeInto(window, "edtUPIN", QStringLiteral("12345678"));
            window.loginPage().AcLoginExecute();
            QVERIFY(idle(window));
        }
        const QString code = Lang("K_ErrorCODE_Str") + QStringLiteral(" = 0x0A000002");
        QCOMPARE(messages.messages, (QStringList{Lang("K_Set_No") + code, Lang("Change_No") + code}));

        // The key pulled before the window heard of it.
        QVERIFY(world.keysim({"pull", "KXA"}));
        typeInto(window, "edtUPIN", QStringLiteral("12345678"));
        window.loginPage().AcLoginExecute();
        QVERIFY(idle(window));
        QCOMPARE(messages.messages.last(), Lang("K_Find_Error"));
        select(window, keyChild(window, 0, 0));
        // The failed attempt emptied the fields: the PINs are typed again.
        QVERIFY(child<QLineEdit>(window, "edtOldUPin")->text().isEmpty());
        typeInto(window, "edtOldUPin", QStringLiteral("12345678"));
        typeInto(window, "edtNewUPin1", QStringLiteral("Abcd!234"));
        typeInto(window, "edtNewUPin2", QStringLiteral("Abcd!234"));
        window.userPinPage().AcSetUserPINExecute();
        QVERIFY(idle(window));
        QCOMPARE(messages.messages.last(), Lang("K_Find_Error"));
        QCOMPARE(messages.messages.size(), 4);
        QCOMPARE(window.session().LoginState(0), 1);
        QVERIFY(world.keysim({"show", "KXA"}));
        QVERIFY2(world.lastOutput.contains(QStringLiteral("user-pin-retries: 6/6")), qPrintable(world.lastOutput));
    }

    void uninitialisedKeysAreReported()
    {
        ManagerWorld world;
        QVERIFY(world.keysim({"create", "--serial", "KXA", "--initialised", "no"}));
        RecordingPresenter messages;
        TMainForm window;
        test::openWindow(window);
        QTRY_COMPARE(messages.messages.size(), 1);
        QCOMPARE(messages.messages.last(), Lang("Init_Info"));
        select(window, keyChild(window, 0, 2));
        typeInto(window, "edtUPIN", QStringLiteral("12345678"));
        window.loginPage().AcLoginExecute();
        QVERIFY(idle(window));
        QCOMPARE(messages.messages.size(), 2);
        QCOMPARE(messages.messages.last(), Lang("Init_Info"));
    }

    void pinChange()
    {
        ManagerWorld world;
        QVERIFY(world.keysim({"create", "--serial", "KXA", "--pin", "12345678", "--min-pin", "8", "--max-pin", "12"}));
        world.folders.write(QStringLiteral("config/kx/UserConfig.ini"), "[UserConfig]\nCycleSetPIN=30\n");
        world.folders.context().setClock([] { return QDateTime(QDate(2024, 1, 30), QTime(10, 0)); });
        RecordingPresenter messages;
        TMainForm window;
        test::openWindow(window);
        select(window, keyChild(window, 0, 0));
        auto change = [&](const QString& oldPin, const QString& newPin, const QString& confirm) {
            typeInto(window, "edtOldUPin", oldPin);
            typeInto(window, "edtNewUPin1", newPin);
            typeInto(window, "edtNewUPin2", confirm);
            window.userPinPage().AcSetUserPINExecute();
            idle(window);
            return messages.messages.isEmpty() ? QString() : messages.messages.last();
        };
        QCOMPARE(change(QStringLiteral("12345678"), QStringLiteral("Abcd!234"), QStringLiteral("Abcd!235")),
                 Lang("S_PIN_equal"));
        QCOMPARE(change(QStringLiteral("12345678"), QStringLiteral("Abcd!2345678X"), QStringLiteral("Abcd!2345678X")),
                 Lang("UPIN_E2") + QStringLiteral("(8--12)"));
        QCOMPARE(change(QStringLiteral("12345678"), QStringLiteral("abcd1234"), QStringLiteral("abcd1234")),
                 QStringLiteral("口令为8-16位，必须包含数字、字母、特殊字符"));
        QCOMPARE(child<QLabel>(window, "PStrength_UPIN")->text(), QStringLiteral("中"));
        QCOMPARE(change(QStringLiteral("87654321"), QStringLiteral("Abcd!234"), QStringLiteral("Abcd!234")),
                 QStringLiteral("原口令不正确,您还有5次重试机会"));
        // The attempt took its PINs with it, and the meter with them.
        QVERIFY(child<QLineEdit>(window, "edtNewUPin1")->text().isEmpty());
        QCOMPARE(child<QLabel>(window, "PStrength_UPIN")->text(), QString());
        QCOMPARE(change(QStringLiteral("12345678"), QStringLiteral("Abcd!234"), QStringLiteral("Abcd!234")),
                 Lang("K_Set_Yes"));
        QVERIFY(child<QLineEdit>(window, "edtOldUPin")->text().isEmpty());
        QVERIFY(child<QLineEdit>(window, "edtNewUPin1")->text().isEmpty());
        TUserConfigInfo config;
        ReadUserConfig(world.folders.path(QStringLiteral("config/kx/UserConfig.ini")), config);
        QCOMPARE(config.LastDay, QStringLiteral("20240229"));
        // The new PIN logs in.
        select(window, keyChild(window, 0, 2));
        typeInto(window, "edtUPIN", QStringLiteral("Abcd!234"));
        window.loginPage().AcLoginExecute();
        QVERIFY(idle(window));
        QCOMPARE(window.session().LoginState(0), 2);
    }

    void renameKey()
    {
        ManagerWorld world;
        QVERIFY(world.keysim({"create", "--serial", "KXA", "--label", "Old"}));
        RecordingPresenter messages;
        TMainForm window;
        test::openWindow(window);
        select(window, keyChild(window, 0, 1));
        typeInto(window, "edtKeyName", QString());
        QVERIFY(!window.action("AcSetKeyName")->isEnabled());
        // Blanks only would leave the key nameless: refused with a reason, the key untouched.
        typeInto(window, "edtKeyName", QStringLiteral("   "));
        window.keyNamePage().AcSetKeyNameExecute();
        QVERIFY(idle(window));
        QCOMPARE(messages.messages.last(), Lang("K_Name_Empty"));
        QCOMPARE(window.session().keyInfo(0).labelText().trimmed(), QStringLiteral("Old"));
        // Ten three-byte characters and one byte: 31 bytes pass; eleven characters (33) do not.
        typeInto(window, "edtKeyName", QStringLiteral("  ") + QString(11, QChar(0x4E2D)) + QStringLiteral(" "));
        window.keyNamePage().AcSetKeyNameExecute();
        QVERIFY(idle(window));
        QCOMPARE(messages.messages.last(), Lang("K_Len_Error"));
        QCOMPARE(child<QTreeWidget>(window, "tv")->topLevelItem(0)->child(0)->text(0), QStringLiteral("Old"));
        const QString name = QString(10, QChar(0x4E2D)) + QStringLiteral("x");
        typeInto(window, "edtKeyName", QStringLiteral(" ") + name + QStringLiteral(" "));
        window.keyNamePage().AcSetKeyNameExecute();
        QVERIFY(idle(window));
        QCOMPARE(messages.messages.last(), Lang("K_Set_Yes"));
        QCOMPARE(child<QTreeWidget>(window, "tv")->topLevelItem(0)->child(0)->text(0), name);
        QCOMPARE(window.session().keyInfo(0).labelText(), name);
        window.keyInfoPage().AcFindKeyRefreshExecute();
        QVERIFY(idle(window));
        QCOMPARE(child<QTreeWidget>(window, "tv")->topLevelItem(0)->child(0)->text(0), name);
    }

    void commandsFromTheMonitor()
    {
        ManagerWorld world;
        QVERIFY(world.keysim({"create", "--serial", "KXA", "--pin", "12345678"}));
        RecordingPresenter messages;
        TMainForm window;
        test::openWindow(window);
        select(window, keyChild(window, 0, 2));
        typeInto(window, "edtUPIN", QStringLiteral("12345678"));
        window.loginPage().AcLoginExecute();
        QVERIFY(idle(window));
        QCOMPARE(window.ActivePageIndex(), int(TMainForm::PageCertificates));
        window.handleCommand(QStringLiteral("LoadCert")); // on the certificate page: still logged in
        QCOMPARE(window.session().LoginState(0), 2);
        select(window, keyChild(window, 0, 0));
        window.handleCommand(QStringLiteral("LoadCert"));
        QCOMPARE(window.session().LoginState(0), 1);
        window.handleCommand(QStringLiteral("close"));
        QVERIFY(window.isVisible());
        window.handleCommand(QStringLiteral("CLOSE"));
        QVERIFY(!window.isVisible());
    }

    void hotPlug()
    {
        ManagerWorld world;
        QVERIFY(world.keysim({"create", "--serial", "KXA"}));
        RecordingPresenter messages;
        TMainForm window;
        test::openWindow(window);
        QCOMPARE(window.session().KeyCount(), 1);
        TUSB* usb = window.presence()->usb();
        // A device that is not listed starts no search.
        QVERIFY(world.keysim({"create", "--serial", "KXX", "--pid", "1234"}));
        usb->deviceChanged(true, TUSB::interfacePath(0x1EA8, 0x1234, QStringLiteral("KXX")));
        QVERIFY(!window.timer("TFindUSBKey")->isActive());
        QCOMPARE(window.ExpectedKeyCount(), 0);

        QVERIFY(world.keysim({"pull", "KXX"})); // an unlisted removal changes nothing either
        QTest::qWait(300);
        QVERIFY(!window.timer("TFindUSBKey")->isActive());
        QCOMPARE(window.session().KeyCount(), 1);

        // A listed key that the library sees only 250 ms after the arrival is found by a later tick.
        QVERIFY(world.keysim({"create", "--serial", "KXB", "--no-plug"}));
        QVERIFY(world.keysim({"fault", "KXB", "--visible-after", "250"}));
        // The key already there counts as arrived.
        window.presence()->deviceArrived(0xC003);
        QTRY_VERIFY_WITH_TIMEOUT(window.timer("TFindUSBKey")->isActive(), 5000); // after the arrival wait
        QTRY_VERIFY_WITH_TIMEOUT(!window.timer("TFindUSBKey")->isActive(), 5000);
        QVERIFY(world.keysim({"plug", "KXB"}));
        QTRY_COMPARE_WITH_TIMEOUT(window.ExpectedKeyCount(), 2, 5000);
        QTRY_VERIFY_WITH_TIMEOUT(window.timer("TFindUSBKey")->isActive(), 5000);
        QTRY_VERIFY_WITH_TIMEOUT(!window.timer("TFindUSBKey")->isActive(), 10000);
        QVERIFY(test::settled(window));
        QCOMPARE(window.session().KeyCount(), 2);
        QCOMPARE(child<QTreeWidget>(window, "tv")->topLevelItem(0)->childCount(), 2);

        // Pulling a listed key refreshes the list once.
        QVERIFY(world.keysim({"pull", "KXB"}));
        QTRY_COMPARE_WITH_TIMEOUT(window.session().KeyCount(), 1, 5000);
        QTRY_VERIFY_WITH_TIMEOUT(!window.timer("TFindUSBKey")->isActive(), 5000);
        QCOMPARE(window.ExpectedKeyCount(), 1);
        QCOMPARE(child<QTreeWidget>(window, "tv")->currentItem(), child<QTreeWidget>(window, "tv")->topLevelItem(0));
    }

    void failingLibraryClosesTheWindow()
    {
        ManagerWorld world;
        world.folders.write(QStringLiteral("bin/APPInfo.ini"), "[APPLib]\nPKCS11Lib=/nonexistent/module.so\n");
        RecordingPresenter messages;
        TMainForm window;
        window.show();
        QTRY_VERIFY_WITH_TIMEOUT(!window.isVisible(), 5000);
        QCOMPARE(messages.messages, QStringList{Lang("K_pkcs11Init_Error")});
        QVERIFY(!window.LibraryReady);
    }
};

QTEST_MAIN(MainFormTest)
#include "MainFormTest.moc"
