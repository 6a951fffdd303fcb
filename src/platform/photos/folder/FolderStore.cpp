#include "platform/photos/folder/FolderSnapshot.h"

#include "platform/imaging/ImageMetadata.h"
#include "platform/imaging/ImagingError.h"
#include "platform/imaging/XmpSidecar.h"
#include "platform/photos/FileKind.h"
#include "platform/photos/PhotoLibraryError.h"
#include "platform/photos/folder/TreeWalk.h"
#include "platform/photos/shared/ChangeLock.h"
#include "platform/photos/shared/DurableWrites.h"
#include "platform/photos/shared/FreedesktopTrash.h"
#include "platform/photos/shared/ResourceFiles.h"
#include "platform/photos/shared/SnapshotFetches.h"
#include "platform/photos/shared/SqliteDatabase.h"

#include <QCryptographicHash>
#include <QDebug>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QRegularExpression>
#include <QSet>
#include <QTimeZone>
#include <QUuid>
#include <QtConcurrent/QtConcurrentMap>
#include <algorithm>
#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <map>
#include <numeric>
#include <string>
#include <string_view>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

namespace photos {

using namespace folder;

std::function<void(const QString&)> FolderStore::beforeEnteringFolder;

QString FolderStore::stateFolderOf(const QString& root) {
    return root + QStringLiteral("/.photolib");
}

FolderStore::FolderStore(const QString& root) : m_root(root) {
    const QString state = stateFolderOf(root);
    if (!QDir().mkpath(state + QStringLiteral("/locks")))
        throw PhotoLibraryError(
            PhotoLibraryError::Code::AccessDenied,
            QStringLiteral("The photo library’s own folder “%1” cannot be made.").arg(state));
    m_db = std::make_unique<SqliteDatabase>(state + QStringLiteral("/state.sqlite"));
    m_db->exec("PRAGMA journal_mode = WAL");
    // A scan reads the whole index once in order; keeping it in the page cache would only
    // cost memory, and other queries touch a few pages.
    m_db->exec("PRAGMA cache_size = -1024");
    m_db->exec(
        "CREATE TABLE IF NOT EXISTS identities (path TEXT PRIMARY KEY, uuid TEXT NOT NULL, "
        "created INTEGER NOT NULL DEFAULT 0);"
        "CREATE TABLE IF NOT EXISTS albums (seq INTEGER PRIMARY KEY, uuid TEXT NOT NULL UNIQUE, "
        "title TEXT NOT NULL, created_at INTEGER NOT NULL);"
        "CREATE TABLE IF NOT EXISTS album_members (album_uuid TEXT NOT NULL REFERENCES "
        "albums(uuid) ON DELETE CASCADE, asset_uuid TEXT NOT NULL, position INTEGER NOT NULL, "
        "PRIMARY KEY (album_uuid, asset_uuid));"
        "CREATE TABLE IF NOT EXISTS trashed_assets (uuid TEXT PRIMARY KEY, trashed_at INTEGER "
        "NOT NULL, creation_ms INTEGER, creation_offset INTEGER, latitude REAL, longitude REAL, "
        "favorite INTEGER NOT NULL);"
        "CREATE TABLE IF NOT EXISTS trashed_files (asset_uuid TEXT NOT NULL REFERENCES "
        "trashed_assets(uuid) ON DELETE CASCADE, ordinal INTEGER NOT NULL, type INTEGER NOT "
        "NULL, uti TEXT, size INTEGER, original TEXT NOT NULL, trash_folder TEXT, trash_name "
        "TEXT, PRIMARY KEY (asset_uuid, ordinal));"
        "CREATE TABLE IF NOT EXISTS journal (id INTEGER PRIMARY KEY, state TEXT NOT NULL, "
        "operations TEXT NOT NULL);"
        // The albums an item in the trash was in, given back when it is restored.
        "CREATE TABLE IF NOT EXISTS trashed_members (asset_uuid TEXT NOT NULL REFERENCES "
        "trashed_assets(uuid) ON DELETE CASCADE, album_uuid TEXT NOT NULL, position INTEGER NOT "
        "NULL, PRIMARY KEY (asset_uuid, album_uuid));"
        // The identity a file that left its path had, with its size and modification time:
        // the same file coming back takes it again, another file never does.
        "CREATE TABLE IF NOT EXISTS retired (path TEXT PRIMARY KEY, uuid TEXT NOT NULL, "
        "created INTEGER NOT NULL, size INTEGER, mtime_ns INTEGER);"
        "CREATE TABLE IF NOT EXISTS settings (key TEXT PRIMARY KEY, value TEXT NOT NULL);");
    // The index is kept in the order of its paths, which a scan reads it in. An older index
    // is copied over once; where the state cannot be written it is read as it is, only slower.
    const auto indexTable = [&] {
        auto table = m_db->statement("SELECT sql FROM sqlite_master WHERE name = 'files'");
        return table.step() ? table.text(0) : QString();
    };
    static const char* const createIndex =
        "CREATE TABLE IF NOT EXISTS %1 (path TEXT PRIMARY KEY, size INTEGER NOT NULL, "
        "mtime_ns INTEGER NOT NULL, inode INTEGER NOT NULL, capture_ms INTEGER, "
        "capture_offset INTEGER, latitude REAL, longitude REAL, rating INTEGER, label TEXT, "
        "keywords TEXT, readable INTEGER NOT NULL) WITHOUT ROWID";
    const QString existing = indexTable();
    if (existing.isEmpty()) {
        m_db->exec(
            QString::fromLatin1(createIndex).arg(QLatin1String("files")).toUtf8().constData());
    } else if (!existing.contains(QLatin1String("WITHOUT ROWID"))) {
        try {
            inTransaction(*m_db, [&] {
                if (indexTable().contains(QLatin1String("WITHOUT ROWID")))
                    return; // another program was first
                m_db->exec(QString::fromLatin1(createIndex)
                               .arg(QLatin1String("files_by_path"))
                               .toUtf8()
                               .constData());
                m_db->exec("INSERT INTO files_by_path SELECT path, size, mtime_ns, inode, "
                           "capture_ms, capture_offset, latitude, longitude, rating, label, "
                           "keywords, readable FROM files; DROP TABLE files; ALTER TABLE "
                           "files_by_path RENAME TO files;");
            });
        } catch (const PhotoLibraryError&) {
        }
    }
    takeIdentity();
    recoverInterruptedChanges();
}

void FolderStore::takeIdentity() {
    const auto stored = [&] {
        auto st = m_db->statement("SELECT value FROM settings WHERE key = 'identity'");
        return st.step() ? st.text(0) : QString();
    };
    m_identity = stored();
    if (!m_identity.isEmpty())
        return;
    try {
        inTransaction(*m_db, [&] {
            m_identity = stored();
            if (!m_identity.isEmpty())
                return; // another program was first
            // A state from before identities: the items its albums name keep the identifiers
            // they had, pinned to their paths; every other item takes one of this library's.
            const QString identity = QUuid::createUuid().toString(QUuid::WithoutBraces);
            m_db->exec("INSERT OR IGNORE INTO trashed_members SELECT m.asset_uuid, "
                       "m.album_uuid, m.position FROM album_members m JOIN trashed_assets t ON "
                       "t.uuid = m.asset_uuid; DELETE FROM album_members WHERE asset_uuid IN "
                       "(SELECT uuid FROM trashed_assets);");
            QSet<QString> named;
            auto members = m_db->statement("SELECT DISTINCT asset_uuid FROM album_members");
            while (members.step())
                named.insert(members.text(0));
            if (!named.isEmpty()) {
                ItemIdentifiers legacy{QString()};
                std::vector<std::pair<QString, QString>> pins;
                auto files = m_db->statement("SELECT path FROM files");
                while (files.step()) {
                    const QByteArrayView path = files.utf8(0);
                    const QString id = legacy(std::string_view(path.data(), size_t(path.size())));
                    if (named.contains(id))
                        pins.emplace_back(QString::fromUtf8(path), id);
                }
                for (const auto& [path, id] : pins)
                    m_db->statement("INSERT OR IGNORE INTO identities (path, uuid, created) "
                                    "VALUES (?, ?, 0)")
                        .bind(1, path)
                        .bind(2, id)
                        .run();
            }
            // Identities of files gone from the tree (made items in the trash) stay with those
            // files, not with their paths.
            auto journal = m_db->statement("SELECT 1 FROM journal");
            if (!journal.step())
                m_db->exec("INSERT OR REPLACE INTO retired (path, uuid, created) SELECT path, "
                           "uuid, created FROM identities WHERE path NOT IN (SELECT path FROM "
                           "files); DELETE FROM identities WHERE path NOT IN (SELECT path FROM "
                           "files);");
            m_db->statement("INSERT INTO settings (key, value) VALUES ('identity', ?)")
                .bind(1, identity)
                .run();
            m_identity = identity;
        });
    } catch (const PhotoLibraryError&) {
        m_identity.clear(); // read as it is, with the identifiers it gave
    }
}

FolderStore::~FolderStore() = default;

std::shared_ptr<const FolderStore::Snapshot> FolderStore::current() const {
    {
        std::lock_guard lock(m_snapshotMutex);
        if (m_snapshot)
            return m_snapshot;
    }
    return rescan();
}

// ---- Fetches ----

std::vector<AssetPtr> FolderStore::assets(MediaType mediaType, const FetchOptions& options) const {
    const auto snapshot = rescan(); // the top-level listing sees what other programs did
    std::vector<AssetPtr> all;
    all.reserve(snapshot->items.size());
    for (const Item& item : snapshot->items)
        all.push_back(item.asset);
    return applyFetchOptions(std::move(all), mediaType, options, options.includeHiddenAssets);
}

std::vector<AssetPtr> FolderStore::assetsWithIdentifiers(const QStringList& ids) const {
    const auto snapshot = current();
    std::vector<AssetPtr> result;
    for (const QString& id : ids)
        if (const Item* item = snapshot->item(id))
            result.push_back(item->asset);
    return result;
}

std::vector<FolderStore::Album> FolderStore::programAlbums() const {
    std::lock_guard lock(m_dbMutex);
    std::vector<Album> albums;
    auto st = m_db->statement("SELECT uuid, title, seq FROM albums ORDER BY seq");
    while (st.step())
        albums.push_back({st.text(0), st.text(1), st.int64(2)});
    return albums;
}

std::vector<AssetPtr> FolderStore::assetsInCollection(const AssetCollection& collection,
                                                      const FetchOptions& options) const {
    const auto snapshot = current();
    QStringList ids;
    if (collection.localIdentifier ==
        keywordAlbumIdentifier(m_identity, collection.localizedTitle.value_or(QString()))) {
        ids = snapshot->keywordMembers().value(*collection.localizedTitle);
    } else {
        std::lock_guard lock(m_dbMutex);
        auto st = m_db->statement(
            "SELECT asset_uuid FROM album_members WHERE album_uuid = ? ORDER BY position");
        st.bind(1, collection.localIdentifier);
        while (st.step())
            ids << st.text(0);
    }
    std::vector<AssetPtr> members;
    for (const QString& id : ids)
        if (const Item* item = snapshot->item(id))
            members.push_back(item->asset);
    return applyFetchOptions(std::move(members), MediaType::Image, options, true);
}

std::vector<AssetPtr> FolderStore::assetsWithResource(const QString& originalFilename,
                                                      qint64 fileSize) const {
    std::vector<AssetPtr> result;
    for (const Item& item : current()->items)
        for (const ResourcePtr& r : item.asset->resources)
            if (r->originalFilename == originalFilename && r->fileSize == fileSize) {
                result.push_back(item.asset);
                break;
            }
    return result;
}

std::vector<CollectionPtr> FolderStore::allAlbums(const Snapshot& snapshot) const {
    std::vector<CollectionPtr> albums;
    const auto& keywordMembers = snapshot.keywordMembers();
    for (auto it = keywordMembers.cbegin(); it != keywordMembers.cend(); ++it) {
        auto album = std::make_shared<AssetCollection>();
        album->localIdentifier = keywordAlbumIdentifier(m_identity, it.key());
        album->localizedTitle = it.key();
        album->estimatedAssetCount = int(it.value().size());
        albums.push_back(std::move(album));
    }
    std::lock_guard lock(m_dbMutex);
    for (const Album& a : programAlbums()) {
        auto album = std::make_shared<AssetCollection>();
        album->localIdentifier = a.uuid;
        album->localizedTitle = a.title;
        album->catalogId = a.seq;
        int count = 0;
        auto st = m_db->statement("SELECT asset_uuid FROM album_members WHERE album_uuid = ?");
        st.bind(1, a.uuid);
        while (st.step())
            count += snapshot.byId().contains(st.text(0)) ? 1 : 0;
        album->estimatedAssetCount = count;
        albums.push_back(std::move(album));
    }
    return albums;
}

std::vector<CollectionPtr> FolderStore::collectionsContaining(const Asset& asset,
                                                              CollectionType type) const {
    if (type != CollectionType::Album)
        return {};
    const auto snapshot = current();
    const Item* item = snapshot->item(asset.localIdentifier);
    std::vector<CollectionPtr> result;
    if (item)
        for (const QString& k : item->keywords) {
            auto album = std::make_shared<AssetCollection>();
            album->localIdentifier = keywordAlbumIdentifier(m_identity, k);
            album->localizedTitle = k;
            result.push_back(std::move(album));
        }
    // A scan asks this of every item: the state is read once for all of them, per snapshot.
    std::call_once(snapshot->programAlbumsRead, [&] {
        std::lock_guard lock(m_dbMutex);
        auto st = m_db->statement("SELECT m.asset_uuid, a.uuid, a.title, a.seq FROM albums a "
                                  "JOIN album_members m ON m.album_uuid = a.uuid ORDER BY a.seq");
        QHash<QString, CollectionPtr> albums;
        while (st.step()) {
            CollectionPtr& album = albums[st.text(1)];
            if (!album) {
                auto made = std::make_shared<AssetCollection>();
                made->localIdentifier = st.text(1);
                made->localizedTitle = st.text(2);
                made->catalogId = st.int64(3);
                album = std::move(made);
            }
            snapshot->programAlbumsOf[st.text(0)].push_back(album);
        }
    });
    const auto programAlbums = snapshot->programAlbumsOf.constFind(asset.localIdentifier);
    if (programAlbums != snapshot->programAlbumsOf.cend())
        result.insert(result.end(), programAlbums->begin(), programAlbums->end());
    return result;
}

std::vector<CollectionPtr> FolderStore::collections(CollectionType type, CollectionSubtype subtype,
                                                    const FetchOptions& options) const {
    if (type != CollectionType::Album ||
        (subtype != CollectionSubtype::AlbumRegular && subtype != CollectionSubtype::Any))
        return {};
    auto albums = allAlbums(*rescan());
    if (options.predicate)
        std::erase_if(albums, [&](const CollectionPtr& a) {
            return !titleMatches(*options.predicate, a->localizedTitle.value_or(QString()));
        });
    return albums;
}

std::vector<CollectionPtr> FolderStore::collectionsWithIdentifiers(const QStringList& ids) const {
    const auto albums = allAlbums(*current());
    std::vector<CollectionPtr> result;
    for (const QString& id : ids)
        for (const CollectionPtr& a : albums)
            if (a->localIdentifier == id)
                result.push_back(a);
    return result;
}

// ---- Files ----

QString FolderStore::filePath(const AssetResource& resource) const {
    if (!isTreePath(resource.storedPath))
        return {};
    // No part of the way may be a link: nothing outside the tree is read through it.
    QString path = m_root;
    const QStringList parts = resource.storedPath.split(QLatin1Char('/'));
    for (qsizetype i = 0; i < parts.size(); ++i) {
        path += QLatin1Char('/') + parts[i];
        struct stat st {};
        if (::lstat(QFile::encodeName(path).constData(), &st) != 0)
            return i + 1 == parts.size() && errno == ENOENT ? path : QString();
        if (S_ISLNK(st.st_mode) ||
            (i + 1 < parts.size() ? !S_ISDIR(st.st_mode) : !S_ISREG(st.st_mode)))
            return {};
    }
    return path;
}

int FolderStore::openForReading(const AssetResource& resource) const {
    if (!isTreePath(resource.storedPath)) {
        errno = EINVAL;
        return -1;
    }
    // Component by component from the top, so that no link anywhere on the way is followed.
    int dir = ::open(QFile::encodeName(m_root).constData(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    const QStringList parts = resource.storedPath.split(QLatin1Char('/'));
    for (qsizetype i = 0; dir >= 0 && i + 1 < parts.size(); ++i) {
        const int next = ::openat(dir, QFile::encodeName(parts[i]).constData(),
                                  O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
        const int saved = errno;
        ::close(dir);
        errno = saved;
        dir = next;
    }
    if (dir < 0)
        return -1;
    const int fd = ResourceFiles::openPlainFileAt(dir, QFile::encodeName(parts.last()).constData());
    const int saved = errno;
    ::close(dir);
    errno = saved;
    return fd;
}

void FolderStore::copyOut(const AssetResource& resource, const QString& destination) const {
    snapshot::copyOut(filePath(resource), resource, destination);
}

// ---- Recently Deleted ----

std::vector<TrashedAsset> FolderStore::trashed() const {
    std::lock_guard lock(m_dbMutex);
    std::vector<TrashedAsset> result;
    auto st = m_db->statement("SELECT uuid, trashed_at, creation_ms, creation_offset, latitude, "
                              "longitude, favorite FROM trashed_assets ORDER BY trashed_at, uuid");
    while (st.step()) {
        auto asset = std::make_shared<Asset>();
        asset->localIdentifier = st.text(0);
        if (auto ms = st.optionalInt64(2))
            asset->creationDate = QDateTime::fromMSecsSinceEpoch(*ms, Qt::UTC);
        if (auto o = st.optionalInt64(3))
            asset->creationOffsetSeconds = int(*o);
        if (!st.isNull(4) && !st.isNull(5))
            asset->location = Location{st.real(4), st.real(5)};
        asset->isFavorite = st.int64(6) != 0;
        bool present = false;
        auto files = m_db->statement("SELECT ordinal, type, uti, size, original, trash_folder, "
                                     "trash_name FROM trashed_files WHERE asset_uuid = ? ORDER "
                                     "BY ordinal");
        files.bind(1, asset->localIdentifier);
        while (files.step()) {
            auto r = std::make_shared<AssetResource>();
            r->assetLocalIdentifier = asset->localIdentifier;
            r->ordinal = int(files.int64(0));
            r->type = ResourceType(files.int64(1));
            r->uniformTypeIdentifier = files.text(2);
            r->fileSize = files.optionalInt64(3);
            r->originalFilename = nameOf(files.text(4));
            present =
                present || FreedesktopTrash::contains({files.text(5), files.text(6), QString()});
            asset->resources.push_back(std::move(r));
        }
        // What the desktop has restored or emptied meanwhile is no longer ours to list.
        if (present)
            result.push_back({asset, QDateTime::fromMSecsSinceEpoch(st.int64(1), Qt::UTC)});
    }
    return result;
}

int FolderStore::restore(const QStringList& identifiers) {
    ChangeLock changeLock(stateFolder());
    int restored = 0;
    for (const QString& id : identifiers) {
        std::vector<TrashEntry> entries;
        {
            std::lock_guard lock(m_dbMutex);
            auto st = m_db->statement("SELECT trash_folder, trash_name, original FROM "
                                      "trashed_files WHERE asset_uuid = ? ORDER BY ordinal");
            st.bind(1, id);
            while (st.step())
                entries.push_back({st.text(0), st.text(1), m_root + QLatin1Char('/') + st.text(2)});
        }
        QStringList back; // paths in the tree, the item's primary file first
        for (const TrashEntry& e : entries)
            if (FreedesktopTrash::contains(e) && !QFileInfo::exists(e.originalPath)) {
                FreedesktopTrash::restore(e);
                back << e.originalPath.mid(m_root.size() + 1);
            }
        std::lock_guard lock(m_dbMutex);
        inTransaction(*m_db, [&] {
            // The files put back are this item's whatever the trash did to their times; the
            // next scan reads them as new at their paths and finds their identity here.
            for (const QString& path : back) {
                auto before = m_db->statement("SELECT uuid, created FROM retired WHERE path = ?");
                before.bind(1, path);
                const bool retired = before.step();
                const QString uuid = path == back.front() || !retired ? id : before.text(0);
                const bool made = retired && before.text(0) == uuid && before.int64(1) != 0;
                if (path == back.front() || retired)
                    m_db->statement("INSERT OR REPLACE INTO identities (path, uuid, created) "
                                    "VALUES (?, ?, ?)")
                        .bind(1, path)
                        .bind(2, uuid)
                        .bind(3, made ? 1 : 0)
                        .run();
                m_db->statement("DELETE FROM retired WHERE path = ?").bind(1, path).run();
                m_db->statement("DELETE FROM files WHERE path = ?").bind(1, path).run();
            }
            if (!back.isEmpty())
                m_db->statement("INSERT OR IGNORE INTO album_members (album_uuid, asset_uuid, "
                                "position) SELECT album_uuid, asset_uuid, position FROM "
                                "trashed_members WHERE asset_uuid = ? AND album_uuid IN (SELECT "
                                "uuid FROM albums)")
                    .bind(1, id)
                    .run();
            m_db->statement("DELETE FROM trashed_assets WHERE uuid = ?").bind(1, id).run();
        });
        restored += back.isEmpty() ? 0 : 1;
    }
    rescan();
    return restored;
}

int FolderStore::purgeTrashedBefore(const std::optional<QDateTime>& cutoff) {
    ChangeLock changeLock(stateFolder());
    const qint64 limit = cutoff ? cutoff->toMSecsSinceEpoch() : std::numeric_limits<qint64>::max();
    std::vector<std::pair<QString, std::vector<TrashEntry>>> purge;
    {
        std::lock_guard lock(m_dbMutex);
        auto st = m_db->statement("SELECT uuid FROM trashed_assets WHERE trashed_at <= ?");
        st.bind(1, limit);
        while (st.step())
            purge.push_back({st.text(0), {}});
        for (auto& [id, entries] : purge) {
            auto files = m_db->statement("SELECT trash_folder, trash_name, original FROM "
                                         "trashed_files WHERE asset_uuid = ?");
            files.bind(1, id);
            while (files.step())
                entries.push_back({files.text(0), files.text(1), files.text(2)});
        }
    }
    int purged = 0;
    for (const auto& [id, entries] : purge) {
        bool any = false;
        for (const TrashEntry& e : entries)
            if (FreedesktopTrash::contains(e)) {
                FreedesktopTrash::erase(e);
                any = true;
            }
        // Its albums went to the trash with it. Its identity stays with the files that left, so
        // that no other file ever takes it; an item the desktop put back meanwhile keeps both.
        std::lock_guard lock(m_dbMutex);
        m_db->statement("DELETE FROM trashed_assets WHERE uuid = ?").bind(1, id).run();
        purged += any ? 1 : 0;
    }
    return purged;
}

// ---- Integrity ----

QStringList FolderStore::check() const {
    const auto snapshot = rescan();
    QStringList problems;
    {
        std::lock_guard lock(m_snapshotMutex);
        problems = m_scanProblems;
    }
    std::lock_guard lock(m_dbMutex);
    auto integrity = m_db->statement("PRAGMA integrity_check");
    while (integrity.step())
        if (integrity.text(0) != QLatin1String("ok"))
            problems << QStringLiteral("state: %1").arg(integrity.text(0));
    auto unreadable = m_db->statement("SELECT path FROM files WHERE readable = 0 ORDER BY path");
    while (unreadable.step())
        problems << QStringLiteral("sidecar %1 is not XMP").arg(unreadable.text(0));
    auto journal = m_db->statement("SELECT id FROM journal");
    while (journal.step())
        problems
            << QStringLiteral("interrupted change %1 waits to be finished").arg(journal.int64(0));
    return problems;
}

} // namespace photos
