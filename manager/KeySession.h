// SPDX-License-Identifier: Apache-2.0
#pragma once

#include "common/AppInfo.h"
#include "common/UserConfig.h"
#include "token/Call_GMAPIs_Admin.h"
#include "token/TokenRecords.h"

#include <QObject>

#include <array>
#include <cstdint>
#include <memory>
#include <vector>

namespace kx {

// The keys the manager works on: the key table, the selected key, the login state of every key,
// the certificate presence of their containers and the SKF state of the fingerprint and unlock
// functions. It knows no widgets; the pages read and change keys through it and follow its
// signals.
class KeySession : public QObject
{
    Q_OBJECT

public:
    static constexpr int kKeyTableSize = 33;
    // Login states: no key, present and logged out, logged in.
    static constexpr int kNoKey = 0;
    static constexpr int kLoggedOut = 1;
    static constexpr int kLoggedIn = 2;

    explicit KeySession(QObject* parent = nullptr);
    ~KeySession() override;

    // The program's settings and the user's configuration that the pages act on.
    const TAPPInfo& appInfo() const { return m_appInfo; }
    void setAppInfo(const TAPPInfo& info) { m_appInfo = info; }
    TUserConfigInfo& userConfig() { return m_userConfig; }
    const QString& userConfigPath() const { return m_userConfigPath; }
    void setUserConfig(const QString& path, const TUserConfigInfo& config);

    // Opens the token library named by the settings; 0 on success. The session closes it again.
    int openLibrary();

    // Forgets the keys, enumerates them again, reads their information and looks for a sensor;
    // 0 on success, else the code of the failing step (the keys read before it are kept).
    int refresh();

    int KeyCount() const { return m_keyCount; }
    int CurrentKeyIndex() const { return m_currentKey; }
    bool keyIndexValid(int keyIndex) const { return keyIndex >= 0 && keyIndex < m_keyCount; }
    void selectKey(int keyIndex);
    int LoginState(int keyIndex) const;
    void setLoginState(int keyIndex, int state);
    bool loggedIn(int keyIndex) const { return keyIndexValid(keyIndex) && LoginState(keyIndex) == kLoggedIn; }

    const TR7Info& keyInfo(int keyIndex) const { return (*m_keys)[static_cast<std::size_t>(keyIndex)]; }
    // Reads the key's information again into the table; false when the key did not answer.
    bool reloadKeyInfo(int keyIndex);
    // Reads the container names of a key and forgets what was known of their certificates.
    void reloadContainers(int keyIndex);
    PinState pinState(int keyIndex) const;

    // Logs the key in with `pin` (and the SKF application of a sensor key), re-reading its
    // objects; 0 or the failing code with the tries left.
    int login(int keyIndex, const QString& pin, int& retriesLeft);
    // Checks a PIN by a login and logs out again; the key ends logged out either way.
    int checkPin(int keyIndex, const QString& pin, int& retriesLeft);
    void logout(int keyIndex);
    // Marks a key logged in after a logon by finger and re-reads its objects.
    void fingerLoggedIn(int keyIndex);
    // Writes a new label to the key and to the table; 0 or the key's code.
    int renameKey(int keyIndex, const QString& label);

    // Registers the certificates of a key in the user's stores; 0 or the failing code.
    int registerCertificates(int keyIndex);

    // The presence bytes of a container: 1 / 0 for an exchange certificate, 2 / 0 for a
    // signature certificate.
    std::array<std::uint8_t, 2> certPresence(int keyIndex, int container) const;
    void setCertPresence(int keyIndex, int container, int keySpec, bool present);

    // True while an import runs: everything that changes or re-reads the key waits for it.
    bool importRunning() const { return m_importRunning; }
    void setImportRunning(bool running);

    Call_GMAPIs_Admin& skf() { return m_skf; }
    bool FingerSupported() const { return m_fingerSupported; }
    bool FingerVein() const { return m_fingerVein; }
    std::uint32_t UserFingerCount() const { return m_userFingerCount; }
    // Reads the enrolled fingers of the selected key for `userType`.
    void readFingerInfo(std::uint32_t userType);

signals:
    void keysCleared();
    void keysListed();
    void listingFailed();
    void selectedKeyChanged(int keyIndex);
    void loginStateChanged(int keyIndex, int state);
    void keyRenamed(int keyIndex, const QString& label);
    void importRunningChanged(bool running);
    // The sensor search of a refresh has ended; FingerSupported() and FingerVein() tell its result.
    void fingerSensorChecked();
    void fingerInfoRead(std::uint32_t userType);

private:
    void detectFingerSensor();

    TAPPInfo m_appInfo;
    TUserConfigInfo m_userConfig;
    QString m_userConfigPath;
    bool m_libraryOpened = false;
    std::unique_ptr<std::array<TR7Info, kKeyTableSize>> m_keys;
    int m_keyCount = 0;
    int m_currentKey = 0;
    std::array<int, kKeyTableSize> m_loginState{};
    // Certificate presence by key and container position, one entry per container of the key.
    std::array<std::vector<std::array<std::uint8_t, 2>>, kKeyTableSize> m_presence{};
    bool m_importRunning = false;
    Call_GMAPIs_Admin m_skf;
    bool m_fingerSupported = false;
    bool m_fingerVein = false;
    std::uint32_t m_userFingerCount = 0;
};

} // namespace kx
