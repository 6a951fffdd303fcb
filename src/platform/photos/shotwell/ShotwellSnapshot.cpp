// Reading a Shotwell library into a snapshot of its items and albums.
#include "platform/photos/shotwell/ShotwellSnapshot.h"

#include "platform/imaging/ImageMetadata.h"
#include "platform/photos/FileKind.h"
#include "platform/photos/shared/LocalClock.h"
#include "platform/photos/shared/SnapshotBlocks.h"
#include "platform/photos/shared/SqliteDatabase.h"

#include <QSet>
#include <QUuid>
#include <algorithm>
#include <deque>
#include <fcntl.h>
#include <map>
#include <string>
#include <string_view>
#include <sys/stat.h>
#include <unistd.h>
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

namespace {

struct FileFacts {
    std::optional<int> offset;
    std::optional<Location> location;
};

struct FileStat {
    qint64 size = -1;
    qint64 mtimeNs = 0;
};

// The folders of a scan's files, each opened once: a stat relative to its open folder costs
// the kernel no walk of the whole path.
class OpenFolders {
public:
    OpenFolders() = default;
    OpenFolders(const OpenFolders&) = delete;
    OpenFolders& operator=(const OpenFolders&) = delete;
    ~OpenFolders() {
        for (const auto& [folder, fd] : m_fds)
            if (fd >= 0)
                ::close(fd);
    }

    // The file at `path` (its bytes as the file system names it), as lstat sees it: its size
    // and time, or a size of -1 when it is missing or no regular file.
    FileStat statOf(QByteArrayView path) {
        const qsizetype slash = path.lastIndexOf('/');
        int fd = AT_FDCWD;
        if (slash >= 0) {
            const QByteArrayView folder = path.first(std::max<qsizetype>(slash, 1));
            if (folder != m_lastFolder) {
                auto it = m_fds.find(folder.toByteArray());
                if (it == m_fds.end())
                    it = m_fds
                             .emplace(folder.toByteArray(),
                                      ::open(folder.toByteArray().constData(),
                                             O_RDONLY | O_DIRECTORY | O_CLOEXEC))
                             .first;
                m_lastFolder = it->first;
                m_lastFd = it->second;
            }
            fd = m_lastFd;
            if (fd < 0)
                return {};
        }
        const QByteArrayView name = slash >= 0 ? path.sliced(slash + 1) : path;
        m_name.assign(name.data(), size_t(name.size()));
        struct stat st {};
        if (::fstatat(fd, m_name.c_str(), &st, AT_SYMLINK_NOFOLLOW) != 0 || !S_ISREG(st.st_mode))
            return {};
        return {qint64(st.st_size), qint64(st.st_mtim.tv_sec) * 1000000000 + st.st_mtim.tv_nsec};
    }

private:
    std::map<QByteArray, int> m_fds;
    QByteArray m_lastFolder;
    int m_lastFd = -1;
    std::string m_name;
};

// What the state knows of the pictures' files, by path: the paths' bytes in one buffer, found
// through a hash of them. A scan asks it once for every pair.
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
    // Done adding: the entries can be found.
    void index() {
        m_byPath.reserve(m_entries.size());
        for (const Entry& e : m_entries)
            m_byPath.emplace(std::string_view(m_paths).substr(e.at, e.length), &e);
    }
    const Entry* find(QByteArrayView path) const {
        const auto it = m_byPath.find(std::string_view(path.data(), size_t(path.size())));
        return it != m_byPath.end() ? it->second : nullptr;
    }

private:
    std::string m_paths;
    std::deque<Entry> m_entries;
    std::unordered_map<std::string_view, const Entry*> m_byPath;
};

