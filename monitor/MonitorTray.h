// SPDX-License-Identifier: Apache-2.0
#pragma once

#include "BalloonNotifier.h"

#include <QElapsedTimer>
#include <QObject>

#include <memory>

class QAction;
class QMenu;
class QSystemTrayIcon;
class QWidget;

namespace kx::mon {

class DesktopNotifications;
class TrayMenuNotice;

// The monitor's face on the desktop: the tray icon (shown while a key is present) with its menu
// (show the manager, settings, exit), the balloons, and the desktop notifications that stand in
// for both where no tray host exists. The menu's actions belong to the window, which runs them.
class MonitorTray : public QObject
{
    Q_OBJECT

public:
    explicit MonitorTray(QWidget* window);
    ~MonitorTray() override;

    // The window's font, the menu's captions, the icon and its hint in the current language.
    void applyTexts();
    // Shows or hides the icon as keys are present or not.
    void show(bool keysPresent);
    bool shown() const;
    void balloon(const QString& text, BalloonNotifier::Icon icon);
    // The monitor ends: the icon goes (unless the display it lived on went first).
    void end(bool displayLost);

    QSystemTrayIcon* icon() const { return m_tray; }
    QMenu* menu() const { return m_menu; }
    TrayMenuNotice* menuNotice() const { return m_menuNotice; }

Q_SIGNALS:
    void showMainRequested();
    void advancedRequested();
    void exitRequested();
    void balloonShown(const QString& text);

private:
    QAction* makeAction(const char* name, void (MonitorTray::*signal)());

    QWidget* m_window;
    QSystemTrayIcon* m_tray;
    QMenu* m_menu;
    DesktopNotifications* m_notifications;
    TrayMenuNotice* m_menuNotice;
    std::unique_ptr<BalloonNotifier> m_balloons;
    QElapsedTimer m_lastClick; // the last click on the icon that opened the manager
};

// The monitor's icon ("MAINICON"), drawn once.
QIcon MainIcon();

} // namespace kx::mon
