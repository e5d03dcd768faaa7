// SPDX-License-Identifier: Apache-2.0
#include "WindowPlacement.h"

#include <QGuiApplication>
#include <QScreen>
#include <QWidget>

namespace kx {

void CentreOnScreen(QWidget* window)
{
    QScreen* screen = window->screen() ? window->screen() : QGuiApplication::primaryScreen();
    if (!screen) {
        return;
    }
    // The window manager adds its frame around the client area; before the first showing its size
    // is not known, so the client area is centred. An explicit position also keeps the window
    // manager from placing the window by its own rules.
    const QRect free = screen->availableGeometry();
    QRect area(QPoint(0, 0), window->size());
    area.moveCenter(free.center());
    window->move(area.topLeft());
}

} // namespace kx
