#pragma once

#include <QString>
#include <gtest/gtest.h>
#include <sqlite3.h>

// The rows `sql` gives in the SQLite database at `database`: columns joined by '|', one line each.
// A statement SQLite refuses fails the running test.
inline QString sqlRows(const QString& database, const QString& sql) {
    sqlite3* db = nullptr;
    QString out;
    char* error = nullptr;
    if (sqlite3_open(database.toUtf8().constData(), &db) != SQLITE_OK ||
        sqlite3_exec(
            db, sql.toUtf8().constData(),
            [](void* text, int n, char** values, char**) {
                for (int i = 0; i < n; ++i)
                    *static_cast<QString*>(text) +=
                        QString::fromUtf8(values[i] ? values[i] : "") + (i + 1 < n ? "|" : "\n");
                return 0;
            },
            &out, &error) != SQLITE_OK)
        ADD_FAILURE() << database.toStdString() << ": " << (error ? error : sqlite3_errmsg(db));
    sqlite3_free(error);
    sqlite3_close(db);
    return out;
}
