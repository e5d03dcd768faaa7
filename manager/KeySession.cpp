// SPDX-License-Identifier: Apache-2.0
#include "KeySession.h"

#include "drivers/drevmor/drevmor.h"
#include "keyservice/FingerJobs.h"

#include <algorithm>
#include <cstring>

namespace kx {

namespace {

KeyService::Options managerOptions()
{
    KeyService::Options options;
    options.tableSize = KeySession::kKeyTableSize - 1; // the token library is asked for 32 keys
    options.searchSensors = true;
    return options;
}

const CertTreeData& emptyTree()
{
    static const CertTreeData tree;
    return tree;
}

} // namespace

KeySession::KeySession(QObject* parent)
    : QObject(parent), m_service(new KeyService(managerOptions(), this)),
      m_registration(new StoreRegistration(*m_service, this))
{
    connect(m_service, &KeyService::keysCleared, this, &KeySession::keysCleared);
    connect(m_service, &KeyService::sensorSearched, this, &KeySession::fingerSensorChecked);
    connect(m_service, &KeyService::keysListed, this, &KeySession::keysListed);
    connect(m_service, &KeyService::listingFailed, this, &KeySession::listingFailed);
    connect(m_service, &KeyService::selectedKeyChanged, this, &KeySession::selectedKeyChanged);
    connect(m_service, &KeyService::loginStateChanged, this, &KeySession::loginStateChanged);
    connect(m_service, &KeyService::keyBusyChanged, this, &KeySession::keyBusyChanged);
    connect(m_service, &KeyService::keyWaiting, this, &KeySession::keyWaiting);
    connect(m_service, &KeyService::loginLost, this, &KeySession::loginLost);
    connect(m_service, &KeyService::journalSettled, this, [this](int keyIndex, const SettledWrite& settled) {
        // The certificates the key showed before are not what it holds now.
        m_trees.remove(m_service->keyId(keyIndex));
        Q_EMIT journalSettled(keyIndex, settled);
    });
}

KeySession::~KeySession() = default;

void KeySession::setAppInfo(const TAPPInfo& info)
{
    m_appInfo = info;
    m_registration->setProvider(info.CSPName, info.RegCertMode);
}

void KeySession::setUserConfig(const QString& path, const TUserConfigInfo& config)
{
    m_userConfigPath = path;
    m_userConfig = config;
}

void KeySession::openLibrary(std::function<void(int)> done)
{
    m_service->openLibrary(m_appInfo, this, std::move(done));
}

void KeySession::refresh(std::function<void(int)> done)
{
    startRefresh(std::move(done), false);
}

void KeySession::rescan(std::function<void(int)> done)
{
    bool removableListed = false;
    for (int i = 0; i < KeyCount(); ++i) {
        removableListed = removableListed || (m_service->keyCaps(i) & DRV_CAP_REMOVABLE);
    }
    startRefresh(std::move(done), !removableListed);
}

void KeySession::startRefresh(std::function<void(int)> done, bool restartModule)
{
    if (done) {
        m_refreshWaiters.push_back(std::move(done));
    }
    if (m_refreshing) {
        return;
    }
    m_refreshing = true;
    m_service->enumerate(
        this, [this](const KeyListing& listing) { listed(listing); }, restartModule);
}

void KeySession::listed(const KeyListing& listing)
{
    m_refreshing = false;
    m_trees.clear();
    m_service->applyListing(listing);
    if (listing.result == 0) {
        for (int i = 0; i < KeyCount(); ++i) {
            settleJournal(i);
        }
    }
    std::vector<std::function<void(int)>> waiters;
    waiters.swap(m_refreshWaiters);
    for (const auto& waiter : waiters) {
        waiter(listing.result);
    }
}

const CertTreeData& KeySession::certTree(int keyIndex) const
{
    const auto it = m_trees.constFind(m_service->keyId(keyIndex));
    return it == m_trees.constEnd() ? emptyTree() : *it;
}

void KeySession::setCertTree(int keyIndex, const CertTreeData& tree)
{
    if (keyIndexValid(keyIndex)) {
        m_trees.insert(m_service->keyId(keyIndex), tree);
    }
}

std::array<std::uint8_t, 2> KeySession::certPresence(int keyIndex, int container) const
{
    const CertTreeData& tree = certTree(keyIndex);
    if (container < 0 || static_cast<std::size_t>(container) >= tree.containers.size()) {
        return {0, 0};
    }
    const ContainerData& data = tree.containers[static_cast<std::size_t>(container)];
    return {static_cast<std::uint8_t>(data.pairs[0].certificate ? 1 : 0),
            static_cast<std::uint8_t>(data.pairs[1].certificate ? 2 : 0)};
}

void KeySession::setImportRunning(bool running)
{
    m_importRunning = running;
    Q_EMIT importRunningChanged(running);
}

void KeySession::readFingerInfo(std::uint32_t userType)
{
    const int k = CurrentKeyIndex();
    if (!keyIndexValid(k)) {
        return;
    }
    m_service->run<FingerRead>(
        k, QStringLiteral("K_Wait_Info"), [userType](KeyCall& key) { return ReadFingers(key, userType); }, this,
        [this, userType](FingerRead& read, int keyIndex) {
            // Information of a key that is no longer the selected one is not shown.
            if (keyIndex == CurrentKeyIndex()) {
                setFingerInfo(userType, read.info);
            }
        });
}

void KeySession::setFingerInfo(std::uint32_t userType, const FingerInfo& info)
{
    m_fingerInfo = info;
    if (userType == SkfUserType) {
        m_userFingerCount = info.enrolledCount;
    }
    Q_EMIT fingerInfoRead(userType);
}

void KeySession::renamed(int keyIndex, const QString& label)
{
    if (!keyIndexValid(keyIndex)) {
        return;
    }
    TR7Info info = keyInfo(keyIndex);
    const QByteArray utf8 = label.toUtf8();
    info.label.fill('\0');
    std::memcpy(info.label.data(), utf8.constData(),
                std::min(info.label.size() - 1, static_cast<std::size_t>(utf8.size())));
    m_service->setKeyInfo(keyIndex, info);
    Q_EMIT keyRenamed(keyIndex, label);
}

void KeySession::settleJournal(int keyIndex)
{
    m_service->settleJournal(keyIndex);
}

} // namespace kx
