// SPDX-License-Identifier: Apache-2.0
#include "MonitorReminders.h"

#include "TUPinSetForm.h"

#include "common/AppContext.h"
#include "common/ExpiryDates.h"
#include "common/LanguageTexts.h"
#include "common/TextFormat.h"
#include "common/UserConfig.h"
#include "common/widgets/MessageBox.h"
#include "keyservice/KeyService.h"
#include "keyservice/PinJobs.h"
#include "token/LoginFailure.h"
#include "token/TokenWrappers.h"

#include <algorithm>
#include <memory>
#include <vector>

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

// The end dates of a key's certificates, in container and key-pair order.
struct ExpiryRead
{
    int result = 0;
    std::vector<std::array<std::int32_t, 3>> ends;
};

ExpiryRead readEndDates(const KeyCall& key)
{
    ExpiryRead read;
    key.step(QStringLiteral("K_Wait_Read"));
    TR7Info info;
    read.result = key.containerNames(info);
    if (read.result != 0) {
        return read;
    }
    auto cert = std::make_unique<TR7CertInfo>();
    for (const QByteArray& name : info.containerNames) {
        for (int keySpec = 1; keySpec <= 2; ++keySpec) {
            *cert = TR7CertInfo();
            if (key.at([&](int position) { return ReadContainerCert(position, name, keySpec, *cert); }) == 0) {
                read.ends.push_back(cert->notAfter);
            }
        }
    }
    return read;
}

} // namespace

MonitorReminders::MonitorReminders(KeyService& keys, TUserConfigInfo& config, const QString& configPath,
                                   QWidget* window)
    : QObject(window), m_keys(keys), m_config(config), m_configPath(configPath), m_window(window)
{}

void MonitorReminders::CheckCertExpiry(int keyIndex, std::function<void(int)> done)
{
    const bool posted = m_keys.run<ExpiryRead>(
        keyIndex, QStringLiteral("K_Wait_Read"), [](KeyCall& key) { return readEndDates(key); }, this,
        [this, done](ExpiryRead& read, int) {
            for (const auto& end : read.ends) {
                if (m_config.CertTips != 1) {
                    break;
                }
                const int state = ExpiryState(end[0], end[1], end[2], m_config.CertDay);
                if (state == kExpiring || state == kExpired) {
                    NoticeBox(m_window, expiryText(state, end), {.topmost = true});
                }
            }
            if (done) {
                done(read.result);
            }
        });
    if (!posted && done) {
        done(0);
    }
}

void MonitorReminders::CheckDefaultPIN()
{
    if (m_config.DefaultPINMode != 1) {
        return;
    }
    const QByteArray key = m_keys.keyId(m_keys.CurrentKeyIndex());
    m_keys.runOn<PinStateOutcome>(
        key, QStringLiteral("K_Wait_Info"), [](KeyCall& call) { return ReadPinState(call); }, this,
        [this, key](PinStateOutcome& pin, int keyIndex) {
            // A PIN state that cannot be read skips both reminders.
            if (pin.result != 0 || keyIndex < 0) {
                return;
            }
            if (pin.state.locked()) {
                InfoBox(m_window, Lang("K_Dead"));
                return;
            }
            if (!pin.state.defaultPin()) {
                CheckPINCycle();
                return;
            }
            m_defaultPromptActive = true;
            QPointer<TUPinSetForm> dialog = new TUPinSetForm(m_window);
            dialog->PromptMode = TUPinSetForm::kQuestionMode;
            dialog->setDefaultPinChecked(true);
            m_pinDialog = dialog;
            const int result = dialog->exec();
            m_pinDialog = nullptr;
            if (!dialog) {
                m_defaultPromptActive = false;
                return;
            }
            const bool remindAgain = dialog->defaultPinChecked();
            delete dialog;
            m_config.DefaultPINMode = remindAgain ? 1 : 0;
            WriteUserConfig(m_configPath, m_config);
            if (result != 1) {
                m_defaultPromptActive = false;
                return;
            }
            defaultPinLoop(key);
        });
}

void MonitorReminders::defaultPinLoop(const QByteArray& key)
{
    changePin(key, [this, key](int result) {
        if (result != 1) {
            m_defaultPromptActive = false;
            return;
        }
        // After a wrong old PIN the dialog comes again while the PIN is still the factory one.
        m_keys.runOn<PinStateOutcome>(
            key, QStringLiteral("K_Wait_Info"), [](KeyCall& call) { return ReadPinState(call); }, this,
            [this, key](PinStateOutcome& pin, int keyIndex) {
                if (keyIndex < 0) {
                    m_defaultPromptActive = false;
                    return;
                }
                if (pin.result != 0) {
                    defaultPinLoop(key);
                    return;
                }
                if (pin.state.locked()) {
                    InfoBox(m_window, Lang("K_Dead"));
                    m_defaultPromptActive = false;
                    return;
                }
                if (pin.state.defaultPin()) {
                    defaultPinLoop(key);
                    return;
                }
                m_defaultPromptActive = false;
            });
    });
}

