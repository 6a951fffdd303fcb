#pragma once

#include "ui/MarkDelegate.h"

namespace twinslim {

// The pair table's "★ ✎" column: a yellow star for a favourite and a blue pencil for an edited
// pair, side by side and centred; empty for neither. Reads the row's flag rank.
class PairFlagsDelegate : public MarkDelegate {
    Q_OBJECT
public:
    using MarkDelegate::MarkDelegate;

    void paint(QPainter* painter, const QStyleOptionViewItem& option,
               const QModelIndex& index) const override;

    static constexpr int markSize = 12;
    static constexpr int spacing = 3;
};

} // namespace twinslim
