// SPDX-License-Identifier: Apache-2.0
#include "ListAddRow.h"

#include <QTreeWidget>

namespace kx {

void ListAddRow(QTreeWidget* list, const QString& caption, const QString& value)
{
    if (!list) {
        return;
    }
    new QTreeWidgetItem(list, {caption, value}); // owned by the list
}

} // namespace kx
