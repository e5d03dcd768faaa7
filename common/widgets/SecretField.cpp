// SPDX-License-Identifier: Apache-2.0
#include "SecretField.h"

#include <QLineEdit>

namespace kx {

void ClearSecretField(QLineEdit* edit)
{
    if (!edit || edit->text().isEmpty()) {
        return;
    }
    // text() and displayText() share the edit's own buffers (a text shown in clear has a copy of
    // its own for display): overwriting them reaches what the edit holds, and the undo record
    // that clear() writes holds the overwritten characters only.
    QString shown = edit->displayText();
    WipeString(shown);
    QString held = edit->text();
    WipeString(held);
    edit->clear();
}

} // namespace kx
