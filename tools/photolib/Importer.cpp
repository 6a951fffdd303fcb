#include "Importer.h"

#include "platform/imaging/ImageMetadata.h"
#include "platform/photos/FileKind.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QMap>
#include <QTimeZone>
#include <algorithm>
#include <dirent.h>
#include <sys/stat.h>
#include <unistd.h>

namespace photolib {

using photos::ResourceType;

namespace {

using Kind = photos::FileKind;

Kind kindOf(const QString& name, QString* uti) {
    const Kind kind = photos::fileKindOf(name, uti);
    return kind == Kind::EditFile ? Kind::Other : kind; // a catalogue keeps no editor's files
}

// The name as text: UTF-8 as it is, every byte outside a valid character as "%XX", so
// that names differing only in such bytes stay apart.
QString displayName(const QByteArray& raw) {
    QString name;
    for (qsizetype i = 0; i < raw.size();) {
        const auto lead = uchar(raw[i]);
        const qsizetype length = lead < 0x80                    ? 1
                                 : lead >= 0xC2 && lead <= 0xDF ? 2
                                 : lead >= 0xE0 && lead <= 0xEF ? 3
                                 : lead >= 0xF0 && lead <= 0xF4 ? 4
                                                                : 0;
        const QByteArray chunk = raw.mid(i, length);
        const QString decoded = QString::fromUtf8(chunk);
        if (length > 0 && chunk.size() == length && decoded.toUtf8() == chunk) {
            name += decoded;
            i += length;
        } else {
            name += QStringLiteral("%%1").arg(lead, 2, 16, QLatin1Char('0')).toUpper();
            ++i;
        }
    }
    return name;
}

// Gives every file whose path Qt cannot spell an alias with a plain name, a link in a
// temporary folder, so that every reader can open it.
class Aliases {
public:
    QString pathFor(const QByteArray& raw, const QString& name) {
        if (QFile::encodeName(QFile::decodeName(raw)) == raw)
            return QFile::decodeName(raw);
        if (!m_dir) {
            m_dir = std::make_shared<QTemporaryDir>();
            if (!m_dir->isValid())
                throw photos::PhotoLibraryError(
                    photos::PhotoLibraryError::Code::StorageFailed,
                    QStringLiteral("No temporary folder for “%1”.").arg(name));
        }
        const QString alias = m_dir->filePath(QString::number(m_count++) + QLatin1Char('.') +
                                              QFileInfo(name).suffix());
        if (::symlink(raw.constData(), QFile::encodeName(alias).constData()) != 0)
            throw photos::PhotoLibraryError(photos::PhotoLibraryError::Code::StorageFailed,
                                            QStringLiteral("“%1” cannot be read.").arg(name));
        return alias;
    }
    std::shared_ptr<const QTemporaryDir> dir() const { return m_dir; }

private:
    std::shared_ptr<QTemporaryDir> m_dir;
    int m_count = 0;
};

struct Found {
    QString path;
    QString uti;
    QString name;
};

struct Entry {
    QByteArray raw; // the name as the file system has it
    QString name;
};

// The entries of a folder, read by their bytes (QDir would turn names that are not
// UTF-8 into others), without hidden ones, sorted by name.
std::vector<Entry> entriesOf(const QByteArray& folder) {
    std::vector<Entry> entries;
    DIR* dir = ::opendir(folder.constData());
    if (!dir)
        return entries;
    while (const dirent* e = ::readdir(dir))
        if (e->d_name[0] != '.')
            entries.push_back({QByteArray(e->d_name), displayName(QByteArray(e->d_name))});
    ::closedir(dir);
    std::sort(entries.begin(), entries.end(),
              [](const Entry& a, const Entry& b) { return a.name < b.name; });
    return entries;
}

void planFolder(const QByteArray& folder, std::vector<ImportItem>& items, int& skipped,
                Aliases& aliases) {
    // Stems compare case-insensitively: cameras write IMG_0001.JPG next to IMG_0001.CR3.
    QMap<QString, std::vector<std::pair<Kind, Found>>> byStem;
    for (const Entry& entry : entriesOf(folder)) {
        const QByteArray raw = folder + '/' + entry.raw;
        struct stat st {};
        if (::stat(raw.constData(), &st) != 0 || !S_ISREG(st.st_mode) ||
            ::access(raw.constData(), R_OK) != 0)
            continue;
        QString uti;
        const Kind kind = kindOf(entry.name, &uti);
        if (kind == Kind::Other) {
            ++skipped;
            continue;
        }
        byStem[QFileInfo(entry.name).completeBaseName().toLower()].push_back(
            {kind, {aliases.pathFor(raw, entry.name), uti, entry.name}});
    }
    const auto shared = aliases.dir();
    for (auto it = byStem.cbegin(); it != byStem.cend(); ++it) {
        std::vector<Found> pictures, raws, sidecars;
        for (const auto& [kind, f] : it.value())
            (kind == Kind::Picture ? pictures : kind == Kind::Raw ? raws : sidecars).push_back(f);
        if (pictures.empty() && raws.empty()) {
            skipped += int(sidecars.size()); // a sidecar without its picture
            continue;
        }
        auto file = [&](const Found& f, ResourceType type) {
            return ImportItem::File{f.path, type, f.uti, f.name, shared};
        };
        std::vector<ImportItem> stemItems;
        for (const Found& p : pictures)
            stemItems.push_back({{file(p, ResourceType::Photo)}});
        size_t r = 0;
        if (!stemItems.empty() && !raws.empty())
            stemItems.front().files.push_back(file(raws[r++], ResourceType::AlternatePhoto));
        for (; r < raws.size(); ++r)
            stemItems.push_back({{file(raws[r], ResourceType::Photo)}});
        for (const Found& s : sidecars)
            stemItems.front().files.push_back(file(s, ResourceType::AdjustmentData));
        for (auto& item : stemItems)
            items.push_back(std::move(item));
    }
}

// The folder and its subfolders (not hidden ones, nor those behind links), in name order.
void collectFolders(const QByteArray& folder, QList<std::pair<QString, QByteArray>>& found) {
    for (const Entry& entry : entriesOf(folder)) {
        const QByteArray raw = folder + '/' + entry.raw;
        struct stat st {};
        if (::stat(raw.constData(), &st) != 0 || !S_ISDIR(st.st_mode))
            continue;
        found.append({displayName(raw), raw});
        if (::lstat(raw.constData(), &st) == 0 && S_ISDIR(st.st_mode))
            collectFolders(raw, found);
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
    Aliases aliases;
    for (const QString& folder : folders) {
        const QByteArray top = QFile::encodeName(QDir(folder).absolutePath());
        QList<std::pair<QString, QByteArray>> subfolders;
        collectFolders(top, subfolders);
        std::sort(subfolders.begin(), subfolders.end());
        planFolder(top, items, skipped, aliases);
        for (const auto& sub : std::as_const(subfolders))
            planFolder(sub.second, items, skipped, aliases);
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
                 library.fetchAssetsWithResource(item.files.front().name, primary.size()))
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
                    req.addResource(f.type, f.path, {f.name, f.uniformTypeIdentifier});
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
