// Changing a digiKam collection as digiKam itself changes it: one journalled transaction a
// change, undone or finished at the next opening when cut short.
#include "platform/photos/digikam/DigikamSnapshot.h"

#include "platform/imaging/ImageMetadata.h"
#include "platform/imaging/ImagingError.h"
#include "platform/imaging/XmpSidecar.h"
#include "platform/photos/FileKind.h"
#include "platform/photos/PhotoLibraryError.h"
#include "platform/photos/digikam/DigikamSettings.h"
#include "platform/photos/digikam/DigikamTrash.h"
#include "platform/photos/shared/ChangeLock.h"
#include "platform/photos/shared/DurableWrites.h"
#include "platform/photos/shared/OpenFileHolders.h"
#include "platform/photos/shared/ResourceFiles.h"
#include "platform/photos/shared/SafetyCopy.h"
#include "platform/photos/shared/SqliteDatabase.h"
#include "platform/photos/shared/TrashRecord.h"

#include <QDebug>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QSet>
#include <QUuid>
#include <cstdlib>
#include <unistd.h>

namespace photos {

using namespace digikam;

namespace {

PhotoLibraryError notFound(const QString& what, const QString& id) {
    return PhotoLibraryError(PhotoLibraryError::Code::NotFound,
                             QStringLiteral("The %1 “%2” is not in the library.").arg(what, id));
}

PhotoLibraryError storageError(const QString& what) {
    return PhotoLibraryError(PhotoLibraryError::Code::StorageFailed, what);
}

// Where tests cut a change short as a crash would, at a point they choose rather than at a
// random moment: TWINSLIM_DIGIKAM_CUT=POINT[:N] ends the process at once the N-th time (1 when
// not given) a change passes POINT: placed, claimed, commit, committed or moved.
void cutPoint(const char* point) {
    static const QStringList cut = qEnvironmentVariable("TWINSLIM_DIGIKAM_CUT").split(u':');
    static int passed = 0;
    if (cut.first() == QLatin1String(point) && ++passed == (cut.size() > 1 ? cut[1].toInt() : 1))
        ::_exit(137);
}

QString json(const QJsonArray& a) {
    return QString::fromUtf8(QJsonDocument(a).toJson(QJsonDocument::Compact));
}

QJsonObject entryJson(const DtrashEntry& e) {
    return {{QStringLiteral("collection"), e.collection},
            {QStringLiteral("name"), e.name},
            {QStringLiteral("file"), e.fileName},
            {QStringLiteral("original"), e.originalPath},
            {QStringLiteral("image"), double(e.imageId)}};
}

DtrashEntry entryOf(const QJsonObject& o) {
    return {o.value(QStringLiteral("collection")).toString(),
            o.value(QStringLiteral("name")).toString(), o.value(QStringLiteral("file")).toString(),
            o.value(QStringLiteral("original")).toString(),
            qint64(o.value(QStringLiteral("image")).toDouble())};
}

// digiKam's internal tags of its pick and colour labels, by the labels' numbers.
const QStringList pickLabelTags{
    QStringLiteral("Pick Label None"), QStringLiteral("Pick Label Rejected"),
    QStringLiteral("Pick Label Pending"), QStringLiteral("Pick Label Accepted")};
const QStringList colourLabelTags{
    QStringLiteral("Color Label None"),    QStringLiteral("Color Label Red"),
    QStringLiteral("Color Label Orange"),  QStringLiteral("Color Label Yellow"),
    QStringLiteral("Color Label Green"),   QStringLiteral("Color Label Blue"),
    QStringLiteral("Color Label Magenta"), QStringLiteral("Color Label Gray"),
    QStringLiteral("Color Label Black"),   QStringLiteral("Color Label White")};

// digiKam's format name and colour model of a picture it scanned.
std::pair<QString, int> formatOf(const QString& name) {
    const QString suffix = QFileInfo(name).suffix().toLower();
    if (suffix == QLatin1String("heic") || suffix == QLatin1String("heif") ||
        suffix == QLatin1String("hif"))
        return {QStringLiteral("HEIF"), 1};
    return {QStringLiteral("JPG"), 5};
}

} // namespace

void DigikamStore::refuseWhileDigikamRuns() const {
    if (const auto holder = processHoldingOpen(m_database))
        throw PhotoLibraryError(
            PhotoLibraryError::Code::AccessDenied,
            QStringLiteral("digiKam (%1, process %2) has the library “%3” open: close digiKam, "
                           "then try again. Nothing was changed.")
                .arg(holder->command.isEmpty() ? QStringLiteral("a program") : holder->command)
                .arg(holder->pid)
                .arg(m_database));
}

QString DigikamStore::safetyCopyPath() const {
    std::lock_guard lock(m_dbMutex);
    return m_safetyCopy;
}

void DigikamStore::takeSafetyCopyOnce(const QDateTime& now) {
    if (!m_safetyCopy.isEmpty())
        return;
    // In the store's hidden folder: digiKam would take a visible one for an album.
    m_safetyCopy =
        saveDatabaseCopy(*m_db, "main", QFileInfo(m_database).fileName(), stateFolder(), now);
    qInfo().noquote() << QStringLiteral("Before changing the digiKam library, Twinslim saved a "
                                        "copy of it: %1")
                             .arg(m_safetyCopy);
}

void DigikamStore::apply(const ChangeRequests& changes, const QDateTime& now,
                         const std::function<void()>& beforeCommit) {
    if (changes.isEmpty())
        return;
    for (const AssetCreationRequest& creation : changes.assetCreations())
        if (creation.hidden)
            throw PhotoLibraryError(PhotoLibraryError::Code::InvalidRequest,
                                    QStringLiteral("Items of a digiKam library cannot be hidden."));
    for (const AssetChangeRequest& change : changes.assetChanges())
        if (change.hidden && *change.hidden)
            throw PhotoLibraryError(PhotoLibraryError::Code::InvalidRequest,
                                    QStringLiteral("Items of a digiKam library cannot be hidden."));
    ChangeLock changeLock(stateFolder());
    refuseWhileDigikamRuns();
    std::lock_guard lock(m_dbMutex);
    recoverInterruptedChanges();
    takeSafetyCopyOnce(now);
    m_snapshot.reset();
    const auto snapshot = current(); // decide on what the library holds now
    auto itemOf = [&](const QString& id) {
        const auto item = snapshot->byId.value(id);
        if (!item)
            throw notFound(QStringLiteral("item"), id);
        return item;
    };
    const QString token = QUuid::createUuid().toString(QUuid::Id128).left(12);
    int tempCount = 0;
    // Where digiKam, set to write ratings, labels and tags into its files, would have written
    // them for a new picture.
    const MetadataWriting writing =
        MetadataWriting::fromConfiguration(configurationOf(m_database, m_configuration));

    // ---- Plan: new files and where they go ----
    struct NewImage {
        QString creation; // identifier of the new item
        QString folder, temp, final;
        QString sourcePath;
        QByteArray data;
        qint64 album = 0; // 0: the folder's album is made
        std::shared_ptr<const Item> origin;
        const AssetCreationRequest* request = nullptr;
        imaging::ImageMetadata meta;
        qint64 rating = -1;
        std::vector<qint64> tags; // its pair's tags and labels
        imaging::DigikamMarks marks;
        QString sidecarTemp, sidecarFinal; // when a sidecar may be written
        bool sidecarWritten = false;
    };
    std::vector<NewImage> newImages;
    QSet<QString> taken; // lower-case paths chosen in this change
    QHash<QString, QSet<QString>> namesIn;
    auto isFree = [&](const QString& folder, const QString& name) {
        const QString path = folder + QLatin1Char('/') + name;
        if (taken.contains(path.toLower()))
            return false;
        // Names are compared without case, as on the disks photos live on; and a name digiKam
        // still keeps a row for (in its trash) stays that row's.
        auto names = namesIn.find(folder);
        if (names == namesIn.end()) {
            QSet<QString> lower;
            for (const QString& n : QDir(folder).entryList(QDir::AllEntries | QDir::Hidden |
                                                           QDir::System | QDir::NoDotAndDotDot))
                lower.insert(n.toLower());
            names = namesIn.insert(folder, lower);
        }
        return !names->contains(name.toLower());
    };
    // An item made from nothing goes into a folder of its own in the first collection.
    QString ownFolder, ownCollection;
    for (const AssetCreationRequest& creation : changes.assetCreations()) {
        if (creation.resources().empty())
            throw PhotoLibraryError(PhotoLibraryError::Code::InvalidResource,
                                    QStringLiteral("A new item needs at least one resource."));
        std::shared_ptr<const Item> origin;
        if (creation.derivedFrom)
            origin = itemOf(*creation.derivedFrom);
        QString folder = origin ? origin->folder : QString();
        if (!origin) {
            if (ownFolder.isEmpty()) {
                auto root = m_db->statement("SELECT identifier, specificPath FROM AlbumRoots "
                                            "ORDER BY id");
                while (ownCollection.isEmpty() && root.step())
                    ownCollection = albumRootPath(root.text(0), root.text(1));
                if (ownCollection.isEmpty())
                    throw storageError(QStringLiteral("The digiKam library has no collection "
                                                      "that can be reached for new pictures."));
                ownFolder = ownCollection + QStringLiteral("/Twinslim");
                if (!QDir().mkpath(ownFolder))
                    throw storageError(
                        QStringLiteral("The folder “%1” cannot be made.").arg(ownFolder));
            }
            folder = ownFolder;
        }
        // What it gets of its pair: the rating (the pair's rejected files' left out; 5 for a
        // favourite), the tags and the colour and pick labels (the programs' own albums and
        // digiKam's version markers stay where they are).
        QJsonArray originIds;
        if (origin)
            for (qint64 image : origin->images)
                originIds.append(image);
        const QString origins = json(originIds);
        auto ratingOf = m_db->statement(
            "SELECT CASE WHEN ?1 THEN 5 ELSE coalesce((SELECT max(rating) FROM ImageInformation "
            "WHERE imageid IN (SELECT value FROM json_each(?2)) AND imageid NOT IN (SELECT "
            "it.imageid FROM ImageTags it JOIN Tags t ON t.id = it.tagid WHERE t.name = ?3)), -1) "
            "END");
        ratingOf.bind(1, qint64(creation.favorite ? 1 : 0)).bind(2, origins).bind(3, rejectedTag);
        const qint64 rating = ratingOf.step() ? ratingOf.int64(0) : -1;
        std::vector<qint64> tags;
        auto tagsOf = m_db->statement(
            "SELECT DISTINCT it.tagid FROM ImageTags it JOIN Tags t ON t.id = it.tagid WHERE "
            "it.imageid IN (SELECT value FROM json_each(?1)) AND (t.id NOT IN (SELECT tt.id FROM "
            "TagsTree tt JOIN Tags r ON r.id = tt.pid WHERE r.pid = 0 AND r.name IN (?2, ?3)) OR "
            "t.name LIKE 'Color Label %' OR t.name LIKE 'Pick Label %') ORDER BY it.tagid");
        tagsOf.bind(1, origins).bind(2, internalTagRoot).bind(3, ownTagParent);
        while (tagsOf.step())
            tags.push_back(tagsOf.int64(0));
        // The same as digiKam writes them into a file: tags by their paths, labels by number.
        imaging::DigikamMarks marks;
        if (writing.rating && rating >= 0)
            marks.rating = int(rating);
        QStringList paths;
        for (qint64 tag : tags) {
            QStringList parts;
            for (qint64 id = tag; id != 0 && parts.size() < 100;) {
                auto part = m_db->statement("SELECT pid, name FROM Tags WHERE id = ?");
                part.bind(1, id);
                if (!part.step())
                    break;
                parts.prepend(part.text(1));
                id = part.int64(0);
            }
            if (parts.isEmpty())
                continue;
            if (parts.first() != internalTagRoot)
                paths << parts.join(QLatin1Char('/'));
            else if (const int pick = pickLabelTags.indexOf(parts.last());
                     pick >= 0 && writing.pickLabel && !marks.pickLabel)
                marks.pickLabel = pick;
            else if (const int colour = colourLabelTags.indexOf(parts.last());
                     colour >= 0 && writing.colourLabel && !marks.colourLabel)
                marks.colourLabel = colour;
        }
        if (writing.tags)
            marks.tagPaths = paths;
        for (const auto& res : creation.resources()) {
            const QString name = QFileInfo(res.options.originalFilename).fileName();
            QString uti;
            const FileKind kind = name.isEmpty() ? FileKind::Other : fileKindOf(name, &uti);
            if (kind != FileKind::Picture && kind != FileKind::Raw)
                throw PhotoLibraryError(
                    PhotoLibraryError::Code::InvalidResource,
                    QStringLiteral("“%1” is not a picture a digiKam library can hold.")
                        .arg(res.options.originalFilename));
            const QFileInfo info(name);
            const QString suffix =
                info.suffix().isEmpty() ? QString() : QLatin1Char('.') + info.suffix();
            QString final;
            for (int n = 0;; ++n) {
                final = n == 0 ? name
                               : QStringLiteral("%1 (%2)%3")
                                     .arg(info.completeBaseName())
                                     .arg(n)
                                     .arg(suffix);
                // A sidecar digiKam would write takes a name of its own too.
                if (isFree(folder, final) &&
                    (!writing.mayWriteSidecar() || isFree(folder, writing.sidecarNameOf(final))))
                    break;
            }
            taken.insert((folder + QLatin1Char('/') + final).toLower());
            NewImage image;
            image.creation = creation.placeholderForCreatedAsset().localIdentifier;
            image.folder = folder;
            image.final = final;
            image.temp = QStringLiteral(".twinslim-%1-%2.tmp").arg(token).arg(tempCount++);
            image.sourcePath = res.sourcePath;
            image.data = res.data;
            image.album = origin ? origin->album : 0;
            image.origin = origin;
            image.request = &creation;
            image.meta = res.sourcePath.isEmpty() ? imaging::readImageMetadata(res.data)
                                                  : imaging::readImageMetadata(res.sourcePath);
            image.rating = rating;
            image.tags = tags;
            image.marks = marks;
            if (writing.mayWriteSidecar()) {
                image.sidecarFinal = writing.sidecarNameOf(final);
                image.sidecarTemp =
                    QStringLiteral(".twinslim-%1-%2.tmp").arg(token).arg(tempCount++);
                taken.insert((folder + QLatin1Char('/') + image.sidecarFinal).toLower());
            }
            newImages.push_back(std::move(image));
        }
    }

    // ---- Plan: what goes to digiKam's trash ----
    QStringList deleted;
    for (const QString& id : QSet<QString>(changes.deletions().begin(), changes.deletions().end()))
        deleted << id;
    deleted.sort();
    struct Trashing {
        QString item;
        qint64 image;
        QString collection, path;
    };
    std::vector<Trashing> toTrash;
    QSet<QString> sidecarsTrashed;
    for (const QString& id : deleted) {
        const auto item = itemOf(id);
        for (size_t k = 0; k < item->images.size(); ++k)
            toTrash.push_back(
                {id, item->images[k], item->collection, item->asset->resources[k]->storedPath});
        // digiKam moves a file's sidecar along with it, as an entry of its own.
        for (const ResourcePtr& r : item->asset->resources) {
            const QFileInfo file(r->storedPath);
            const QString sidecar =
                file.absolutePath() + QLatin1Char('/') + writing.sidecarNameOf(file.fileName());
            if (QFileInfo(sidecar).isFile() && !QFileInfo(sidecar).isSymLink() &&
                !sidecarsTrashed.contains(sidecar)) {
                sidecarsTrashed.insert(sidecar);
                toTrash.push_back({id, -1, item->collection, sidecar});
            }
        }
    }

    // ---- The journal names every file before it exists or moves ----
    QJsonArray operations;
    for (const NewImage& n : newImages) {
        operations.append(QJsonObject{{QStringLiteral("op"), QStringLiteral("place")},
                                      {QStringLiteral("temp"), n.folder + u'/' + n.temp},
                                      {QStringLiteral("final"), n.folder + u'/' + n.final}});
        if (!n.sidecarFinal.isEmpty())
            operations.append(
                QJsonObject{{QStringLiteral("op"), QStringLiteral("place")},
                            {QStringLiteral("temp"), n.folder + u'/' + n.sidecarTemp},
                            {QStringLiteral("final"), n.folder + u'/' + n.sidecarFinal},
                            {QStringLiteral("of"), n.folder + u'/' + n.final}});
    }
    qint64 journalId = 0;
    auto saveJournal = [&] {
        if (journalId == 0) {
            m_db->statement("INSERT INTO state.journal (state, operations) VALUES ('planned', ?)")
                .bind(1, json(operations))
                .run();
            journalId = m_db->lastInsertRowId();
        } else {
            m_db->statement("UPDATE state.journal SET operations = ? WHERE id = ?")
                .bind(1, json(operations))
                .bind(2, journalId)
                .run();
        }
    };

    std::vector<DtrashEntry> claimed;
    QStringList claimedFor; // the item of each claim
    QStringList placed;
    try {
        saveJournal();
        // ---- New files, flushed, then put in place under their names ----
        QSet<QString> folders;
        for (NewImage& n : newImages) {
            const QString temp = n.folder + u'/' + n.temp;
            // digiKam writes into the picture's own file where Exiv2 can, else, when set to,
            // into its sidecar.
            const bool anyMarks =
                n.marks.rating || n.marks.pickLabel || n.marks.colourLabel || n.marks.tagPaths;
            bool intoFile = false;
            if (anyMarks && writing.triesFile()) {
                QByteArray bytes = n.data;
                if (!n.sourcePath.isEmpty()) {
                    QFile source(n.sourcePath);
                    if (!source.open(QIODevice::ReadOnly))
                        throw storageError(
                            QStringLiteral("“%1” cannot be read.").arg(n.sourcePath));
                    bytes = source.readAll();
                }
                try {
                    bytes = imaging::embedDigikamMarks(bytes, n.marks);
                    intoFile = true;
                    writeFlushed(temp, bytes);
                } catch (const imaging::ImagingError& e) {
                    qInfo().noquote() << QStringLiteral("%1 cannot hold digiKam’s marks in its "
                                                        "own file: %2")
                                             .arg(n.final, QString::fromUtf8(e.what()));
                }
            }
            if (!intoFile && !n.sourcePath.isEmpty()) {
                ResourceFiles::streamCopy(n.sourcePath, temp);
                flushFile(temp);
            } else if (!intoFile) {
                writeFlushed(temp, n.data);
            }
            if (anyMarks && !n.sidecarFinal.isEmpty() && writing.writesSidecar(intoFile)) {
                imaging::XmpSidecarEdit edit;
                edit.digikam = n.marks;
                writeFlushed(n.folder + u'/' + n.sidecarTemp, imaging::editXmpSidecar({}, edit));
                n.sidecarWritten = true;
            }
            folders.insert(n.folder);
        }
        for (const QString& f : folders)
            syncFolder(f);
        for (const NewImage& n : newImages) {
            const QString final = n.folder + u'/' + n.final;
            if (const int error = renameWithoutReplacing(n.folder + u'/' + n.temp, final))
                throw storageError(
                    error == EEXIST
                        ? QStringLiteral("Another file took the name “%1” meanwhile.").arg(final)
                        : QStringLiteral("“%1” cannot be put in place.").arg(final));
            placed << final;
            if (n.sidecarWritten) {
                const QString sidecar = n.folder + u'/' + n.sidecarFinal;
                if (renameWithoutReplacing(n.folder + u'/' + n.sidecarTemp, sidecar) != 0)
                    throw storageError(QStringLiteral("“%1” cannot be put in place.").arg(sidecar));
                placed << sidecar;
            }
        }
        for (const QString& f : folders)
            syncFolder(f);
        cutPoint("placed");
        // ---- The originals' places in the trash, each journalled before it is taken ----
        for (const Trashing& t : toTrash) {
            const DtrashEntry e = DigikamTrash::claim(t.collection, t.path, t.image, now);
            claimed.push_back(e);
            claimedFor << t.item;
            QJsonObject op = entryJson(e);
            op.insert(QStringLiteral("op"), QStringLiteral("trash"));
            operations.append(op);
            saveJournal();
            cutPoint("claimed");
        }

        inTransaction(*m_db, [&] {
            // ---- New images: the rows digiKam's scan would give them ----
            QHash<QString, qint64> albumOfFolder;
            QHash<QString, std::vector<qint64>> imagesOfCreated;
            for (NewImage& n : newImages) {
                if (n.album == 0) {
                    if (!albumOfFolder.contains(n.folder)) {
                        auto root = m_db->statement("SELECT id, identifier, specificPath FROM "
                                                    "AlbumRoots ORDER BY id");
                        qint64 rootId = 0;
                        while (rootId == 0 && root.step())
                            if (albumRootPath(root.text(1), root.text(2)) == ownCollection)
                                rootId = root.int64(0);
                        const QString relative = n.folder.mid(ownCollection.size());
                        m_db->statement("INSERT OR IGNORE INTO Albums (albumRoot, relativePath, "
                                        "date, modificationDate) VALUES (?, ?, ?, ?)")
                            .bind(1, rootId)
                            .bind(2, relative)
                            .bind(3, now.toLocalTime().date().toString(Qt::ISODate))
                            .bind(4, modificationText(n.folder))
                            .run();
                        auto album = m_db->statement(
                            "SELECT id FROM Albums WHERE albumRoot = ? AND relativePath = ?");
                        album.bind(1, rootId).bind(2, relative);
                        album.step();
                        albumOfFolder.insert(n.folder, album.int64(0));
                    }
                    n.album = albumOfFolder.value(n.folder);
                }
                const QString path = n.folder + u'/' + n.final;
                const QString hash = uniqueHashOf(path);
                if (hash.isEmpty())
                    throw storageError(QStringLiteral("“%1” cannot be read back.").arg(path));
                m_db->statement("INSERT INTO Images (album, name, status, category, "
                                "modificationDate, fileSize, uniqueHash) VALUES (?, ?, 1, 1, "
                                "?, ?, ?)")
                    .bind(1, n.album)
                    .bind(2, n.final)
                    .bind(3, modificationText(path))
                    .bind(4, qint64(QFileInfo(path).size()))
                    .bind(5, hash)
                    .run();
                const qint64 id = m_db->lastInsertRowId();
                imagesOfCreated[n.creation].push_back(id);
                const AssetCreationRequest& request = *n.request;
                const QString taken =
                    request.creationDate
                        ? localTextOf(*request.creationDate, request.creationOffsetSeconds)
                        : QString();
                const auto [format, colorModel] = formatOf(n.final);
                m_db->statement("INSERT INTO ImageInformation (imageid, rating, creationDate, "
                                "digitizationDate, orientation, width, height, format, "
                                "colorDepth, colorModel) VALUES (?1, ?2, ?3, ?3, ?4, ?5, ?6, ?7, "
                                "8, ?8)")
                    .bind(1, id)
                    .bind(2, n.rating)
                    .bind(3, taken.isEmpty() ? std::nullopt : std::optional(taken))
                    .bind(4, qint64(n.meta.orientation))
                    .bind(5, qint64(n.meta.pixelSize.width()))
                    .bind(6, qint64(n.meta.pixelSize.height()))
                    .bind(7, format)
                    .bind(8, qint64(colorModel))
                    .run();
                // Where it was taken and with what: its original's records, as a scan of the
                // same camera data would give them.
                const qint64 originImage = n.origin ? n.origin->images.front() : 0;
                if (request.location) {
                    m_db->statement(
                            "INSERT INTO ImagePositions (imageid, latitude, latitudeNumber, "
                            "longitude, longitudeNumber, altitude, orientation, tilt, roll, "
                            "accuracy, description) SELECT ?1, o.latitude, ?2, o.longitude, ?3, "
                            "o.altitude, o.orientation, o.tilt, o.roll, o.accuracy, "
                            "o.description FROM (SELECT 1) LEFT JOIN ImagePositions o ON "
                            "o.imageid = ?4 AND o.latitudeNumber = ?2 AND o.longitudeNumber = ?3")
                        .bind(1, id)
                        .bind(2, request.location->latitude)
                        .bind(3, request.location->longitude)
                        .bind(4, originImage)
                        .run();
                }
                for (const char* table : {"ImageMetadata", "ImageComments", "ImageCopyright"}) {
                    QStringList columns;
                    auto info = m_db->statement(QStringLiteral("PRAGMA main.table_info(%1)")
                                                    .arg(QLatin1String(table))
                                                    .toStdString());
                    while (info.step())
                        if (info.text(1) != QLatin1String("imageid") &&
                            info.text(1) != QLatin1String("id"))
                            columns << info.text(1);
                    const QString list = columns.join(QStringLiteral(", "));
                    m_db->statement(QStringLiteral("INSERT OR IGNORE INTO %1 (imageid, %2) SELECT "
                                                   "?1, %2 FROM %1 WHERE imageid = ?2")
                                        .arg(QLatin1String(table), list)
                                        .toStdString())
                        .bind(1, id)
                        .bind(2, originImage)
                        .run();
                }
                for (qint64 tag : n.tags)
                    m_db->statement("INSERT OR IGNORE INTO ImageTags (imageid, tagid) VALUES (?, "
                                    "?)")
                        .bind(1, id)
                        .bind(2, tag)
                        .run();
                // The item keeps the identifier its placeholder promised.
                m_db->statement("INSERT OR REPLACE INTO state.identities (image, identifier) "
                                "VALUES (?, ?)")
                    .bind(1, id)
                    .bind(2, n.creation)
                    .run();
            }
            auto imagesOf = [&](const QString& id) -> std::vector<qint64> {
                if (imagesOfCreated.contains(id))
                    return imagesOfCreated.value(id);
                return itemOf(id)->images;
            };

            // Favourites: 5 stars on every image of the item; unmarking lowers a 5 to 4.
            for (const AssetChangeRequest& change : changes.assetChanges()) {
                if (!change.favorite)
                    continue;
                for (qint64 image : imagesOf(change.assetIdentifier())) {
                    m_db->statement("INSERT OR IGNORE INTO ImageInformation (imageid, rating) "
                                    "VALUES (?, -1)")
                        .bind(1, image)
                        .run();
                    m_db->statement(*change.favorite
                                        ? "UPDATE ImageInformation SET rating = 5 WHERE imageid = ?"
                                        : "UPDATE ImageInformation SET rating = 4 WHERE imageid = "
                                          "? AND rating = 5")
                        .bind(1, image)
                        .run();
                }
            }

            // Albums: tags. The programs' own are made under our parent.
            QSet<qint64> emptiedCandidates;
            auto ownParent = [&] {
                m_db->statement("INSERT OR IGNORE INTO Tags (pid, name) VALUES (0, ?)")
                    .bind(1, ownTagParent)
                    .run();
                auto id = m_db->statement("SELECT id FROM Tags WHERE pid = 0 AND name = ?");
                id.bind(1, ownTagParent);
                id.step();
                return id.int64(0);
            };
            for (const AssetCollectionChangeRequest& change : changes.collectionChanges()) {
                qint64 tagId = 0;
                if (change.createdTitle()) {
                    const QString title = *change.createdTitle();
                    if (change.requiresUniqueTitle())
                        for (const CollectionPtr& album : snapshot->albums)
                            if (album->localizedTitle == title)
                                throw PhotoLibraryError(
                                    PhotoLibraryError::Code::AlreadyExists,
                                    QStringLiteral("An album titled “%1” exists already.")
                                        .arg(title));
                    const qint64 parent = ownParent();
                    m_db->statement("INSERT OR IGNORE INTO Tags (pid, name) VALUES (?, ?)")
                        .bind(1, parent)
                        .bind(2, title)
                        .run();
                    auto id = m_db->statement("SELECT id FROM Tags WHERE pid = ? AND name = ?");
                    id.bind(1, parent).bind(2, title);
                    id.step();
                    tagId = id.int64(0);
                    // The album keeps the identifier its placeholder promised.
                    m_db->statement("INSERT OR REPLACE INTO state.album_identities (path, "
                                    "identifier) VALUES (?, ?)")
                        .bind(1, ownTagParent + QLatin1Char('/') + title)
                        .bind(2, change.collectionIdentifier())
                        .run();
                } else {
                    for (const auto& tag : snapshot->tags)
                        if (tag.identifier == change.collectionIdentifier())
                            tagId = tag.id;
                    if (tagId == 0)
                        throw notFound(QStringLiteral("album"), change.collectionIdentifier());
                }
                for (const auto& op : change.operations())
                    for (const QString& itemId : op.assetIdentifiers) {
                        const auto images = imagesOf(itemId);
                        if (op.add && op.mustBeNew)
                            for (qint64 image : images) {
                                auto present = m_db->statement(
                                    "SELECT 1 FROM ImageTags WHERE imageid = ? AND tagid = ?");
                                present.bind(1, image).bind(2, tagId);
                                if (present.step())
                                    throw PhotoLibraryError(
                                        PhotoLibraryError::Code::AlreadyMember,
                                        QStringLiteral("The item %1 is in that album already.")
                                            .arg(itemId));
                            }
                        for (qint64 image : images)
                            m_db->statement(op.add ? "INSERT OR IGNORE INTO ImageTags (imageid, "
                                                     "tagid) VALUES (?, ?)"
                                                   : "DELETE FROM ImageTags WHERE imageid = ? "
                                                     "AND tagid = ?")
                                .bind(1, image)
                                .bind(2, tagId)
                                .run();
                        if (!op.add)
                            emptiedCandidates.insert(tagId);
                    }
            }

            // Deletions: as digiKam's "Move to Trash" leaves the rows: in no folder, marked
            // trashed, everything else kept for a restore. "Recently Deleted" lists them.
            const qint64 nowMs = now.toMSecsSinceEpoch();
            for (const QString& id : deleted) {
                const auto item = itemOf(id);
                QJsonArray resources, entries;
                for (const ResourcePtr& r : item->asset->resources)
                    resources.append(QJsonObject{
                        {QStringLiteral("type"), int(r->type)},
                        {QStringLiteral("uti"), r->uniformTypeIdentifier},
                        {QStringLiteral("name"), r->originalFilename},
                        {QStringLiteral("size"),
                         r->fileSize ? QJsonValue(double(*r->fileSize)) : QJsonValue()}});
                for (size_t k = 0; k < claimed.size(); ++k)
                    if (claimedFor[k] == id)
                        entries.append(entryJson(claimed[k]));
                const Asset& a = *item->asset;
                const QJsonObject asset{
                    {QStringLiteral("album"), double(item->album)},
                    {QStringLiteral("date"),
                     a.creationDate ? QJsonValue(double(a.creationDate->toMSecsSinceEpoch()))
                                    : QJsonValue()},
                    {QStringLiteral("latitude"),
                     a.location ? QJsonValue(a.location->latitude) : QJsonValue()},
                    {QStringLiteral("longitude"),
                     a.location ? QJsonValue(a.location->longitude) : QJsonValue()},
                    {QStringLiteral("favorite"), a.isFavorite},
                    {QStringLiteral("resources"), resources},
                    {QStringLiteral("entries"), entries}};
                m_db->statement("INSERT OR REPLACE INTO state.trashed (identifier, trashed_at, "
                                "asset) VALUES (?, ?, ?)")
                    .bind(1, id)
                    .bind(2, nowMs)
                    .bind(3, QString::fromUtf8(QJsonDocument(asset).toJson(QJsonDocument::Compact)))
                    .run();
                for (qint64 image : item->images)
                    m_db->statement("UPDATE Images SET status = 3, album = NULL WHERE id = ?")
                        .bind(1, image)
                        .run();
                for (const auto& tag : snapshot->tags)
                    if (std::find(tag.members.begin(), tag.members.end(), id) != tag.members.end())
                        emptiedCandidates.insert(tag.id);
            }
            // The programs' own albums go when they empty of the images digiKam shows; their
            // parent when it holds none.
            for (qint64 tag : emptiedCandidates) {
                auto own = m_db->statement(
                    "SELECT t.name FROM Tags t JOIN Tags p ON p.id = t.pid WHERE t.id = ?1 AND "
                    "p.pid = 0 AND p.name = ?2 AND NOT EXISTS (SELECT 1 FROM ImageTags it JOIN "
                    "Images i ON i.id = it.imageid WHERE it.tagid = ?1 AND i.status = 1)");
                own.bind(1, tag).bind(2, ownTagParent);
                if (!own.step())
                    continue;
                m_db->statement("DELETE FROM state.album_identities WHERE path = ?")
                    .bind(1, ownTagParent + QLatin1Char('/') + own.text(0))
                    .run();
                m_db->statement("DELETE FROM Tags WHERE id = ?").bind(1, tag).run();
            }
            m_db->statement("DELETE FROM Tags WHERE pid = 0 AND name = ?1 AND NOT EXISTS (SELECT "
                            "1 FROM Tags c WHERE c.pid = Tags.id)")
                .bind(1, ownTagParent)
                .run();
            if (!claimed.empty())
                m_db->statement("UPDATE state.journal SET state = 'committed' WHERE id = ?")
                    .bind(1, journalId)
                    .run();
            else
                m_db->statement("DELETE FROM state.journal WHERE id = ?").bind(1, journalId).run();
            beforeCommit();
            cutPoint("commit");
        });
    } catch (...) {
        // Not committed: the originals stay, their claims in the trash withdrawn; the new
        // files go.
        for (const DtrashEntry& e : claimed)
            DigikamTrash::unclaim(e);
        for (const QString& p : placed)
            QFile::remove(p);
        for (const NewImage& n : newImages) {
            QFile::remove(n.folder + u'/' + n.temp);
            if (!n.sidecarTemp.isEmpty())
                QFile::remove(n.folder + u'/' + n.sidecarTemp);
        }
        try {
            m_db->statement("DELETE FROM state.journal WHERE id = ?").bind(1, journalId).run();
        } catch (...) {
        }
        m_snapshot.reset();
        throw;
    }
    m_snapshot.reset();
    cutPoint("committed");
    if (!claimed.empty()) {
        // Committed: what is left undone here the next opening finishes.
        try {
            if (finishCommitted(operations))
                m_db->statement("DELETE FROM state.journal WHERE id = ?").bind(1, journalId).run();
        } catch (const std::exception& e) {
            qWarning().noquote() << QStringLiteral("The originals’ moves to digiKam’s trash are "
                                                   "finished at the next opening: %1")
                                        .arg(QString::fromUtf8(e.what()));
        }
    }
}

// The originals of a committed change into digiKam's trash; safe to repeat. False when one
// could not move: the journal stays, and the next opening tries again.
bool DigikamStore::finishCommitted(const QJsonArray& operations) {
    bool done = true;
    for (const QJsonValue& v : operations) {
        const QJsonObject op = v.toObject();
        if (op.value(QStringLiteral("op")).toString() != QLatin1String("trash"))
            continue;
        try {
            DigikamTrash::moveClaimed(entryOf(op));
            cutPoint("moved");
        } catch (const PhotoLibraryError& e) {
            qWarning().noquote() << e.description();
            done = false;
        }
    }
    return done;
}

// Called with the change lock held.
void DigikamStore::recoverInterruptedChanges() {
    std::lock_guard lock(m_dbMutex);
    std::vector<std::tuple<qint64, QString, QJsonArray>> journal;
    {
        auto st = m_db->statement("SELECT id, state, operations FROM state.journal ORDER BY id");
        while (st.step())
            journal.emplace_back(st.int64(0), st.text(1),
                                 QJsonDocument::fromJson(st.text(2).toUtf8()).array());
    }
    for (const auto& [id, state, operations] : journal) {
        if (state == QLatin1String("committed")) {
            if (!finishCommitted(operations))
                continue;
        } else {
            // Cut short before its commit: nothing of it stays.
            for (const QJsonValue& v : operations) {
                const QJsonObject op = v.toObject();
                const QString kind = op.value(QStringLiteral("op")).toString();
                if (kind == QLatin1String("place")) {
                    QFile::remove(op.value(QStringLiteral("temp")).toString());
                    const QString final = op.value(QStringLiteral("final")).toString();
                    // The placed file (or a placed picture's sidecar), unless its name was
                    // another's by then.
                    const QString of = op.value(QStringLiteral("of")).toString();
                    auto row = m_db->statement("SELECT 1 FROM Images i JOIN state.identities s "
                                               "ON s.image = i.id WHERE i.name = ?");
                    row.bind(1, QFileInfo(of.isEmpty() ? final : of).fileName());
                    if (!row.step())
                        QFile::remove(final);
                } else if (kind == QLatin1String("trash")) {
                    DigikamTrash::unclaim(entryOf(op));
                }
            }
        }
        m_db->statement("DELETE FROM state.journal WHERE id = ?").bind(1, id).run();
    }
    m_snapshot.reset();
}

// ---- Recently Deleted: digiKam's trash ----

std::vector<TrashedAsset> DigikamStore::trashed() const {
    std::lock_guard lock(m_dbMutex);
    std::vector<TrashedAsset> result;
    auto st = m_db->statement(
        "SELECT identifier, trashed_at, asset FROM state.trashed ORDER BY trashed_at, identifier");
    while (st.step()) {
        const QJsonObject json = QJsonDocument::fromJson(st.text(2).toUtf8()).object();
        const AssetPtr asset = assetOfTrashRecord(st.text(0), json);
        bool present = false;
        for (const QJsonValue& v : json.value(QStringLiteral("entries")).toArray())
            present = present || DigikamTrash::contains(entryOf(v.toObject()));
        // What digiKam has restored or emptied meanwhile is no longer ours to list.
        if (present)
            result.push_back({asset, QDateTime::fromMSecsSinceEpoch(st.int64(1), Qt::UTC)});
    }
    return result;
}

int DigikamStore::restore(const QStringList& identifiers) {
    ChangeLock changeLock(stateFolder());
    refuseWhileDigikamRuns();
    std::lock_guard lock(m_dbMutex);
    int restored = 0;
    for (const QString& id : identifiers) {
        auto st = m_db->statement("SELECT asset FROM state.trashed WHERE identifier = ?");
        st.bind(1, id);
        if (!st.step())
            continue;
        const QJsonObject json = QJsonDocument::fromJson(st.text(0).toUtf8()).object();
        const qint64 album = qint64(json.value(QStringLiteral("album")).toDouble());
        std::vector<DtrashEntry> back;
        for (const QJsonValue& v : json.value(QStringLiteral("entries")).toArray()) {
            const DtrashEntry e = entryOf(v.toObject());
            if (DigikamTrash::contains(e) && !QFileInfo::exists(e.originalPath)) {
                DigikamTrash::restore(e);
                back.push_back(e);
            }
        }
        if (back.empty())
            continue;
        try {
            inTransaction(*m_db, [&] {
                for (const DtrashEntry& e : back)
                    m_db->statement("UPDATE Images SET status = 1, album = ?1 WHERE id = ?2 AND "
                                    "EXISTS (SELECT 1 FROM Albums WHERE id = ?1)")
                        .bind(1, album)
                        .bind(2, e.imageId)
                        .run();
                m_db->statement("DELETE FROM state.trashed WHERE identifier = ?").bind(1, id).run();
            });
        } catch (...) {
            for (const DtrashEntry& e : back)
                try {
                    const DtrashEntry again = DigikamTrash::claim(
                        e.collection, e.originalPath, e.imageId, QDateTime::currentDateTimeUtc());
                    DigikamTrash::moveClaimed(again);
                } catch (...) {
                }
            m_snapshot.reset();
            throw;
        }
        ++restored;
    }
    m_snapshot.reset();
    return restored;
}

int DigikamStore::purgeTrashedBefore(const std::optional<QDateTime>& cutoff) {
    ChangeLock changeLock(stateFolder());
    refuseWhileDigikamRuns();
    std::lock_guard lock(m_dbMutex);
    const qint64 limit = cutoff ? cutoff->toMSecsSinceEpoch() : std::numeric_limits<qint64>::max();
    std::vector<std::pair<QString, QJsonArray>> purge;
    {
        auto st = m_db->statement("SELECT identifier, asset FROM state.trashed WHERE trashed_at "
                                  "<= ?");
        st.bind(1, limit);
        while (st.step())
            purge.push_back({st.text(0), QJsonDocument::fromJson(st.text(1).toUtf8())
                                             .object()
                                             .value(QStringLiteral("entries"))
                                             .toArray()});
    }
    int purged = 0;
    for (const auto& [id, entries] : purge) {
        bool any = false;
        QJsonArray images;
        for (const QJsonValue& v : entries) {
            const DtrashEntry e = entryOf(v.toObject());
            images.append(double(e.imageId));
            if (DigikamTrash::contains(e)) {
                DigikamTrash::erase(e);
                any = true;
            }
        }
        // Emptying digiKam's trash marks the rows of what it held obsolete, as digiKam does.
        inTransaction(*m_db, [&] {
            m_db->statement("UPDATE Images SET status = 4 WHERE status = 3 AND id IN (SELECT "
                            "value FROM json_each(?))")
                .bind(1, json(images))
                .run();
            m_db->statement("DELETE FROM state.trashed WHERE identifier = ?").bind(1, id).run();
            m_db->statement("DELETE FROM state.identities WHERE identifier = ?").bind(1, id).run();
        });
        purged += any ? 1 : 0;
    }
    m_snapshot.reset();
    return purged;
}

} // namespace photos
