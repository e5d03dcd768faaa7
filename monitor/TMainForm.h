// SPDX-License-Identifier: Apache-2.0
#pragma once

#include "BalloonNotifier.h"

#include "common/AppInfo.h"
#include "common/UserConfig.h"
#include "token/TokenRecords.h"

#include <QWidget>

#include <functional>

class QAction;
class QMenu;
class QSystemTrayIcon;
class QTimer;

namespace kx {
class KeyPresence;
class KeyService;
class StoreRegistration;
} // namespace kx

namespace kx::mon {

class MonitorCommands;
class MonitorKeys;
class MonitorReminders;
class MonitorTray;
class TProjectConfigForm;
class TrayMenuNotice;
class TUPinSetForm;

// The monitor's main window: never shown, it ties the monitor's parts together: the keys and
// their arrival and removal (MonitorKeys), the registration of their certificates
// (StoreRegistration), the reminders (MonitorReminders), the tray (MonitorTray) and the
// commands of other programs (MonitorCommands), plus the settings dialog, start-up and the end.
// The window closes only on the exit entry, after a failed library start or when the session
// ends; every other close just hides it.
class TMainForm : public QWidget
{
    Q_OBJECT

public:
    static constexpr int kKeyTableSize = 17;

    explicit TMainForm(QWidget* parent = nullptr);
    ~TMainForm() override;

    // Sets the window's font, the menu captions, the tray icon and its hint from the language.
    void ApplyTexts();

    // Commands of other programs ("RegCert", "Update"; any case).
    void handleCommand(const QString& text);

    // Tray menu.
    void AcShowMainExecute();
    void AcAdvancedExecute();
    void AcExitExecute();

    // Insertion and removal.
    void EnumerateKeys(std::function<void(int result)> done = {});
    void CloseDialogs();

    // Reminders.
    void CheckCertExpiry(int keyIndex, std::function<void(int result)> done = {});
    void CheckDefaultPIN();
    void CheckPINCycle();
    void MonitorChangeUserPIN(std::function<void(int result)> done);

    // The session's end: allows the close (log-off may proceed) or closes now.
    void sessionEndQueried() { m_endingLogOff = true; }
    void sessionTerminated();
    // The display is gone and the process ends right after this returns: the clean-up of the
    // window's end runs at once, without the tray, which lived on that display.
    void sessionDisplayLost();

    // State, readable by tests.
    int KeyCount() const;
    int CurrentKeyIndex() const;
    int ExpectedKeyCount() const;
    bool LibraryReady() const { return m_libraryReady; }
    bool ExitRequested() const { return m_exitRequested; }
    bool EndingLogOff() const { return m_endingLogOff; }
    bool DefaultPINPromptActive() const;
    bool CycleReminderActive() const;
    bool WtsRegistered() const { return m_wtsRegistered; }

    const TR7Info& keyInfo(int keyIndex) const;
    const TUserConfigInfo& userConfig() const { return m_userConfig; }
    TUserConfigInfo& userConfig() { return m_userConfig; }
    const TAPPInfo& appInfo() const { return m_appInfo; }
    QString userConfigPath() const { return m_userConfigPath; }
    QTimer* timer(const char* name) const;
    QAction* action(const char* name) const;
    QSystemTrayIcon* trayIcon() const;
    TrayMenuNotice* menuNotice() const;
    QMenu* trayMenu() const;
    KeyPresence* presence() const;
    KeyService& keys() const;
    bool trayShown() const;
    TUPinSetForm* pinDialog() const;
    TProjectConfigForm* configDialog() const { return m_configDialog; }

Q_SIGNALS:
    // A balloon notice was shown (through the tray or as a desktop notification).
    void balloonShown(const QString& text);
    // The clean-up of the window's end has run.
    void destroyedCleanly();

protected:
    void showEvent(QShowEvent* event) override;
    void closeEvent(QCloseEvent* event) override;

private:
    void FormCreate();
    void FormDestroy();
    void createTimers();
    void openTokenLibrary();
    void TCloseProjectTimer();
    void TCloseMainFormTimer();
    void TCheckDefaultUPINTimer();
    void TRegCertXETimer();
    void insertionCompleted();
    // Finishes or undoes the writes the listed keys were left with.
    void settleJournals();
    void afterInsertionRegistered();
    void checkExpiryFrom(int keyIndex, std::function<void()> done);
    void knownKeyGone();
    void lastKeyGone();
    void startPlugin();
    void answerPromptBoxNo();
    bool pinDialogTitleShowing() const;

    TAPPInfo m_appInfo;
    TPIDList PIDList;
    TUserConfigInfo m_userConfig;
    QString m_userConfigPath;
    MonitorTray* m_tray = nullptr;
    MonitorKeys* m_keys = nullptr;
    StoreRegistration* m_registration = nullptr;
    MonitorReminders* m_reminders = nullptr;
    MonitorCommands* m_commands = nullptr;
    TProjectConfigForm* m_configDialog = nullptr;
    bool m_libraryReady = false;
    bool m_exitRequested = false;
    bool m_endingLogOff = false;
    bool m_wtsRegistered = false;
    bool m_destroyed = false;
    bool m_displayLost = false;
};

} // namespace kx::mon
