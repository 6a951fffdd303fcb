#pragma once

#include "platform/photos/shared/SnapshotFetches.h"

#include <QElapsedTimer>
#include <QHash>
#include <memory>
#include <mutex>

namespace photos {

class SqliteDatabase;

// A Shotwell library (its SQLite database photo.db) as a photo library. Items are the photos
// Shotwell shows: a RAW whose camera development is a JPEG is one item of both files, as
// Shotwell shows it; photos in Shotwell's trash, offline photos and videos are no items.
// Favourites are 5 stars; albums are Shotwell's tags by their full path ("/Places/France"), the
// programs' own under "/Twinslim". A pair's capture offset and place come from its files'
// metadata (Shotwell keeps neither), read once per file and kept in the store's state.
class ShotwellStore final : public SnapshotStore<ShotwellStore> {
public:
    // The schema version this store was tested with (Shotwell 0.30).
    static constexpr int schemaVersion = 20;

    // The photo.db that `path` names: the database itself, or Shotwell's data folder holding
    // it (FOLDER/data/photo.db, or FOLDER/photo.db). Empty when `path` is none of these.
    static QString databaseFor(const QString& path);
    // Whether `path` is an SQLite file with Shotwell's tables.
    static bool isShotwellDatabase(const QString& path);

    // Opens the library; throws PhotoLibraryError for a database that is no Shotwell library
    // or has a schema version not tested.
    explicit ShotwellStore(const QString& database);
    ~ShotwellStore() override;

    void apply(const ChangeRequests& changes, const QDateTime& now,
               const std::function<void()>& beforeCommit) override;

    std::vector<TrashedAsset> trashed() const override;
    int restore(const QStringList& identifiers) override;
    int purgeTrashedBefore(const std::optional<QDateTime>& cutoff) override;

    QStringList check() const override;
    QString stateFolder() const override { return stateFolderOf(m_database); }
    // The store's own state beside the database, hidden.
    static QString stateFolderOf(const QString& database);

    // Where the copy of the database taken before this session's first change is; empty
    // before that change.
    QString safetyCopyPath() const override;

    struct Item;
    struct Snapshot;

private:
    friend class SnapshotStore<ShotwellStore>;
    std::shared_ptr<const Snapshot> current() const;
    std::shared_ptr<const Snapshot> load() const;
    void refuseWhileShotwellRuns() const;
    void recoverInterruptedChanges();

    QString m_database;
    QString m_idPrefix; // from the library's own identity: identifiers are this library's
    QString m_identity;
    std::unique_ptr<SqliteDatabase> m_db;
    mutable std::recursive_mutex m_dbMutex;
    mutable std::shared_ptr<const Snapshot> m_snapshot;
    mutable qint64 m_snapshotVersion = -1;
    mutable QElapsedTimer m_checked;
    QString m_safetyCopy;
};

extern template class SnapshotStore<ShotwellStore>;

} // namespace photos
