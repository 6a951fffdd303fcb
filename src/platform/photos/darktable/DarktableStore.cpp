#include "platform/photos/darktable/DarktableStore.h"
#include "platform/photos/darktable/DarktableSnapshot.h"

#include "platform/photos/PhotoLibraryError.h"
#include "platform/photos/darktable/DarktableLock.h"
#include "platform/photos/shared/ChangeLock.h"
#include "platform/photos/shared/FreedesktopTrash.h"
#include "platform/photos/shared/ResourceFiles.h"
#include "platform/photos/shared/SqliteDatabase.h"
#include "platform/photos/shared/TrashRecord.h"

#include <QCryptographicHash>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QSet>
#include <QStandardPaths>
#include <algorithm>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace photos {

using namespace darktable;

// ---- Snapshot ----

bool DarktableStore::isDarktableLibrary(const QString& path) {
    // digiKam, Shotwell and many other programs keep SQLite files named *.db too: darktable's
    // is known by its tables.
    return path.endsWith(QStringLiteral(".db")) &&
           isSqliteFileWithTables(path,
                                  {QStringLiteral("images"), QStringLiteral("film_rolls"),
                                   QStringLiteral("tagged_images"), QStringLiteral("db_info")});
}

QString DarktableStore::dataDatabaseFor(const QString& libraryDb) {
    const QString folder = QFileInfo(libraryDb).absolutePath();
    for (const QString& candidate :
         {folder + QStringLiteral("/data.db"), folder + QStringLiteral("/config/data.db"),
          QStandardPaths::writableLocation(QStandardPaths::GenericConfigLocation) +
              QStringLiteral("/darktable/data.db")})
        if (QFileInfo(candidate).isFile())
            return candidate;
    return {};
}

