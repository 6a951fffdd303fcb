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

// The pair of the asset, if it is one, without its albums: those are asked for many pairs at
// once (withAlbums).
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
    pair.rawUTI = chosen->raw->uniformTypeIdentifier;
    pair.jpegUTI = chosen->jpeg->uniformTypeIdentifier;
    pair.rawFilename = chosen->raw->originalFilename;
    pair.jpegFilename = chosen->jpeg->originalFilename;
    pair.rawBytes = resourceFileSize(chosen->raw);
    pair.jpegBytes = resourceFileSize(chosen->jpeg);
    return pair;
}

void addAlbumNames(PhotoPair& pair, const std::vector<photos::CollectionPtr>& albums) {
    for (const auto& album : albums)
        if (album && album->localizedTitle)
            pair.albumNames.append(*album->localizedTitle);
}

// Fills in the albums of pairs[first…]: in one request, or, when that fails, one pair at a
// time, leaving out a pair whose albums cannot be read.
void withAlbums(const photos::PhotoLibrary& library, std::vector<PhotoPair>& pairs, size_t first) {
    if (first >= pairs.size())
        return;
    std::vector<photos::AssetPtr> assets;
    assets.reserve(pairs.size() - first);
    for (size_t i = first; i < pairs.size(); ++i)
        assets.push_back(pairs[i].asset);
    try {
        const auto albums =
            library.fetchAssetCollectionsContainingAssets(assets, photos::CollectionType::Album);
        if (albums.size() == assets.size()) {
            for (size_t i = first; i < pairs.size(); ++i)
                addAlbumNames(pairs[i], albums[i - first]);
            return;
        }
    } catch (const std::exception&) {
    }
    size_t kept = first;
    for (size_t i = first; i < pairs.size(); ++i) {
        try {
            addAlbumNames(pairs[i], library.fetchAssetCollectionsContainingAsset(
                                        pairs[i].asset, photos::CollectionType::Album));
        } catch (const std::exception&) {
            continue; // an asset the library cannot describe is left out
        }
        if (kept != i)
            pairs[kept] = std::move(pairs[i]);
        ++kept;
    }
    pairs.erase(pairs.begin() + std::ptrdiff_t(kept), pairs.end());
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
    // The pairs from this index on have no albums yet: they are asked for a batch at a time.
    constexpr size_t albumBatch = 1024;
    size_t withoutAlbums = 0;
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
            if (result.size() - withoutAlbums >= albumBatch) {
                withAlbums(*library, result, withoutAlbums);
                withoutAlbums = result.size();
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
        // An item of fewer than two pictures is no pair: the library does not make it, but it is
        // handled all the same, in its place, so that cancelling and progress go by every item.
        const auto passOverUpTo = [&](int position) {
            while (i < position)
                if (!visit(nullptr))
                    return false;
            return true;
        };
        bool stopped = false;
        try {
            library->enumerateAssetsWithPictures(
                photos::MediaType::Image, fetchOptions(newerThan, olderThan), 2,
                [&](int count) { total = count; },
                [&](const photos::AssetPtr& asset, int position) {
                    stopped = !passOverUpTo(position) || !visit(asset);
                    return !stopped;
                });
            if (!stopped)
                passOverUpTo(total);
        } catch (const std::exception&) {
            if (callbackFailed)
                std::rethrow_exception(callbackFailed);
            // A library that cannot be read yields no pairs.
            result.clear();
            total = 0;
        }
        if (callbackFailed)
            std::rethrow_exception(callbackFailed);
        withAlbums(*library, result, withoutAlbums);
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