void MonitorReminders::CheckPINCycle()
{
    if (m_config.CycleSetPIN <= 0) {
        return;
    }
    const QDate today = AppContext::current().today();
    if (m_config.LastDay.isEmpty()) {
        m_config.LastDay = NextPINChangeDay(today, m_config.CycleSetPIN);
        WritePINCycle(m_configPath, m_config.CycleSetPIN, m_config.LastDay);
        return;
    }
    if (today.toString(QStringLiteral("yyyyMMdd")) < m_config.LastDay) {
        return;
    }
    m_cycleActive = true;
    cycleLoop(m_keys.keyId(m_keys.CurrentKeyIndex()));
}

void MonitorReminders::cycleLoop(const QByteArray& key)
{
    changePin(key, [this, key](int result) {
        if (result != 0) {
            cycleLoop(key);
            return;
        }
        m_cycleActive = false;
    });
}

void MonitorReminders::MonitorChangeUserPIN(std::function<void(int)> done)
{
    changePin(m_keys.keyId(m_keys.CurrentKeyIndex()), std::move(done));
}

void MonitorReminders::changePin(const QByteArray& key, std::function<void(int)> done)
{
    if (m_pinDialog) {
        m_pinDialog->raise();
        m_pinDialog->activateWindow();
        done(0);
        return;
    }
    const int keyIndex = m_keys.indexOf(key);
    QPointer<TUPinSetForm> dialog = new TUPinSetForm(m_window);
    if (keyIndex >= 0) {
        dialog->MaxPINLen = m_keys.keyInfo(keyIndex).maxPinLen;
        dialog->MinPINLen = m_keys.keyInfo(keyIndex).minPinLen;
    }
    if (m_cycleActive) {
        dialog->setOverdueText(FormatInt(Lang("S_PIN_Overdue"), m_config.CycleSetPIN));
    }
    m_pinDialog = dialog;
    const int result = dialog->exec();
    m_pinDialog = nullptr;
    if (!dialog) {
        done(0);
        return;
    }
    const SharedSecret oldPin = MakeSecret(dialog->oldPin());
    const SharedSecret newPin = MakeSecret(dialog->newPin());
    delete dialog;
    if (result != 1 || oldPin->isEmpty() || m_keys.indexOf(key) < 0) {
        done(0);
        return;
    }
    m_keys.runOn<PinChangeOutcome>(
        key, QStringLiteral("K_Wait_Pin"),
        [oldPin, newPin](KeyCall& call) { return ChangeKeyPin(call, oldPin, newPin, false); }, this,
        [this, done](PinChangeOutcome& outcome, int) {
            const QString code = Lang("K_ErrorCODE_Str") + QString::number(outcome.result);
            switch (outcome.stage) {
            case PinChangeOutcome::Stage::OldPinRefused:
                switch (ClassifyLoginFailure(outcome.result, outcome.retriesLeft)) {
                case LoginFailure::WrongPin:
                case LoginFailure::Locked:
                    InfoBox(m_window, outcome.retriesLeft < 0 ? Lang("K_PIN_Error")
                                                              : FormatInt(Lang("K_OldCheck"), outcome.retriesLeft));
                    done(1);
                    return;
                case LoginFailure::Lockout:
                    InfoBox(m_window, Lang("K_PIN_Lockout"));
                    break;
                case LoginFailure::KeyGone:
                    // Nothing was said about the PIN: no tries are shown and the dialog is not
                    // offered again.
                    InfoBox(m_window, Lang("K_Find_Error"));
                    break;
                case LoginFailure::LoginLost:
                case LoginFailure::DeviceFailure:
                    InfoBox(m_window, Lang("K_Device_Error") + code);
                    break;
                case LoginFailure::OtherError:
                    InfoBox(m_window, Lang("K_Set_No") + code);
                    break;
                }
                done(0);
                return;
            case PinChangeOutcome::Stage::ChangeFailed:
                // A change the key did not confirm may have gone through: no login with the old PIN
                // is tried to find out, it would spend a try.
                InfoBox(m_window, ClassifyPinChangeFailure(outcome.result) == PinChangeFailure::Unconfirmed
                                      ? Lang("K_PIN_Unconfirmed") + code
                                      : Lang("K_Set_No") + code);
                done(0);
                return;
            case PinChangeOutcome::Stage::Changed:
                RecordPINChange(m_configPath, m_config, AppContext::current().today());
                InfoBox(m_window, Lang("K_Set_Yes"));
                done(0);
                return;
            }
        });
}

} // namespace kx::mon
