#include "platform/photos/shared/FreedesktopTrash.h"

#include "platform/photos/PhotoLibraryError.h"
#include "platform/photos/shared/DurableWrites.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QUrl>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace photos {

namespace {

PhotoLibraryError trashError(const QString& what, int error) {
    return PhotoLibraryError(
        PhotoLibraryError::Code::StorageFailed,
        QStringLiteral("%1 (%2)").arg(what, QString::fromLocal8Bit(std::strerror(error))));
}

QString homeDataFolder() {
    const QString xdg = qEnvironmentVariable("XDG_DATA_HOME");
    return !xdg.isEmpty() && QDir::isAbsolutePath(xdg)
               ? xdg
               : QDir::homePath() + QStringLiteral("/.local/share");
}

// A trash folder with files/ and info/, made private to the user when new.
void prepare(const QString& trash) {
    for (const QString& sub :
         {trash, trash + QStringLiteral("/files"), trash + QStringLiteral("/info")}) {
        const QByteArray raw = QFile::encodeName(sub);
        if (::mkdir(raw.constData(), 0700) != 0 && errno != EEXIST)
            throw trashError(QStringLiteral("The trash “%1” cannot be made.").arg(sub), errno);
        struct stat st {};
        if (::lstat(raw.constData(), &st) != 0 || !S_ISDIR(st.st_mode) || st.st_uid != ::getuid())
            throw PhotoLibraryError(PhotoLibraryError::Code::StorageFailed,
                                    QStringLiteral("“%1” cannot be used as a trash.").arg(sub));
    }
}

struct Target {
    QString trash;
    QString topdir; // empty for the home trash, whose entries keep absolute paths
};

Target targetFor(const QString& folder) {
    const QString data = homeDataFolder();
    QDir().mkpath(data);
    struct stat here {
    }, home{};
    if (::stat(QFile::encodeName(folder).constData(), &here) != 0)
        throw trashError(QStringLiteral("“%1” cannot be read.").arg(folder), errno);
    if (::stat(QFile::encodeName(data).constData(), &home) == 0 && home.st_dev == here.st_dev)
        return {data + QStringLiteral("/Trash"), {}};
    // The top of the folder's own file system: the last ancestor on the same device.
    QString top = QDir(folder).absolutePath();
    while (top != QLatin1String("/")) {
        const QString parent = QFileInfo(top).path();
        struct stat up {};
        if (::stat(QFile::encodeName(parent).constData(), &up) != 0 || up.st_dev != here.st_dev)
            break;
        top = parent;
    }
    const QString base = top == QLatin1String("/") ? QString() : top;
    return {base + QStringLiteral("/.Trash-%1").arg(::getuid()), top};
}

// Percent-encodes a path's bytes as a URL path, as the Trash's Path key wants.
QByteArray encodedPath(const QString& path) {
    return QFile::encodeName(path).toPercentEncoding("/");
}

} // namespace

QString FreedesktopTrash::trashFolderFor(const QString& folder) {
    return targetFor(folder).trash;
}

int FreedesktopTrash::removeHalfMadeEntries(const QString& folder) {
    const Target target = targetFor(folder);
    const QString prefix = QFileInfo(folder).absoluteFilePath() + QLatin1Char('/');
    int removed = 0;
    const QDir info(target.trash + QStringLiteral("/info"));
    for (const QString& name : info.entryList({QStringLiteral("*.trashinfo")}, QDir::Files)) {
        const QString stored = name.chopped(int(qstrlen(".trashinfo")));
        struct stat st {};
        if (::lstat(
                QFile::encodeName(target.trash + QStringLiteral("/files/") + stored).constData(),
                &st) == 0)
            continue;
        QFile file(info.filePath(name));
        if (!file.open(QIODevice::ReadOnly))
            continue;
        for (const QByteArray& line : file.readAll().split('\n')) {
            if (!line.startsWith("Path="))
                continue;
            QString original = QUrl::fromPercentEncoding(line.mid(5).trimmed());
            if (!target.topdir.isEmpty() && !original.startsWith(QLatin1Char('/')))
                original = target.topdir + QLatin1Char('/') + original;
            if (original.startsWith(prefix) && QFile::remove(info.filePath(name)))
                ++removed;
        }
    }
    return removed;
}

TrashEntry FreedesktopTrash::moveToTrash(const QString& path, const QDateTime& deletionDate,
                                         const std::function<void(const TrashEntry&)>& claimed) {
    const TrashEntry entry = claim(path, deletionDate);
    try {
        if (claimed)
            claimed(entry);
        moveClaimed(entry);
    } catch (...) {
        unclaim(entry);
        throw;
    }
    return entry;
}

