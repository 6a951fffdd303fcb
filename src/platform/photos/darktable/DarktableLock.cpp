#include "platform/photos/darktable/DarktableLock.h"

#include "platform/photos/PhotoLibraryError.h"

#include <QFile>
#include <QFileInfo>
#include <cerrno>
#include <csignal>
#include <fcntl.h>
#include <unistd.h>

namespace photos {

namespace {

QString lockPathOf(const QString& database) {
    return database + QStringLiteral(".lock");
}

std::optional<qint64> recordedPid(const QString& lockPath) {
    QFile f(lockPath);
    if (!f.open(QIODevice::ReadOnly))
        return std::nullopt;
    bool ok = false;
    const qint64 pid = f.read(64).trimmed().toLongLong(&ok);
    if (!ok || pid <= 0)
        return std::nullopt;
    return pid;
}

bool alive(qint64 pid) {
    return ::kill(pid_t(pid), 0) == 0 || errno == EPERM;
}

} // namespace

std::optional<qint64> DarktableLock::liveHolder(const QString& database) {
    const auto pid = recordedPid(lockPathOf(database));
    if (pid && *pid != ::getpid() && alive(*pid))
        return pid;
    return std::nullopt;
}

QString DarktableLock::runningMessage(const QString& database, qint64 pid) {
    return QStringLiteral("darktable is using the library “%1” (process %2). Close darktable, "
                          "then try again: changes made while it runs would be lost.")
        .arg(database)
        .arg(pid);
}

DarktableLock::DarktableLock(const QString& database) : m_lockPath(lockPathOf(database)) {
    const QByteArray path = QFile::encodeName(m_lockPath);
    for (int attempt = 0; attempt < 2; ++attempt) {
        const int fd = ::open(path.constData(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0644);
        if (fd >= 0) {
            const QByteArray pid = QByteArray::number(qint64(::getpid()));
            const bool written = ::write(fd, pid.constData(), size_t(pid.size())) == pid.size();
            ::close(fd);
            if (!written) {
                ::unlink(path.constData());
                break;
            }
            return;
        }
        if (errno != EEXIST)
            break;
        if (const auto pid = liveHolder(database))
            throw PhotoLibraryError(PhotoLibraryError::Code::AccessDenied,
                                    runningMessage(database, *pid));
        // Stale: left by a process that is gone (or unreadable), as darktable treats it.
        ::unlink(path.constData());
    }
    throw PhotoLibraryError(
        PhotoLibraryError::Code::StorageFailed,
        QStringLiteral("The darktable library’s lock “%1” cannot be taken.").arg(m_lockPath));
}

DarktableLock::~DarktableLock() {
    if (recordedPid(m_lockPath) == std::optional<qint64>(::getpid()))
        ::unlink(QFile::encodeName(m_lockPath).constData());
}

} // namespace photos
