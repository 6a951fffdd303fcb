#include "backup/PairReplacement.h"

#include "backup/BackupFolder.h"
#include "backup/BackupLayout.h"
#include "backup/DurableFile.h"
#include "backup/MarkerAlbum.h"
#include "backup/OriginalSidecar.h"
#include "core/LibraryModel.h"
#include "core/OffThread.h"
#include "ingest/IngestLogger.h"
#include "library/PhotoLibraryOperations.h"
#include "library/ReplacementError.h"
#include "platform/photos/FileKind.h"
#include "platform/system/SecurityScopedAccess.h"

#include <QFile>
#include <QFileInfo>
#include <QJsonDocument>
#include <QJsonObject>
#include <QPointer>
#include <filesystem>
#include <map>
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

// One file of an original's backup: a copy made for this attempt under a temporary name,
// and the name it takes after the backup's base name.
struct PlannedFile {
    ResourcePtr resource; // none for the rendered JPEG
    QString suffix;       // ".JPG", "_RAW", ".DNG.xmp", …
    QString label;        // "jpeg", "rendered-jpeg", "raw" or "sidecar", for the log
    std::optional<qint64> size;
    QString copy;
};

// Removes the copies that did not take their names, on every way out.
struct Copies {
    std::vector<QString> paths;
    ~Copies() {
        for (const QString& path : paths)
            ::unlink(QFile::encodeName(path).constData());
    }
};

// Streams the resource to `copy`, checked against the library's recorded size.
QCoro::Task<> copyResource(ResourcePtr resource, QString copy) {
    auto writing = writeResource(resource, copy);
    co_await writing;
    verifyBackup(copy, resource->fileSize);
}

void writeCopy(const QString& copy, const QByteArray& data) {
    QFile file(copy);
    if (!file.open(QIODevice::WriteOnly | QIODevice::Truncate) || file.write(data) != data.size() ||
        !file.flush())
        throw FileSystemError(
            QStringLiteral("Could not write “%1”: %2.").arg(copy, file.errorString()));
}

// Whether the two files hold the same bytes; false when either cannot be read.
bool sameContent(const QString& a, const QString& b) {
    QFile first(a), second(b);
    if (!first.open(QIODevice::ReadOnly) || !second.open(QIODevice::ReadOnly) ||
        first.size() != second.size())
        return false;
    constexpr qint64 chunk = 1 << 20;
    for (;;) {
        const QByteArray x = first.read(chunk);
        if (x != second.read(chunk))
            return false;
        if (x.isEmpty())
            return first.atEnd() && second.atEnd();
    }
}

// What is at a backup name: nothing (or an empty file, which backs up nothing), this very
// backup from an earlier attempt, or other bytes, which are never replaced: they may be
// another library's item of the same name, or a sidecar as it was before a program
// changed it in place.
enum class AtName { free, same, taken };

AtName whatIsAt(const QString& destination, const QString& copy) {
    const QFileInfo info(destination);
    if (!info.exists() && !info.isSymLink())
        return AtName::free;
    if (info.isFile() && !info.isSymLink() && info.size() == 0)
        return AtName::free;
    return info.isFile() && sameContent(destination, copy) ? AtName::same : AtName::taken;
}

// Whether the backup record at `path` is missing or this original's own.
bool recordIsFree(const QString& path, const QString& identifier) {
    QFile file(path);
    if (!file.exists())
        return true;
    if (!file.open(QIODevice::ReadOnly))
        return false;
    const QJsonObject record = QJsonDocument::fromJson(file.readAll()).object();
    return record.value(QStringLiteral("oldAssetID")).toString() == identifier;
}

// The names tried for one original's backups: its own, then " (2)" to " (99)".
constexpr int backupNameTries = 99;

