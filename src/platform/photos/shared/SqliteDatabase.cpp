#include "platform/photos/shared/SqliteDatabase.h"

#include "platform/photos/PhotoLibraryError.h"

#include <QFile>
#include <QFileInfo>
#include <cstring>
#include <sqlite3.h>

namespace photos {

// SQLite's text for a failed read or write ("disk I/O error") leaves out why; the system's
// reason (a full disk, a file-size limit, a disk gone) is what the user can act on.
static QString reasonOf(sqlite3* db, const char* sqliteText) {
    QString text = QString::fromUtf8(sqliteText);
    const int code = sqlite3_errcode(db) & 0xFF;
    const int err = sqlite3_system_errno(db);
    if (err != 0 && (code == SQLITE_IOERR || code == SQLITE_FULL || code == SQLITE_CANTOPEN))
        text += QStringLiteral(": ") + QString::fromLocal8Bit(std::strerror(err));
    return text;
}

static PhotoLibraryError sqliteError(sqlite3* db, const char* what) {
    return PhotoLibraryError(PhotoLibraryError::Code::CatalogFailed,
                             QStringLiteral("The photo library catalogue failed (%1: %2).")
                                 .arg(QString::fromUtf8(what), reasonOf(db, sqlite3_errmsg(db))));
}

SqliteStatement::~SqliteStatement() {
    sqlite3_reset(m_stmt);
    sqlite3_clear_bindings(m_stmt);
}

SqliteStatement& SqliteStatement::bind(int index, qint64 value) {
    sqlite3_bind_int64(m_stmt, index, value);
    return *this;
}

SqliteStatement& SqliteStatement::bind(int index, double value) {
    sqlite3_bind_double(m_stmt, index, value);
    return *this;
}

SqliteStatement& SqliteStatement::bind(int index, const QString& value) {
    const QByteArray utf8 = value.toUtf8();
    sqlite3_bind_text(m_stmt, index, utf8.constData(), int(utf8.size()), SQLITE_TRANSIENT);
    return *this;
}

SqliteStatement& SqliteStatement::bindNull(int index) {
    sqlite3_bind_null(m_stmt, index);
    return *this;
}

bool SqliteStatement::step() {
    const int rc = sqlite3_step(m_stmt);
    if (rc == SQLITE_ROW)
        return true;
    if (rc == SQLITE_DONE)
        return false;
    throw sqliteError(sqlite3_db_handle(m_stmt), "step");
}

bool SqliteStatement::isNull(int column) const {
    return sqlite3_column_type(m_stmt, column) == SQLITE_NULL;
}

qint64 SqliteStatement::int64(int column) const {
    return sqlite3_column_int64(m_stmt, column);
}

double SqliteStatement::real(int column) const {
    return sqlite3_column_double(m_stmt, column);
}

QString SqliteStatement::text(int column) const {
    const auto* data = reinterpret_cast<const char*>(sqlite3_column_text(m_stmt, column));
    return QString::fromUtf8(data, sqlite3_column_bytes(m_stmt, column));
}

QByteArrayView SqliteStatement::utf8(int column) const {
    const auto* data = reinterpret_cast<const char*>(sqlite3_column_text(m_stmt, column));
    return QByteArrayView(data, sqlite3_column_bytes(m_stmt, column));
}

std::optional<qint64> SqliteStatement::optionalInt64(int column) const {
    if (isNull(column))
        return std::nullopt;
    return int64(column);
}

SqliteDatabase::SqliteDatabase(const QString& path) {
    const int rc =
        sqlite3_open_v2(path.toUtf8().constData(), &m_db,
                        SQLITE_OPEN_READWRITE | SQLITE_OPEN_CREATE | SQLITE_OPEN_NOMUTEX, nullptr);
    if (rc != SQLITE_OK) {
        PhotoLibraryError error = sqliteError(m_db, "open");
        sqlite3_close(m_db);
        m_db = nullptr;
        throw error;
    }
    // Other programs may hold the catalogue briefly; wait for them rather than fail.
    sqlite3_busy_timeout(m_db, 10000);
    exec("PRAGMA foreign_keys = ON");
    exec("PRAGMA synchronous = NORMAL");
    // A larger page cache than the default 2 MB keeps repeated fetches off the disk;
    // mapping the file instead would count the whole catalogue in every reader's memory.
    exec("PRAGMA cache_size = -8192");
}

SqliteDatabase::~SqliteDatabase() {
    for (auto& [sql, stmt] : m_cache)
        sqlite3_finalize(stmt);
    sqlite3_close(m_db);
}

void SqliteDatabase::exec(const char* sql) {
    char* message = nullptr;
    if (sqlite3_exec(m_db, sql, nullptr, nullptr, &message) != SQLITE_OK) {
        QString text = reasonOf(m_db, message ? message : "unknown");
        sqlite3_free(message);
        throw PhotoLibraryError(
            PhotoLibraryError::Code::CatalogFailed,
            QStringLiteral("The photo library catalogue failed (%1).").arg(text));
    }
}

SqliteStatement SqliteDatabase::statement(const std::string& sql) {
    auto it = m_cache.find(sql);
    if (it == m_cache.end()) {
        sqlite3_stmt* stmt = nullptr;
        if (sqlite3_prepare_v3(m_db, sql.c_str(), int(sql.size()), SQLITE_PREPARE_PERSISTENT, &stmt,
                               nullptr) != SQLITE_OK)
            throw sqliteError(m_db, "prepare");
        it = m_cache.emplace(sql, stmt).first;
    }
    return SqliteStatement(it->second);
}

qint64 SqliteDatabase::lastInsertRowId() const {
    return sqlite3_last_insert_rowid(m_db);
}

int SqliteDatabase::changes() const {
    return sqlite3_changes(m_db);
}

bool isSqliteFileWithTables(const QString& path, const QStringList& tables) {
    QFile f(path);
    if (!QFileInfo(path).isFile() || !f.open(QIODevice::ReadOnly) ||
        f.read(16) != QByteArray("SQLite format 3\0", 16))
        return false;
    f.close();
    sqlite3* db = nullptr;
    const QByteArray name = QFile::encodeName(path);
    if (sqlite3_open_v2(name.constData(), &db, SQLITE_OPEN_READWRITE, nullptr) != SQLITE_OK) {
        sqlite3_close(db);
        db = nullptr;
        if (sqlite3_open_v2(name.constData(), &db, SQLITE_OPEN_READONLY, nullptr) != SQLITE_OK) {
            sqlite3_close(db);
            return false;
        }
    }
    sqlite3_busy_timeout(db, 10000);
    int found = 0;
    sqlite3_stmt* st = nullptr;
    if (sqlite3_prepare_v2(db, "SELECT 1 FROM sqlite_master WHERE type = 'table' AND name = ?", -1,
                           &st, nullptr) == SQLITE_OK)
        for (const QString& table : tables) {
            const QByteArray t = table.toUtf8();
            sqlite3_bind_text(st, 1, t.constData(), int(t.size()), SQLITE_TRANSIENT);
            found += sqlite3_step(st) == SQLITE_ROW ? 1 : 0;
            sqlite3_reset(st);
        }
    sqlite3_finalize(st);
    sqlite3_close(db);
    return !tables.isEmpty() && found == tables.size();
}

} // namespace photos
