// SPDX-License-Identifier: Apache-2.0
#include "KeySession.h"

#include "common/Delay.h"
#include "token/CertRegistration.h"
#include "token/TokenWrappers.h"

#include <algorithm>
#include <cstring>

namespace kx {

namespace {

// Capability values of the SKF library: above 1 a sensor, 5 a finger-vein sensor.
constexpr std::uint32_t kFingerVeinCapability = 5;

bool inTable(int keyIndex)
{
    return keyIndex >= 0 && keyIndex < KeySession::kKeyTableSize;
}

} // namespace

KeySession::KeySession(QObject* parent)
    : QObject(parent), m_keys(std::make_unique<std::array<TR7Info, kKeyTableSize>>())
{
    m_skf.fingerPageRefresh = [this](std::uint32_t userType) { readFingerInfo(userType); };
}

KeySession::~KeySession()
{
    if (m_libraryOpened) {
        uninit_pkcs11();
    }
}

void KeySession::setUserConfig(const QString& path, const TUserConfigInfo& config)
{
    m_userConfigPath = path;
    m_userConfig = config;
}

int KeySession::openLibrary()
{
    const int result =
        InitTokenLibrary(m_appInfo.PKCS11Lib, m_appInfo.USBEnumString, m_appInfo.OEMID, m_appInfo.APPName);
    m_libraryOpened = true;
    return result;
}

int KeySession::refresh()
{
    // 1. Forget the old keys.
    m_loginState.fill(kNoKey);
    for (int i = 0; i < kKeyTableSize - 1; ++i) {
        (*m_keys)[static_cast<std::size_t>(i)] = TR7Info{};
    }
    emit keysCleared();
    // 2. Enumerate.
    int count = 0;
    const int found = FindAndConnectKeys(count);
    m_keyCount = 0;
    if (found != 0) {
        emit listingFailed();
        return found;
    }
    m_keyCount = std::clamp(count, 0, kKeyTableSize - 1);
    // 3. Every key's information.
    for (int i = 0; i < m_keyCount; ++i) {
        const int result = token_get_info_ex(i, (*m_keys)[static_cast<std::size_t>(i)]);
        if (result != 0) {
            m_keyCount = i;
            emit listingFailed();
            return result;
        }
    }
    // 4. The keys get fingerprint features only when the SKF library reports a sensor; the
    // library needs a moment after the enumeration.
    m_fingerSupported = false;
    m_fingerVein = false;
    Delay(500);
    detectFingerSensor();
    // 5. Every key present and logged out, the first one selected.
    m_currentKey = 0;
    for (int i = 0; i < m_keyCount; ++i) {
        m_loginState[static_cast<std::size_t>(i)] = kLoggedOut;
    }
    emit keysListed();
    return 0;
}

void KeySession::detectFingerSensor()
{
    if (m_skf.FullRefresh() == 0) {
        const std::uint32_t capability = m_skf.CapabilityQuery();
        m_fingerSupported = capability > 1;
        m_fingerVein = capability == kFingerVeinCapability;
    }
    emit fingerSensorChecked();
}

void KeySession::selectKey(int keyIndex)
{
    if (keyIndex == m_currentKey) {
        return;
    }
    m_currentKey = keyIndex;
    emit selectedKeyChanged(keyIndex);
}

int KeySession::LoginState(int keyIndex) const
{
    return inTable(keyIndex) ? m_loginState[static_cast<std::size_t>(keyIndex)] : kNoKey;
}

void KeySession::setLoginState(int keyIndex, int state)
{
    if (!inTable(keyIndex)) {
        return;
    }
    m_loginState[static_cast<std::size_t>(keyIndex)] = state;
    emit loginStateChanged(keyIndex, state);
}

bool KeySession::reloadKeyInfo(int keyIndex)
{
    return inTable(keyIndex) && token_get_info_ex(keyIndex, (*m_keys)[static_cast<std::size_t>(keyIndex)]) == 0;
}

void KeySession::reloadContainers(int keyIndex)
{
    if (!keyIndexValid(keyIndex)) {
        return;
    }
    TR7Info& info = (*m_keys)[static_cast<std::size_t>(keyIndex)];
    if (LoadContainerNames(keyIndex, info) != 0) {
        info.containerCount = 0;
    }
    m_presence[static_cast<std::size_t>(keyIndex)].assign(static_cast<std::size_t>(info.containerCount), {0, 0});
}

PinState KeySession::pinState(int keyIndex) const
{
    PinState state;
    token_get_pin_state(keyIndex, 1, state);
    return state;
}

int KeySession::login(int keyIndex, const QString& pin, int& retriesLeft)
{
    token_logout(keyIndex);
    setLoginState(keyIndex, kLoggedOut);
    const int result = token_login(keyIndex, pin, retriesLeft);
    if (result != 0) {
        return result;
    }
    // Fingerprint changes go through the SKF application, which has a login of its own.
    if (m_fingerSupported) {
        m_skf.SelectApplication(keyInfo(keyIndex).serialText().toLatin1());
        std::uint32_t skfRetries = 0;
        m_skf.VerifyPIN(m_skf.SkfAppHandle, m_skf.FingerUserType, pin, skfRetries);
    }
    token_reload_all_objects(keyIndex);
    setLoginState(keyIndex, kLoggedIn);
    return 0;
}

int KeySession::checkPin(int keyIndex, const QString& pin, int& retriesLeft)
{
    token_logout(keyIndex);
    setLoginState(keyIndex, kLoggedOut);
    const int result = token_login(keyIndex, pin, retriesLeft);
    if (result == 0) {
        token_logout(keyIndex);
        setLoginState(keyIndex, kLoggedOut);
    }
    return result;
}

void KeySession::logout(int keyIndex)
{
    token_logout(keyIndex);
    if (m_fingerSupported) {
        m_skf.ClearSecureState(m_skf.SkfAppHandle);
    }
    setLoginState(keyIndex, kLoggedOut);
}

void KeySession::fingerLoggedIn(int keyIndex)
{
    setLoginState(keyIndex, kLoggedIn);
    token_reload_all_objects(keyIndex);
}

int KeySession::renameKey(int keyIndex, const QString& label)
{
    if (!keyIndexValid(keyIndex)) {
        return -1;
    }
    if (const int result = token_set_label(keyIndex, label); result != 0) {
        return result;
    }
    const QByteArray utf8 = label.toUtf8();
    TR7Info& info = (*m_keys)[static_cast<std::size_t>(keyIndex)];
    info.label.fill('\0');
    std::memcpy(info.label.data(), utf8.constData(),
                std::min(info.label.size() - 1, static_cast<std::size_t>(utf8.size())));
    emit keyRenamed(keyIndex, label);
    return 0;
}

int KeySession::registerCertificates(int keyIndex)
{
    if (!inTable(keyIndex)) {
        return -1;
    }
    return RegisterKeyCertificates(keyIndex, (*m_keys)[static_cast<std::size_t>(keyIndex)], m_appInfo.CSPName,
                                   m_appInfo.RegCertMode);
}

std::array<std::uint8_t, 2> KeySession::certPresence(int keyIndex, int container) const
{
    if (!inTable(keyIndex) || container < 0 ||
        static_cast<std::size_t>(container) >= m_presence[static_cast<std::size_t>(keyIndex)].size()) {
        return {0, 0};
    }
    return m_presence[static_cast<std::size_t>(keyIndex)][static_cast<std::size_t>(container)];
}

void KeySession::setCertPresence(int keyIndex, int container, int keySpec, bool present)
{
    if (!inTable(keyIndex) || container < 0 || keySpec < 1 || keySpec > 2 ||
        static_cast<std::size_t>(container) >= m_presence[static_cast<std::size_t>(keyIndex)].size()) {
        return;
    }
    m_presence[static_cast<std::size_t>(keyIndex)][static_cast<std::size_t>(container)]
              [static_cast<std::size_t>(keySpec - 1)] = present ? static_cast<std::uint8_t>(keySpec) : 0;
}

void KeySession::setImportRunning(bool running)
{
    m_importRunning = running;
    emit importRunningChanged(running);
}

void KeySession::readFingerInfo(std::uint32_t userType)
{
    if (keyIndexValid(m_currentKey)) {
        m_skf.SelectApplication(keyInfo(m_currentKey).serialText().toLatin1());
    }
    m_skf.ReadFingerInfo(m_skf.SkfAppHandle, userType, m_skf.FingerInfo);
    if (userType == SkfUserType) {
        m_userFingerCount = m_skf.FingerInfo.enrolledCount;
    }
    emit fingerInfoRead(userType);
}

} // namespace kx
