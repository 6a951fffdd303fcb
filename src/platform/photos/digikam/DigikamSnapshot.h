#pragma once

// The digiKam store's snapshot of a collection, and the names and identifiers its reading
// shares with the rest of the store.
#include "platform/photos/digikam/DigikamStore.h"

#include <QByteArrayView>
#include <QHash>
#include <QString>
#include <QStringList>
#include <optional>
#include <vector>

namespace photos {

struct DigikamStore::Item {
    AssetPtr asset;
    std::vector<qint64> images; // its digiKam images, pictures first
    qint64 album = 0;           // the digiKam folder ("album") holding them
    QString folder;             // that folder's path
    QString collection;         // the path of the collection ("album root") it is in
};

struct DigikamStore::Snapshot {
    std::vector<std::shared_ptr<const Item>> items; // by first image
    QHash<QString, std::shared_ptr<const Item>> byId;
    QHash<qint64, std::shared_ptr<const Item>> byImage;
    struct Tag {
        qint64 id;
        QString path; // its full path, "Places/France/Lyon"
        QString identifier;
        std::vector<QString> members; // item identifiers, oldest first
    };
    std::vector<Tag> tags;             // oldest first
    std::vector<CollectionPtr> albums; // one per tag, with its count
    // The albums holding each item, as listed for one item (uncounted), oldest first.
    QHash<QString, std::vector<CollectionPtr>> albumsOfItem;
    // Folders of the collection that cannot be reached now (a disk not mounted).
    QStringList unreachableRoots;
};

namespace digikam {

// The parent tag of the programs' own albums.
inline const QString ownTagParent = QStringLiteral("Twinslim");

// digiKam's internal tags (pick and colour labels, version markers) live under this one.
inline const QString internalTagRoot = QStringLiteral("_Digikam_Internal_Tags_");
// The internal tag of a rejected pick label: a rejected image is never a favourite.
inline const QString rejectedTag = QStringLiteral("Pick Label Rejected");

// Where a collection ("album root") of digiKam lies: its identifier names a path, or a volume
// by its file-system UUID beside the path inside it. Empty when it cannot be reached.
QString albumRootPath(const QString& identifier, const QString& specificPath);

// digiKam's time text ("2019-10-26T16:07:24.000", the camera's wall-clock time, in UTF-8) as
// milliseconds since 1970-01-01 00:00 of that wall clock; empty when it is no time.
std::optional<qint64> wallClockOfText(QByteArrayView text);
// The same for the two forms digiKam writes, "yyyy-MM-ddTHH:mm:ss" and "yyyy-MM-ddTHH:mm:ss.zzz",
// read by hand: a scan reads one per image. Empty for any other text.
std::optional<qint64> wallClockOfFixedText(QByteArrayView text);

// digiKam's fingerprint of a file (its "uniqueHash", version 2): the MD5 of the file's first
// and last 100 KiB, in lower-case hex, by which digiKam knows a file it has seen. Empty when
// the file cannot be read.
QString uniqueHashOf(const QString& path);
// A file's modification time as digiKam keeps it: local time, "2026-12-08T05:03:20.143".
QString modificationText(const QString& path);

// The identifier of the album a tag path stands for, in the library of `identity`.
QString albumIdentifier(const QString& identity, const QString& path);
// digiKam's time text of an instant: its wall-clock time at `offsetSeconds` when known, else
// in the machine's zone.
QString localTextOf(const QDateTime& instant, std::optional<int> offsetSeconds);

// What an album is called: a user's tag by its whole path, one of ours by its own name.
QString titleOfTag(const QString& path);

} // namespace digikam

} // namespace photos
