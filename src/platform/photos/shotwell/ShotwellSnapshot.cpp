// Reading a Shotwell library into a snapshot of its items and albums.
#include "platform/photos/shotwell/ShotwellSnapshot.h"

#include "platform/imaging/ImageMetadata.h"
#include "platform/photos/FileKind.h"
#include "platform/photos/shared/LocalClock.h"
#include "platform/photos/shared/ScanFolders.h"
#include "platform/photos/shared/SnapshotBlocks.h"
#include "platform/photos/shared/SqliteDatabase.h"

#include <QHashFunctions>
#include <QUuid>
#include <algorithm>
#include <deque>
#include <exception>
#include <mutex>
#include <string>
#include <string_view>
#include <thread>
#include <unordered_map>

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
using namespace blocks;

namespace {

struct FileFacts {
    std::optional<int> offset;
    std::optional<Location> location;
};

// What the state knows of the pictures' files, by path: the paths' bytes in one buffer, found
// through a table of their hashes, open addressed. A scan asks it once for every pair.
class KnownFacts {
public:
    struct Entry {
        size_t at = 0, length = 0; // of its path in the buffer
        FileStat stat;
        FileFacts facts;
    };
    Entry& add(QByteArrayView path) {
        m_entries.push_back({m_paths.size(), size_t(path.size()), {}, {}});
        m_paths.append(path.data(), size_t(path.size()));
        return m_entries.back();
    }
    // Done adding: the entries can be found, the first added of a path when it has several.
    void index() {
        size_t count = 1;
        while (count < 2 * m_entries.size())
            count *= 2;
        m_slots.assign(count, Slot());
        for (const Entry& e : m_entries) {
            const size_t hash = hashOf(pathOf(e));
            size_t i = hash & (count - 1);
            while (m_slots[i].entry)
                i = (i + 1) & (count - 1);
            m_slots[i] = {hash, &e};
        }
    }
    const Entry* find(std::string_view path) const {
        const size_t hash = hashOf(path);
        for (size_t i = hash & (m_slots.size() - 1); m_slots[i].entry;
             i = (i + 1) & (m_slots.size() - 1))
            if (m_slots[i].hash == hash && pathOf(*m_slots[i].entry) == path)
                return m_slots[i].entry;
        return nullptr;
    }

private:
    struct Slot {
        size_t hash = 0;
        const Entry* entry = nullptr;
    };
    static size_t hashOf(std::string_view path) {
        return qHash(QByteArrayView(path.data(), qsizetype(path.size())), 0);
    }
    std::string_view pathOf(const Entry& e) const {
        return std::string_view(m_paths).substr(e.at, e.length);
    }
    std::string m_paths;
    std::deque<Entry> m_entries;
    std::vector<Slot> m_slots{Slot()}; // at least one, always one empty
};

// A pair's offset and place, from its picture, on the wall-clock time Shotwell read.
void placeByFacts(Asset& asset, const FileFacts& facts, qint64 exposure, LocalClock& clock) {
    asset.location = facts.location;
    if (facts.offset && asset.creationDate) {
        // The wall-clock time Shotwell read, placed at the offset the file gives.
        const qint64 wallMs = clock.wallClockOf(exposure * 1000);
        asset.creationDate =
            QDateTime::fromMSecsSinceEpoch(wallMs - qint64(*facts.offset) * 1000, Qt::UTC);
        asset.creationOffsetSeconds = facts.offset;
    }
}

// The photos a tag's member list names, as `photoOfKey` reads each of its comma-separated
// keys. The keys Shotwell writes are read straight from the list's bytes.
void photosOfList(QByteArrayView list, std::vector<qint64>& photos) {
    const auto isSpace = [](char c) { return c == ' ' || (c >= '\t' && c <= '\r'); };
    while (!list.isEmpty()) {
        const qsizetype comma = list.indexOf(',');
        QByteArrayView key = comma >= 0 ? list.first(comma) : list;
        list = comma >= 0 ? list.sliced(comma + 1) : QByteArrayView();
        while (!key.isEmpty() && isSpace(key.front()))
            key = key.sliced(1);
        while (!key.isEmpty() && isSpace(key.back()))
            key.chop(1);
        if (key.isEmpty())
            continue;
        qint64 photo = 0;
        bool plain = key.size() == 21 && key.startsWith("thumb") && key[5] >= '0' && key[5] <= '7';
        for (qsizetype i = 5; plain && i < 21; ++i) {
            const char c = key[i];
            const int digit = c >= '0' && c <= '9'   ? c - '0'
                              : c >= 'a' && c <= 'f' ? c - 'a' + 10
                              : c >= 'A' && c <= 'F' ? c - 'A' + 10
                                                     : -1;
            plain = digit >= 0;
            photo = photo * 16 + digit;
        }
        if (!plain) // any other spelling, as the rest of the store reads it
            photo = photoOfKey(QString::fromUtf8(key).trimmed());
        if (photo)
            photos.push_back(photo);
    }
}

} // namespace

