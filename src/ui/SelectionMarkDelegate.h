#pragma once

#include "ui/MarkDelegate.h"

namespace twinslim {

// The pair table's first column: a filled checkmark when the row's pair is selected, a faint circle
// otherwise. It only shows the state; the table does the selecting.
class SelectionMarkDelegate : public MarkDelegate {
    Q_OBJECT
public:
    using MarkDelegate::MarkDelegate;

    void paint(QPainter* painter, const QStyleOptionViewItem& option,
               const QModelIndex& index) const override;

    static constexpr int markSize = 16;
};

} // namespace twinslim
