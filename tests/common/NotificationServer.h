// SPDX-License-Identifier: Apache-2.0
#pragma once

#include <QDBusConnection>
#include <QObject>
#include <QStringList>
#include <QVariantMap>

namespace kx::test {

// One Notify call as the server received it.
struct Notice
{
    uint id;
    QString summary;
    QString icon;
    QStringList actions;
    QVariantMap hints;
    int timeout;
};

// A notification server on its own connection to the session bus: records what it is asked to
// show and withdraw, and sends the answers a user's clicks would cause.
class NotificationServer : public QObject
{
    Q_OBJECT
    Q_CLASSINFO("D-Bus Interface", "org.freedesktop.Notifications")

public:
    NotificationServer() : m_bus(QDBusConnection::connectToBus(QDBusConnection::SessionBus, QStringLiteral("server")))
    {
        registered = m_bus.registerObject(QStringLiteral("/org/freedesktop/Notifications"), this,
                                          QDBusConnection::ExportAllSlots | QDBusConnection::ExportAllSignals) &&
                     m_bus.registerService(QStringLiteral("org.freedesktop.Notifications"));
    }
    ~NotificationServer() override
    {
        m_bus.unregisterService(QStringLiteral("org.freedesktop.Notifications"));
        QDBusConnection::disconnectFromBus(QStringLiteral("server"));
    }

    // The notices asked for whose summary is `summary`.
    QList<Notice> withSummary(const QString& summary) const
    {
        QList<Notice> found;
        for (const Notice& notice : notices) {
            if (notice.summary == summary) {
                found.append(notice);
            }
        }
        return found;
    }

    // The user clicks the action `key` of notice `id`; the server then closes it, as most do.
    void click(uint id, const QString& key)
    {
        Q_EMIT ActionInvoked(id, key);
        for (const Notice& notice : notices) {
            if (notice.id == id && !notice.hints.value(QStringLiteral("resident")).toBool()) {
                Q_EMIT NotificationClosed(id, 3);
            }
        }
    }
    // The user dismisses notice `id`.
    void dismiss(uint id) { Q_EMIT NotificationClosed(id, 2); }

    bool registered = false;
    QList<Notice> notices;
    QList<uint> closedIds;

public Q_SLOTS:
    uint Notify(const QString&, uint, const QString& icon, const QString& summary, const QString&,
                const QStringList& actions, const QVariantMap& hints, int timeout)
    {
        notices.append({++m_next, summary, icon, actions, hints, timeout});
        return m_next;
    }
    void CloseNotification(uint id)
    {
        closedIds.append(id);
        Q_EMIT NotificationClosed(id, 3);
    }
    QStringList GetCapabilities() { return {QStringLiteral("actions"), QStringLiteral("body")}; }

Q_SIGNALS:
    void ActionInvoked(uint id, const QString& key);
    void NotificationClosed(uint id, uint reason);

private:
    QDBusConnection m_bus;
    uint m_next = 0;
};

} // namespace kx::test
