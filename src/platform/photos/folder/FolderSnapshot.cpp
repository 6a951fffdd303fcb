// The folder store's reading of its tree: the walk, the index of what each file holds, and the
// items, identifiers and albums made of them.
#include "platform/photos/folder/FolderSnapshot.h"

#include "platform/imaging/ImageMetadata.h"
#include "platform/imaging/ImagingError.h"
#include "platform/imaging/XmpSidecar.h"
#include "platform/photos/FileKind.h"
#include "platform/photos/PhotoLibraryError.h"
#include "platform/photos/folder/TreeWalk.h"
#include "platform/photos/shared/ChangeLock.h"
#include "platform/photos/shared/DurableWrites.h"
#include "platform/photos/shared/FreedesktopTrash.h"
#include "platform/photos/shared/ResourceFiles.h"
#include "platform/photos/shared/SqliteDatabase.h"

#include <QCryptographicHash>
#include <QDebug>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QRegularExpression>
#include <QSet>
#include <QTimeZone>
#include <QUuid>
#include <QtConcurrent/QtConcurrentMap>
#include <algorithm>
#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <map>
#include <numeric>
#include <string>
#include <string_view>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

namespace photos {

using namespace folder;

namespace {

// What was read from one file, as the index keeps it.
struct Read {
    std::optional<qint64> captureMs;
    std::optional<int> offset;
    std::optional<double> latitude, longitude;
    std::optional<int> rating;
    std::optional<QString> label;
    QStringList keywords;
    bool readable = true;
};

// `readable` of a file read with only the offsets it has written; 1 was an older reading.
constexpr int readOffsetsAsWritten = 2;

// What items are made of a file's read, small: a tree has a hundred thousand files.
struct Facts {
    qint64 captureMs = 0;
    double latitude = 0, longitude = 0;
    qint32 offset = 0;
    qint8 rating = 0;
    quint8 has = 0;
    QStringList keywords;
    enum : quint8 { Capture = 1, Offset = 2, Place = 4, Rating = 8 };

