#include "platform/photos/LibraryLocation.h"

#include "platform/photos/PhotoLibraryError.h"

#include <QDir>
#include <QFile>
#include <QSettings>
#include <QStandardPaths>

namespace photos {

static QString homeDir() {
    return QDir::homePath();
}

QString serviceConfigDir() {
    QString base = qEnvironmentVariable("XDG_CONFIG_HOME");
    if (base.isEmpty())
        base = homeDir() + QStringLiteral("/.config");
    return base + QStringLiteral("/photolib");
}

static QString settingsFile() {
    return serviceConfigDir() + QStringLiteral("/photolib.ini");
}

QString defaultLibraryPath() {
    // XDG_PICTURES_DIR comes from user-dirs.dirs; Qt reads it for us.
    QString pictures = QStandardPaths::writableLocation(QStandardPaths::PicturesLocation);
    if (pictures.isEmpty())
        pictures = homeDir() + QStringLiteral("/Pictures");
    return pictures + QStringLiteral("/Photos.photolibrary");
}

QString systemLibraryPath() {
    const QString fromEnvironment = qEnvironmentVariable("PHOTOLIB_LIBRARY");
    if (!fromEnvironment.isEmpty())
        return QDir(fromEnvironment).absolutePath();
    QSettings settings(settingsFile(), QSettings::IniFormat);
    const QString chosen = settings.value(QStringLiteral("library")).toString();
    if (!chosen.isEmpty())
        return chosen;
    return defaultLibraryPath();
}

bool mayCreateSystemLibraryAt(const QString& path) {
    return QDir::cleanPath(QDir(path).absolutePath()) == QDir::cleanPath(defaultLibraryPath());
}

void saveServiceSettings(QSettings& settings) {
    settings.sync();
    if (settings.status() != QSettings::NoError)
        throw PhotoLibraryError(
            PhotoLibraryError::Code::StorageFailed,
            QStringLiteral("The settings file “%1” cannot be written.").arg(settings.fileName()));
}

void setChosenLibraryPath(const QString& path) {
    QDir().mkpath(serviceConfigDir());
    QSettings settings(settingsFile(), QSettings::IniFormat);
    if (path.isEmpty())
        settings.remove(QStringLiteral("library"));
    else
        settings.setValue(QStringLiteral("library"), QDir(path).absolutePath());
    saveServiceSettings(settings);
}

} // namespace photos
