#include "platform/photos/ImageManager.h"

#include "platform/imaging/FileRead.h"
#include "platform/imaging/HeifCodec.h"
#include "platform/imaging/ImageFormat.h"
#include "platform/imaging/JpegCodec.h"
#include "platform/imaging/RawDecoder.h"
#include "platform/photos/PhotoLibrary.h"
#include "platform/types/UTType.h"

#include <QHash>
#include <QScopeGuard>
#include <QThreadPool>
#include <mutex>
#include <unistd.h>

namespace photos {

namespace {

// Below this long side a request is cheap enough to answer once even when opportunistic.
constexpr int degradedThreshold = 256;
constexpr int degradedSide = 128;

PhotoLibraryError decodeError(const QString& name) {
    return PhotoLibraryError(PhotoLibraryError::Code::InvalidResource,
                             QStringLiteral("The picture “%1” could not be read.").arg(name));
}

// Decodes the stored file open at `fd`. It is read, never mapped: a library on a disk that goes
// away must fail a read, not kill the process.
//
// A camera JPEG carries a small rendering in its EXIF block. When that is large enough for a
// fast request it is served as it is: reading it costs about a millisecond, decoding even a
// 1/8-scale picture 20 or more. The EXIF block (at most 64 KB) and the frame header come first
// in the file, so only its head is read for that.
QImage decodeFile(int fd, const imaging::DecodeTarget& target, bool exifThumbnailWillDo) {
    constexpr qint64 headLength = 256 * 1024;
    const QByteArray head = imaging::detail::readFileBytes(fd, headLength);
    const imaging::ImageFormat format = imaging::sniffImageFormat(head.left(imaging::kSniffLength));
    if (format == imaging::ImageFormat::Unknown)
        return {};
    if (format == imaging::ImageFormat::Jpeg && exifThumbnailWillDo && !target.isFullSize())
        if (QImage thumbnail = imaging::decodeJpegExifThumbnail(QByteArrayView(head), target);
            !thumbnail.isNull())
            return thumbnail;
    // A RAW file is read only as far as the answer needs: a preview is a small part of it.
    if (format == imaging::ImageFormat::Tiff || format == imaging::ImageFormat::CameraRaw)
        return imaging::decodeRaw(fd, target);
    const QByteArray bytes = head.size() < headLength ? head : imaging::detail::readFileBytes(fd);
    switch (format) {
    case imaging::ImageFormat::Jpeg:
        return imaging::decodeJpeg(bytes, target);
    case imaging::ImageFormat::Heif:
        return imaging::decodeHeif(bytes, target);
    case imaging::ImageFormat::Tiff:
    case imaging::ImageFormat::CameraRaw:
    case imaging::ImageFormat::Unknown:
        break;
    }
    return {};
}

imaging::DecodeTarget targetFor(QSize size, ImageContentMode mode) {
    if (size.width() <= 0 || size.height() <= 0)
        return imaging::DecodeTarget::fullSize();
    return mode == ImageContentMode::AspectFill ? imaging::DecodeTarget::fill(size)
                                                : imaging::DecodeTarget::fit(size);
}

// Exact sizing: the picture scaled to fit inside, or to cover, the target.
QImage resized(const QImage& image, QSize target, ImageContentMode mode, ImageResizeMode resize) {
    if (image.isNull() || target.width() <= 0 || target.height() <= 0 ||
        resize == ImageResizeMode::None)
        return image;
    const QSize wanted = image.size().scaled(target, mode == ImageContentMode::AspectFill
                                                         ? Qt::KeepAspectRatioByExpanding
                                                         : Qt::KeepAspectRatio);
    if (wanted.width() >= image.width() || wanted.height() >= image.height())
        return image; // never enlarged
    if (resize == ImageResizeMode::Fast && image.width() <= wanted.width() * 2 &&
        image.height() <= wanted.height() * 2)
        return image; // close enough for a fast answer
    return image.scaled(wanted, Qt::KeepAspectRatio, Qt::SmoothTransformation);
}

} // namespace

struct ImageManager::Request {
    ImageRequestID id = 0;
    AssetPtr asset;
    QSize target;
    ImageContentMode mode = ImageContentMode::AspectFit;
    ImageRequestOptions options;
    ResultHandler handler;
    bool degradedFirst = false;
    bool answerWithNothing = false;
    std::mutex mutex;
    bool finished = false; // the final answer was given
    bool cancelled = false;
};

struct ImageManager::Registry {
    std::mutex mutex;
    QHash<ImageRequestID, std::weak_ptr<Request>> requests;
};

ImageManager::ImageManager(std::shared_ptr<PhotoLibrary> library)
    : m_library(std::move(library)), m_pool(std::make_unique<QThreadPool>()),
      m_registry(std::make_unique<Registry>()) {}

ImageManager::~ImageManager() {
    m_pool->waitForDone();
}

std::shared_ptr<ImageManager> ImageManager::defaultManager() {
    static std::mutex mutex;
    static std::shared_ptr<ImageManager> manager;
    std::lock_guard lock(mutex);
    auto library = PhotoLibrary::shared();
    if (!manager || manager->m_library != library)
        manager = std::make_shared<ImageManager>(library);
    return manager;
}

ResourcePtr ImageManager::renderingResource(const Asset& asset) {
    for (const ResourcePtr& r : asset.resources)
        if (r->type == ResourceType::FullSizePhoto)
            return r;
    auto isPicture = [](const ResourcePtr& r) {
        return uti::conformsToJpeg(r->uniformTypeIdentifier) ||
               uti::conformsToHeif(r->uniformTypeIdentifier);
    };
    for (const ResourcePtr& r : asset.resources)
        if (r->type == ResourceType::Photo && isPicture(r))
            return r;
    for (const ResourcePtr& r : asset.resources)
        if (isPicture(r) && r->type != ResourceType::AdjustmentData)
            return r;
    for (const ResourcePtr& r : asset.resources)
        if (uti::conformsToRaw(r->uniformTypeIdentifier))
            return r;
    return nullptr;
}

ImageRequestID ImageManager::requestImage(const AssetPtr& asset, QSize targetSize,
                                          ImageContentMode mode, const ImageRequestOptions& options,
                                          ResultHandler handler) {
    auto request = std::make_shared<Request>();
    request->id = m_nextId++;
    request->asset = asset;
    request->target = targetSize;
    request->mode = mode;
    request->options = options;
    request->handler = std::move(handler);
    FaultInjection& faults = m_library->faults();
    {
        std::lock_guard lock(m_library->faultMutex());
        request->answerWithNothing = std::exchange(faults.answerNextImageRequestWithNothing, false);
        const bool large = targetSize.width() <= 0 || targetSize.height() <= 0 ||
                           std::max(targetSize.width(), targetSize.height()) > degradedThreshold;
        request->degradedFirst =
            faults.deliverDegradedImageFirst ||
            (options.deliveryMode == ImageDeliveryMode::Opportunistic && large);
    }
    {
        std::lock_guard lock(m_registry->mutex);
        m_registry->requests.insert(request->id, request);
    }
    m_pool->start([this, request] { decode(request); });
    return request->id;
}

void ImageManager::cancelImageRequest(ImageRequestID id) {
    std::shared_ptr<Request> request;
    {
        std::lock_guard lock(m_registry->mutex);
        request = m_registry->requests.value(id).lock();
    }
    if (!request)
        return;
    std::lock_guard lock(request->mutex);
    request->cancelled = true;
}

void ImageManager::decode(const std::shared_ptr<Request>& request) {
    auto answer = [&](QImage image, ImageResultInfo info) {
        {
            std::lock_guard lock(request->mutex);
            if (request->finished)
                return;
            if (request->cancelled && !info.isDegraded) {
                image = QImage();
                info = ImageResultInfo{false, true, std::nullopt};
            } else if (request->cancelled) {
                return;
            }
            if (!info.isDegraded)
                request->finished = true;
        }
        // A result handler that throws must not end the process from a pool thread.
        if (request->handler) {
            try {
                request->handler(std::move(image), std::move(info));
            } catch (...) {
            }
        }
    };
    auto done = [&] {
        std::lock_guard lock(m_registry->mutex);
        m_registry->requests.remove(request->id);
    };

    const ResourcePtr resource = request->asset ? renderingResource(*request->asset) : nullptr;
    if (request->answerWithNothing) {
        answer(QImage(), {});
        return done();
    }
    if (!resource) {
        answer(QImage(), {false, false,
                          PhotoLibraryError(PhotoLibraryError::Code::InvalidResource,
                                            QStringLiteral("The item has no picture to show."))});
        return done();
    }
    // Opened once, without following links out of the library; every read below goes through
    // this descriptor, so swapping a link in meanwhile reads nothing outside.
    const int fd = m_library->openStoredFile(resource);
    if (fd < 0) { // missing, or the catalogue names no file of the library
        answer(QImage(), {false, false, decodeError(resource->originalFilename)});
        return done();
    }
    const auto closeFile = qScopeGuard([fd] { ::close(fd); });
    if (request->degradedFirst) {
        const QImage quick = decodeFile(fd, imaging::DecodeTarget::longSide(degradedSide), true);
        if (!quick.isNull())
            answer(resized(quick, QSize(degradedSide, degradedSide), ImageContentMode::AspectFit,
                           ImageResizeMode::Exact),
                   {true, false, std::nullopt});
    }
    // Only a fast request may be answered from an embedded thumbnail: it is a smaller, more
    // compressed rendering than the caller would get from the picture itself.
    const QImage image = decodeFile(fd, targetFor(request->target, request->mode),
                                    request->options.resizeMode == ImageResizeMode::Fast);
    if (image.isNull())
        answer(QImage(), {false, false, decodeError(resource->originalFilename)});
    else
        answer(resized(image, request->target, request->mode, request->options.resizeMode), {});
    done();
}

} // namespace photos
