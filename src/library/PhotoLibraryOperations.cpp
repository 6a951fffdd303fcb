#include "library/PhotoLibraryOperations.h"

#include "core/CallbackAwaitable.h"
#include "library/ReplacementError.h"
#include "platform/imaging/JpegCodec.h"
#include "platform/types/UTType.h"

#include <QFileInfo>
#include <cerrno>
#include <cstring>
#include <unistd.h>

namespace twinslim {

using namespace photos;

// Awaitables and change bodies are named locals, never temporaries inside a co_await
// expression: g++ 12 destroys such temporaries wrongly.
QCoro::Task<> performChanges(PhotoLibrary::ChangeBody body) {
    auto library = PhotoLibrary::shared();
    CallbackAwaitable<void> change([library, body = std::move(body)](auto resolver) {
        library->performChanges(body, [resolver](bool ok, std::optional<PhotoLibraryError> error) {
            if (ok)
                resolver.resolve();
            else if (error)
                resolver.reject(*error);
            else
                resolver.reject(ReplacementError(ReplacementError::Case::performChangesFailed));
        });
    });
    co_await change;
}

// Lookups report absence, never failure: a library that cannot be read holds nothing.
CollectionPtr album(const QString& title) {
    try {
        FetchOptions options;
        options.predicate = Predicate::titleEquals(title);
        auto found = PhotoLibrary::shared()->fetchAssetCollections(
            CollectionType::Album, CollectionSubtype::AlbumRegular, options);
        return found.empty() ? nullptr : found.front();
    } catch (const std::exception&) {
        return nullptr;
    }
}

QCoro::Task<CollectionPtr> findOrCreateAlbum(QString title) {
    if (CollectionPtr existing = album(title))
        co_return existing;
    // Written on the library's thread, read here only after the change has completed.
    auto createdId = std::make_shared<QString>();
    PhotoLibrary::ChangeBody create = [title, createdId](ChangeRequests& changes) {
        *createdId = changes.creationRequestForUniqueAssetCollection(title)
                         .placeholderForCreatedAssetCollection()
                         .localIdentifier;
    };
    bool takenMeanwhile = false;
    try {
        auto creating = performChanges(std::move(create));
        co_await creating;
    } catch (const PhotoLibraryError& error) {
        // Another process (or an earlier press of the same button) created it first.
        if (error.code() != PhotoLibraryError::Code::AlreadyExists)
            throw;
        takenMeanwhile = true;
    }
    if (takenMeanwhile) {
        if (CollectionPtr existing = album(title))
            co_return existing;
    } else if (!createdId->isEmpty()) {
        auto found =
            PhotoLibrary::shared()->fetchAssetCollectionsWithLocalIdentifiers({*createdId});
        if (!found.empty())
            co_return found.front();
    }
    throw ReplacementError(ReplacementError::Case::performChangesFailed);
}

QCoro::Task<> addAssets(std::vector<AssetPtr> assets, CollectionPtr collection) {
    if (assets.empty())
        co_return;
    PhotoLibrary::ChangeBody add = [assets, collection](ChangeRequests& changes) {
        if (auto* request = changes.changeRequestForAssetCollection(collection))
            request->addAssets(assets);
    };
    co_await performChanges(std::move(add));
}

void removeAssets(ChangeRequests& changes, const std::vector<AssetPtr>& assets,
                  const CollectionPtr& collection) {
    if (auto* request = changes.changeRequestForAssetCollection(collection))
        request->removeAssets(assets);
}

QCoro::Task<> deleteAssets(std::vector<AssetPtr> assets) {
    if (assets.empty())
        co_return;
    PhotoLibrary::ChangeBody remove = [assets](ChangeRequests& changes) {
        changes.deleteAssets(assets);
    };
    co_await performChanges(std::move(remove));
}

std::vector<AssetPtr> assetsInAlbumTitled(const QString& title) {
    CollectionPtr found = album(title);
    if (!found)
        return {};
    try {
        return PhotoLibrary::shared()->fetchAssetsInAssetCollection(found);
    } catch (const std::exception&) {
        return {};
    }
}

namespace {

std::vector<ResourcePtr> resourcesOf(const AssetPtr& asset) {
    if (!asset)
        return {};
    try {
        return PhotoLibrary::shared()->assetResources(asset);
    } catch (const std::exception&) {
        return {};
    }
}

} // namespace

ResourcePtr jpegResource(const AssetPtr& asset) {
    const auto resources = resourcesOf(asset);
    for (ResourceType wanted : {ResourceType::Photo, ResourceType::AlternatePhoto})
        for (const ResourcePtr& r : resources)
            if (r->type == wanted && uti::conformsToJpeg(r->uniformTypeIdentifier))
                return r;
    for (const ResourcePtr& r : resources)
        if (uti::conformsToJpeg(r->uniformTypeIdentifier))
            return r;
    return nullptr;
}

ResourcePtr rawResource(const AssetPtr& asset) {
    for (const ResourcePtr& r : resourcesOf(asset))
        if (uti::conformsToRaw(r->uniformTypeIdentifier))
            return r;
    return nullptr;
}

QCoro::Task<> writeResource(ResourcePtr resource, QString destination) {
    const QFileInfo existing(destination);
    if (existing.exists() || existing.isSymLink()) {
        if (::unlink(QFile::encodeName(destination).constData()) != 0)
            throw FileSystemError(
                QStringLiteral("“%1” couldn’t be removed: %2.")
                    .arg(existing.fileName(), QString::fromLocal8Bit(std::strerror(errno))));
    }
    auto library = PhotoLibrary::shared();
    CallbackAwaitable<void> write([library, resource, destination](auto resolver) {
        library->writeDataForAssetResource(resource, destination,
                                           [resolver](std::optional<PhotoLibraryError> error) {
                                               if (error)
                                                   resolver.reject(*error);
                                               else
                                                   resolver.resolve();
                                           });
    });
    co_await write;
}

QCoro::Task<QImage> requestImage(AssetPtr asset, ImageRequestOptions options) {
    CallbackAwaitable<QImage> request([asset, options](auto resolver) {
        // The handler may be called again after the final answer; only that one counts.
        auto done = std::make_shared<std::atomic<bool>>(false);
        ImageManager::defaultManager()->requestImage(
            asset, ImageManagerMaximumSize, ImageContentMode::AspectFit, options,
            [resolver, done](QImage image, ImageResultInfo info) {
                if (info.isDegraded || done->exchange(true))
                    return;
                if (!image.isNull())
                    resolver.resolve(std::move(image));
                else if (info.error)
                    resolver.reject(*info.error);
                else
                    resolver.reject(ReplacementError(ReplacementError::Case::resourcesNotFound));
            });
    });
    co_return co_await request;
}

QCoro::Task<QByteArray> renderedJPEGData(AssetPtr asset, double quality) {
    ImageRequestOptions options;
    options.networkAccessAllowed = true;
    options.deliveryMode = ImageDeliveryMode::HighQualityFormat;
    options.resizeMode = ImageResizeMode::None;
    const QImage image = co_await requestImage(asset, options);
    if (image.isNull())
        throw ReplacementError(ReplacementError::Case::resourcesNotFound);
    QByteArray data;
    try {
        data = imaging::encodeJpeg(image, quality);
    } catch (const std::exception&) {
        throw ReplacementError(ReplacementError::Case::resourcesNotFound);
    }
    if (data.isEmpty())
        throw ReplacementError(ReplacementError::Case::resourcesNotFound);
    co_return data;
}

} // namespace twinslim
