#include "platform/photos/ResourceFiles.h"

#include "platform/photos/PhotoLibraryError.h"

#include <QDir>
#include <QFileInfo>
#include <QRegularExpression>
#include <QUuid>
#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <sys/file.h>
#include <unistd.h>

namespace photos {

namespace {

PhotoLibraryError storageError(const QString& what, const QString& path, int err) {
    return PhotoLibraryError(PhotoLibraryError::Code::StorageFailed,
                             QStringLiteral("Could not %1 “%2”: %3.")
                                 .arg(what, path, QString::fromLocal8Bit(std::strerror(err))));
}

void writeAll(int fd, const char* data, qint64 size, const QString& path) {
    while (size > 0) {
        const ssize_t n = ::write(fd, data, size_t(std::min<qint64>(size, 1 << 20)));
        if (n < 0) {
            if (errno == EINTR)
                continue;
            throw storageError(QStringLiteral("write"), path, errno);
        }
        data += n;
        size -= n;
    }
}

int createExclusive(const QString& path) {
    const int fd =
        ::open(QFile::encodeName(path).constData(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0644);
    if (fd < 0)
        throw storageError(QStringLiteral("create"), path, errno);
    return fd;
}

void finish(int fd, const QString& path) {
    if (::fsync(fd) != 0) {
        const int err = errno;
        ::close(fd);
        throw storageError(QStringLiteral("flush"), path, err);
    }
    if (::close(fd) != 0)
        throw storageError(QStringLiteral("close"), path, errno);
}

// Copies in the kernel where the file system allows it, and starts writing each chunk to
// disk as soon as it is copied, so the final flush has little left to wait for: backups of
// large RAW files then take about as long as a plain copy.
void copyContents(int in, int out, const QString& source, const QString& destination) {
    constexpr size_t chunk = 8 << 20;
    off_t written = 0;
    bool inKernel = true;
    std::vector<char> buffer;
    for (;;) {
        ssize_t n = -1;
        if (inKernel) {
            n = ::copy_file_range(in, nullptr, out, nullptr, chunk, 0);
            if (n < 0 && (errno == EXDEV || errno == ENOSYS || errno == EINVAL ||
                          errno == EOPNOTSUPP || errno == EPERM)) {
                inKernel = false; // nothing was copied by the failed call
                continue;
            }
        } else {
            buffer.resize(chunk);
            n = ::read(in, buffer.data(), buffer.size());
            if (n > 0)
                writeAll(out, buffer.data(), n, destination);
        }
        if (n < 0) {
            if (errno == EINTR)
                continue;
            throw storageError(inKernel ? QStringLiteral("copy") : QStringLiteral("read"), source,
                               errno);
        }
        if (n == 0)
            break;
        ::sync_file_range(out, written, n, SYNC_FILE_RANGE_WRITE);
        written += n;
    }
}

void syncDirectory(const QString& dir) {
    const int fd = ::open(QFile::encodeName(dir).constData(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (fd >= 0) {
        ::fsync(fd);
        ::close(fd);
    }
}

} // namespace

QString ResourceFiles::absolute(const QString& relativePath) const {
    return m_root + QLatin1Char('/') + relativePath;
}

QString ResourceFiles::newStoredPath(const QString& assetIdentifier, int ordinal,
                                     const QString& originalFilename) {
    const QString uuid = assetIdentifier.section(QLatin1Char('/'), 0, 0);
    QString ext = QFileInfo(originalFilename).suffix().toLower();
    ext.remove(QRegularExpression(QStringLiteral("[^a-z0-9]")));
    QString name = QStringLiteral("%1_%2").arg(uuid).arg(ordinal);
    if (!ext.isEmpty())
        name += QLatin1Char('.') + ext;
    return QStringLiteral("resources/%1/%2").arg(uuid.left(2), name);
}

qint64 ResourceFiles::writeData(const QString& relativePath, const QByteArray& data) {
    const QString path = absolute(relativePath);
    const QString dir = QFileInfo(path).absolutePath();
    QDir().mkpath(dir);
    m_touchedDirs.insert(dir);
    const int fd = createExclusive(path);
    try {
        writeAll(fd, data.constData(), data.size(), path);
        finish(fd, path);
    } catch (...) {
        ::close(fd);
        QFile::remove(path);
        throw;
    }
    return data.size();
}

qint64 ResourceFiles::copyFile(const QString& relativePath, const QString& sourcePath) {
    const QString path = absolute(relativePath);
    const QString dir = QFileInfo(path).absolutePath();
    QDir().mkpath(dir);
    m_touchedDirs.insert(dir);
    streamCopy(sourcePath, path);
    return QFileInfo(path).size();
}

void ResourceFiles::syncDirectories() {
    for (const QString& dir : std::as_const(m_touchedDirs))
        syncDirectory(dir);
    syncDirectory(m_root + QStringLiteral("/resources"));
}

void ResourceFiles::remove(const QString& relativePath) {
    QFile::remove(absolute(relativePath));
}

void ResourceFiles::streamCopy(const QString& source, const QString& destination) {
    const int in = ::open(QFile::encodeName(source).constData(), O_RDONLY | O_CLOEXEC);
    if (in < 0)
        throw storageError(QStringLiteral("read"), source, errno);
    int out = -1;
    bool created = false; // only a file this call made may be removed on failure
    try {
        out = createExclusive(destination);
        created = true;
        copyContents(in, out, source, destination);
        finish(std::exchange(out, -1), destination);
        ::close(in);
    } catch (...) {
        ::close(in);
        if (out >= 0)
            ::close(out);
        if (created)
            QFile::remove(destination);
        throw;
    }
}

static QString lockPath(const QString& libraryPath, const QString& token) {
    return libraryPath + QStringLiteral("/locks/") + token + QStringLiteral(".lock");
}

OwnerLock::OwnerLock(const QString& libraryPath)
    : m_token(QUuid::createUuid().toString(QUuid::WithoutBraces)),
      m_path(lockPath(libraryPath, m_token)) {
    QDir().mkpath(libraryPath + QStringLiteral("/locks"));
    m_fd = ::open(QFile::encodeName(m_path).constData(), O_RDWR | O_CREAT | O_CLOEXEC, 0644);
    if (m_fd < 0 || ::flock(m_fd, LOCK_EX | LOCK_NB) != 0)
        throw storageError(QStringLiteral("lock"), m_path, errno);
}

OwnerLock::~OwnerLock() {
    QFile::remove(m_path);
    if (m_fd >= 0)
        ::close(m_fd);
}

bool OwnerLock::isAlive(const QString& libraryPath, const QString& token) {
    const QString path = lockPath(libraryPath, token);
    const int fd = ::open(QFile::encodeName(path).constData(), O_RDWR | O_CLOEXEC);
    if (fd < 0)
        return false;
    const bool held = ::flock(fd, LOCK_EX | LOCK_NB) != 0 && errno == EWOULDBLOCK;
    ::close(fd);
    return held;
}

void OwnerLock::removeStaleLocks(const QString& libraryPath, const QString& selfToken) {
    QDir dir(libraryPath + QStringLiteral("/locks"));
    for (const QString& name : dir.entryList({QStringLiteral("*.lock")}, QDir::Files)) {
        const QString token = name.chopped(5);
        if (token != selfToken && !isAlive(libraryPath, token))
            QFile::remove(dir.filePath(name));
    }
}

} // namespace photos
