// SPDX-License-Identifier: Apache-2.0
#include "BalloonNotifier.h"

#include "DesktopNotifications.h"
#include "TrayMenuNotice.h"

#include "common/ProcessLauncher.h"

#include <QSystemTrayIcon>

namespace kx::mon {

bool BalloonNotifier::show(const QString& text, Icon icon) const
{
    if (m_tray && m_tray->isVisible() && (!m_trayState || !m_trayState->statusNotifierTray()) &&
        QSystemTrayIcon::isSystemTrayAvailable() && QSystemTrayIcon::supportsMessages()) {
        if (icon == Icon::Information) {
            m_tray->showMessage(QString(), text, QSystemTrayIcon::Information, kDisplayMs);
        } else {
            m_tray->showMessage(QString(), text, m_tray->icon(), kDisplayMs);
        }
        return true;
    }
    // A notification needs a summary: the text itself is the summary, there is no body.
    const QString iconName =
        icon == Icon::Information || m_iconPath.isEmpty() ? QStringLiteral("dialog-information") : m_iconPath;
    if (m_notifications && DesktopNotifications::busConnected()) {
        m_notifications->post(QStringLiteral("balloon"), text, iconName, {}, kDisplayMs);
        return true;
    }
    return ProcessLauncher::current().startDetached(
        QStringLiteral("notify-send"),
        {QStringLiteral("--app-name=KX2700Mon"), QStringLiteral("--icon=") + iconName,
         QStringLiteral("--expire-time=%1").arg(kDisplayMs), QStringLiteral("--"), text});
}

} // namespace kx::mon
