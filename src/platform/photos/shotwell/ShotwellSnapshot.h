#pragma once

// The Shotwell store's snapshot of a library, and the names and identifiers its reading
// shares with the rest of the store.
#include "platform/photos/shotwell/ShotwellStore.h"

#include <QHash>
#include <QString>
#include <QStringView>
#include <vector>

namespace photos {

struct ShotwellStore::Item {
    AssetPtr asset;
    qint64 photo = 0;   // its PhotoTable row
    qint64 backing = 0; // the BackingPhotoTable row of its camera JPEG; 0 when alone
    qint64 event = 0;
};

struct ShotwellStore::Snapshot {
    std::shared_ptr<const Item[]> itemBlock; // the items, by photo
    std::vector<const Item*> items;          // by photo
    QHash<QStringView, const Item*> byId;    // views of the items' own identifiers
    struct Tag {
        qint64 id;
        QString name; // its full path, "/Places/France/Lyon"
        QString identifier;
        std::vector<QString> members; // item identifiers in Shotwell's order
    };
    std::vector<Tag> tags;             // oldest first
    std::vector<CollectionPtr> albums; // one per tag, with its count
    // The albums holding each item (by a view of its identifier), as listed for one item
    // (uncounted), oldest first.
    QHash<QStringView, std::vector<CollectionPtr>> albumsOfItem;
};

namespace shotwell {

// The parent tag of the programs' own albums.
inline const QString ownTagParent = QStringLiteral("/Twinslim");

// Shotwell's photo flags.
inline constexpr qint64 trashFlag = 4;
inline constexpr qint64 offlineFlag = 8;

// How a tag's member list names a photo: "thumb" and its id in 16 hex digits.
QString photoKey(qint64 photo);
// The photo a member of a tag's list names; 0 when it names none (a video's "video-…").
qint64 photoOfKey(QStringView key);

// An item's identifier: its photo's id in (at least 12) upper-case hex digits behind the
// library's prefix, and "/L0/001".
QString itemIdentifier(const QString& prefix, qint64 photo);
// The identifier of the album a tag stands for, in the library of `identity`.
QString albumIdentifier(const QString& identity, const QString& name);
// What an album is called: a user's tag by its whole path, one of ours by its own name.
QString titleOfTag(const QString& name);

} // namespace shotwell

} // namespace photos
