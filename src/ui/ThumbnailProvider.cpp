#include "ui/ThumbnailProvider.h"

#include <QCoreApplication>
#include <QPointer>
#include <atomic>
#include <memory>

namespace twinslim {

namespace {

// The middle square of the picture scaled to cover pixelSize × pixelSize. Done on the image
// manager's thread, so the GUI thread only stores and draws small squares.
QImage squareThumbnail(const QImage& image) {
    if (image.isNull())
        return image;
    const int side = ThumbnailProvider::pixelSize;
    QImage covering = image;
    if (image.width() > side && image.height() > side)
        covering =
            image.scaled(side, side, Qt::KeepAspectRatioByExpanding, Qt::SmoothTransformation);
    const int square = std::min(covering.width(), covering.height());
    return covering
        .copy((covering.width() - square) / 2, (covering.height() - square) / 2, square, square)
        .convertToFormat(QImage::Format_ARGB32_Premultiplied);
}

} // namespace

ThumbnailProvider::ThumbnailProvider(QObject* parent)
    : QObject(parent),
      m_requester([](const photos::AssetPtr& asset, QSize size, photos::ImageContentMode mode,
                     const photos::ImageRequestOptions& options,
                     photos::ImageManager::ResultHandler handler) {
          photos::ImageManager::defaultManager()->requestImage(asset, size, mode, options,
                                                               std::move(handler));
      }) {}

ThumbnailProvider::~ThumbnailProvider() = default;

void ThumbnailProvider::setRequester(Requester requester) {
    m_requester = std::move(requester);
}

QImage ThumbnailProvider::thumbnail(const photos::AssetPtr& asset) {
    if (!asset)
        return {};
    const QString id = asset->localIdentifier;
    if (const QImage* cached = m_cache.object(id))
        return *cached;
    if (m_pending.contains(id) || m_withoutImage.contains(id))
        return {};
    m_pending.insert(id);

    photos::ImageRequestOptions options;
    options.deliveryMode = photos::ImageDeliveryMode::HighQualityFormat;
    options.resizeMode = photos::ImageResizeMode::Fast;
    options.networkAccessAllowed = true;
    // The handler runs on the image manager's thread: it only prepares the picture and
    // posts it to the GUI thread, where the provider may have gone in the meantime.
    QPointer<ThumbnailProvider> self(this);
    const quint64 generation = m_generation;
    auto answered = std::make_shared<std::atomic<bool>>(false);
    m_requester(asset, QSize(pixelSize, pixelSize), photos::ImageContentMode::AspectFill, options,
                [self, id, generation, answered](QImage image, photos::ImageResultInfo info) {
                    if (info.isDegraded || answered->exchange(true))
                        return;
                    QImage square = squareThumbnail(image);
                    QCoreApplication* app = QCoreApplication::instance();
                    if (!app)
                        return;
                    QMetaObject::invokeMethod(
                        app,
                        [self, id, generation, square = std::move(square)] {
                            if (self)
                                self->deliver(id, generation, square);
                        },
                        Qt::QueuedConnection);
                });
    return {};
}

void ThumbnailProvider::deliver(const QString& localIdentifier, quint64 generation,
                                const QImage& image) {
    // Asked before a clear(): it may show the old picture, and a newer request may be running.
    if (generation != m_generation)
        return;
    m_pending.remove(localIdentifier);
    if (image.isNull()) {
        m_withoutImage.insert(localIdentifier);
        return;
    }
    m_cache.insert(localIdentifier, new QImage(image), std::max<qsizetype>(1, image.sizeInBytes()));
    emit thumbnailReady(localIdentifier);
}

void ThumbnailProvider::forgetFailures() {
    m_withoutImage.clear();
}

void ThumbnailProvider::clear() {
    ++m_generation;
    m_cache.clear();
    m_pending.clear();
    m_withoutImage.clear();
}

} // namespace twinslim
