#include "restore/PairRestore.h"

#include "backup/BackupFolder.h"
#include "backup/BackupLayout.h"
#include "backup/DurableFile.h"
#include "core/OffThread.h"
#include "ingest/IngestLogger.h"
#include "library/PhotoLibraryOperations.h"
#include "library/ReplacementError.h"
#include "platform/photos/PhotoLibrary.h"
#include "platform/system/SecurityScopedAccess.h"
#include "platform/types/UTType.h"

#include <QFile>
#include <QFileInfo>
#include <QHash>
#include <QSet>
#include <unistd.h>

namespace twinslim {

using namespace photos;

namespace {

class RestoreFailure : public std::runtime_error {
public:
    explicit RestoreFailure(const QString& message) : std::runtime_error(message.toStdString()) {}
};

QString messageOf(const std::exception& e) {
    return localizedDescription(e);
}

AssetPtr fetchOne(PhotoLibrary& library, const QString& id) {
    const std::vector<AssetPtr> found = library.fetchAssetsWithLocalIdentifiers({id});
    return found.empty() ? nullptr : found.front();
}

// Whether the resource's stored file holds exactly the bytes of the file at `path`.
bool sameBytes(const PhotoLibrary& library, const ResourcePtr& resource, const QString& path) {
    QFile backup(path);
    const int fd = library.openStoredFile(resource);
    if (fd < 0)
        return false;
    QFile stored;
    if (!stored.open(fd, QIODevice::ReadOnly, QFileDevice::AutoCloseHandle)) {
        ::close(fd);
        return false;
    }
    if (!backup.open(QIODevice::ReadOnly) || backup.size() != stored.size())
        return false;
    constexpr qint64 chunk = 1 << 20;
    while (!backup.atEnd()) {
        const QByteArray a = backup.read(chunk);
        if (a.isEmpty() || stored.read(chunk) != a)
            return false;
    }
    return stored.atEnd();
}

// The item an earlier restore of this pair made from the backups and was cut short after:
// it holds the original JPEG's name with the backup's very bytes. Another picture that
// merely took the name is no such item.
AssetPtr madeFromBackups(PhotoLibrary& library, const RestorablePair& pair) {
    if (pair.record.backupJPEGFile.isEmpty() || pair.record.renderedJPEG)
        return nullptr;
    const QString backup =
        QFileInfo(pair.recordPath).path() + QLatin1Char('/') + pair.record.backupJPEGFile;
    const qint64 size = QFileInfo(backup).size();
    if (size <= 0)
        return nullptr;
    for (const AssetPtr& asset :
         library.fetchAssetsWithResource(pair.record.originalJPEGFilename, size)) {
        if (asset->localIdentifier == pair.record.newAssetID)
            continue;
        for (const ResourcePtr& resource : asset->resources)
            if (resource->originalFilename == pair.record.originalJPEGFilename &&
                (!resource->fileSize || *resource->fileSize == size) &&
                sameBytes(library, resource, backup))
                return asset;
    }
    return nullptr;
}

QCoro::Task<QString> createFromBackups(PhotoLibrary& library, const RestorablePair& pair,
                                       AssetPtr replacement) {
    const QString folder = QFileInfo(pair.recordPath).path() + QLatin1Char('/');
    struct File {
        ResourceType type;
        QString path;
        QString name;
    };
    std::vector<File> files;
    const OriginalSidecar& r = pair.record;
    const bool rawKept = r.backupRAWFile && !r.backupRAWFile->isEmpty();
    if (!r.backupJPEGFile.isEmpty() && !(r.renderedJPEG && rawKept))
        files.push_back({ResourceType::Photo, folder + r.backupJPEGFile, r.originalJPEGFilename});
    if (rawKept)
        files.push_back({files.empty() ? ResourceType::Photo : ResourceType::AlternatePhoto,
                         folder + *r.backupRAWFile, r.originalRAWFilename.value_or(QString())});
    std::vector<CollectionPtr> albums =
        library.fetchAssetCollectionsContainingAsset(replacement, CollectionType::Album);
    auto created = std::make_shared<QString>();
    PhotoLibrary::ChangeBody body = [files, r, replacement, albums, created](ChangeRequests& c) {
        AssetCreationRequest& request = c.creationRequestForAsset();
        for (const File& file : files) {
            const auto type = uti::UTType::fromFilenameExtension(pathExtension(file.name));
            request.addResource(file.type, file.path,
                                {file.name, type ? type->identifier() : QString()});
        }
        request.creationDate = r.captureDate ? r.captureDate : replacement->creationDate;
        // The replacement was given the original's offset and place.
        request.creationOffsetSeconds = replacement->creationOffsetSeconds;
        request.location = replacement->location;
        request.favorite = replacement->isFavorite;
        request.derivedFrom = replacement->localIdentifier;
        const ObjectPlaceholder placeholder = request.placeholderForCreatedAsset();
        *created = placeholder.localIdentifier;
        for (const CollectionPtr& album : albums)
            if (auto* change = c.changeRequestForAssetCollection(album))
                change->addAssets(std::vector<ObjectPlaceholder>{placeholder});
    };
    co_await performChanges(std::move(body));
    co_return *created;
}

// Gives the restored item the replacement's favourite flag and albums as they are now: into
// each album the replacement is in, out of every other (the marker album above all, or the
// clean-up would delete the original again).
QCoro::Task<> takeOverFlagAndAlbums(PhotoLibrary& library, AssetPtr restored,
                                    AssetPtr replacement) {
    const auto idsOf = [](const std::vector<CollectionPtr>& albums) {
        QSet<QString> ids;
        for (const CollectionPtr& album : albums)
            ids.insert(album->localIdentifier);
        return ids;
    };
    const std::vector<CollectionPtr> wanted =
        library.fetchAssetCollectionsContainingAsset(replacement, CollectionType::Album);
    const std::vector<CollectionPtr> current =
        library.fetchAssetCollectionsContainingAsset(restored, CollectionType::Album);
    const QSet<QString> wantedIds = idsOf(wanted);
    const QSet<QString> currentIds = idsOf(current);
    std::vector<CollectionPtr> add;
    std::vector<CollectionPtr> remove;
    for (const CollectionPtr& album : wanted)
        if (!currentIds.contains(album->localIdentifier))
            add.push_back(album);
    for (const CollectionPtr& album : current)
        if (!wantedIds.contains(album->localIdentifier))
            remove.push_back(album);
    const bool favourite = replacement->isFavorite;
    if (add.empty() && remove.empty() && restored->isFavorite == favourite)
        co_return;
    PhotoLibrary::ChangeBody body = [restored, favourite, add, remove](ChangeRequests& c) {
        if (restored->isFavorite != favourite)
            c.changeRequestForAsset(restored).favorite = favourite;
        for (const CollectionPtr& album : add)
            if (auto* change = c.changeRequestForAssetCollection(album))
                change->addAssets(std::vector<AssetPtr>{restored});
        for (const CollectionPtr& album : remove)
            if (auto* change = c.changeRequestForAssetCollection(album))
                change->removeAssets(std::vector<AssetPtr>{restored});
    };
    co_await performChanges(std::move(body));
}

// Brings one pair's originals back into the library; gives the item they are now, or nothing
// on a dry run.
QCoro::Task<AssetPtr> bringBack(PhotoLibrary& library, const RestorablePair& pair, bool dryRun,
                                IngestLogger& logger) {
    const QString names = pair.originalNames();
    const AssetPtr replacement = fetchOne(library, pair.record.newAssetID.value_or(QString()));
    if (!replacement)
        throw RestoreFailure(QStringLiteral("Its replacement is no longer in the library."));
    AssetPtr restored = fetchOne(library, pair.record.oldAssetID);
    if (!restored)
        restored = madeFromBackups(library, pair);
    const QString verb = dryRun ? QStringLiteral("  would restore ") : QStringLiteral("  restore ");
    if (restored) {
        logger.log(QStringLiteral("  the originals are in the library already, as ") +
                   restored->localIdentifier);
    } else {
        bool inTrash = false;
        for (const TrashedAsset& t : library.trashedAssets())
            inTrash = inTrash || t.asset->localIdentifier == pair.record.oldAssetID;
        if (inTrash) {
            const QString from = library.trashName().isEmpty() ? QStringLiteral("Recently Deleted")
                                                               : library.trashName();
            logger.log(verb + names + QStringLiteral(" from ") + from);
            if (dryRun)
                co_return AssetPtr();
            const QString id = pair.record.oldAssetID;
            std::shared_ptr<PhotoLibrary> shared = library.shared_from_this();
            // Named, not a temporary of the co_await: the compiler would release its
            // captures twice.
            auto restoring = offThread([shared, id] { return shared->restoreFromTrash({id}); });
            const int n = co_await restoring;
            restored = fetchOne(library, id);
            if (n != 1 || !restored)
                throw RestoreFailure(QStringLiteral("It could not be put back from %1.").arg(from));
        } else {
            // Checked again now: the folder may have changed since the list was made.
            const QString problem = problemWithBackups(library, pair, replacement);
            if (!problem.isEmpty())
                throw RestoreFailure(problem);
            logger.log(
                verb + (pair.jpegOnly() ? pair.record.originalJPEGFilename : names) +
                QStringLiteral(" from the backup folder") +
                (pair.jpegOnly() ? QStringLiteral(" (its RAW was not backed up)") : QString()));
            if (dryRun)
                co_return AssetPtr();
            auto creating = createFromBackups(library, pair, replacement);
            const QString id = co_await creating;
            restored = fetchOne(library, id);
            if (!restored)
                throw RestoreFailure(QStringLiteral("The restored item is not in the library."));
        }
    }
    if (dryRun)
        co_return AssetPtr();
    auto taking =
        takeOverFlagAndAlbums(library, restored, fetchOne(library, replacement->localIdentifier));
    co_await taking;
    logger.log(QStringLiteral("  restored as ") + restored->localIdentifier +
               (replacement->isFavorite ? QStringLiteral(", a favourite") : QString()));
    co_return restored;
}

void markRestored(const RestorablePair& pair, const QDateTime& when, IngestLogger& logger) {
    OriginalSidecar record = pair.record;
    record.restoredAt = when;
    try {
        durable::writeFile(pair.recordPath, record.encoded());
    } catch (const std::exception& e) {
        logger.log(QStringLiteral("  could not note the restore in ") + pair.recordPath +
                   QStringLiteral(": ") + messageOf(e));
    }
}

QString pairs(int n) {
    return QStringLiteral("%1 pair%2").arg(n).arg(n == 1 ? "" : "s");
}

} // namespace

QString RestoreReport::summary() const {
    QStringList parts;
    parts << QStringLiteral("Restored %1.").arg(pairs(restored));
    if (replacementsKept > 0)
        parts << QStringLiteral("The originals of %1 are back, but %2 replacements were not "
                                "deleted; restore them again to finish.")
                     .arg(pairs(replacementsKept))
                     .arg(replacementsKept == 1 ? QStringLiteral("its") : QStringLiteral("their"));
    if (failed > 0)
        parts << QStringLiteral("%1 could not be restored and %2 as %3 %4.")
                     .arg(pairs(failed))
                     .arg(failed == 1 ? QStringLiteral("is") : QStringLiteral("are"))
                     .arg(failed == 1 ? QStringLiteral("it") : QStringLiteral("they"))
                     .arg(failed == 1 ? QStringLiteral("was") : QStringLiteral("were"));
    return parts.join(QLatin1Char(' '));
}

QCoro::Task<RestoreReport> restorePairs(std::vector<RestorablePair> chosen,
                                        QPointer<BackupFolder> backupFolder, IngestLogger& logger,
                                        RestoreOptions options) {
    RestoreReport report;
    logger.setRunName(QStringLiteral("restore"));
    std::shared_ptr<PhotoLibrary> library = PhotoLibrary::shared();
    const int total = int(chosen.size());
    logger.log(
        (options.dryRun ? QStringLiteral("Dry run: restoring ") : QStringLiteral("Restoring ")) +
        pairs(total) + QStringLiteral(" in ") + library->path());

    struct Back {
        const RestorablePair* pair;
        QString replacement;
    };
    std::vector<Back> back;
    for (int i = 0; i < total; ++i) {
        const RestorablePair& pair = chosen[std::size_t(i)];
        logger.log(pair.originalNames() + QStringLiteral(" (replaced by ") +
                   pair.record.newAssetID.value_or(QString()) + QStringLiteral(")"));
        try {
            std::optional<sys::SecurityScopedAccess> access;
            if (backupFolder && backupFolder->url())
                access.emplace(*backupFolder->url());
            auto bringing = bringBack(*library, pair, options.dryRun, logger);
            const AssetPtr restored = co_await bringing;
            if (!options.dryRun)
                back.push_back({&pair, *pair.record.newAssetID});
        } catch (const std::exception& e) {
            const QString why = messageOf(e);
            logger.log(QStringLiteral("  not restored: ") + why);
            report.failures << pair.originalNames() + QStringLiteral(": ") + why;
            ++report.failed;
        }
        if (options.progress)
            options.progress(i + 1, total);
    }

    if (!back.empty()) {
        QStringList ids;
        for (const Back& b : back)
            ids << b.replacement;
        std::vector<AssetPtr> replacements = library->fetchAssetsWithLocalIdentifiers(ids);
        logger.log(QStringLiteral("Deleting %1 replacement%2")
                       .arg(replacements.size())
                       .arg(replacements.size() == 1 ? "" : "s"));
        try {
            co_await deleteAssets(replacements);
        } catch (const std::exception& e) {
            logger.log(QStringLiteral("  the replacements were not deleted: ") + messageOf(e));
        }
        QSet<QString> left;
        for (const AssetPtr& asset : library->fetchAssetsWithLocalIdentifiers(ids))
            left.insert(asset->localIdentifier);
        const QDateTime now = library->now();
        std::optional<sys::SecurityScopedAccess> access;
        if (backupFolder && backupFolder->url())
            access.emplace(*backupFolder->url());
        for (const Back& b : back) {
            if (left.contains(b.replacement)) {
                ++report.replacementsKept;
                continue;
            }
            markRestored(*b.pair, now, logger);
            ++report.restored;
        }
    }
    logger.log(options.dryRun ? QStringLiteral("Dry run: nothing was changed.") : report.summary());
    auto writing = logger.write(backupFolder);
    report.logPath = co_await writing;
    co_return report;
}

} // namespace twinslim
