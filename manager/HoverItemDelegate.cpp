// SPDX-License-Identifier: Apache-2.0
#include "HoverItemDelegate.h"

#include <QPainter>

namespace kx {

void HoverItemDelegate::paint(QPainter* painter, const QStyleOptionViewItem& option, const QModelIndex& index) const
{
    if ((option.state & QStyle::State_MouseOver) && !(option.state & QStyle::State_Selected)) {
        QColor shade = option.palette.color(QPalette::Active, QPalette::Highlight);
        shade.setAlpha(60);
        painter->fillRect(option.rect, shade);
    }
    QStyledItemDelegate::paint(painter, option, index);
}

} // namespace kx
