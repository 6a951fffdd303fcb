#include "platform/photos/digikam/DigikamSettings.h"

#include <QDir>
#include <QFileInfo>
#include <QSettings>
#include <QStandardPaths>

namespace photos::digikam {

QString MetadataWriting::sidecarNameOf(const QString& fileName) const {
    const QFileInfo info(fileName);
    if (compatibleSidecarName && !info.suffix().isEmpty())
        return fileName.left(fileName.size() - info.suffix().size()) + QStringLiteral("xmp");
    return fileName + QStringLiteral(".xmp");
}

MetadataWriting MetadataWriting::fromConfiguration(const QString& digikamrc) {
    MetadataWriting writing;
    if (digikamrc.isEmpty() || !QFileInfo(digikamrc).isFile())
        return writing;
    QSettings rc(digikamrc, QSettings::IniFormat);
    rc.beginGroup(QStringLiteral("Metadata Settings"));
    writing.rating = rc.value(QStringLiteral("Save Rating"), false).toBool();
    writing.tags = rc.value(QStringLiteral("Save Tags"), false).toBool();
    writing.pickLabel = rc.value(QStringLiteral("Save Pick Label"), false).toBool();
    writing.colourLabel = rc.value(QStringLiteral("Save Color Label"), false).toBool();
    writing.compatibleSidecarName =
        rc.value(QStringLiteral("Use Compatible File Name"), false).toBool();
    bool numeric = false;
    const int mode = rc.value(QStringLiteral("Metadata Writing Mode")).toInt(&numeric);
    if (numeric && mode >= 0 && mode <= 3)
        writing.mode = Mode(mode);
    return writing;
}

QString configurationOf(const QString& database, const QString& given) {
    if (!given.isEmpty())
        return given;
    const QString own = QStandardPaths::writableLocation(QStandardPaths::GenericConfigLocation) +
                        QStringLiteral("/digikamrc");
    if (!QFileInfo(own).isFile())
        return {};
    // digiKam names the folder its database is in.
    const QSettings rc(own, QSettings::IniFormat);
    const QString type = rc.value(QStringLiteral("Database Settings/Database Type")).toString();
    const QString folder = rc.value(QStringLiteral("Database Settings/Database Name")).toString();
    if ((!type.isEmpty() && type != QLatin1String("QSQLITE")) || folder.isEmpty())
        return {};
    const QFileInfo named(QDir(folder).filePath(QStringLiteral("digikam4.db")));
    const QFileInfo ours(database);
    return named.exists() && named.canonicalFilePath() == ours.canonicalFilePath() ? own
                                                                                   : QString();
}

} // namespace photos::digikam
