// SPDX-License-Identifier: Apache-2.0
#include "FocusKeeper.h"

#include <QApplication>
#include <QEvent>

namespace kx {

FocusKeeper::FocusKeeper(QWidget* window) : QObject(window), m_window(window)
{
    connect(qApp, &QApplication::focusChanged, this, &FocusKeeper::focusChanged);
}

void FocusKeeper::focusChanged(QWidget* old, QWidget* now)
{
    if (old && now && !old->isEnabled() && m_window->isAncestorOf(old) && m_window->isAncestorOf(now)) {
        forget();
        m_parked = old;
        m_receiver = now;
        old->installEventFilter(this);
        // Any key or click the user gives meanwhile decides where the focus is from then on.
        qApp->installEventFilter(this);
    }
}

bool FocusKeeper::eventFilter(QObject* watched, QEvent* event)
{
    switch (event->type()) {
    case QEvent::KeyPress:
    case QEvent::MouseButtonPress:
    case QEvent::Wheel:
        forget();
        break;
    case QEvent::EnabledChange:
        if (watched == m_parked && m_parked->isEnabled()) {
            if (m_receiver && m_receiver->hasFocus() && m_parked->isVisible()) {
                m_parked->setFocus(Qt::OtherFocusReason);
            }
            forget();
        }
        break;
    default:
        break;
    }
    return false;
}

void FocusKeeper::forget()
{
    if (m_parked) {
        m_parked->removeEventFilter(this);
    }
    qApp->removeEventFilter(this);
    m_parked = nullptr;
    m_receiver = nullptr;
}

} // namespace kx
