#pragma once

#include <QDateTime>
#include <QString>
#include <sqlite3.h>
#include <stdexcept>

// Direct writes into a library's catalogue for states the service's own change API
// cannot make quickly or at all: tens of thousands of assets in a second, or a
// resource whose size the library does not know. The service reads the catalogue
// afresh at every fetch, so it sees these rows like its own.
namespace catalog {

inline void exec(const QString& libraryPath, const QString& sql) {
    sqlite3* db = nullptr;
    const bool ok = sqlite3_open((libraryPath + "/catalog.sqlite").toUtf8(), &db) == SQLITE_OK &&
                    sqlite3_busy_timeout(db, 10000) == SQLITE_OK &&
                    sqlite3_exec(db, sql.toUtf8(), nullptr, nullptr, nullptr) == SQLITE_OK;
    const std::string error = sqlite3_errmsg(db);
    sqlite3_close(db);
    if (!ok)
        throw std::runtime_error(error);
}

// The stored size of one resource becomes unknown.
inline void forgetResourceSize(const QString& libraryPath, const QString& assetId, int ordinal) {
    exec(libraryPath, QStringLiteral("UPDATE resources SET file_size = NULL WHERE ordinal = %1 AND "
                                     "asset_id = (SELECT id FROM assets WHERE uuid = '%2')")
                          .arg(ordinal)
                          .arg(assetId));
}

// `count` JPEG+ARW image assets, one second apart going back from `newest`, every seventh a
// favourite; the stored files do not exist, which only the resource readers would notice.
// Once per library.
inline void insertPairs(const QString& libraryPath, int count, const QDateTime& newest) {
    exec(libraryPath,
         "BEGIN; WITH RECURSIVE n(i) AS (SELECT 0 UNION ALL SELECT i + 1 FROM n WHERE i + 1 < " +
             QString::number(count) +
             ") INSERT INTO assets (uuid, media_type, creation_date, favorite, hidden, added_at)"
             " SELECT 'bulk-' || i || '/L0/001', 1, " +
             QString::number(newest.toMSecsSinceEpoch()) +
             " - i * 1000, i % 7 = 0, 0, 0 FROM n;"
             " INSERT INTO resources (asset_id, ordinal, type, uti, original_filename, file_size,"
             " stored_path) SELECT a.id, r.o, r.t, r.uti, 'DSC' || a.id || r.ext,"
             " 1000 + (a.id % 500) * (r.o + 1), 'resources/bulk/' || a.id || '-' || r.o"
             " FROM assets a, (SELECT 0 AS o, 1 AS t, 'public.jpeg' AS uti, '.JPG' AS ext"
             " UNION ALL SELECT 1, 4, 'com.sony.arw-raw-image', '.ARW') r"
             " WHERE a.uuid LIKE 'bulk-%'; COMMIT;");
}

} // namespace catalog
