// SPDX-License-Identifier: Apache-2.0
#include "MonitorTray.h"

#include "DesktopNotifications.h"
#include "TrayMenuNotice.h"

#include "common/LanguageTexts.h"
#include "common/widgets/WindowFont.h"

#include <QAction>
#include <QApplication>
#include <QMenu>
#include <QPainter>
#include <QSystemTrayIcon>
#include <QWidget>

namespace kx::mon {

QIcon MainIcon()
{
    static const QIcon icon = [] {
        QPixmap pixmap(32, 32);
        pixmap.fill(Qt::transparent);
        QPainter painter(&pixmap);
        painter.setRenderHint(QPainter::Antialiasing);
        // A key: a round bow with a hole and a toothed blade.
        painter.setPen(Qt::NoPen);
        painter.setBrush(QColor(0x1f, 0x6f, 0xb5));
        painter.drawEllipse(QRectF(2, 8, 16, 16));
        painter.drawRect(QRectF(16, 13, 14, 6));
        painter.drawRect(QRectF(24, 19, 3, 5));
        painter.drawRect(QRectF(19, 19, 3, 4));
        painter.setBrush(Qt::white);
        painter.drawEllipse(QRectF(6, 12, 6, 8));
        return QIcon(pixmap);
    }();
    return icon;
}

MonitorTray::MonitorTray(QWidget* window) : QObject(window), m_window(window)
{
    m_tray = new QSystemTrayIcon(window);
    m_tray->setObjectName(QStringLiteral("TrayIcon1"));
    m_menu = new QMenu(window);
    m_menu->setObjectName(QStringLiteral("PopupMenu1"));
    m_tray->setContextMenu(m_menu);
    m_notifications = new DesktopNotifications(this);
    m_menuNotice = new TrayMenuNotice(m_menu, m_notifications, this);
    m_balloons = std::make_unique<BalloonNotifier>(m_tray, m_notifications, m_menuNotice);
    m_balloons->setApplicationIconPath(QStringLiteral("security-high"));
    QAction* showMain = makeAction("AcShowMain", &MonitorTray::showMainRequested);
    makeAction("AcAdvanced", &MonitorTray::advancedRequested);
    makeAction("AcExit", &MonitorTray::exitRequested);
    m_menu->setDefaultAction(showMain);
    // A click on the icon or a double click runs the default entry. StatusNotifierItem trays (KDE,
    // GNOME's AppIndicator, swaybar, waybar) send a click as Activate and know no double click;
    // on an XEmbed tray a double click comes after the click that opened already, and is the same
    // request.
    connect(m_tray, &QSystemTrayIcon::activated, this, [this, showMain](QSystemTrayIcon::ActivationReason reason) {
        if (reason == QSystemTrayIcon::Trigger) {
            m_lastClick.start();
        } else if (reason != QSystemTrayIcon::DoubleClick ||
                   (m_lastClick.isValid() && m_lastClick.elapsed() <= QApplication::doubleClickInterval())) {
            return;
        }
        showMain->trigger();
    });
}

MonitorTray::~MonitorTray() = default;

QAction* MonitorTray::makeAction(const char* name, void (MonitorTray::*signal)())
{
    auto* action = new QAction(m_window);
    action->setObjectName(QString::fromLatin1(name));
    connect(action, &QAction::triggered, this, signal);
    m_menu->addAction(action);
    return action;
}

void MonitorTray::applyTexts()
{
    m_window->setFont(WindowFont());
    m_menu->setFont(m_window->font());
    const auto actions = m_menu->actions();
    actions.at(0)->setText(Lang("Main_Form_PopupMenu_listMain"));
    actions.at(1)->setText(Lang("Main_Form_PopupMenu_Advanced"));
    actions.at(2)->setText(Lang("Main_Form_PopupMenu_Close"));
    m_tray->setIcon(MainIcon());
    m_tray->setToolTip(Lang("P_Caption"));
    m_menu->setTitle(Lang("P_Caption").trimmed());
}

void MonitorTray::show(bool keysPresent)
{
    m_tray->setVisible(keysPresent);
    m_menuNotice->keysChanged(keysPresent);
}

bool MonitorTray::shown() const
{
    return m_tray->isVisible();
}

void MonitorTray::balloon(const QString& text, BalloonNotifier::Icon icon)
{
    m_balloons->show(text, icon);
    Q_EMIT balloonShown(text);
}

void MonitorTray::end(bool displayLost)
{
    if (!displayLost) {
        m_tray->hide();
        m_menuNotice->keysChanged(false);
    }
}

} // namespace kx::mon
