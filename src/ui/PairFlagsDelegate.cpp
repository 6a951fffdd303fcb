#include "ui/PairFlagsDelegate.h"

#include "ui/PairRoles.h"
#include "ui/Symbols.h"

#include <QPainter>

namespace twinslim {

void PairFlagsDelegate::paint(QPainter* painter, const QStyleOptionViewItem& option,
                              const QModelIndex& index) const {
    paintBackground(painter, option, index);

    const int rank = index.data(SortRole).toInt();
    const bool favorite = rank & 2;
    const bool edited = rank & 1;
    if (!favorite && !edited)
        return;

    const QString star = QStringLiteral("\u2605");
    const QFontMetrics metrics(option.font);
    const int starWidth = favorite ? metrics.horizontalAdvance(star) : 0;
    const int width = starWidth + (edited ? markSize : 0) + (favorite && edited ? spacing : 0);
    int x = option.rect.center().x() - width / 2;
    painter->save();
    if (favorite) {
        painter->setFont(option.font);
        painter->setPen(QColor(0xff, 0xcc, 0x00)); // yellow
        painter->drawText(QRect(x, option.rect.top(), starWidth, option.rect.height()),
                          Qt::AlignCenter, star);
        x += starWidth + spacing;
    }
    if (edited) {
        const qreal ratio = painter->device() ? painter->device()->devicePixelRatioF() : 1.0;
        const QPixmap pencil =
            symbolPixmap(QStringLiteral("pencil"), markSize, QColor(0x00, 0x7a, 0xff), ratio);
        painter->drawPixmap(QRect(x, option.rect.center().y() - markSize / 2, markSize, markSize),
                            pencil);
    }
    painter->restore();
}

} // namespace twinslim
