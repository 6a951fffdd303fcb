#pragma once

#include "platform/photos/shared/SnapshotFetches.h"

#include <QElapsedTimer>
#include <QHash>
#include <QJsonArray>
#include <memory>
#include <mutex>

namespace photos {

class SqliteDatabase;

// A digiKam collection (its SQLite database digikam4.db) as a photo library. Items are the
// images digiKam shows, a RAW and a JPEG or HEIC of one name in one of its folders being one
// item whether or not they are grouped; favourites are 5 stars not rejected by a pick label;
// albums are digiKam's tags by their full path, its internal tags left out, the programs' own
// under a "Twinslim" parent.
//
// Changes are made as digiKam makes them: a new file gets the rows digiKam's scan would give
// it, so that digiKam takes it as one it knows; a deleted one goes to the collection's .dtrash
// with its record, its row kept as digiKam's "Move to Trash" keeps it. A change places its new
// files first, then commits its rows in one transaction with its journal, then moves the
// originals to the trash; one cut short before its commit is undone at the next opening, one
// cut short after it finished. No change is made while digiKam has the database open.
class DigikamStore final : public SnapshotStore<DigikamStore> {
public:
    // The schema version this store was tested with (digiKam 7.9).
    static constexpr int schemaVersion = 15;

    // The digikam4.db that `path` names: the database itself, the folder holding it, or
    // digiKam's configuration file (digikamrc), which says where the database is. Empty when
    // `path` is none of these. Throws PhotoLibraryError for a configuration whose database is
    // no SQLite file (digiKam on a MySQL or MariaDB server).
    static QString databaseFor(const QString& path);
    // Whether `path` is an SQLite file with digiKam's tables.
    static bool isDigikamDatabase(const QString& path);

    // Opens the library; throws PhotoLibraryError for a database that is no digiKam library
    // or has a schema version not tested. `configuration` is the digikamrc it was opened
    // through, if any: what digiKam is set to write into its files is read there, else in the
    // user's own configuration when that names this database.
    explicit DigikamStore(const QString& database, const QString& configuration = {});
    ~DigikamStore() override;

    void apply(const ChangeRequests& changes, const QDateTime& now,
               const std::function<void()>& beforeCommit) override;

    std::vector<TrashedAsset> trashed() const override;
    int restore(const QStringList& identifiers) override;
    int purgeTrashedBefore(const std::optional<QDateTime>& cutoff) override;

    QStringList check() const override;
    QString stateFolder() const override { return stateFolderOf(m_database); }
    // The store's own state beside the database, hidden: digiKam takes every visible folder
    // of its collection for one of its albums.
    static QString stateFolderOf(const QString& database);

    // Where the copy of the database taken before this session's first change is; empty
    // before that change.
    QString safetyCopyPath() const override;

    struct Item;
    struct Snapshot;

private:
    friend class SnapshotStore<DigikamStore>;
    std::shared_ptr<const Snapshot> current() const;
    std::shared_ptr<const Snapshot> load() const;
    void refuseWhileDigikamRuns() const;
    void takeSafetyCopyOnce(const QDateTime& now);
    void recoverInterruptedChanges();
    bool finishCommitted(const QJsonArray& operations);

    QString m_database;
    QString m_configuration;
    QString m_idPrefix; // from the library's own identity: identifiers are this library's
    QString m_identity;
    std::unique_ptr<SqliteDatabase> m_db;
    mutable std::recursive_mutex m_dbMutex;
    mutable std::shared_ptr<const Snapshot> m_snapshot;
    mutable qint64 m_snapshotVersion = -1;
    mutable QElapsedTimer m_checked;
    QString m_safetyCopy;
};

extern template class SnapshotStore<DigikamStore>;

} // namespace photos
