#pragma once

#include <QDateTime>
#include <QString>
#include <QUuid>
#include <sqlite3.h>
#include <stdexcept>

// Direct writes into a library's catalogue for states the service's own change API
// cannot make quickly or at all: tens of thousands of assets in a second, or a
// resource whose size the library does not know. The service reads the catalogue
// afresh at every fetch, so it sees these rows like its own.
class CatalogRows {
public:
    explicit CatalogRows(const QString& libraryPath) {
        const QByteArray file = (libraryPath + "/catalog.sqlite").toUtf8();
        if (sqlite3_open(file.constData(), &m_db) != SQLITE_OK)
            throw std::runtime_error("cannot open the catalogue");
        sqlite3_busy_timeout(m_db, 10000);
    }
    ~CatalogRows() { sqlite3_close(m_db); }
    CatalogRows(const CatalogRows&) = delete;
    CatalogRows& operator=(const CatalogRows&) = delete;

    void exec(const QString& sql) {
        char* error = nullptr;
        if (sqlite3_exec(m_db, sql.toUtf8().constData(), nullptr, nullptr, &error) != SQLITE_OK) {
            const std::string message = error ? error : "sqlite error";
            sqlite3_free(error);
            throw std::runtime_error(message);
        }
    }

    // The stored size of one resource becomes unknown.
    void forgetResourceSize(const QString& assetId, int ordinal) {
        exec(QStringLiteral("UPDATE resources SET file_size = NULL WHERE ordinal = %1 AND "
                            "asset_id = (SELECT id FROM assets WHERE uuid = '%2')")
                 .arg(ordinal)
                 .arg(assetId));
    }

    // `count` RAW+JPEG image assets, one second apart going back from `newest`; the
    // stored files do not exist, which only the resource readers would notice.
    void insertPairs(int count, const QDateTime& newest) {
        exec("BEGIN");
        sqlite3_stmt* asset = prepare("INSERT INTO assets (uuid, media_type, creation_date, "
                                      "favorite, hidden, added_at) VALUES (?, 1, ?, ?, 0, 0)");
        sqlite3_stmt* resource =
            prepare("INSERT INTO resources (asset_id, ordinal, type, uti, original_filename, "
                    "file_size, stored_path) VALUES (?, ?, ?, ?, ?, ?, ?)");
        for (int i = 0; i < count; ++i) {
            const QString uuid = QUuid::createUuid().toString(QUuid::WithoutBraces).toUpper();
            const QByteArray id = (uuid + "/L0/001").toUtf8();
            sqlite3_bind_text(asset, 1, id.constData(), int(id.size()), SQLITE_TRANSIENT);
            sqlite3_bind_int64(asset, 2, newest.toMSecsSinceEpoch() - qint64(i) * 1000);
            sqlite3_bind_int(asset, 3, i % 7 == 0 ? 1 : 0);
            step(asset);
            const qint64 rowId = sqlite3_last_insert_rowid(m_db);
            const char* utis[] = {"public.jpeg", "com.sony.arw-raw-image"};
            for (int ordinal = 0; ordinal < 2; ++ordinal) {
                const QByteArray name = QStringLiteral("DSC%1.%2")
                                            .arg(i, 5, 10, QLatin1Char('0'))
                                            .arg(ordinal == 0 ? "JPG" : "ARW")
                                            .toUtf8();
                const QByteArray stored =
                    ("resources/bulk/" + uuid + "-" + QString::number(ordinal)).toUtf8();
                sqlite3_bind_int64(resource, 1, rowId);
                sqlite3_bind_int(resource, 2, ordinal);
                sqlite3_bind_int(resource, 3, ordinal == 0 ? 1 : 4);
                sqlite3_bind_text(resource, 4, utis[ordinal], -1, SQLITE_STATIC);
                sqlite3_bind_text(resource, 5, name.constData(), int(name.size()),
                                  SQLITE_TRANSIENT);
                sqlite3_bind_int64(resource, 6, 1000 + (i % 500) * (ordinal + 1));
                sqlite3_bind_text(resource, 7, stored.constData(), int(stored.size()),
                                  SQLITE_TRANSIENT);
                step(resource);
            }
        }
        sqlite3_finalize(asset);
        sqlite3_finalize(resource);
        exec("COMMIT");
    }

private:
    sqlite3_stmt* prepare(const char* sql) {
        sqlite3_stmt* statement = nullptr;
        if (sqlite3_prepare_v2(m_db, sql, -1, &statement, nullptr) != SQLITE_OK)
            throw std::runtime_error(sqlite3_errmsg(m_db));
        return statement;
    }
    void step(sqlite3_stmt* statement) {
        if (sqlite3_step(statement) != SQLITE_DONE)
            throw std::runtime_error(sqlite3_errmsg(m_db));
        sqlite3_reset(statement);
    }

    sqlite3* m_db = nullptr;
};
