#include "platform/photos/DurableWrites.h"

#include "platform/photos/PhotoLibraryError.h"

#include <QFile>
#include <fcntl.h>
#include <unistd.h>

namespace photos {

void syncFolder(const QString& folder) {
    const int fd =
        ::open(QFile::encodeName(folder).constData(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (fd < 0)
        return;
    ::fsync(fd);
    ::close(fd);
}

void flushFile(const QString& path) {
    const int fd = ::open(QFile::encodeName(path).constData(), O_RDONLY | O_CLOEXEC);
    const bool ok = fd >= 0 && ::fsync(fd) == 0;
    if (fd >= 0)
        ::close(fd);
    if (!ok)
        throw PhotoLibraryError(PhotoLibraryError::Code::StorageFailed,
                                QStringLiteral("“%1” cannot be flushed.").arg(path));
}

void writeFlushed(const QString& path, const QByteArray& data) {
    const QByteArray raw = QFile::encodeName(path);
    const int fd = ::open(raw.constData(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0644);
    if (fd < 0)
        throw PhotoLibraryError(PhotoLibraryError::Code::StorageFailed,
                                QStringLiteral("“%1” cannot be written.").arg(path));
    qint64 done = 0;
    while (done < data.size()) {
        const ssize_t n = ::write(fd, data.constData() + done, size_t(data.size() - done));
        if (n <= 0)
            break;
        done += n;
    }
    const bool ok = done == data.size() && ::fsync(fd) == 0;
    ::close(fd);
    if (!ok) {
        ::unlink(raw.constData());
        throw PhotoLibraryError(PhotoLibraryError::Code::StorageFailed,
                                QStringLiteral("“%1” cannot be written.").arg(path));
    }
}

} // namespace photos
