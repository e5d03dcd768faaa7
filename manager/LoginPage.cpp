// SPDX-License-Identifier: Apache-2.0
#include "LoginPage.h"

#include "ActionBinding.h"
#include "KeyMessages.h"
#include "KeySession.h"
#include "finger/FingerKeyAccess.h"
#include "finger/TFingerVerifyForm.h"
#include "ui_LoginPage.h"

#include "common/FieldLabel.h"
#include "common/LanguageTexts.h"
#include "common/SecretString.h"
#include "common/widgets/MessageBox.h"
#include "common/widgets/SecretField.h"
#include "keyservice/FingerJobs.h"
#include "keyservice/PinJobs.h"

#include <QHideEvent>
#include <QKeyEvent>
#include <QTimer>

namespace kx {

LoginPage::LoginPage(KeySession& session, const FingerPictures& pictures, QWidget* parent)
    : QWidget(parent), m_ui(std::make_unique<Ui::LoginPage>()), m_session(session), m_pictures(pictures)
{
    m_ui->setupUi(this);
    MakeAction(this, "AcLogin", &LoginPage::AcLoginExecute, m_ui->btnlogon);
    MakeAction(this, "AcCancel", &LoginPage::AcCancelExecute, m_ui->RzButton3);
    // The fingerprint logon is offered only on keys with a sensor.
    MakeAction(this, "AcFingerlogon", &LoginPage::AcFingerlogonExecute, nullptr)->setVisible(false);
    BindButtonToAction(m_ui->Button20, action("AcFingerlogon"));

    auto* focus = new QTimer(this);
    focus->setObjectName(QStringLiteral("TSetFocusUPIN"));
    focus->setInterval(100);
    connect(focus, &QTimer::timeout, this, [this, focus] {
        focus->stop();
        // Only while the login is still shown: a field on a page the user has left would take
        // the keyboard focus away from where it is now.
        if (m_ui->edtUPIN->isVisible()) {
            m_ui->edtUPIN->setFocus();
        }
    });

    connect(m_ui->edtUPIN, &QLineEdit::textChanged, this, [this](const QString& text) {
        m_ui->Label10->setText(QString::number(text.size()));
        AcLoginUpdate();
    });
    m_ui->edtUPIN->installEventFilter(this);
    m_ui->Label10->setText(QString::number(m_ui->edtUPIN->text().size()));

    // A PIN typed for one key is never offered to another, nor kept over a new key list.
    connect(&m_session, &KeySession::keysCleared, this, [this] { ClearSecretField(m_ui->edtUPIN); });
    connect(&m_session, &KeySession::selectedKeyChanged, this, [this] { ClearSecretField(m_ui->edtUPIN); });
    connect(&m_session, &KeySession::fingerSensorChecked, this, &LoginPage::showFingerLogon);
    connect(&m_session, &KeySession::fingerInfoRead, this, &LoginPage::AcFingerlogonUpdate);
    connect(&m_session, &KeySession::keyBusyChanged, this, [this] {
        AcLoginUpdate();
        AcFingerlogonUpdate();
    });
    ApplyTexts();
    AcLoginUpdate();
    AcFingerlogonUpdate();
}

LoginPage::~LoginPage() = default;

QAction* LoginPage::action(const char* name) const
{
    return findChild<QAction*>(QString::fromLatin1(name), Qt::FindDirectChildrenOnly);
}

void LoginPage::ApplyTexts()
{
    action("AcLogin")->setText(Lang("Login_Form_btn_OK"));
    action("AcCancel")->setText(Lang("C_Btn_Cancel"));
    action("AcFingerlogon")->setText(Lang("F_Logon"));
    m_ui->Label14->setText(WithColon(Lang("Login_Form_label_keyname")));
    m_ui->RzLabel1->setText(WithColon(Lang("Lonin_Form_lable_Key")));
    // Screen readers name each field after its label.
    m_ui->RzLabel1->setBuddy(m_ui->edtUPIN);
}

void LoginPage::showFingerLogon()
{
    // A "W2F" product has no fingerprint logon.
    action("AcFingerlogon")
        ->setVisible(m_session.FingerSupported() && !window()->windowTitle().startsWith(QStringLiteral("W2F")));
}

void LoginPage::showKey(int keyIndex, bool takeFocus)
{
    m_ui->Lkeyname->setText(m_session.keyInfo(keyIndex).labelText());
    if (takeFocus) {
        findChild<QTimer*>(QStringLiteral("TSetFocusUPIN"))->start();
    }
}

void LoginPage::AcLoginExecute()
{
    const int k = m_session.CurrentKeyIndex();
    // One login at a time: a second Enter while the key answers the first changes nothing.
    if (!m_session.keyIndexValid(k) || m_pending) {
        return;
    }
    if (m_ui->edtUPIN->text().isEmpty()) {
        // An empty PIN is never sent to a key: it would cost a try. A key with a sensor logs in
        // by finger instead, exactly as its logon button does.
        if (m_session.FingerSupported() && action("AcFingerlogon")->isVisible() && m_session.keyHasSensor(k)) {
            AcFingerlogonExecute();
        }
        return;
    }
    // The field is emptied by every attempt, so a PIN typed for one key never reaches another.
    const SharedSecret pin = MakeSecret(m_ui->edtUPIN->text());
    ClearSecretField(m_ui->edtUPIN);
    if (!RefuseUninitialisedKey(this, m_session, k)) {
        return;
    }
    m_session.setLoginState(k, KeySession::kLoggedOut);
    const bool skfLogin = m_session.FingerSupported() && m_session.keyHasSensor(k);
    m_pending = m_session.service().run<LoginOutcome>(
        k, QStringLiteral("K_Wait_Login"), [pin, skfLogin](KeyCall& key) { return LoginToKey(key, pin, skfLogin); },
        this,
        [this](LoginOutcome& outcome, int keyIndex) {
            m_pending = false;
            if (keyIndex < 0) {
                InfoBox(this, Lang("K_Find_Error"));
            } else if (outcome.locked) {
                InfoBox(this, Lang("K_Dead"));
            } else if (outcome.result != 0) {
                ReportLoginFailure(this, outcome.result, outcome.retriesLeft, false);
            } else {
                m_session.setLoginState(keyIndex, KeySession::kLoggedIn);
                // A write left unfinished that needed the login is settled now.
                m_session.settleJournal(keyIndex);
                Q_EMIT loggedIn(keyIndex);
            }
            AcLoginUpdate();
            AcFingerlogonUpdate();
        });
    AcLoginUpdate();
}

void LoginPage::hideEvent(QHideEvent* event)
{
    // A window minimised keeps the page; another page chosen does not.
    if (!event->spontaneous()) {
        ClearSecretField(m_ui->edtUPIN);
    }
    QWidget::hideEvent(event);
}

void LoginPage::AcLoginUpdate()
{
    const int k = m_session.CurrentKeyIndex();
    const int minimum = m_session.keyIndexValid(k) ? m_session.keyInfo(k).minPinLen : 0;
    action("AcLogin")->setEnabled(m_ui->edtUPIN->text().size() >= minimum && !m_session.keyBusy(k));
}

void LoginPage::AcCancelExecute()
{
    ClearSecretField(m_ui->edtUPIN);
}

void LoginPage::AcFingerlogonExecute()
{
    const int k = m_session.CurrentKeyIndex();
    if (!m_session.keyIndexValid(k) || m_pending) {
        return;
    }
    // A key without a sensor would take the empty PIN of the finger logon as a wrong PIN.
    if (!m_session.keyHasSensor(k)) {
        InfoBox(this, Lang("P_SAR_FINGER_NOT_EXIST"));
        return;
    }
    // The fingers are read first: a locked or empty sensor opens no dialog.
    const QByteArray key = m_session.service().keyId(k);
    m_pending = m_session.service().runOn<FingerRead>(
        key, QStringLiteral("K_Wait_Info"), [](KeyCall& call) { return ReadFingers(call, SkfUserType); }, this,
        [this, key](FingerRead& read, int keyIndex) {
            m_pending = false;
            if (keyIndex < 0) {
                InfoBox(this, Lang("K_Find_Error"));
                return;
            }
            if (keyIndex == m_session.CurrentKeyIndex()) {
                m_session.setFingerInfo(SkfUserType, read.info);
            }
            if (!FingerActionAllowed(this, read.info)) {
                return;
            }
            verifyFinger(key);
        });
}

void LoginPage::verifyFinger(const QByteArray& key)
{
    const int k = m_session.service().indexOf(key);
    if (k < 0) {
        return;
    }
    TFingerVerifyForm dialog(std::make_shared<ServiceFingerKey>(m_session.service(), key), m_pictures, SkfUserType,
                             this);
    dialog.setWindowTitle(Lang("P_FingerVerify"));
    m_pending = true;
    dialog.exec();
    m_pending = false;
    // The key may have left while the dialog was open.
    const int keyIndex = m_session.service().indexOf(key);
    if (dialog.ResultCode != SAR_OK || keyIndex < 0) {
        return;
    }
    m_session.setLoginState(keyIndex, KeySession::kLoggedIn);
    m_session.readFingerInfo(SkfUserType);
    m_session.settleJournal(keyIndex);
    Q_EMIT loggedIn(keyIndex);
}

void LoginPage::AcFingerlogonUpdate()
{
    action("AcFingerlogon")
        ->setEnabled(m_session.UserFingerCount() > 0 && !m_session.keyBusy(m_session.CurrentKeyIndex()));
}

bool LoginPage::eventFilter(QObject* watched, QEvent* event)
{
    if (watched == m_ui->edtUPIN) {
        if (event->type() == QEvent::KeyPress) {
            const auto* key = static_cast<QKeyEvent*>(event);
            if (key->key() == Qt::Key_Return || key->key() == Qt::Key_Enter) {
                AcLoginExecute(); // Enter tries the login even while the button is disabled
                return true;
            }
        } else if (event->type() == QEvent::FocusIn) {
            // Yellow while the PIN is typed, with dark text whatever the theme's text colour (a
            // dark theme's light text is unreadable on yellow).
            m_ui->edtUPIN->setStyleSheet(QStringLiteral("background-color: rgb(255, 255, 0); color: black;"));
        } else if (event->type() == QEvent::FocusOut) {
            m_ui->edtUPIN->setStyleSheet(QString());
        }
    }
    return QWidget::eventFilter(watched, event);
}

} // namespace kx
