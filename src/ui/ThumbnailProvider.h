#pragma once

#include "platform/photos/ImageManager.h"
#include "platform/photos/PhotoTypes.h"

#include <QCache>
#include <QImage>
#include <QObject>
#include <QSet>
#include <QString>
#include <functional>

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
    // the asset without a thumbnail (the placeholder stays) and is not asked again until
    // forgetFailures() or clear(). Thumbnails are square, pixelSize on each side (smaller only when
    // the picture is).
    QImage thumbnail(const photos::AssetPtr& asset);

    // Forgets every thumbnail and every answer without one, so pictures that changed (or
    // that failed) are asked for again.
    void clear();
    // Forgets only the answers without an image, so those are asked for again (after a new
    // scan, say) while the loaded thumbnails stay.
    void forgetFailures();

    // Requests waiting for their answer.
    int pendingCount() const { return int(m_pending.size()); }

    static constexpr int pixelSize = 88;
    // About 2,000 thumbnails.
    static constexpr qsizetype cacheBytes = qsizetype(64) << 20;

    // How an image is asked for; the image manager of the shared library by default. The
    // handler may be called on any thread, and more than once (degraded answers first).
    using Requester = std::function<void(const photos::AssetPtr&, QSize, photos::ImageContentMode,
                                         const photos::ImageRequestOptions&,
                                         photos::ImageManager::ResultHandler)>;
    void setRequester(Requester requester);

signals:
    void thumbnailReady(const QString& localIdentifier);

private:
    void deliver(const QString& localIdentifier, quint64 generation, const QImage& image);

    Requester m_requester;
    QCache<QString, QImage> m_cache{cacheBytes};
    QSet<QString> m_pending;
    QSet<QString> m_withoutImage;
    quint64 m_generation = 0; // counts clear()s
};

} // namespace twinslim
