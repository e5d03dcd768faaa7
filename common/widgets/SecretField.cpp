// SPDX-License-Identifier: Apache-2.0
#include "SecretField.h"

#include <QLineEdit>

namespace kx {

void ClearSecretField(QLineEdit* edit)
{
    if (!edit || edit->text().isEmpty()) {
        return;
    }
    // text() shares the edit's own buffer: overwriting it reaches what the edit holds, and the
    // undo record that clear() writes holds the overwritten characters only.
    QString held = edit->text();
    WipeString(held);
    edit->clear();
}

} // namespace kx
