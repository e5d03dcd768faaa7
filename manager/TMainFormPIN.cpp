// SPDX-License-Identifier: Apache-2.0
// The user PIN page and the key name page of the main window.

#include "TMainForm.h"

#include "ui_TMainForm.h"

#include "common/AppContext.h"
#include "common/LanguageTexts.h"
#include "common/PINPolicy.h"
#include "common/SecretString.h"
#include "common/TextFormat.h"
#include "common/widgets/MessageBox.h"
#include "common/widgets/SecretField.h"
#include "common/widgets/ShowPINStrength.h"
#include "token/TokenWrappers.h"

#include <QAction>
#include <cstring>

namespace kx {

namespace {

constexpr int kMaxLabelBytes = 31;

} // namespace

void TMainForm::AcSetUserPINExecute()
{
    const int k = CurrentKeyIndex;
    if (!keyIndexValid(k)) {
        return;
    }
    const TR7Info& info = keyInfo(k);
    // 1. and 2. Only initialised keys whose PIN is not locked.
    if (!refuseUnusableKey(k)) {
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
    token_logout(k);
    LoginState[static_cast<std::size_t>(k)] = 1;
    int retriesLeft = -1;
    if (const int checked = token_login(k, oldPin.text(), retriesLeft); checked != 0) {
        reportLoginFailure(checked, retriesLeft, true);
        return;
    }
    token_logout(k);
    LoginState[static_cast<std::size_t>(k)] = 1;
    // 9. The change.
    const int changed = token_change_upin(k, oldPin.text(), newPin.text());
    if (changed == 0) {
        RecordPINChange(m_userConfigPath, m_userConfig, AppContext::current().today());
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
        reportLoginFailure(again, retriesLeft, true);
    }
}

void TMainForm::AcSetUserPINUpdate()
{
    const int minimum = keyIndexValid(CurrentKeyIndex) ? keyInfo(CurrentKeyIndex).minPinLen : 0;
    const bool filled = m_ui->edtOldUPin->text().size() >= minimum && m_ui->edtNewUPin1->text().size() >= minimum &&
                        m_ui->edtNewUPin2->text().size() >= minimum;
    action("AcSetUserPIN")->setEnabled(filled);
}

void TMainForm::AcSetKeyNameExecute()
{
    const int k = CurrentKeyIndex;
    if (!keyIndexValid(k)) {
        return;
    }
    token_get_pin_state(k, 1, m_pinState);
    if (m_pinState.values[4] == 1) {
        InfoBox(this, Lang("K_Dead"));
        return;
    }
    const QString label = m_ui->edtKeyName->text().trimmed();
    const QByteArray utf8 = label.toUtf8();
    if (utf8.size() > kMaxLabelBytes) {
        m_ui->edtKeyName->setFocus();
        InfoBox(this, Lang("K_Len_Error"));
        return;
    }
    if (token_set_label(k, label) != 0) {
        InfoBox(this, Lang("K_Set_No"));
        return;
    }
    TR7Info& info = (*m_keyTable)[static_cast<std::size_t>(k)];
    info.label.fill('\0');
    std::memcpy(info.label.data(), utf8.constData(), static_cast<std::size_t>(utf8.size()));
    if (QTreeWidgetItem* node = keyNode(k)) {
        node->setText(0, label);
    }
    InfoBox(this, Lang("K_Set_Yes"));
}

void TMainForm::AcSetKeyNameUpdate()
{
    action("AcSetKeyName")->setEnabled(!m_ui->edtKeyName->text().isEmpty());
}

} // namespace kx
