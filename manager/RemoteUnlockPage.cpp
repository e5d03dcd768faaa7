// SPDX-License-Identifier: Apache-2.0
#include "RemoteUnlockPage.h"

#include "ActionBinding.h"
#include "KeyMessages.h"
#include "KeySession.h"
#include "ui_RemoteUnlockPage.h"

#include "drivers/drevmor/drevmor.h"

#include "common/AppContext.h"
#include "common/FieldLabel.h"
#include "common/LanguageTexts.h"
#include "common/PINPolicy.h"
#include "common/TextConversions.h"
#include "common/TextFormat.h"
#include "common/UiLanguage.h"
#include "common/UserConfig.h"
#include "common/widgets/MessageBox.h"
#include "common/widgets/SecretField.h"
#include "common/widgets/ShowPINStrength.h"
#include "keyservice/FingerJobs.h"
#include "token/LoginFailure.h"

#include <algorithm>

namespace kx {

namespace {} // namespace

RemoteUnlockPage::RemoteUnlockPage(KeySession& session, QWidget* parent)
    : QWidget(parent), m_ui(std::make_unique<Ui::RemoteUnlockPage>()), m_session(session)
{
    m_ui->setupUi(this);
    MakeAction(this, "AcRequest", &RemoteUnlockPage::AcRequestExecute, m_ui->btnRequest);
    MakeAction(this, "AcRemoteUnLock", &RemoteUnlockPage::AcRemoteUnLockExecute, m_ui->btnRemoteUnlock);
    m_ui->edtNewUPin_RM->setMaxLength(16);
    // An unlock code holds no tabs: Tab leaves the field, as in every other field of the page.
    m_ui->edtUnlockCode->setTabChangesFocus(true);
    connect(m_ui->edtUnlockCode, &QPlainTextEdit::textChanged, this, &RemoteUnlockPage::AcRemoteUnLockUpdate);
    for (QLineEdit* edit : {m_ui->edtNewUPin_RM, m_ui->edtNewUPin1_RM, m_ui->edtNewUPin2_RM}) {
        connect(edit, &QLineEdit::textChanged, this, &RemoteUnlockPage::AcRemoteUnLockUpdate);
    }
    connect(m_ui->edtNewUPin1_RM, &QLineEdit::textChanged, this,
            [this](const QString& text) { ShowPINStrength(m_ui->PStrength_UPIN_RM, text); });
    ClearPINStrength(m_ui->PStrength_UPIN_RM);
    ApplyTexts();
    connect(&m_session, &KeySession::keyBusyChanged, this, &RemoteUnlockPage::AcRemoteUnLockUpdate);
    // PINs and codes typed for one key are never offered to another.
    connect(&m_session, &KeySession::selectedKeyChanged, this, &RemoteUnlockPage::clearFields);
    connect(&m_session, &KeySession::keysCleared, this, &RemoteUnlockPage::clearFields);
    AcRemoteUnLockUpdate();
}

RemoteUnlockPage::~RemoteUnlockPage() = default;

void RemoteUnlockPage::hideEvent(QHideEvent* event)
{
    // A window minimised keeps the page; another page chosen does not.
    if (!event->spontaneous()) {
        clearFields();
    }
    QWidget::hideEvent(event);
}

void RemoteUnlockPage::clearFields()
{
    ClearSecretField(m_ui->edtNewUPin_RM);
    ClearSecretField(m_ui->edtNewUPin1_RM);
    ClearSecretField(m_ui->edtNewUPin2_RM);
    m_ui->edtUnlockCode->clear();
    m_ui->edtRequestStr->clear();
    ClearPINStrength(m_ui->PStrength_UPIN_RM);
}

void RemoteUnlockPage::ApplyTexts()
{
    findChild<QAction*>(QStringLiteral("AcRequest"))->setText(Lang("P_Gen"));
    findChild<QAction*>(QStringLiteral("AcRemoteUnLock"))->setText(Lang("P_Unlock"));
    m_ui->RzGroupBox8->setTitle(Lang("P_Remoteunlock"));
    m_ui->Label44->setText(WithColon(Lang("P_Request")));
    m_ui->Label45->setText(WithColon(Lang("P_Resporse")));
    m_ui->Label46->setText(WithColon(Lang("P_InitPIN")));
    m_ui->Label47->setText(WithColon(Lang("UPINSet_Form_NewPIN1")));
    m_ui->Label48->setText(WithColon(Lang("UPINSet_Form_NewPIN2")));
    // Screen readers name each field after its label.
    m_ui->Label44->setBuddy(m_ui->edtRequestStr);
    m_ui->Label45->setBuddy(m_ui->edtUnlockCode);
    m_ui->Label46->setBuddy(m_ui->edtNewUPin_RM);
    m_ui->Label47->setBuddy(m_ui->edtNewUPin1_RM);
    m_ui->Label48->setBuddy(m_ui->edtNewUPin2_RM);
}

void RemoteUnlockPage::reportNoDevice(int keyIndex)
{
    // A token that is no USB device (a TPM's) is listed and has no SKF application: it has no
    // remote unlock, and is not "not found".
    const bool fixed = keyIndex >= 0 && !(m_session.service().keyCaps(keyIndex) & DRV_CAP_REMOVABLE);
    InfoBox(this, fixed ? Lang("U_Unlock_Unsupported") : Lang("K_Find_Error"));
}

void RemoteUnlockPage::AcRequestExecute()
{
    const int k = m_session.CurrentKeyIndex();
    if (!m_session.keyIndexValid(k) || m_pending) {
        return;
    }
    m_pending = m_session.service().run<UnlockRequest>(
        k, QStringLiteral("K_Wait_Unlock"), [](KeyCall& key) { return MakeUnlockRequest(key); }, this,
        [this](UnlockRequest& request, int keyIndex) {
            m_pending = false;
            if (keyIndex < 0 || request.result == SkfNoDevice || request.result == SkfEntryMissing) {
                reportNoDevice(keyIndex);
                return;
            }
            if (request.result != SAR_OK) {
                InfoBox(this, FormatInt(Lang("P_GenError"), static_cast<qint64>(request.result)));
                return;
            }
            // A request for a key that is no longer the selected one is not shown as its own.
            if (keyIndex != m_session.CurrentKeyIndex()) {
                return;
            }
            m_ui->edtRequestStr->setText(BytesToHex(
                std::span<const std::uint8_t>(reinterpret_cast<const std::uint8_t*>(request.request.constData()),
                                              static_cast<std::size_t>(request.request.size()))));
        });
}

void RemoteUnlockPage::AcRemoteUnLockUpdate()
{
    const bool filled = m_ui->edtUnlockCode->toPlainText().size() >= kMinUnlockCodeLength &&
                        m_ui->edtNewUPin_RM->text().size() >= kMinRemotePinLength &&
                        m_ui->edtNewUPin1_RM->text().size() >= kMinRemotePinLength &&
                        m_ui->edtNewUPin2_RM->text().size() >= kMinRemotePinLength &&
                        !m_session.keyBusy(m_session.CurrentKeyIndex());
    findChild<QAction*>(QStringLiteral("AcRemoteUnLock"))->setEnabled(filled);
}

void RemoteUnlockPage::AcRemoteUnLockExecute()
{
    const int k = m_session.CurrentKeyIndex();
    if (!m_session.keyIndexValid(k) || m_pending) {
        return;
    }
    // 1. Whatever happens, the key ends logged out.
    m_session.setLoginState(k, KeySession::kLoggedOut);
    // 2. The unlock code as bytes. A code longer than the key accepts is refused here: cutting it
    // would send the key a different code than the one the issuing party gave.
    QByteArray codeBytes;
    if (DecodeUnlockCode(m_ui->edtUnlockCode->toPlainText(), codeBytes) == UnlockInputProblem::CodeTooLong) {
        InfoBox(this, OwnText(OwnMessage::UnlockCodeTooLong).arg(kUnlockCodeBytes * 2));
        return;
    }
    // The code and the PINs as typed now go to this key, whatever happens on the page meanwhile.
    const SharedSecret initialPin = MakeSecret(m_ui->edtNewUPin_RM->text());
    const SharedSecret newPin = MakeSecret(m_ui->edtNewUPin1_RM->text());
    const SharedSecret confirmation = MakeSecret(m_ui->edtNewUPin2_RM->text());
    const QByteArray key = m_session.service().keyId(k);
    // 3. The SKF device.
    m_pending = m_session.service().runOn<bool>(
        key, QStringLiteral("K_Wait_Unlock"), [](KeyCall& call) { return SkfDeviceListed(call); }, this,
        [this, key, codeBytes, initialPin, newPin, confirmation](bool& listed, int keyIndex) {
            m_pending = false;
            if (!listed || keyIndex < 0) {
                reportNoDevice(keyIndex);
                return;
            }
            // 4. to 6. The PINs.
            switch (UnlockPinsProblem(initialPin->text(), newPin->text(), confirmation->text())) {
            case UnlockInputProblem::InitialPinTooShort:
                InfoBox(this, Lang("P_PinTooShort"));
                return;
            case UnlockInputProblem::PinsDiffer:
                InfoBox(this, Lang("S_PIN_equal"));
                return;
            case UnlockInputProblem::WeakPin:
                InfoBox(this, PINPolicyText());
                return;
            default:
                break;
            }
            unlock(key, codeBytes, initialPin, newPin);
        });
}

void RemoteUnlockPage::unlock(const QByteArray& key, const QByteArray& code, const SharedSecret& initialPin,
                              const SharedSecret& newPin)
{
    // 7. to 10. The key checks the unlock code and puts the initial PIN back; the initial PIN is
    // checked by a login and changed to the new one.
    m_pending = m_session.service().runOn<RemoteUnlockOutcome>(
        key, QStringLiteral("K_Wait_Unlock"),
        [code, initialPin, newPin](KeyCall& call) { return RemoteUnlock(call, code, initialPin, newPin); }, this,
        [this](RemoteUnlockOutcome& outcome, int keyIndex) {
            m_pending = false;
            if (keyIndex >= 0) {
                m_session.setLoginState(keyIndex, KeySession::kLoggedOut);
            }
            switch (outcome.stage) {
            case RemoteUnlockOutcome::Stage::NoDevice:
                reportNoDevice(keyIndex);
                return;
            case RemoteUnlockOutcome::Stage::UnblockRefused:
                InfoBox(this, FormatInt(Lang("P_UnlockError"), static_cast<qint64>(outcome.skfResult)));
                return;
            case RemoteUnlockOutcome::Stage::InitialPinRefused:
                // Only a wrong initial PIN used up the tries: a key that went away or failed was
                // unblocked and keeps them.
                if (ClassifyLoginFailure(outcome.result, outcome.retriesLeft) == LoginFailure::WrongPin ||
                    ClassifyLoginFailure(outcome.result, outcome.retriesLeft) == LoginFailure::Locked) {
                    InfoBox(this, Lang("P_InitPIN_Locked"));
                } else if (ClassifyLoginFailure(outcome.result, outcome.retriesLeft) == LoginFailure::KeyGone) {
                    // The key was unblocked before it went: its PIN is the initial one now.
                    InfoBox(this, Lang("P_Unlocked_NoPin"));
                } else {
                    ReportLoginFailure(this, outcome.result, outcome.retriesLeft, true);
                }
                return;
            case RemoteUnlockOutcome::Stage::ChangeFailed:
                InfoBox(this, Lang("P_Unlock_SetPIN_Error"));
                return;
            case RemoteUnlockOutcome::Stage::Unlocked:
                break;
            }
            // 11. The PIN cycle starts again.
            TUserConfigInfo& config = m_session.userConfig();
            if (config.CycleSetPIN > 0) {
                config.LastDay = NextPINChangeDay(AppContext::current().today(), config.CycleSetPIN);
                WritePINCycle(m_session.userConfigPath(), config.CycleSetPIN, config.LastDay);
            }
            // 12. Done; nothing of the exchange stays on the page.
            InfoBox(this, Lang("P_Unlock_Done"));
            // The PIN fields' buffers are overwritten, not only emptied.
            clearFields();
        });
}

} // namespace kx
