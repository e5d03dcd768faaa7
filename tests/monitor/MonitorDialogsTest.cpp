// SPDX-License-Identifier: Apache-2.0
// The monitor's PIN dialog in both layouts, the default-PIN and periodic reminders with
// MonitorChangeUserPIN against the virtual key, and the settings dialog.
#include "MonitorFixture.h"

#include "common/LanguageTexts.h"
#include "common/PINPolicy.h"
#include "common/TextFormat.h"
#include "common/widgets/WindowFont.h"
#include "monitor/TMainForm.h"
#include "monitor/TProjectConfigForm.h"
#include "monitor/TUPinSetForm.h"
#include "token/DesktopRegistration.h"

#include <QAction>
#include <QApplication>
#include <QCheckBox>
#include <QComboBox>
#include <QDir>
#include <QGroupBox>
#include <QLabel>
#include <QLineEdit>
#include <QPointer>
#include <QPushButton>
#include <QRadioButton>
#include <QRegularExpression>
#include <QSpinBox>
#include <QTest>
#include <QTimer>

#include <deque>

using namespace kx;
using namespace kx::test;
using kx::mon::TMainForm;
using kx::mon::TProjectConfigForm;
using kx::mon::TUPinSetForm;

namespace {

template <typename T>
T* child(QWidget& window, const char* name)
{
    return window.findChild<T*>(QString::fromLatin1(name));
}

// Works the modal dialogs of type D as they open, one step per dialog, in order.
template <typename D>
class DialogScript
{
public:
    explicit DialogScript(std::deque<std::function<void(D&)>> steps) : m_steps(std::move(steps))
    {
        m_poll.setInterval(20);
        QObject::connect(&m_poll, &QTimer::timeout, [this] {
            auto* dialog = qobject_cast<D*>(QApplication::activeModalWidget());
            if (!dialog || dialog == m_last || m_steps.empty()) {
                return;
            }
            m_last = dialog;
            ++opened;
            auto step = std::move(m_steps.front());
            m_steps.pop_front();
            step(*dialog);
        });
        m_poll.start();
    }
    int opened = 0;

private:
    QTimer m_poll;
    QPointer<D> m_last;
    std::deque<std::function<void(D&)>> m_steps;
};

void fillPins(TUPinSetForm& dialog, const QString& oldPin, const QString& newPin, const QString& confirm)
{
    child<QLineEdit>(dialog, "edtUPin")->setText(oldPin);
    child<QLineEdit>(dialog, "edtNewUPin1")->setText(newPin);
    child<QLineEdit>(dialog, "edtNewUPin2")->setText(confirm);
}

const QDate kToday(2027, 6, 1);

// Records the notices; on the settings' success notice it chooses the menu entry again, as a user
// may while that notice is up.
class MenuAgainPresenter final : public MessagePresenter
{
public:
    MenuAgainPresenter() { MessagePresenter::setCurrent(this); }
    ~MenuAgainPresenter() override { MessagePresenter::setCurrent(nullptr); }
    bool present(QWidget*, Kind, const QString&, const QString& text) override
    {
        messages.append(text);
        if (text == QStringLiteral("保存成功") && onSaved) {
            onSaved();
        }
        return true;
    }
    std::function<void()> onSaved;
    QStringList messages;
};

} // namespace

