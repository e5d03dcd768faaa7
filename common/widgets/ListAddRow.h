// SPDX-License-Identifier: Apache-2.0
#pragma once

#include <QString>

class QTreeWidget;

namespace kx {

// Appends a row to a two-column list: `caption` in the first column, `value` in the second.
void ListAddRow(QTreeWidget* list, const QString& caption, const QString& value);

} // namespace kx
