#pragma once

#include <QByteArray>
#include <QString>
#include <functional>

// Reading files without mapping them; for the imaging library and the image manager.
namespace imaging::detail {

// Up to `maxLength` bytes (all when negative) from the start of the file at `path`, read with
// pread, never mapped: a file that shrinks, or a disk that goes away, while it is read gives
// fewer bytes or none, where touching a mapping would kill the process with SIGBUS. Empty when
// the file cannot be opened or read.
QByteArray readFileBytes(const QString& path, qint64 maxLength = -1);
// The same from the start of a file already open; the descriptor's offset is left alone.
QByteArray readFileBytes(int fd, qint64 maxLength = -1);

// For tests: called after readFileBytes has opened a file and taken its size, before reading,
// so a test can change the file in between. Not thread-safe; empty to remove.
void setFileOpenedHook(std::function<void()> hook);
void runFileOpenedHook();

} // namespace imaging::detail
