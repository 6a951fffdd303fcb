#pragma once

#include <QDateTime>
#include <QString>
#include <climits>
#include <memory>
#include <optional>
#include <vector>

// Value types of the photo library service. The integer values are the ones the
// platform's photo library uses, so stored catalogues and callers can rely on them.
namespace photos {

enum class MediaType : int { Unknown = 0, Image = 1, Video = 2, Audio = 3 };

enum class ResourceType : int {
    Photo = 1,
    Video = 2,
    Audio = 3,
    AlternatePhoto = 4,
    FullSizePhoto = 5,
    FullSizeVideo = 6,
    AdjustmentData = 7,
    AdjustmentBasePhoto = 8,
};

enum class CollectionType : int { Album = 1, SmartAlbum = 2, Moment = 3 };

enum class CollectionSubtype : int {
    AlbumRegular = 2,
    AlbumImported = 6,
    SmartAlbumGeneric = 200,
    Any = INT_MAX,
};

enum class AuthorizationStatus : int {
    NotDetermined = 0,
    Restricted = 1,
    Denied = 2,
    Authorized = 3,
    Limited = 4,
};

enum class AccessLevel : int { AddOnly = 1, ReadWrite = 2 };

struct Location {
    double latitude = 0;
    double longitude = 0;
    bool operator==(const Location&) const = default;
};

// One stored file of an asset. Resources never change once their asset exists.
struct AssetResource {
    QString assetLocalIdentifier;
    int ordinal = 0; // position among the asset's resources, from 0
    ResourceType type = ResourceType::Photo;
    QString uniformTypeIdentifier;
    QString originalFilename;
    std::optional<qint64> fileSize; // absent when the library does not know it
    QString storedPath;             // relative to the library folder
};
using ResourcePtr = std::shared_ptr<const AssetResource>;

// Immutable snapshot of a library item as it was when fetched.
struct Asset {
    QString localIdentifier; // "UUID/L0/001"
    MediaType mediaType = MediaType::Image;
    std::optional<QDateTime> creationDate;    // an instant (UTC)
    std::optional<int> creationOffsetSeconds; // capture zone, east of UTC, when known
    std::optional<Location> location;
    bool isFavorite = false;
    bool isHidden = false;
    std::vector<ResourcePtr> resources; // in stored order
    qint64 catalogId = 0;               // the service's own row key
};
using AssetPtr = std::shared_ptr<const Asset>;

// How many of the asset's files are pictures: its sidecars and edit files (adjustment data) are
// not. A RAW+JPEG pair has two.
inline int pictureCount(const Asset& asset) {
    int count = 0;
    for (const ResourcePtr& r : asset.resources)
        count += r && r->type != ResourceType::AdjustmentData;
    return count;
}

// A user album or smart album.
struct AssetCollection {
    QString localIdentifier; // "UUID/L0/040"
    std::optional<QString> localizedTitle;
    CollectionType type = CollectionType::Album;
    CollectionSubtype subtype = CollectionSubtype::AlbumRegular;
    // Members not in the trash; -1 when not counted (albums listed for one asset).
    int estimatedAssetCount = -1;
    qint64 catalogId = 0; // the service's own row key
};
using CollectionPtr = std::shared_ptr<const AssetCollection>;

// An asset that was moved to the trash, with the moment it was moved.
struct TrashedAsset {
    AssetPtr asset;
    QDateTime trashedAt;
};

// Identifier shapes of the platform: assets end in "/L0/001", albums in "/L0/040".
QString newAssetIdentifier();
QString newCollectionIdentifier();

} // namespace photos
