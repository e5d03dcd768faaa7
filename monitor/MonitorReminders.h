// SPDX-License-Identifier: Apache-2.0
#pragma once

#include <QByteArray>
#include <QObject>
#include <QPointer>

#include <functional>

class QWidget;

namespace kx {
class KeyService;
struct TUserConfigInfo;
} // namespace kx

namespace kx::mon {

class TUPinSetForm;

// The monitor's reminders: certificates that expire soon, a user PIN that is still the factory
// default, and a PIN due for its periodic change, with the PIN change they lead to. The key is
// asked on its lane; the questions and the PIN dialog are the window's, and each step goes on
// when the key's answer arrives, for the key the reminder began with.
class MonitorReminders : public QObject
{
    Q_OBJECT

public:
    // `config` and `configPath` are the monitor's user configuration, which the reminders update.
    MonitorReminders(KeyService& keys, TUserConfigInfo& config, const QString& configPath, QWidget* window);

    // Reads the key's certificates and warns of each that expires within CertDay days or has
    // expired; `done` gets 0 or the code of the container list.
    void CheckCertExpiry(int keyIndex, std::function<void(int result)> done = {});
    // The default-PIN check of the selected key, and through it the periodic check.
    void CheckDefaultPIN();
    void CheckPINCycle();
    // The PIN dialog for the selected key and the change it asks for; `done` gets 1 after a wrong
    // old PIN, else 0.
    void MonitorChangeUserPIN(std::function<void(int result)> done);

    bool DefaultPINPromptActive() const { return m_defaultPromptActive; }
    bool CycleReminderActive() const { return m_cycleActive; }
    TUPinSetForm* pinDialog() const { return m_pinDialog; }

private:
    void changePin(const QByteArray& key, std::function<void(int)> done);
    void defaultPinLoop(const QByteArray& key);
    void cycleLoop(const QByteArray& key);

    KeyService& m_keys;
    TUserConfigInfo& m_config;
    const QString& m_configPath;
    QWidget* m_window;
    QPointer<TUPinSetForm> m_pinDialog;
    bool m_defaultPromptActive = false;
    bool m_cycleActive = false;
};

} // namespace kx::mon
