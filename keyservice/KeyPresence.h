// SPDX-License-Identifier: Apache-2.0
#pragma once

#include "common/AppInfo.h"

#include <QObject>

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

    // Watches the system's USB events and the virtual key bus (`busFolder`, empty for the one the
    // environment names).
    explicit KeyPresence(QObject* parent = nullptr, const QString& busFolder = QString());

    void setProductIDs(const TPIDList& list) { m_productIds = list; }
    void setLibraryReady(bool ready) { m_libraryReady = ready; }
    bool libraryReady() const { return m_libraryReady; }

    int ExpectedKeyCount() const { return m_expected; }
    TUSB* usb() const { return m_usb; }

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

private:
    TUSB* m_usb;
    TPIDList m_productIds;
    bool m_libraryReady = false;
    int m_expected = 0;
};

} // namespace kx
