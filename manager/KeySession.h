// SPDX-License-Identifier: Apache-2.0
#pragma once

#include "common/AppInfo.h"
#include "common/UserConfig.h"
#include "keyservice/CertJobs.h"
#include "keyservice/KeyService.h"
#include "keyservice/StoreRegistration.h"
#include "token/GMAPIs.h"
#include "token/TokenRecords.h"

#include <QHash>
#include <QObject>

#include <array>
#include <cstdint>
#include <functional>

namespace kx {

// The manager's keys: the key service (key table, selected key, login states, jobs) with what
// the manager adds to it: its settings, the containers each key showed at its last read, the
// import lock and the fingerprint information of the selected key. It knows no widgets; the
// pages reach keys only through it and follow its signals.
class KeySession : public QObject
{
    Q_OBJECT

public:
    static constexpr int kKeyTableSize = 33;
    static constexpr int kNoKey = KeyService::kNoKey;
    static constexpr int kLoggedOut = KeyService::kLoggedOut;
    static constexpr int kLoggedIn = KeyService::kLoggedIn;

    explicit KeySession(QObject* parent = nullptr);
    ~KeySession() override;

    KeyService& service() { return *m_service; }
    const KeyService& service() const { return *m_service; }
    // The registration of every listed key's certificates in the user's stores.
    StoreRegistration& registration() { return *m_registration; }

    // The program's settings and the user's configuration that the pages act on.
    const TAPPInfo& appInfo() const { return m_appInfo; }
    void setAppInfo(const TAPPInfo& info);
    TUserConfigInfo& userConfig() { return m_userConfig; }
    const QString& userConfigPath() const { return m_userConfigPath; }
    void setUserConfig(const QString& path, const TUserConfigInfo& config);

    // Opens the token library named by the settings; `done` gets 0 or the library's code.
    void openLibrary(std::function<void(int result)> done);

    // Enumerates the keys again, reads their information and looks for a sensor; the new list
    // replaces the old one when it arrives (keysCleared, then keysListed or listingFailed), and
    // `done` gets 0 or the code of the failing step. A refresh asked for while one runs is
    // answered by the running one.
    void refresh(std::function<void(int result)> done = {});
    // The refresh the user asks for: while no removable key is listed, the module is also
    // restarted first, so that tokens that are not USB devices and came since are found.
    void rescan(std::function<void(int result)> done = {});
    bool refreshing() const { return m_refreshing; }

    int KeyCount() const { return m_service->KeyCount(); }
    int CurrentKeyIndex() const { return m_service->CurrentKeyIndex(); }
    bool keyIndexValid(int keyIndex) const { return m_service->keyIndexValid(keyIndex); }
    void selectKey(int keyIndex) { m_service->selectKey(keyIndex); }
    int LoginState(int keyIndex) const { return m_service->LoginState(keyIndex); }
    void setLoginState(int keyIndex, int state) { m_service->setLoginState(keyIndex, state); }
    bool loggedIn(int keyIndex) const { return m_service->loggedIn(keyIndex); }
    const TR7Info& keyInfo(int keyIndex) const { return m_service->keyInfo(keyIndex); }
    // Whether a job of the key (or the enumeration) runs or waits.
    bool keyBusy(int keyIndex) const { return m_service->keyBusy(keyIndex) || m_service->enumerating(); }

    // The containers of the key as its last read showed them (for the certificate page).
    const CertTreeData& certTree(int keyIndex) const;
    void setCertTree(int keyIndex, const CertTreeData& tree);
    // The presence bytes of a container at a position of that read: 1 / 0 for an exchange
    // certificate, 2 / 0 for a signature certificate.
    std::array<std::uint8_t, 2> certPresence(int keyIndex, int container) const;

    // True while an import runs: everything that changes or re-reads the key waits for it.
    bool importRunning() const { return m_importRunning; }
    void setImportRunning(bool running);

    bool FingerSupported() const { return m_service->FingerSupported(); }
    bool FingerVein() const { return m_service->FingerVein(); }
    bool keyHasSensor(int keyIndex) const { return m_service->keyHasSensor(keyIndex); }
    std::uint32_t FingerUserType() const { return SkfUserType; }
    // The fingerprint information of the selected key as last read, and its enrolled count.
    const FingerInfo& fingerInfo() const { return m_fingerInfo; }
    std::uint32_t UserFingerCount() const { return m_userFingerCount; }
    // Reads the enrolled fingers of the selected key for `userType`; fingerInfoRead follows.
    void readFingerInfo(std::uint32_t userType);
    // Takes fingerprint information read by a page's own job.
    void setFingerInfo(std::uint32_t userType, const FingerInfo& info);

    // Writes a new label to the table after the key took it.
    void renamed(int keyIndex, const QString& label);

    // Looks at the key's journal for a write cut short, and finishes or undoes it.
    void settleJournal(int keyIndex);

Q_SIGNALS:
    void keysCleared();
    void keysListed();
    void listingFailed();
    void selectedKeyChanged(int keyIndex);
    void loginStateChanged(int keyIndex, int state);
    void keyBusyChanged(int keyIndex, bool busy);
    void keyWaiting(int keyIndex, const QString& what);
    void keyRenamed(int keyIndex, const QString& label);
    void importRunningChanged(bool running);
    // The sensor search of a refresh has ended; FingerSupported() and FingerVein() tell its result.
    void fingerSensorChecked();
    void fingerInfoRead(std::uint32_t userType);
    // A write left unfinished on a key was finished or undone.
    void journalSettled(int keyIndex, const kx::SettledWrite& settled);
    // A job found the key's login lost: it is logged out now.
    void loginLost(int keyIndex);

private:
    void startRefresh(std::function<void(int result)> done, bool restartModule);
    void listed(const KeyListing& listing);

    KeyService* m_service;
    StoreRegistration* m_registration;
    TAPPInfo m_appInfo;
    TUserConfigInfo m_userConfig;
    QString m_userConfigPath;
    QHash<QByteArray, CertTreeData> m_trees;
    bool m_importRunning = false;
    bool m_refreshing = false;
    std::vector<std::function<void(int)>> m_refreshWaiters;
    FingerInfo m_fingerInfo;
    std::uint32_t m_userFingerCount = 0;
};

} // namespace kx