TrashEntry FreedesktopTrash::claim(const QString& path, const QDateTime& deletionDate) {
    const QString absolute = QFileInfo(path).absoluteFilePath();
    const QByteArray source = QFile::encodeName(absolute);
    struct stat st {};
    if (::lstat(source.constData(), &st) != 0)
        throw trashError(QStringLiteral("“%1” cannot be moved to the trash.").arg(absolute), errno);
    const QString folder = QFileInfo(absolute).path();
    // The move takes the name out of its folder: a folder that cannot change refuses it now,
    // not after the caller has committed to it.
    if (::access(QFile::encodeName(folder).constData(), W_OK | X_OK) != 0)
        throw trashError(QStringLiteral("“%1” cannot be moved to the trash.").arg(absolute), errno);
    const Target target = targetFor(folder);
    prepare(target.trash);

    const QString relative =
        target.topdir.isEmpty() ? absolute : QDir(target.topdir).relativeFilePath(absolute);
    const QByteArray info = "[Trash Info]\nPath=" + encodedPath(relative) + "\nDeletionDate=" +
                            deletionDate.toLocalTime().toString(Qt::ISODate).left(19).toUtf8() +
                            "\n";
    const QFileInfo name(absolute);
    const QString stem = name.completeBaseName();
    const QString suffix = name.suffix().isEmpty() ? QString() : QLatin1Char('.') + name.suffix();
    for (int n = 1;; ++n) {
        const QString candidate =
            n == 1 ? name.fileName() : QStringLiteral("%1.%2%3").arg(stem).arg(n).arg(suffix);
        const QString infoPath =
            target.trash + QStringLiteral("/info/") + candidate + QStringLiteral(".trashinfo");
        const QString filePath = target.trash + QStringLiteral("/files/") + candidate;
        // The .trashinfo claims the name: made exclusively, it cannot be another's.
        const int fd = ::open(QFile::encodeName(infoPath).constData(),
                              O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0600);
        if (fd < 0) {
            if (errno == EEXIST)
                continue;
            throw trashError(QStringLiteral("The trash “%1” cannot be written.").arg(target.trash),
                             errno);
        }
        struct stat taken {};
        if (::lstat(QFile::encodeName(filePath).constData(), &taken) == 0) {
            ::close(fd); // a file without its .trashinfo: leave the name to it
            ::unlink(QFile::encodeName(infoPath).constData());
            continue;
        }
        const bool written =
            ::write(fd, info.constData(), size_t(info.size())) == info.size() && ::fsync(fd) == 0;
        const int writeError = errno;
        ::close(fd);
        if (!written) {
            ::unlink(QFile::encodeName(infoPath).constData());
            throw trashError(QStringLiteral("The trash “%1” cannot be written.").arg(target.trash),
                             writeError);
        }
        syncFolder(target.trash + QStringLiteral("/info"));
        return {target.trash, candidate, absolute};
    }
}

void FreedesktopTrash::moveClaimed(const TrashEntry& entry) {
    const QString filePath = entry.trashFolder + QStringLiteral("/files/") + entry.name;
    if (::rename(QFile::encodeName(entry.originalPath).constData(),
                 QFile::encodeName(filePath).constData()) != 0)
        throw trashError(
            QStringLiteral("“%1” cannot be moved to the trash.").arg(entry.originalPath), errno);
    syncFolder(entry.trashFolder + QStringLiteral("/files"));
    syncFolder(QFileInfo(entry.originalPath).path());
}

void FreedesktopTrash::unclaim(const TrashEntry& entry) {
    ::unlink(QFile::encodeName(entry.trashFolder + QStringLiteral("/info/") + entry.name +
                               QStringLiteral(".trashinfo"))
                 .constData());
}

bool FreedesktopTrash::isClaimed(const TrashEntry& entry) {
    return QFileInfo::exists(entry.trashFolder + QStringLiteral("/info/") + entry.name +
                             QStringLiteral(".trashinfo"));
}

void FreedesktopTrash::restoreAll(const std::vector<TrashEntry>& moved) {
    for (auto it = moved.rbegin(); it != moved.rend(); ++it) {
        try {
            restore(*it);
        } catch (...) {
        }
    }
}

void FreedesktopTrash::restore(const TrashEntry& entry) {
    const QString from = entry.trashFolder + QStringLiteral("/files/") + entry.name;
    QDir().mkpath(QFileInfo(entry.originalPath).path());
    // Never over a file that has taken the place meanwhile.
    if (const int err = renameWithoutReplacing(from, entry.originalPath))
        throw trashError(QStringLiteral("“%1” cannot be put back.").arg(entry.originalPath), err);
    ::unlink(QFile::encodeName(entry.trashFolder + QStringLiteral("/info/") + entry.name +
                               QStringLiteral(".trashinfo"))
                 .constData());
    syncFolder(QFileInfo(entry.originalPath).path());
    syncFolder(entry.trashFolder + QStringLiteral("/files"));
}

void FreedesktopTrash::erase(const TrashEntry& entry) {
    const QByteArray file =
        QFile::encodeName(entry.trashFolder + QStringLiteral("/files/") + entry.name);
    if (::unlink(file.constData()) != 0 && errno != ENOENT)
        throw trashError(QStringLiteral("“%1” cannot be removed from the trash.").arg(entry.name),
                         errno);
    ::unlink(QFile::encodeName(entry.trashFolder + QStringLiteral("/info/") + entry.name +
                               QStringLiteral(".trashinfo"))
                 .constData());
    syncFolder(entry.trashFolder + QStringLiteral("/files"));
}

bool FreedesktopTrash::contains(const TrashEntry& entry) {
    struct stat st {};
    return ::lstat(QFile::encodeName(entry.trashFolder + QStringLiteral("/files/") + entry.name)
                       .constData(),
                   &st) == 0;
}

} // namespace photos
