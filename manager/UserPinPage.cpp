// SPDX-License-Identifier: Apache-2.0
#include "UserPinPage.h"

#include "ActionBinding.h"
#include "KeyMessages.h"
#include "KeySession.h"
#include "ui_UserPinPage.h"

#include "common/AppContext.h"
#include "common/FieldLabel.h"
#include "common/LanguageTexts.h"
#include "common/PINPolicy.h"
#include "common/TextFormat.h"
#include "common/widgets/MessageBox.h"
#include "common/widgets/SecretField.h"
#include "common/widgets/ShowPINStrength.h"
#include "keyservice/PinJobs.h"

#include <QHideEvent>
#include <QKeyEvent>

namespace kx {

UserPinPage::UserPinPage(KeySession& session, QWidget* parent)
    : QWidget(parent), m_ui(std::make_unique<Ui::UserPinPage>()), m_session(session)
{
    m_ui->setupUi(this);
    MakeAction(this, "AcSetUserPIN", &UserPinPage::AcSetUserPINExecute, m_ui->btnSetUPIN);
    for (QLineEdit* edit : {m_ui->edtOldUPin, m_ui->edtNewUPin1, m_ui->edtNewUPin2}) {
        connect(edit, &QLineEdit::textChanged, this, &UserPinPage::AcSetUserPINUpdate);
    }
    connect(m_ui->edtNewUPin1, &QLineEdit::textChanged, this,
            [this](const QString& text) { ShowPINStrength(m_ui->PStrength_UPIN, text); });
    m_ui->edtNewUPin2->installEventFilter(this);
    connect(&m_session, &KeySession::keyBusyChanged, this, &UserPinPage::AcSetUserPINUpdate);
    // PINs typed for one key are never offered to another.
    connect(&m_session, &KeySession::selectedKeyChanged, this, &UserPinPage::clearFields);
    connect(&m_session, &KeySession::keysCleared, this, &UserPinPage::clearFields);
    ClearPINStrength(m_ui->PStrength_UPIN);
    ApplyTexts();
    AcSetUserPINUpdate();
}

UserPinPage::~UserPinPage() = default;

void UserPinPage::ApplyTexts()
{
    findChild<QAction*>(QStringLiteral("AcSetUserPIN"))->setText(Lang("C_btn_Set"));
    m_ui->Label2->setText(WithColon(Lang("UPINSet_Form_OldPIN")));
    m_ui->Label3->setText(WithColon(Lang("UPINSet_Form_NewPIN1")));
    m_ui->Label4->setText(WithColon(Lang("UPINSet_Form_NewPIN2")));
    // Screen readers name each field after its label.
    m_ui->Label2->setBuddy(m_ui->edtOldUPin);
    m_ui->Label3->setBuddy(m_ui->edtNewUPin1);
    m_ui->Label4->setBuddy(m_ui->edtNewUPin2);
}

void UserPinPage::AcSetUserPINExecute()
{
    const int k = m_session.CurrentKeyIndex();
    // One change at a time: pressed twice, the second would check the old PIN against a key
    // that may have the new one already, and cost a try.
    if (!m_session.keyIndexValid(k) || m_pending) {
        return;
    }
    // 1. Only initialised keys.
    if (!RefuseUninitialisedKey(this, m_session, k)) {
        return;
    }
    // The PINs as typed now go to this key, whatever happens on the page meanwhile.
    const SharedSecret oldPin = MakeSecret(m_ui->edtOldUPin->text());
    const SharedSecret newPin = MakeSecret(m_ui->edtNewUPin1->text());
    const SharedSecret confirmation = MakeSecret(m_ui->edtNewUPin2->text());
    const QByteArray key = m_session.service().keyId(k);
    // 2. A locked PIN is refused before any field is looked at.
    m_pending = m_session.service().runOn<PinStateOutcome>(
        key, QStringLiteral("K_Wait_Info"), [](KeyCall& call) { return ReadPinState(call); }, this,
        [this, key, oldPin, newPin, confirmation](PinStateOutcome& pin, int keyIndex) {
            m_pending = false;
            if (keyIndex < 0) {
                InfoBox(this, Lang("K_Find_Error"));
                return;
            }
            if (pin.state.values[4] == 1) {
                InfoBox(this, Lang("K_Dead"));
                return;
            }
            checkAndChange(key, oldPin, newPin, confirmation);
        });
    AcSetUserPINUpdate();
}

void UserPinPage::checkAndChange(const QByteArray& key, const SharedSecret& oldPin, const SharedSecret& newPin,
                                 const SharedSecret& confirmation)
{
    const int k = m_session.service().indexOf(key);
    if (k < 0) {
        return;
    }
    const TR7Info& info = m_session.keyInfo(k);
    // 3. to 5. The new PIN against its confirmation, the key's length limits and the policy.
    if (newPin->text() != confirmation->text()) {
        InfoBox(this, Lang("S_PIN_equal"));
        return;
    }
    const QString lengthMessage =
        QStringLiteral("%1(%2--%3)").arg(Lang("UPIN_E2")).arg(info.minPinLen).arg(info.maxPinLen);
    if (newPin->text().size() < info.minPinLen || newPin->text().size() > info.maxPinLen) {
        InfoBox(this, lengthMessage);
        return;
    }
    if (PINStrength(newPin->text()) < 3) {
        InfoBox(this, PINPolicyText());
        return;
    }
    // An empty old PIN is never sent to the key: the check would cost a try.
    if (oldPin->isEmpty()) {
        InfoBox(this, lengthMessage);
        return;
    }
    // 6. to 9. The old PIN is checked by a login, the key logged out again, the PIN changed.
    m_session.setLoginState(k, KeySession::kLoggedOut);
    m_pending = m_session.service().runOn<PinChangeOutcome>(
        key, QStringLiteral("K_Wait_Pin"),
        [oldPin, newPin](KeyCall& call) { return ChangeKeyPin(call, oldPin, newPin, true); }, this,
        [this](PinChangeOutcome& outcome, int keyIndex) {
            m_pending = false;
            if (keyIndex >= 0) {
                m_session.setLoginState(keyIndex, KeySession::kLoggedOut);
            }
            switch (outcome.stage) {
            case PinChangeOutcome::Stage::OldPinRefused:
                // Each attempt is typed anew: a second press never spends another try.
                clearFields();
                ReportLoginFailure(this, outcome.result, outcome.retriesLeft, true);
                return;
            case PinChangeOutcome::Stage::ChangeFailed:
                clearFields();
                // No login with the old PIN to find out what happened: that would spend a try
                // when the change went through.
                ReportPinChangeFailure(this, outcome.result, outcome.retriesLeft);
                return;
            case PinChangeOutcome::Stage::Changed:
                RecordPINChange(m_session.userConfigPath(), m_session.userConfig(), AppContext::current().today());
                InfoBox(this, Lang("K_Set_Yes"));
                clearFields();
                return;
            }
        });
}

void UserPinPage::hideEvent(QHideEvent* event)
{
    // A window minimised keeps the page; another page chosen does not.
    if (!event->spontaneous()) {
        clearFields();
    }
    QWidget::hideEvent(event);
}

void UserPinPage::clearFields()
{
    ClearSecretField(m_ui->edtOldUPin);
    ClearSecretField(m_ui->edtNewUPin1);
    ClearSecretField(m_ui->edtNewUPin2);
    ClearPINStrength(m_ui->PStrength_UPIN);
}

void UserPinPage::AcSetUserPINUpdate()
{
    const int k = m_session.CurrentKeyIndex();
    const int minimum = m_session.keyIndexValid(k) ? m_session.keyInfo(k).minPinLen : 0;
    const bool filled = m_ui->edtOldUPin->text().size() >= minimum && m_ui->edtNewUPin1->text().size() >= minimum &&
                        m_ui->edtNewUPin2->text().size() >= minimum && !m_session.keyBusy(k);
    findChild<QAction*>(QStringLiteral("AcSetUserPIN"))->setEnabled(filled);
}

bool UserPinPage::eventFilter(QObject* watched, QEvent* event)
{
    if (watched == m_ui->edtNewUPin2 && event->type() == QEvent::KeyPress) {
        const auto* key = static_cast<QKeyEvent*>(event);
        if (key->key() == Qt::Key_Return || key->key() == Qt::Key_Enter) {
            AcSetUserPINExecute();
            return true;
        }
    }
    return QWidget::eventFilter(watched, event);
}

} // namespace kx