DarktableStore::DarktableStore(const QString& libraryDb)
    : m_libraryDb(libraryDb), m_dataDb(dataDatabaseFor(libraryDb)) {
    if (m_dataDb.isEmpty())
        throw PhotoLibraryError(
            PhotoLibraryError::Code::NotFound,
            QStringLiteral("The darktable library “%1” has no data.db beside it, in config/ beside "
                           "it, or in darktable’s configuration folder: it holds the tags.")
                .arg(libraryDb));
    const QByteArray digest =
        QCryptographicHash::hash(libraryDb.toUtf8(), QCryptographicHash::Sha1).toHex().toUpper();
    m_idPrefix =
        QStringLiteral("%1-%2-4%3-8%4-")
            .arg(QString::fromLatin1(digest.mid(0, 8)), QString::fromLatin1(digest.mid(8, 4)),
                 QString::fromLatin1(digest.mid(12, 3)), QString::fromLatin1(digest.mid(15, 3)));
    m_db = std::make_unique<SqliteDatabase>(libraryDb);
    auto version = [&](const char* schema) -> std::optional<qint64> {
        try {
            auto st = m_db->statement(std::string("SELECT CAST(value AS INTEGER) FROM ") + schema +
                                      ".db_info WHERE key = 'version'");
            if (st.step())
                return st.int64(0);
        } catch (const PhotoLibraryError&) {
        }
        return std::nullopt;
    };
    const auto library = version("main");
    if (!library)
        throw PhotoLibraryError(PhotoLibraryError::Code::InvalidRequest,
                                QStringLiteral("“%1” is not a darktable library.").arg(libraryDb));
    if (*library != libraryVersion)
        throw PhotoLibraryError(
            PhotoLibraryError::Code::NewerCatalog,
            QStringLiteral("The darktable library “%1” has schema version %2; Twinslim has been "
                           "tested with darktable 4.2 libraries (version %3) only and leaves this "
                           "one alone.")
                .arg(libraryDb)
                .arg(*library)
                .arg(libraryVersion));
    m_db->statement("ATTACH DATABASE ? AS data").bind(1, m_dataDb).run();
    const auto data = version("data");
    if (data != std::optional<qint64>(dataVersion))
        throw PhotoLibraryError(
            PhotoLibraryError::Code::NewerCatalog,
            QStringLiteral("darktable’s data.db “%1” has schema version %2; Twinslim has been "
                           "tested with darktable 4.2 (version %3) only and leaves it alone.")
                .arg(m_dataDb)
                .arg(data ? QString::number(*data) : QStringLiteral("unknown"))
                .arg(dataVersion));
    // darktable's own databases are written with a rollback journal; a commit spanning both
    // and the state is then atomic, and never left half-synced.
    m_db->exec("PRAGMA synchronous = FULL");
    const QString state = stateFolder();
    if (!QDir().mkpath(state + QStringLiteral("/locks")))
        throw PhotoLibraryError(
            PhotoLibraryError::Code::AccessDenied,
            QStringLiteral("The photo library’s own folder “%1” cannot be made.").arg(state));
    m_db->statement("ATTACH DATABASE ? AS state")
        .bind(1, state + QStringLiteral("/state.sqlite"))
        .run();
    m_db->exec("PRAGMA state.journal_mode = DELETE");
    m_db->exec(
        "CREATE TABLE IF NOT EXISTS state.journal (id INTEGER PRIMARY KEY, state TEXT NOT NULL, "
        "operations TEXT NOT NULL);"
        "CREATE TABLE IF NOT EXISTS state.identities (image INTEGER PRIMARY KEY, identifier TEXT "
        "NOT NULL);"
        "CREATE TABLE IF NOT EXISTS state.album_identities (name TEXT PRIMARY KEY, identifier "
        "TEXT NOT NULL);"
        "CREATE TABLE IF NOT EXISTS state.trashed (identifier TEXT PRIMARY KEY, trashed_at "
        "INTEGER NOT NULL, folder TEXT NOT NULL, asset TEXT NOT NULL);"
        "CREATE TABLE IF NOT EXISTS state.trashed_images AS SELECT '' AS trashed_item, * FROM "
        "main.images WHERE 0;");
    for (const auto& [table, column] : imageTables)
        m_db->exec(QStringLiteral("CREATE TABLE IF NOT EXISTS state.trashed_%1 AS SELECT '' AS "
                                  "trashed_item, * FROM main.%1 WHERE 0")
                       .arg(QLatin1String(table))
                       .toUtf8()
                       .constData());
    if (!DarktableLock::liveHolder(m_libraryDb)) {
        ChangeLock changeLock(state); // whoever holds it is still applying its change
        recoverInterruptedChanges();
    }
}

DarktableStore::~DarktableStore() = default;

QString DarktableStore::snapshotPath() const {
    std::lock_guard lock(m_dbMutex);
    return m_snapshotPath;
}

std::shared_ptr<const DarktableStore::Snapshot> DarktableStore::current() const {
    std::lock_guard lock(m_dbMutex);
    // Another connection's commit (darktable's, another program's) changes the data version;
    // it is asked at most every 0.2 s, so that a scan's many fetches read one snapshot.
    if (m_snapshot && m_checked.isValid() && m_checked.elapsed() < 200)
        return m_snapshot;
    m_checked.start();
    qint64 version = 0;
    for (const char* sql : {"PRAGMA main.data_version", "PRAGMA data.data_version"}) {
        auto st = m_db->statement(sql);
        if (st.step())
            version = version * 1000003 + st.int64(0);
    }
    if (!m_snapshot || version != m_snapshotVersion) {
        m_snapshot = load();
        m_snapshotVersion = version;
    }
    return m_snapshot;
}

template class SnapshotStore<DarktableStore>;

// ---- Recently Deleted ----

