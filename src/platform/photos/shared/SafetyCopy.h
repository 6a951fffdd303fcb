#pragma once

#include <QDateTime>
#include <QString>

namespace photos {

class SqliteDatabase;

// A whole copy of another program's database taken before the first change of a session, so
// that the user can go back to it: schema `schema` of `db` saved as FOLDER/NAME-twinslim-STAMP
// (local time of `now`), written under a temporary name, flushed and renamed into place. A
// copy already there under that name is kept. Only the three newest copies of NAME stay in
// the folder: a library can be large, and every run is a session. Returns the copy's path;
// throws PhotoLibraryError when it cannot be made.
QString saveDatabaseCopy(SqliteDatabase& db, const char* schema, const QString& name,
                         const QString& folder, const QDateTime& now);

} // namespace photos
