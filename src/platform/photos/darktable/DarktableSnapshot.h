#pragma once

// The darktable store's snapshot of a library, and the names, identifiers and errors that its
// reading and its changes share.
#include "platform/photos/PhotoLibraryError.h"
#include "platform/photos/darktable/DarktableStore.h"
#include "platform/photos/shared/SnapshotFetches.h"

#include <QFile>
#include <QHash>
#include <QString>
#include <QStringView>
#include <QUuid>
#include <optional>
#include <span>
#include <sys/stat.h>
#include <utility>
#include <vector>

namespace photos {

struct DarktableStore::Item {
    AssetPtr asset;
    std::span<const qint64> images; // its darktable images, picture first: a run of the snapshot's
    qint64 filmId = 0;
    QString folder;
};

struct DarktableStore::Snapshot {
    std::shared_ptr<const Item[]> itemBlock; // the items, by first image
    std::vector<qint64> images;              // the items' images, each item's a run of them
    std::vector<const Item*> items;          // by first image
    QHash<QStringView, const Item*> byId;    // views of the items' own identifiers
    struct Tag {
        qint64 id;
        QString name;
        QString identifier;
        std::vector<QString> members; // item identifiers in darktable's order
    };
    std::vector<Tag> tags;             // oldest first
    std::vector<CollectionPtr> albums; // one per tag, with its count
    // The albums holding each item (by a view of its identifier), as listed for one item
    // (uncounted), oldest first.
    QHash<QStringView, std::vector<CollectionPtr>> albumsOfItem;
};

namespace darktable {

inline const QUuid albumSpace = QUuid::fromString(u"0b9e3c56-6d1f-4f0e-8a39-2f7d5c41e8a2");
// The tags of the albums the programs make; darktable shows them under this one parent.
inline const QString ownTagParent = QStringLiteral("Twinslim|");
// The tables of library.db that hold rows of an image, and the column naming it.
inline const std::vector<std::pair<const char*, const char*>> imageTables = {
    {"tagged_images", "imgid"}, {"color_labels", "imgid"},   {"meta_data", "id"},
    {"history", "imgid"},       {"masks_history", "imgid"},  {"module_order", "imgid"},
    {"history_hash", "imgid"},  {"selected_images", "imgid"}};

inline PhotoLibraryError storageError(const QString& what) {
    return PhotoLibraryError(PhotoLibraryError::Code::StorageFailed, what);
}

inline PhotoLibraryError notFound(const QString& what, const QString& id) {
    return PhotoLibraryError(PhotoLibraryError::Code::NotFound,
                             QStringLiteral("The %1 “%2” is not in the library.").arg(what, id));
}

// darktable's flip bits (1 flip y, 2 flip x, 4 swap x and y) for an EXIF orientation. A
// known orientation also tells darktable that the file's EXIF was read: it would read it
// again at the first view, and the rating with it, losing the one carried over.
inline qint64 darktableOrientation(int exif) {
    switch (exif) {
    case 2:
        return 2;
    case 3:
        return 3;
    case 4:
        return 1;
    case 5:
        return 4;
    case 6:
        return 6;
    case 7:
        return 7;
    case 8:
        return 5;
    default:
        return 0;
    }
}

// darktable marks a rejected image with bit 8, its star bits kept or set to 6; libraries of
// darktables before 3.0 hold the 6 alone. A rejected image is never a favourite.
inline bool isRejected(qint64 flags) {
    return (flags & 8) != 0 || (flags & 7) == 6;
}
// The same test in SQL, on a column named flags.
inline constexpr const char* rejectedSql = "(flags & 8 != 0 OR flags & 7 = 6)";
// An image's rating as darktable writes it in a sidecar: -1 when rejected.
inline int ratingOf(qint64 flags) {
    return isRejected(flags) ? -1 : int(flags & 7);
}

inline QString stemOf(const QString& name) {
    const qsizetype dot = name.lastIndexOf(QLatin1Char('.'));
    return dot > 0 ? name.left(dot) : name;
}

// darktable's sidecar of an image: NAME.EXT.xmp, or NAME_NN.EXT.xmp for its duplicates.
inline QString sidecarName(const QString& filename, qint64 version) {
    if (version <= 0)
        return filename + QStringLiteral(".xmp");
    const qsizetype dot = filename.lastIndexOf(QLatin1Char('.'));
    const QString suffix = dot > 0 ? filename.mid(dot) : QString();
    return QStringLiteral("%1_%2%3.xmp")
        .arg(stemOf(filename))
        .arg(version, 2, 10, QLatin1Char('0'))
        .arg(suffix);
}

using snapshot::regularFileSize;

inline QString albumIdentifier(const QString& tagName) {
    return QUuid::createUuidV5(albumSpace, tagName).toString(QUuid::WithoutBraces).toUpper() +
           QStringLiteral("/L0/040");
}

// What an album is called: a user's tag by its whole path, one of ours by its own name.
inline QString titleOfTag(const QString& tagName) {
    return tagName.startsWith(ownTagParent) ? tagName.mid(ownTagParent.size()) : tagName;
}

} // namespace darktable

} // namespace photos
