#pragma once

#include <QStyledItemDelegate>

namespace twinslim {

// A pair table column drawn as marks rather than text: the cell's background (selection, hover,
// focus) comes from the style, the marks from the subclass.
class MarkDelegate : public QStyledItemDelegate {
    Q_OBJECT
public:
    using QStyledItemDelegate::QStyledItemDelegate;

protected:
    // The cell as the style draws it, without its text or icon.
    void paintBackground(QPainter* painter, const QStyleOptionViewItem& option,
                         const QModelIndex& index) const;
};

} // namespace twinslim
