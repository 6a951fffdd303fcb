#pragma once

// The fetches and file access of the stores over another program's database (darktable,
// digiKam) and the pieces of them the folder store uses. Each reads its library into a snapshot of
// the same shape: items holding their asset, found by identifier, and tags that are albums with
// their members. What they answer from that snapshot is the same, so it is written once here.
#include "platform/photos/FetchOptions.h"
#include "platform/photos/LibraryStore.h"
#include "platform/photos/PhotoLibraryError.h"
#include "platform/photos/shared/ResourceFiles.h"

#include <QFile>
#include <QString>
#include <QStringList>
#include <cerrno>
#include <fcntl.h>
#include <optional>
#include <sys/stat.h>
#include <vector>

namespace photos::snapshot {

// The size of a regular file, not following a link; empty for anything else.
inline std::optional<qint64> regularFileSize(const QString& path) {
    struct stat st {};
    if (::lstat(QFile::encodeName(path).constData(), &st) != 0 || !S_ISREG(st.st_mode))
        return std::nullopt;
    return qint64(st.st_size);
}

template <class Snapshot>
std::vector<AssetPtr> assets(const Snapshot& s, MediaType mediaType, const FetchOptions& options) {
    std::vector<AssetPtr> all;
    all.reserve(s.items.size());
    for (const auto& item : s.items)
        all.push_back(item->asset);
    return applyFetchOptions(std::move(all), mediaType, options, options.includeHiddenAssets);
}

template <class Snapshot>
std::vector<AssetPtr> assetsWithIdentifiers(const Snapshot& s, const QStringList& ids) {
    std::vector<AssetPtr> found;
    for (const QString& id : ids)
        if (const auto item = s.byId.value(id))
            found.push_back(item->asset);
    return found;
}

template <class Snapshot>
std::vector<AssetPtr> assetsInCollection(const Snapshot& s, const AssetCollection& collection,
                                         const FetchOptions& options) {
    std::vector<AssetPtr> members;
    for (const auto& tag : s.tags)
        if (tag.identifier == collection.localIdentifier)
            for (const QString& id : tag.members)
                if (const auto item = s.byId.value(id))
                    members.push_back(item->asset);
    return applyFetchOptions(std::move(members), MediaType::Image, options, true);
}

// The items with a file of that name and size. A size the reading did not take is asked of
// the file.
template <class Snapshot>
std::vector<AssetPtr> assetsWithResource(const Snapshot& s, const QString& originalFilename,
                                         qint64 fileSize) {
    std::vector<AssetPtr> found;
    for (const auto& item : s.items)
        for (const ResourcePtr& r : item->asset->resources)
            if (r->originalFilename == originalFilename &&
                (r->fileSize ? r->fileSize : regularFileSize(r->storedPath)) == fileSize) {
                found.push_back(item->asset);
                break;
            }
    return found;
}

template <class Snapshot>
std::vector<CollectionPtr> collectionsContaining(const Snapshot& s, const Asset& asset,
                                                 CollectionType type) {
    if (type != CollectionType::Album)
        return {};
    return s.albumsOfItem.value(asset.localIdentifier);
}

template <class Snapshot>
std::vector<CollectionPtr> collections(const Snapshot& s, CollectionType type,
                                       CollectionSubtype subtype, const FetchOptions& options) {
    if (type != CollectionType::Album ||
        (subtype != CollectionSubtype::Any && subtype != CollectionSubtype::AlbumRegular))
        return {};
    std::vector<CollectionPtr> found;
    for (const CollectionPtr& album : s.albums)
        if (!options.predicate || titleMatches(*options.predicate, *album->localizedTitle))
            found.push_back(album);
    return found;
}

template <class Snapshot>
std::vector<CollectionPtr> collectionsWithIdentifiers(const Snapshot& s, const QStringList& ids) {
    std::vector<CollectionPtr> found;
    for (const QString& id : ids)
        for (const CollectionPtr& album : s.albums)
            if (album->localIdentifier == id)
                found.push_back(album);
    return found;
}

// Only the files of the library's own items are handed out.
template <class Snapshot> QString filePath(const Snapshot& s, const AssetResource& resource) {
    const auto item = s.byId.value(resource.assetLocalIdentifier);
    if (!item)
        return {};
    for (const ResourcePtr& r : item->asset->resources)
        if (r->storedPath == resource.storedPath)
            return r->storedPath;
    return {};
}

// Opens a file `filePath` handed out: plain files only, no links, never blocking.
inline int openForReading(const QString& path) {
    if (path.isEmpty()) {
        errno = ENOENT;
        return -1;
    }
    return ResourceFiles::openPlainFileAt(AT_FDCWD, QFile::encodeName(path).constData());
}

// Copies a file `filePath` handed out; throws when it handed out none.
inline void copyOut(const QString& source, const AssetResource& resource,
                    const QString& destination) {
    if (source.isEmpty())
        throw PhotoLibraryError(PhotoLibraryError::Code::InvalidResource,
                                QStringLiteral("The stored file of “%1” is not in the library.")
                                    .arg(resource.originalFilename));
    ResourceFiles::streamCopy(source, destination);
}

} // namespace photos::snapshot

namespace photos {

// A store answering its fetches and file requests from its snapshot: `Store` has a
// `current()` giving the snapshot of the moment (and makes this class its friend). A store
// declares `extern template class SnapshotStore<Store>;` after itself and instantiates it
// where its snapshot's type is complete.
template <class Store> class SnapshotStore : public LibraryStore {
public:
    std::vector<AssetPtr> assets(MediaType mediaType, const FetchOptions& options) const override {
        return snapshot::assets(*self().current(), mediaType, options);
    }
    std::vector<AssetPtr> assetsWithIdentifiers(const QStringList& ids) const override {
        return snapshot::assetsWithIdentifiers(*self().current(), ids);
    }
    std::vector<AssetPtr> assetsInCollection(const AssetCollection& collection,
                                             const FetchOptions& options) const override {
        return snapshot::assetsInCollection(*self().current(), collection, options);
    }
    std::vector<AssetPtr> assetsWithResource(const QString& originalFilename,
                                             qint64 fileSize) const override {
        return snapshot::assetsWithResource(*self().current(), originalFilename, fileSize);
    }
    std::vector<CollectionPtr> collectionsContaining(const Asset& asset,
                                                     CollectionType type) const override {
        return snapshot::collectionsContaining(*self().current(), asset, type);
    }
    std::vector<CollectionPtr> collections(CollectionType type, CollectionSubtype subtype,
                                           const FetchOptions& options) const override {
        return snapshot::collections(*self().current(), type, subtype, options);
    }
    std::vector<CollectionPtr> collectionsWithIdentifiers(const QStringList& ids) const override {
        return snapshot::collectionsWithIdentifiers(*self().current(), ids);
    }

    QString filePath(const AssetResource& resource) const override {
        return snapshot::filePath(*self().current(), resource);
    }
    int openForReading(const AssetResource& resource) const override {
        return snapshot::openForReading(filePath(resource));
    }
    void copyOut(const AssetResource& resource, const QString& destination) const override {
        snapshot::copyOut(filePath(resource), resource, destination);
    }

private:
    const Store& self() const { return static_cast<const Store&>(*this); }
};

} // namespace photos
