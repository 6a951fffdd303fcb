#pragma once

#include <QByteArray>
#include <QString>
#include <functional>

// Files that hold a user's data are never seen half-written: they are written under a
// temporary name in the same folder, flushed, renamed into place, and the folder is
// flushed, so a crash, a kill or a full disk leaves the old state or the new one.
namespace twinslim::durable {

// The temporary name a file is written under before it is renamed to `finalPath`: hidden,
// in the same folder, and the same for every attempt, so a leftover of an interrupted
// attempt is replaced by the next one instead of piling up.
QString temporaryPathFor(const QString& finalPath);

// Writes `data` to `path` that way, replacing a file already there. Throws FileSystemError
// with the system's description, and the temporary file is removed. A failure up to the
// rename leaves whatever was at `path` before untouched; after it only the folder's flush can
// fail, and then `path` holds the complete new file, which a crash may still take back to the
// old one.
void writeFile(const QString& path, const QByteArray& data);

// Like writeFile, but never replaces anything: false when a file of that name exists
// already (also one another process placed a moment ago), true once written.
bool writeNewFile(const QString& path, const QByteArray& data);

// Flushes the complete file at `temporaryPath` and renames it to `finalPath` (replacing a
// file there), then flushes the folder unless the caller flushes it later itself, after
// several renames into it. Throws FileSystemError; the temporary file is removed on failure.
// As with writeFile, a failed folder flush leaves the new file in place.
enum class FolderSync { now, byCaller };
void commitFile(const QString& temporaryPath, const QString& finalPath,
                FolderSync folderSync = FolderSync::now);

// Flushes a folder's entries (new, renamed or removed files) to disk. Throws FileSystemError.
void syncDirectory(const QString& folder);

// Flushes an open file or folder `fd` (named `path`) and returns ::fsync's result, errno set
// as it left it. For the flushes made outside the functions above.
int flush(int fd, const QString& path);

// Called with the path before each flush here, on the thread that flushes: a flush may wait
// on the disk for long, and this tells which thread waits. Set it while no flush runs; an
// empty function removes it.
void setFlushObserver(std::function<void(const QString& path)> observer);

} // namespace twinslim::durable
