#include "restore/RestorablePairs.h"

#include "backup/BackupLayout.h"
#include "platform/photos/PhotoLibrary.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QHash>
#include <QRegularExpression>
#include <QSet>
#include <algorithm>

namespace twinslim {

using namespace photos;

namespace {

struct BackupFile {
    QString name;     // in the record's folder
    QString original; // the name it had in the library
};

std::vector<BackupFile> filesToRestore(const OriginalSidecar& record) {
    std::vector<BackupFile> files;
    if (record.backupRAWFile && !record.backupRAWFile->isEmpty())
        files.push_back({*record.backupRAWFile, record.originalRAWFilename.value_or(QString())});
    // A rendered JPEG stands for a RAW-only original only when its RAW was not kept.
    if (!record.backupJPEGFile.isEmpty() && !(record.renderedJPEG && !files.empty()))
        files.push_back({record.backupJPEGFile, record.originalJPEGFilename});
    return files;
}

bool looksLikeJpegName(const QString& name) {
    const QString extension = pathExtension(name).toLower();
    return extension == QLatin1String("jpg") || extension == QLatin1String("jpeg") ||
           extension == QLatin1String("jpe");
}

// Why the backups cannot stand for the original; empty when they can.
QString backupProblem(const QString& folder, const OriginalSidecar& record) {
    const std::vector<BackupFile> files = filesToRestore(record);
    if (files.empty())
        return QStringLiteral("Its record names no backup file.");
    for (const BackupFile& file : files) {
        const QFileInfo info(folder + file.name);
        if (!info.isFile())
            return QStringLiteral("The backup “%1” is missing.").arg(file.name);
        if (info.size() <= 0)
            return QStringLiteral("The backup “%1” is empty.").arg(file.name);
        const auto recorded = record.backupFileSizes.find(file.name);
        if (recorded != record.backupFileSizes.end()) {
            if (recorded->second != info.size())
                return QStringLiteral("The backup “%1” holds %2 bytes where its record says %3.")
                    .arg(file.name)
                    .arg(info.size())
                    .arg(recorded->second);
        } else if (looksLikeJpegName(file.original)) {
            // Older records keep no sizes: at least the file must start as a JPEG does.
            QFile f(info.filePath());
            if (!f.open(QIODevice::ReadOnly) || !f.read(3).startsWith("\xff\xd8\xff"))
                return QStringLiteral("The backup “%1” is not a JPEG.").arg(file.name);
        }
        if (file.original.isEmpty() || file.original.contains(QLatin1Char('/')) ||
            file.original == QLatin1String(".") || file.original == QLatin1String(".."))
            return QStringLiteral("Its record gives no usable name for “%1”.").arg(file.name);
    }
    return {};
}

// Where new files are named after the originals (every kind but the catalogue, which names
// them itself), a file of the same name beside the replacement would keep the restored
// picture from its name: reported, never replaced, never renamed apart from its twin.
QString nameClash(const PhotoLibrary& library, const AssetPtr& replacement,
                  const OriginalSidecar& record) {
    if (replacement->resources.empty())
        return {};
    const ResourcePtr& resource = replacement->resources.front();
    const QFileInfo stored(library.storedFilePath(resource));
    if (stored.fileName() != resource->originalFilename)
        return {};
    QSet<QString> taken;
    for (const QString& name : stored.dir().entryList(QDir::AllEntries | QDir::Hidden |
                                                      QDir::System | QDir::NoDotAndDotDot))
        taken.insert(name.toLower());
    for (const BackupFile& file : filesToRestore(record))
        if (taken.contains(file.original.toLower()) ||
            taken.contains((file.original + QStringLiteral(".xmp")).toLower()))
            return QStringLiteral("“%1” is taken in %2; rename or move that file first.")
                .arg(file.original, stored.absolutePath());
    return {};
}

} // namespace

QString problemWithBackups(const PhotoLibrary& library, const RestorablePair& pair,
                           const AssetPtr& replacement) {
    const QString problem =
        backupProblem(QFileInfo(pair.recordPath).path() + QLatin1Char('/'), pair.record);
    return problem.isEmpty() && replacement ? nameClash(library, replacement, pair.record)
                                            : problem;
}

bool RestorablePair::jpegOnly() const {
    return source == RestoreSource::backup && record.originalRAWFilename &&
           !(record.backupRAWFile && !record.backupRAWFile->isEmpty());
}

QString RestorablePair::originalNames() const {
    QStringList names;
    if (record.originalRAWFilename && !record.originalRAWFilename->isEmpty())
        names << *record.originalRAWFilename;
    if (!record.originalJPEGFilename.isEmpty() && !record.renderedJPEG)
        names << record.originalJPEGFilename;
    return names.join(QStringLiteral(" + "));
}

QString RestorablePair::sourceText(const PhotoLibrary& library) const {
    switch (source) {
    case RestoreSource::trash:
        return QStringLiteral("from ") + (library.trashName().isEmpty()
                                              ? QStringLiteral("Recently Deleted")
                                              : library.trashName());
    case RestoreSource::library:
        return QStringLiteral("already in the library");
    case RestoreSource::backup:
        break;
    }
    return QStringLiteral("from the backup folder");
}

QString RestorablePair::notice() const {
    if (!problem.isEmpty())
        return problem;
    if (jpegOnly())
        return QStringLiteral("Its RAW was not backed up: it comes back as %1 alone.")
            .arg(record.renderedJPEG ? QStringLiteral("a JPEG rendered from it")
                                     : record.originalJPEGFilename);
    return {};
}

RestoreListing findRestorablePairs(const PhotoLibrary& library, const QString& backupRoot) {
    RestoreListing listing;
    if (backupRoot.isEmpty())
        return listing;
    std::vector<RestorablePair> found;
    QHash<QString, std::size_t> byReplacement;
    const QDir root(backupRoot);
    for (const QString& month : root.entryList(QDir::Dirs | QDir::NoDotAndDotDot)) {
        for (const bool favourite : {true, false}) {
            const QString folder = root.filePath(month) + QLatin1Char('/') +
                                   statusFolderName(favourite) + QLatin1Char('/');
            for (const QString& name :
                 QDir(folder).entryList({QStringLiteral("*.json")}, QDir::Files | QDir::Hidden)) {
                QFile file(folder + name);
                std::optional<OriginalSidecar> record;
                if (file.open(QIODevice::ReadOnly))
                    record = OriginalSidecar::decoded(file.readAll());
                if (!record) {
                    listing.unreadable << file.fileName();
                    continue;
                }
                if (record->restoredAt) {
                    ++listing.alreadyRestored;
                    listing.restoredRecords.push_back(std::move(*record));
                    continue;
                }
                // A record without its replacement's identifier was cut short before the
                // library changed: its original never left.
                if (!record->newAssetID || record->newAssetID->isEmpty())
                    continue;
                RestorablePair pair;
                pair.recordPath = file.fileName();
                pair.replacedAt = QFileInfo(file).lastModified().toUTC();
                pair.record = std::move(*record);
                // One pair, one record: two naming one replacement keep the newer.
                const auto seen = byReplacement.constFind(*pair.record.newAssetID);
                if (seen != byReplacement.cend()) {
                    if (found[*seen].replacedAt < pair.replacedAt)
                        found[*seen] = std::move(pair);
                    continue;
                }
                byReplacement.insert(*pair.record.newAssetID, found.size());
                found.push_back(std::move(pair));
            }
        }
    }
    if (found.empty())
        return listing;

    QStringList replacementIds;
    QStringList originalIds;
    for (const RestorablePair& pair : found) {
        replacementIds << *pair.record.newAssetID;
        originalIds << pair.record.oldAssetID;
    }
    QHash<QString, AssetPtr> replacements;
    for (const AssetPtr& asset : library.fetchAssetsWithLocalIdentifiers(replacementIds))
        replacements.insert(asset->localIdentifier, asset);
    QSet<QString> present;
    for (const AssetPtr& asset : library.fetchAssetsWithLocalIdentifiers(originalIds))
        present.insert(asset->localIdentifier);
    QSet<QString> trashed;
    for (const TrashedAsset& t : library.trashedAssets())
        trashed.insert(t.asset->localIdentifier);

    for (RestorablePair& pair : found) {
        pair.replacement = replacements.value(*pair.record.newAssetID);
        if (!pair.replacement)
            continue;
        const QString& old = pair.record.oldAssetID;
        if (present.contains(old)) {
            pair.source = RestoreSource::library;
        } else if (trashed.contains(old)) {
            pair.source = RestoreSource::trash;
        } else {
            pair.source = RestoreSource::backup;
            pair.problem = problemWithBackups(library, pair, pair.replacement);
        }
        listing.pairs.push_back(std::move(pair));
    }
    std::stable_sort(listing.pairs.begin(), listing.pairs.end(), [](const auto& a, const auto& b) {
        const QDateTime da = a.record.captureDate.value_or(QDateTime());
        const QDateTime db = b.record.captureDate.value_or(QDateTime());
        return da != db ? da < db : a.record.oldAssetID < b.record.oldAssetID;
    });
    return listing;
}

std::vector<RestorablePair> pairsNamed(const RestoreListing& listing, const QStringList& ids,
                                       QStringList* unknown) {
    std::vector<RestorablePair> chosen;
    for (const QString& id : ids) {
        const auto it =
            std::find_if(listing.pairs.begin(), listing.pairs.end(), [&](const auto& p) {
                return p.record.oldAssetID == id || p.record.newAssetID == id;
            });
        if (it == listing.pairs.end()) {
            if (unknown)
                *unknown << id;
            continue;
        }
        const bool twice = std::any_of(chosen.begin(), chosen.end(), [&](const auto& p) {
            return p.recordPath == it->recordPath;
        });
        if (!twice)
            chosen.push_back(*it);
    }
    return chosen;
}

std::vector<RestorablePair> pairsReplacedSince(const RestoreListing& listing,
                                               const QDateTime& since) {
    std::vector<RestorablePair> chosen;
    for (const RestorablePair& pair : listing.pairs)
        if (pair.replacedAt >= since)
            chosen.push_back(pair);
    return chosen;
}

QStringList replacementsInLog(const QString& logText) {
    // "  replaced with IMG_0412.heic (new asset ID)", as the ingest logs each replacement.
    static const QRegularExpression line(
        QStringLiteral(R"(replaced with .* \(new asset ([^()\s]+)\)\s*$)"),
        QRegularExpression::MultilineOption);
    QStringList ids;
    for (auto it = line.globalMatch(logText); it.hasNext();) {
        const QString id = it.next().captured(1);
        if (!ids.contains(id))
            ids << id;
    }
    return ids;
}

} // namespace twinslim
