// SPDX-License-Identifier: Apache-2.0
#include "KeyService.h"

#include "CertJobs.h"
#include "KeyJournal.h"
#include "SkfAccess.h"

#include "common/AppInfo.h"
#include "drivers/drevmor/drevmor.h"
#include "token/KeyThreadGuard.h"
#include "token/TokenWrappers.h"

#include <QThread>

#include <algorithm>

namespace kx {

namespace {

// Capability values of the SKF library: above 1 a sensor, 5 a finger-vein sensor.
constexpr std::uint32_t kFingerVeinCapability = 5;

const TR7Info& emptyInfo()
{
    static const TR7Info info;
    return info;
}

QByteArray serialOf(const TR7Info& info)
{
    const auto end = std::find(info.serial.begin(), info.serial.end(), '\0');
    return QByteArray(info.serial.data(), static_cast<qsizetype>(end - info.serial.begin()));
}

template <std::size_t N>
QByteArray textOf(const std::array<char, N>& field)
{
    const auto end = std::find(field.begin(), field.end(), '\0');
    return QByteArray(field.data(), static_cast<qsizetype>(end - field.begin())).trimmed();
}

// The identity of a key: its serial number. Some modules give every token the same serial (a
// TPM's tokens are all "0000000000000000"), so a serial that is empty or one digit repeated is
// told apart by the model, the slot and the label as well.
QByteArray identityOf(const TR7Info& info, unsigned long slot)
{
    const QByteArray serial = serialOf(info);
    const QByteArray trimmed = serial.trimmed();
    const bool distinctive = !trimmed.isEmpty() && trimmed.count(trimmed.front()) != trimmed.size();
    if (distinctive) {
        return serial;
    }
    return serial + '@' + textOf(info.model) + "/slot" + QByteArray::number(static_cast<qulonglong>(slot)) + '/' +
           textOf(info.label);
}

} // namespace

KeyService::KeyService(const Options& options, QObject* parent)
    : QObject(parent), m_options(options), m_lanes(new KeyLanes(this)), m_directory(std::make_shared<KeyDirectory>()),
      m_skf(options.searchSensors ? std::make_shared<SkfAccess>() : nullptr),
      m_journal(std::make_unique<KeyJournal>(KeyJournal::defaultFolder()))
{
    // The thread of the service is the one that paints the windows: no key call may be made on it.
    KeyThreadGuard::forbid(thread());
    connect(m_lanes, &KeyLanes::laneBusyChanged, this, [this](const QByteArray& lane, bool busy) {
        Q_EMIT keyBusyChanged(lane.isEmpty() ? -1 : indexOf(lane), busy);
    });
    connect(m_lanes, &KeyLanes::laneWaiting, this, [this](const QByteArray& lane, const QString& what) {
        Q_EMIT keyWaiting(lane.isEmpty() ? -1 : indexOf(lane), what);
    });
    connect(m_lanes, &KeyLanes::becameIdle, this, &KeyService::becameIdle);
}

KeyService::~KeyService()
{
    finish(2000);
    // The rule lives as long as a service that keeps its thread free of key calls.
    KeyThreadGuard::forbid(nullptr);
}

void KeyService::openLibrary(const TAPPInfo& app, QObject* receiver, std::function<void(int)> done)
{
    const QString pkcs11Lib = app.PKCS11Lib;
    const QString usbEnumString = app.USBEnumString;
    const QString oemId = app.OEMID;
    const QString appName = app.APPName;
    const QPointer<KeyService> self(this);
    runOnAllKeys<int>(
        QStringLiteral("K_Wait_Open"),
        [=](JobControl&) { return InitTokenLibrary(pkcs11Lib, usbEnumString, oemId, appName); }, receiver,
        [self, done](int& result) {
            if (self) {
                // The library is closed again at the end even when it did not open completely.
                self->m_libraryOpened = true;
            }
            done(result);
        });
}

void KeyService::enumerate(QObject* receiver, std::function<void(const KeyListing&)> done, bool restartModule)
{
    const std::shared_ptr<KeyDirectory> directory = m_directory;
    const std::shared_ptr<SkfAccess> skf = m_skf;
    const Options options = m_options;
    runOnAllKeys<KeyListing>(
        QStringLiteral("K_Wait_Find"),
        [directory, skf, options, restartModule](JobControl& control) {
            KeyListing listing;
            directory->renumber([&] {
                if (restartModule) {
                    // A module that does not restart still lists what it has.
                    token_restart_module();
                }
                int count = 0;
                const int found = FindAndConnectKeys(count);
                if (found != 0) {
                    listing.result = found;
                    return QList<QByteArray>();
                }
                count = std::clamp(count, 0, options.tableSize);
                listing.found = count;
                QList<QByteArray> serials;
                for (int i = 0; i < count; ++i) {
                    control.step(QStringLiteral("K_Wait_Info"));
                    TR7Info info;
                    const int read = token_get_info_ex(i, info);
                    if (read != 0) {
                        listing.result = read;
                        break;
                    }
                    unsigned long slot = 0;
                    int caps = 0;
                    const int kind = token_get_caps(i, slot, caps);
                    if (kind != 0) {
                        listing.result = kind;
                        break;
                    }
                    serials.append(identityOf(info, slot));
                    listing.infos.push_back(info);
                    listing.caps.append(caps);
                }
                listing.keys = KeyDirectory::identities(serials);
                return listing.keys;
            });
            if (listing.result != 0 || !skf) {
                return listing;
            }
            // The SKF library sees a key a moment after the token library does.
            control.step(QStringLiteral("K_Wait_Sensor"));
            if (options.sensorWaitMs > 0 && !control.cancelled()) {
                QThread::msleep(static_cast<unsigned long>(options.sensorWaitMs));
            }
            listing.sensorSearched = true;
            skf->run([&](Call_GMAPIs_Admin& admin) {
                if (admin.FullRefresh() == 0) {
                    const std::uint32_t capability = admin.CapabilityQuery();
                    listing.fingerSupported = capability > 1;
                    listing.fingerVein = capability == kFingerVeinCapability;
                }
                for (const TR7Info& info : listing.infos) {
                    listing.keySensor.append(listing.fingerSupported && admin.KeyHasSensor(serialOf(info)));
                }
                return SAR_OK;
            });
            return listing;
        },
        receiver, [done](KeyListing& listing) { done(listing); });
}

void KeyService::applyListing(const KeyListing& listing)
{
    m_keys.clear();
    m_currentKey = 0;
    Q_EMIT keysCleared();
    for (std::size_t i = 0; i < listing.infos.size() && i < static_cast<std::size_t>(listing.keys.size()); ++i) {
        KeyState key;
        key.id = listing.keys[static_cast<qsizetype>(i)];
        key.info = listing.infos[i];
        key.sensor =
            i < static_cast<std::size_t>(listing.keySensor.size()) && listing.keySensor[static_cast<qsizetype>(i)];
        key.caps = i < static_cast<std::size_t>(listing.caps.size()) ? listing.caps[static_cast<qsizetype>(i)]
                                                                     : DRV_CAP_REMOVABLE | DRV_CAP_SET_LABEL;
        m_keys.push_back(key);
    }
    if (listing.result != 0) {
        Q_EMIT listingFailed();
        return;
    }
    if (listing.sensorSearched) {
        m_fingerSupported = listing.fingerSupported;
        m_fingerVein = listing.fingerVein;
        // Before the keys are shown: what the sensor search found decides how they are shown.
        Q_EMIT sensorSearched();
    }
    Q_EMIT keysListed();
}

void KeyService::checkAllKeysAnswer(QObject* receiver, std::function<void(bool)> done)
{
    const std::shared_ptr<KeyDirectory> directory = m_directory;
    QList<std::pair<QByteArray, bool>> keys;
    for (const KeyState& key : m_keys) {
        keys.append({key.id, (key.caps & DRV_CAP_REMOVABLE) != 0});
    }
    runOnAllKeys<bool>(
        QStringLiteral("K_Wait_Info"),
        [directory, keys](JobControl&) {
            if (keys.isEmpty()) {
                return false;
            }
            for (const auto& [key, removable] : keys) {
                TR7Info info;
                if (directory->withKey(key, [&](int position) { return token_get_info_ex(position, info); }) != 0) {
                    return false;
                }
                // A token that is not a USB device may be answered for from the module's memory:
                // its device is asked itself.
                if (!removable &&
                    directory->withKey(key, [](int position) { return token_check_device(position); }) != 0) {
                    return false;
                }
            }
            return true;
        },
        receiver, [done](bool& allAnswer) { done(allAnswer); });
}

const TR7Info& KeyService::keyInfo(int keyIndex) const
{
    return keyIndexValid(keyIndex) ? m_keys[static_cast<std::size_t>(keyIndex)].info : emptyInfo();
}

void KeyService::setKeyInfo(int keyIndex, const TR7Info& info)
{
    if (keyIndexValid(keyIndex)) {
        TR7Info& held = m_keys[static_cast<std::size_t>(keyIndex)].info;
        // The container names are read apart from the information and stay.
        const auto names = held.containerNames;
        const auto count = held.containerCount;
        held = info;
        held.containerNames = names;
        held.containerCount = count;
    }
}

int KeyService::keyCaps(int keyIndex) const
{
    return keyIndexValid(keyIndex) ? m_keys[static_cast<std::size_t>(keyIndex)].caps : 0;
}

bool KeyService::anyFixedKey() const
{
    return std::any_of(m_keys.begin(), m_keys.end(),
                       [](const KeyState& key) { return !(key.caps & DRV_CAP_REMOVABLE); });
}

QByteArray KeyService::keyId(int keyIndex) const
{
    return keyIndexValid(keyIndex) ? m_keys[static_cast<std::size_t>(keyIndex)].id : QByteArray();
}

int KeyService::indexOf(const QByteArray& key) const
{
    for (std::size_t i = 0; i < m_keys.size(); ++i) {
        if (m_keys[i].id == key) {
            return static_cast<int>(i);
        }
    }
    return -1;
}

void KeyService::selectKey(int keyIndex)
{
    if (keyIndex == m_currentKey) {
        return;
    }
    m_currentKey = keyIndex;
    Q_EMIT selectedKeyChanged(keyIndex);
}

int KeyService::LoginState(int keyIndex) const
{
    return keyIndexValid(keyIndex) ? m_keys[static_cast<std::size_t>(keyIndex)].loginState : kNoKey;
}

void KeyService::setLoginState(int keyIndex, int state)
{
    if (!keyIndexValid(keyIndex)) {
        return;
    }
    m_keys[static_cast<std::size_t>(keyIndex)].loginState = state;
    Q_EMIT loginStateChanged(keyIndex, state);
}

bool KeyService::keyHasSensor(int keyIndex) const
{
    return keyIndexValid(keyIndex) && m_keys[static_cast<std::size_t>(keyIndex)].sensor;
}

bool KeyService::keyBusy(int keyIndex) const
{
    return keyIndexValid(keyIndex) && m_lanes->busy(keyId(keyIndex));
}

void KeyService::keyLoginLost(const QByteArray& key)
{
    const int keyIndex = indexOf(key);
    if (keyIndex < 0) {
        return;
    }
    const bool wasLoggedIn = LoginState(keyIndex) == kLoggedIn;
    setLoginState(keyIndex, kLoggedOut);
    if (wasLoggedIn) {
        Q_EMIT loginLost(keyIndex);
    }
}

void KeyService::settleJournal(int keyIndex)
{
    const KeyJournal* journal = m_journal.get();
    run<SettledWrite>(
        keyIndex, QStringLiteral("K_Wait_Journal"), [journal](KeyCall& key) { return SettleJournal(key, *journal); },
        this,
        [this](SettledWrite& settled, int index) {
            if (index >= 0 && (settled.outcome == SettledWrite::Outcome::Finished ||
                               settled.outcome == SettledWrite::Outcome::Undone)) {
                Q_EMIT journalSettled(index, settled);
            }
        });
}

bool KeyService::finish(int waitMs, const std::function<void()>& lastSteps)
{
    if (m_finished) {
        return false;
    }
    m_finished = true;
    if (!m_lanes->shutdown(waitMs)) {
        return false;
    }
    // The program is ending: its windows are gone, so the last calls may wait for the key here.
    const KeyThreadGuard::Exemption exit;
    if (lastSteps) {
        lastSteps();
    }
    if (m_libraryOpened) {
        uninit_pkcs11();
        m_libraryOpened = false;
    }
    return true;
}

} // namespace kx
