#pragma once

#include <QByteArray>
#include <QByteArrayView>
#include <QString>
#include <QStringList>
#include <optional>
#include <string>
#include <type_traits>
#include <unordered_map>
#include <utility>

struct sqlite3;
struct sqlite3_stmt;

namespace photos {

// A prepared statement borrowed from a connection's cache; reset when it goes out of scope.
class SqliteStatement {
public:
    explicit SqliteStatement(sqlite3_stmt* stmt) : m_stmt(stmt) {}
    ~SqliteStatement();
    SqliteStatement(const SqliteStatement&) = delete;
    SqliteStatement& operator=(const SqliteStatement&) = delete;

    SqliteStatement& bind(int index, qint64 value);
    SqliteStatement& bind(int index, int value) { return bind(index, qint64(value)); }
    SqliteStatement& bind(int index, double value);
    SqliteStatement& bind(int index, const QString& value);
    SqliteStatement& bindNull(int index);
    template <typename T> SqliteStatement& bind(int index, const std::optional<T>& value) {
        return value ? bind(index, *value) : bindNull(index);
    }

    // True while a row is available; throws on error.
    bool step();
    void run() {
        while (step()) {
        }
    }

    bool isNull(int column) const;
    qint64 int64(int column) const;
    double real(int column) const;
    QString text(int column) const;
    // The column's UTF-8 text as SQLite holds it, valid until the next step.
    QByteArrayView utf8(int column) const;
    std::optional<qint64> optionalInt64(int column) const;

private:
    sqlite3_stmt* m_stmt;
};

// Whether `path` is an SQLite file holding every table of `tables`: how the stores tell
// another program's database from the many other SQLite files people keep. It is opened for
// writing where allowed, so that a change another program left cut short in it is rolled
// back as any opening would, rather than making it unreadable here.
bool isSqliteFileWithTables(const QString& path, const QStringList& tables);

// One SQLite connection with a cache of prepared statements. Used by one thread at a time.
class SqliteDatabase {
public:
    explicit SqliteDatabase(const QString& path);
    ~SqliteDatabase();
    SqliteDatabase(const SqliteDatabase&) = delete;
    SqliteDatabase& operator=(const SqliteDatabase&) = delete;

    void exec(const char* sql);
    SqliteStatement statement(const std::string& sql);
    qint64 lastInsertRowId() const;
    int changes() const;
    sqlite3* handle() const { return m_db; }

private:
    sqlite3* m_db = nullptr;
    std::unordered_map<std::string, sqlite3_stmt*> m_cache;
};

// Runs `body` inside `begin` … COMMIT, rolling back when it throws.
template <typename F> auto inTransactionBegunBy(SqliteDatabase& db, const char* begin, F&& body) {
    db.exec(begin);
    try {
        if constexpr (std::is_void_v<decltype(body())>) {
            body();
            db.exec("COMMIT");
        } else {
            auto result = body();
            db.exec("COMMIT");
            return result;
        }
    } catch (...) {
        try {
            db.exec("ROLLBACK");
        } catch (...) {
        }
        throw;
    }
}

// Runs `body` inside BEGIN IMMEDIATE … COMMIT, rolling back when it throws.
template <typename F> auto inTransaction(SqliteDatabase& db, F&& body) {
    return inTransactionBegunBy(db, "BEGIN IMMEDIATE", std::forward<F>(body));
}

// Runs `body` in one read transaction, so that all it reads is of one moment and the
// database's lock is taken once, not for each statement.
template <typename F> auto inReadTransaction(SqliteDatabase& db, F&& body) {
    return inTransactionBegunBy(db, "BEGIN", std::forward<F>(body));
}

} // namespace photos
