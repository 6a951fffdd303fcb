#include "platform/photos/catalog/CatalogStore.h"

#include "platform/photos/PhotoLibraryError.h"
#include "platform/photos/catalog/Catalog.h"
#include "platform/photos/shared/ResourceFiles.h"

#include <QDir>
#include <QDirIterator>
#include <QFileInfo>
#include <QSet>
#include <limits>

namespace photos {

namespace {

enum PendingKind { PendingCreate = 0, PendingRemove = 1 };

PhotoLibraryError notFound(const QString& what, const QString& id) {
    return PhotoLibraryError(PhotoLibraryError::Code::NotFound,
                             QStringLiteral("The %1 “%2” is not in the library.").arg(what, id));
}

} // namespace

CatalogStore::CatalogStore(const QString& path) : m_path(path) {
    QDir dir;
    if (!dir.mkpath(path + QStringLiteral("/resources")) ||
        !dir.mkpath(path + QStringLiteral("/locks")))
        throw PhotoLibraryError(
            PhotoLibraryError::Code::AccessDenied,
            QStringLiteral("The photo library at “%1” cannot be created.").arg(path));
    m_catalog = std::make_unique<Catalog>(path + QStringLiteral("/catalog.sqlite"));
    m_ownerLock = std::make_unique<OwnerLock>(path);
    recoverInterruptedChanges();
}

CatalogStore::~CatalogStore() = default;

int CatalogStore::currentSchemaVersion() {
    return Catalog::currentVersion();
}

bool CatalogStore::isCatalogueLibrary(const QString& path) {
    return path.endsWith(QStringLiteral(".photolibrary")) ||
           QFileInfo(path + QStringLiteral("/catalog.sqlite")).isFile();
}

// ---- Fetches ----

std::vector<AssetPtr> CatalogStore::assets(MediaType mediaType, const FetchOptions& options) const {
    return m_catalog->read(
        [&](SqliteDatabase& db) { return m_catalog->assets(db, mediaType, options); });
}

void CatalogStore::enumerateAssets(MediaType mediaType, const FetchOptions& options,
                                   const std::function<void(int total)>& counted,
                                   const std::function<bool(const AssetPtr&)>& visit) const {
    m_catalog->read([&](SqliteDatabase& db) {
        m_catalog->enumerateAssets(db, mediaType, options, counted, visit);
    });
}

void CatalogStore::enumerateAssetsWithPictures(
    MediaType mediaType, const FetchOptions& options, int minimumPictures,
    const std::function<void(int total)>& counted,
    const std::function<bool(const AssetPtr&, int)>& visit) const {
    m_catalog->read([&](SqliteDatabase& db) {
        m_catalog->enumerateAssetsWithPictures(db, mediaType, options, minimumPictures, counted,
                                               visit);
    });
}

std::vector<AssetPtr> CatalogStore::assetsWithIdentifiers(const QStringList& ids) const {
    return m_catalog->read(
        [&](SqliteDatabase& db) { return m_catalog->assetsWithIdentifiers(db, ids); });
}

std::vector<AssetPtr> CatalogStore::assetsInCollection(const AssetCollection& collection,
                                                       const FetchOptions& options) const {
    return m_catalog->read([&](SqliteDatabase& db) {
        return m_catalog->assetsInCollection(db, collection.catalogId, options);
    });
}

std::vector<AssetPtr> CatalogStore::assetsWithResource(const QString& originalFilename,
                                                       qint64 fileSize) const {
    return m_catalog->read([&](SqliteDatabase& db) {
        return m_catalog->assetsWithResource(db, originalFilename, fileSize);
    });
}

std::vector<CollectionPtr> CatalogStore::collectionsContaining(const Asset& asset,
                                                               CollectionType type) const {
    return m_catalog->read([&](SqliteDatabase& db) {
        return m_catalog->collectionsContaining(db, asset.catalogId, type);
    });
}

std::vector<std::vector<CollectionPtr>>
CatalogStore::collectionsContainingEach(const std::vector<AssetPtr>& assets,
                                        CollectionType type) const {
    std::vector<qint64> ids;
    ids.reserve(assets.size());
    for (const AssetPtr& asset : assets)
        ids.push_back(asset ? asset->catalogId : 0);
    return m_catalog->read(
        [&](SqliteDatabase& db) { return m_catalog->collectionsContainingEach(db, ids, type); });
}

std::vector<CollectionPtr> CatalogStore::collections(CollectionType type, CollectionSubtype subtype,
                                                     const FetchOptions& options) const {
    return m_catalog->read(
        [&](SqliteDatabase& db) { return m_catalog->collections(db, type, subtype, options); });
}

std::vector<CollectionPtr> CatalogStore::collectionsWithIdentifiers(const QStringList& ids) const {
    return m_catalog->read(
        [&](SqliteDatabase& db) { return m_catalog->collectionsWithIdentifiers(db, ids); });
}

// ---- Files ----

QString CatalogStore::filePath(const AssetResource& resource) const {
    return ResourceFiles(m_path).readablePath(resource.storedPath);
}

int CatalogStore::openForReading(const AssetResource& resource) const {
    return ResourceFiles(m_path).openForReading(resource.storedPath);
}

void CatalogStore::copyOut(const AssetResource& resource, const QString& destination) const {
    try {
        ResourceFiles(m_path).copyOut(resource.storedPath, destination);
    } catch (const PhotoLibraryError& e) {
        // A path of another shape, or one through a link, is no file of the library.
        if (e.code() != PhotoLibraryError::Code::InvalidResource)
            throw;
        throw PhotoLibraryError(PhotoLibraryError::Code::InvalidResource,
                                QStringLiteral("The stored file of “%1” is not in the library.")
                                    .arg(resource.originalFilename));
    }
}

// ---- Changes ----

void CatalogStore::apply(const ChangeRequests& changes, const QDateTime& now,
                         const std::function<void()>& beforeCommit) {
    if (changes.isEmpty())
        return;
    const OwnerLock& owner = *m_ownerLock;
    ResourceFiles files(m_path);
    // Plan the stored file of every new resource and record it as pending, so that a
    // change interrupted at any point can be cleaned up when the library is next opened.
    std::vector<std::vector<QString>> planned;
    for (const AssetCreationRequest& creation : changes.assetCreations()) {
        std::vector<QString> paths;
        for (size_t i = 0; i < creation.resources().size(); ++i)
            paths.push_back(
                files.newStoredPath(creation.placeholderForCreatedAsset().localIdentifier, int(i),
                                    creation.resources()[i].options.originalFilename));
        planned.push_back(std::move(paths));
    }
    QStringList allPaths;
    for (const auto& paths : planned)
        for (const QString& p : paths)
            allPaths << p;
    if (!allPaths.isEmpty())
        m_catalog->write([&](SqliteDatabase& db) {
            inTransaction(db, [&] {
                for (const QString& p : allPaths)
                    db.statement("INSERT INTO pending_files (path, owner, kind) VALUES (?, ?, ?)")
                        .bind(1, p)
                        .bind(2, owner.token())
                        .bind(3, int(PendingCreate))
                        .run();
            });
        });

    // A file that could not be removed keeps its row, for the next opening to remove.
    auto forgetPending = [&](const QStringList& removed) {
        if (removed.isEmpty())
            return;
        m_catalog->write([&](SqliteDatabase& db) {
            for (const QString& p : removed)
                db.statement("DELETE FROM pending_files WHERE path = ?").bind(1, p).run();
        });
    };

    try {
        // Write and flush every new file before the catalogue refers to it.
        std::vector<std::vector<qint64>> sizes;
        for (size_t c = 0; c < planned.size(); ++c) {
            const AssetCreationRequest& creation = changes.assetCreations()[c];
            std::vector<qint64> assetSizes;
            for (size_t i = 0; i < planned[c].size(); ++i) {
                const auto& res = creation.resources()[i];
                assetSizes.push_back(res.sourcePath.isEmpty()
                                         ? files.writeData(planned[c][i], res.data)
                                         : files.copyFile(planned[c][i], res.sourcePath));
            }
            sizes.push_back(std::move(assetSizes));
        }
        files.syncDirectories();

        const qint64 nowMs = toCatalogTime(now);
        m_catalog->write([&](SqliteDatabase& db) {
            inTransaction(db, [&] {
                applyRecords(db, changes, planned, sizes, nowMs);
                for (const QString& p : allPaths)
                    db.statement("DELETE FROM pending_files WHERE path = ?").bind(1, p).run();
                beforeCommit();
            });
        });
    } catch (...) {
        QStringList removed;
        for (const QString& p : allPaths)
            if (files.remove(p))
                removed << p;
        try {
            forgetPending(removed);
        } catch (...) {
        }
        throw;
    }
}

void CatalogStore::applyRecords(SqliteDatabase& db, const ChangeRequests& changes,
                                const std::vector<std::vector<QString>>& planned,
                                const std::vector<std::vector<qint64>>& sizes, qint64 nowMs) {
    auto assetId = [&](const QString& uuid) -> qint64 {
        auto st = db.statement("SELECT id FROM assets WHERE uuid = ? AND trashed_at IS NULL");
        st.bind(1, uuid);
        if (!st.step())
            throw notFound(QStringLiteral("item"), uuid);
        return st.int64(0);
    };

    for (size_t c = 0; c < changes.assetCreations().size(); ++c) {
        const AssetCreationRequest& creation = changes.assetCreations()[c];
        if (creation.resources().empty())
            throw PhotoLibraryError(PhotoLibraryError::Code::InvalidResource,
                                    QStringLiteral("A new item needs at least one resource."));
        std::optional<qint64> date;
        if (creation.creationDate && creation.creationDate->isValid())
            date = toCatalogTime(*creation.creationDate);
        db.statement(
              "INSERT INTO assets (uuid, media_type, creation_date, creation_offset, latitude, "
              "longitude, favorite, hidden, added_at) VALUES (?, ?, ?, ?, ?, ?, ?, ?, ?)")
            .bind(1, creation.placeholderForCreatedAsset().localIdentifier)
            .bind(2, int(MediaType::Image))
            .bind(3, date)
            .bind(4, date ? creation.creationOffsetSeconds : std::nullopt)
            .bind(5, creation.location ? std::optional<double>(creation.location->latitude)
                                       : std::nullopt)
            .bind(6, creation.location ? std::optional<double>(creation.location->longitude)
                                       : std::nullopt)
            .bind(7, creation.favorite ? 1 : 0)
            .bind(8, creation.hidden ? 1 : 0)
            .bind(9, nowMs)
            .run();
        const qint64 id = db.lastInsertRowId();
        for (size_t i = 0; i < creation.resources().size(); ++i) {
            const auto& res = creation.resources()[i];
            db.statement("INSERT INTO resources (asset_id, ordinal, type, uti, original_filename, "
                         "file_size, stored_path) VALUES (?, ?, ?, ?, ?, ?, ?)")
                .bind(1, id)
                .bind(2, int(i))
                .bind(3, int(res.type))
                .bind(4, res.options.uniformTypeIdentifier)
                .bind(5, res.options.originalFilename)
                .bind(6, sizes[c][i])
                .bind(7, planned[c][i])
                .run();
        }
    }

    for (const AssetCollectionChangeRequest& change : changes.collectionChanges()) {
        if (change.createdTitle() && change.requiresUniqueTitle()) {
            auto taken = db.statement("SELECT 1 FROM albums WHERE title = ? AND type = ? AND "
                                      "subtype = ?");
            taken.bind(1, *change.createdTitle())
                .bind(2, int(CollectionType::Album))
                .bind(3, int(CollectionSubtype::AlbumRegular));
            if (taken.step())
                throw PhotoLibraryError(PhotoLibraryError::Code::AlreadyExists,
                                        QStringLiteral("An album titled “%1” exists already.")
                                            .arg(*change.createdTitle()));
        }
        if (change.createdTitle()) {
            db.statement("INSERT INTO albums (uuid, title, type, subtype, created_at) VALUES (?, "
                         "?, ?, ?, ?)")
                .bind(1, change.collectionIdentifier())
                .bind(2, *change.createdTitle())
                .bind(3, int(CollectionType::Album))
                .bind(4, int(CollectionSubtype::AlbumRegular))
                .bind(5, nowMs)
                .run();
        }
        if (change.operations().empty())
            continue;
        auto st = db.statement("SELECT id, type, subtype FROM albums WHERE uuid = ?");
        st.bind(1, change.collectionIdentifier());
        if (!st.step())
            throw notFound(QStringLiteral("album"), change.collectionIdentifier());
        const qint64 albumId = st.int64(0);
        for (const auto& op : change.operations()) {
            for (const QString& uuid : op.assetIdentifiers) {
                const qint64 member = assetId(uuid);
                if (op.add && op.mustBeNew) {
                    auto present = db.statement(
                        "SELECT 1 FROM album_members WHERE album_id = ? AND asset_id = ?");
                    present.bind(1, albumId).bind(2, member);
                    if (present.step())
                        throw PhotoLibraryError(
                            PhotoLibraryError::Code::AlreadyMember,
                            QStringLiteral("The item %1 is in that album already.").arg(uuid));
                }
                if (op.add) {
                    // Adding a member again changes nothing.
                    db.statement(
                          "INSERT OR IGNORE INTO album_members (album_id, asset_id, position) "
                          "VALUES (?, ?, (SELECT coalesce(max(position), 0) + 1 FROM "
                          "album_members WHERE album_id = ?))")
                        .bind(1, albumId)
                        .bind(2, member)
                        .bind(3, albumId)
                        .run();
                } else {
                    db.statement("DELETE FROM album_members WHERE album_id = ? AND asset_id = ?")
                        .bind(1, albumId)
                        .bind(2, member)
                        .run();
                }
            }
        }
    }

    for (const AssetChangeRequest& change : changes.assetChanges()) {
        const qint64 id = assetId(change.assetIdentifier());
        if (change.favorite)
            db.statement("UPDATE assets SET favorite = ? WHERE id = ?")
                .bind(1, *change.favorite ? 1 : 0)
                .bind(2, id)
                .run();
        if (change.hidden)
            db.statement("UPDATE assets SET hidden = ? WHERE id = ?")
                .bind(1, *change.hidden ? 1 : 0)
                .bind(2, id)
                .run();
    }

    // An item already gone or already in the trash fails the change rather than being
    // reported as deleted.
    for (const QString& uuid :
         QSet<QString>(changes.deletions().begin(), changes.deletions().end())) {
        db.statement("UPDATE assets SET trashed_at = ? WHERE uuid = ? AND trashed_at IS NULL")
            .bind(1, nowMs)
            .bind(2, uuid)
            .run();
        if (db.changes() == 0)
            throw notFound(QStringLiteral("item"), uuid);
    }
}
// ---- Recently Deleted ----

std::vector<TrashedAsset> CatalogStore::trashed() const {
    auto rows = m_catalog->read([&](SqliteDatabase& db) { return m_catalog->trashed(db); });
    std::vector<TrashedAsset> result;
    for (auto& [asset, at] : rows)
        result.push_back({asset, fromCatalogTime(at)});
    return result;
}

int CatalogStore::restore(const QStringList& identifiers) {
    return m_catalog->write([&](SqliteDatabase& db) {
        return inTransaction(db, [&] {
            int restored = 0;
            for (const QString& id : identifiers) {
                db.statement("UPDATE assets SET trashed_at = NULL WHERE uuid = ? AND trashed_at IS "
                             "NOT NULL")
                    .bind(1, id)
                    .run();
                restored += db.changes();
            }
            return restored;
        });
    });
}

int CatalogStore::purgeTrashedBefore(const std::optional<QDateTime>& cutoff) {
    const qint64 cutoffMs = cutoff ? toCatalogTime(*cutoff) : std::numeric_limits<qint64>::max();
    const QString owner = m_ownerLock->token();
    QStringList paths;
    int purged = m_catalog->write([&](SqliteDatabase& db) {
        return inTransaction(db, [&] {
            auto st =
                db.statement("SELECT r.stored_path FROM resources r JOIN assets a ON a.id = "
                             "r.asset_id WHERE a.trashed_at IS NOT NULL AND a.trashed_at <= ?");
            st.bind(1, cutoffMs);
            while (st.step())
                paths << st.text(0);
            // Files are removed after the commit; the pending rows finish that job
            // should this process stop in between.
            for (const QString& p : paths)
                db.statement(
                      "INSERT OR REPLACE INTO pending_files (path, owner, kind) VALUES (?, ?, ?)")
                    .bind(1, p)
                    .bind(2, owner)
                    .bind(3, int(PendingRemove))
                    .run();
            db.statement("DELETE FROM assets WHERE trashed_at IS NOT NULL AND trashed_at <= ?")
                .bind(1, cutoffMs)
                .run();
            return db.changes();
        });
    });
    ResourceFiles files(m_path);
    QStringList removed;
    for (const QString& p : paths)
        if (files.remove(p))
            removed << p;
    if (!removed.isEmpty())
        m_catalog->write([&](SqliteDatabase& db) {
            inTransaction(db, [&] {
                for (const QString& p : removed)
                    db.statement("DELETE FROM pending_files WHERE path = ? AND kind = ?")
                        .bind(1, p)
                        .bind(2, int(PendingRemove))
                        .run();
            });
        });
    return purged;
}

// ---- Recovery and integrity ----

void CatalogStore::recoverInterruptedChanges() {
    const QString self = m_ownerLock->token();
    ResourceFiles files(m_path);
    m_catalog->write([&](SqliteDatabase& db) {
        QStringList owners;
        auto st = db.statement("SELECT DISTINCT owner FROM pending_files");
        while (st.step())
            owners << st.text(0);
        for (const QString& owner : owners) {
            if (owner == self || OwnerLock::isAlive(m_path, owner))
                continue;
            inTransaction(db, [&] {
                auto rows = db.statement("SELECT path, kind FROM pending_files WHERE owner = ?");
                rows.bind(1, owner);
                QStringList done; // a refused path keeps its row, for check to report
                while (rows.step()) {
                    const QString path = rows.text(0);
                    auto used =
                        db.statement("SELECT count(*) FROM resources WHERE stored_path = ?");
                    used.bind(1, path);
                    used.step();
                    if (used.int64(0) != 0 || files.remove(path))
                        done << path;
                }
                for (const QString& path : done)
                    db.statement("DELETE FROM pending_files WHERE path = ?").bind(1, path).run();
            });
        }
    });
    OwnerLock::removeStaleLocks(m_path, self);
}

QStringList CatalogStore::check() const {
    // Changes may run while this looks (in this process or another), so what it sees must not
    // pass for damage. A new file's pending row is committed before the file is written, and a
    // removed file's row outlives the file; so the folder is listed first and the catalogue read
    // after it, in one snapshot, and whatever still looks wrong is looked at once more.
    const ResourceFiles files(m_path);
    const QString root = m_path + QStringLiteral("/resources");
    struct Entry {
        QString rel;
        bool link = false;
        bool dir = false;
    };
    std::vector<Entry> entries;
    // Links are listed, not followed: nothing under resources/ may lead out of it.
    QDirIterator it(root, QDir::AllEntries | QDir::System | QDir::Hidden | QDir::NoDotAndDotDot,
                    QDirIterator::Subdirectories);
    while (it.hasNext()) {
        const QFileInfo entry = it.nextFileInfo();
        entries.push_back(
            {QStringLiteral("resources/") + QDir(root).relativeFilePath(entry.filePath()),
             entry.isSymLink(), entry.isDir()});
    }

    QStringList problems;
    QSet<QString> known;
    struct Stored {
        QString path;
        std::optional<qint64> size;
        QString asset;
    };
    std::vector<Stored> stored;
    m_catalog->read([&](SqliteDatabase& db) {
        db.exec("BEGIN"); // one snapshot for every query below
        try {
            auto integrity = db.statement("PRAGMA integrity_check");
            while (integrity.step())
                if (integrity.text(0) != QLatin1String("ok"))
                    problems << QStringLiteral("catalogue: %1").arg(integrity.text(0));
            auto fk = db.statement("PRAGMA foreign_key_check");
            while (fk.step())
                problems << QStringLiteral("catalogue: row %1 of %2 refers to a missing %3")
                                .arg(fk.int64(1))
                                .arg(fk.text(0), fk.text(2));
            auto res = db.statement("SELECT r.stored_path, r.file_size, a.uuid FROM resources r "
                                    "JOIN assets a ON a.id = r.asset_id");
            while (res.step()) {
                known.insert(res.text(0));
                stored.push_back({res.text(0),
                                  res.isNull(1) ? std::nullopt : std::optional(res.int64(1)),
                                  res.text(2)});
            }
            auto bare = db.statement(
                "SELECT uuid FROM assets WHERE id NOT IN (SELECT asset_id FROM resources)");
            while (bare.step())
                problems << QStringLiteral("item %1 has no resources").arg(bare.text(0));
            auto pending = db.statement("SELECT path, owner FROM pending_files");
            while (pending.step()) {
                known.insert(pending.text(0)); // a live change's files are not orphans
                if (files.readablePath(pending.text(0)).isEmpty())
                    problems << QStringLiteral(
                                    "interrupted change names %1, not a file of the library")
                                    .arg(pending.text(0));
                else if (!OwnerLock::isAlive(m_path, pending.text(1)) &&
                         pending.text(1) != m_ownerLock->token())
                    problems << QStringLiteral("interrupted change left %1").arg(pending.text(0));
            }
            db.exec("COMMIT");
        } catch (...) {
            try {
                db.exec("ROLLBACK");
            } catch (...) {
            }
            throw;
        }
    });

    // A stored file the snapshot names may have been removed since by a purge; it is missing
    // only if the catalogue still names it now.
    const auto stillStored = [&](const Stored& s) {
        return m_catalog->read([&](SqliteDatabase& db) {
            auto st = db.statement("SELECT count(*) FROM resources WHERE stored_path = ?");
            st.bind(1, s.path);
            return st.step() && st.int64(0) != 0;
        });
    };
    for (const Stored& s : stored) {
        const QString file = files.readablePath(s.path);
        if (file.isEmpty()) {
            problems << QStringLiteral("stored file %1 of %2 is not a file of the library")
                            .arg(s.path, s.asset);
            continue;
        }
        const QFileInfo info(file);
        if (info.isFile() && (!s.size || info.size() == *s.size))
            continue;
        if (!stillStored(s))
            continue;
        if (!info.isFile())
            problems << QStringLiteral("missing file %1 of %2").arg(s.path, s.asset);
        else
            problems << QStringLiteral("file %1 has %2 bytes, the catalogue says %3")
                            .arg(s.path)
                            .arg(info.size())
                            .arg(*s.size);
    }
    // An entry listed before a change removed it (and forgot its row) is gone by now.
    for (const Entry& e : entries) {
        if (known.contains(e.rel) || (e.dir && !e.link))
            continue;
        if (!QFileInfo::exists(m_path + QLatin1Char('/') + e.rel) &&
            !QFileInfo(m_path + QLatin1Char('/') + e.rel).isSymLink())
            continue;
        problems << (e.link ? QStringLiteral("link %1 among the library's files").arg(e.rel)
                            : QStringLiteral("orphan file %1").arg(e.rel));
    }
    return problems;
}

} // namespace photos
