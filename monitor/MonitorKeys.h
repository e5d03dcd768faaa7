// SPDX-License-Identifier: Apache-2.0
#pragma once

#include "common/AppInfo.h"
#include "token/TokenRecords.h"

#include <QObject>

#include <functional>

class QTimer;
class QWidget;

namespace kx {
class KeyPresence;
class KeyService;
struct KeyListing;
} // namespace kx

namespace kx::mon {

// The monitor's keys: the key service (a table of 17 keys, no sensor search), the listed devices
// coming and going, and the timers that follow them: the arrival search TFindUSBKey (500 ms,
// repeating while the countdown lasts), the not-initialised check TCheckInit (400 ms), the removal
// check TCCIDRemove (100 ms) and the clean-up TUSBRemove (1000 ms). What the monitor does at each
// step (balloons, registration, reminders) is the window's; this class tells it when.
class MonitorKeys : public QObject
{
    Q_OBJECT

public:
    // The key table holds 17 keys. When the token library reports more, the keys after the 17th
    // are left out: they are not read, registered or reminded about.
    static constexpr int kKeyTableSize = 17;
    // The search ticks per arrival: four enumeration attempts, then silence.
    static constexpr int kArrivalTicks = 5;

    explicit MonitorKeys(QWidget* window);

    KeyService& service() const { return *m_service; }
    KeyPresence& presence() const { return *m_presence; }

    void setProductIDs(const TPIDList& list);
    // Opens the token library; from then on devices are followed.
    void openLibrary(const TAPPInfo& app, std::function<void(int result)> done);

    // Enumerates the keys and reads their information: the table is replaced when every key
    // answered, emptied when one did not, and kept when the enumeration itself failed. The tray
    // follows the number of keys found. `done` gets 0 or the first failing code.
    void EnumerateKeys(std::function<void(int result)> done = {});

    int KeyCount() const;
    int CurrentKeyIndex() const;
    const TR7Info& keyInfo(int keyIndex) const;
    int ExpectedKeyCount() const;
    int ArrivalCountdown() const { return m_arrivalCountdown; }
    bool ArrivalPending() const { return m_arrivalPending; }

    // The removal's clean-up starts (a second after a known key was found gone).
    void startCleanup();

Q_SIGNALS:
    // The keys found now say whether the tray icon shows.
    void trayWanted(bool keysPresent);
    // A listed device left.
    void removalNoticed();
    // The arrival search found every key it waited for.
    void insertionCompleted();
    // The not-initialised check found a key that is not initialised.
    void uninitialisedKeyFound();
    // The removal check found a known key gone; the table holds the keys that remain.
    void knownKeyGone();
    // The clean-up found no key left.
    void lastKeyGone();

private:
    void TFindUSBKeyTimer();
    void TCheckInitTimer();
    void TCCIDRemoveTimer();
    void TUSBRemoveTimer();
    void arrived();
    void removed();
    // The periodic check of tokens that are not USB devices (a TPM's): gone ones are found by
    // asking the listed keys, returning ones by listing again while none is listed.
    void checkFixedTokens();
    void applyListing(const KeyListing& listing);
    QTimer* makeTimer(const char* name, int interval, void (MonitorKeys::*handler)());

    KeyService* m_service;
    KeyPresence* m_presence;
    QTimer* m_findTimer;
    QTimer* m_checkInitTimer;
    QTimer* m_removeCheckTimer;
    QTimer* m_cleanupTimer;
    int m_arrivalCountdown = kArrivalTicks;
    bool m_arrivalPending = false;
    bool m_enumerating = false;
};

} // namespace kx::mon
