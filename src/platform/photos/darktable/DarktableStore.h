#pragma once

#include "platform/photos/shared/SnapshotFetches.h"

#include <QElapsedTimer>
#include <QHash>
#include <QJsonArray>
#include <memory>
#include <mutex>

namespace photos {

class SqliteDatabase;

// A darktable library (library.db, with its tags in data.db) as a photo library. Items are
// darktable's images, a RAW and a JPEG or HEIC of one name in one group being one item;
// favourites are 5 stars; albums are tags, the programs' own under "Twinslim|". New items are
// rows in the original's film roll with its stars, labels, tags and place and a sidecar as
// darktable writes one; deleted ones go to the desktop's trash, their rows with them, as
// darktable's "delete (trash)" does. No change is made while darktable has the library open.
//
// A change writes and places its new files first and moves the originals to the trash, each
// step named in a journal; one transaction over both databases and the store's own state then
// commits it. An interruption before the commit is undone at the next opening. The sidecars
// of images already there whose stars or tags change are rewritten beside the old ones and
// put in place after the commit, or at the next opening when that is cut short.
class DarktableStore final : public SnapshotStore<DarktableStore> {
public:
    // The darktable schema versions this store was tested with (darktable 4.2).
    static constexpr int libraryVersion = 37;
    static constexpr int dataVersion = 9;

    // Whether `path` names a darktable library database: an SQLite file *.db with darktable's
    // tables. Other programs' databases are not.
    static bool isDarktableLibrary(const QString& path);
    // The data.db that goes with `libraryDb`: beside it, in config/ beside it, or in
    // darktable's usual configuration folder. Empty when there is none.
    static QString dataDatabaseFor(const QString& libraryDb);

    // Opens the library; throws PhotoLibraryError for a database that is no darktable library,
    // a schema version not tested, or a missing data.db.
    explicit DarktableStore(const QString& libraryDb);
    ~DarktableStore() override;

    void apply(const ChangeRequests& changes, const QDateTime& now,
               const std::function<void()>& beforeCommit) override;

    std::vector<TrashedAsset> trashed() const override;
    int restore(const QStringList& identifiers) override;
    int purgeTrashedBefore(const std::optional<QDateTime>& cutoff) override;

    QStringList check() const override;
    QString stateFolder() const override { return stateFolderOf(m_libraryDb); }
    // The store's own state beside the database: never inside darktable's configuration.
    static QString stateFolderOf(const QString& libraryDb) {
        return libraryDb + QStringLiteral(".twinslim");
    }

    // Where the copy of the databases taken before this session's first change is; empty
    // before that change.
    QString snapshotPath() const;
    QString safetyCopyPath() const override { return snapshotPath(); }

    struct Item;
    struct Snapshot;

private:
    friend class SnapshotStore<DarktableStore>;
    std::shared_ptr<const Snapshot> current() const;
    std::shared_ptr<const Snapshot> load() const;
    void takeSnapshotOnce(const QDateTime& now);
    void refuseWhileDarktableRuns() const;
    void recoverInterruptedChanges();
    bool finishCommitted(const QJsonArray& operations);

    QString m_libraryDb;
    QString m_dataDb;
    QString m_idPrefix;
    std::unique_ptr<SqliteDatabase> m_db; // library.db, with data.db and the state attached
    mutable std::recursive_mutex m_dbMutex;
    mutable std::shared_ptr<const Snapshot> m_snapshot;
    mutable qint64 m_snapshotVersion = -1;
    mutable QElapsedTimer m_checked;
    QString m_snapshotPath;
};

extern template class SnapshotStore<DarktableStore>;

} // namespace photos
