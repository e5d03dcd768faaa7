// SPDX-License-Identifier: Apache-2.0
#pragma once

class QAbstractButton;
class QAction;

namespace kx {

// Lets a push button stand for an action: a click triggers the action, and the button follows the
// action's caption, enabled state and visibility.
void BindButtonToAction(QAbstractButton* button, QAction* action);

} // namespace kx