class MonitorDialogsTest : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void cleanup() { Language() = LanguageTexts(); }

    void pinDialogChecksWhatWasTyped()
    {
        MonitorWorld world;
        RecordingPresenter messages;
        FakeManager manager;
        TUPinSetForm dialog;
        dialog.MinPINLen = 8;
        dialog.MaxPINLen = 12;
        dialog.show();
        QTRY_COMPARE_WITH_TIMEOUT(manager.count(QStringLiteral("CLOSE")), 1, 3000);
        QVERIFY(
            whileProcessingEvents<bool>([] { return WindowClassExists(QString::fromLatin1(kPinDialogWindowClass)); }));
        QCOMPARE(dialog.windowTitle(), Lang("Main_Form_btn_SetUPIN"));
        QVERIFY(child<QLabel>(dialog, "PStrength_UPIN")->text().isEmpty());
        QVERIFY(!child<QLabel>(dialog, "L7")->isVisible());
        QVERIFY(!child<QPushButton>(dialog, "btnNO")->isVisible());
        QVERIFY(!(dialog.windowFlags() & Qt::WindowCloseButtonHint));
        QVERIFY(dialog.windowFlags() & Qt::WindowStaysOnTopHint);
        auto* ok = child<QPushButton>(dialog, "btnOK");
        QVERIFY(!ok->isEnabled());

        // The confirmation alone can enable OK; a short old PIN typed afterwards disables it.
        fillPins(dialog, QString(), QString(), QStringLiteral("abcdefgh"));
        QVERIFY(ok->isEnabled());
        child<QLineEdit>(dialog, "edtUPin")->setText(QStringLiteral("123"));
        QVERIFY(!ok->isEnabled());
        QCOMPARE(child<QLabel>(dialog, "Label4")->text(), QStringLiteral("3"));
        QCOMPARE(child<QLineEdit>(dialog, "edtNewUPin1")->maxLength(), 16);

        fillPins(dialog, QStringLiteral("12345678"), QStringLiteral("Abcd#1234"), QStringLiteral("Abcd#1235"));
        dialog.btnOKClick();
        fillPins(dialog, QStringLiteral("12345678"), QStringLiteral("Abcd#12345678"), QStringLiteral("Abcd#12345678"));
        dialog.btnOKClick();
        fillPins(dialog, QStringLiteral("12345678"), QStringLiteral("abcd1234"), QStringLiteral("abcd1234"));
        QCOMPARE(child<QLabel>(dialog, "PStrength_UPIN")->text(), QStringLiteral("中"));
        dialog.btnOKClick();
        QCOMPARE(messages.messages,
                 (QStringList{Lang("S_PIN_equal"), Lang("UPIN_E2") + QStringLiteral("(8--12)"), PINPolicyText()}));
        QCOMPARE(messages.notices.first(), QLatin1Char('?') + Lang("S_PIN_equal"));
        QCOMPARE(messages.notices.last(), PINPolicyText());
        QTest::keyClick(&dialog, Qt::Key_Escape);
        QVERIFY(dialog.isVisible());

        fillPins(dialog, QStringLiteral("12345678"), QStringLiteral("Abcd#123"), QStringLiteral("Abcd#123"));
        QCOMPARE(child<QLabel>(dialog, "PStrength_UPIN")->text(), QStringLiteral("强"));
        dialog.btnOKClick();
        QVERIFY(!dialog.isVisible());
        QCOMPARE(dialog.result(), 1);
        QCOMPARE(dialog.newPin(), QStringLiteral("Abcd#123"));
    }

    void pinDialogQuestionLayoutAndOutsideClose()
    {
        MonitorWorld world;
        TUPinSetForm dialog;
        dialog.PromptMode = TUPinSetForm::kQuestionMode;
        dialog.setDefaultPinChecked(true);
        dialog.show();
        QCOMPARE(dialog.height(), 180);
        QCOMPARE(dialog.windowTitle(), Lang("P_MSGTitle"));
        QVERIFY(!child<QGroupBox>(dialog, "GroupBox1")->isVisible());
        QCOMPARE(child<QLabel>(dialog, "lmsg")->text(), Lang("K_DefaultUPINInfo"));
        QVERIFY(child<QPushButton>(dialog, "btn1")->isVisible());
        QCOMPARE(child<QPushButton>(dialog, "btn1")->text(), Lang("Btn_Yes"));
        QVERIFY(!child<QPushButton>(dialog, "btn2")->isVisible());
        QVERIFY(!child<QCheckBox>(dialog, "cbDefaultPIN")->isVisible());
        // Another program closes it through its class; the result is not 1.
        QVERIFY(whileProcessingEvents<bool>(
            [] { return SendSystemCommand(QString::fromLatin1(kPinDialogWindowClass), SC_CLOSE); }));
        QTRY_VERIFY(!dialog.isVisible());
        QCOMPARE(dialog.result(), 2);
        QVERIFY(dialog.defaultPinChecked());

        // A keyboard user answers with Return as well as with Space.
        for (const Qt::Key key : {Qt::Key_Return, Qt::Key_Space}) {
            TUPinSetForm question;
            question.PromptMode = TUPinSetForm::kQuestionMode;
            question.show();
            auto* yes = child<QPushButton>(question, "btn1");
            yes->setFocus();
            QTest::keyClick(yes, key);
            QTRY_VERIFY(!question.isVisible());
            QCOMPARE(question.result(), 1);
        }
    }

    void defaultPinPromptLeadsToTheChange()
    {
        MonitorWorld world;
        RecordingPresenter messages;
        QVERIFY(world.keysim({"create", "--serial", "KXA"}));
        world.writeConfig(TUserConfigInfo());
        TMainForm window;
        QVERIFY(started(window));
        window.timer("TCheckDefaultUPIN")->stop();
        DialogScript<TUPinSetForm> script({
            [&](TUPinSetForm& dialog) {
                QCOMPARE(dialog.PromptMode, TUPinSetForm::kQuestionMode);
                QVERIFY(window.DefaultPINPromptActive());
                window.AcAdvancedExecute(); // the settings stay shut during the prompt
                QVERIFY(!window.configDialog());
                child<QPushButton>(dialog, "btn1")->click();
            },
            [&](TUPinSetForm& dialog) {
                QVERIFY(dialog.PromptMode != TUPinSetForm::kQuestionMode);
                fillPins(dialog, QStringLiteral("1234567x"), QStringLiteral("Abcd#1234"), QStringLiteral("Abcd#1234"));
                dialog.btnOKClick();
            },
            [&](TUPinSetForm& dialog) {
                fillPins(dialog, QStringLiteral("12345678"), QStringLiteral("Abcd#1234"), QStringLiteral("Abcd#1234"));
                dialog.btnOKClick();
            },
        });
        window.CheckDefaultPIN();
        QVERIFY(remindersDone(window));
        QCOMPARE(script.opened, 3);
        QCOMPARE(messages.messages, (QStringList{FormatInt(Lang("K_OldCheck"), 5), Lang("K_Set_Yes")}));
        QVERIFY(!window.DefaultPINPromptActive());
        QCOMPARE(world.readConfig().DefaultPINMode, 1);
        // The PIN is no longer the default: the next check leads to the periodic check only.
        window.CheckDefaultPIN();
        QVERIFY(remindersDone(window));
        QCOMPARE(script.opened, 3);
    }

    void periodicReminder()
    {
        MonitorWorld world;
        RecordingPresenter messages;
        world.folders.context().setClock([] { return QDateTime(kToday, QTime(10, 0)); });
        QVERIFY(world.keysim({"create", "--serial", "KXA"}));
        QVERIFY(
            MonitorWorld::changePin(QStringLiteral("KXA"), QStringLiteral("12345678"), QStringLiteral("Abcd#1234")));
        TUserConfigInfo config;
        config.CycleSetPIN = 90;
        world.writeConfig(config);
        TMainForm window;
        QVERIFY(started(window));
        window.timer("TCheckDefaultUPIN")->stop();
        DialogScript<TUPinSetForm> none({});

        // An empty LastDay is only scheduled.
        window.CheckDefaultPIN();
        QVERIFY(remindersDone(window));
        QCOMPARE(none.opened, 0);
        QCOMPARE(world.readConfig().LastDay, QStringLiteral("20270830"));
        QVERIFY(messages.messages.isEmpty());

        // Due today: the change dialog with its red line, again after a wrong old PIN.
        window.userConfig().LastDay = QStringLiteral("20270601");
        const QString overdue = QStringLiteral("口令已有90天未修改，请进行修改");
        auto checkLine = [&](TUPinSetForm& dialog) {
            QVERIFY(child<QLabel>(dialog, "L7")->isVisible());
            QCOMPARE(child<QLabel>(dialog, "L7")->text(), overdue);
        };
        DialogScript<TUPinSetForm> script({
            [&](TUPinSetForm& dialog) {
                checkLine(dialog);
                fillPins(dialog, QStringLiteral("Wrong#123"), QStringLiteral("Newp#5678"), QStringLiteral("Newp#5678"));
                dialog.btnOKClick();
            },
            [&](TUPinSetForm& dialog) {
                checkLine(dialog);
                fillPins(dialog, QStringLiteral("Abcd#1234"), QStringLiteral("Newp#5678"), QStringLiteral("Newp#5678"));
                dialog.btnOKClick();
            },
        });
        window.CheckDefaultPIN();
        QVERIFY(remindersDone(window));
        QCOMPARE(script.opened, 2);
        QCOMPARE(messages.messages, (QStringList{FormatInt(Lang("K_OldCheck"), 5), Lang("K_Set_Yes")}));
        QVERIFY(!window.CycleReminderActive());
        QCOMPARE(world.readConfig().LastDay, QStringLiteral("20270830"));
    }

    // A key pulled before the old PIN is checked is reported missing, without tries, and the
    // dialog is not offered again as it is after a wrong PIN.
    void pulledKeyIsNotAWrongOldPin()
    {
        MonitorWorld world;
        RecordingPresenter messages;
        QVERIFY(world.keysim({"create", "--serial", "KXA"}));
        world.writeConfig(TUserConfigInfo());
        TMainForm window;
        QVERIFY(started(window));
        window.timer("TCheckDefaultUPIN")->stop();
        bool reopened = false;
        DialogScript<TUPinSetForm> script({
            [&](TUPinSetForm& dialog) { child<QPushButton>(dialog, "btn1")->click(); },
            [&](TUPinSetForm& dialog) {
                fillPins(dialog, QStringLiteral("12345678"), QStringLiteral("Abcd#1234"), QStringLiteral("Abcd#1234"));
                QVERIFY(world.keysim({"pull", "KXA"}));
                dialog.btnOKClick();
            },
            [&](TUPinSetForm& dialog) {
                reopened = true;
                dialog.done(2);
            },
        });
        window.CheckDefaultPIN();
        QVERIFY(remindersDone(window));
        QVERIFY(!reopened);
        QCOMPARE(messages.messages, QStringList{Lang("K_Find_Error")});
    }

    void lockedKeyAndSwitchedOffReminders()
    {
        MonitorWorld world;
        RecordingPresenter messages;
        QVERIFY(world.keysim({"create", "--serial", "KXA"}));
        QVERIFY(world.keysim({"set", "KXA", "--user-retries", "0"}));
        world.writeConfig(TUserConfigInfo());
        TMainForm window;
        QVERIFY(started(window));
        window.timer("TCheckDefaultUPIN")->stop();
        DialogScript<TUPinSetForm> none({});
        window.CheckDefaultPIN();
        QVERIFY(remindersDone(window));
        QCOMPARE(messages.messages, QStringList{Lang("K_Dead")});
        window.userConfig().DefaultPINMode = 0;
        window.CheckDefaultPIN();
        QVERIFY(remindersDone(window));
        QCOMPARE(messages.messages.size(), 1);
        QCOMPARE(none.opened, 0);
    }

    void removalClosesTheOpenDialogs()
    {
        MonitorWorld world;
        RecordingPresenter messages;
        QVERIFY(world.keysim({"create", "--serial", "KXA"}));
        TUserConfigInfo config;
        config.URL = QStringLiteral("http://kept.example/");
        world.writeConfig(config);
        TMainForm window;
        QVERIFY(started(window));
        // The default-PIN question comes up by itself; pulling the key ends it.
        DialogScript<TUPinSetForm> script({
            [&](TUPinSetForm&) {
                QVERIFY(world.keysim({"pull", "KXA"}));
            },
            [&](TUPinSetForm& dialog) { dialog.done(2); },
        });
        QTRY_COMPARE_WITH_TIMEOUT(script.opened, 1, 3000);
        QTRY_VERIFY_WITH_TIMEOUT(!window.pinDialog() && !window.DefaultPINPromptActive(), 5000);
        QCOMPARE(script.opened, 1);
        QCOMPARE(window.KeyCount(), 0);

        QVERIFY(world.keysim({"plug", "KXA"}));
        QTRY_COMPARE_WITH_TIMEOUT(window.KeyCount(), 1, 5000);
        window.timer("TCheckDefaultUPIN")->stop();
        DialogScript<TProjectConfigForm> settings({
            [&](TProjectConfigForm& dialog) {
                child<QLineEdit>(dialog, "edtURL")->setText(QStringLiteral("http://changed.example/"));
                QVERIFY(world.keysim({"pull", "KXA"}));
            },
        });
        window.AcAdvancedExecute();
        QCOMPARE(settings.opened, 1);
        QCOMPARE(world.readConfig().URL, QStringLiteral("http://kept.example/"));
        QVERIFY(messages.messages.isEmpty());
    }

    // The settings dialog speaks the language in use throughout, in the windows' font. The second
    // browser choice names the program it starts, x-www-browser, in both languages.
    void settingsSpeakTheLanguage()
    {
        MonitorWorld world;
        const QRegularExpression chinese(QStringLiteral("[\\x{3000}-\\x{303f}\\x{4e00}-\\x{9fff}\\x{ff00}-\\x{ffef}]"));
        for (const char* file : {"EN_1033.lng", "CN_2052.lng"}) {
            QCOMPARE(LoadLanguageFile(QStringLiteral(KX_LANGUAGES_DIR "/") + QLatin1String(file)), 0);
            TProjectConfigForm dialog;
            dialog.show();
            QVERIFY(child<QRadioButton>(dialog, "rb2")->text().contains(QStringLiteral("x-www-browser")));
            QCOMPARE(dialog.font().family(), WindowFont().family());
            QCOMPARE(dialog.font().pointSizeF(), WindowFont().pointSizeF());
            if (QLatin1String(file) != QLatin1String("EN_1033.lng")) {
                continue;
            }
            QCOMPARE(child<QRadioButton>(dialog, "rb2")->text(), QStringLiteral("System web browser (x-www-browser)"));
            QStringList texts{dialog.windowTitle(), child<QGroupBox>(dialog, "GroupBox1")->title()};
            for (const QAbstractButton* button : dialog.findChildren<QAbstractButton*>()) {
                texts.append(button->text());
            }
            for (const QLabel* label : dialog.findChildren<QLabel*>()) {
                texts.append(label->text());
            }
            for (const QString& text : texts) {
                QVERIFY2(!text.contains(chinese), qPrintable(text));
            }
        }
    }

    void settingsShowAndSave()
    {
        MonitorWorld world;
        RecordingPresenter messages;
        world.writeConfig(TUserConfigInfo()); // CertDay 0, CertTips 0
        const QString urlNull = Lang("S_URLNull");
        TMainForm window;
        QVERIFY(started(window));
        DialogScript<TProjectConfigForm> script({
            [&](TProjectConfigForm& dialog) {
                QCOMPARE(child<QSpinBox>(dialog, "edtCertDay")->value(), 30);
                QVERIFY(!child<QSpinBox>(dialog, "edtCertDay")->isEnabled());
                QVERIFY(!child<QLineEdit>(dialog, "edtURL")->isEnabled());
                QVERIFY(!child<QCheckBox>(dialog, "cbDefaultPIN")->isEnabled());
                QVERIFY(child<QCheckBox>(dialog, "cbDefaultPIN")->isChecked());
                QVERIFY(child<QCheckBox>(dialog, "cbDesktopReg")->isChecked());
                // One colon after the label: the Chinese text brings its own full-width one.
                for (const char* box : {"cbOpenURL", "cbCertDay"}) {
                    const QString label = child<QCheckBox>(dialog, box)->text();
                    QVERIFY2(label.count(QLatin1Char(':')) + label.count(QChar(0xFF1A)) == 1, qPrintable(label));
                    QVERIFY2(label.endsWith(QLatin1Char(':')) || label.endsWith(QChar(0xFF1A)), qPrintable(label));
                }
                QCOMPARE(child<QComboBox>(dialog, "cbLanguageID")->count(), 2);
                QCOMPARE(child<QComboBox>(dialog, "cbLanguageID")->currentIndex(), 0);
                // A second menu click only raises the open dialog.
                window.AcAdvancedExecute();
                QCOMPARE(window.findChildren<TProjectConfigForm*>().size(), 1);
                // Blanks only, with the box ticked, are accepted and stored as an empty address.
                child<QCheckBox>(dialog, "cbOpenURL")->click();
                child<QLineEdit>(dialog, "edtURL")->setText(QStringLiteral("   "));
                dialog.btnSaveClick();
            },
            [&](TProjectConfigForm& dialog) {
                // An empty address is refused and the dialog stays; unticking empties it.
                child<QLineEdit>(dialog, "edtURL")->clear();
                dialog.btnSaveClick();
                QVERIFY(dialog.isVisible());
                child<QLineEdit>(dialog, "edtURL")->setText(QStringLiteral("http://gone.example/"));
                child<QCheckBox>(dialog, "cbOpenURL")->click();
                QVERIFY(!child<QLineEdit>(dialog, "edtURL")->isEnabled());
                child<QComboBox>(dialog, "cbLanguageID")->setCurrentIndex(1);
                // The desktop registration switched off.
                child<QCheckBox>(dialog, "cbDesktopReg")->click();
                dialog.btnSaveClick();
            },
            [&](TProjectConfigForm& dialog) {
                QVERIFY(!child<QCheckBox>(dialog, "cbDesktopReg")->isChecked());
                child<QCheckBox>(dialog, "cbCertDay")->click();
                child<QPushButton>(dialog, "Button1")->click();
            },
        });
        window.AcAdvancedExecute();
        TUserConfigInfo saved = world.readConfig();
        QCOMPARE(saved.CertDay, 30);
        QCOMPARE(saved.URLOpenMode, 1);
        QCOMPARE(saved.URL, QString());
        QCOMPARE(saved.DesktopRegistration, 1);
        QVERIFY(DesktopRegistration::instance().settings().enabled);
        QCOMPARE(messages.messages, QStringList{QStringLiteral("保存成功")});
        QVERIFY(
            !QFile::exists(world.folders.path(QStringLiteral("registry/HKEY_CURRENT_USER.ini"))) ||
            TestFolders::read(world.folders.path(QStringLiteral("registry/HKEY_CURRENT_USER.ini"))).contains("2052"));

        messages.messages.clear();
        window.AcAdvancedExecute();
        saved = world.readConfig();
        QCOMPARE(saved.URLOpenMode, 0);
        QCOMPARE(saved.URL, QString());
        QCOMPARE(saved.LanguageID, 1033);
        // Off from now on: nothing more reaches NSS or p11-kit.
        QCOMPARE(saved.DesktopRegistration, 0);
        QVERIFY(!DesktopRegistration::instance().settings().enabled);
        // The notice still speaks the old language; afterwards every text is English.
        QCOMPARE(messages.messages, (QStringList{urlNull, QStringLiteral("保存成功")}));
        QCOMPARE(window.action("AcExit")->text(), QStringLiteral("Exit"));
        QVERIFY(
            TestFolders::read(world.folders.path(QStringLiteral("registry/HKEY_CURRENT_USER.ini"))).contains("1033"));

        // Cancel writes nothing.
        const QByteArray before = TestFolders::read(world.configPath());
        messages.messages.clear();
        window.AcAdvancedExecute();
        QCOMPARE(TestFolders::read(world.configPath()), before);
        QVERIFY(messages.messages.isEmpty());
        QCOMPARE(script.opened, 3);

        // The registry cannot be written: saving says it failed, and the language stays.
        const QString registry = world.folders.path(QStringLiteral("registry/HKEY_CURRENT_USER.ini"));
        QVERIFY(QFile::remove(registry));
        QVERIFY(QDir().mkpath(registry + QStringLiteral("/in-the-way")));
        DialogScript<TProjectConfigForm> blocked({
            [&](TProjectConfigForm& dialog) {
                child<QComboBox>(dialog, "cbLanguageID")->setCurrentIndex(0);
                dialog.btnSaveClick();
            },
        });
        window.AcAdvancedExecute();
        QCOMPARE(blocked.opened, 1);
        QCOMPARE(messages.messages, QStringList{Lang("S_Save_No")});
        QCOMPARE(window.action("AcExit")->text(), QStringLiteral("Exit"));
    }

    // One settings flow at a time, until its success notice is gone; a day count typed beyond
    // the range is saved as the nearer limit.
    void settingsFlowIsOneAtATime()
    {
        MonitorWorld world;
        world.writeConfig(TUserConfigInfo());
        MenuAgainPresenter messages;
        TMainForm window;
        QVERIFY(started(window));
        DialogScript<TProjectConfigForm> script({
            [&](TProjectConfigForm& dialog) {
                auto* days = child<QSpinBox>(dialog, "edtCertDay");
                child<QCheckBox>(dialog, "cbCertDay")->click();
                for (const auto& [typed, kept] : {std::pair{"400", 365}, std::pair{"7", 30}, std::pair{"120", 120}}) {
                    days->selectAll();
                    QTest::keyClicks(days, QString::fromLatin1(typed));
                    days->interpretText();
                    QCOMPARE(days->value(), kept);
                }
                days->selectAll();
                QTest::keyClicks(days, QStringLiteral("366"));
                child<QComboBox>(dialog, "cbLanguageID")->setCurrentIndex(1);
                dialog.btnSaveClick();
            },
            [&](TProjectConfigForm& dialog) { dialog.reject(); }, // a second flow, which must not come
        });
        messages.onSaved = [&] {
            QVERIFY(window.configDialog());
            window.AcAdvancedExecute();
        };
        window.AcAdvancedExecute();
        QCOMPARE(script.opened, 1);
        QCOMPARE(messages.messages, QStringList{QStringLiteral("保存成功")});
        const TUserConfigInfo saved = world.readConfig();
        QCOMPARE(saved.CertDay, 365);
        QCOMPARE(saved.LanguageID, 1033);
        QCOMPARE(window.action("AcExit")->text(), QStringLiteral("Exit"));
        QVERIFY(!window.configDialog());
        QVERIFY(window.findChildren<TProjectConfigForm*>().isEmpty());
    }
};

QTEST_MAIN(MonitorDialogsTest)
#include "MonitorDialogsTest.moc"
