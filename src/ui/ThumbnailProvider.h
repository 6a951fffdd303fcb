#pragma once

#include "platform/photos/PhotoTypes.h"

#include <QHash>
#include <QImage>
#include <QObject>
#include <QString>

namespace twinslim {

// Thumbnails of the pair table: 88 × 88 aspect-fill renderings, asked of the image manager
// only for cells that are drawn, one request per asset at a time, kept in a bounded cache
// so scrolling back costs nothing. Lives on the GUI thread.
class ThumbnailProvider : public QObject {
    Q_OBJECT
public:
    explicit ThumbnailProvider(QObject* parent = nullptr);
    ~ThumbnailProvider() override;

    // The loaded thumbnail, or a null image; a null answer starts the request (once) and
    // thumbnailReady follows when an image arrives. A request that delivers nothing leaves
    // the asset without a thumbnail (the placeholder stays).
    QImage thumbnail(const photos::AssetPtr& asset);

    static constexpr int pixelSize = 88;

signals:
    void thumbnailReady(const QString& localIdentifier);
};

} // namespace twinslim
