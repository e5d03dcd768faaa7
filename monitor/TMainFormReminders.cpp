// SPDX-License-Identifier: Apache-2.0
// The monitor's reminders (certificate expiry, default PIN, periodic PIN change), its PIN change
// procedure and the settings dialog.
#include "TMainForm.h"

#include "TProjectConfigForm.h"
#include "TUPinSetForm.h"

#include "common/AppContext.h"
#include "common/ExpiryDates.h"
#include "common/LanguageInfo.h"
#include "common/LanguageTexts.h"
#include "common/SecretString.h"
#include "common/StartupConfiguration.h"
#include "common/TextFormat.h"
#include "common/widgets/MessageBox.h"
#include "token/LoginFailure.h"
#include "token/TokenWrappers.h"

#include <QApplication>
#include <QPointer>
#include <QScopeGuard>

#include <algorithm>
#include <memory>

namespace kx::mon {

namespace {

// The expiry notices are fixed texts, the same in every language.
QString expiryText(int state, const std::array<std::int32_t, 3>& date)
{
    const char* form = state == 3 ? "密钥已于%.2d-%.2d-%.2d日过期，请联系系统管理员！"
                                  : "密钥将于%.2d-%.2d-%.2d日过期，请尽快更新证书！";
    return QString::asprintf(form, date[0], date[1], date[2]);
}

constexpr int kExpiring = 1;
constexpr int kExpired = 3;

} // namespace

int TMainForm::CheckCertExpiry(int keyIndex)
{
    if (keyIndex < 0 || keyIndex >= kKeyTableSize) {
        return 0;
    }
    TR7Info& info = (*m_keyTable)[static_cast<std::size_t>(keyIndex)];
    const int loaded = LoadContainerNames(keyIndex, info);
    if (loaded != 0) {
        return loaded;
    }
    auto cert = std::make_unique<TR7CertInfo>();
    const int containers = std::clamp(info.containerCount, 0, static_cast<int>(info.containerNames.size()));
    for (int c = 0; c < containers; ++c) {
        const QByteArray name = info.containerNames[static_cast<std::size_t>(c)];
        for (int keySpec = 1; keySpec <= 2; ++keySpec) {
            *cert = TR7CertInfo();
            if (ReadContainerCert(keyIndex, name, keySpec, *cert) != 0 || m_userConfig.CertTips != 1) {
                continue;
            }
            const int state =
                ExpiryState(cert->notAfter[0], cert->notAfter[1], cert->notAfter[2], m_userConfig.CertDay);
            if (state == kExpiring || state == kExpired) {
                NoticeBox(this, expiryText(state, cert->notAfter), {.topmost = true});
            }
        }
    }
    return 0;
}

void TMainForm::CheckDefaultPIN()
{
    PinState state;
    if (m_userConfig.DefaultPINMode != 1 || token_get_pin_state(CurrentKeyIndex, 1, state) != 0) {
        return;
    }
    if (state.locked()) {
        InfoBox(this, Lang("K_Dead"));
        return;
    }
    if (!state.defaultPin()) {
        CheckPINCycle();
        return;
    }
    DefaultPINPromptActive = true;
    QPointer<TUPinSetForm> dialog = new TUPinSetForm(this);
    dialog->PromptMode = TUPinSetForm::kQuestionMode;
    dialog->setDefaultPinChecked(true);
    m_pinDialog = dialog;
    const int result = dialog->exec();
    m_pinDialog = nullptr;
    if (!dialog) {
        DefaultPINPromptActive = false;
        return;
    }
    const bool remindAgain = dialog->defaultPinChecked();
    delete dialog;
    m_userConfig.DefaultPINMode = remindAgain ? 1 : 0;
    WriteUserConfig(m_userConfigPath, m_userConfig);
    if (result != 1) {
        DefaultPINPromptActive = false;
        return;
    }
    while (MonitorChangeUserPIN() == 1) {
        PinState again;
        if (token_get_pin_state(CurrentKeyIndex, 1, again) != 0) {
            continue;
        }
        if (again.locked()) {
            InfoBox(this, Lang("K_Dead"));
            break;
        }
        if (!again.defaultPin()) {
            break;
        }
    }
    DefaultPINPromptActive = false;
}

void TMainForm::CheckPINCycle()
{
    if (m_userConfig.CycleSetPIN <= 0) {
        return;
    }
    const QDate today = AppContext::current().today();
    if (m_userConfig.LastDay.isEmpty()) {
        m_userConfig.LastDay = NextPINChangeDay(today, m_userConfig.CycleSetPIN);
        WritePINCycle(m_userConfigPath, m_userConfig.CycleSetPIN, m_userConfig.LastDay);
        return;
    }
    if (today.toString(QStringLiteral("yyyyMMdd")) < m_userConfig.LastDay) {
        return;
    }
    CycleReminderActive = true;
    while (MonitorChangeUserPIN() != 0) {
    }
    CycleReminderActive = false;
}

int TMainForm::MonitorChangeUserPIN()
{
    if (m_pinDialog) {
        m_pinDialog->raise();
        m_pinDialog->activateWindow();
        return 0;
    }
    const int keyIndex = CurrentKeyIndex;
    QPointer<TUPinSetForm> dialog = new TUPinSetForm(this);
    if (keyIndex >= 0 && keyIndex < kKeyTableSize) {
        dialog->MaxPINLen = keyInfo(keyIndex).maxPinLen;
        dialog->MinPINLen = keyInfo(keyIndex).minPinLen;
    }
    if (CycleReminderActive) {
        dialog->setOverdueText(FormatInt(QStringLiteral("口令已有%d天未修改，请进行修改"), m_userConfig.CycleSetPIN));
    }
    m_pinDialog = dialog;
    const int result = dialog->exec();
    m_pinDialog = nullptr;
    if (!dialog) {
        return 0;
    }
    const SecretString oldPin(dialog->oldPin());
    const SecretString newPin(dialog->newPin());
    delete dialog;
    if (result != 1 || oldPin.isEmpty()) {
        return 0;
    }
    int retriesLeft = -1;
    if (const int checked = token_login(keyIndex, oldPin.text(), retriesLeft); checked != 0) {
        switch (ClassifyLoginFailure(checked, retriesLeft)) {
        case LoginFailure::WrongPin:
        case LoginFailure::Locked:
            InfoBox(this, retriesLeft < 0 ? Lang("K_PIN_Error") : FormatInt(Lang("K_OldCheck"), retriesLeft));
            return 1;
        case LoginFailure::KeyGone:
            // Nothing was said about the PIN: no tries are shown and the dialog is not offered again.
            InfoBox(this, Lang("K_Find_Error"));
            return 0;
        case LoginFailure::OtherError:
            InfoBox(this, Lang("K_Set_No") + Lang("K_ErrorCODE_Str") + QString::number(checked));
            return 0;
        }
    }
    token_logout(keyIndex);
    const int changed = token_change_upin(keyIndex, oldPin.text(), newPin.text());
    if (changed != 0) {
        InfoBox(this, Lang("K_Set_No") + Lang("K_ErrorCODE_Str") + QString::number(changed));
        return 0;
    }
    RecordPINChange(m_userConfigPath, m_userConfig, AppContext::current().today());
    InfoBox(this, Lang("K_Set_Yes"));
    return 0;
}

// With an empty language list nothing can be chosen: LanguageID stays as it was, no CSP value is
// written and the language is not reloaded.
void TMainForm::AcAdvancedExecute()
{
    if (DefaultPINPromptActive) {
        return;
    }
    if (m_configDialog) {
        // Only one settings flow at a time: the open dialog, or the notice that ends its flow,
        // comes to the front instead.
        QWidget* front = m_configDialog->isVisible() ? m_configDialog : QApplication::activeModalWidget();
        if (front) {
            front->raise();
            front->activateWindow();
        }
        return;
    }
    // The dialog lives until its whole flow has ended, the closing notice included, so a second
    // menu click meanwhile cannot start another flow that would save older choices after it.
    QPointer<TProjectConfigForm> dialog = new TProjectConfigForm(this);
    m_configDialog = dialog;
    const auto endFlow = qScopeGuard([this, dialog] {
        m_configDialog = nullptr;
        delete dialog.data();
    });

    const QString path = UserConfigPath(m_appInfo.CfgPath);
    TLanguageInfo languages;
    ReadLanguageList(LanguagesFolder() + QStringLiteral("LanguageInfo.ini"), languages);
    QStringList names;
    int selected = languages.count > 0 ? 0 : -1;
    for (int i = 0; i < languages.count; ++i) {
        const QString id = languages.LanguageID[static_cast<std::size_t>(i)];
        bool ok = false;
        const int value = id.trimmed().toInt(&ok);
        if (!ok) {
            InfoBox(this, QStringLiteral("'%1' is not a valid integer value").arg(id));
            return;
        }
        if (value == m_userConfig.LanguageID) {
            selected = i;
        }
        names.append(languages.LanguageName[static_cast<std::size_t>(i)]);
    }

    dialog->fill(m_userConfig);
    dialog->setLanguages(names, selected);
    const int result = dialog->exec();
    if (!dialog || result != QDialog::Accepted) {
        return;
    }
    int entry = -1;
    dialog->read(m_userConfig, entry);
    if (entry >= 0 && entry < languages.count) {
        m_userConfig.LanguageID = languages.LanguageID[static_cast<std::size_t>(entry)].trimmed().toInt();
    }
    m_userConfigPath = path;
    if (WriteUserConfig(path, m_userConfig) != 0) {
        InfoBox(this, Lang("S_Save_No"));
        return;
    }
    if (entry < 0 || entry >= languages.count) {
        InfoBox(this, Lang("S_Save_Yes"));
        return;
    }
    WriteLanguageCSP(m_appInfo, languages, entry);
    InfoBox(this, Lang("S_Save_Yes"));
    UseLanguageEntry(languages, entry);
    ApplyTexts();
}

} // namespace kx::mon
