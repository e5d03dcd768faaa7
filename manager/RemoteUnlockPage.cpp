// SPDX-License-Identifier: Apache-2.0
#include "RemoteUnlockPage.h"

#include "ActionBinding.h"
#include "FieldLabel.h"
#include "KeySession.h"
#include "ui_RemoteUnlockPage.h"

#include "common/AppContext.h"
#include "common/LanguageTexts.h"
#include "common/PINPolicy.h"
#include "common/TextConversions.h"
#include "common/TextFormat.h"
#include "common/UiLanguage.h"
#include "common/UserConfig.h"
#include "common/widgets/MessageBox.h"
#include "common/widgets/SecretField.h"
#include "common/widgets/ShowPINStrength.h"
#include "token/TokenWrappers.h"

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

RemoteUnlockPage::RemoteUnlockPage(KeySession& session, QWidget* parent)
    : QWidget(parent), m_ui(std::make_unique<Ui::RemoteUnlockPage>()), m_session(session)
{
    m_ui->setupUi(this);
    MakeAction(this, "AcRequest", &RemoteUnlockPage::AcRequestExecute, m_ui->btnRequest);
    MakeAction(this, "AcRemoteUnLock", &RemoteUnlockPage::AcRemoteUnLockExecute, m_ui->btnRemoteUnlock);
    m_ui->edtNewUPin_RM->setMaxLength(16);
    connect(m_ui->edtUnlockCode, &QPlainTextEdit::textChanged, this, &RemoteUnlockPage::AcRemoteUnLockUpdate);
    for (QLineEdit* edit : {m_ui->edtNewUPin_RM, m_ui->edtNewUPin1_RM, m_ui->edtNewUPin2_RM}) {
        connect(edit, &QLineEdit::textChanged, this, &RemoteUnlockPage::AcRemoteUnLockUpdate);
    }
    connect(m_ui->edtNewUPin1_RM, &QLineEdit::textChanged, this,
            [this](const QString& text) { ShowPINStrength(m_ui->PStrength_UPIN_RM, text); });
    ClearPINStrength(m_ui->PStrength_UPIN_RM);
    ApplyTexts();
    AcRemoteUnLockUpdate();
}

RemoteUnlockPage::~RemoteUnlockPage() = default;

void RemoteUnlockPage::ApplyTexts()
{
    findChild<QAction*>(QStringLiteral("AcRequest"))->setText(Lang("P_Gen"));
    findChild<QAction*>(QStringLiteral("AcRemoteUnLock"))->setText(Lang("P_Unlock"));
    m_ui->RzGroupBox8->setTitle(Lang("P_Remoteunlock"));
    m_ui->Label44->setText(WithColon(Lang("P_Request")));
    m_ui->Label45->setText(WithColon(Lang("P_Resporse")));
    m_ui->Label46->setText(WithColon(QStringLiteral("初始口令")));
    m_ui->Label47->setText(WithColon(Lang("UPINSet_Form_NewPIN1")));
    m_ui->Label48->setText(WithColon(Lang("UPINSet_Form_NewPIN2")));
}

bool RemoteUnlockPage::selectUnlockApplication()
{
    Call_GMAPIs_Admin& skf = m_session.skf();
    skf.ShortRefresh();
    if (skf.SkfDevices.count <= 0) {
        InfoBox(this, Lang("K_Find_Error"));
        return false;
    }
    // The short refresh takes the first device; with several keys plugged the request and the
    // unlock must reach the key selected in the tree, the one the PIN calls below address.
    if (m_session.keyIndexValid(m_session.CurrentKeyIndex())) {
        skf.SelectApplication(m_session.keyInfo(m_session.CurrentKeyIndex()).serialText().toLatin1());
    }
    return true;
}

void RemoteUnlockPage::AcRequestExecute()
{
    Call_GMAPIs_Admin& skf = m_session.skf();
    if (!selectUnlockApplication()) {
        return;
    }
    std::array<std::uint8_t, kUnblockRequestBufferSize> request{};
    const std::uint32_t result = GMAPIs::SKF_GenRemoteUnblockRequest(skf.SkfAppHandle, request, kRequestBytes);
    if (result != SAR_OK) {
        InfoBox(this, FormatInt(Lang("P_GenError"), static_cast<qint64>(result)));
        return;
    }
    m_ui->edtRequestStr->setText(BytesToHex(std::span<const std::uint8_t>(request).first(kRequestBytes)));
}

void RemoteUnlockPage::AcRemoteUnLockUpdate()
{
    const bool filled = m_ui->edtUnlockCode->toPlainText().size() >= kMinUnlockCodeLength &&
                        m_ui->edtNewUPin_RM->text().size() >= kMinRemotePinLength &&
                        m_ui->edtNewUPin1_RM->text().size() >= kMinRemotePinLength &&
                        m_ui->edtNewUPin2_RM->text().size() >= kMinRemotePinLength;
    findChild<QAction*>(QStringLiteral("AcRemoteUnLock"))->setEnabled(filled);
}

void RemoteUnlockPage::AcRemoteUnLockExecute()
{
    const int k = m_session.CurrentKeyIndex();
    // 1. Whatever happens, the key ends logged out.
    m_session.setLoginState(k, KeySession::kLoggedOut);
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
    Call_GMAPIs_Admin& skf = m_session.skf();
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
        skf.SkfAppHandle, std::span<const std::uint8_t>(code.bytes).first(codeLength), reserved);
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
    m_session.setLoginState(k, KeySession::kLoggedOut);
    if (token_change_upin(k, initialPin, newPin) != 0) {
        InfoBox(this, QStringLiteral("解锁失败(SetUPIN Error)"));
        return;
    }
    // 11. The PIN cycle starts again.
    TUserConfigInfo& config = m_session.userConfig();
    if (config.CycleSetPIN > 0) {
        config.LastDay = NextPINChangeDay(AppContext::current().today(), config.CycleSetPIN);
        WritePINCycle(m_session.userConfigPath(), config.CycleSetPIN, config.LastDay);
    }
    // 12. Done; nothing of the exchange stays on the page.
    InfoBox(this, QStringLiteral("解锁成功"));
    // The PIN fields' buffers are overwritten, not only emptied.
    ClearSecretField(m_ui->edtNewUPin_RM);
    ClearSecretField(m_ui->edtNewUPin1_RM);
    ClearSecretField(m_ui->edtNewUPin2_RM);
    m_ui->edtUnlockCode->clear();
    m_ui->edtRequestStr->clear();
    ClearPINStrength(m_ui->PStrength_UPIN_RM);
}

} // namespace kx
