#pragma once

#include "platform/photos/FetchOptions.h"
#include "platform/photos/PhotoTypes.h"
#include "platform/photos/shared/SqliteDatabase.h"

#include <QStringList>
#include <functional>
#include <memory>
#include <mutex>
#include <vector>

namespace photos {

// The catalogue database: schema, migrations and the queries behind the fetches.
// Readers borrow a pooled connection, so fetches run concurrently from any thread;
// writes go through one connection under a mutex.
class Catalog {
public:
    explicit Catalog(const QString& databasePath);
    ~Catalog();

    static int currentVersion();
    // Version of the catalogue on disk (0 for an empty file).
    int version();

    template <typename F> auto read(F&& body) const {
        Lease lease(*this);
        return body(*lease.db);
    }
    template <typename F> auto write(F&& body) {
        std::lock_guard lock(m_writeMutex);
        return body(*m_writer);
    }

    std::vector<AssetPtr> assets(SqliteDatabase& db, MediaType mediaType,
                                 const FetchOptions& options) const;
    // The assets of assets() one at a time, each made as its rows are read; see
    // LibraryStore::enumerateAssets.
    void enumerateAssets(SqliteDatabase& db, MediaType mediaType, const FetchOptions& options,
                         const std::function<void(int total)>& counted,
                         const std::function<bool(const AssetPtr&)>& visit) const;
    // See LibraryStore::enumerateAssetsWithPictures: every fetched asset's date is read in the
    // order of the file and sorted in memory, and only the assets with enough pictures are
    // made, also read in the order of the file.
    void enumerateAssetsWithPictures(SqliteDatabase& db, MediaType mediaType,
                                     const FetchOptions& options, int minimumPictures,
                                     const std::function<void(int total)>& counted,
                                     const std::function<bool(const AssetPtr&, int)>& visit) const;
    std::vector<AssetPtr> assetsWithIdentifiers(SqliteDatabase& db, const QStringList& ids,
                                                bool includeTrashed = false) const;
    std::vector<AssetPtr> assetsInCollection(SqliteDatabase& db, qint64 collectionId,
                                             const FetchOptions& options) const;
    std::vector<AssetPtr> assetsWithResource(SqliteDatabase& db, const QString& filename,
                                             qint64 size) const;
    // collectionsContaining of each asset (none for id 0), in one read transaction; an album
    // held by several of them is one object.
    std::vector<std::vector<CollectionPtr>>
    collectionsContainingEach(SqliteDatabase& db, const std::vector<qint64>& assetIds,
                              CollectionType type) const;
    std::vector<CollectionPtr> collectionsContaining(SqliteDatabase& db, qint64 assetId,
                                                     CollectionType type) const;
    std::vector<CollectionPtr> collections(SqliteDatabase& db, CollectionType type,
                                           CollectionSubtype subtype,
                                           const FetchOptions& options) const;
    std::vector<CollectionPtr> collectionsWithIdentifiers(SqliteDatabase& db,
                                                          const QStringList& ids) const;
    // Trashed assets with their trash times (ms since the epoch).
    std::vector<std::pair<AssetPtr, qint64>> trashed(SqliteDatabase& db) const;

private:
    struct Lease {
        explicit Lease(const Catalog& catalog);
        ~Lease();
        const Catalog& catalog;
        std::unique_ptr<SqliteDatabase> db;
    };
    void migrate();
    std::vector<AssetPtr> assetsFromQuery(SqliteDatabase& db, const std::string& where,
                                          const std::string& order,
                                          const std::function<void(SqliteStatement&)>& bind,
                                          const std::string& join = {}) const;
    std::vector<CollectionPtr>
    collectionsFromQuery(SqliteDatabase& db, const std::string& sql,
                         const std::function<void(SqliteStatement&)>& bind) const;

    QString m_path;
    std::unique_ptr<SqliteDatabase> m_writer;
    std::mutex m_writeMutex;
    mutable std::mutex m_poolMutex;
    mutable std::vector<std::unique_ptr<SqliteDatabase>> m_pool;
};

// Milliseconds since the epoch, the catalogue's time unit.
qint64 toCatalogTime(const QDateTime& instant);
QDateTime fromCatalogTime(qint64 ms);

} // namespace photos
