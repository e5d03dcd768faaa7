// SPDX-License-Identifier: Apache-2.0
#pragma once

#include <QObject>
#include <QString>
#include <QStringList>

namespace kx::mon {

// The desktop's notification server (org.freedesktop.Notifications on the session bus). Notices
// are posted without waiting: the server's id for a notice arrives with posted(), and the
// server's answers (an action chosen, a notice closed) arrive as signals.
class DesktopNotifications : public QObject
{
    Q_OBJECT

public:
    explicit DesktopNotifications(QObject* parent = nullptr);

    // Whether a session bus is reachable at all.
    static bool busConnected();

    // Posts a notice whose summary is `text`; `actions` holds pairs of action key and label.
    // `timeoutMs` 0 keeps the notice until the user dismisses it; a `resident` notice stays after
    // one of its actions was chosen. `tag` is handed back with posted() or failed().
    void post(const QString& tag, const QString& text, const QString& icon, const QStringList& actions, int timeoutMs,
              bool resident = false);
    // Withdraws the notice `id`.
    void close(uint id);

Q_SIGNALS:
    void posted(const QString& tag, uint id);
    void failed(const QString& tag);
    void actionInvoked(uint id, const QString& key);
    void closed(uint id);

private Q_SLOTS:
    // Receivers of the server's signals (connected by name over the bus).
    void onActionInvoked(uint id, const QString& key);
    void onClosed(uint id, uint reason);
};

} // namespace kx::mon
