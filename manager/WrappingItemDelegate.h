// SPDX-License-Identifier: Apache-2.0
#pragma once

#include <QStyledItemDelegate>

namespace kx {

// Draws the texts of a tree view's items in as many lines as their column's width needs, never
// cut short: lines break between words where they can and inside a long word, such as a file
// path, where they must. A row is as high as its tallest text. For lists of facts whose values
// are longer than any column could be.
class WrappingItemDelegate : public QStyledItemDelegate
{
    Q_OBJECT

public:
    using QStyledItemDelegate::QStyledItemDelegate;

    void paint(QPainter* painter, const QStyleOptionViewItem& option, const QModelIndex& index) const override;
    // The text's width in one line, and the height of its lines in the column's present width.
    QSize sizeHint(const QStyleOptionViewItem& option, const QModelIndex& index) const override;
};

} // namespace kx
