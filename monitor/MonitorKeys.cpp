// SPDX-License-Identifier: Apache-2.0
#include "MonitorKeys.h"

#include "keyservice/KeyPresence.h"
#include "keyservice/KeyService.h"

#include <QTimer>
#include <QWidget>

#include <algorithm>

namespace kx::mon {

namespace {

KeyService::Options monitorOptions()
{
    KeyService::Options options;
    options.tableSize = MonitorKeys::kKeyTableSize;
    options.searchSensors = false;
    return options;
}

// A listing that knows no key, with the result and count of the enumeration it stands for.
KeyListing noKeys(int result, int found)
{
    KeyListing listing;
    listing.result = result;
    listing.found = found;
    return listing;
}

} // namespace

MonitorKeys::MonitorKeys(QWidget* window)
    : QObject(window), m_service(new KeyService(monitorOptions(), this)), m_presence(new KeyPresence(this))
{
    // The timers belong to the window, where they are found by name.
    m_findTimer = makeTimer("TFindUSBKey", 500, &MonitorKeys::TFindUSBKeyTimer);
    m_checkInitTimer = makeTimer("TCheckInit", 400, &MonitorKeys::TCheckInitTimer);
    m_removeCheckTimer = makeTimer("TCCIDRemove", 100, &MonitorKeys::TCCIDRemoveTimer);
    m_cleanupTimer = makeTimer("TUSBRemove", 1000, &MonitorKeys::TUSBRemoveTimer);
    connect(m_presence, &KeyPresence::listedArrival, this, &MonitorKeys::arrived);
    connect(m_presence, &KeyPresence::arrivalWaited, m_findTimer, qOverload<>(&QTimer::start));
    connect(m_presence, &KeyPresence::listedRemoval, this, &MonitorKeys::removed);
    connect(m_presence, &KeyPresence::tokenCheckDue, this, &MonitorKeys::checkFixedTokens);
    connect(m_service, &KeyService::keysListed, m_presence, [this] {
        if (m_service->anyFixedKey()) {
            m_presence->watchFixedTokens();
        }
    });
}

QTimer* MonitorKeys::makeTimer(const char* name, int interval, void (MonitorKeys::*handler)())
{
    auto* timer = new QTimer(parent());
    timer->setObjectName(QString::fromLatin1(name));
    timer->setInterval(interval);
    connect(timer, &QTimer::timeout, this, handler);
    return timer;
}

void MonitorKeys::setProductIDs(const TPIDList& list)
{
    m_presence->setProductIDs(list);
}

void MonitorKeys::openLibrary(const TAPPInfo& app, std::function<void(int)> done)
{
    m_service->openLibrary(app, this, [this, done](int result) {
        m_presence->setLibraryReady(result == 0);
        done(result);
    });
}

int MonitorKeys::KeyCount() const
{
    return m_service->KeyCount();
}

int MonitorKeys::CurrentKeyIndex() const
{
    return m_service->CurrentKeyIndex();
}

const TR7Info& MonitorKeys::keyInfo(int keyIndex) const
{
    return m_service->keyInfo(keyIndex);
}

int MonitorKeys::ExpectedKeyCount() const
{
    return m_presence->ExpectedKeyCount();
}

void MonitorKeys::EnumerateKeys(std::function<void(int)> done)
{
    m_enumerating = true;
    m_service->enumerate(this, [this, done](const KeyListing& listing) {
        m_enumerating = false;
        applyListing(listing);
        if (done) {
            done(listing.result);
        }
    });
}

void MonitorKeys::applyListing(const KeyListing& listing)
{
    if (listing.found < 0) {
        // The enumeration failed (or found no key): no key is known; the tray stays as it is.
        m_service->applyListing(noKeys(listing.result, -1));
        return;
    }
    Q_EMIT trayWanted(listing.found > 0);
    if (listing.result != 0) {
        // A key that does not answer empties the table: no key is known then.
        m_service->applyListing(noKeys(listing.result, listing.found));
        return;
    }
    m_service->applyListing(listing);
}

void MonitorKeys::arrived()
{
    m_arrivalCountdown = kArrivalTicks;
    m_arrivalPending = true;
}

void MonitorKeys::TFindUSBKeyTimer()
{
    // One enumeration at a time: a tick that finds the last one still running waits for the next.
    if (m_enumerating) {
        return;
    }
    if (--m_arrivalCountdown <= 0) {
        m_findTimer->stop();
        return;
    }
    EnumerateKeys([this](int result) {
        if (result != 0 || KeyCount() < ExpectedKeyCount() || !m_findTimer->isActive()) {
            return;
        }
        m_findTimer->stop();
        m_checkInitTimer->start();
        Q_EMIT insertionCompleted();
    });
}

void MonitorKeys::TCheckInitTimer()
{
    m_checkInitTimer->stop();
    for (int i = 0; i < KeyCount(); ++i) {
        if (keyInfo(i).initialised == 0) {
            Q_EMIT uninitialisedKeyFound();
            return;
        }
    }
}

void MonitorKeys::removed()
{
    Q_EMIT removalNoticed();
    m_arrivalPending = false;
    m_removeCheckTimer->start();
}

void MonitorKeys::TCCIDRemoveTimer()
{
    m_removeCheckTimer->stop();
    if (m_arrivalPending || KeyCount() == 0) {
        return;
    }
    m_service->checkAllKeysAnswer(this, [this](bool allAnswer) {
        if (allAnswer) {
            return; // every known key still answers
        }
        // A known key is gone: the keys that remain are listed again.
        m_enumerating = true;
        m_service->enumerate(this, [this](const KeyListing& listing) {
            m_enumerating = false;
            // The keys that answered remain (none when the enumeration failed); the tray waits
            // for the clean-up.
            KeyListing remaining = listing;
            remaining.result = 0;
            m_service->applyListing(remaining);
            Q_EMIT knownKeyGone();
        });
    });
}

void MonitorKeys::checkFixedTokens()
{
    if (m_enumerating || m_findTimer->isActive() || m_removeCheckTimer->isActive()) {
        return;
    }
    if (KeyCount() > 0) {
        // A listed token that stops answering is gone, as a pulled key.
        m_removeCheckTimer->start();
        return;
    }
    // None listed: a token that went away with its module comes back when the module answers.
    EnumerateKeys([this](int result) {
        if (result == 0 && KeyCount() > 0) {
            m_checkInitTimer->start();
            Q_EMIT insertionCompleted();
        }
    });
}

void MonitorKeys::startCleanup()
{
    m_cleanupTimer->start();
}

void MonitorKeys::TUSBRemoveTimer()
{
    m_cleanupTimer->stop();
    Q_EMIT trayWanted(KeyCount() > 0);
    if (KeyCount() > 0) {
        return;
    }
    Q_EMIT lastKeyGone();
}

} // namespace kx::mon
