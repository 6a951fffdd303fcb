#include "backup/DurableFile.h"

#include "library/ReplacementError.h"
#include "platform/photos/shared/DurableWrites.h"

#include <QFile>
#include <QFileInfo>
#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <unistd.h>

namespace twinslim::durable {
namespace {

[[noreturn]] void fail(const QString& what, const QString& path, int err) {
    throw FileSystemError(QStringLiteral("Could not %1 “%2”: %3.")
                              .arg(what, path, QString::fromLocal8Bit(std::strerror(err))));
}

QByteArray encoded(const QString& path) {
    return QFile::encodeName(path);
}

std::function<void(const QString&)>& flushObserver() {
    static std::function<void(const QString&)> observer;
    return observer;
}

void removeQuietly(const QString& path) {
    ::unlink(encoded(path).constData());
}

// Closes exactly once, whatever happens: a second close could hit another thread's file.
void closeChecked(int fd, const QString& path) {
    if (::close(fd) != 0 && errno != EINTR)
        fail(QStringLiteral("close"), path, errno);
}

} // namespace

int flush(int fd, const QString& path) {
    if (flushObserver())
        flushObserver()(path);
    return ::fsync(fd);
}

void setFlushObserver(std::function<void(const QString& path)> observer) {
    flushObserver() = std::move(observer);
}

QString temporaryPathFor(const QString& finalPath) {
    const QFileInfo info(finalPath);
    return info.path() + QStringLiteral("/.") + info.fileName() + QStringLiteral(".partial");
}

void syncDirectory(const QString& folder) {
    const int fd = ::open(encoded(folder).constData(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (fd < 0)
        fail(QStringLiteral("open the folder"), folder, errno);
    const int result = flush(fd, folder);
    const int err = errno;
    ::close(fd);
    // Some file systems cannot flush a folder at all; the rename is as durable as they allow.
    if (result != 0 && err != EINVAL && err != EROFS)
        fail(QStringLiteral("flush the folder"), folder, err);
}

namespace {

// Writes and flushes `data` under `temporary`, created anew; the file is removed on failure.
void writeTemporary(const QString& temporary, const QString& path, const QByteArray& data);

} // namespace

bool writeNewFile(const QString& path, const QByteArray& data) {
    // A name of this process's own, so that writers of one name never share a temporary file.
    const QString temporary =
        temporaryPathFor(path) + QLatin1Char('.') + QString::number(::getpid());
    removeQuietly(temporary);
    writeTemporary(temporary, path, data);
    // A rename that never replaces: exactly one writer gets the name, also on the drives
    // without hard links (exFAT, vfat) that backups and logs often go to.
    const int err = photos::renameWithoutReplacing(temporary, path);
    if (err != 0) {
        removeQuietly(temporary);
        if (err == EEXIST)
            return false;
        fail(QStringLiteral("create"), path, err);
    }
    syncDirectory(QFileInfo(path).path());
    return true;
}

namespace {

// Renames the flushed file `temporaryPath` to `finalPath`, then flushes the folder unless the
// caller will; the temporary file is removed on failure.
void renameIntoPlace(const QString& temporaryPath, const QString& finalPath,
                     FolderSync folderSync) {
    if (::rename(encoded(temporaryPath).constData(), encoded(finalPath).constData()) != 0) {
        const int err = errno;
        removeQuietly(temporaryPath);
        fail(QStringLiteral("rename into"), finalPath, err);
    }
    if (folderSync == FolderSync::now)
        syncDirectory(QFileInfo(finalPath).path());
}

} // namespace

void writeFile(const QString& path, const QByteArray& data) {
    const QString temporary = temporaryPathFor(path);
    removeQuietly(temporary);
    // Flushed as written: flushing it again before the rename would only cost the disk a
    // cache flush of its own.
    writeTemporary(temporary, path, data);
    renameIntoPlace(temporary, path, FolderSync::now);
}

namespace {

void writeTemporary(const QString& temporary, const QString& path, const QByteArray& data) {
    const int fd =
        ::open(encoded(temporary).constData(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0644);
    if (fd < 0)
        fail(QStringLiteral("create"), temporary, errno);
    const char* next = data.constData();
    qint64 left = data.size();
    while (left > 0) {
        const ssize_t n = ::write(fd, next, size_t(std::min<qint64>(left, 1 << 20)));
        if (n < 0) {
            if (errno == EINTR)
                continue;
            const int err = errno;
            ::close(fd);
            removeQuietly(temporary);
            fail(QStringLiteral("write"), path, err);
        }
        next += n;
        left -= n;
    }
    if (flush(fd, temporary) != 0) {
        const int err = errno;
        ::close(fd);
        removeQuietly(temporary);
        fail(QStringLiteral("flush"), path, err);
    }
    try {
        closeChecked(fd, temporary);
    } catch (...) {
        removeQuietly(temporary);
        throw;
    }
}

} // namespace

void commitFile(const QString& temporaryPath, const QString& finalPath, FolderSync folderSync) {
    try {
        // The writer may not have flushed (a resource manager streams and returns), so the
        // bytes are made durable here before the name makes them count.
        const int fd = ::open(encoded(temporaryPath).constData(), O_RDONLY | O_CLOEXEC);
        if (fd < 0)
            fail(QStringLiteral("open"), temporaryPath, errno);
        if (flush(fd, temporaryPath) != 0) {
            const int err = errno;
            ::close(fd);
            fail(QStringLiteral("flush"), finalPath, err);
        }
        ::close(fd);
    } catch (...) {
        removeQuietly(temporaryPath);
        throw;
    }
    renameIntoPlace(temporaryPath, finalPath, folderSync);
}

} // namespace twinslim::durable
