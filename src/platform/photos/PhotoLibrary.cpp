#include "platform/photos/PhotoLibrary.h"

#include "platform/photos/Catalog.h"
#include "platform/photos/LibraryLocation.h"
#include "platform/photos/ResourceFiles.h"

#include <QDir>
#include <QDirIterator>
#include <QFileInfo>
#include <QSet>
#include <QThreadPool>
#include <QUuid>
#include <condition_variable>
#include <deque>
#include <future>
#include <thread>

namespace photos {

namespace {

enum PendingKind { PendingCreate = 0, PendingRemove = 1 };

// Thrown inside a change that must fail without an error reaching the caller.
struct SilentFailure {};

PhotoLibraryError cancelledError() {
    return PhotoLibraryError(PhotoLibraryError::Code::UserCancelled,
                             QStringLiteral("The user cancelled the deletion."));
}

PhotoLibraryError notFound(const QString& what, const QString& id) {
    return PhotoLibraryError(PhotoLibraryError::Code::NotFound,
                             QStringLiteral("The %1 “%2” is not in the library.").arg(what, id));
}

std::mutex sharedMutex;
std::shared_ptr<PhotoLibrary> sharedLibrary;
PhotoLibrary::DeletionConfirmationHandler sharedConfirmation;

} // namespace

struct PhotoLibrary::Job {
    ChangeBody body;
    ChangeCompletion completion;
};

struct PhotoLibrary::Worker {
    std::mutex mutex;
    std::condition_variable wake;
    std::deque<Job> queue;
    bool stopping = false;
    std::thread thread;
    std::thread::id threadId;
    QThreadPool resourcePool;
    std::unique_ptr<OwnerLock> ownerLock;
};

PhotoLibrary::PhotoLibrary(QString path) : m_path(std::move(path)) {
    m_clock = [] { return QDateTime::currentDateTimeUtc(); };
}

std::shared_ptr<PhotoLibrary> PhotoLibrary::create(const QString& path) {
    if (QFileInfo::exists(path))
        throw PhotoLibraryError(PhotoLibraryError::Code::InvalidRequest,
                                QStringLiteral("Something already exists at “%1”.").arg(path));
    return open(path);
}

std::shared_ptr<PhotoLibrary> PhotoLibrary::open(const QString& givenPath,
                                                 LibraryOpenOptions options) {
    const QString path = QDir(givenPath).absolutePath();
    QFileInfo info(path);
    // A mistyped path or an unmounted disk must not turn into a new, empty library.
    if (!options.createWhenMissing && !QFileInfo(path + QStringLiteral("/catalog.sqlite")).isFile())
        throw PhotoLibraryError(PhotoLibraryError::Code::NotFound,
                                QStringLiteral("There is no photo library at “%1”.").arg(path));
    if (info.exists() && !info.isDir())
        throw PhotoLibraryError(PhotoLibraryError::Code::InvalidRequest,
                                QStringLiteral("“%1” is not a photo library.").arg(path));
    if (info.exists() && !QFileInfo::exists(path + QStringLiteral("/catalog.sqlite")) &&
        !QDir(path).isEmpty())
        throw PhotoLibraryError(PhotoLibraryError::Code::InvalidRequest,
                                QStringLiteral("“%1” is not a photo library.").arg(path));
    QDir dir;
    if (!dir.mkpath(path + QStringLiteral("/resources")) ||
        !dir.mkpath(path + QStringLiteral("/locks")))
        throw PhotoLibraryError(
            PhotoLibraryError::Code::AccessDenied,
            QStringLiteral("The photo library at “%1” cannot be created.").arg(path));

    std::shared_ptr<PhotoLibrary> library(new PhotoLibrary(path));
    library->m_catalog = std::make_unique<Catalog>(path + QStringLiteral("/catalog.sqlite"));
    library->m_worker = std::make_unique<Worker>();
    library->m_worker->resourcePool.setMaxThreadCount(2);
    library->m_worker->ownerLock = std::make_unique<OwnerLock>(path);
    library->recoverInterruptedChanges();
    library->startWorker();
    if (options.purgeExpiredTrash)
        library->purgeExpiredTrash();
    return library;
}

PhotoLibrary::~PhotoLibrary() {
    if (!m_worker)
        return;
    {
        std::lock_guard lock(m_worker->mutex);
        m_worker->stopping = true;
    }
    m_worker->wake.notify_all();
    if (m_worker->thread.joinable())
        m_worker->thread.join();
    m_worker->resourcePool.waitForDone();
}

std::shared_ptr<PhotoLibrary> PhotoLibrary::shared() {
    std::lock_guard lock(sharedMutex);
    if (!sharedLibrary) {
        const QString path = systemLibraryPath();
        sharedLibrary = open(path, {.createWhenMissing = mayCreateSystemLibraryAt(path)});
        if (sharedConfirmation)
            sharedLibrary->setDeletionConfirmationHandler(sharedConfirmation);
    }
    return sharedLibrary;
}

void PhotoLibrary::setSharedDeletionConfirmationHandler(DeletionConfirmationHandler handler) {
    std::lock_guard lock(sharedMutex);
    sharedConfirmation = std::move(handler);
}

void PhotoLibrary::setShared(std::shared_ptr<PhotoLibrary> library) {
    std::lock_guard lock(sharedMutex);
    sharedLibrary = std::move(library);
}

int PhotoLibrary::currentSchemaVersion() {
    return Catalog::currentVersion();
}

void PhotoLibrary::setClock(std::function<QDateTime()> clock) {
    std::lock_guard lock(m_stateMutex);
    m_clock = std::move(clock);
}

QDateTime PhotoLibrary::now() const {
    std::lock_guard lock(m_stateMutex);
    return m_clock();
}

void PhotoLibrary::setDeletionConfirmationHandler(DeletionConfirmationHandler handler) {
    std::lock_guard lock(m_stateMutex);
    m_confirmDeletion = std::move(handler);
}

// ---- Fetches ----

std::vector<AssetPtr> PhotoLibrary::fetchAssets(MediaType mediaType,
                                                const FetchOptions& options) const {
    return m_catalog->read(
        [&](SqliteDatabase& db) { return m_catalog->assets(db, mediaType, options); });
}

std::vector<AssetPtr> PhotoLibrary::fetchAssetsWithLocalIdentifiers(const QStringList& ids) const {
    return m_catalog->read(
        [&](SqliteDatabase& db) { return m_catalog->assetsWithIdentifiers(db, ids); });
}

std::vector<AssetPtr>
PhotoLibrary::fetchAssetsInAssetCollection(const CollectionPtr& collection,
                                           const FetchOptions& options) const {
    if (!collection)
        return {};
    return m_catalog->read([&](SqliteDatabase& db) {
        return m_catalog->assetsInCollection(db, collection->catalogId, options);
    });
}

std::vector<ResourcePtr> PhotoLibrary::assetResources(const AssetPtr& asset) const {
    if (!asset)
        return {};
    return asset->resources;
}

std::vector<CollectionPtr>
PhotoLibrary::fetchAssetCollectionsContainingAsset(const AssetPtr& asset,
                                                   CollectionType type) const {
    if (!asset)
        return {};
    return m_catalog->read([&](SqliteDatabase& db) {
        return m_catalog->collectionsContaining(db, asset->catalogId, type);
    });
}

std::vector<CollectionPtr> PhotoLibrary::fetchAssetCollections(CollectionType type,
                                                               CollectionSubtype subtype,
                                                               const FetchOptions& options) const {
    return m_catalog->read(
        [&](SqliteDatabase& db) { return m_catalog->collections(db, type, subtype, options); });
}

std::vector<CollectionPtr>
PhotoLibrary::fetchAssetCollectionsWithLocalIdentifiers(const QStringList& ids) const {
    return m_catalog->read(
        [&](SqliteDatabase& db) { return m_catalog->collectionsWithIdentifiers(db, ids); });
}

std::vector<AssetPtr> PhotoLibrary::fetchAssetsWithResource(const QString& originalFilename,
                                                            qint64 fileSize) const {
    return m_catalog->read([&](SqliteDatabase& db) {
        return m_catalog->assetsWithResource(db, originalFilename, fileSize);
    });
}

QString PhotoLibrary::storedFilePath(const ResourcePtr& resource) const {
    return resource ? ResourceFiles(m_path).readablePath(resource->storedPath) : QString();
}

// ---- Changes ----

void PhotoLibrary::startWorker() {
    Worker* w = m_worker.get();
    w->thread = std::thread([this, w] {
        for (;;) {
            Job job;
            {
                std::unique_lock lock(w->mutex);
                w->wake.wait(lock, [w] { return w->stopping || !w->queue.empty(); });
                if (w->queue.empty())
                    return; // stopping, and every queued change has been applied
                job = std::move(w->queue.front());
                w->queue.pop_front();
            }
            runJob(job);
        }
    });
    w->threadId = w->thread.get_id();
}

void PhotoLibrary::performChanges(ChangeBody body, ChangeCompletion completion) {
    {
        std::lock_guard lock(m_worker->mutex);
        m_worker->queue.push_back({std::move(body), std::move(completion)});
    }
    m_worker->wake.notify_one();
}

void PhotoLibrary::performChangesAndWait(ChangeBody body) {
    if (std::this_thread::get_id() == m_worker->threadId)
        throw PhotoLibraryError(PhotoLibraryError::Code::InvalidRequest,
                                QStringLiteral("A change cannot wait for another change."));
    // Shared with the completion, which may still be returning when this caller resumes.
    auto done = std::make_shared<std::promise<std::pair<bool, std::optional<PhotoLibraryError>>>>();
    auto result = done->get_future();
    performChanges(std::move(body), [done](bool ok, std::optional<PhotoLibraryError> error) {
        done->set_value({ok, std::move(error)});
    });
    auto [ok, error] = result.get();
    if (ok)
        return;
    if (error)
        throw *error;
    throw PhotoLibraryError(PhotoLibraryError::Code::CatalogFailed,
                            QStringLiteral("The photo library change failed."));
}

void PhotoLibrary::runJob(Job& job) {
    bool ok = false;
    std::optional<PhotoLibraryError> error;
    try {
        ChangeRequests changes;
        if (job.body)
            job.body(changes);
        applyChanges(changes);
        ok = true;
    } catch (const PhotoLibraryError& e) {
        error = e;
    } catch (const SilentFailure&) {
    } catch (const std::exception& e) {
        error =
            PhotoLibraryError(PhotoLibraryError::Code::InvalidRequest, QString::fromUtf8(e.what()));
    } catch (...) {
        error = PhotoLibraryError(PhotoLibraryError::Code::InvalidRequest,
                                  QStringLiteral("The change body failed."));
    }
    // A caller's completion that throws must not take the library's worker, and with it the
    // process, down.
    if (job.completion) {
        try {
            job.completion(ok, std::move(error));
        } catch (...) {
        }
    }
}

bool PhotoLibrary::confirmDeletion(int count) {
    DeletionConfirmationHandler handler;
    {
        std::lock_guard lock(m_stateMutex);
        if (m_faults.refuseNextDeletion) {
            m_faults.refuseNextDeletion = false;
            return false;
        }
        handler = m_confirmDeletion;
    }
    if (!handler)
        return true;
    auto answer = std::make_shared<std::promise<bool>>();
    auto future = answer->get_future();
    auto once = std::make_shared<std::once_flag>();
    handler(count,
            [answer, once](bool yes) { std::call_once(*once, [&] { answer->set_value(yes); }); });
    // A prompt nobody answers must not hold the library, or its closing, forever: when the
    // library closes, the question counts as refused.
    while (future.wait_for(std::chrono::milliseconds(50)) == std::future_status::timeout) {
        std::lock_guard lock(m_worker->mutex);
        if (m_worker->stopping)
            return false;
    }
    return future.get();
}

void PhotoLibrary::applyChanges(const ChangeRequests& changes) {
    if (changes.isEmpty())
        return;

    // Deletion first asks the user, before anything is written.
    QSet<QString> toDelete(changes.deletions().begin(), changes.deletions().end());
    if (!toDelete.isEmpty() && !confirmDeletion(int(toDelete.size())))
        throw cancelledError();

    const OwnerLock& owner = *m_worker->ownerLock;
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

        const qint64 nowMs = toCatalogTime(now());
        m_catalog->write([&](SqliteDatabase& db) {
            inTransaction(db, [&] {
                applyRecords(db, changes, planned, sizes, nowMs);
                for (const QString& p : allPaths)
                    db.statement("DELETE FROM pending_files WHERE path = ?").bind(1, p).run();
                std::lock_guard lock(m_stateMutex);
                const bool armed =
                    m_faults.failNextChangeWithError || m_faults.failNextChangeWithoutError;
                if (armed && m_faults.changesBeforeFailure > 0) {
                    --m_faults.changesBeforeFailure;
                    return;
                }
                if (m_faults.failNextChangeWithError) {
                    m_faults.failNextChangeWithError = false;
                    throw PhotoLibraryError(
                        PhotoLibraryError::Code::Injected,
                        QStringLiteral("The photo library change failed (injected)."));
                }
                if (m_faults.failNextChangeWithoutError) {
                    m_faults.failNextChangeWithoutError = false;
                    throw SilentFailure{};
                }
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

void PhotoLibrary::applyRecords(SqliteDatabase& db, const ChangeRequests& changes,
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

std::vector<TrashedAsset> PhotoLibrary::trashedAssets() const {
    auto rows = m_catalog->read([&](SqliteDatabase& db) { return m_catalog->trashed(db); });
    std::vector<TrashedAsset> result;
    for (auto& [asset, at] : rows)
        result.push_back({asset, fromCatalogTime(at)});
    return result;
}

int PhotoLibrary::restoreFromTrash(const QStringList& identifiers) {
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

int PhotoLibrary::emptyTrash() {
    return purgeTrashedBefore(std::numeric_limits<qint64>::max());
}

int PhotoLibrary::purgeExpiredTrash() {
    return purgeTrashedBefore(toCatalogTime(now().addDays(-trashRetentionDays)));
}

int PhotoLibrary::purgeTrashedBefore(qint64 cutoffMs) {
    const QString owner = m_worker->ownerLock->token();
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

void PhotoLibrary::recoverInterruptedChanges() {
    const QString self = m_worker->ownerLock->token();
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

QStringList PhotoLibrary::check() const {
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
                         pending.text(1) != m_worker->ownerLock->token())
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

// ---- Resource manager ----

void PhotoLibrary::writeDataForAssetResource(const ResourcePtr& resource,
                                             const QString& destinationPath,
                                             WriteCompletion completion) {
    bool inject = false;
    {
        std::lock_guard lock(m_stateMutex);
        inject = std::exchange(m_faults.failNextResourceWrite, false);
    }
    const bool given = resource != nullptr;
    const QString stored = given ? resource->storedPath : QString();
    const QString name = given ? resource->originalFilename : QString();
    m_worker->resourcePool.start([inject, given, library = m_path, stored, name, destinationPath,
                                  completion = std::move(completion)] {
        std::optional<PhotoLibraryError> error;
        if (inject)
            error =
                PhotoLibraryError(PhotoLibraryError::Code::Injected,
                                  QStringLiteral("The resource could not be written (injected)."));
        else if (!given)
            error = PhotoLibraryError(PhotoLibraryError::Code::InvalidResource,
                                      QStringLiteral("No resource was given."));
        else {
            try {
                ResourceFiles(library).copyOut(stored, destinationPath);
            } catch (const PhotoLibraryError& e) {
                // A path of another shape, or one through a link, is no file of the library.
                error = e.code() == PhotoLibraryError::Code::InvalidResource
                            ? PhotoLibraryError(PhotoLibraryError::Code::InvalidResource,
                                                QStringLiteral("The stored file of “%1” is not "
                                                               "in the library.")
                                                    .arg(name))
                            : e;
            }
        }
        if (completion) {
            try {
                completion(std::move(error));
            } catch (...) {
            }
        }
    });
}

} // namespace photos
