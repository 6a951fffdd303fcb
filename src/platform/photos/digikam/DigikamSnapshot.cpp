// Reading a digiKam collection into a snapshot of its items and albums.
#include "platform/photos/digikam/DigikamSnapshot.h"

#include "platform/photos/FileKind.h"
#include "platform/photos/shared/LocalClock.h"
#include "platform/photos/shared/SqliteDatabase.h"

#include <QCryptographicHash>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QSet>
#include <QTimeZone>
#include <QUrlQuery>
#include <QUuid>
#include <algorithm>
#include <sys/stat.h>

namespace photos {

namespace digikam {

namespace {

constexpr qint64 unixEpochJulianDay = 2440588; // 1970-01-01

// The folder a file system is mounted at, by the file system's UUID; empty when it is not.
QString mountPointOfVolume(const QString& uuid) {
    const QString device =
        QFileInfo(QStringLiteral("/dev/disk/by-uuid/") + uuid).canonicalFilePath();
    if (device.isEmpty())
        return {};
    QFile mounts(QStringLiteral("/proc/self/mounts"));
    if (!mounts.open(QIODevice::ReadOnly))
        return {};
    for (const QByteArray& line : mounts.readAll().split('\n')) {
        const QList<QByteArray> fields = line.split(' ');
        if (fields.size() < 2 ||
            QFileInfo(QString::fromLocal8Bit(fields[0])).canonicalFilePath() != device)
            continue;
        // The table escapes spaces and the like as octal: \040.
        QString point = QString::fromLocal8Bit(fields[1]);
        point.replace(QStringLiteral("\\040"), QStringLiteral(" "))
            .replace(QStringLiteral("\\011"), QStringLiteral("\t"))
            .replace(QStringLiteral("\\134"), QStringLiteral("\\"));
        return point;
    }
    return {};
}

} // namespace

QString albumRootPath(const QString& identifier, const QString& specificPath) {
    const qsizetype question = identifier.indexOf(QLatin1Char('?'));
    if (!identifier.startsWith(QLatin1String("volumeid:")) || question < 0)
        return {};
    const QUrlQuery query(identifier.mid(question + 1));
    QString root;
    if (query.hasQueryItem(QStringLiteral("path"))) {
        root = query.queryItemValue(QStringLiteral("path"), QUrl::FullyDecoded);
    } else if (query.hasQueryItem(QStringLiteral("uuid"))) {
        const QString mount =
            mountPointOfVolume(query.queryItemValue(QStringLiteral("uuid"), QUrl::FullyDecoded));
        if (mount.isEmpty())
            return {};
        root = mount + QLatin1Char('/') + specificPath;
    } else {
        return {};
    }
    root = QDir::cleanPath(root);
    return QFileInfo(root).isDir() ? root : QString();
}

std::optional<qint64> wallClockOfFixedText(QByteArrayView text) {
    if (!(text.size() == 19 || (text.size() == 23 && text[19] == '.')) || text[4] != '-' ||
        text[7] != '-' || text[10] != 'T' || text[13] != ':' || text[16] != ':')
        return std::nullopt;
    const auto number = [&](qsizetype at, qsizetype digits) {
        int n = 0;
        for (qsizetype i = at; i < at + digits; ++i) {
            if (text[i] < '0' || text[i] > '9')
                return -1;
            n = n * 10 + (text[i] - '0');
        }
        return n;
    };
    const int year = number(0, 4), month = number(5, 2), day = number(8, 2);
    const int hour = number(11, 2), minute = number(14, 2), second = number(17, 2);
    const int ms = text.size() == 23 ? number(20, 3) : 0;
    // A year of -1 (no digits) would be a valid date: 1 BC.
    const QDate date = year >= 1 ? QDate(year, month, day) : QDate();
    if (!date.isValid() || hour < 0 || hour > 23 || minute < 0 || minute > 59 || second < 0 ||
        second > 59 || ms < 0)
        return std::nullopt;
    return (date.toJulianDay() - unixEpochJulianDay) * 86400000LL +
           ((hour * 60 + minute) * 60 + second) * 1000LL + ms;
}

std::optional<qint64> wallClockOfText(QByteArrayView text) {
    if (const auto wall = wallClockOfFixedText(text))
        return wall;
    if (text.isEmpty())
        return std::nullopt;
    // Any other form ISO 8601 allows: its date and time as written, whatever zone it names.
    const QString iso = QString::fromUtf8(text);
    QDateTime written = QDateTime::fromString(iso, Qt::ISODateWithMs);
    if (!written.isValid())
        written = QDateTime::fromString(iso, Qt::ISODate);
    if (!written.isValid())
        return std::nullopt;
    return (written.date().toJulianDay() - unixEpochJulianDay) * 86400000LL +
           written.time().msecsSinceStartOfDay();
}

QString uniqueHashOf(const QString& path) {
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly))
        return {};
    constexpr qint64 part = 100 * 1024;
    const qint64 size = file.size();
    const qint64 n = std::min(size, part);
    QCryptographicHash md5(QCryptographicHash::Md5);
    const QByteArray head = file.read(n);
    if (head.size() != n || !file.seek(size - n))
        return {};
    const QByteArray tail = file.read(n);
    if (tail.size() != n)
        return {};
    md5.addData(head);
    md5.addData(tail);
    return QString::fromLatin1(md5.result().toHex());
}

