// SPDX-License-Identifier: Apache-2.0
#pragma once

#include <QObject>

class QMenu;

namespace kx::mon {

class DesktopNotifications;

// The tray menu for desktops without a tray host (neither a StatusNotifierItem host nor an
// XEmbed tray): while a key is present its entries are offered as the actions of one lasting
// desktop notification, whose actions trigger the menu's own entries. A dismissed notice is
// offered again only on the next key event or when the tray host goes away, never on its own.
class TrayMenuNotice : public QObject
{
    Q_OBJECT

public:
    TrayMenuNotice(QMenu* menu, DesktopNotifications* notifications, QObject* parent = nullptr);

    // Whether the desktop can show the tray icon now.
    static bool trayAvailable();

    // A key arrived or left: offers the notice when keys are present and no tray exists,
    // withdraws it when the last key left.
    void keysChanged(bool present);

    // Whether a StatusNotifierItem watcher is on the session bus. Its tray shows a balloon by
    // swapping the icon for the balloon's own for as long as the balloon shows, so balloons go to
    // the notification server instead.
    bool statusNotifierTray() const { return m_statusNotifierTray; }

    // The id of the notice on offer (0: none).
    uint noticeId() const { return m_id; }

Q_SIGNALS:
    // The notice was put up by the server.
    void offered(uint id);

private Q_SLOTS:
    // The session bus says a tray host came or went.
    void trayHostChanged();

private:
    void offer();
    void withdraw();

    QMenu* m_menu;
    DesktopNotifications* m_notifications;
    bool m_keysPresent = false;
    bool m_pending = false; // a post awaits the server's answer
    bool m_withdrawPending = false;
    bool m_trayWasAvailable = false;
    bool m_statusNotifierTray = false;
    uint m_id = 0;
};

} // namespace kx::mon
