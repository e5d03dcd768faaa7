// SPDX-License-Identifier: Apache-2.0
#include "LoginPage.h"

#include "ActionBinding.h"
#include "FieldLabel.h"
#include "KeyMessages.h"
#include "KeySession.h"
#include "WaitCursor.h"
#include "finger/TFingerVerifyForm.h"
#include "ui_LoginPage.h"

#include "common/LanguageTexts.h"
#include "common/SecretString.h"
#include "common/widgets/MessageBox.h"
#include "common/widgets/SecretField.h"

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
        m_ui->edtUPIN->setFocus();
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
}

void LoginPage::showFingerLogon()
{
    // A "W2F" product has no fingerprint logon.
    action("AcFingerlogon")
        ->setVisible(m_session.FingerSupported() && !window()->windowTitle().startsWith(QStringLiteral("W2F")));
}

void LoginPage::showKey(int keyIndex)
{
    m_ui->Lkeyname->setText(m_session.keyInfo(keyIndex).labelText());
    findChild<QTimer*>(QStringLiteral("TSetFocusUPIN"))->start();
}

void LoginPage::AcLoginExecute()
{
    const int k = m_session.CurrentKeyIndex();
    if (!m_session.keyIndexValid(k)) {
        return;
    }
    if (m_ui->edtUPIN->text().isEmpty()) {
        // An empty PIN is never sent to a key: it would cost a try. A key with a sensor logs in
        // by finger instead, exactly as its logon button does.
        if (m_session.FingerSupported() && action("AcFingerlogon")->isVisible() &&
            m_session.skf().KeyHasSensor(m_session.keyInfo(k).serialText().toLatin1())) {
            AcFingerlogonExecute();
        }
        return;
    }
    // The field is emptied by every attempt, so a PIN typed for one key never reaches another.
    const SecretString pin(m_ui->edtUPIN->text());
    ClearSecretField(m_ui->edtUPIN);
    if (!RefuseUnusableKey(this, m_session, k)) {
        return;
    }
    int retriesLeft = -1;
    int result = 0;
    {
        const WaitCursor wait;
        result = m_session.login(k, pin.text(), retriesLeft);
    }
    if (result == 0) {
        emit loggedIn(k);
    } else {
        ReportLoginFailure(this, result, retriesLeft, false);
    }
    AcLoginUpdate();
    AcFingerlogonUpdate();
}

void LoginPage::AcLoginUpdate()
{
    const int k = m_session.CurrentKeyIndex();
    const int minimum = m_session.keyIndexValid(k) ? m_session.keyInfo(k).minPinLen : 0;
    action("AcLogin")->setEnabled(m_ui->edtUPIN->text().size() >= minimum);
}

void LoginPage::AcCancelExecute()
{
    ClearSecretField(m_ui->edtUPIN);
}

void LoginPage::AcFingerlogonExecute()
{
    const int k = m_session.CurrentKeyIndex();
    if (!m_session.keyIndexValid(k)) {
        return;
    }
    Call_GMAPIs_Admin& skf = m_session.skf();
    // A key without a sensor would take the empty PIN of the finger logon as a wrong PIN.
    if (!skf.KeyHasSensor(m_session.keyInfo(k).serialText().toLatin1())) {
        InfoBox(this, Lang("P_SAR_FINGER_NOT_EXIST"));
        return;
    }
    m_session.readFingerInfo(SkfUserType);
    if (!FingerActionAllowed(this, skf.FingerInfo)) {
        return;
    }
    TFingerVerifyForm dialog(skf, m_pictures, k, skf.SkfAppHandle, skf.FingerUserType, this);
    dialog.setWindowTitle(Lang("P_FingerVerify"));
    dialog.exec();
    if (dialog.ResultCode != SAR_OK) {
        return;
    }
    m_session.readFingerInfo(SkfUserType);
    {
        const WaitCursor wait;
        m_session.fingerLoggedIn(k);
    }
    emit loggedIn(k);
}

void LoginPage::AcFingerlogonUpdate()
{
    action("AcFingerlogon")->setEnabled(m_session.UserFingerCount() > 0);
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
            m_ui->edtUPIN->setStyleSheet(QStringLiteral("background-color: rgb(255, 255, 0);"));
        } else if (event->type() == QEvent::FocusOut) {
            m_ui->edtUPIN->setStyleSheet(QString());
        }
    }
    return QWidget::eventFilter(watched, event);
}

} // namespace kx
