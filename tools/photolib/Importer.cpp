#include "Importer.h"

#include "platform/imaging/ImageMetadata.h"
#include "platform/types/UTType.h"

#include <QDir>
#include <QDirIterator>
#include <QFileInfo>
#include <QMap>
#include <QTimeZone>
#include <algorithm>

namespace photolib {

using photos::ResourceType;

namespace {

enum class Kind { Picture, Raw, Sidecar, Other };

Kind kindOf(const QString& path, QString* uti) {
    auto type = uti::UTType::fromFilenameExtension(QFileInfo(path).suffix());
    if (!type)
        return Kind::Other;
    *uti = type->identifier();
    if (type->conformsTo(uti::UTType::rawImage()))
        return Kind::Raw;
    if (type->conformsTo(uti::UTType::jpeg()) || uti::conformsToHeif(type->identifier()))
        return Kind::Picture;
    const QString ext = QFileInfo(path).suffix().toLower();
    if (ext == QLatin1String("xmp") || ext == QLatin1String("aae"))
        return Kind::Sidecar;
    return Kind::Other;
}

struct Found {
    QString path;
    QString uti;
};

void planFolder(const QString& folder, std::vector<ImportItem>& items, int& skipped) {
    QDir dir(folder);
    const QStringList names = dir.entryList(QDir::Files | QDir::Readable, QDir::Name);
    // Stems compare case-insensitively: cameras write IMG_0001.JPG next to IMG_0001.CR3.
    QMap<QString, std::vector<std::pair<Kind, Found>>> byStem;
    for (const QString& name : names) {
        if (name.startsWith(QLatin1Char('.')))
            continue;
        QString uti;
        const QString path = dir.filePath(name);
        const Kind kind = kindOf(path, &uti);
        if (kind == Kind::Other) {
            ++skipped;
            continue;
        }
        byStem[QFileInfo(name).completeBaseName().toLower()].push_back({kind, {path, uti}});
    }
    for (auto it = byStem.cbegin(); it != byStem.cend(); ++it) {
        std::vector<Found> pictures, raws, sidecars;
        for (const auto& [kind, f] : it.value())
            (kind == Kind::Picture ? pictures : kind == Kind::Raw ? raws : sidecars).push_back(f);
        if (pictures.empty() && raws.empty()) {
            skipped += int(sidecars.size()); // a sidecar without its picture
            continue;
        }
        std::vector<ImportItem> stemItems;
        for (const Found& p : pictures)
            stemItems.push_back({{{p.path, ResourceType::Photo, p.uti}}});
        size_t r = 0;
        if (!stemItems.empty() && !raws.empty())
            stemItems.front().files.push_back(
                {raws[r++].path, ResourceType::AlternatePhoto, raws[0].uti});
        for (; r < raws.size(); ++r)
            stemItems.push_back({{{raws[r].path, ResourceType::Photo, raws[r].uti}}});
        for (const Found& s : sidecars)
            stemItems.front().files.push_back({s.path, ResourceType::AdjustmentData, s.uti});
        for (auto& item : stemItems)
            items.push_back(std::move(item));
    }
}

struct ItemDate {
    std::optional<QDateTime> instant;
    std::optional<int> offset;
    std::optional<photos::Location> location;
};

// Capture date from the picture's EXIF (with its offset, else as local time), else from
// the RAW's, else the file's modification time; GPS likewise.
ItemDate dateOf(const ImportItem& item) {
    ItemDate d;
    for (const auto& f : item.files) {
        if (f.type == ResourceType::AdjustmentData)
            continue;
        const imaging::ImageMetadata meta = imaging::readImageMetadata(f.path);
        if (!d.instant && meta.captureDate && meta.captureDate->isValid()) {
            d.instant = meta.captureDate->toUTC();
            d.offset = meta.offsetSeconds
                           ? *meta.offsetSeconds
                           : QTimeZone::systemTimeZone().offsetFromUtc(*meta.captureDate);
        }
        if (!d.location && meta.latitude && meta.longitude)
            d.location = photos::Location{*meta.latitude, *meta.longitude};
    }
    if (!d.instant) {
        const QDateTime modified = QFileInfo(item.files.front().path).lastModified();
        if (modified.isValid()) {
            d.instant = modified.toUTC();
            d.offset = QTimeZone::systemTimeZone().offsetFromUtc(modified);
        }
    }
    return d;
}

} // namespace

std::vector<ImportItem> planImport(const QStringList& folders, int* skippedFiles) {
    std::vector<ImportItem> items;
    int skipped = 0;
    for (const QString& folder : folders) {
        QStringList dirs{QDir(folder).absolutePath()};
        QDirIterator it(folder, QDir::Dirs | QDir::NoDotAndDotDot, QDirIterator::Subdirectories);
        while (it.hasNext())
            dirs << it.next();
        std::sort(dirs.begin() + 1, dirs.end());
        for (const QString& d : dirs)
            planFolder(d, items, skipped);
    }
    if (skippedFiles)
        *skippedFiles = skipped;
    return items;
}

ImportSummary importItems(photos::PhotoLibrary& library, const std::vector<ImportItem>& items,
                          const std::optional<QString>& albumTitle,
                          const std::function<void(int, int)>& progress) {
    using namespace photos;
    ImportSummary summary;
    CollectionPtr album;
    if (albumTitle) {
        FetchOptions byTitle;
        byTitle.predicate = Predicate::titleEquals(*albumTitle);
        auto found = library.fetchAssetCollections(CollectionType::Album,
                                                   CollectionSubtype::AlbumRegular, byTitle);
        if (found.empty()) {
            QString id;
            library.performChangesAndWait([&](ChangeRequests& c) {
                id = c.creationRequestForAssetCollection(*albumTitle)
                         .placeholderForCreatedAssetCollection()
                         .localIdentifier;
            });
            found = library.fetchAssetCollectionsWithLocalIdentifiers({id});
        }
        album = found.at(0);
    }

    // Batches keep each change small; every change is all-or-nothing on its own.
    constexpr size_t batchSize = 25;
    for (size_t start = 0; start < items.size(); start += batchSize) {
        const size_t end = std::min(items.size(), start + batchSize);
        struct Planned {
            const ImportItem* item;
            ItemDate date;
        };
        std::vector<Planned> fresh;
        std::vector<AssetPtr> present;
        for (size_t i = start; i < end; ++i) {
            const ImportItem& item = items[i];
            ItemDate date = dateOf(item);
            const QFileInfo primary(item.files.front().path);
            AssetPtr existing;
            for (const AssetPtr& a :
                 library.fetchAssetsWithResource(primary.fileName(), primary.size()))
                if (a->creationDate == date.instant)
                    existing = a;
            if (existing)
                present.push_back(existing);
            else
                fresh.push_back({&item, std::move(date)});
        }
        library.performChangesAndWait([&](ChangeRequests& c) {
            std::vector<ObjectPlaceholder> created;
            for (const Planned& p : fresh) {
                auto& req = c.creationRequestForAsset();
                for (const auto& f : p.item->files)
                    req.addResource(f.type, f.path,
                                    {QFileInfo(f.path).fileName(), f.uniformTypeIdentifier});
                req.creationDate = p.date.instant;
                req.creationOffsetSeconds = p.date.offset;
                req.location = p.date.location;
                created.push_back(req.placeholderForCreatedAsset());
            }
            if (album) {
                auto* change = c.changeRequestForAssetCollection(album);
                change->addAssets(present);
                change->addAssets(created);
            }
        });
        summary.imported += int(fresh.size());
        summary.alreadyPresent += int(present.size());
        if (progress)
            progress(int(end), int(items.size()));
    }
    return summary;
}

} // namespace photolib
