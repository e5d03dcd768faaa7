// SPDX-License-Identifier: Apache-2.0
#include "UserPinPage.h"

#include "ActionBinding.h"
#include "FieldLabel.h"
#include "KeyMessages.h"
#include "KeySession.h"
#include "ui_UserPinPage.h"

#include "common/AppContext.h"
#include "common/LanguageTexts.h"
#include "common/PINPolicy.h"
#include "common/SecretString.h"
#include "common/TextFormat.h"
#include "common/widgets/MessageBox.h"
#include "common/widgets/SecretField.h"
#include "common/widgets/ShowPINStrength.h"
#include "token/TokenWrappers.h"

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
}

void UserPinPage::AcSetUserPINExecute()
{
    const int k = m_session.CurrentKeyIndex();
    if (!m_session.keyIndexValid(k)) {
        return;
    }
    const TR7Info& info = m_session.keyInfo(k);
    // 1. and 2. Only initialised keys whose PIN is not locked.
    if (!RefuseUnusableKey(this, m_session, k)) {
        return;
    }
    // 3. to 5. The new PIN against its confirmation, the key's length limits and the policy.
    const SecretString oldPin(m_ui->edtOldUPin->text());
    const SecretString newPin(m_ui->edtNewUPin1->text());
    if (newPin.text() != m_ui->edtNewUPin2->text()) {
        InfoBox(this, Lang("S_PIN_equal"));
        return;
    }
    const QString lengthMessage =
        QStringLiteral("%1(%2--%3)").arg(Lang("UPIN_E2")).arg(info.minPinLen).arg(info.maxPinLen);
    if (newPin.text().size() < info.minPinLen || newPin.text().size() > info.maxPinLen) {
        InfoBox(this, lengthMessage);
        return;
    }
    if (PINStrength(newPin.text()) < 3) {
        InfoBox(this, PINPolicyText());
        return;
    }
    // An empty old PIN is never sent to the key: the check would cost a try.
    if (oldPin.isEmpty()) {
        InfoBox(this, lengthMessage);
        return;
    }
    // 6. to 8. The old PIN is checked by a login, then the key is logged out again.
    int retriesLeft = -1;
    if (const int checked = m_session.checkPin(k, oldPin.text(), retriesLeft); checked != 0) {
        ReportLoginFailure(this, checked, retriesLeft, true);
        return;
    }
    // 9. The change.
    const int changed = token_change_upin(k, oldPin.text(), newPin.text());
    if (changed == 0) {
        RecordPINChange(m_session.userConfigPath(), m_session.userConfig(), AppContext::current().today());
        InfoBox(this, Lang("K_Set_Yes"));
        ClearSecretField(m_ui->edtOldUPin);
        ClearSecretField(m_ui->edtNewUPin1);
        ClearSecretField(m_ui->edtNewUPin2);
        return;
    }
    // 11. A failed change is reported by what a login with the old PIN says now.
    retriesLeft = -1;
    if (const int again = token_login(k, oldPin.text(), retriesLeft); again == 0) {
        InfoBox(this, Lang("K_Set_No") + Lang("K_ErrorCODE_Str") + QStringLiteral(" = 0x") +
                          HexCode(static_cast<std::uint32_t>(changed)));
    } else {
        ReportLoginFailure(this, again, retriesLeft, true);
    }
}

void UserPinPage::AcSetUserPINUpdate()
{
    const int k = m_session.CurrentKeyIndex();
    const int minimum = m_session.keyIndexValid(k) ? m_session.keyInfo(k).minPinLen : 0;
    const bool filled = m_ui->edtOldUPin->text().size() >= minimum && m_ui->edtNewUPin1->text().size() >= minimum &&
                        m_ui->edtNewUPin2->text().size() >= minimum;
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