    Facts() = default;
    explicit Facts(const Read& r) : keywords(r.keywords) {
        if (r.captureMs)
            has |= Capture, captureMs = *r.captureMs;
        if (r.offset)
            has |= Offset, offset = *r.offset;
        if (r.latitude && r.longitude)
            has |= Place, latitude = *r.latitude, longitude = *r.longitude;
        if (r.rating)
            has |= Rating, rating = qint8(std::clamp(*r.rating, -128, 127));
    }
    std::optional<int> ratingIfAny() const {
        return has & Rating ? std::optional<int>(rating) : std::nullopt;
    }
    // The capture's wall-clock time, in seconds: at its offset, else in the machine's zone.
    qint64 wallClockSeconds() const {
        const int zone = has & Offset ? offset
                                      : QTimeZone::systemTimeZone().offsetFromUtc(
                                            QDateTime::fromMSecsSinceEpoch(captureMs, Qt::UTC));
        return seconds(captureMs) + zone;
    }
    // Whether this capture (a sidecar's) corrects `file`'s: another program changed the
    // time, or an exporter dropped or changed the offset of the time the sidecar keeps.
    bool correctsCaptureOf(const Facts& file) const {
        if (!(has & Capture))
            return false;
        if (!(file.has & Capture))
            return true;
        // Without offsets both are the machine's time: no zone need be looked up.
        const bool sameTime = has & Offset || file.has & Offset
                                  ? wallClockSeconds() == file.wallClockSeconds()
                                  : seconds(captureMs) == seconds(file.captureMs);
        if (!sameTime)
            return true;
        return has & Offset && (!(file.has & Offset) || offset != file.offset);
    }
    static qint64 seconds(qint64 ms) { return ms / 1000 - (ms % 1000 < 0 ? 1 : 0); }
};

Read readFile(const QString& absolute, FileKind kind) {
    Read r;
    if (kind == FileKind::EditFile)
        return r; // another program's own format
    if (kind == FileKind::Sidecar) {
        QFile file(absolute);
        if (!file.open(QIODevice::ReadOnly) || file.size() > sidecarLimit) {
            r.readable = false;
            return r;
        }
        const auto data = imaging::parseXmpSidecar(file.readAll());
        if (!data) {
            r.readable = false;
            return r;
        }
        r.rating = data->rating;
        r.label = data->label;
        r.keywords = data->albumTitles();
        // An offset only where one is written: an item's zone is not guessed.
        if (data->captureDate) {
            r.captureMs = data->captureDate->toMSecsSinceEpoch();
            r.offset = data->captureOffsetSeconds;
        }
        r.latitude = data->latitude;
        r.longitude = data->longitude;
        return r;
    }
    const imaging::ImageMetadata meta = imaging::readImageMetadata(absolute);
    if (meta.captureDate && meta.captureDate->isValid()) {
        r.captureMs = meta.captureDate->toMSecsSinceEpoch();
        r.offset = meta.offsetSeconds;
    }
    if (meta.latitude && meta.longitude) {
        r.latitude = meta.latitude;
        r.longitude = meta.longitude;
    }
    r.rating = meta.xmpRating;
    return r;
}

} // namespace

std::shared_ptr<const FolderStore::Snapshot> FolderStore::rescan() const {
    TreeWalk walk;
    walk.walkRoot(m_root);
    std::vector<Seen>& seen = walk.files;
    // What was read from each file, and its path once needed, by the file's number.
    std::vector<Facts> facts(seen.size());
    std::vector<QString> paths(seen.size());
    const auto pathOf = [&](size_t i) -> const QString& {
        if (paths[i].isNull()) {
            const std::string_view bytes = walk.pathOf(seen[i]);
            paths[i] = QString::fromUtf8(bytes.data(), qsizetype(bytes.size()));
        }
        return paths[i];
    };

    // The index and the walk are both in the order of the paths' bytes: one pass pairs them.
    QStringList removed;
    QHash<QString, std::pair<QString, bool>> identities; // path → uuid, made by a change
    // Pictures whose file left their path, or another file took it, with the size and
    // modification time the index knew; pictures new at their path.
    struct Left {
        QString path;
        qint64 size, mtimeNs;
    };
    std::vector<Left> left;
    std::vector<size_t> arrived;
    const auto isPicture = [](FileKind kind) {
        return kind == FileKind::Picture || kind == FileKind::Raw;
    };
    {
        std::lock_guard lock(m_dbMutex);
        auto st = m_db->statement(
            "SELECT path, size, mtime_ns, inode, capture_ms, capture_offset, latitude, "
            "longitude, rating, keywords, readable FROM files ORDER BY path");
        size_t next = 0;
        while (st.step()) {
            const QByteArrayView stored = st.utf8(0);
            const std::string_view path(stored.data(), size_t(stored.size()));
            while (next < seen.size() && walk.pathOf(seen[next]) < path) {
                if (isPicture(seen[next].kind))
                    arrived.push_back(next);
                ++next; // not in the index yet
            }
            if (next == seen.size() || walk.pathOf(seen[next]) != path) {
                removed << QString::fromUtf8(stored);
                if (isPicture(fileKindOf(removed.last(), nullptr)))
                    left.push_back({removed.last(), st.int64(1), st.int64(2)});
                continue;
            }
            Seen& s = seen[next];
            Facts& f = facts[next++];
            // A picture still at its path is another one when its size changed: a copy of the
            // tree made without the files' times, or a file system like exFAT that numbers its
            // files anew at every mount, leaves the same pictures. One that left and came
            // back must have kept its modification time too.
            if (isPicture(s.kind) && st.int64(1) != s.size) {
                left.push_back({QString::fromUtf8(stored), st.int64(1), st.int64(2)});
                arrived.push_back(next - 1);
            }
            // Only files that are new or changed since they were last read are read again.
            if (st.int64(1) != s.size || st.int64(2) != s.mtimeNs || st.int64(3) != s.inode)
                continue;
            // An offset read by a version that filled in the machine's for a time without
            // one (readable 1) is read again, so that it tells a written offset from none.
            if (st.int64(10) == 1 && !st.isNull(5))
                continue;
            s.stale = false;
            if (!st.isNull(4))
                f.has |= Facts::Capture, f.captureMs = st.int64(4);
            if (!st.isNull(5))
                f.has |= Facts::Offset, f.offset = qint32(st.int64(5));
            if (!st.isNull(6) && !st.isNull(7))
                f.has |= Facts::Place, f.latitude = st.real(6), f.longitude = st.real(7);
            if (!st.isNull(8))
                f.has |= Facts::Rating,
                    f.rating = qint8(std::clamp<qint64>(st.int64(8), -128, 127));
            // Labels and whether a sidecar was XMP are kept for other programs and for check.
            if (!st.isNull(9) && !st.utf8(9).isEmpty())
                f.keywords = st.text(9).split(QLatin1Char('\n'));
        }
        for (; next < seen.size(); ++next)
            if (isPicture(seen[next].kind))
                arrived.push_back(next);
        auto ids = m_db->statement("SELECT path, uuid, created FROM identities");
        while (ids.step())
            identities.insert(ids.text(0), {ids.text(1), ids.int64(2) != 0});
    }
    ItemIdentifiers itemIdentifier(m_identity);

    std::vector<size_t> stale;
    for (size_t i = 0; i < seen.size(); ++i)
        if (seen[i].stale) {
            stale.push_back(i);
            pathOf(i);
        }
    QList<Read> fresh;
    if (!stale.empty()) {
        const QString root = m_root + QLatin1Char('/');
        fresh = QtConcurrent::blockingMapped<QList<Read>>(
            stale, [&](size_t i) { return readFile(root + paths[i], seen[i].kind); });
        for (qsizetype i = 0; i < fresh.size(); ++i)
            facts[stale[size_t(i)]] = Facts(fresh[i]);
    }
    // An unchanged tree writes nothing.
    if (!stale.empty() || !removed.isEmpty()) {
        std::lock_guard lock(m_dbMutex);
        inTransaction(*m_db, [&] {
            // An item's identity belongs to its file, not to its path. What other programs
            // recorded meanwhile counts: read again inside the transaction.
            QSet<QString> retired;
            if (!left.empty() || !arrived.empty()) {
                identities.clear();
                auto ids = m_db->statement("SELECT path, uuid, created FROM identities");
                while (ids.step())
                    identities.insert(ids.text(0), {ids.text(1), ids.int64(2) != 0});
                auto paths = m_db->statement("SELECT path FROM retired");
                while (paths.step())
                    retired.insert(paths.text(0));
            }
            for (const Left& l : left) {
                auto still = m_db->statement("SELECT 1 FROM files WHERE path = ? AND size = ? AND "
                                             "mtime_ns = ?");
                still.bind(1, l.path).bind(2, l.size).bind(3, l.mtimeNs);
                if (!still.step())
                    continue; // another program's scan saw it go first
                const auto id = identities.constFind(l.path);
                const QByteArray utf8 = l.path.toUtf8();
                m_db->statement("INSERT OR REPLACE INTO retired (path, uuid, created, size, "
                                "mtime_ns) VALUES (?, ?, ?, ?, ?)")
                    .bind(1, l.path)
                    .bind(2,
                          id != identities.cend()
                              ? id->first
                              : itemIdentifier(std::string_view(utf8.data(), size_t(utf8.size()))))
                    .bind(3, id != identities.cend() && id->second ? 1 : 0)
                    .bind(4, l.size)
                    .bind(5, l.mtimeNs)
                    .run();
                m_db->statement("DELETE FROM identities WHERE path = ?").bind(1, l.path).run();
                identities.remove(l.path);
                retired.insert(l.path);
            }
            // A file new at a path: made by a change or given back by a restore, the identity
            // recorded for it; the file that left the path, its own again; any other, a new one.
            for (const size_t i : arrived) {
                const QString& path = pathOf(i);
                if (!retired.contains(path))
                    continue; // recorded already, or a path never used: derived from it
                if (!identities.contains(path)) {
                    auto before = m_db->statement(
                        "SELECT uuid, created, size, mtime_ns FROM retired WHERE path = ?");
                    before.bind(1, path);
                    const bool same = before.step() && !before.isNull(2) &&
                                      before.int64(2) == seen[i].size &&
                                      before.int64(3) == seen[i].mtimeNs;
                    const std::pair<QString, bool> identity{same ? before.text(0)
                                                                 : randomItemIdentifier(),
                                                            same && before.int64(1) != 0};
                    m_db->statement("INSERT INTO identities (path, uuid, created) VALUES (?, ?, ?)")
                        .bind(1, path)
                        .bind(2, identity.first)
                        .bind(3, identity.second ? 1 : 0)
                        .run();
                    identities.insert(path, identity);
                }
                m_db->statement("DELETE FROM retired WHERE path = ?").bind(1, path).run();
            }
            for (const QString& path : removed)
                m_db->statement("DELETE FROM files WHERE path = ?").bind(1, path).run();
            for (size_t k = 0; k < stale.size(); ++k) {
                const size_t i = stale[k];
                const Seen* s = &seen[i];
                const Read& r = fresh[qsizetype(k)];
                m_db->statement(
                        "INSERT OR REPLACE INTO files (path, size, mtime_ns, inode, capture_ms, "
                        "capture_offset, latitude, longitude, rating, label, keywords, readable) "
                        "VALUES (?, ?, ?, ?, ?, ?, ?, ?, ?, ?, ?, ?)")
                    .bind(1, paths[i])
                    .bind(2, s->size)
                    .bind(3, s->mtimeNs)
                    .bind(4, s->inode)
                    .bind(5, r.captureMs)
                    .bind(6, r.offset)
                    .bind(7, r.latitude)
                    .bind(8, r.longitude)
                    .bind(9, r.rating)
                    .bind(10, r.label)
                    .bind(11, r.keywords.join(QLatin1Char('\n')))
                    .bind(12, r.readable ? readOffsetsAsWritten : 0)
                    .run();
            }
        });
    }

    // Group per folder by name stem, the folders in the order of their paths.
    auto snapshot = std::make_shared<Snapshot>();
    std::vector<uint32_t> folderOrder(walk.folders.size());
    std::iota(folderOrder.begin(), folderOrder.end(), 0u);
    std::sort(folderOrder.begin(), folderOrder.end(),
              [&](uint32_t a, uint32_t b) { return walk.folders[a].path < walk.folders[b].path; });
    // A file of the folder at hand: its name in lower case (in `lower`), the part before the
    // last dot, the stem it is grouped under and, for a sidecar NAME.EXT.xmp, NAME.EXT.
    struct Key {
        uint32_t file;
        uint32_t at, bytes, stemBytes;
        std::string_view stem;
        int owner = -1;
    };
    std::string lower;
    std::vector<Key> keys;
    std::vector<uint32_t> byName, byStem, pictures, made, raws, sidecars, edits;
    std::vector<std::vector<uint32_t>> groups, sidecarsOf, editsOf;
    // At most one item a picture.
    snapshot->items.reserve(size_t(std::count_if(
        seen.begin(), seen.end(), [](const Seen& s) { return s.kind != FileKind::Sidecar; })));
    for (const uint32_t f : folderOrder) {
        const WalkedFolder& folder = walk.folders[f];
        lower.clear();
        keys.clear();
        for (const uint32_t i : folder.files) {
            Key k{i, uint32_t(lower.size()), 0, 0, {}};
            const std::string_view name = walk.nameOf(seen[i]);
            const bool ascii =
                std::all_of(name.begin(), name.end(), [](char c) { return uchar(c) < 0x80; });
            if (ascii)
                for (const char c : name)
                    lower.push_back(c >= 'A' && c <= 'Z' ? char(c + ('a' - 'A')) : c);
            else
                lower.append(
                    QString::fromUtf8(name.data(), qsizetype(name.size())).toLower().toStdString());
            k.bytes = uint32_t(lower.size()) - k.at;
            const size_t dot = std::string_view(lower).substr(k.at, k.bytes).rfind('.');
            k.stemBytes = dot == std::string_view::npos ? k.bytes : uint32_t(dot);
            keys.push_back(k);
        }
        const auto lowerName = [&](const Key& k) {
            return std::string_view(lower).substr(k.at, k.bytes);
        };
        byName.resize(keys.size());
        std::iota(byName.begin(), byName.end(), 0u);
        std::stable_sort(byName.begin(), byName.end(), [&](uint32_t a, uint32_t b) {
            return lowerName(keys[a]) < lowerName(keys[b]);
        });
        for (Key& k : keys) {
            const std::string_view base = lowerName(k).substr(0, k.stemBytes);
            k.stem = base;
            const FileKind kind = seen[k.file].kind;
            if (kind != FileKind::Sidecar && kind != FileKind::EditFile)
                continue;
            // The last file of that name, as a sidecar can belong to one picture only.
            const auto after = std::upper_bound(
                byName.begin(), byName.end(), base,
                [&](std::string_view v, uint32_t j) { return v < lowerName(keys[j]); });
            const int owner = after == byName.begin() ? -1 : int(*(after - 1));
            if (owner >= 0 && lowerName(keys[size_t(owner)]) == base &&
                isPicture(seen[keys[size_t(owner)].file].kind)) {
                k.owner = owner;
                k.stem = lowerName(keys[size_t(owner)]).substr(0, keys[size_t(owner)].stemBytes);
            } else if (kind == FileKind::Sidecar && lowerName(k).ends_with(".xmp") &&
                       !snapshot->sidecarStemFolders.contains(folder.path) &&
                       std::any_of(keys.begin(), keys.end(), [&](const Key& p) {
                           return isPicture(seen[p.file].kind) &&
                                  lowerName(p).substr(0, p.stemBytes) == base;
                       })) {
                // Only an XMP sidecar named after a picture's stem says how the folder names
                // them; one whose picture is gone says nothing.
                snapshot->sidecarStemFolders.insert(folder.path);
            }
        }
        byStem.resize(keys.size());
        std::iota(byStem.begin(), byStem.end(), 0u);
        std::stable_sort(byStem.begin(), byStem.end(),
                         [&](uint32_t a, uint32_t b) { return keys[a].stem < keys[b].stem; });
        for (size_t run = 0; run < byStem.size();) {
            size_t end = run + 1;
            while (end < byStem.size() && keys[byStem[end]].stem == keys[byStem[run]].stem)
                ++end;
            pictures.clear();
            made.clear();
            raws.clear();
            sidecars.clear();
            edits.clear();
            for (size_t j = run; j < end; ++j) {
                const uint32_t k = byStem[j];
                const Seen& s = seen[keys[k].file];
                if (s.kind == FileKind::Sidecar)
                    sidecars.push_back(k);
                else if (s.kind == FileKind::EditFile)
                    edits.push_back(k);
                else if (!identities.isEmpty() && identities.value(pathOf(keys[k].file)).second)
                    made.push_back(k);
                else
                    (s.kind == FileKind::Raw ? raws : pictures).push_back(k);
            }
            run = end;

            size_t groupCount = 0;
            const auto newGroup = [&](uint32_t first) {
                if (groups.size() <= groupCount)
                    groups.emplace_back();
                groups[groupCount].assign(1, first);
                return groupCount++;
            };
            for (const uint32_t p : pictures)
                newGroup(p);
            size_t r = 0;
            // A picture a change made stands alone: the camera's RAW stays with its JPEG.
            if (groupCount > 0 && !raws.empty())
                groups[0].push_back(raws[r++]);
            for (; r < raws.size(); ++r)
                newGroup(raws[r]);
            // The files one change made together (a picture and its RAW) stay one item.
            std::stable_sort(made.begin(), made.end(), [&](uint32_t a, uint32_t b) {
                return seen[keys[a].file].kind != FileKind::Raw &&
                       seen[keys[b].file].kind == FileKind::Raw;
            });
            std::map<QString, size_t> madeGroups;
            for (const uint32_t m : made) {
                const QString uuid = identities.value(pathOf(keys[m].file)).first;
                const auto [it, added] = madeGroups.try_emplace(uuid, groupCount);
                if (added)
                    newGroup(m);
                else
                    groups[it->second].push_back(m);
            }
            if (groupCount == 0)
                continue; // sidecars without their picture
            if (sidecarsOf.size() < groupCount) {
                sidecarsOf.resize(groupCount);
                editsOf.resize(groupCount);
            }
            for (size_t g = 0; g < groupCount; ++g) {
                sidecarsOf[g].clear();
                editsOf[g].clear();
            }
            // Sidecars and other programs' edit files go with the picture they are named after,
            // else with the first of their stem.
            const auto ownerGroup = [&](uint32_t s) {
                size_t target = 0;
                if (keys[s].owner >= 0)
                    for (size_t g = 0; g < groupCount; ++g)
                        if (std::find(groups[g].begin(), groups[g].end(),
                                      uint32_t(keys[s].owner)) != groups[g].end())
                            target = g;
                return target;
            };
            for (const uint32_t s : sidecars)
                sidecarsOf[ownerGroup(s)].push_back(s);
            for (const uint32_t e : edits)
                editsOf[ownerGroup(e)].push_back(e);

            for (size_t g = 0; g < groupCount; ++g) {
                Item& item = snapshot->items.emplace_back();
                auto asset = std::make_shared<Asset>();
                const uint32_t frontFile = keys[groups[g].front()].file;
                item.folder = folder.path;
                item.primary = pathOf(frontFile);
                const auto id =
                    identities.isEmpty() ? identities.cend() : identities.constFind(item.primary);
                asset->localIdentifier = id != identities.cend()
                                             ? id->first
                                             : itemIdentifier(walk.pathOf(seen[frontFile]));
                bool favourite = false;
                std::optional<int> stemRating;
                for (const uint32_t s : sidecarsOf[g])
                    if (keys[s].owner < 0 && facts[keys[s].file].has & Facts::Rating)
                        stemRating = facts[keys[s].file].rating;
                // The first date and the first place found are the item's.
                const Facts* pictureDate = nullptr;
                const Facts* sidecarDate = nullptr;
                auto takeDateAndPlace = [&](const Facts& read, const Facts*& date) {
                    if (!date && read.has & Facts::Capture)
                        date = &read;
                    if (!asset->location && read.has & Facts::Place)
                        asset->location = Location{read.latitude, read.longitude};
                };
                asset->resources.reserve(groups[g].size() + sidecarsOf[g].size() +
                                         editsOf[g].size());
                auto addResource = [&](uint32_t file, ResourceType type) {
                    const Seen& f = seen[file];
                    auto res = std::make_shared<AssetResource>();
                    res->assetLocalIdentifier = asset->localIdentifier;
                    res->ordinal = int(asset->resources.size());
                    res->type = type;
                    res->uniformTypeIdentifier = walk.utiOf(f);
                    const std::string_view name = walk.nameOf(f);
                    res->originalFilename = QString::fromUtf8(name.data(), qsizetype(name.size()));
                    res->fileSize = f.size;
                    res->storedPath = pathOf(file);
                    asset->resources.push_back(std::move(res));
                };
                for (const uint32_t k : groups[g]) {
                    const uint32_t file = keys[k].file;
                    addResource(file, file == frontFile ? ResourceType::Photo
                                                        : ResourceType::AlternatePhoto);
                    std::optional<int> rating;
                    for (const uint32_t s : sidecarsOf[g])
                        if (keys[s].owner == int(k))
                            rating = facts[keys[s].file].ratingIfAny();
                    if (!rating)
                        rating = stemRating;
                    if (!rating)
                        rating = facts[file].ratingIfAny();
                    favourite = favourite || rating == 5;
                    takeDateAndPlace(facts[file], pictureDate);
                }
                for (const uint32_t k : sidecarsOf[g]) {
                    const uint32_t file = keys[k].file;
                    addResource(file, ResourceType::AdjustmentData);
                    item.sidecars << paths[file];
                    for (const QString& keyword : facts[file].keywords)
                        if (!item.keywords.contains(keyword))
                            item.keywords << keyword;
                }
                // Read by no one here, they travel with the item's files: to the trash and
                // into its backups.
                for (const uint32_t k : editsOf[g])
                    addResource(keys[k].file, ResourceType::AdjustmentData);
                // A sidecar's place counts only where the pictures have none, its date also
                // where it corrects theirs.
                for (const uint32_t k : sidecarsOf[g])
                    takeDateAndPlace(facts[keys[k].file], sidecarDate);
                const Facts* date = pictureDate;
                if (sidecarDate && (!date || sidecarDate->correctsCaptureOf(*date)))
                    date = sidecarDate;
                if (date) {
                    asset->creationDate = QDateTime::fromMSecsSinceEpoch(date->captureMs, Qt::UTC);
                    asset->creationOffsetSeconds =
                        date->has & Facts::Offset ? std::optional<int>(date->offset) : std::nullopt;
                } else {
                    const QDateTime modified =
                        QDateTime::fromMSecsSinceEpoch(seen[frontFile].mtimeNs / 1000000, Qt::UTC);
                    asset->creationDate = modified;
                    asset->creationOffsetSeconds =
                        QTimeZone::systemTimeZone().offsetFromUtc(modified);
                }
                asset->isFavorite = favourite;
                item.asset = std::move(asset);
            }
        }
    }
    std::lock_guard lock(m_snapshotMutex);
    m_snapshot = snapshot;
    m_scanProblems = walk.problems;
    return snapshot;
}

} // namespace photos
