#pragma once

#include "platform/photos/PhotoLibraryError.h"
#include "platform/photos/PhotoTypes.h"

#include <QImage>
#include <QSize>
#include <atomic>
#include <functional>
#include <memory>
#include <optional>

class QThreadPool;

namespace photos {

class PhotoLibrary;

// The platform's values.
enum class ImageContentMode : int { AspectFit = 0, AspectFill = 1 };
enum class ImageDeliveryMode : int { Opportunistic = 0, HighQualityFormat = 1, FastFormat = 2 };
enum class ImageResizeMode : int { None = 0, Fast = 1, Exact = 2 };

// Asks for the largest rendering there is.
inline const QSize ImageManagerMaximumSize(-1, -1);

struct ImageRequestOptions {
    ImageDeliveryMode deliveryMode = ImageDeliveryMode::Opportunistic;
    ImageResizeMode resizeMode = ImageResizeMode::Fast;
    bool networkAccessAllowed = false; // accepted; every resource here is local
};

struct ImageResultInfo {
    bool isDegraded = false;
    bool isCancelled = false;
    std::optional<PhotoLibraryError> error;
};

using ImageRequestID = int;

// Renders an asset's current picture: its full-size rendering when edited, else its
// photo JPEG/HEIC, else its RAW, upright, at the size asked for. Decoding runs on a
// thread pool; handlers are called on that pool's threads. Opportunistic requests for
// large pictures get a quick degraded answer first, then the final one; the other
// modes answer once.
class ImageManager {
public:
    explicit ImageManager(std::shared_ptr<PhotoLibrary> library);
    ~ImageManager();

    // The manager of the shared library. Shared, so a manager in use stays whole when the
    // shared library changes and a new default takes its place.
    static std::shared_ptr<ImageManager> defaultManager();

    using ResultHandler = std::function<void(QImage image, ImageResultInfo info)>;
    ImageRequestID requestImage(const AssetPtr& asset, QSize targetSize, ImageContentMode mode,
                                const ImageRequestOptions& options, ResultHandler handler);
    // A cancelled request answers once more, with no image and isCancelled set, unless it
    // has already given its final answer.
    void cancelImageRequest(ImageRequestID id);

    // The resource that is the asset's current picture, or none.
    static ResourcePtr renderingResource(const Asset& asset);

private:
    struct Request;
    void decode(const std::shared_ptr<Request>& request);

    std::shared_ptr<PhotoLibrary> m_library;
    std::unique_ptr<QThreadPool> m_pool;
    std::atomic<int> m_nextId{1};
    struct Registry;
    std::unique_ptr<Registry> m_registry;
};

} // namespace photos
