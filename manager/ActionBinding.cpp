// SPDX-License-Identifier: Apache-2.0
#include "ActionBinding.h"

#include <QAbstractButton>
#include <QAction>

namespace kx {

void BindButtonToAction(QAbstractButton* button, QAction* action)
{
    auto sync = [button, action] {
        button->setText(action->text());
        button->setEnabled(action->isEnabled());
        button->setVisible(action->isVisible());
    };
    QObject::connect(button, &QAbstractButton::clicked, action, [action] { action->trigger(); });
    QObject::connect(action, &QAction::changed, button, sync);
    sync();
}

} // namespace kx
