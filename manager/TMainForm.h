// SPDX-License-Identifier: Apache-2.0
#pragma once

#include "CertImportJob.h"
#include "finger/FingerPictures.h"

#include "common/AppInfo.h"
#include "common/UserConfig.h"
#include "token/Call_GMAPIs_Admin.h"
#include "token/TokenRecords.h"

#include <QMainWindow>

#include <array>
#include <memory>
#include <vector>

class QAbstractButton;
class QAction;
class QTimer;
class QTreeWidgetItem;

namespace Ui {
class TMainForm;
}

namespace kx {

class CommandEndpoint;
class PackageQuery;
class TUSB;

// The manager's main window: the key tree on the left, one page per task on the right, the key
// table and the login state of every key, hot-plug handling and the commands of the monitor.
class TMainForm : public QMainWindow
{
    Q_OBJECT

public:
    static constexpr int kKeyTableSize = 33;

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
    int RefreshKeyList();
    void ShowKeyInfo(int keyIndex);

    void AcLoginExecute();
    void AcLoginUpdate();
    void AclogoutExecute();
    void AcCancelExecute();
    void AcFindKeyRefreshExecute();
    void AcSetUserPINExecute();
    void AcSetUserPINUpdate();
    void AcSetKeyNameExecute();
    void AcSetKeyNameUpdate();

    // The certificate page.
    void LoadCertTree(int keyIndex);
    void UpdateCertActions();
    void AcrefreshExecute();
    void AcListCertExecute();
    void AcOutputExecute();
    void AcDelExecute();
    void AcDelCertExecute();
    void AcRegCertExecute();
    void AcUnRegCertExecute();
    void AcInputCertExecute();
    // The presence bytes of a container: 1 / 0 for an exchange certificate, 2 / 0 for a
    // signature certificate.
    std::array<std::uint8_t, 2> certPresence(int keyIndex, int container) const;
    // True while an import runs: everything that changes or re-reads the key waits for it.
    bool importRunning() const { return m_importRunning; }

    // The fingerprint page and the fingerprint logon.
    void DetectFingerSensor();
    void FingerPageRefresh(std::uint32_t userType);
    void AcFingerInputExecute(int finger);
    void AcFingerDelExecute();
    void AcFingerUnlockExecute();
    void AcFingerTestExecute();
    void AcFingerStudyExecute();
    void AcFingerlogonExecute();
    void AcFingerlogonUpdate();

    // The remote unlock page.
    void AcRequestExecute();
    void AcRemoteUnLockExecute();
    void AcRemoteUnLockUpdate();

    // The system check page: five rows of facts about the host. The rows of the browser and the
    // provider are completed when the package database has answered.
    void RunSystemCheck();

    // The monitor's commands ("CLOSE", "LoadCert"); any other text is ignored.
    void handleCommand(const QString& text);
    void handleSystemCommand(quint32 command);

    // Hot-plug handling.
    void USBArrival(TUSB* component);
    void USBRemoval(TUSB* component);
    void TFindUSBKeyTimer();

    int ActivePageIndex() const;
    void showPage(int pageIndex);

    // State, readable by tests.
    int KeyCount = 0;
    int CurrentKeyIndex = 0;
    std::array<int, kKeyTableSize> LoginState{};
    bool LibraryReady = false;
    int ExpectedKeyCount = 0;
    int SearchCountdown = 3;
    bool FingerSupported = false;
    bool FingerVein = false;
    std::uint32_t UserFingerCount = 0;
    int SelectedFinger = 0;
    const FingerPictures& fingerPictures() const { return m_fingerPictures; }
    const TR7Info& keyInfo(int keyIndex) const { return (*m_keyTable)[static_cast<std::size_t>(keyIndex)]; }
    TUSB* usb() const { return m_usb; }
    Call_GMAPIs_Admin& skf() { return m_skf; }
    QTimer* timer(const char* name) const;
    QAction* action(const char* name) const;

protected:
    void showEvent(QShowEvent* event) override;
    bool eventFilter(QObject* watched, QEvent* event) override;

private:
    void InitialiseMainWindow();
    // A named action of the window, triggering `execute`, shown by `button` when there is one.
    QAction* makeAction(const char* name, void (TMainForm::*execute)(), QAbstractButton* button);
    // Shows why a key cannot be used for a PIN operation (not initialised, PIN locked); true
    // when it can.
    bool refuseUnusableKey(int keyIndex);
    void createActions();
    void createTimers();
    void openTokenLibrary();
    void TCloseProjectTimer();
    void TCheckInitTimer();
    void addKeyNodes(int keyIndex);
    void showKeyInfoError();
    void updateActions();
    bool keyIndexValid(int keyIndex) const { return keyIndex >= 0 && keyIndex < KeyCount; }
    QTreeWidgetItem* keyNode(int keyIndex) const;
    // Tells why a login (or the old-PIN check of a PIN change) failed: tries left only for a
    // PIN the key refused, the missing key or the code otherwise.
    void reportLoginFailure(int result, int retriesLeft, bool oldPin);
    void closeImportDialog();
    void openAboutLink(bool mail);
    void createCertActions();
    void addCertNodes(QTreeWidgetItem* container, int keyIndex, const QByteArray& name, int keySpec);
    bool selectedCertificate(QByteArray& name, int& keySpec, int& container) const;
    bool readSelectedCertificate(QByteArray& der);
    void afterDeletion(int result);
    void reportImportFailure(int result);
    // Runs the import job on a worker for certificate `certificate` of `certificates` and waits
    // for it, moving the progress bar; returns the worker's result.
    int runImportWorker(bool singleCertificate, int certificate, int certificates);
    // Marks the import as running or ended and enables or disables what must wait for it.
    void setImportRunning(bool running);
    void createFingerActions();
    void loadFingerPictures(const QString& folder);
    // The shared check of the test, learning and logon actions; true when they may go on.
    bool fingerActionAllowed();
    void reportFingerResult(std::uint32_t result);
    bool selectedKeyLoggedIn() const;
    void createUnlockActions();
    // The SKF application of the selected key after a short refresh; false (and the user told)
    // when no SKF device is there.
    bool selectUnlockApplication();
    void TRegCertTimer();
    void createSystemCheck();
    void TimerCertTick();

    std::unique_ptr<Ui::TMainForm> m_ui;
    TAPPInfo m_appInfo;
    TPIDList PIDList;
    TUserConfigInfo m_userConfig;
    QString m_userConfigPath;
    std::unique_ptr<std::array<TR7Info, kKeyTableSize>> m_keyTable;
    PinState m_pinState;
    TUSB* m_usb = nullptr;
    CommandEndpoint* m_endpoint = nullptr;
    // Certificate presence by key and container position, one entry per container of the key.
    std::array<std::vector<std::array<std::uint8_t, 2>>, kKeyTableSize> m_presence{};
    CertImportJob m_importJob;
    bool m_importRunning = false;
    Call_GMAPIs_Admin m_skf;
    FingerPictures m_fingerPictures;
    bool m_initialised = false;
    bool m_libraryOpened = false;
    PackageQuery* m_providerPackage = nullptr;
    PackageQuery* m_browserPackage = nullptr;
    QString m_browserName;
    // The progress bar's value at the end of the certificate being imported.
    int m_importCeiling = 100;
};

} // namespace kx
