// SPDX-License-Identifier: Apache-2.0
#pragma once

#include "common/AppInfo.h"

#include <QObject>

class QTimer;

namespace kx {

class TUSB;

// The arrivals and removals of listed devices (product identifiers of PIDList), as both
// programs follow them: the count of keys expected (arrivals minus removals, an arrival lifting
// a negative count to 0 first), and an arrival handed on after a short wait as a timer, since
// the token library needs a moment before it can open a new key. Events before the token library
// is open are ignored.
class KeyPresence : public QObject
{
    Q_OBJECT

public:
    static constexpr int kArrivalWaitMs = 100;
    // How often tokens that are not USB devices are checked, while such a token was listed.
    static constexpr int kTokenCheckMs = 5000;

    // Watches the system's USB events and the virtual key bus (`busFolder`, empty for the one the
    // environment names).
    explicit KeyPresence(QObject* parent = nullptr, const QString& busFolder = QString());

    void setProductIDs(const TPIDList& list) { m_productIds = list; }
    void setLibraryReady(bool ready) { m_libraryReady = ready; }
    bool libraryReady() const { return m_libraryReady; }

    int ExpectedKeyCount() const { return m_expected; }
    TUSB* usb() const { return m_usb; }

    // Tokens that are not USB devices (a TPM's) raise no hot-plug event: once one was listed,
    // tokenCheckDue comes every kTokenCheckMs, so that the program sees them go and come back.
    void watchFixedTokens();
    bool watchingFixedTokens() const;

    // The events as the hot-plug component raises them.
    void deviceArrived(int productId);
    void deviceRemoved(int productId);

Q_SIGNALS:
    // A listed device arrived: the expected count was raised.
    void listedArrival();
    // kArrivalWaitMs after a listed arrival.
    void arrivalWaited();
    // A listed device left: the expected count was lowered.
    void listedRemoval();
    // Time to check the tokens that are not USB devices.
    void tokenCheckDue();

private:
    TUSB* m_usb;
    QTimer* m_tokenCheck;
    TPIDList m_productIds;
    bool m_libraryReady = false;
    int m_expected = 0;
};

} // namespace kx
