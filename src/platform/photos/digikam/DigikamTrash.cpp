#include "platform/photos/digikam/DigikamTrash.h"

#include "platform/photos/PhotoLibraryError.h"
#include "platform/photos/shared/DurableWrites.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QJsonDocument>
#include <QJsonObject>
#include <QUuid>
#include <cerrno>
#include <cstring>

namespace photos {

namespace {

PhotoLibraryError trashError(const QString& what) {
    return PhotoLibraryError(PhotoLibraryError::Code::StorageFailed, what);
}

QString infoPath(const DtrashEntry& e) {
    return DigikamTrash::folderOf(e.collection) + QStringLiteral("/info/") + e.name +
           QStringLiteral(".dtrashinfo");
}

QString filePathOf(const DtrashEntry& e) {
    return DigikamTrash::folderOf(e.collection) + QStringLiteral("/files/") + e.fileName;
}

} // namespace

QString DigikamTrash::folderOf(const QString& collection) {
    return collection + QStringLiteral("/.dtrash");
}

DtrashEntry DigikamTrash::claim(const QString& collection, const QString& path, qint64 imageId,
                                const QDateTime& when) {
    const QString trash = folderOf(collection);
    for (const char* sub : {"/files", "/info"})
        if (!QDir().mkpath(trash + QLatin1String(sub)))
            throw trashError(QStringLiteral("digiKam’s trash “%1” cannot be made.").arg(trash));
    const QFileInfo info(path);
    // digiKam's names: the file's name up to its first dot, a dash, eight hex digits of a
    // random identifier, and the rest of its name.
    const QJsonObject record{{QStringLiteral("path"), info.absoluteFilePath()},
                             {QStringLiteral("deletiontimestamp"),
                              when.toLocalTime().toString(QStringLiteral("yyyy-MM-ddTHH:mm:ss"))},
                             {QStringLiteral("imageid"), QString::number(imageId)}};
    const QByteArray text = QJsonDocument(record).toJson();
    for (int attempt = 0; attempt < 100; ++attempt) {
        DtrashEntry e{collection,
                      info.baseName() + QLatin1Char('-') +
                          QUuid::createUuid().toString(QUuid::WithoutBraces).left(8),
                      {},
                      info.absoluteFilePath(),
                      imageId};
        e.fileName = info.completeSuffix().isEmpty()
                         ? e.name
                         : e.name + QLatin1Char('.') + info.completeSuffix();
        if (QFileInfo::exists(infoPath(e)) || QFileInfo::exists(filePathOf(e)))
            continue;
        writeFlushed(infoPath(e), text);
        syncFolder(trash + QStringLiteral("/info"));
        return e;
    }
    throw trashError(QStringLiteral("No free name in digiKam’s trash “%1”.").arg(trash));
}

void DigikamTrash::moveClaimed(const DtrashEntry& e) {
    if (contains(e) && !QFileInfo::exists(e.originalPath))
        return;
    const int error = renameWithoutReplacing(e.originalPath, filePathOf(e));
    if (error != 0)
        throw trashError(QStringLiteral("“%1” cannot be moved to digiKam’s trash: %2.")
                             .arg(e.originalPath, QString::fromLocal8Bit(std::strerror(error))));
    syncFolder(folderOf(e.collection) + QStringLiteral("/files"));
    syncFolder(QFileInfo(e.originalPath).absolutePath());
}

void DigikamTrash::unclaim(const DtrashEntry& e) {
    if (contains(e) && !QFileInfo::exists(e.originalPath))
        restore(e);
    else
        QFile::remove(infoPath(e));
}

void DigikamTrash::restore(const DtrashEntry& e) {
    const int error = renameWithoutReplacing(filePathOf(e), e.originalPath);
    if (error != 0)
        throw trashError(QStringLiteral("“%1” cannot be put back from digiKam’s trash: %2.")
                             .arg(e.originalPath, QString::fromLocal8Bit(std::strerror(error))));
    syncFolder(QFileInfo(e.originalPath).absolutePath());
    QFile::remove(infoPath(e));
    syncFolder(folderOf(e.collection) + QStringLiteral("/info"));
}

void DigikamTrash::erase(const DtrashEntry& e) {
    QFile::remove(filePathOf(e));
    QFile::remove(infoPath(e));
    syncFolder(folderOf(e.collection) + QStringLiteral("/files"));
}

bool DigikamTrash::contains(const DtrashEntry& e) {
    return QFileInfo(filePathOf(e)).isFile() && !QFileInfo(filePathOf(e)).isSymLink();
}

} // namespace photos