std::shared_ptr<const ShotwellStore::Snapshot> ShotwellStore::load() const {
    auto snapshot = std::make_shared<Snapshot>();

    // Items the programs made keep the identifiers their placeholders promised.
    QHash<qint64, QString> identities;
    {
        auto st = m_db->statement("SELECT photo, identifier FROM state.identities");
        while (st.step())
            identities.insert(st.int64(0), st.text(1));
    }

    // Shotwell keeps neither a capture's offset nor its place: a pair's come from its picture,
    // read once per version of the file and kept in the state.
    KnownFacts known;
    {
        auto st = m_db->statement("SELECT path, size, mtime_ns, offset, latitude, longitude FROM "
                                  "state.file_facts");
        while (st.step()) {
            auto& e = known.add(st.utf8(0));
            e.stat = {st.int64(1), st.int64(2)};
            if (!st.isNull(3))
                e.facts.offset = int(st.int64(3));
            if (!st.isNull(4) && !st.isNull(5))
                e.facts.location = Location{st.real(4), st.real(5)};
        }
        known.index();
    }

    // The visible photos, oldest first. Their paths' bytes go in one buffer, each ended by a
    // NUL so that a file's name is handed to the system as it is; their strings are made with
    // the items.
    struct File {
        size_t at = 0, length = 0; // its path in `paths`
        size_t name = 0;           // where its name starts in `paths`
        size_t folder = 0;         // a pair's: index in `folderPaths`
        size_t kind = 0;           // index in `kinds`
    };
    struct Row {
        qint64 id, event, exposure, rating, backing;
        bool pair;
        File file; // the photo's own: a pair's RAW
        File jpeg; // a pair's camera JPEG
    };
    std::vector<Row> rows;
    std::string paths;
    std::vector<QByteArray> folderPaths;
    std::unordered_map<std::string, size_t> folderIndex;
    std::string lastFolder;
    size_t lastFolderIndex = SIZE_MAX;
    struct Kind {
        std::string suffix; // as spelled in the paths
        FileKind kind;
        QString uti;
    };
    std::vector<Kind> kinds; // asked once per suffix a scan meets
    const auto addFile = [&](QByteArrayView bytes, bool paired) {
        File f{paths.size(), size_t(bytes.size()), 0, 0, 0};
        paths.append(bytes.data(), size_t(bytes.size()));
        paths.push_back('\0');
        const qsizetype slash = bytes.lastIndexOf('/');
        f.name = f.at + size_t(slash + 1);
        const qsizetype dot = bytes.lastIndexOf('.');
        const std::string_view suffix =
            dot > slash ? std::string_view(bytes.data() + dot + 1, size_t(bytes.size() - dot - 1))
                        : std::string_view();
        f.kind = std::find_if(kinds.begin(), kinds.end(),
                              [&](const Kind& k) { return k.suffix == suffix; }) -
                 kinds.begin();
        if (f.kind == kinds.size()) {
            Kind kind{std::string(suffix), FileKind::Other, QString()};
            kind.kind = fileKindOf(QStringLiteral("file.") +
                                       QString::fromUtf8(suffix.data(), qsizetype(suffix.size())),
                                   &kind.uti);
            kinds.push_back(std::move(kind));
        }
        if (paired) {
            const std::string_view folder = slash > 0
                                                ? std::string_view(bytes.data(), size_t(slash))
                                            : slash == 0 ? std::string_view("/")
                                                         : std::string_view(".");
            if (lastFolderIndex == SIZE_MAX || folder != lastFolder) {
                lastFolder.assign(folder);
                const auto [it, added] = folderIndex.try_emplace(lastFolder, folderPaths.size());
                if (added)
                    folderPaths.emplace_back(folder.data(), qsizetype(folder.size()));
                lastFolderIndex = it->second;
            }
            f.folder = lastFolderIndex;
        }
        return f;
    };
    {
        auto count = m_db->statement("SELECT count(*) FROM PhotoTable");
        if (count.step())
            rows.reserve(size_t(std::max<qint64>(count.int64(0), 0)));
        auto st = m_db->statement(
            "SELECT p.id, coalesce(p.event_id, -1), p.exposure_time, p.rating, b.id, p.filename, "
            "b.filepath FROM PhotoTable p LEFT JOIN BackingPhotoTable b ON b.id = "
            "p.develop_camera_id WHERE p.flags & ? = 0 ORDER BY p.id");
        st.bind(1, trashFlag | offlineFlag);
        while (st.step()) {
            const bool pair = !st.isNull(4);
            Row r{st.int64(0), st.int64(1), st.int64(2), st.int64(3), pair ? st.int64(4) : 0,
                  pair,        {},          {}};
            r.file = addFile(st.utf8(5), pair);
            if (pair)
                r.jpeg = addFile(st.utf8(6), true);
            rows.push_back(r);
        }
    }

    // The items in one array, made in two halves. What a pair would reclaim is the scan's
    // business: its files' sizes as they are, each asked relative to its folder, opened once.
    const auto itemStore = std::make_shared<Item[]>(rows.size());
    ScanFolders folders(std::move(folderPaths));
    struct Unread { // a pair whose picture was never read, or changed since
        size_t row;
        Asset* asset;
        FileStat stat;
    };
    std::vector<Unread> unreadFirst, unreadSecond;
    const auto makeItems = [&](size_t from, size_t to) {
        std::vector<Unread>& unread = from == 0 ? unreadFirst : unreadSecond;
        LocalClock clock;
        // Each half's assets and their files in an array of its own: fewer allocations to make
        // and to free when the library closes, and no count shared with the other thread.
        size_t fileCount = 0;
        for (size_t i = from; i < to; ++i)
            fileCount += rows[i].pair ? 2 : 1;
        const auto assets = std::make_shared<Asset[]>(to - from);
        const auto files = std::make_shared<AssetResource[]>(fileCount);
        size_t nextFile = 0;
        for (size_t i = from; i < to; ++i) {
            const Row& r = rows[i];
            Asset& asset = assets[i - from];
            // The item's identifier and its files' paths in one block; a file's name is the
            // end of its path.
            const auto made = identities.constFind(r.id);
            const bool ownId = made == identities.constEnd() && r.id >= 0;
            StringBlock strings(qsizetype(r.file.length + (r.pair ? r.jpeg.length : 0) + 2 +
                                          (ownId ? m_idPrefix.size() + 16 + 8 : 0)));
            if (ownId) {
                char16_t digits[16];
                asset.localIdentifier = strings.add(
                    {m_idPrefix, QStringView(digits, hexDigitsOf(r.id, digits)), u"/L0/001"});
            } else {
                asset.localIdentifier = identifierOf(identities, m_idPrefix, r.id);
            }
            asset.catalogId = r.id;
            asset.isFavorite = r.rating == 5;
            // Shotwell's time is the camera's wall-clock time read as the machine's local time.
            if (r.exposure > 0)
                asset.creationDate = QDateTime::fromSecsSinceEpoch(r.exposure, Qt::UTC);
            Item& item = itemStore[i];
            item.photo = r.id;
            item.backing = r.backing;
            item.event = r.event;
            asset.resources.reserve(r.pair ? 2 : 1);
            const auto addResource = [&](const File& f, const FileStat* stat) {
                AssetResource& resource = files[nextFile++];
                resource.assetLocalIdentifier = asset.localIdentifier;
                resource.ordinal = int(asset.resources.size());
                const Kind& kind = kinds[f.kind];
                resource.type =
                    kind.kind == FileKind::Raw ? ResourceType::AlternatePhoto : ResourceType::Photo;
                resource.uniformTypeIdentifier = kind.uti;
                const QByteArrayView path(paths.data() + f.at, qsizetype(f.length));
                resource.storedPath = strings.addUtf8(path);
                const QByteArrayView folder = path.first(qsizetype(f.name - f.at));
                // The name starts after the folder's characters, ended by its slash.
                const qsizetype nameAt = std::all_of(folder.begin(), folder.end(),
                                                     [](char c) { return uchar(c) < 0x80; })
                                             ? folder.size()
                                             : QString::fromUtf8(folder).size();
                resource.originalFilename = tailOf(resource.storedPath, nameAt);
                if (stat && stat->size >= 0)
                    resource.fileSize = stat->size;
                asset.resources.push_back(ResourcePtr(files, &resource));
            };
            if (r.pair) {
                const FileStat jpegStat = folders.statOf(r.jpeg.folder, paths.data() + r.jpeg.name);
                const FileStat rawStat = folders.statOf(r.file.folder, paths.data() + r.file.name);
                addResource(r.jpeg, &jpegStat); // the picture first, its RAW beside it
                addResource(r.file, &rawStat);
                const KnownFacts::Entry* k =
                    known.find(std::string_view(paths).substr(r.jpeg.at, r.jpeg.length));
                if (k && k->stat.size == jpegStat.size && k->stat.mtimeNs == jpegStat.mtimeNs)
                    placeByFacts(asset, k->facts, r.exposure, clock);
                else if (jpegStat.size >= 0)
                    unread.push_back({i, &asset, jpegStat});
            } else {
                addResource(r.file, nullptr);
            }
            item.asset = AssetPtr(assets, &asset);
        }
    };
    inTwoHalves(rows.size(), makeItems);

    // The pictures not read yet, read here: a second thread reading pictures would need a
    // reader safe for that. What was read is kept in one go: a first scan reads thousands.
    std::vector<std::pair<const Unread*, FileFacts>> read;
    read.reserve(unreadFirst.size() + unreadSecond.size());
    LocalClock clock;
    for (const std::vector<Unread>* unread : {&unreadFirst, &unreadSecond})
        for (const Unread& u : *unread) {
            const imaging::ImageMetadata meta =
                imaging::readImageMetadata(u.asset->resources.front()->storedPath);
            FileFacts facts;
            facts.offset = meta.offsetSeconds;
            if (meta.latitude && meta.longitude)
                facts.location = Location{*meta.latitude, *meta.longitude};
            placeByFacts(*u.asset, facts, rows[u.row].exposure, clock);
            read.emplace_back(&u, facts);
        }
    if (!read.empty()) {
        std::lock_guard lock(m_dbMutex);
        m_db->exec("SAVEPOINT file_facts");
        try {
            for (const auto& [u, f] : read)
                m_db->statement("INSERT OR REPLACE INTO state.file_facts (path, size, mtime_ns, "
                                "offset, latitude, longitude) VALUES (?, ?, ?, ?, ?, ?)")
                    .bind(1, u->asset->resources.front()->storedPath)
                    .bind(2, u->stat.size)
                    .bind(3, u->stat.mtimeNs)
                    .bind(4, f.offset ? std::optional<qint64>(*f.offset) : std::nullopt)
                    .bind(5,
                          f.location ? std::optional<double>(f.location->latitude) : std::nullopt)
                    .bind(6,
                          f.location ? std::optional<double>(f.location->longitude) : std::nullopt)
                    .run();
        } catch (...) {
            m_db->exec("ROLLBACK TO file_facts; RELEASE file_facts");
            throw;
        }
        m_db->exec("RELEASE file_facts");
    }

    // The items by identifier, listed on a second thread while this one reads
    // the tags.
    std::exception_ptr listingFailed;
    std::jthread listing([&] {
        try {
            snapshot->items.reserve(rows.size());
            snapshot->byId.reserve(qsizetype(rows.size()));
            for (size_t i = 0; i < rows.size(); ++i) {
                const Item* item = &itemStore[i];
                snapshot->byId.insert(item->asset->localIdentifier, item);
                snapshot->items.push_back(item);
            }
        } catch (...) {
            listingFailed = std::current_exception();
        }
    });
    // A photo's item: the rows are in the order of their photos.
    const auto itemOfPhoto = [&](qint64 photo) -> const Item* {
        const auto it = std::lower_bound(rows.begin(), rows.end(), photo,
                                         [](const Row& r, qint64 p) { return r.id < p; });
        return it != rows.end() && it->id == photo ? &itemStore[size_t(it - rows.begin())]
                                                   : nullptr;
    };

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
            photosOfList(st.utf8(2), t.photos);
            tagRows.push_back(std::move(t));
        }
    }
    QHash<QString, QString> albumIdentities; // albums the programs made keep their identifiers
    {
        auto st = m_db->statement("SELECT name, identifier FROM state.album_identities");
        while (st.step())
            albumIdentities.insert(st.text(0), st.text(1));
    }
    // A tag's name → the photos of its children, sorted.
    QHash<QString, std::vector<qint64>> childPhotos;
    for (const TagRow& t : tagRows) {
        const qsizetype slash = t.name.lastIndexOf(QLatin1Char('/'));
        if (slash > 0 && !t.photos.empty()) {
            std::vector<qint64>& photos = childPhotos[t.name.left(slash)];
            photos.insert(photos.end(), t.photos.begin(), t.photos.end());
        }
    }
    for (std::vector<qint64>& photos : childPhotos)
        std::sort(photos.begin(), photos.end());
    std::vector<size_t> lastTagOf(rows.size(), SIZE_MAX);
    for (const TagRow& t : tagRows) {
        if (t.name == ownTagParent)
            continue;
        const bool own = t.name.startsWith(ownTagParent + QLatin1Char('/'));
        const auto children = childPhotos.constFind(t.name);
        if (!own && children != childPhotos.constEnd() &&
            std::all_of(t.photos.begin(), t.photos.end(), [&](qint64 p) {
                return std::binary_search(children->begin(), children->end(), p);
            }))
            continue;
        Snapshot::Tag tag{
            t.id, t.name, albumIdentities.value(t.name, albumIdentifier(m_identity, t.name)), {}};
        for (qint64 p : t.photos) {
            const Item* item = itemOfPhoto(p);
            if (!item)
                continue;
            // An item once per tag, however often the tag lists its photo.
            size_t& last = lastTagOf[size_t(item - itemStore.get())];
            if (last == snapshot->tags.size())
                continue;
            last = snapshot->tags.size();
            tag.members.push_back(item->asset->localIdentifier);
        }
        snapshot->tags.push_back(std::move(tag));
    }
    listing.join();
    if (listingFailed)
        std::rethrow_exception(listingFailed);
    snapshot->itemBlock = itemStore;
    size_t listings = 0;
    for (const auto& tag : snapshot->tags)
        listings += tag.members.size();
    snapshot->albumsOfItem.reserve(qsizetype(std::min(listings, rows.size())));
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
