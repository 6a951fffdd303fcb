#include "platform/photos/shared/DurableWrites.h"

#include "platform/photos/PhotoLibraryError.h"

#include <QFile>
#include <cerrno>
#include <cstdio>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace photos {

std::atomic<bool> refuseNoReplaceRename{false};

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

int renameWithoutReplacing(const QString& from, const QString& to) {
    const QByteArray source = QFile::encodeName(from);
    const QByteArray target = QFile::encodeName(to);
    errno = EINVAL; // as exFAT and network shares answer, under the tests' seam
    if (!refuseNoReplaceRename && ::renameat2(AT_FDCWD, source.constData(), AT_FDCWD,
                                              target.constData(), RENAME_NOREPLACE) == 0)
        return 0;
    if (errno != EINVAL && errno != ENOSYS && errno != EOPNOTSUPP)
        return errno;
    // The file system cannot refuse to replace: an exclusive create claims the name instead.
    const int fd = ::open(target.constData(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0600);
    if (fd < 0)
        return errno;
    struct stat claimed {};
    if (::fstat(fd, &claimed) != 0) {
        const int err = errno;
        ::close(fd);
        ::unlink(target.constData());
        return err;
    }
    ::close(fd);
    // Only a placeholder still ours and still empty is renamed over or removed.
    auto stillOurs = [&] {
        struct stat now {};
        return ::lstat(target.constData(), &now) == 0 && now.st_dev == claimed.st_dev &&
               now.st_ino == claimed.st_ino && now.st_size == 0;
    };
    if (!stillOurs())
        return EEXIST;
    if (::rename(source.constData(), target.constData()) != 0) {
        const int err = errno;
        if (stillOurs())
            ::unlink(target.constData());
        return err;
    }
    return 0;
}

} // namespace photos
