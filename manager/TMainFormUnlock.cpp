// SPDX-License-Identifier: Apache-2.0
// The remote unlock page of the main window: the request code for the issuing party, and the
// unlock with its answer followed by a login with the initial PIN and the setting of a new PIN.

#include "TMainForm.h"

#include "ui_TMainForm.h"

#include "common/AppContext.h"
#include "common/LanguageTexts.h"
#include "common/PINPolicy.h"
#include "common/TextConversions.h"
#include "common/TextFormat.h"
#include "common/UiLanguage.h"
#include "common/UserConfig.h"
#include "common/widgets/MessageBox.h"
#include "common/widgets/ShowPINStrength.h"
#include "token/TokenWrappers.h"

#include <QAction>

#include <algorithm>

namespace kx {

namespace {

constexpr int kMinUnlockCodeLength = 16;
constexpr int kMinRemotePinLength = 8;
// The key takes at most this many unlock code bytes.
constexpr std::size_t kUnlockCodeBytes = 64;
constexpr std::uint32_t kRequestBytes = 8;
// A key reports its retries in a byte; anything above is not a count to act on.
constexpr int kMaxRelockLogins = 255;

// Clears a buffer that held key material when it goes out of scope.
template <std::size_t N>
class ClearedBytes
{
public:
    ~ClearedBytes() { std::fill(bytes.begin(), bytes.end(), std::uint8_t{0}); }
    std::array<std::uint8_t, N> bytes{};
};

} // namespace

void TMainForm::createUnlockActions()
{
    makeAction("AcRequest", &TMainForm::AcRequestExecute, m_ui->btnRequest);
    makeAction("AcRemoteUnLock", &TMainForm::AcRemoteUnLockExecute, m_ui->btnRemoteUnlock);
    m_ui->edtNewUPin_RM->setMaxLength(16);
    connect(m_ui->edtUnlockCode, &QPlainTextEdit::textChanged, this, &TMainForm::AcRemoteUnLockUpdate);
    for (QLineEdit* edit : {m_ui->edtNewUPin_RM, m_ui->edtNewUPin1_RM, m_ui->edtNewUPin2_RM}) {
        connect(edit, &QLineEdit::textChanged, this, &TMainForm::AcRemoteUnLockUpdate);
    }
    connect(m_ui->edtNewUPin1_RM, &QLineEdit::textChanged, this,
            [this](const QString& text) { ShowPINStrength(m_ui->PStrength_UPIN_RM, text); });
}

bool TMainForm::selectUnlockApplication()
{
    m_skf.ShortRefresh();
    if (m_skf.SkfDevices.count <= 0) {
        InfoBox(this, Lang("K_Find_Error"));
        return false;
    }
    // The short refresh takes the first device; with several keys plugged the request and the
    // unlock must reach the key selected in the tree, the one the PIN calls below address.
    if (keyIndexValid(CurrentKeyIndex)) {
        m_skf.SelectApplication(keyInfo(CurrentKeyIndex).serialText().toLatin1());
    }
    return true;
}

void TMainForm::AcRequestExecute()
{
    if (!selectUnlockApplication()) {
        return;
    }
    std::array<std::uint8_t, kUnblockRequestBufferSize> request{};
    const std::uint32_t result = GMAPIs::SKF_GenRemoteUnblockRequest(m_skf.SkfAppHandle, request, kRequestBytes);
    if (result != SAR_OK) {
        InfoBox(this, FormatInt(Lang("P_GenError"), static_cast<qint64>(result)));
        return;
    }
    m_ui->edtRequestStr->setText(BytesToHex(std::span<const std::uint8_t>(request).first(kRequestBytes)));
}

void TMainForm::AcRemoteUnLockUpdate()
{
    const bool filled = m_ui->edtUnlockCode->toPlainText().size() >= kMinUnlockCodeLength &&
                        m_ui->edtNewUPin_RM->text().size() >= kMinRemotePinLength &&
                        m_ui->edtNewUPin1_RM->text().size() >= kMinRemotePinLength &&
                        m_ui->edtNewUPin2_RM->text().size() >= kMinRemotePinLength;
    action("AcRemoteUnLock")->setEnabled(filled);
}

void TMainForm::AcRemoteUnLockExecute()
{
    const int k = CurrentKeyIndex;
    // 1. Whatever happens, the key ends logged out.
    if (k >= 0 && k < kKeyTableSize) {
        LoginState[static_cast<std::size_t>(k)] = 1;
    }
    // 2. The unlock code as bytes. A code longer than the key accepts is refused here: cutting it
    // would send the key a different code than the one the issuing party gave.
    const QString codeText = m_ui->edtUnlockCode->toPlainText().trimmed();
    ClearedBytes<kUnlockCodeBytes> code;
    std::size_t codeLength = 0;
    if (!HexToBytes(codeText, code.bytes, &codeLength)) {
        InfoBox(this, OwnText(OwnMessage::UnlockCodeTooLong).arg(kUnlockCodeBytes * 2));
        return;
    }
    // 3. The SKF device.
    if (!selectUnlockApplication()) {
        return;
    }
    const QString initialPin = m_ui->edtNewUPin_RM->text();
    const QString newPin = m_ui->edtNewUPin1_RM->text();
    // 4. to 6. The PINs.
    if (initialPin.size() <= 7) {
        InfoBox(this, QStringLiteral("密码长度不够"));
        return;
    }
    if (newPin != m_ui->edtNewUPin2_RM->text()) {
        InfoBox(this, Lang("S_PIN_equal"));
        return;
    }
    if (PINStrength(newPin) < 3) {
        InfoBox(this, QStringLiteral("口令为8-16位，必须包含数字、字母、特殊字符"));
        return;
    }
    // 7. The key checks the unlock code and puts the initial PIN back.
    std::uint32_t reserved = 0;
    const std::uint32_t unblocked = GMAPIs::SKF_RemoteUnblockPIN(
        m_skf.SkfAppHandle, std::span<const std::uint8_t>(code.bytes).first(codeLength), reserved);
    if (unblocked != SAR_OK) {
        InfoBox(this, FormatInt(Lang("P_UnlockError"), static_cast<qint64>(unblocked)));
        return;
    }
    // 8. A wrong initial PIN: the remaining tries are used up, so the key is locked again and
    // the user has to ask for a new unlock.
    int retriesLeft = 0;
    if (token_login(k, initialPin, retriesLeft) != 0) {
        const int relogins = std::clamp(retriesLeft, 0, kMaxRelockLogins);
        for (int i = 0; i < relogins; ++i) {
            int ignored = 0;
            token_login(k, initialPin, ignored);
        }
        InfoBox(this, QStringLiteral("初始口令错误，设备已锁定，请重新解锁"));
        return;
    }
    // 9. and 10. The new PIN.
    token_logout(k);
    LoginState[static_cast<std::size_t>(k)] = 1;
    if (token_change_upin(k, initialPin, newPin) != 0) {
        InfoBox(this, QStringLiteral("解锁失败(SetUPIN Error)"));
        return;
    }
    // 11. The PIN cycle starts again.
    if (m_userConfig.CycleSetPIN > 0) {
        m_userConfig.LastDay = NextPINChangeDay(AppContext::current().today(), m_userConfig.CycleSetPIN);
        WritePINCycle(m_userConfigPath, m_userConfig.CycleSetPIN, m_userConfig.LastDay);
    }
    // 12. Done; nothing of the exchange stays on the page.
    InfoBox(this, QStringLiteral("解锁成功"));
    m_ui->edtNewUPin_RM->clear();
    m_ui->edtNewUPin1_RM->clear();
    m_ui->edtNewUPin2_RM->clear();
    m_ui->edtUnlockCode->clear();
    m_ui->edtRequestStr->clear();
    ClearPINStrength(m_ui->PStrength_UPIN_RM);
}

} // namespace kx
