// SPDX-License-Identifier: Apache-2.0
#pragma once

#include "KeySession.h"
#include "finger/FingerPictures.h"

#include "common/AppInfo.h"

#include <QMainWindow>

#include <array>
#include <functional>
#include <memory>
#include <utility>

class QAction;
class QLabel;
class QTimer;
class QTreeWidgetItem;

namespace Ui {
class TMainForm;
}

namespace kx {

class AboutPage;
class CertificatePage;
class CommandEndpoint;
class FingerPage;
class KeyInfoPage;
class KeyNamePage;
class KeyPresence;
class KeyTree;
class LoginPage;
class RemoteUnlockPage;
class SystemCheckPage;
class TUSB;
class UserPinPage;

// The manager's main window: the banner, the key tree on the left and the page of the chosen task
// on the right, the window's timers, hot-plug handling, the commands of the monitor, start-up and
// closing. The pages share one key session.
class TMainForm : public QMainWindow
{
    Q_OBJECT

public:
    static constexpr int kKeyTableSize = KeySession::kKeyTableSize;

    // Page indices of the page control.
    enum Page
    {
        PageKeyInfo = 0,
        PageUserPIN = 1,
        PageKeyName = 2,
        PageLogin = 3,
        PageCertificates = 4,
        PageSystemInfo = 5,
        PageAbout = 6,
        PageFinger = 11,
        PageFingerPictures = 12,
        PageRemoteUnlock = 14
    };

    explicit TMainForm(QWidget* parent = nullptr);
    ~TMainForm() override;

    // True when the window set itself up; false when it found the monitor's PIN dialog open and
    // asked the application to end.
    bool initialised() const { return m_initialised; }

    void ApplyTexts();
    void BuildTreeRoots();
    void tvChange(QTreeWidgetItem* node);
    // Lists the keys again; `done` gets 0 or the code of the failing step when the list is in.
    void RefreshKeyList(std::function<void(int result)> done = {});

    // The monitor's commands ("CLOSE", "LoadCert"); any other text is ignored.
    void handleCommand(const QString& text);
    void handleSystemCommand(quint32 command);

    // Hot-plug handling: a listed device arrived (the search starts after the arrival wait) or
    // left, and the search's tick.
    void USBArrival();
    void USBRemoval();
    // The periodic check of tokens that are not USB devices: gone ones are found by asking the
    // listed keys, returning ones by listing again while none is listed.
    void checkFixedTokens();
    void TFindUSBKeyTimer();
    // Listed arrivals minus listed removals.
    int ExpectedKeyCount() const;

    int ActivePageIndex() const;
    void showPage(int pageIndex);

    KeySession& session() { return *m_session; }
    const KeySession& session() const { return *m_session; }
    KeyInfoPage& keyInfoPage() { return *m_keyInfoPage; }
    UserPinPage& userPinPage() { return *m_userPinPage; }
    KeyNamePage& keyNamePage() { return *m_keyNamePage; }
    LoginPage& loginPage() { return *m_loginPage; }
    CertificatePage& certificatePage() { return *m_certificatePage; }
    SystemCheckPage& systemCheckPage() { return *m_systemCheckPage; }
    FingerPage& fingerPage() { return *m_fingerPage; }
    RemoteUnlockPage& remoteUnlockPage() { return *m_remoteUnlockPage; }

    // State, readable by tests.
    bool LibraryReady = false;
    int SearchCountdown = 3;
    const FingerPictures& fingerPictures() const { return m_fingerPictures; }
    KeyPresence* presence() const { return m_presence; }
    // A named timer or action of the window or of one of its pages.
    QTimer* timer(const char* name) const;
    QAction* action(const char* name) const;

protected:
    void showEvent(QShowEvent* event) override;
    // Notes whether the key tree was last used with the keyboard or the mouse.
    bool eventFilter(QObject* watched, QEvent* event) override;

private:
    void InitialiseMainWindow();
    void createPages();
    void createTimers();
    void openTokenLibrary();
    void TCloseProjectTimer();
    void TCheckInitTimer();
    void showKeyList();
    void showKeyInfoError();
    void updateActions();
    void showCertificates(int keyIndex);
    void closeImportDialog();
    void loadFingerPictures(const QString& folder);
    void fingerSensorChecked();
    void createBusyLine();
    void showKeyBusy();
    void showKeyWaiting(int keyIndex, const QString& step);

    std::unique_ptr<Ui::TMainForm> m_ui;
    std::unique_ptr<KeyTree> m_tree;
    KeySession* m_session = nullptr;
    TPIDList PIDList;
    FingerPictures m_fingerPictures;
    KeyInfoPage* m_keyInfoPage = nullptr;
    UserPinPage* m_userPinPage = nullptr;
    KeyNamePage* m_keyNamePage = nullptr;
    LoginPage* m_loginPage = nullptr;
    CertificatePage* m_certificatePage = nullptr;
    SystemCheckPage* m_systemCheckPage = nullptr;
    AboutPage* m_aboutPage = nullptr;
    FingerPage* m_fingerPage = nullptr;
    RemoteUnlockPage* m_remoteUnlockPage = nullptr;
    // The page control's pages by page index.
    std::array<std::pair<int, QWidget*>, 10> m_pages{};
    KeyPresence* m_presence = nullptr;
    QLabel* m_busyLine = nullptr;
    CommandEndpoint* m_endpoint = nullptr;
    bool m_initialised = false;
    bool m_treeByKeyboard = false; // the key tree's last input was a key, not a click
};

} // namespace kx
