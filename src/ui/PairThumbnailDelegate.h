#pragma once

#include <QPointer>
#include <QStyledItemDelegate>

class QAbstractItemView;

namespace twinslim {

class ThumbnailProvider;

// Draws the pair table's thumbnail cell: the row's asset (PairRoles' AssetRole) as a
// 44 × 44 picture scaled to fill and clipped to a rounded rectangle (radius 4), or a grey
// rounded placeholder while there is none. Drawing a cell is what asks for its thumbnail,
// so only cells on screen cost a request; the view is repainted as thumbnails arrive.
class PairThumbnailDelegate : public QStyledItemDelegate {
    Q_OBJECT
public:
    PairThumbnailDelegate(ThumbnailProvider* provider, QAbstractItemView* view);

    void paint(QPainter* painter, const QStyleOptionViewItem& option,
               const QModelIndex& index) const override;
    QSize sizeHint(const QStyleOptionViewItem& option, const QModelIndex& index) const override;

    static constexpr int side = 44;
    static constexpr qreal cornerRadius = 4;
    static constexpr qreal awaitingOpacity = 0.35;

    // The placeholder's colour: the palette's text colour, faint, so it suits light and dark
    // themes alike.
    static QColor placeholderColor(const QPalette& palette);

private:
    QPointer<ThumbnailProvider> m_provider;
};

} // namespace twinslim
