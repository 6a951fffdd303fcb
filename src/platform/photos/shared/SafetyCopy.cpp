#include "platform/photos/shared/SafetyCopy.h"

#include "platform/photos/PhotoLibraryError.h"
#include "platform/photos/shared/DurableWrites.h"
#include "platform/photos/shared/SqliteDatabase.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <cstdio>

namespace photos {

QString saveDatabaseCopy(SqliteDatabase& db, const char* schema, const QString& name,
                         const QString& folder, const QDateTime& now) {
    const QString target = folder + u'/' + name + QStringLiteral("-twinslim-") +
                           now.toLocalTime().toString(QStringLiteral("yyyyMMdd-HHmmss"));
    if (!QFileInfo::exists(target)) {
        const QString temp = target + QStringLiteral(".tmp");
        QFile::remove(temp);
        db.statement(std::string("VACUUM ") + schema + " INTO ?").bind(1, temp).run();
        flushFile(temp);
        if (::rename(QFile::encodeName(temp).constData(), QFile::encodeName(target).constData()) !=
            0)
            throw PhotoLibraryError(PhotoLibraryError::Code::StorageFailed,
                                    QStringLiteral("The copy “%1” cannot be made.").arg(target));
        syncFolder(folder);
    }
    QStringList copies =
        QDir(folder).entryList({name + QStringLiteral("-twinslim-*")}, QDir::Files, QDir::Name);
    copies.removeIf([](const QString& n) { return n.endsWith(QStringLiteral(".tmp")); });
    while (copies.size() > 3)
        QFile::remove(folder + u'/' + copies.takeFirst());
    return target;
}

} // namespace photos