QString candidateBase(const QString& base, int attempt) {
    return attempt == 1 ? base : base + QStringLiteral(" (%1)").arg(attempt);
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

// An original's backup files, copied and flushed under temporary names before any name is
// chosen: what is already at a name is compared with them. The copies that never take a
// name are removed with it.
struct BackupCopies {
    AssetPtr asset;
    bool favourite = false;
    QString month;
    QString status;
    QString base;
    ResourcePtr jpeg;
    ResourcePtr raw;
    ResourcePtr primary;
    bool renderJpeg = false;
    QString root;
    QString target;
    std::vector<PlannedFile> planned;
    Copies copies;
};

QCoro::Task<std::shared_ptr<BackupCopies>> LibraryModel::copyForBackup(AssetPtr asset) {
    if (!asset)
        throw ReplacementError(ReplacementError::Case::resourcesNotFound);
    // The backup folder belongs to the model; the model may go away while this waits.
    QPointer<BackupFolder> backupFolder = m_backup;

    auto made = std::make_shared<BackupCopies>();
    BackupCopies& backup = *made;
    backup.asset = asset;
    backup.favourite = asset->isFavorite;
    backup.month = monthFolderName(asset->creationDate);
    backup.status = statusFolderName(backup.favourite);
    backup.base = safeID(asset->localIdentifier);
    const ResourcePtr jpeg = jpegResource(asset);
    const ResourcePtr raw = rawResource(asset);
    if (!jpeg && !raw)
        throw ReplacementError(ReplacementError::Case::resourcesNotFound);
    const ResourcePtr primary = raw ? raw : jpeg;
    backup.jpeg = jpeg;
    backup.raw = raw;
    backup.primary = primary;

    // A favourite keeps its RAW (and JPEG); anything else keeps a JPEG, rendered when the
    // item has none.
    const bool backUpRaw = raw && backup.favourite;
    const bool renderJpeg = raw && !jpeg && !backup.favourite;
    backup.renderJpeg = renderJpeg;
    QByteArray rendered;
    if (renderJpeg) {
        auto rendering = renderedJPEGData(asset, 0.9);
        rendered = co_await rendering;
    }

    if (!backupFolder || !backupFolder->url())
        throw ReplacementError(ReplacementError::Case::noBackupFolder);
    backup.root = *backupFolder->url();
    sys::SecurityScopedAccess access(backup.root);
    // Only below the folder, and only while it is the folder the run started with.
    auto making =
        offThread(backupFolder->subfolderMaker(backup.month + QLatin1Char('/') + backup.status));
    backup.target = co_await making;
    std::vector<PlannedFile>& planned = backup.planned;
    if (jpeg || renderJpeg)
        planned.push_back({renderJpeg ? nullptr : jpeg,
                           renderJpeg ? QStringLiteral(".jpg") : backupFileName(*jpeg, QString()),
                           renderJpeg ? QStringLiteral("rendered-jpeg") : QStringLiteral("jpeg"),
                           renderJpeg ? std::nullopt : std::optional<qint64>(jpeg->fileSize),
                           {}});
    if (backUpRaw) {
        QString suffix = backupFileName(*raw, QString());
        // Two original names without an extension would give one backup name.
        if (!planned.empty() && suffix == planned.front().suffix)
            suffix = QStringLiteral("_RAW");
        planned.push_back({raw, suffix, QStringLiteral("raw"), raw->fileSize, {}});
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
        const QString suffix = original.startsWith(stem + QLatin1Char('.'), Qt::CaseInsensitive)
                                   ? original.mid(stem.size())
                                   : QLatin1Char('.') + original;
        planned.push_back({resource, suffix, QStringLiteral("sidecar"), resource->fileSize, {}});
    }

    // Every file is copied first, so that what is already at a name can be compared with
    // what this original's backup holds. The files of one original are copied side by side:
    // each copy waits on the disk for its flush.
    std::vector<QCoro::Task<>> running;
    for (PlannedFile& file : planned) {
        file.copy =
            durable::temporaryPathFor(backup.target + QLatin1Char('/') + backup.base + file.suffix);
        backup.copies.paths.push_back(file.copy);
        if (file.resource)
            running.push_back(copyResource(file.resource, file.copy));
        else
            running.push_back(
                offThread([copy = file.copy, rendered] { writeCopy(copy, rendered); }));
    }
    // Every copy has ended before any is removed, so that none is made after its removal.
    std::exception_ptr failure;
    for (QCoro::Task<>& copying : running) {
        try {
            co_await copying;
        } catch (...) {
            if (!failure)
                failure = std::current_exception();
        }
    }
    if (failure)
        std::rethrow_exception(failure);
    co_return made;
}

QCoro::Task<> LibraryModel::replaceOriginal(AssetPtr asset, QByteArray exportedData,
                                            uti::UTType exportedType, CollectionPtr markerAlbum,
                                            IngestLogger& logger) {
    auto copying = copyForBackup(std::move(asset));
    std::shared_ptr<BackupCopies> copies = co_await copying;
    auto replacing = replaceOriginal(std::move(copies), std::move(exportedData), exportedType,
                                     std::move(markerAlbum), logger);
    co_await replacing;
}

QCoro::Task<> LibraryModel::replaceOriginal(std::shared_ptr<BackupCopies> copies,
                                            QByteArray exportedData, uti::UTType exportedType,
                                            CollectionPtr markerAlbum, IngestLogger& logger) {
    if (!copies)
        throw ReplacementError(ReplacementError::Case::resourcesNotFound);
    QPointer<BackupFolder> backupFolder = m_backup;
    if (!backupFolder || !backupFolder->url())
        throw ReplacementError(ReplacementError::Case::noBackupFolder);
    const AssetPtr asset = copies->asset;
    const bool favourite = copies->favourite;
    const QString base = copies->base;
    const ResourcePtr jpeg = copies->jpeg;
    const ResourcePtr raw = copies->raw;
    const ResourcePtr primary = copies->primary;
    const bool renderJpeg = copies->renderJpeg;
    const QString target = copies->target;
    const std::vector<PlannedFile> planned = copies->planned;
    const QString shownFolder =
        copies->month + QLatin1Char('/') + copies->status + QLatin1Char('/');

    std::optional<QString> jpegBackupName;
    std::optional<QString> rawBackupName;
    QStringList sidecarBackupNames;
    std::map<QString, qint64> backupSizes;
    QString chosen;
    {
        sys::SecurityScopedAccess access(copies->root);
        // Choosing the name reads whole files and committing flushes them: both are done off
        // the window's thread, in one go. What was committed before a failure is still logged.
        struct Committed {
            QString chosen;
            std::vector<qint64> sizes; // of the files committed, in planned order
            std::exception_ptr failure;
        };
        // The copies may have been made a while ago: the folder must still be the one the run
        // started with before anything takes a name in it.
        auto committing = offThread([target, base, planned, identifier = asset->localIdentifier,
                                     stillThere = backupFolder->subfolderMaker(
                                         copies->month + QLatin1Char('/') + copies->status)] {
            stillThere();
            Committed result;
            std::vector<AtName> found;
            for (int attempt = 1; attempt <= backupNameTries && result.chosen.isEmpty();
                 ++attempt) {
                const QString candidate = candidateBase(base, attempt);
                const QString prefix = target + QLatin1Char('/') + candidate;
                bool usable = recordIsFree(prefix + QStringLiteral(".json"), identifier);
                found.clear();
                for (const PlannedFile& file : planned) {
                    if (!usable)
                        break;
                    found.push_back(whatIsAt(prefix + file.suffix, file.copy));
                    usable = found.back() != AtName::taken;
                }
                if (usable)
                    result.chosen = candidate;
            }
            if (result.chosen.isEmpty())
                return result;
            try {
                for (std::size_t i = 0; i < planned.size(); ++i) {
                    const QString destination =
                        target + QLatin1Char('/') + result.chosen + planned[i].suffix;
                    // The folder is flushed once for all of an original's backups, before the
                    // library change that relies on them.
                    if (found[i] == AtName::free)
                        durable::commitFile(planned[i].copy, destination,
                                            durable::FolderSync::byCaller);
                    verifyBackup(destination, planned[i].size);
                    result.sizes.push_back(QFileInfo(destination).size());
                }
                durable::syncDirectory(target);
            } catch (...) {
                result.failure = std::current_exception();
            }
            return result;
        });
        const Committed committed = co_await committing;
        chosen = committed.chosen;
        if (chosen.isEmpty()) {
            logger.log(QStringLiteral("  other files hold every backup name from ") + shownFolder +
                       base + QStringLiteral("; nothing of them is replaced"));
            throw ReplacementError(ReplacementError::Case::backupVerificationFailed);
        }
        if (chosen != base)
            logger.log(QStringLiteral("  other files hold the backup name ") + shownFolder + base +
                       QStringLiteral("; they are kept, and this original's backups are named ") +
                       chosen);
        for (std::size_t i = 0; i < committed.sizes.size(); ++i) {
            const PlannedFile& file = planned[i];
            const QString name = chosen + file.suffix;
            // Kept in the record, so that a later restore can tell a damaged backup.
            backupSizes[name] = committed.sizes[i];
            if (file.label == QLatin1String("raw"))
                rawBackupName = name;
            else if (file.label != QLatin1String("sidecar"))
                jpegBackupName = name;
            else
                sidecarBackupNames << name;
            logger.log(QStringLiteral("  backup ") + file.label + QStringLiteral(" → ") +
                       shownFolder + name);
        }
        if (committed.failure)
            std::rethrow_exception(committed.failure);
    }

    const QString extension = exportedType.preferredFilenameExtension().isEmpty()
                                  ? QStringLiteral("heic")
                                  : exportedType.preferredFilenameExtension();
    const QString newFilename =
        deletingPathExtension(primary->originalFilename) + QLatin1Char('.') + extension;
    const std::vector<CollectionPtr> albums = albumsToCopy(asset);

    OriginalSidecar sidecar;
    sidecar.oldAssetID = asset->localIdentifier;
    sidecar.newAssetID = QString();
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
    sidecar.backupFileSizes = backupSizes;
    sidecar.renderedJPEG = !jpeg && renderJpeg;

    const QString recordPath = target + QLatin1Char('/') + chosen + QStringLiteral(".json");
    // Written before the change too: an original in the marker album is deleted only with a
    // record of its backup, and a kill may come between the change and the final record.
    // Either write may fail without undoing anything.
    const auto recordWriting = [&recordPath, &sidecar, &backupFolder] {
        std::optional<QString> folder = backupFolder ? backupFolder->url() : std::nullopt;
        return offThread([folder, recordPath, data = sidecar.encoded()] {
            if (!folder)
                return;
            try {
                sys::SecurityScopedAccess access(*folder);
                durable::writeFile(recordPath, data);
            } catch (const std::exception&) {
            }
        });
    };
    auto writingRecord = recordWriting();
    co_await writingRecord;

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

    // The replacement stands whatever happens to its sidecar.
    sidecar.newAssetID = *newIdentifier;
    sidecar.captureDate = asset->creationDate;
    auto rewritingRecord = recordWriting();
    co_await rewritingRecord;
}

} // namespace twinslim
