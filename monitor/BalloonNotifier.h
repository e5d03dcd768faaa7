// SPDX-License-Identifier: Apache-2.0
#pragma once

#include <QString>

class QSystemTrayIcon;

namespace kx::mon {

// The monitor's balloon notices. They go through the tray icon when the desktop has a tray host
// that shows messages and the icon is visible; otherwise (no tray host, as on plain GNOME, or
// the icon already hidden after the last key left) they become desktop notifications through
// "notify-send", started by the process launcher. Either way the notice has no title of its
// own and stays 10 seconds.
class BalloonNotifier
{
public:
    enum class Icon
    {
        Information, // the system's information icon
        Application  // the monitor's own icon
    };

    static constexpr int kDisplayMs = 10000;

    explicit BalloonNotifier(QSystemTrayIcon* tray) : m_tray(tray) {}

    // Shows `text`; true when a tray balloon or a notification was started.
    bool show(const QString& text, Icon icon) const;

    // The file the notification uses for the application icon (empty: the generic icon).
    void setApplicationIconPath(const QString& path) { m_iconPath = path; }

private:
    QSystemTrayIcon* m_tray;
    QString m_iconPath;
};

} // namespace kx::mon
