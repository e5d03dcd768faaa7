// SPDX-License-Identifier: Apache-2.0
#pragma once

#include "BalloonNotifier.h"

#include "common/AppInfo.h"
#include "common/UserConfig.h"
#include "token/TokenRecords.h"

#include <QWidget>

#include <array>
#include <memory>

class QAction;
class QMenu;
class QSystemTrayIcon;
class QTimer;

namespace kx {
class CommandEndpoint;
class TUSB;
} // namespace kx

namespace kx::mon {

class DesktopNotifications;
class TProjectConfigForm;
class TrayMenuNotice;
class TUPinSetForm;

// The monitor's main window: never shown, it owns the tray icon and its menu, the hot-plug
// component, the key table and the timers that carry insertions, removals and reminders, and it
// is the receiving end of the window class "kx2700_TrayIcon" for the commands of other programs.
// The window closes only on the exit entry, after a failed library start or when the session
// ends; every other close just hides it.
class TMainForm : public QWidget
{
    Q_OBJECT

public:
    // The key table holds 17 keys. When the token library reports more, the keys after the 17th
    // are left out: they are not read, registered or reminded about.
    static constexpr int kKeyTableSize = 17;
    // The search ticks per arrival: four enumeration attempts, then silence.
    static constexpr int kArrivalTicks = 5;

    explicit TMainForm(QWidget* parent = nullptr);
    ~TMainForm() override;

    // Sets the window's font, the menu captions, the tray icon and its hint from the language.
    void ApplyTexts();

    // Commands of other programs ("RegCert", "Update"; any case) and system commands.
    void handleCommand(const QString& text);

    // Tray menu.
    void AcShowMainExecute();
    void AcAdvancedExecute();
    void AcExitExecute();

    // Insertion and removal.
    int EnumerateKeys();
    void USBArrival(TUSB* component);
    void USBRemoval(TUSB* component);
    void TFindUSBKeyTimer();
    void TCheckInitTimer();
    void TCCIDRemoveTimer();
    void TUSBRemoveTimer();
    void TRegCertXETimer();
    void CloseDialogs();

    // Reminders.
    int CheckCertExpiry(int keyIndex);
    void CheckDefaultPIN();
    void CheckPINCycle();
    int MonitorChangeUserPIN();

    // The session's end: allows the close (log-off may proceed) or closes now.
    void sessionEndQueried() { EndingLogOff = true; }
    void sessionTerminated();
    // The display is gone and the process ends right after this returns: the clean-up of the
    // window's end runs at once, without the tray, which lived on that display.
    void sessionDisplayLost();

    // State, readable by tests.
    int KeyCount = 0;
    int CurrentKeyIndex = 0;
    int ArrivalCountdown = kArrivalTicks;
    int ExpectedKeyCount = 0;
    bool ArrivalPending = false;
    bool LibraryReady = false;
    bool ExitRequested = false;
    bool EndingLogOff = false;
    bool DefaultPINPromptActive = false;
    bool CycleReminderActive = false;
    bool WtsRegistered = false;

    const TR7Info& keyInfo(int keyIndex) const { return (*m_keyTable)[static_cast<std::size_t>(keyIndex)]; }
    const TUserConfigInfo& userConfig() const { return m_userConfig; }
    TUserConfigInfo& userConfig() { return m_userConfig; }
    const TAPPInfo& appInfo() const { return m_appInfo; }
    QString userConfigPath() const { return m_userConfigPath; }
    QTimer* timer(const char* name) const;
    QAction* action(const char* name) const;
    QSystemTrayIcon* trayIcon() const { return m_tray; }
    TrayMenuNotice* menuNotice() const { return m_menuNotice; }
    QMenu* trayMenu() const { return m_menu; }
    TUSB* usb() const { return m_usb; }
    bool trayShown() const;
    TUPinSetForm* pinDialog() const { return m_pinDialog; }
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
    void createActions();
    void openTokenLibrary();
    void TCloseProjectTimer();
    void TCloseMainFormTimer();
    void TCheckDefaultUPINTimer();
    void showTray(bool visible);
    void balloon(const QString& text, BalloonNotifier::Icon icon);
    void registerAllKeys(bool reload, bool report);
    void startPlugin();
    void answerPromptBoxNo();
    bool pinDialogTitleShowing() const;
    int connectKeys();

    TAPPInfo m_appInfo;
    TPIDList PIDList;
    TUserConfigInfo m_userConfig;
    QString m_userConfigPath;
    std::unique_ptr<std::array<TR7Info, kKeyTableSize>> m_keyTable;
    TUSB* m_usb = nullptr;
    CommandEndpoint* m_endpoint = nullptr;
    QSystemTrayIcon* m_tray = nullptr;
    QMenu* m_menu = nullptr;
    DesktopNotifications* m_notifications = nullptr;
    TrayMenuNotice* m_menuNotice = nullptr;
    std::unique_ptr<BalloonNotifier> m_balloons;
    TUPinSetForm* m_pinDialog = nullptr;
    TProjectConfigForm* m_configDialog = nullptr;
    bool m_libraryOpened = false;
    bool m_destroyed = false;
    bool m_displayLost = false;
};

// The monitor's icon ("MAINICON"), drawn once.
QIcon MainIcon();

} // namespace kx::mon
