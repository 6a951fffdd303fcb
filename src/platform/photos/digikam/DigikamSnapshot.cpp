// Reading a digiKam collection into a snapshot of its items and albums.
#include "platform/photos/digikam/DigikamSnapshot.h"

#include "platform/photos/FileKind.h"
#include "platform/photos/shared/LocalClock.h"
#include "platform/photos/shared/ScanFolders.h"
#include "platform/photos/shared/SnapshotBlocks.h"
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
#include <atomic>
#include <exception>
#include <span>
#include <string>
#include <thread>

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
using namespace blocks;

std::shared_ptr<const DigikamStore::Snapshot> DigikamStore::load() const {
    auto snapshot = std::make_shared<Snapshot>();

    // digiKam's folders ("albums"), with their paths.
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
    struct Folder {
        qint64 id;
        QString path, collection;
    };
    std::vector<Folder> folders;
    QHash<qint64, size_t> folderIndex;
    {
        auto st = m_db->statement("SELECT id, albumRoot, relativePath FROM Albums");
        while (st.step()) {
            const auto root = rootPaths.constFind(st.int64(1));
            if (root == rootPaths.constEnd())
                continue;
            const QString relative = st.text(2);
            folderIndex.insert(st.int64(0), folders.size());
            folders.push_back({st.int64(0),
                               relative == QLatin1String("/")
                                   ? *root
                                   : QDir::cleanPath(*root + QLatin1Char('/') + relative),
                               *root});
        }
    }

    // The images digiKam shows: visible, pictures, in a folder that can be reached.
    struct Row {
        qint64 id;
        size_t folder; // index in folders
        size_t name;   // where its UTF-8 name starts in `names`
        size_t kind;   // index in kinds
        QString filename;
        int rating;
        std::optional<qint64> created; // wall-clock time
        std::optional<double> latitude, longitude;
    };
    std::vector<Row> rows;
    std::string names; // every image's file name as stored, each ended by a NUL
    struct Kind {
        QString extension; // as spelled in the names
        FileKind kind;
        QString uti;
    };
    std::vector<Kind> kinds;
    {
        auto count = m_db->statement("SELECT count(*) FROM Images");
        if (count.step())
            rows.reserve(size_t(std::max<qint64>(count.int64(0), 0)));
        auto st = m_db->statement(
            "SELECT i.id, i.album, i.name, coalesce(ii.rating, -1), ii.creationDate, "
            "p.latitudeNumber, p.longitudeNumber FROM Images i LEFT JOIN ImageInformation ii ON "
            "ii.imageid = i.id LEFT JOIN ImagePositions p ON p.imageid = i.id WHERE i.status = 1 "
            "AND i.category = 1 AND i.album IS NOT NULL ORDER BY i.id");
        qint64 lastAlbum = 0;
        size_t lastFolder = SIZE_MAX;
        while (st.step()) {
            const qint64 album = st.int64(1);
            if (lastFolder == SIZE_MAX || album != lastAlbum) {
                const auto f = folderIndex.constFind(album);
                if (f == folderIndex.constEnd())
                    continue;
                lastAlbum = album;
                lastFolder = *f;
            }
            Row r{st.int64(0),
                  lastFolder,
                  names.size(),
                  0,
                  st.text(2),
                  int(st.int64(3)),
                  wallClockOfText(st.utf8(4)),
                  std::nullopt,
                  std::nullopt};
            const QByteArrayView utf8 = st.utf8(2);
            names.append(utf8.data(), size_t(utf8.size()));
            names.push_back('\0');
            if (!st.isNull(5) && !st.isNull(6)) {
                r.latitude = st.real(5);
                r.longitude = st.real(6);
            }
            // A file's kind is its extension's: asked once for each spelling.
            const qsizetype dot = r.filename.lastIndexOf(QLatin1Char('.'));
            const QStringView extension = QStringView(r.filename).mid(dot + 1);
            r.kind = kinds.size();
            if (dot > 0)
                for (size_t k = 0; k < kinds.size(); ++k)
                    if (kinds[k].extension == extension) {
                        r.kind = k;
                        break;
                    }
            if (r.kind == kinds.size()) {
                // A name with no stem (".jpg") is one of a kind of its own.
                Kind kind{dot > 0 ? extension.toString() : QStringLiteral("/"), FileKind::Other,
                          QString()};
                kind.kind = fileKindOf(r.filename, &kind.uti);
                kinds.push_back(std::move(kind));
            }
            rows.push_back(std::move(r));
        }
    }
    const auto kindOf = [&](size_t row) { return kinds[rows[row].kind].kind; };
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
    std::vector<std::vector<size_t>> madeRows;
    std::vector<bool> placed(rows.size(), false);
    if (!identities.isEmpty()) {
        QHash<QString, size_t> madeItems;
        for (size_t i = 0; i < rows.size(); ++i) {
            const auto made = identities.constFind(rows[i].id);
            if (made == identities.constEnd())
                continue;
            auto it = madeItems.constFind(*made);
            if (it == madeItems.constEnd()) {
                it = madeItems.insert(*made, madeRows.size());
                madeRows.emplace_back();
            }
            madeRows[*it].push_back(i);
            placed[i] = true;
        }
    }
    std::vector<qsizetype> partner(rows.size(), -1);
    {
        // The stems of the pictures and RAW files, case-folded, in one block of text.
        QString stems;
        stems.reserve(qsizetype(names.size())); // a UTF-16 unit at most per UTF-8 byte, folded
        std::vector<std::pair<qsizetype, qsizetype>> stemAt(rows.size(), {0, 0}); // from, size
        for (size_t i = 0; i < rows.size(); ++i) {
            const FileKind kind = kindOf(i);
            if (placed[i] || (kind != FileKind::Picture && kind != FileKind::Raw))
                continue;
            const QString& name = rows[i].filename;
            const qsizetype dot = name.lastIndexOf(QLatin1Char('.'));
            const QStringView stem = dot > 0 ? QStringView(name).left(dot) : QStringView(name);
            const qsizetype from = stems.size();
            if (std::all_of(stem.begin(), stem.end(), [](QChar c) { return c.unicode() < 0x80; })) {
                // ASCII folds to ASCII: no string of its own needed.
                stems.append(stem);
                QChar* folded = stems.data() + from;
                for (qsizetype k = 0; k < stem.size(); ++k)
                    if (folded[k] >= u'A' && folded[k] <= u'Z')
                        folded[k] = QChar(folded[k].unicode() + 32);
            } else {
                stems.append(stem.toString().toCaseFolded());
            }
            stemAt[i] = {from, stems.size() - from};
        }
        const auto stemOfRow = [&](size_t i) {
            return QStringView(stems).mid(stemAt[i].first, stemAt[i].second);
        };
        // The pictures by folder and stem: an open-addressing table of each name's first
        // picture, the others chained behind it in row order.
        size_t tableSize = 16;
        while (tableSize < 2 * rows.size())
            tableSize *= 2;
        const size_t mask = tableSize - 1;
        struct Slot {
            size_t first = SIZE_MAX, last = SIZE_MAX;
        };
        std::vector<Slot> table(tableSize);
        std::vector<size_t> nextPicture(rows.size(), SIZE_MAX);
        const auto slotOf = [&](size_t row) -> Slot& {
            size_t s = qHash(stemOfRow(row), rows[row].folder) & mask;
            for (; table[s].first != SIZE_MAX; s = (s + 1) & mask) {
                const size_t other = table[s].first;
                if (rows[other].folder == rows[row].folder && stemOfRow(other) == stemOfRow(row))
                    break;
            }
            return table[s];
        };
        for (size_t i = 0; i < rows.size(); ++i)
            if (!placed[i] && kindOf(i) == FileKind::Picture) {
                Slot& slot = slotOf(i);
                if (slot.first == SIZE_MAX)
                    slot.first = i;
                else
                    nextPicture[slot.last] = i;
                slot.last = i;
            }
        for (size_t i = 0; i < rows.size(); ++i) {
            if (placed[i] || kindOf(i) != FileKind::Raw)
                continue;
            for (size_t pic = slotOf(i).first; pic != SIZE_MAX; pic = nextPicture[pic])
                if (partner[pic] < 0) {
                    partner[pic] = qsizetype(i);
                    partner[i] = qsizetype(pic);
                    break;
                }
        }
    }

    // The items, oldest first by their first image, each as a run of `members`; within one,
    // its pictures before its RAW files.
    struct Plan {
        size_t first, count, key; // key: its first row
    };
    std::vector<Plan> plans;
    std::vector<size_t> members;
    plans.reserve(rows.size());
    members.reserve(rows.size());
    for (const auto& rowsOfItem : madeRows) {
        plans.push_back({members.size(), rowsOfItem.size(), rowsOfItem.front()});
        members.insert(members.end(), rowsOfItem.begin(), rowsOfItem.end());
    }
    for (size_t i = 0; i < rows.size(); ++i) {
        if (placed[i] || (partner[i] >= 0 && size_t(partner[i]) < i))
            continue; // in a made item, or made with its partner
        plans.push_back({members.size(), partner[i] >= 0 ? 2u : 1u, i});
        members.push_back(i);
        if (partner[i] >= 0)
            members.push_back(size_t(partner[i]));
    }
    const auto isRaw = [&](size_t row) { return kindOf(row) == FileKind::Raw; };
    for (const Plan& plan : plans) // a stable insertion sort: at most a few members each
        for (size_t k = plan.first + 1; k < plan.first + plan.count; ++k)
            for (size_t j = k; j > plan.first && isRaw(members[j - 1]) && !isRaw(members[j]); --j)
                std::swap(members[j - 1], members[j]);
    if (!madeRows.empty())
        std::sort(plans.begin(), plans.end(),
                  [](const Plan& a, const Plan& b) { return a.key < b.key; });

    // What a pair would reclaim is the scan's business: its files' sizes as they are now, not
    // as digiKam last saw them. Each is asked relative to its folder, opened once.
    struct Stat {
        size_t folder;
        const char* name;
    };
    std::vector<Stat> statted; // the pairs' files
    // The items are made in two halves, the second on a second thread; both threads then share
    // the stats.
    const size_t half = secondHalfOf(plans.size());
    size_t statsBeforeHalf = 0;
    for (size_t p = 0; p < plans.size(); ++p) {
        if (p == half)
            statsBeforeHalf = statted.size();
        const Plan& plan = plans[p];
        if (plan.count > 1)
            for (size_t k = plan.first; k < plan.first + plan.count; ++k)
                statted.push_back({rows[plan.key].folder, names.c_str() + rows[members[k]].name});
    }
    std::vector<QByteArray> folderPaths;
    folderPaths.reserve(folders.size());
    for (const Folder& folder : folders)
        folderPaths.push_back(QFile::encodeName(folder.path));
    ScanFolders openFolders(std::move(folderPaths));
    std::vector<qint64> sizes(statted.size(), -1);
    std::atomic<size_t> nextStat{0};
    const auto statFiles = [&] {
        constexpr size_t chunk = 256;
        for (size_t begin; (begin = nextStat.fetch_add(chunk)) < statted.size();)
            for (size_t k = begin; k < std::min(begin + chunk, statted.size()); ++k)
                sizes[k] = openFolders.statOf(statted[k].folder, statted[k].name).size;
    };

    // The items in one array, each shared by pointers into it.
    const auto itemStore = std::make_shared<Item[]>(plans.size());
    using Sized = std::vector<std::pair<AssetResource*, size_t>>; // resource, index in `statted`
    const auto makeItems = [&](size_t from, size_t to, size_t statIndex, Sized& sized) {
        LocalClock clock;
        for (size_t p = from; p < to; ++p) {
            const Plan& plan = plans[p];
            const std::span<const size_t> rowsOfItem(members.data() + plan.first, plan.count);
            const Row& first = rows[plan.key];
            const Folder& folder = folders[first.folder];
            const FileBlock files = makeFiles(plan.count);
            const auto assetObject = std::make_shared<Asset>();
            Asset& asset = *assetObject;
            asset.localIdentifier = identifierOf(identities, m_idPrefix, first.id);
            asset.catalogId = first.id;
            asset.resources.reserve(plan.count);
            Item& item = itemStore[p];
            item.album = folder.id;
            item.folder = folder.path;
            item.collection = folder.collection;
            item.images.reserve(plan.count);
            int ordinal = 0;
            for (size_t m : rowsOfItem) {
                const Row& r = rows[m];
                const Kind& kind = kinds[r.kind];
                AssetResource& resource = files.files[ordinal];
                resource.assetLocalIdentifier = asset.localIdentifier;
                resource.ordinal = ordinal++;
                resource.type =
                    kind.kind == FileKind::Raw ? ResourceType::AlternatePhoto : ResourceType::Photo;
                resource.uniformTypeIdentifier = kind.uti;
                resource.originalFilename = r.filename;
                resource.storedPath = joined(folder.path, u"/", r.filename);
                asset.resources.push_back(ResourcePtr(files.owner, &resource));
                if (plan.count > 1)
                    sized.emplace_back(&resource, statIndex++);
                item.images.push_back(r.id);
                if (!asset.creationDate && r.created)
                    asset.creationDate = clock.instantOfWallClock(*r.created);
                if (!asset.location && r.latitude)
                    asset.location = Location{*r.latitude, *r.longitude};
                if (r.rating == 5 && !rejected.contains(r.id))
                    asset.isFavorite = true;
            }
            item.asset = assetObject;
        }
    };
    Sized sizedFirst, sizedSecond;
    inTwoHalves(plans.size(), [&](size_t from, size_t to) {
        if (from == 0)
            makeItems(from, to, 0, sizedFirst);
        else
            makeItems(from, to, statsBeforeHalf, sizedSecond);
        statFiles();
    });
    for (const Sized* sized : {&sizedFirst, &sizedSecond})
        for (const auto& [resource, k] : *sized)
            if (sizes[k] >= 0)
                resource->fileSize = sizes[k];

    // The items by identifier and by image, listed on the second thread while this one reads
    // the tags.
    std::exception_ptr listingFailed;
    std::jthread listing([&] {
        try {
            snapshot->items.reserve(plans.size());
            snapshot->byId.reserve(qsizetype(plans.size()));
            snapshot->byImage.reserve(qsizetype(rows.size()));
            for (size_t p = 0; p < plans.size(); ++p) {
                std::shared_ptr<const Item> item(itemStore, &itemStore[p]);
                snapshot->byId.insert(item->asset->localIdentifier, item);
                for (qint64 image : item->images)
                    snapshot->byImage.insert(image, item);
                snapshot->items.push_back(std::move(item));
            }
        } catch (...) {
            listingFailed = std::current_exception();
        }
    });

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
        // Read in the table's order and sorted here: asking SQLite for them by tag reads the
        // table in the tag index's order, a page for each row.
        std::vector<std::pair<qint64, qint64>> tagged; // tag, image
        auto st = m_db->statement("SELECT tagid, imageid FROM ImageTags");
        while (st.step())
            tagged.emplace_back(st.int64(0), st.int64(1));
        std::sort(tagged.begin(), tagged.end());
        listing.join();
        if (listingFailed)
            std::rethrow_exception(listingFailed);
        // An item once per tag: each tag's rows come together, so the last tag an item was
        // listed in tells.
        std::vector<size_t> lastTagOf(plans.size(), SIZE_MAX);
        for (const auto& [tag, image] : tagged) {
            const auto t = tagIndex.constFind(tag);
            const auto item = snapshot->byImage.constFind(image);
            if (t == tagIndex.constEnd() || item == snapshot->byImage.constEnd())
                continue;
            const size_t index = size_t(item->get() - itemStore.get());
            if (lastTagOf[index] == *t)
                continue;
            lastTagOf[index] = *t;
            snapshot->tags[*t].members.push_back((*item)->asset->localIdentifier);
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
    size_t listings = 0;
    for (const auto& tag : snapshot->tags)
        listings += tag.members.size();
    snapshot->albumsOfItem.reserve(qsizetype(std::min(listings, plans.size())));
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
