#include "platform/photos/shared/ResourceFiles.h"

#include "platform/photos/PhotoLibraryError.h"

#include <QDir>
#include <QFileInfo>
#include <QRegularExpression>
#include <QUuid>
#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
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

int flushFile(int fd) {
    const auto& calls = ResourceFiles::syscallsForTesting();
    return calls.fsync ? calls.fsync(fd) : ::fsync(fd);
}

int closeFile(int fd) {
    const auto& calls = ResourceFiles::syscallsForTesting();
    return calls.close ? calls.close(fd) : ::close(fd);
}

// Flushes and closes a new file. The descriptor is given up whatever happens (close releases
// it even when it fails), so `fd` is cleared first and no error path can close it again.
void finish(int& descriptor, const QString& path) {
    const int fd = std::exchange(descriptor, -1);
    if (flushFile(fd) != 0) {
        const int err = errno;
        closeFile(fd);
        throw storageError(QStringLiteral("flush"), path, err);
    }
    if (closeFile(fd) != 0)
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

int openSource(const QString& source) {
    const int fd = ::open(QFile::encodeName(source).constData(), O_RDONLY | O_CLOEXEC);
    if (fd < 0)
        throw storageError(QStringLiteral("read"), source, errno);
    return fd;
}

// Copies the open file `in` (closed here), read from `source`, into a new file made by `create`,
// flushed and closed; on failure a file this call made is removed by `discard`.
template <typename Create, typename Discard>
void copyToNewFile(int in, const QString& source, const QString& destination, Create create,
                   Discard discard) {
    int out = -1;
    bool created = false; // only a file this call made may be removed on failure
    try {
        out = create();
        created = true;
        copyContents(in, out, source, destination);
        finish(out, destination);
        ::close(in);
    } catch (...) {
        ::close(in);
        if (out >= 0)
            ::close(out);
        if (created)
            discard();
        throw;
    }
}

struct Descriptor {
    explicit Descriptor(int f) : fd(f) {}
    ~Descriptor() {
        if (fd >= 0)
            ::close(fd);
    }
    Descriptor(const Descriptor&) = delete;
    Descriptor& operator=(const Descriptor&) = delete;
    int fd;
};

bool isUpperHex(QChar c) {
    return (c >= u'0' && c <= u'9') || (c >= u'A' && c <= u'F');
}

void syncDirectory(const QString& dir) {
    const Descriptor fd(
        ::open(QFile::encodeName(dir).constData(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    if (fd.fd < 0 || flushFile(fd.fd) != 0)
        throw storageError(QStringLiteral("flush"), dir, errno);
}

} // namespace

ResourceFiles::Syscalls& ResourceFiles::syscallsForTesting() {
    static Syscalls calls;
    return calls;
}

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

bool ResourceFiles::isValidStoredPath(const QString& relativePath) {
    // resources/XX/ then the asset's UUID starting with XX, "_", the ordinal, an optional
    // lower-case extension.
    const QLatin1String prefix("resources/");
    if (!relativePath.startsWith(prefix))
        return false;
    const QStringView rest = QStringView(relativePath).mid(prefix.size());
    constexpr int uuidLength = 36;
    if (rest.size() < 3 + uuidLength + 2 || rest[2] != u'/')
        return false;
    const QStringView uuid = rest.mid(3, uuidLength);
    if (rest.left(2) != uuid.left(2))
        return false;
    for (int i = 0; i < uuidLength; ++i) {
        const bool dash = i == 8 || i == 13 || i == 18 || i == 23;
        if (dash ? uuid[i] != u'-' : !isUpperHex(uuid[i]))
            return false;
    }
    const QStringView tail = rest.mid(3 + uuidLength);
    qsizetype i = 1;
    if (tail[0] != u'_')
        return false;
    while (i < tail.size() && tail[i].isDigit() && tail[i].unicode() < 128)
        ++i;
    if (i == 1)
        return false;
    if (i == tail.size())
        return true;
    if (tail[i] != u'.' || i + 1 == tail.size())
        return false;
    for (++i; i < tail.size(); ++i)
        if (!(tail[i] >= u'a' && tail[i] <= u'z') && !(tail[i] >= u'0' && tail[i] <= u'9'))
            return false;
    return true;
}

QString ResourceFiles::readablePath(const QString& relativePath) const {
    if (!isValidStoredPath(relativePath))
        return {};
    const QString path = absolute(relativePath);
    struct stat st {};
    for (const QString& dir :
         {m_root + QStringLiteral("/resources"), path.section(QLatin1Char('/'), 0, -2)}) {
        if (::lstat(QFile::encodeName(dir).constData(), &st) != 0)
            return path; // missing: readers report that themselves
        if (!S_ISDIR(st.st_mode))
            return {};
    }
    if (::lstat(QFile::encodeName(path).constData(), &st) == 0 && !S_ISREG(st.st_mode))
        return {};
    return path;
}

int ResourceFiles::openFolder(const QString& relativePath, bool create) const {
    if (!isValidStoredPath(relativePath)) {
        errno = EINVAL;
        return -1;
    }
    const QByteArray resources = QFile::encodeName(m_root + QStringLiteral("/resources"));
    if (create)
        ::mkdir(resources.constData(), 0755);
    const Descriptor top(
        ::open(resources.constData(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
    if (top.fd < 0)
        return -1;
    const QByteArray folder = QFile::encodeName(relativePath.section(QLatin1Char('/'), 1, 1));
    if (create && ::mkdirat(top.fd, folder.constData(), 0755) != 0 && errno != EEXIST)
        return -1;
    return ::openat(top.fd, folder.constData(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
}

qint64 ResourceFiles::writeData(const QString& relativePath, const QByteArray& data) {
    const QString path = absolute(relativePath);
    const Descriptor dir(openFolder(relativePath, true));
    if (dir.fd < 0)
        throw storageError(QStringLiteral("create"), path, errno);
    m_touchedDirs.insert(relativePath.section(QLatin1Char('/'), 1, 1));
    const QByteArray name = QFile::encodeName(relativePath.section(QLatin1Char('/'), 2));
    int fd = ::openat(dir.fd, name.constData(),
                      O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0644);
    if (fd < 0)
        throw storageError(QStringLiteral("create"), path, errno);
    try {
        writeAll(fd, data.constData(), data.size(), path);
        finish(fd, path);
    } catch (...) {
        if (fd >= 0)
            ::close(fd);
        ::unlinkat(dir.fd, name.constData(), 0);
        throw;
    }
    return data.size();
}

qint64 ResourceFiles::copyFile(const QString& relativePath, const QString& sourcePath) {
    const QString path = absolute(relativePath);
    const Descriptor dir(openFolder(relativePath, true));
    if (dir.fd < 0)
        throw storageError(QStringLiteral("create"), path, errno);
    m_touchedDirs.insert(relativePath.section(QLatin1Char('/'), 1, 1));
    const QByteArray name = QFile::encodeName(relativePath.section(QLatin1Char('/'), 2));
    copyToNewFile(
        openSource(sourcePath), sourcePath, path,
        [&] {
            const int fd = ::openat(dir.fd, name.constData(),
                                    O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0644);
            if (fd < 0)
                throw storageError(QStringLiteral("create"), path, errno);
            return fd;
        },
        [&] { ::unlinkat(dir.fd, name.constData(), 0); });
    struct stat st {};
    if (::fstatat(dir.fd, name.constData(), &st, AT_SYMLINK_NOFOLLOW) != 0) {
        const int err = errno;
        ::unlinkat(dir.fd, name.constData(), 0);
        throw storageError(QStringLiteral("read"), path, err);
    }
    return st.st_size;
}

void ResourceFiles::syncDirectories() {
    for (const QString& dir : std::as_const(m_touchedDirs))
        syncDirectory(m_root + QStringLiteral("/resources/") + dir);
    syncDirectory(m_root + QStringLiteral("/resources"));
}

bool ResourceFiles::remove(const QString& relativePath) {
    const Descriptor dir(openFolder(relativePath, false));
    if (dir.fd < 0)
        return errno == ENOENT; // no folder, no file
    const QByteArray name = QFile::encodeName(relativePath.section(QLatin1Char('/'), 2));
    if (::unlinkat(dir.fd, name.constData(), 0) != 0 && errno != ENOENT)
        return false;
    // Flushed even when already gone: an earlier removal may not have reached the disk.
    return flushFile(dir.fd) == 0;
}

void ResourceFiles::streamCopy(const QString& source, const QString& destination) {
    copyToNewFile(
        openSource(source), source, destination, [&] { return createExclusive(destination); },
        [&] { QFile::remove(destination); });
}

int ResourceFiles::openForReading(const QString& relativePath) const {
    const Descriptor dir(openFolder(relativePath, false));
    if (dir.fd < 0)
        return -1;
    return openPlainFileAt(
        dir.fd, QFile::encodeName(relativePath.section(QLatin1Char('/'), 2)).constData());
}

int ResourceFiles::openPlainFileAt(int dirFd, const char* name) {
    // Not blocking: a pipe put where a picture should be must not hold the reader.
    const int fd = ::openat(dirFd, name, O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0)
        return -1;
    struct stat st {};
    if (::fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) {
        ::close(fd);
        errno = EINVAL;
        return -1;
    }
    return fd;
}

void ResourceFiles::copyOut(const QString& relativePath, const QString& destination) const {
    const int in = openForReading(relativePath);
    if (in < 0) {
        if (errno == ENOENT)
            throw storageError(QStringLiteral("read"), absolute(relativePath), errno);
        throw PhotoLibraryError(
            PhotoLibraryError::Code::InvalidResource,
            QStringLiteral("“%1” is not a file of the library.").arg(relativePath));
    }
    copyToNewFile(
        in, absolute(relativePath), destination, [&] { return createExclusive(destination); },
        [&] { QFile::remove(destination); });
}

static QString lockPath(const QString& libraryPath, const QString& token) {
    return libraryPath + QStringLiteral("/locks/") + token + QStringLiteral(".lock");
}

OwnerLock::OwnerLock(const QString& libraryPath)
    : m_token(QUuid::createUuid().toString(QUuid::WithoutBraces)),
      m_path(lockPath(libraryPath, m_token)) {
    // The file gets its name only once it is locked: another opener that finds a lock file
    // unlocked takes its owner for dead and removes it, then cleans up its changes.
    const QString dir = libraryPath + QStringLiteral("/locks");
    QDir().mkpath(dir);
    const QByteArray name = QFile::encodeName(m_path);
    if (withoutUnnamedFilesForTesting()) {
        m_fd = -1;
        errno = EOPNOTSUPP;
    } else {
        m_fd = ::open(QFile::encodeName(dir).constData(), O_RDWR | O_TMPFILE | O_CLOEXEC, 0644);
    }
    QString temporary; // where O_TMPFILE is missing: a name no opener judges, renamed when locked
    if (m_fd < 0 && (errno == EOPNOTSUPP || errno == EISDIR)) {
        temporary = dir + QLatin1Char('/') + m_token + QStringLiteral(".new");
        m_fd = ::open(QFile::encodeName(temporary).constData(),
                      O_RDWR | O_CREAT | O_EXCL | O_CLOEXEC, 0644);
    }
    if (m_fd < 0)
        throw storageError(QStringLiteral("lock"), m_path, errno);
    if (beforeLockForTesting())
        beforeLockForTesting()();
    bool placed = ::flock(m_fd, LOCK_EX | LOCK_NB) == 0;
    if (placed && temporary.isEmpty()) {
        const QByteArray self = "/proc/self/fd/" + QByteArray::number(m_fd);
        placed = ::linkat(AT_FDCWD, self.constData(), AT_FDCWD, name.constData(),
                          AT_SYMLINK_FOLLOW) == 0;
        if (!placed && errno == ENOENT) // no /proc; this form needs privileges instead
            placed = ::linkat(m_fd, "", AT_FDCWD, name.constData(), AT_EMPTY_PATH) == 0;
    } else if (placed) {
        placed = ::rename(QFile::encodeName(temporary).constData(), name.constData()) == 0;
    }
    if (!placed) {
        const int err = errno;
        ::close(std::exchange(m_fd, -1));
        if (!temporary.isEmpty())
            QFile::remove(temporary);
        throw storageError(QStringLiteral("lock"), m_path, err);
    }
}

bool& OwnerLock::withoutUnnamedFilesForTesting() {
    static bool without = false;
    return without;
}

std::function<void()>& OwnerLock::beforeLockForTesting() {
    static std::function<void()> hook;
    return hook;
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
