// SPDX-License-Identifier: Apache-2.0
#pragma once

#include <QAction>

class QAbstractButton;

namespace kx {

// Lets a push button stand for an action: a click triggers the action, and the button follows the
// action's caption, enabled state and visibility.
void BindButtonToAction(QAbstractButton* button, QAction* action);

// A named action of `owner`, triggering `execute`, shown by `button` when there is one.
template <typename Owner>
QAction* MakeAction(Owner* owner, const char* name, void (Owner::*execute)(), QAbstractButton* button)
{
    auto* action = new QAction(owner);
    action->setObjectName(QString::fromLatin1(name));
    QObject::connect(action, &QAction::triggered, owner, execute);
    if (button) {
        BindButtonToAction(button, action);
    }
    return action;
}

} // namespace kx
