#pragma once

#include <QByteArray>
#include <QCoro/QCoroTask>
#include <QString>
#include <memory>

namespace twinslim {

// Exports beyond this size are refused before anything is read: no camera picture comes
// near it, and reading such a file whole would exhaust memory.
inline constexpr qint64 maxExportedFileBytes = qint64(2) << 30;

// The whole exported file at `path`, read off the GUI thread, once it has shown itself to
// be a JPEG or HEIF picture that decodes: a truncated or foreign file must never take an
// original's place. Throws ReplacementError(resourcesNotFound) when the file cannot be
// read, and FileSystemError with the reason when it is too large or is not a picture.
QCoro::Task<QByteArray> readExportedFile(QString path);

// That read, started now on a worker thread and awaited later, so that the check of one
// export (which waits on the processor) runs while the originals of another are backed up
// (which waits on the disk). Dropped without being awaited, it ends on its own.
class StartedExportRead {
public:
    explicit StartedExportRead(QString path);
    // What readExportedFile gives; awaited at most once.
    QCoro::Task<QByteArray> result();

    struct Shared;

private:
    std::shared_ptr<Shared> m_shared;
};

} // namespace twinslim
