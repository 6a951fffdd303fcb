#pragma once

#include <QByteArray>
#include <QString>

// What a library's stores do to make a file or a name last through a crash.
namespace photos {

// Flushes a folder's entries (new names, renames) to disk, as far as the file system lets it.
void syncFolder(const QString& folder);
// Flushes a file to disk; throws PhotoLibraryError when it cannot.
void flushFile(const QString& path);
// Writes a new file (none may be at `path`) and flushes it; throws PhotoLibraryError and leaves
// nothing on failure.
void writeFlushed(const QString& path, const QByteArray& data);

} // namespace photos
