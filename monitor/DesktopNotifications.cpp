// SPDX-License-Identifier: Apache-2.0
#include "DesktopNotifications.h"

#include <QDBusConnection>
#include <QDBusMessage>
#include <QDBusPendingCallWatcher>
#include <QDBusPendingReply>
#include <QVariantMap>

namespace kx::mon {

namespace {

const QString kService = QStringLiteral("org.freedesktop.Notifications");
const QString kPath = QStringLiteral("/org/freedesktop/Notifications");
const QString kInterface = QStringLiteral("org.freedesktop.Notifications");
const QString kAppName = QStringLiteral("KX2700Mon");

} // namespace

DesktopNotifications::DesktopNotifications(QObject* parent) : QObject(parent)
{
    QDBusConnection bus = QDBusConnection::sessionBus();
    if (!bus.isConnected()) {
        return;
    }
    bus.connect(kService, kPath, kInterface, QStringLiteral("ActionInvoked"), this,
                SLOT(onActionInvoked(uint, QString)));
    bus.connect(kService, kPath, kInterface, QStringLiteral("NotificationClosed"), this, SLOT(onClosed(uint, uint)));
}

bool DesktopNotifications::busConnected()
{
    return QDBusConnection::sessionBus().isConnected();
}

void DesktopNotifications::post(const QString& tag, const QString& text, const QString& icon,
                                const QStringList& actions, int timeoutMs, bool resident)
{
    QVariantMap hints;
    if (resident) {
        hints.insert(QStringLiteral("resident"), true);
    }
    QDBusMessage call = QDBusMessage::createMethodCall(kService, kPath, kInterface, QStringLiteral("Notify"));
    // The text is the summary; a notice of the monitor has no body.
    call << kAppName << uint(0) << icon << text << QString() << actions << hints << qint32(timeoutMs);
    auto* watcher = new QDBusPendingCallWatcher(QDBusConnection::sessionBus().asyncCall(call), this);
    connect(watcher, &QDBusPendingCallWatcher::finished, this, [this, tag](QDBusPendingCallWatcher* finished) {
        finished->deleteLater();
        const QDBusPendingReply<uint> reply = *finished;
        if (reply.isError()) {
            Q_EMIT failed(tag);
        } else {
            Q_EMIT posted(tag, reply.value());
        }
    });
}

void DesktopNotifications::close(uint id)
{
    QDBusMessage call =
        QDBusMessage::createMethodCall(kService, kPath, kInterface, QStringLiteral("CloseNotification"));
    call << id;
    QDBusConnection::sessionBus().asyncCall(call);
}

void DesktopNotifications::onActionInvoked(uint id, const QString& key)
{
    Q_EMIT actionInvoked(id, key);
}

void DesktopNotifications::onClosed(uint id, uint)
{
    Q_EMIT closed(id);
}

} // namespace kx::mon
