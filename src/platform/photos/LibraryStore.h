#pragma once

#include "platform/photos/ChangeRequests.h"
#include "platform/photos/FetchOptions.h"
#include "platform/photos/PhotoTypes.h"

#include <QDateTime>
#include <QString>
#include <QStringList>
#include <functional>
#include <optional>
#include <vector>

namespace photos {

// The storage of one kind of photo library. The service around it (PhotoLibrary) owns the
// worker thread, the deletion prompt, fault injection and the clock; a store keeps the items,
// albums and files and applies each change whole or not at all. Fetches may come from any
// thread; changes, restores and purges come one at a time.
class LibraryStore {
public:
    virtual ~LibraryStore() = default;

    // ---- Fetches (trashed items never appear) ----
    virtual std::vector<AssetPtr> assets(MediaType mediaType,
                                         const FetchOptions& options) const = 0;
    // The same assets handed over one at a time, `counted` told their number first; stops when
    // `visit` answers false. A store that reads its items from disk hands each over as it is
    // read, so that a caller holds only those it keeps; one that holds them all anyway lists
    // them as assets() does.
    virtual void enumerateAssets(MediaType mediaType, const FetchOptions& options,
                                 const std::function<void(int total)>& counted,
                                 const std::function<bool(const AssetPtr&)>& visit) const {
        const std::vector<AssetPtr> all = assets(mediaType, options);
        counted(int(all.size()));
        for (const AssetPtr& asset : all)
            if (!visit(asset))
                return;
    }
    // Like enumerateAssets, but only the assets with at least `minimumPictures` pictures
    // are handed to `visit`, each with its position among all the assets the options fetch;
    // `counted` is told the number of all of them. A store that reads from disk need not make
    // the others at all.
    virtual void
    enumerateAssetsWithPictures(MediaType mediaType, const FetchOptions& options,
                                int minimumPictures, const std::function<void(int total)>& counted,
                                const std::function<bool(const AssetPtr&, int)>& visit) const {
        int position = 0;
        enumerateAssets(mediaType, options, counted, [&](const AssetPtr& asset) {
            const int at = position++;
            return !asset || pictureCount(*asset) < minimumPictures || visit(asset, at);
        });
    }
    virtual std::vector<AssetPtr> assetsWithIdentifiers(const QStringList& ids) const = 0;
    // In album order.
    virtual std::vector<AssetPtr> assetsInCollection(const AssetCollection& collection,
                                                     const FetchOptions& options) const = 0;
    virtual std::vector<AssetPtr> assetsWithResource(const QString& originalFilename,
                                                     qint64 fileSize) const = 0;
    // Oldest album first.
    virtual std::vector<CollectionPtr> collectionsContaining(const Asset& asset,
                                                             CollectionType type) const = 0;
    // collectionsContaining for each of `assets`, in their order (none for a null asset): a scan
    // asks for the albums of a hundred thousand pairs, better answered in one reading.
    virtual std::vector<std::vector<CollectionPtr>>
    collectionsContainingEach(const std::vector<AssetPtr>& assets, CollectionType type) const {
        std::vector<std::vector<CollectionPtr>> result;
        result.reserve(assets.size());
        for (const AssetPtr& asset : assets)
            result.push_back(asset ? collectionsContaining(*asset, type)
                                   : std::vector<CollectionPtr>());
        return result;
    }
    virtual std::vector<CollectionPtr> collections(CollectionType type, CollectionSubtype subtype,
                                                   const FetchOptions& options) const = 0;
    virtual std::vector<CollectionPtr> collectionsWithIdentifiers(const QStringList& ids) const = 0;

    // ---- Files ----
    // Absolute path of a resource's file for readers; empty when it is no file of the library.
    virtual QString filePath(const AssetResource& resource) const = 0;
    // The resource's file opened for reading, never through a link and never blocking on
    // something that is no regular file; -1 with errno set when it cannot be.
    virtual int openForReading(const AssetResource& resource) const = 0;
    // Streams a resource's bytes into a new file at `destination`; throws PhotoLibraryError
    // and leaves no partial file.
    virtual void copyOut(const AssetResource& resource, const QString& destination) const = 0;

    // ---- Changes ----
    // Applies a change whose deletions the user has confirmed. `beforeCommit` runs at the
    // last moment the change can still be undone; whatever it throws undoes the change.
    // Throws when the change fails, leaving the library as it was.
    virtual void apply(const ChangeRequests& changes, const QDateTime& now,
                       const std::function<void()>& beforeCommit) = 0;

    // ---- Recently Deleted ----
    virtual std::vector<TrashedAsset> trashed() const = 0;
    // Returns how many were put back.
    virtual int restore(const QStringList& identifiers) = 0;
    // Removes for good what was trashed at or before `cutoff`, everything without one.
    virtual int purgeTrashedBefore(const std::optional<QDateTime>& cutoff) = 0;

    // ---- Integrity ----
    // Problems found, one line each; empty when the library is clean.
    virtual QStringList check() const = 0;

    // Folder where programs keep their own locks and state for this library.
    virtual QString stateFolder() const = 0;

    // Where a copy of the library taken before this session's first change lies, for a kind
    // whose changes reach data another program owns; empty when none was taken.
    virtual QString safetyCopyPath() const { return {}; }
};

} // namespace photos