// A file's kind and type identifier by its suffix, asked once per suffix a scan meets.
class FileKinds {
public:
    const std::pair<FileKind, QString>& of(const QString& path) {
        const qsizetype slash = path.lastIndexOf(QLatin1Char('/'));
        const qsizetype dot = path.lastIndexOf(QLatin1Char('.'));
        const QStringView suffix = dot > slash ? QStringView(path).sliced(dot + 1) : QStringView();
        for (const auto& [known, kind] : m_kinds)
            if (known == suffix)
                return kind;
        QString uti;
        const FileKind kind = fileKindOf(QStringLiteral("file.") + suffix.toString(), &uti);
        m_kinds.emplace_back(suffix.toString(), std::pair{kind, uti});
        return m_kinds.back().second;
    }

private:
    std::deque<std::pair<QString, std::pair<FileKind, QString>>> m_kinds;
};

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

    struct NewFacts {
        QString path;
        FileStat stat;
        FileFacts facts;
    };
    std::vector<NewFacts> newFacts;
    OpenFolders folders;
    FileKinds kinds;
    LocalClock clock;

    {
        auto st = m_db->statement(
            "SELECT p.id, coalesce(p.event_id, -1), p.exposure_time, p.rating, b.id, p.filename, "
            "b.filepath FROM PhotoTable p LEFT JOIN BackingPhotoTable b ON b.id = "
            "p.develop_camera_id WHERE p.flags & ? = 0 ORDER BY p.id");
        st.bind(1, trashFlag | offlineFlag);
        while (st.step()) {
            const qint64 id = st.int64(0), exposure = st.int64(2), rating = st.int64(3);
            const bool pair = !st.isNull(4);
            const QString path = st.text(5);
            auto asset = std::make_shared<Asset>();
            const auto identity = identities.constFind(id);
            asset->localIdentifier = identity != identities.constEnd()
                                         ? *identity
                                         : blocks::itemIdentifier(m_idPrefix, id);
            asset->catalogId = id;
            asset->isFavorite = rating == 5;
            // Shotwell's time is the camera's wall-clock time read as the machine's local time.
            if (exposure > 0)
                asset->creationDate = QDateTime::fromSecsSinceEpoch(exposure, Qt::UTC);
            auto item = std::make_shared<Item>();
            item->photo = id;
            item->backing = pair ? st.int64(4) : 0;
            item->event = st.int64(1);
            const blocks::FileBlock files = pair ? blocks::makeFiles<2>() : blocks::makeFiles<1>();
            asset->resources.reserve(pair ? 2 : 1);
            auto addResource = [&](const QString& filePath, const FileStat* stat) {
                AssetResource& resource = files.files[asset->resources.size()];
                resource.assetLocalIdentifier = asset->localIdentifier;
                resource.ordinal = int(asset->resources.size());
                const auto& [kind, uti] = kinds.of(filePath);
                resource.type =
                    kind == FileKind::Raw ? ResourceType::AlternatePhoto : ResourceType::Photo;
                resource.uniformTypeIdentifier = uti;
                resource.originalFilename =
                    filePath.sliced(filePath.lastIndexOf(QLatin1Char('/')) + 1);
                resource.storedPath = filePath;
                // What a pair would reclaim is the scan's business: its files' sizes as they are.
                if (stat && stat->size >= 0)
                    resource.fileSize = stat->size;
                asset->resources.push_back(ResourcePtr(files.owner, &resource));
            };
            if (pair) {
                const QString jpeg = st.text(6);
                const FileStat jpegStat = folders.statOf(st.utf8(6));
                const FileStat rawStat = folders.statOf(st.utf8(5));
                addResource(jpeg, &jpegStat); // the picture first, its RAW beside it
                addResource(path, &rawStat);
                const KnownFacts::Entry* k = known.find(st.utf8(6));
                FileFacts facts;
                if (k && k->stat.size == jpegStat.size && k->stat.mtimeNs == jpegStat.mtimeNs) {
                    facts = k->facts;
                } else if (jpegStat.size >= 0) {
                    const imaging::ImageMetadata meta = imaging::readImageMetadata(jpeg);
                    facts.offset = meta.offsetSeconds;
                    if (meta.latitude && meta.longitude)
                        facts.location = Location{*meta.latitude, *meta.longitude};
                    newFacts.push_back({jpeg, jpegStat, facts});
                }
                asset->location = facts.location;
                if (facts.offset && asset->creationDate) {
                    // The wall-clock time Shotwell read, placed at the offset the file gives.
                    const qint64 wallMs = clock.wallClockOf(exposure * 1000);
                    asset->creationDate = QDateTime::fromMSecsSinceEpoch(
                        wallMs - qint64(*facts.offset) * 1000, Qt::UTC);
                    asset->creationOffsetSeconds = facts.offset;
                }
            } else {
                addResource(path, nullptr);
            }
            item->asset = asset;
            std::shared_ptr<const Item> shared = item;
            snapshot->byId.insert(asset->localIdentifier, shared);
            snapshot->byPhoto.insert(id, shared);
            snapshot->items.push_back(std::move(shared));
        }
    }

    // What was read of the pictures is kept in one go: a first scan reads thousands.
    if (!newFacts.empty()) {
        std::lock_guard lock(m_dbMutex);
        m_db->exec("SAVEPOINT file_facts");
        try {
            for (const NewFacts& n : newFacts) {
                const FileFacts& f = n.facts;
                m_db->statement("INSERT OR REPLACE INTO state.file_facts (path, size, mtime_ns, "
                                "offset, latitude, longitude) VALUES (?, ?, ?, ?, ?, ?)")
                    .bind(1, n.path)
                    .bind(2, n.stat.size)
                    .bind(3, n.stat.mtimeNs)
                    .bind(4, f.offset ? std::optional<qint64>(*f.offset) : std::nullopt)
                    .bind(5,
                          f.location ? std::optional<double>(f.location->latitude) : std::nullopt)
                    .bind(6,
                          f.location ? std::optional<double>(f.location->longitude) : std::nullopt)
                    .run();
            }
        } catch (...) {
            m_db->exec("ROLLBACK TO file_facts; RELEASE file_facts");
            throw;
        }
        m_db->exec("RELEASE file_facts");
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
