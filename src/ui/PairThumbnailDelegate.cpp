#include "ui/PairThumbnailDelegate.h"

#include "ui/PairRoles.h"
#include "ui/ThumbnailProvider.h"

#include <QAbstractItemView>
#include <QApplication>
#include <QPainter>
#include <QPainterPath>

namespace twinslim {

PairThumbnailDelegate::PairThumbnailDelegate(ThumbnailProvider* provider, QAbstractItemView* view)
    : QStyledItemDelegate(view), m_provider(provider) {
    if (provider && view)
        // Arrivals within one turn of the event loop are drawn in one repaint.
        connect(provider, &ThumbnailProvider::thumbnailReady, view,
                [view] { view->viewport()->update(); });
}

QColor PairThumbnailDelegate::placeholderColor(const QPalette& palette) {
    QColor colour = palette.color(QPalette::Active, QPalette::WindowText);
    colour.setAlphaF(0.1f);
    return colour;
}

void PairThumbnailDelegate::paint(QPainter* painter, const QStyleOptionViewItem& option,
                                  const QModelIndex& index) const {
    // The cell's background and selection as the style draws them, without text or icon.
    QStyleOptionViewItem background = option;
    initStyleOption(&background, index);
    background.text.clear();
    background.icon = QIcon();
    background.features &= ~QStyleOptionViewItem::HasDisplay;
    background.features &= ~QStyleOptionViewItem::HasDecoration;
    const QWidget* widget = option.widget;
    QStyle* style = widget ? widget->style() : QApplication::style();
    style->drawPrimitive(QStyle::PE_PanelItemViewItem, &background, painter, widget);

    const QRectF frame(QPointF(option.rect.x() + (option.rect.width() - side) / 2.0,
                               option.rect.y() + (option.rect.height() - side) / 2.0),
                       QSizeF(side, side));
    const auto asset = index.data(AssetRole).value<photos::AssetPtr>();
    const QImage image = m_provider ? m_provider->thumbnail(asset) : QImage();

    painter->save();
    // Faded like the rest of a row whose original is only waiting for its deletion.
    if (index.data(AwaitsDeletionRole).toBool())
        painter->setOpacity(awaitingOpacity);
    painter->setRenderHint(QPainter::Antialiasing);
    painter->setRenderHint(QPainter::SmoothPixmapTransform);
    QPainterPath rounded;
    rounded.addRoundedRect(frame, cornerRadius, cornerRadius);
    if (image.isNull()) {
        painter->fillPath(rounded, placeholderColor(option.palette));
    } else {
        // Scaled to fill: the middle of the picture with the frame's (square) aspect.
        const QSizeF source = QSizeF(frame.size()).scaled(image.size(), Qt::KeepAspectRatio);
        const QRectF sourceRect(QPointF((image.width() - source.width()) / 2.0,
                                        (image.height() - source.height()) / 2.0),
                                source);
        painter->setClipPath(rounded, Qt::IntersectClip);
        painter->drawImage(frame, image, sourceRect);
    }
    painter->restore();
}

QSize PairThumbnailDelegate::sizeHint(const QStyleOptionViewItem&, const QModelIndex&) const {
    return {side + 8, side + 4};
}

} // namespace twinslim
