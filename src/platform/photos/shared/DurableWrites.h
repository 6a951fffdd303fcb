#pragma once

#include <QByteArray>
#include <QString>
#include <atomic>

// What a library's stores do to make a file or a name last through a crash.
namespace photos {

// Flushes a folder's entries (new names, renames) to disk, as far as the file system lets it.
void syncFolder(const QString& folder);
// Flushes a file to disk; throws PhotoLibraryError when it cannot.
void flushFile(const QString& path);
// Writes a new file (none may be at `path`) and flushes it; throws PhotoLibraryError and leaves
// nothing on failure.
void writeFlushed(const QString& path, const QByteArray& data);

// Renames `from` to `to` unless a file already has that name. Returns 0, or the errno of the
// failure: EEXIST when the name is taken, and then `from` stays where it was. Where the file
// system cannot refuse to replace (exFAT, vfat, network shares), the name is claimed by an
// exclusive create and the rename goes over that empty placeholder, which is removed again
// when the rename fails. Only a writer that does not create exclusively can slip in between
// the claim and the rename (the stores call this under their change lock, so none of ours);
// an interruption between the two can leave the empty placeholder behind.
int renameWithoutReplacing(const QString& from, const QString& to);

// Tests only: when set, the no-replace rename is refused as exFAT and network shares refuse it.
extern std::atomic<bool> refuseNoReplaceRename;

} // namespace photos