std::vector<TrashedAsset> DarktableStore::trashed() const {
    std::lock_guard lock(m_dbMutex);
    std::vector<TrashedAsset> result;
    auto st = m_db->statement(
        "SELECT identifier, trashed_at, asset FROM state.trashed ORDER BY trashed_at, identifier");
    while (st.step()) {
        const QJsonObject json = QJsonDocument::fromJson(st.text(2).toUtf8()).object();
        const AssetPtr asset = assetOfTrashRecord(st.text(0), json);
        bool present = false;
        for (const QJsonValue& v : json.value(QStringLiteral("entries")).toArray())
            present = present || FreedesktopTrash::contains({v[QStringLiteral("folder")].toString(),
                                                             v[QStringLiteral("name")].toString(),
                                                             {}});
        // What the desktop has restored or emptied meanwhile is no longer ours to list.
        if (present)
            result.push_back({asset, QDateTime::fromMSecsSinceEpoch(st.int64(1), Qt::UTC)});
    }
    return result;
}

int DarktableStore::restore(const QStringList& identifiers) {
    ChangeLock changeLock(stateFolder());
    DarktableLock darktableLock(m_libraryDb);
    std::lock_guard lock(m_dbMutex);
    int restored = 0;
    for (const QString& id : identifiers) {
        auto st = m_db->statement("SELECT folder, asset FROM state.trashed WHERE identifier = ?");
        st.bind(1, id);
        if (!st.step())
            continue;
        const QString folder = st.text(0);
        const QJsonObject json = QJsonDocument::fromJson(st.text(1).toUtf8()).object();
        std::vector<TrashEntry> entries;
        for (const QJsonValue& v : json.value(QStringLiteral("entries")).toArray())
            entries.push_back({v[QStringLiteral("folder")].toString(),
                               v[QStringLiteral("name")].toString(),
                               v[QStringLiteral("original")].toString()});
        bool any = false;
        std::vector<TrashEntry> back;
        for (const TrashEntry& e : entries)
            if (FreedesktopTrash::contains(e) && !QFileInfo::exists(e.originalPath)) {
                FreedesktopTrash::restore(e);
                back.push_back(e);
                any = true;
            }
        if (!any)
            continue;
        try {
            inTransaction(*m_db, [&] {
                m_db->statement("INSERT INTO main.film_rolls (access_timestamp, folder) SELECT "
                                "strftime('%s', 'now'), ?1 WHERE NOT EXISTS (SELECT 1 FROM "
                                "main.film_rolls WHERE folder = ?1)")
                    .bind(1, folder)
                    .run();
                auto film = m_db->statement("SELECT id FROM main.film_rolls WHERE folder = ?");
                film.bind(1, folder);
                film.step();
                const qint64 filmId = film.int64(0);
                m_db->statement("UPDATE state.trashed_images SET film_id = ? WHERE trashed_item "
                                "= ?")
                    .bind(1, filmId)
                    .bind(2, id)
                    .run();
                std::vector<std::pair<const char*, const char*>> tables{{"images", "id"}};
                tables.insert(tables.end(), imageTables.begin(), imageTables.end());
                for (const auto& [table, column] : tables) {
                    QStringList columns;
                    auto info = m_db->statement(QStringLiteral("PRAGMA main.table_info(%1)")
                                                    .arg(QLatin1String(table))
                                                    .toStdString());
                    while (info.step())
                        columns << info.text(1);
                    const QString list = columns.join(QStringLiteral(", "));
                    // A link to a tag deleted since stays out: its id may name another tag now.
                    const bool links = QLatin1String(table) == QLatin1String("tagged_images");
                    const QJsonValue tags = json.value(QStringLiteral("tags"));
                    auto insert = m_db->statement(
                        QStringLiteral("INSERT OR IGNORE INTO main.%1 (%2) SELECT %2 FROM "
                                       "state.trashed_%1 WHERE trashed_item = ?1%3")
                            .arg(QLatin1String(table), list,
                                 links ? QStringLiteral(
                                             " AND EXISTS (SELECT 1 FROM data.tags t WHERE t.id "
                                             "= tagid AND (?2 IS NULL OR EXISTS (SELECT 1 FROM "
                                             "json_each(?2) j WHERE json_extract(j.value, '$[0]') "
                                             "= t.id AND json_extract(j.value, '$[1]') = "
                                             "t.name)))")
                                       : QString())
                            .toStdString());
                    insert.bind(1, id);
                    if (links)
                        insert.bind(
                            2,
                            tags.isArray()
                                ? std::optional(QString::fromUtf8(
                                      QJsonDocument(tags.toArray()).toJson(QJsonDocument::Compact)))
                                : std::nullopt);
                    insert.run();
                    m_db->statement(QStringLiteral("DELETE FROM state.trashed_%1 WHERE "
                                                   "trashed_item = ?")
                                        .arg(QLatin1String(table))
                                        .toStdString())
                        .bind(1, id)
                        .run();
                }
                m_db->statement("DELETE FROM state.trashed WHERE identifier = ?").bind(1, id).run();
            });
        } catch (...) {
            for (const TrashEntry& e : back) {
                try {
                    FreedesktopTrash::moveToTrash(e.originalPath, QDateTime::currentDateTimeUtc());
                } catch (...) {
                }
            }
            m_snapshot.reset();
            throw;
        }
        ++restored;
    }
    m_snapshot.reset();
    return restored;
}

