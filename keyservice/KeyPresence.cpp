// SPDX-License-Identifier: Apache-2.0
#include "KeyPresence.h"

#include "token/TUSB.h"

#include <QTimer>

namespace kx {

KeyPresence::KeyPresence(QObject* parent, const QString& busFolder)
    : QObject(parent), m_usb(new TUSB(this, busFolder))
{
    connect(m_usb, &TUSB::OnArrival, this, [this](TUSB* usb) { deviceArrived(usb->ProductID); });
    connect(m_usb, &TUSB::OnRemoval, this, [this](TUSB* usb) { deviceRemoved(usb->ProductID); });
}

void KeyPresence::deviceArrived(int productId)
{
    if (!m_libraryReady || !m_productIds.contains(productId)) {
        return;
    }
    if (m_expected < 0) {
        m_expected = 0;
    }
    ++m_expected;
    Q_EMIT listedArrival();
    // The wait is a timer: the window goes on meanwhile.
    QTimer::singleShot(kArrivalWaitMs, this, &KeyPresence::arrivalWaited);
}

void KeyPresence::deviceRemoved(int productId)
{
    if (!m_libraryReady || !m_productIds.contains(productId)) {
        return;
    }
    --m_expected;
    Q_EMIT listedRemoval();
}

} // namespace kx
