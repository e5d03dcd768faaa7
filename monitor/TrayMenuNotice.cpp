// SPDX-License-Identifier: Apache-2.0
#include "TrayMenuNotice.h"

#include "DesktopNotifications.h"

#include <QAction>
#include <QDBusConnection>
#include <QDBusMessage>
#include <QDBusPendingCallWatcher>
#include <QDBusPendingReply>
#include <QDBusServiceWatcher>
#include <QMenu>
#include <QSystemTrayIcon>
#include <QTimer>

namespace kx::mon {

namespace {

const QString kMenuTag = QStringLiteral("menu");
// The key a notification server sends when the notice itself is clicked.
const QString kDefaultKey = QStringLiteral("default");

} // namespace

TrayMenuNotice::TrayMenuNotice(QMenu* menu, DesktopNotifications* notifications, QObject* parent)
    : QObject(parent), m_menu(menu), m_notifications(notifications), m_trayWasAvailable(trayAvailable())
{
    connect(m_notifications, &DesktopNotifications::posted, this, [this](const QString& tag, uint id) {
        if (tag != kMenuTag) {
            return;
        }
        m_pending = false;
        m_id = id;
        if (m_withdrawPending) {
            withdraw();
            return;
        }
        Q_EMIT offered(id);
    });
    connect(m_notifications, &DesktopNotifications::failed, this, [this](const QString& tag) {
        if (tag == kMenuTag) {
            m_pending = false;
            m_withdrawPending = false;
        }
    });
    connect(m_notifications, &DesktopNotifications::closed, this, [this](uint id) {
        if (id == m_id) {
            m_id = 0;
        }
    });
    connect(m_notifications, &DesktopNotifications::actionInvoked, this, [this](uint id, const QString& key) {
        if (id == 0 || id != m_id) {
            return;
        }
        QAction* chosen = key == kDefaultKey ? m_menu->defaultAction() : nullptr;
        for (QAction* entry : m_menu->actions()) {
            if (!chosen && entry->objectName() == key) {
                chosen = entry;
            }
        }
        if (chosen) {
            // Run after the bus signal's delivery has returned: the entry may open a modal dialog.
            QTimer::singleShot(0, chosen, &QAction::trigger);
        }
    });
    QDBusConnection bus = QDBusConnection::sessionBus();
    if (bus.isConnected()) {
        // A StatusNotifierItem host registers with the watcher; its coming and going, and the
        // watcher's own, change whether the icon can be shown.
        auto* watcher = new QDBusServiceWatcher(QStringLiteral("org.kde.StatusNotifierWatcher"), bus,
                                                QDBusServiceWatcher::WatchForOwnerChange, this);
        connect(watcher, &QDBusServiceWatcher::serviceOwnerChanged, this,
                [this](const QString&, const QString&, const QString& newOwner) {
                    m_statusNotifierTray = !newOwner.isEmpty();
                    trayHostChanged();
                });
        QDBusMessage query = QDBusMessage::createMethodCall(
            QStringLiteral("org.freedesktop.DBus"), QStringLiteral("/org/freedesktop/DBus"),
            QStringLiteral("org.freedesktop.DBus"), QStringLiteral("NameHasOwner"));
        query << QStringLiteral("org.kde.StatusNotifierWatcher");
        auto* pending = new QDBusPendingCallWatcher(bus.asyncCall(query), this);
        connect(pending, &QDBusPendingCallWatcher::finished, this, [this](QDBusPendingCallWatcher* finished) {
            finished->deleteLater();
            const QDBusPendingReply<bool> reply = *finished;
            m_statusNotifierTray = !reply.isError() && reply.value();
        });
        bus.connect(QString(), QStringLiteral("/StatusNotifierWatcher"),
                    QStringLiteral("org.kde.StatusNotifierWatcher"), QStringLiteral("StatusNotifierHostRegistered"),
                    this, SLOT(trayHostChanged()));
        bus.connect(QString(), QStringLiteral("/StatusNotifierWatcher"),
                    QStringLiteral("org.kde.StatusNotifierWatcher"), QStringLiteral("StatusNotifierHostUnregistered"),
                    this, SLOT(trayHostChanged()));
    }
}

bool TrayMenuNotice::trayAvailable()
{
    return QSystemTrayIcon::isSystemTrayAvailable();
}

void TrayMenuNotice::keysChanged(bool present)
{
    m_keysPresent = present;
    m_trayWasAvailable = trayAvailable();
    if (present && !m_trayWasAvailable) {
        offer();
    } else {
        withdraw();
    }
}

void TrayMenuNotice::trayHostChanged()
{
    const bool available = trayAvailable();
    if (available == m_trayWasAvailable) {
        return;
    }
    m_trayWasAvailable = available;
    if (available) {
        withdraw();
    } else if (m_keysPresent) {
        offer();
    }
}

void TrayMenuNotice::offer()
{
    m_withdrawPending = false;
    if (m_pending || m_id != 0 || !DesktopNotifications::busConnected()) {
        return;
    }
    QStringList actions{kDefaultKey, m_menu->defaultAction() ? m_menu->defaultAction()->text() : QString()};
    for (QAction* entry : m_menu->actions()) {
        actions << entry->objectName() << entry->text();
    }
    m_pending = true;
    m_notifications->post(kMenuTag, m_menu->title(), QStringLiteral("security-high"), actions, 0, true);
}

void TrayMenuNotice::withdraw()
{
    if (m_pending) {
        m_withdrawPending = true;
        return;
    }
    if (m_id != 0) {
        m_notifications->close(m_id);
        m_id = 0;
    }
}

} // namespace kx::mon
