// SPDX-License-Identifier: Apache-2.0
#include "WrappingItemDelegate.h"

#include <QApplication>
#include <QPainter>
#include <QTextLayout>
#include <QTreeView>

#include <cmath>

namespace kx {

namespace {

const QStyle* styleOf(const QStyleOptionViewItem& option)
{
    return option.widget ? option.widget->style() : QApplication::style();
}

// Where the style puts an item's text, less the margins it keeps on either side of the text.
QRect textArea(const QStyleOptionViewItem& option)
{
    const QStyle* style = styleOf(option);
    const int margin = style->pixelMetric(QStyle::PM_FocusFrameHMargin, nullptr, option.widget) + 1;
    return style->subElementRect(QStyle::SE_ItemViewItemText, &option, option.widget).adjusted(margin, 0, -margin, 0);
}

// Lays `layout` out in lines of `width`, breaking between words or, where a word is longer than
// a line, inside it. Returns the height of all lines.
qreal layOut(QTextLayout& layout, qreal width)
{
    QTextOption wrapping;
    wrapping.setWrapMode(QTextOption::WrapAtWordBoundaryOrAnywhere);
    layout.setTextOption(wrapping);
    qreal height = 0;
    layout.beginLayout();
    for (QTextLine line = layout.createLine(); line.isValid(); line = layout.createLine()) {
        line.setLineWidth(std::max<qreal>(width, 1));
        line.setPosition(QPointF(0, height));
        height += line.height();
    }
    layout.endLayout();
    return height;
}

} // namespace

void WrappingItemDelegate::paint(QPainter* painter, const QStyleOptionViewItem& option, const QModelIndex& index) const
{
    QStyleOptionViewItem item = option;
    initStyleOption(&item, index);
    const QRect area = textArea(item);
    const QString text = item.text;
    // The style draws the background, selection, focus and any icon; the text comes after.
    item.text.clear();
    styleOf(item)->drawControl(QStyle::CE_ItemViewItem, &item, painter, item.widget);
    if (text.isEmpty()) {
        return;
    }
    QTextLayout layout(text, item.font, painter->device());
    const qreal height = layOut(layout, area.width());
    QPalette::ColorGroup group = QPalette::Normal;
    if (!(item.state & QStyle::State_Enabled)) {
        group = QPalette::Disabled;
    } else if (!(item.state & QStyle::State_Active)) {
        group = QPalette::Inactive;
    }
    const QPalette::ColorRole role = (item.state & QStyle::State_Selected) ? QPalette::HighlightedText : QPalette::Text;
    painter->save();
    painter->setPen(item.palette.color(group, role));
    painter->setClipRect(item.rect);
    // Centred in the row like the style's single lines; a taller text fills its row from the top.
    const qreal top = area.top() + std::max<qreal>(0, (area.height() - height) / 2);
    layout.draw(painter, QPointF(area.left(), top));
    painter->restore();
}

QSize WrappingItemDelegate::sizeHint(const QStyleOptionViewItem& option, const QModelIndex& index) const
{
    QSize size = QStyledItemDelegate::sizeHint(option, index);
    const auto* view = qobject_cast<const QTreeView*>(option.widget);
    if (!view) {
        return size;
    }
    QStyleOptionViewItem item = option;
    initStyleOption(&item, index);
    if (item.text.isEmpty()) {
        return size;
    }
    // The style's size holds one line and its padding; the lines the column's width needs
    // replace the one.
    item.rect = QRect(0, 0, view->columnWidth(index.column()), size.height());
    QTextLayout layout(item.text, item.font, view->viewport());
    const int lines = static_cast<int>(std::ceil(layOut(layout, textArea(item).width())));
    const int padding = size.height() - QFontMetrics(item.font).height();
    size.setHeight(std::max(size.height(), lines + padding));
    return size;
}

} // namespace kx
