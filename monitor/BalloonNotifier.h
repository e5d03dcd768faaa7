// SPDX-License-Identifier: Apache-2.0
#pragma once

#include <QString>

class QSystemTrayIcon;

namespace kx::mon {

class DesktopNotifications;
class TrayMenuNotice;

// The monitor's balloon notices. They go through the tray icon when the desktop has a tray host
// that shows messages next to the icon (an XEmbed tray) and the icon is visible. Otherwise (a
// StatusNotifierItem tray, which would swap the key icon for the balloon's while it shows; no
// tray host, as on plain GNOME or before the panel has started; or the icon already hidden after
// the last key left) they become desktop notifications: posted on the session bus, or through
// "notify-send" (started by the process launcher) when there is no session bus. Either way the
// notice has no title of its own and stays 10 seconds.
class BalloonNotifier
{
public:
    enum class Icon
    {
        Information, // the system's information icon
        Application  // the monitor's own icon
    };

    static constexpr int kDisplayMs = 10000;

    BalloonNotifier(QSystemTrayIcon* tray, DesktopNotifications* notifications, const TrayMenuNotice* trayState)
        : m_tray(tray), m_notifications(notifications), m_trayState(trayState)
    {}

    // Shows `text`; true when a tray balloon or a notification was started.
    bool show(const QString& text, Icon icon) const;

    // The file the notification uses for the application icon (empty: the generic icon).
    void setApplicationIconPath(const QString& path) { m_iconPath = path; }

private:
    QSystemTrayIcon* m_tray;
    DesktopNotifications* m_notifications;
    const TrayMenuNotice* m_trayState;
    QString m_iconPath;
};

} // namespace kx::mon
