// SPDX-License-Identifier: Apache-2.0
#include "KeyPresence.h"

#include "token/TUSB.h"

#include <QTimer>

namespace kx {

KeyPresence::KeyPresence(QObject* parent, const QString& busFolder)
    : QObject(parent), m_usb(new TUSB(this, busFolder)), m_tokenCheck(new QTimer(this))
{
    m_tokenCheck->setObjectName(QStringLiteral("TTokenCheck"));
    m_tokenCheck->setInterval(kTokenCheckMs);
    connect(m_tokenCheck, &QTimer::timeout, this, &KeyPresence::tokenCheckDue);
    connect(m_usb, &TUSB::OnArrival, this, [this](TUSB* usb) { deviceArrived(usb->ProductID); });
    connect(m_usb, &TUSB::OnRemoval, this, [this](TUSB* usb) { deviceRemoved(usb->ProductID); });
}

void KeyPresence::watchFixedTokens()
{
    if (!m_tokenCheck->isActive()) {
        m_tokenCheck->start();
    }
}

bool KeyPresence::watchingFixedTokens() const
{
    return m_tokenCheck->isActive();
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
