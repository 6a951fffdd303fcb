#include "ui/SelectionMarkDelegate.h"

#include "ui/PairTableModel.h"
#include "ui/Symbols.h"

#include <QPainter>

namespace twinslim {

void SelectionMarkDelegate::paint(QPainter* painter, const QStyleOptionViewItem& option,
                                  const QModelIndex& index) const {
    paintBackground(painter, option, index);

    const bool selected = index.data(PairTableModel::SelectedRole).toBool();
    QColor color;
    if (!selected) {
        color = option.palette.color(QPalette::WindowText);
        color.setAlphaF(0.55f * 0.35f); // the secondary colour at 35 %
    } else if (option.state & QStyle::State_Selected) {
        color = option.palette.color(QPalette::HighlightedText); // on the accent background
    } else {
        color = option.palette.color(QPalette::Highlight);
    }
    const qreal ratio = painter->device() ? painter->device()->devicePixelRatioF() : 1.0;
    const QPixmap mark =
        symbolPixmap(selected ? QStringLiteral("checkmark.circle.fill") : QStringLiteral("circle"),
                     markSize, color, ratio);
    QRect target(QPoint(), QSize(markSize, markSize));
    target.moveCenter(option.rect.center());
    painter->drawPixmap(target, mark);
}

} // namespace twinslim
