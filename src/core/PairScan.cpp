#include "core/PairScan.h"

#include "core/CallbackAwaitable.h"
#include "platform/types/UTType.h"

#include <QThreadPool>
#include <algorithm>
#include <exception>

namespace twinslim {

std::optional<PairResources> pairResources(const std::vector<photos::ResourcePtr>& resources) {
    // Two passes on purpose: the first RAW and the first JPEG are each the earliest of
    // their kind, wherever the other kind appears.
    photos::ResourcePtr raw;
    for (const auto& resource : resources) {
        if (resource && uti::conformsToRaw(resource->uniformTypeIdentifier)) {
            raw = resource;
            break;
        }
    }
    if (!raw)
        return std::nullopt;
    photos::ResourcePtr jpeg;
    for (const auto& resource : resources) {
        if (resource && uti::conformsToJpeg(resource->uniformTypeIdentifier)) {
            jpeg = resource;
            break;
        }
    }
    if (!jpeg)
        return std::nullopt;
    return PairResources{raw, jpeg};
}

std::optional<qint64> resourceFileSize(const photos::ResourcePtr& resource) {
    if (!resource)
        return std::nullopt;
    return resource->fileSize;
}

namespace {

photos::FetchOptions fetchOptions(const std::optional<QDateTime>& newerThan,
                                  const std::optional<QDateTime>& olderThan) {
    photos::FetchOptions options;
    options.includeHiddenAssets = false;
    options.sortDescriptors = {{QStringLiteral("creationDate"), false}};
    std::vector<photos::Predicate> conditions;
    if (newerThan)
        conditions.push_back(photos::Predicate::creationDateAtLeast(*newerThan));
    if (olderThan)
        conditions.push_back(photos::Predicate::creationDateAtMost(*olderThan));
    if (!conditions.empty())
        options.predicate = photos::Predicate::andPredicate(std::move(conditions));
    return options;
}

std::optional<PhotoPair> pairOf(const photos::PhotoLibrary& library,
                                const photos::AssetPtr& asset) {
    const auto resources = library.assetResources(asset);
    const auto chosen = pairResources(resources);
    if (!chosen)
        return std::nullopt;

    PhotoPair pair;
    pair.asset = asset;
    pair.id = asset->localIdentifier;
    pair.creationDate = asset->creationDate;
    pair.isFavorite = asset->isFavorite;
    pair.isEdited = std::any_of(resources.begin(), resources.end(), [](const auto& resource) {
        return resource && resource->type == photos::ResourceType::AdjustmentData;
    });
    for (const auto& album :
         library.fetchAssetCollectionsContainingAsset(asset, photos::CollectionType::Album)) {
        if (album && album->localizedTitle)
            pair.albumNames.append(*album->localizedTitle);
    }
    pair.rawUTI = chosen->raw->uniformTypeIdentifier;
    pair.jpegUTI = chosen->jpeg->uniformTypeIdentifier;
    pair.rawFilename = chosen->raw->originalFilename;
    pair.jpegFilename = chosen->jpeg->originalFilename;
    pair.rawBytes = resourceFileSize(chosen->raw);
    pair.jpegBytes = resourceFileSize(chosen->jpeg);
    return pair;
}

} // namespace

std::vector<PhotoPair> readPairs(const std::shared_ptr<photos::PhotoLibrary>& library,
                                 const std::optional<QDateTime>& newerThan,
                                 const std::optional<QDateTime>& olderThan,
                                 const IsCancelled& isCancelled, const ScanProgress& progress) {
    std::vector<PhotoPair> result;
    int total = 0;
    int i = 0;
    // What the callbacks throw is theirs, not the library's: it goes on to the caller.
    std::exception_ptr callbackFailed;
    const auto visit = [&](const photos::AssetPtr& asset) {
        try {
            if (isCancelled && isCancelled())
                return false;
        } catch (...) {
            callbackFailed = std::current_exception();
            return false;
        }
        if (asset) {
            try {
                if (auto pair = pairOf(*library, asset))
                    result.push_back(std::move(*pair));
            } catch (const std::exception&) {
                // An asset the library cannot describe is left out.
            }
        }
        try {
            if (i % 50 == 0 && progress)
                progress(i + 1, total);
        } catch (...) {
            callbackFailed = std::current_exception();
            return false;
        }
        ++i;
        return true;
    };
    if (library) {
        // One asset at a time: a library of a million items is not held whole, only its pairs.
        try {
            library->enumerateAssets(
                photos::MediaType::Image, fetchOptions(newerThan, olderThan),
                [&](int count) { total = count; }, visit);
        } catch (const std::exception&) {
            if (callbackFailed)
                std::rethrow_exception(callbackFailed);
            // A library that cannot be read yields no pairs.
            result.clear();
            total = 0;
        }
        if (callbackFailed)
            std::rethrow_exception(callbackFailed);
    }
    if (progress)
        progress(total, total);
    return result;
}

QCoro::Task<std::vector<PhotoPair>> scan(std::optional<QDateTime> newerThan,
                                         std::optional<QDateTime> olderThan,
                                         IsCancelled isCancelled, ScanProgress progress) {
    using Awaitable = CallbackAwaitable<std::vector<PhotoPair>>;
    Awaitable reading([=](Awaitable::Resolver resolver) {
        QThreadPool::globalInstance()->start([=] {
            // Opening the system library can touch the disk, so it happens here too. A library
            // that cannot be opened is no library without pairs: the reading fails.
            std::shared_ptr<photos::PhotoLibrary> library;
            try {
                library = photos::PhotoLibrary::shared();
            } catch (const std::exception&) {
                resolver.reject(std::current_exception());
                return;
            }
            resolver.resolve(readPairs(library, newerThan, olderThan, isCancelled, progress));
        });
    });
    co_return co_await reading;
}

} // namespace twinslim
