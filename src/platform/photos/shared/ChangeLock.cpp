#include "platform/photos/shared/ChangeLock.h"

#include "platform/photos/PhotoLibraryError.h"

#include <QFile>
#include <fcntl.h>
#include <sys/file.h>
#include <unistd.h>

namespace photos {

ChangeLock::ChangeLock(const QString& stateFolder) {
    const QString path = stateFolder + QStringLiteral("/locks/changes.lock");
    m_fd = ::open(QFile::encodeName(path).constData(), O_RDWR | O_CREAT | O_CLOEXEC, 0644);
    if (m_fd < 0 || ::flock(m_fd, LOCK_EX) != 0) {
        if (m_fd >= 0)
            ::close(m_fd);
        throw PhotoLibraryError(
            PhotoLibraryError::Code::StorageFailed,
            QStringLiteral("The photo library’s lock “%1” cannot be taken.").arg(path));
    }
}

ChangeLock::~ChangeLock() {
    ::close(m_fd);
}

} // namespace photos