QString modificationText(const QString& path) {
    const QDateTime modified =
        QFileInfo(path).fileTime(QFileDevice::FileModificationTime).toLocalTime();
    return modified.isValid() ? modified.toString(QStringLiteral("yyyy-MM-ddTHH:mm:ss.zzz"))
                              : QString();
}

QString titleOfTag(const QString& path) {
    const QString own = ownTagParent + QLatin1Char('/');
    return path.startsWith(own) && path.size() > own.size() ? path.mid(own.size()) : path;
}

QString itemIdentifier(const QString& prefix, qint64 key) {
    return prefix + QStringLiteral("%1/L0/001").arg(key, 12, 16, QLatin1Char('0')).toUpper();
}

QString albumIdentifier(const QString& identity, const QString& path) {
    static const QUuid albumSpace = QUuid::fromString(u"3d0f6b2a-92c4-4b8e-a1f7-5e6c0d9b2f41");
    return QUuid::createUuidV5(albumSpace, identity + QLatin1Char('\n') + path)
               .toString(QUuid::WithoutBraces)
               .toUpper() +
           QStringLiteral("/L0/040");
}

QString localTextOf(const QDateTime& instant, std::optional<int> offsetSeconds) {
    const QDateTime wall = offsetSeconds ? instant.toOffsetFromUtc(*offsetSeconds)
                                         : instant.toTimeZone(QTimeZone::systemTimeZone());
    return wall.toString(QStringLiteral("yyyy-MM-ddTHH:mm:ss.zzz"));
}

} // namespace digikam

using namespace digikam;

namespace {

QString stemOf(const QString& name) {
    const qsizetype dot = name.lastIndexOf(QLatin1Char('.'));
    return dot > 0 ? name.left(dot) : name;
}

} // namespace

