#include "backup/PairReplacement.h"

#include "backup/BackupFolder.h"
#include "backup/BackupLayout.h"
#include "backup/DurableFile.h"
#include "backup/MarkerAlbum.h"
#include "backup/OriginalSidecar.h"
#include "core/LibraryModel.h"
#include "ingest/IngestLogger.h"
#include "library/PhotoLibraryOperations.h"
#include "library/ReplacementError.h"
#include "platform/photos/FileKind.h"
#include "platform/system/SecurityScopedAccess.h"

#include <QFile>
#include <QFileInfo>
#include <QPointer>
#include <filesystem>
#include <system_error>
#include <unistd.h>

namespace twinslim {

using namespace photos;

bool hasNonEmptyFile(const QString& path) {
    const QFileInfo info(path);
    return info.exists() && info.isFile() && info.size() > 0;
}

bool hasCompleteBackup(const QString& path, std::optional<qint64> recordedSize) {
    if (!hasNonEmptyFile(path))
        return false;
    return !recordedSize || *recordedSize <= 0 || QFileInfo(path).size() == *recordedSize;
}

void verifyBackup(const QString& path, std::optional<qint64> recordedSize) {
    if (!hasCompleteBackup(path, recordedSize))
        throw ReplacementError(ReplacementError::Case::backupVerificationFailed);
}

namespace {

// Streams the resource to a temporary name beside `destination` and renames it into place
// only once it is complete and flushed, so a file at a backup name is always whole.
QCoro::Task<> backUpResource(ResourcePtr resource, QString destination) {
    const QString temporary = durable::temporaryPathFor(destination);
    try {
        auto writing = writeResource(resource, temporary);
        co_await writing;
        verifyBackup(temporary, resource->fileSize);
    } catch (...) {
        ::unlink(QFile::encodeName(temporary).constData());
        throw;
    }
    // The folder is flushed once for all of an original's backups, before the library
    // change that relies on them.
    durable::commitFile(temporary, destination, durable::FolderSync::byCaller);
}

// Albums of the album type holding the original, less the program's own.
std::vector<CollectionPtr> albumsToCopy(const AssetPtr& asset) {
    std::vector<CollectionPtr> albums;
    for (const CollectionPtr& album : PhotoLibrary::shared()->fetchAssetCollectionsContainingAsset(
             asset, CollectionType::Album)) {
        const QString title = album->localizedTitle.value_or(QString());
        if (album->localizedTitle &&
            (title == LibraryModel::favAlbumTitle() || title == LibraryModel::nonfavAlbumTitle() ||
             title == markerAlbumTitle()))
            continue;
        albums.push_back(album);
    }
    return albums;
}

} // namespace

QCoro::Task<> LibraryModel::replaceOriginal(AssetPtr asset, QByteArray exportedData,
                                            uti::UTType exportedType, CollectionPtr markerAlbum,
                                            IngestLogger& logger) {
    if (!asset)
        throw ReplacementError(ReplacementError::Case::resourcesNotFound);
    // The backup folder belongs to the model; the model may go away while this waits.
    QPointer<BackupFolder> backupFolder = m_backup;

    const bool favourite = asset->isFavorite;
    const QString month = monthFolderName(asset->creationDate);
    const QString status = statusFolderName(favourite);
    const QString base = safeID(asset->localIdentifier);
    const ResourcePtr jpeg = jpegResource(asset);
    const ResourcePtr raw = rawResource(asset);
    if (!jpeg && !raw)
        throw ReplacementError(ReplacementError::Case::resourcesNotFound);
    const ResourcePtr primary = raw ? raw : jpeg;

    // A favourite keeps its RAW (and JPEG); anything else keeps a JPEG, rendered when the
    // item has none.
    const bool backUpRaw = raw && favourite;
    const bool renderJpeg = raw && !jpeg && !favourite;
    QByteArray rendered;
    if (renderJpeg) {
        auto rendering = renderedJPEGData(asset, 0.9);
        rendered = co_await rendering;
    }

    if (!backupFolder || !backupFolder->url())
        throw ReplacementError(ReplacementError::Case::noBackupFolder);
    const QString root = *backupFolder->url();
    const QString shownFolder = month + QLatin1Char('/') + status + QLatin1Char('/');

    std::optional<QString> jpegBackupName;
    std::optional<QString> rawBackupName;
    QStringList sidecarBackupNames;
    QString target;
    {
        sys::SecurityScopedAccess access(root);
        // Only below the folder, and only while it is the folder the run started with.
        target = backupFolder->makeSubfolder(month + QLatin1Char('/') + status);
        if (jpeg || renderJpeg) {
            const QString name =
                renderJpeg ? base + QStringLiteral(".jpg") : backupFileName(*jpeg, base);
            const QString destination = target + QLatin1Char('/') + name;
            const std::optional<qint64> size =
                renderJpeg ? std::nullopt : std::optional<qint64>(jpeg->fileSize);
            if (!hasCompleteBackup(destination, size)) {
                if (renderJpeg) {
                    durable::writeFile(destination, rendered);
                } else {
                    auto copying = backUpResource(jpeg, destination);
                    co_await copying;
                }
                verifyBackup(destination, size);
            }
            jpegBackupName = name;
            logger.log(QStringLiteral("  backup ") +
                       (renderJpeg ? QStringLiteral("rendered-jpeg") : QStringLiteral("jpeg")) +
                       QStringLiteral(" → ") + shownFolder + name);
        }
        if (backUpRaw) {
            QString name = backupFileName(*raw, base);
            // Two original names without an extension would give one backup name.
            if (jpegBackupName && name == *jpegBackupName)
                name = base + QStringLiteral("_RAW");
            const QString destination = target + QLatin1Char('/') + name;
            if (!hasCompleteBackup(destination, raw->fileSize)) {
                auto copying = backUpResource(raw, destination);
                co_await copying;
                verifyBackup(destination, raw->fileSize);
            }
            rawBackupName = name;
            logger.log(QStringLiteral("  backup raw → ") + shownFolder + name);
        }
        // XMP sidecars and other editors' edit files hold the other programs' edits and
        // marks; beside the backups they are not left to live only in the trash.
        const QString stem = deletingPathExtension(primary->originalFilename);
        for (const ResourcePtr& resource : PhotoLibrary::shared()->assetResources(asset)) {
            if (!resource || resource->type != ResourceType::AdjustmentData)
                continue;
            const QString original = resource->originalFilename;
            if (!original.endsWith(QStringLiteral(".xmp"), Qt::CaseInsensitive) &&
                photos::fileKindOf(original, nullptr) != photos::FileKind::EditFile)
                continue;
            const QString name =
                base + (original.startsWith(stem + QLatin1Char('.'), Qt::CaseInsensitive)
                            ? original.mid(stem.size())
                            : QLatin1Char('.') + original);
            const QString destination = target + QLatin1Char('/') + name;
            if (!hasCompleteBackup(destination, resource->fileSize)) {
                auto copying = backUpResource(resource, destination);
                co_await copying;
                verifyBackup(destination, resource->fileSize);
            }
            sidecarBackupNames << name;
            logger.log(QStringLiteral("  backup sidecar → ") + shownFolder + name);
        }
        durable::syncDirectory(target);
    }

    const QString extension = exportedType.preferredFilenameExtension().isEmpty()
                                  ? QStringLiteral("heic")
                                  : exportedType.preferredFilenameExtension();
    const QString newFilename =
        deletingPathExtension(primary->originalFilename) + QLatin1Char('.') + extension;
    const std::vector<CollectionPtr> albums = albumsToCopy(asset);

    // Written on the library's thread inside the change, read here after it completed.
    auto newIdentifier = std::make_shared<QString>();
    PhotoLibrary::ChangeBody body = [asset, exportedData, exportedType, newFilename, favourite,
                                     albums, markerAlbum, newIdentifier](ChangeRequests& changes) {
        AssetCreationRequest& request = changes.creationRequestForAsset();
        request.addResource(ResourceType::Photo, exportedData,
                            {newFilename, exportedType.identifier()});
        request.creationDate = asset->creationDate;
        request.creationOffsetSeconds = asset->creationOffsetSeconds;
        request.location = asset->location;
        request.favorite = favourite;
        request.derivedFrom = asset->localIdentifier;
        const ObjectPlaceholder placeholder = request.placeholderForCreatedAsset();
        if (!placeholder.localIdentifier.isEmpty()) {
            *newIdentifier = placeholder.localIdentifier;
            for (const CollectionPtr& album : albums)
                if (auto* albumChange = changes.changeRequestForAssetCollection(album))
                    albumChange->addAssets(std::vector<ObjectPlaceholder>{placeholder});
        }
        if (auto* markerChange = changes.changeRequestForAssetCollection(markerAlbum))
            // Fails the whole change when another run parked (replaced) it first.
            markerChange->addNewMembers(std::vector<AssetPtr>{asset});
    };
    auto change = performChanges(std::move(body));
    co_await change;
    logger.log(QStringLiteral("  replaced with ") + newFilename + QStringLiteral(" (new asset ") +
               *newIdentifier + QStringLiteral(")"));

    OriginalSidecar sidecar;
    sidecar.oldAssetID = asset->localIdentifier;
    sidecar.newAssetID = *newIdentifier;
    sidecar.captureDate = asset->creationDate;
    sidecar.favorite = favourite;
    if (jpeg)
        sidecar.originalJPEGFilename = jpeg->originalFilename;
    else if (renderJpeg)
        sidecar.originalJPEGFilename =
            deletingPathExtension(primary->originalFilename) + QStringLiteral(".jpg");
    else
        sidecar.originalJPEGFilename = primary->originalFilename;
    if (raw)
        sidecar.originalRAWFilename = raw->originalFilename;
    sidecar.backupJPEGFile = jpegBackupName.value_or(QString());
    sidecar.backupRAWFile = rawBackupName;
    sidecar.outputFormat = extension;
    sidecar.backupSidecarFiles = sidecarBackupNames;

    // The replacement stands whatever happens to its sidecar.
    if (!backupFolder || !backupFolder->url())
        co_return;
    try {
        sys::SecurityScopedAccess access(*backupFolder->url());
        durable::writeFile(target + QLatin1Char('/') + base + QStringLiteral(".json"),
                           sidecar.encoded());
    } catch (const std::exception&) {
    }
}

} // namespace twinslim
