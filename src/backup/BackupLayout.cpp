#include "backup/BackupLayout.h"

#include <QLocale>

namespace twinslim {

QString monthFolderName(const std::optional<QDateTime>& captureDate) {
    if (!captureDate || !captureDate->isValid())
        return QStringLiteral("unknown-date");
    return QLocale::c().toString(captureDate->toLocalTime(), QStringLiteral("yyyy-MM"));
}

QString statusFolderName(bool favorite) {
    return favorite ? QStringLiteral("FAVS") : QStringLiteral("NONFAVS");
}

QString safeID(const QString& localIdentifier) {
    QString id = localIdentifier;
    return id.replace(QLatin1Char('/'), QLatin1Char('_'));
}

namespace {

// Index of the dot that starts the extension of the last path component, or -1.
qsizetype extensionDot(const QString& fileName) {
    const qsizetype componentStart = fileName.lastIndexOf(QLatin1Char('/')) + 1;
    const qsizetype dot = fileName.lastIndexOf(QLatin1Char('.'));
    return dot > componentStart ? dot : -1;
}

} // namespace

QString pathExtension(const QString& fileName) {
    const qsizetype dot = extensionDot(fileName);
    return dot < 0 ? QString() : fileName.mid(dot + 1);
}

QString deletingPathExtension(const QString& fileName) {
    const qsizetype dot = extensionDot(fileName);
    return dot < 0 ? fileName : fileName.left(dot);
}

QString backupFileName(const photos::AssetResource& resource, const QString& base) {
    const QString extension = pathExtension(resource.originalFilename);
    return extension.isEmpty() ? base : base + QLatin1Char('.') + extension;
}

} // namespace twinslim
