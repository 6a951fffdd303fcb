#include "platform/photos/WorkLock.h"

#include "platform/photos/PhotoLibraryError.h"
#include "platform/photos/catalog/CatalogStore.h"
#include "platform/photos/darktable/DarktableStore.h"
#include "platform/photos/digikam/DigikamStore.h"
#include "platform/photos/folder/FolderStore.h"
#include "platform/photos/shotwell/ShotwellStore.h"

#include <QDir>
#include <QFile>
#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <sys/file.h>
#include <unistd.h>

namespace photos {

WorkLock::~WorkLock() {
    if (m_fd >= 0)
        ::close(m_fd); // drops the flock
}

std::unique_ptr<WorkLock> WorkLock::tryAcquire(const QString& libraryPath, const QString& name,
                                               Held* held) {
    // Beside the library's own locks: never among a folder library's pictures.
    const QString folder =
        (CatalogStore::isCatalogueLibrary(libraryPath) ? libraryPath
         : DarktableStore::isDarktableLibrary(libraryPath)
             ? DarktableStore::stateFolderOf(libraryPath)
         : DigikamStore::isDigikamDatabase(libraryPath) ? DigikamStore::stateFolderOf(libraryPath)
         : ShotwellStore::isShotwellDatabase(libraryPath)
             ? ShotwellStore::stateFolderOf(libraryPath)
             : FolderStore::stateFolderOf(libraryPath)) +
        QStringLiteral("/locks");
    QDir().mkpath(folder);
    const QString path = folder + QLatin1Char('/') + name + QStringLiteral(".work");
    const int fd = ::open(QFile::encodeName(path).constData(),
                          O_RDWR | O_CREAT | O_CLOEXEC | O_NOFOLLOW, 0644);
    if (fd < 0)
        throw PhotoLibraryError(PhotoLibraryError::Code::StorageFailed,
                                QStringLiteral("Could not open the lock “%1”: %2.")
                                    .arg(path, QString::fromLocal8Bit(std::strerror(errno))));
    // A separate open file description: flock then also keeps two holders in one process apart.
    if (::flock(fd, LOCK_EX | LOCK_NB) != 0) {
        if (held) {
            char text[32] = {};
            const ssize_t n = ::pread(fd, text, sizeof text - 1, 0);
            bool ok = false;
            const qint64 pid = n > 0 ? QByteArray(text, int(n)).trimmed().toLongLong(&ok) : 0;
            held->holderPid = ok && pid > 0 ? std::optional<qint64>(pid) : std::nullopt;
        }
        ::close(fd);
        return nullptr;
    }
    // Who holds it, for the message another process shows; best effort.
    const QByteArray pid = QByteArray::number(qint64(::getpid())) + '\n';
    if (::ftruncate(fd, 0) == 0)
        (void)!::pwrite(fd, pid.constData(), size_t(pid.size()), 0);
    return std::unique_ptr<WorkLock>(new WorkLock(fd));
}

} // namespace photos