int DarktableStore::purgeTrashedBefore(const std::optional<QDateTime>& cutoff) {
    ChangeLock changeLock(stateFolder());
    std::lock_guard lock(m_dbMutex);
    const qint64 limit = cutoff ? cutoff->toMSecsSinceEpoch() : std::numeric_limits<qint64>::max();
    std::vector<std::pair<QString, std::vector<TrashEntry>>> purge;
    {
        auto st = m_db->statement("SELECT identifier, asset FROM state.trashed WHERE trashed_at "
                                  "<= ?");
        st.bind(1, limit);
        while (st.step()) {
            std::vector<TrashEntry> entries;
            const QJsonObject json = QJsonDocument::fromJson(st.text(1).toUtf8()).object();
            for (const QJsonValue& v : json.value(QStringLiteral("entries")).toArray())
                entries.push_back({v[QStringLiteral("folder")].toString(),
                                   v[QStringLiteral("name")].toString(),
                                   v[QStringLiteral("original")].toString()});
            purge.push_back({st.text(0), entries});
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
        inTransaction(*m_db, [&] {
            m_db->statement("DELETE FROM state.trashed WHERE identifier = ?").bind(1, id).run();
            m_db->statement("DELETE FROM state.trashed_images WHERE trashed_item = ?")
                .bind(1, id)
                .run();
            m_db->statement("DELETE FROM state.identities WHERE identifier = ?").bind(1, id).run();
            for (const auto& [table, column] : imageTables)
                m_db->statement(QStringLiteral("DELETE FROM state.trashed_%1 WHERE trashed_item "
                                               "= ?")
                                    .arg(QLatin1String(table))
                                    .toStdString())
                    .bind(1, id)
                    .run();
        });
        purged += any ? 1 : 0;
    }
    return purged;
}

// ---- Integrity ----

QStringList DarktableStore::check() const {
    const auto snapshot = current();
    std::lock_guard lock(m_dbMutex);
    QStringList problems;
    for (const char* schema : {"main", "data", "state"}) {
        auto st = m_db->statement(std::string("PRAGMA ") + schema + ".integrity_check");
        while (st.step())
            if (st.text(0) != QLatin1String("ok"))
                problems << QStringLiteral("%1: %2").arg(QLatin1String(schema), st.text(0));
    }
    for (const auto& item : snapshot->items)
        for (const ResourcePtr& r : item->asset->resources)
            if (!r->fileSize && !regularFileSize(r->storedPath))
                problems << QStringLiteral("%1 of %2 is missing")
                                .arg(r->storedPath, item->asset->localIdentifier);
    auto journal = m_db->statement("SELECT id, state FROM state.journal");
    while (journal.step())
        problems << (journal.text(1) == QLatin1String("committed")
                         ? QStringLiteral("interrupted change %1 waits to be finished")
                         : QStringLiteral("interrupted change %1 waits to be undone"))
                        .arg(journal.int64(0));
    return problems;
}

} // namespace photos
