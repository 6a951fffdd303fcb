#pragma once

#include <QByteArray>
#include <QCoro/QCoroTask>
#include <QString>

namespace twinslim {

// Exports beyond this size are refused before anything is read: no camera picture comes
// near it, and reading such a file whole would exhaust memory.
inline constexpr qint64 maxExportedFileBytes = qint64(2) << 30;

// The whole exported file at `path`, read off the GUI thread, once it has shown itself to
// be a JPEG or HEIF picture that decodes: a truncated or foreign file must never take an
// original's place. Throws ReplacementError(resourcesNotFound) when the file cannot be
// read, and FileSystemError with the reason when it is too large or is not a picture.
QCoro::Task<QByteArray> readExportedFile(QString path);

} // namespace twinslim