std::shared_ptr<const DigikamStore::Snapshot> DigikamStore::load() const {
    auto snapshot = std::make_shared<Snapshot>();

    // digiKam's folders ("albums") by id, with their paths.
    QHash<qint64, QString> rootPaths;
    {
        auto st = m_db->statement("SELECT id, identifier, specificPath FROM AlbumRoots");
        while (st.step()) {
            const QString path = albumRootPath(st.text(1), st.text(2));
            if (path.isEmpty())
                snapshot->unreachableRoots << st.text(1);
            else
                rootPaths.insert(st.int64(0), path);
        }
    }
    QHash<qint64, QString> folders, collections;
    {
        auto st = m_db->statement("SELECT id, albumRoot, relativePath FROM Albums");
        while (st.step()) {
            const auto root = rootPaths.constFind(st.int64(1));
            if (root == rootPaths.constEnd())
                continue;
            collections.insert(st.int64(0), *root);
            const QString relative = st.text(2);
            folders.insert(st.int64(0), relative == QLatin1String("/")
                                            ? *root
                                            : QDir::cleanPath(*root + QLatin1Char('/') + relative));
        }
    }

    // The images digiKam shows: visible, pictures, in a folder that can be reached.
    struct Row {
        qint64 id, album;
        QString name, uti;
        FileKind kind;
        int rating;
        std::optional<qint64> created; // wall-clock time
        std::optional<double> latitude, longitude;
    };
    std::vector<Row> rows;
    {
        auto st = m_db->statement(
            "SELECT i.id, i.album, i.name, coalesce(ii.rating, -1), ii.creationDate, "
            "p.latitudeNumber, p.longitudeNumber FROM Images i LEFT JOIN ImageInformation ii ON "
            "ii.imageid = i.id LEFT JOIN ImagePositions p ON p.imageid = i.id WHERE i.status = 1 "
            "AND i.category = 1 AND i.album IS NOT NULL ORDER BY i.id");
        while (st.step()) {
            if (!folders.contains(st.int64(1)))
                continue;
            Row r{st.int64(0),      st.int64(1),  st.text(2),   {},          FileKind::Other,
                  int(st.int64(3)), std::nullopt, std::nullopt, std::nullopt};
            r.created = wallClockOfText(st.utf8(4));
            r.kind = fileKindOf(r.name, &r.uti);
            if (!st.isNull(5) && !st.isNull(6)) {
                r.latitude = st.real(5);
                r.longitude = st.real(6);
            }
            rows.push_back(std::move(r));
        }
    }
    QSet<qint64> rejected;
    {
        auto st = m_db->statement(
            "SELECT it.imageid FROM ImageTags it JOIN Tags t ON t.id = it.tagid WHERE t.name = ? "
            "AND t.pid = (SELECT id FROM Tags WHERE name = ? AND pid = 0)");
        st.bind(1, rejectedTag).bind(2, internalTagRoot);
        while (st.step())
            rejected.insert(st.int64(0));
    }

    // Items the programs made keep their images together, under the identifiers their
    // placeholders promised.
    QHash<qint64, QString> identities;
    {
        auto st = m_db->statement("SELECT image, identifier FROM state.identities");
        while (st.step())
            identities.insert(st.int64(0), st.text(1));
    }
    // Items the programs made hold every image of theirs; the others are pairs: a RAW and a
    // picture of one name in one folder, whatever digiKam's groups say, or files alone.
    std::vector<std::vector<size_t>> groups;
    std::vector<qsizetype> groupOf(rows.size(), -1);
    {
        QHash<QString, size_t> madeGroups;
        for (size_t i = 0; i < rows.size(); ++i) {
            const auto made = identities.constFind(rows[i].id);
            if (made == identities.constEnd())
                continue;
            auto g = madeGroups.constFind(*made);
            if (g == madeGroups.constEnd()) {
                g = madeGroups.insert(*made, groups.size());
                groups.emplace_back();
            }
            groups[*g].push_back(i);
            groupOf[i] = qsizetype(*g);
        }
        QHash<std::pair<qint64, QString>, std::vector<size_t>> pictures; // folder, stem → rows
        for (size_t i = 0; i < rows.size(); ++i)
            if (rows[i].kind == FileKind::Picture && groupOf[i] < 0)
                pictures[{rows[i].album, stemOf(rows[i].name).toCaseFolded()}].push_back(i);
        std::vector<qsizetype> partner(rows.size(), -1);
        for (size_t i = 0; i < rows.size(); ++i) {
            if (rows[i].kind != FileKind::Raw || groupOf[i] >= 0)
                continue;
            const auto found =
                pictures.constFind({rows[i].album, stemOf(rows[i].name).toCaseFolded()});
            if (found == pictures.constEnd())
                continue;
            for (size_t pic : *found)
                if (partner[pic] < 0) {
                    partner[pic] = qsizetype(i);
                    partner[i] = qsizetype(pic);
                    break;
                }
        }
        for (size_t i = 0; i < rows.size(); ++i) {
            if (groupOf[i] >= 0 || (partner[i] >= 0 && size_t(partner[i]) < i))
                continue; // in a made item, or made with its partner
            groups.push_back({i});
            if (partner[i] >= 0)
                groups.back().push_back(size_t(partner[i]));
        }
        // Oldest first by their first image; within one, pictures before RAW files.
        for (auto& g : groups)
            std::stable_sort(g.begin(), g.end(), [&](size_t a, size_t b) {
                return rows[a].kind != FileKind::Raw && rows[b].kind == FileKind::Raw;
            });
        std::sort(groups.begin(), groups.end(), [&](const auto& a, const auto& b) {
            return *std::min_element(a.begin(), a.end()) < *std::min_element(b.begin(), b.end());
        });
    }

    LocalClock clock;
    for (const std::vector<size_t>& members : groups) {
        const size_t i = *std::min_element(members.begin(), members.end());
        auto asset = std::make_shared<Asset>();
        asset->localIdentifier =
            identities.value(rows[i].id, itemIdentifier(m_idPrefix, rows[i].id));
        asset->catalogId = rows[i].id;
        auto item = std::make_shared<Item>();
        item->album = rows[i].album;
        item->folder = folders.value(rows[i].album);
        item->collection = collections.value(rows[i].album);
        int ordinal = 0;
        for (size_t m : members) {
            const Row& r = rows[m];
            auto resource = std::make_shared<AssetResource>();
            resource->assetLocalIdentifier = asset->localIdentifier;
            resource->ordinal = ordinal++;
            resource->type =
                r.kind == FileKind::Raw ? ResourceType::AlternatePhoto : ResourceType::Photo;
            resource->uniformTypeIdentifier = r.uti;
            resource->originalFilename = r.name;
            resource->storedPath = item->folder + QLatin1Char('/') + r.name;
            // What a pair would reclaim is the scan's business: its files' sizes as they are
            // now, not as digiKam last saw them.
            struct stat st {};
            if (members.size() > 1 &&
                ::lstat(QFile::encodeName(resource->storedPath).constData(), &st) == 0 &&
                S_ISREG(st.st_mode))
                resource->fileSize = qint64(st.st_size);
            asset->resources.push_back(std::move(resource));
            item->images.push_back(r.id);
            if (!asset->creationDate && r.created)
                asset->creationDate = clock.instantOfWallClock(*r.created);
            if (!asset->location && r.latitude)
                asset->location = Location{*r.latitude, *r.longitude};
            if (r.rating == 5 && !rejected.contains(r.id))
                asset->isFavorite = true;
        }
        item->asset = asset;
        std::shared_ptr<const Item> shared = item;
        snapshot->byId.insert(asset->localIdentifier, shared);
        for (qint64 image : item->images)
            snapshot->byImage.insert(image, shared);
        snapshot->items.push_back(std::move(shared));
    }

    // Albums: the user's tags by their full paths; digiKam's internal tags and the face
    // engine's own ("Unknown", "Unconfirmed", "Ignored") are no albums.
    struct TagRow {
        qint64 pid;
        QString name;
    };
    QHash<qint64, TagRow> tagRows;
    std::vector<qint64> tagOrder;
    {
        auto st = m_db->statement("SELECT id, pid, name FROM Tags ORDER BY id");
        while (st.step()) {
            tagRows.insert(st.int64(0), {st.int64(1), st.text(2)});
            tagOrder.push_back(st.int64(0));
        }
    }
    QSet<qint64> systemTags;
    {
        auto st = m_db->statement(
            "SELECT tagid FROM TagProperties WHERE property IN ('internalTag', 'unknownPerson', "
            "'unconfirmedPerson', 'ignoredPerson')");
        while (st.step())
            systemTags.insert(st.int64(0));
    }
    QHash<QString, QString> albumIdentities; // albums the programs made keep their identifiers
    {
        auto st = m_db->statement("SELECT path, identifier FROM state.album_identities");
        while (st.step())
            albumIdentities.insert(st.text(0), st.text(1));
    }
    QHash<qint64, size_t> tagIndex;
    for (qint64 id : tagOrder) {
        QStringList parts;
        bool internal = systemTags.contains(id);
        QSet<qint64> seen; // a loop in a damaged tree ends the walk
        for (qint64 at = id; at != 0 && !seen.contains(at);) {
            seen.insert(at);
            const auto row = tagRows.constFind(at);
            if (row == tagRows.constEnd())
                break;
            if (row->pid == 0 && row->name == internalTagRoot)
                internal = true;
            parts.prepend(row->name);
            at = row->pid;
        }
        const QString path = parts.join(QLatin1Char('/'));
        if (internal || path == ownTagParent)
            continue;
        tagIndex.insert(id, snapshot->tags.size());
        snapshot->tags.push_back(
            {id, path, albumIdentities.value(path, albumIdentifier(m_identity, path)), {}});
    }
    {
        auto st = m_db->statement("SELECT tagid, imageid FROM ImageTags ORDER BY tagid, imageid");
        QSet<std::pair<size_t, const Item*>> seen; // an item once per tag
        while (st.step()) {
            const auto t = tagIndex.constFind(st.int64(0));
            const auto item = snapshot->byImage.value(st.int64(1));
            if (t == tagIndex.constEnd() || !item || seen.contains({*t, item.get()}))
                continue;
            seen.insert({*t, item.get()});
            snapshot->tags[*t].members.push_back(item->asset->localIdentifier);
        }
    }
    // A tag that only holds others ("People", "Places") and no picture of its own is a
    // heading of digiKam's tag tree, not an album; the programs' own albums are albums even
    // while empty.
    QSet<qint64> parents;
    for (const TagRow& t : tagRows)
        parents.insert(t.pid);
    std::erase_if(snapshot->tags, [&](const Snapshot::Tag& tag) {
        return tag.members.empty() && parents.contains(tag.id) &&
               !tag.path.startsWith(ownTagParent + QLatin1Char('/'));
    });
    for (const auto& tag : snapshot->tags) {
        auto album = std::make_shared<AssetCollection>();
        album->localIdentifier = tag.identifier;
        album->localizedTitle = titleOfTag(tag.path);
        album->estimatedAssetCount = int(tag.members.size());
        album->catalogId = tag.id;
        auto listed = std::make_shared<AssetCollection>(*album);
        listed->estimatedAssetCount = -1;
        snapshot->albums.push_back(std::move(album));
        for (const QString& member : tag.members)
            snapshot->albumsOfItem[member].push_back(listed);
    }
    return snapshot;
}

} // namespace photos
