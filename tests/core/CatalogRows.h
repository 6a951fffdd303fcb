#pragma once

#include <QString>
#include <sqlite3.h>
#include <stdexcept>

// Direct writes into a library's catalogue for states the service's own change API
// cannot make: an old schema, a crafted row, a resource whose size the library does not
// know. The service reads the catalogue afresh at every fetch, so it sees these rows like
// its own.
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

} // namespace catalog
