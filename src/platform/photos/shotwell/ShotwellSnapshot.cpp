// Reading a Shotwell library into a snapshot of its items and albums.
#include "platform/photos/shotwell/ShotwellSnapshot.h"

#include "platform/imaging/ImageMetadata.h"
#include "platform/photos/FileKind.h"
#include "platform/photos/shared/SqliteDatabase.h"

#include <QFileInfo>
#include <QSet>
#include <QUuid>
#include <algorithm>
#include <sys/stat.h>

namespace photos {

namespace shotwell {

QString photoKey(qint64 photo) {
    return QStringLiteral("thumb%1").arg(photo, 16, 16, QLatin1Char('0'));
}

qint64 photoOfKey(QStringView key) {
    if (!key.startsWith(u"thumb") || key.size() != 21)
        return 0;
    bool ok = false;
    const qint64 id = key.mid(5).toLongLong(&ok, 16);
    return ok ? id : 0;
}

QString itemIdentifier(const QString& prefix, qint64 photo) {
    return prefix + QStringLiteral("%1/L0/001").arg(photo, 12, 16, QLatin1Char('0')).toUpper();
}

QString albumIdentifier(const QString& identity, const QString& name) {
    static const QUuid albumSpace = QUuid::fromString(u"6a2f1d0e-3b7c-4e58-9c41-8d2b7f0a5e13");
    return QUuid::createUuidV5(albumSpace, identity + QLatin1Char('\n') + name)
               .toString(QUuid::WithoutBraces)
               .toUpper() +
           QStringLiteral("/L0/040");
}

QString titleOfTag(const QString& name) {
    const QString own = ownTagParent + QLatin1Char('/');
    return name.startsWith(own) && name.size() > own.size() ? name.mid(own.size()) : name;
}

} // namespace shotwell

using namespace shotwell;

namespace {

struct FileFacts {
    std::optional<int> offset;
    std::optional<Location> location;
};

struct FileStat {
    qint64 size = -1;
    qint64 mtimeNs = 0;
};

FileStat statOf(const QString& path) {
    struct stat st {};
    if (::lstat(QFile::encodeName(path).constData(), &st) != 0 || !S_ISREG(st.st_mode))
        return {};
    return {qint64(st.st_size), qint64(st.st_mtim.tv_sec) * 1000000000 + st.st_mtim.tv_nsec};
}

} // namespace

std::shared_ptr<const ShotwellStore::Snapshot> ShotwellStore::load() const {
    auto snapshot = std::make_shared<Snapshot>();

    struct Row {
        qint64 id, event, exposure, rating, backing;
        QString path, backingPath;
    };
    std::vector<Row> rows;
    {
        auto st = m_db->statement(
            "SELECT p.id, coalesce(p.event_id, -1), p.exposure_time, p.rating, b.id, p.filename, "
            "b.filepath FROM PhotoTable p LEFT JOIN BackingPhotoTable b ON b.id = "
            "p.develop_camera_id WHERE p.flags & ? = 0 ORDER BY p.id");
        st.bind(1, trashFlag | offlineFlag);
        while (st.step())
            rows.push_back({st.int64(0), st.int64(1), st.int64(2), st.int64(3),
                            st.isNull(4) ? 0 : st.int64(4), st.text(5),
                            st.isNull(4) ? QString() : st.text(6)});
    }

    // Items the programs made keep the identifiers their placeholders promised.
    QHash<qint64, QString> identities;
    {
        auto st = m_db->statement("SELECT photo, identifier FROM state.identities");
        while (st.step())
            identities.insert(st.int64(0), st.text(1));
    }

    // Shotwell keeps neither a capture's offset nor its place: a pair's come from its picture,
    // read once per version of the file.
    QHash<QString, std::pair<FileStat, FileFacts>> known;
    {
        auto st = m_db->statement("SELECT path, size, mtime_ns, offset, latitude, longitude FROM "
                                  "state.file_facts");
        while (st.step()) {
            FileFacts f;
            if (!st.isNull(3))
                f.offset = int(st.int64(3));
            if (!st.isNull(4) && !st.isNull(5))
                f.location = Location{st.real(4), st.real(5)};
            known.insert(st.text(0), {{st.int64(1), st.int64(2)}, f});
        }
    }
    auto factsOf = [&](const QString& path) {
        const FileStat now = statOf(path);
        const auto k = known.constFind(path);
        if (k != known.constEnd() && k->first.size == now.size && k->first.mtimeNs == now.mtimeNs)
            return k->second;
        FileFacts f;
        if (now.size >= 0) {
            const imaging::ImageMetadata meta = imaging::readImageMetadata(path);
            f.offset = meta.offsetSeconds;
            if (meta.latitude && meta.longitude)
                f.location = Location{*meta.latitude, *meta.longitude};
            std::lock_guard lock(m_dbMutex);
            m_db->statement("INSERT OR REPLACE INTO state.file_facts (path, size, mtime_ns, "
                            "offset, latitude, longitude) VALUES (?, ?, ?, ?, ?, ?)")
                .bind(1, path)
                .bind(2, now.size)
                .bind(3, now.mtimeNs)
                .bind(4, f.offset ? std::optional<qint64>(*f.offset) : std::nullopt)
                .bind(5, f.location ? std::optional<double>(f.location->latitude) : std::nullopt)
                .bind(6, f.location ? std::optional<double>(f.location->longitude) : std::nullopt)
                .run();
        }
        return f;
    };

    for (const Row& r : rows) {
        auto asset = std::make_shared<Asset>();
        asset->localIdentifier = identities.value(r.id, itemIdentifier(m_idPrefix, r.id));
        asset->catalogId = r.id;
        asset->isFavorite = r.rating == 5;
        // Shotwell's time is the camera's wall-clock time read as the machine's local time.
        if (r.exposure > 0)
            asset->creationDate = QDateTime::fromSecsSinceEpoch(r.exposure, Qt::UTC);
        auto item = std::make_shared<Item>();
        item->photo = r.id;
        item->backing = r.backing;
        item->event = r.event;
        auto addResource = [&](const QString& path, bool pair) {
            auto resource = std::make_shared<AssetResource>();
            resource->assetLocalIdentifier = asset->localIdentifier;
            resource->ordinal = int(asset->resources.size());
            QString uti;
            const FileKind kind = fileKindOf(path, &uti);
            resource->type =
                kind == FileKind::Raw ? ResourceType::AlternatePhoto : ResourceType::Photo;
            resource->uniformTypeIdentifier = uti;
            resource->originalFilename = QFileInfo(path).fileName();
            resource->storedPath = path;
            // What a pair would reclaim is the scan's business: its files' sizes as they are.
            if (pair)
                if (const FileStat st = statOf(path); st.size >= 0)
                    resource->fileSize = st.size;
            asset->resources.push_back(std::move(resource));
        };
        const bool pair = r.backing != 0;
        if (pair)
            addResource(r.backingPath, true); // the picture first, its RAW beside it
        addResource(r.path, pair);
        if (pair) {
            const FileFacts facts = factsOf(r.backingPath);
            asset->location = facts.location;
            if (facts.offset && asset->creationDate) {
                // The wall-clock time Shotwell read, placed at the offset the file gives.
                const QDateTime wall = QDateTime::fromSecsSinceEpoch(r.exposure);
                asset->creationDate =
                    QDateTime(wall.date(), wall.time(), Qt::OffsetFromUTC, *facts.offset).toUTC();
                asset->creationOffsetSeconds = facts.offset;
            }
        }
        item->asset = asset;
        std::shared_ptr<const Item> shared = item;
        snapshot->byId.insert(asset->localIdentifier, shared);
        snapshot->byPhoto.insert(r.id, shared);
        snapshot->items.push_back(std::move(shared));
    }

    // Albums: Shotwell's tags. A parent tag lists its children's photos too; one that lists
    // nothing of its own is a heading of the tag tree, not an album (the programs' own albums
    // stay albums while empty).
    struct TagRow {
        qint64 id;
        QString name;
        std::vector<qint64> photos;
    };
    std::vector<TagRow> tagRows;
    {
        auto st = m_db->statement("SELECT id, name, photo_id_list FROM TagTable ORDER BY id");
        while (st.step()) {
            TagRow t{st.int64(0), st.text(1), {}};
            const QString list = st.text(2);
            for (QStringView key : QStringView(list).split(u',', Qt::SkipEmptyParts))
                if (const qint64 photo = photoOfKey(key.trimmed()))
                    t.photos.push_back(photo);
            tagRows.push_back(std::move(t));
        }
    }
    QHash<QString, QString> albumIdentities; // albums the programs made keep their identifiers
    {
        auto st = m_db->statement("SELECT name, identifier FROM state.album_identities");
        while (st.step())
            albumIdentities.insert(st.text(0), st.text(1));
    }
    QHash<QString, QSet<qint64>> childPhotos; // a tag's name → the photos of its children
    for (const TagRow& t : tagRows) {
        const qsizetype slash = t.name.lastIndexOf(QLatin1Char('/'));
        if (slash > 0)
            for (qint64 p : t.photos)
                childPhotos[t.name.left(slash)].insert(p);
    }
    for (const TagRow& t : tagRows) {
        if (t.name == ownTagParent)
            continue;
        const bool own = t.name.startsWith(ownTagParent + QLatin1Char('/'));
        const auto children = childPhotos.constFind(t.name);
        if (!own && children != childPhotos.constEnd() &&
            std::all_of(t.photos.begin(), t.photos.end(),
                        [&](qint64 p) { return children->contains(p); }))
            continue;
        Snapshot::Tag tag{
            t.id, t.name, albumIdentities.value(t.name, albumIdentifier(m_identity, t.name)), {}};
        QSet<const Item*> seen;
        for (qint64 p : t.photos) {
            const auto item = snapshot->byPhoto.value(p);
            if (!item || seen.contains(item.get()))
                continue;
            seen.insert(item.get());
            tag.members.push_back(item->asset->localIdentifier);
        }
        snapshot->tags.push_back(std::move(tag));
    }
    for (const auto& tag : snapshot->tags) {
        auto album = std::make_shared<AssetCollection>();
        album->localIdentifier = tag.identifier;
        album->localizedTitle = titleOfTag(tag.name);
        album->estimatedAssetCount = int(tag.members.size());
        album->catalogId = tag.id;
        auto listed = std::make_shared<AssetCollection>(*album);
        listed->estimatedAssetCount = -1;
        snapshot->albums.push_back(std::move(album));
        for (const QString& member : tag.members)
            snapshot->albumsOfItem[member].push_back(listed);
    }
    return snapshot;
}

} // namespace photos
