#include "backup/BackupRecords.h"

#include "backup/BackupLayout.h"
#include "backup/MarkerAlbum.h"
#include "library/PhotoLibraryOperations.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QJsonDocument>
#include <QJsonObject>

namespace twinslim {

using namespace photos;

namespace {

// A backup file the record lists: there, not empty, and as long as the item's own file
// when it copies one (a rendered JPEG copies none).
bool backupStands(const QString& path, const ResourcePtr& copied) {
    const QFileInfo info(path);
    if (!info.isFile() || info.size() <= 0)
        return false;
    return !copied || !copied->fileSize || *copied->fileSize <= 0 ||
           info.size() == *copied->fileSize;
}

bool recordStands(const QString& folder, const QJsonObject& record, const AssetPtr& asset) {
    const QString jpegName = record.value(QStringLiteral("backupJPEGFile")).toString();
    const QString rawName = record.value(QStringLiteral("backupRAWFile")).toString();
    if (jpegName.isEmpty() && rawName.isEmpty())
        return false;
    if (!jpegName.isEmpty() && !backupStands(folder + jpegName, jpegResource(asset)))
        return false;
    return rawName.isEmpty() || backupStands(folder + rawName, rawResource(asset));
}

} // namespace

QHash<QString, bool> originalsWithBackup(const QString& backupRoot,
                                         const std::vector<AssetPtr>& originals) {
    QHash<QString, bool> found;
    if (backupRoot.isEmpty() || originals.empty())
        return found;
    QHash<QString, AssetPtr> wanted;
    for (const AssetPtr& asset : originals)
        if (asset)
            wanted.insert(asset->localIdentifier, asset);
    const QDir root(backupRoot);
    for (const QString& month : root.entryList(QDir::Dirs | QDir::NoDotAndDotDot)) {
        for (const bool favourite : {true, false}) {
            const QString folder = root.filePath(month) + QLatin1Char('/') +
                                   statusFolderName(favourite) + QLatin1Char('/');
            for (const QString& name :
                 QDir(folder).entryList({QStringLiteral("*.json")}, QDir::Files | QDir::Hidden)) {
                QFile file(folder + name);
                if (!file.open(QIODevice::ReadOnly))
                    continue;
                const QJsonObject record = QJsonDocument::fromJson(file.readAll()).object();
                const QString id = record.value(QStringLiteral("oldAssetID")).toString();
                const auto it = wanted.constFind(id);
                if (it != wanted.cend() && !found.contains(id) && recordStands(folder, record, *it))
                    found.insert(
                        id, !record.value(QStringLiteral("backupRAWFile")).toString().isEmpty());
            }
        }
    }
    return found;
}

QString recoveryOffer(int count) {
    return QString::number(count) +
           (count == 1 ? QStringLiteral(" original from a previous run was replaced but not "
                                        "deleted. Delete it now to reclaim the space?")
                       : QStringLiteral(" originals from a previous run were replaced but not "
                                        "deleted. Delete them now to reclaim the space?"));
}

QString withoutBackupNotice(const QStringList& names) {
    if (names.isEmpty())
        return {};
    const bool one = names.size() == 1;
    return QStringLiteral("%1 %2 in the album “%3” %4 no backup made by Twinslim, so %5 not "
                          "deleted: %6.")
        .arg(names.size())
        .arg(one ? QStringLiteral("item") : QStringLiteral("items"), markerAlbumTitle(),
             one ? QStringLiteral("has") : QStringLiteral("have"),
             one ? QStringLiteral("it is") : QStringLiteral("they are"),
             names.join(QStringLiteral(", ")));
}

} // namespace twinslim
