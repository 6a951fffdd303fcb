// Changing a darktable library: one journalled transaction a change, undone or finished at
// the next opening when cut short.
#include "platform/photos/darktable/DarktableSnapshot.h"

#include "platform/imaging/ImageMetadata.h"
#include "platform/imaging/ImagingError.h"
#include "platform/imaging/XmpSidecar.h"
#include "platform/photos/FileKind.h"
#include "platform/photos/PhotoLibraryError.h"
#include "platform/photos/darktable/DarktableLock.h"
#include "platform/photos/shared/ChangeLock.h"
#include "platform/photos/shared/DurableWrites.h"
#include "platform/photos/shared/FreedesktopTrash.h"
#include "platform/photos/shared/LocalClock.h"
#include "platform/photos/shared/ResourceFiles.h"
#include "platform/photos/shared/SafetyCopy.h"
#include "platform/photos/shared/SqliteDatabase.h"

#include <QCryptographicHash>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QSet>
#include <QStandardPaths>
#include <QUuid>
#include <algorithm>
#include <cerrno>
#include <cstring>
#include <exception>
#include <fcntl.h>
#include <signal.h>
#include <sys/stat.h>
#include <tuple>
#include <unistd.h>

namespace photos {

using namespace darktable;

// ---- Changes ----

namespace {

// One of darktable's settings, from the darktablerc beside its data.db; empty when unset.
QString darktableSetting(const QString& dataDb, const QByteArray& key) {
    QFile rc(QFileInfo(dataDb).absolutePath() + QStringLiteral("/darktablerc"));
    if (!rc.open(QIODevice::ReadOnly))
        return {};
    while (!rc.atEnd()) {
        const QByteArray line = rc.readLine().trimmed();
        if (line.startsWith(key + '='))
            return QString::fromUtf8(line.mid(key.size() + 1)).trimmed().toLower();
    }
    return {};
}

// When darktable writes an image's sidecar, by its write_sidecar_files setting: never, for
// every image ("on import", and the old "TRUE"), or only for one that was edited or carries
// tags ("after edit").
enum class SidecarWrites { Never, Always, AfterEdit };

SidecarWrites sidecarWrites(const QString& dataDb) {
    const QString setting = darktableSetting(dataDb, "write_sidecar_files");
    if (setting == QLatin1String("never") || setting == QLatin1String("false"))
        return SidecarWrites::Never;
    if (setting == QLatin1String("after edit"))
        return SidecarWrites::AfterEdit;
    return SidecarWrites::Always;
}

// Where tests cut a change short as a crash would, at a point they choose rather than at a
// random moment: TWINSLIM_DARKTABLE_CUT=POINT[:N] ends the process at once the N-th time (1
// when not given) a change passes POINT: placed, claimed, commit, committed or moved.
void cutPoint(const char* point) {
    static const QList<QByteArray> wanted = qgetenv("TWINSLIM_DARKTABLE_CUT").split(':');
    static QHash<QByteArray, int> passed;
    if (wanted.first() != point)
        return;
    if (++passed[point] == (wanted.size() > 1 ? wanted[1].toInt() : 1))
        ::kill(::getpid(), SIGKILL);
}

// A sidecar's content, read without following a link; empty when it is no plain file.
std::optional<QByteArray> readSidecar(const QString& path) {
    const int fd = ResourceFiles::openPlainFileAt(AT_FDCWD, QFile::encodeName(path).constData());
    if (fd < 0)
        return std::nullopt;
    QFile f;
    if (!f.open(fd, QIODevice::ReadOnly, QFileDevice::AutoCloseHandle)) {
        ::close(fd);
        return std::nullopt;
    }
    const QByteArray data = f.read(16 << 20);
    return f.atEnd() ? std::optional(data) : std::nullopt;
}

QString digestOf(const QByteArray& data) {
    return QString::fromLatin1(QCryptographicHash::hash(data, QCryptographicHash::Sha1).toHex());
}

// Puts a committed change's rewritten sidecars in place; safe to repeat after an
// interruption. A sidecar no longer as the change read it was written since, by darktable
// from a database that holds the change already: it stays.
void placeRewrittenSidecars(const QJsonArray& operations) {
    QSet<QString> folders;
    for (const QJsonValue& value : operations) {
        const QJsonObject op = value.toObject();
        if (op.value(QStringLiteral("op")).toString() != QLatin1String("rewrite"))
            continue;
        const QString temp = op.value(QStringLiteral("temp")).toString();
        const QString final = op.value(QStringLiteral("final")).toString();
        if (!regularFileSize(temp))
            continue; // placed before an interruption, or nothing to change
        const auto current = readSidecar(final);
        if (current && digestOf(*current) == op.value(QStringLiteral("before")).toString() &&
            ::rename(QFile::encodeName(temp).constData(), QFile::encodeName(final).constData()) ==
                0) {
            folders.insert(QFileInfo(final).path());
        } else {
            if (current)
                qWarning().noquote() << QStringLiteral("darktable’s sidecar “%1” was left as it "
                                                       "is: it changed meanwhile, or cannot be "
                                                       "replaced.")
                                            .arg(final);
            QFile::remove(temp);
        }
    }
    for (const QString& f : folders)
        syncFolder(f);
}

} // namespace

void DarktableStore::refuseWhileDarktableRuns() const {
    if (const auto pid = DarktableLock::liveHolder(m_libraryDb))
        throw PhotoLibraryError(PhotoLibraryError::Code::AccessDenied,
                                DarktableLock::runningMessage(m_libraryDb, *pid));
}

void DarktableStore::takeSnapshotOnce(const QDateTime& now) {
    if (!m_snapshotPath.isEmpty())
        return;
    // Beside the database, as darktable keeps its own snapshots, under a name darktable's
    // rotation of its own snapshots leaves alone.
    const QString base = saveDatabaseCopy(*m_db, "main", QFileInfo(m_libraryDb).fileName(),
                                          QFileInfo(m_libraryDb).absolutePath(), now);
    const QString dataCopy = saveDatabaseCopy(*m_db, "data", QStringLiteral("data.db"),
                                              QFileInfo(m_dataDb).absolutePath(), now);
    m_snapshotPath = base;
    qInfo().noquote() << QStringLiteral("Before changing the darktable library, Twinslim saved a "
                                        "copy of it: %1 (tags: %2)")
                             .arg(base, dataCopy);
}

void DarktableStore::apply(const ChangeRequests& changes, const QDateTime& now,
                           const std::function<void()>& beforeCommit) {
    if (changes.isEmpty())
        return;
    for (const AssetCreationRequest& creation : changes.assetCreations())
        if (creation.hidden)
            throw PhotoLibraryError(PhotoLibraryError::Code::InvalidRequest,
                                    QStringLiteral("Items of a darktable library cannot be "
                                                   "hidden."));
    for (const AssetChangeRequest& change : changes.assetChanges())
        if (change.hidden && *change.hidden)
            throw PhotoLibraryError(PhotoLibraryError::Code::InvalidRequest,
                                    QStringLiteral("Items of a darktable library cannot be "
                                                   "hidden."));
    ChangeLock changeLock(stateFolder());
    DarktableLock darktableLock(m_libraryDb); // refuses while darktable runs
    std::lock_guard lock(m_dbMutex);
    recoverInterruptedChanges();
    takeSnapshotOnce(now);
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

    // ---- Plan: new files and where they go ----
    struct NewImage {
        QString creation; // identifier of the new item
        QString temp, final, sidecarTemp, sidecarFinal;
        QString sourcePath;
        QByteArray data;
        QString filename, uti;
        qint64 filmId = 0; // 0: the folder's film roll is made
        QString folder;
        qint64 originImage = 0; // the image whose camera data, stars, labels and tags it takes
        const Item* origin = nullptr;
        const AssetCreationRequest* request = nullptr;
        bool sidecar = true; // false where darktable would write none
        imaging::ImageMetadata meta;
    };
    std::vector<NewImage> newImages;
    QSet<QString> taken;                   // lower-case paths chosen in this change
    QHash<QString, QSet<QString>> namesIn; // folder → its entries, in lower case
    auto isFree = [&](const QString& folder, const QString& name) {
        const QString path = folder + QLatin1Char('/') + name;
        if (taken.contains(path.toLower()))
            return false;
        // Names are compared without case: memory cards and the disks photos live on often
        // treat "IMG_1.jpg" and "IMG_1.JPG" as one name. Each folder is listed once.
        auto names = namesIn.find(folder);
        if (names == namesIn.end()) {
            QSet<QString> lower;
            for (const QString& n : QDir(folder).entryList(QDir::AllEntries | QDir::Hidden |
                                                           QDir::System | QDir::NoDotAndDotDot))
                lower.insert(n.toLower());
            names = namesIn.insert(folder, lower);
        }
        if (names->contains(name.toLower()) ||
            names->contains(name.toLower() + QStringLiteral(".xmp")))
            return false;
        auto st = m_db->statement("SELECT 1 FROM main.images i JOIN main.film_rolls f ON f.id = "
                                  "i.film_id WHERE f.folder = ? AND lower(i.filename) = lower(?)");
        st.bind(1, folder).bind(2, name);
        return !st.step();
    };
    const QString ownFolder = QStandardPaths::writableLocation(QStandardPaths::PicturesLocation) +
                              QStringLiteral("/Twinslim");
    for (const AssetCreationRequest& creation : changes.assetCreations()) {
        if (creation.resources().empty())
            throw PhotoLibraryError(PhotoLibraryError::Code::InvalidResource,
                                    QStringLiteral("A new item needs at least one resource."));
        const Item* origin = nullptr;
        if (creation.derivedFrom)
            origin = itemOf(*creation.derivedFrom);
        const QString folder = origin ? origin->folder : ownFolder;
        if (!origin && !QDir().mkpath(folder))
            throw storageError(QStringLiteral("The folder “%1” cannot be made.").arg(folder));
        for (const auto& res : creation.resources()) {
            const QString name = QFileInfo(res.options.originalFilename).fileName();
            QString uti;
            const FileKind kind = name.isEmpty() ? FileKind::Other : fileKindOf(name, &uti);
            if (kind != FileKind::Picture && kind != FileKind::Raw)
                throw PhotoLibraryError(
                    PhotoLibraryError::Code::InvalidResource,
                    QStringLiteral("“%1” is not a picture a darktable library can hold.")
                        .arg(res.options.originalFilename));
            QString final;
            const QFileInfo info(name);
            const QString suffix =
                info.suffix().isEmpty() ? QString() : QLatin1Char('.') + info.suffix();
            for (int n = 0;; ++n) {
                final = n == 0 ? name
                               : QStringLiteral("%1 (%2)%3")
                                     .arg(info.completeBaseName())
                                     .arg(n)
                                     .arg(suffix);
                if (isFree(folder, final))
                    break;
            }
            taken.insert((folder + QLatin1Char('/') + final).toLower());
            NewImage image;
            image.creation = creation.placeholderForCreatedAsset().localIdentifier;
            image.final = final;
            image.temp = QStringLiteral(".twinslim-%1-%2.tmp").arg(token).arg(tempCount++);
            image.sidecarFinal = final + QStringLiteral(".xmp");
            image.sidecarTemp = QStringLiteral(".twinslim-%1-%2.tmp").arg(token).arg(tempCount++);
            image.sourcePath = res.sourcePath;
            image.data = res.data;
            image.filename = final;
            image.uti = uti;
            image.folder = folder;
            image.filmId = origin ? origin->filmId : 0;
            image.originImage = origin ? origin->images.front() : 0;
            image.origin = origin;
            image.request = &creation;
            image.meta = res.sourcePath.isEmpty() ? imaging::readImageMetadata(res.data)
                                                  : imaging::readImageMetadata(res.sourcePath);
            newImages.push_back(std::move(image));
        }
    }

    // ---- Plan: what goes to the trash ----
    QStringList deleted;
    for (const QString& id : QSet<QString>(changes.deletions().begin(), changes.deletions().end()))
        deleted << id;
    deleted.sort();
    QSet<qint64> deletedImages;
    for (const QString& id : deleted)
        for (qint64 image : itemOf(id)->images)
            deletedImages.insert(image);
    struct Trashing {
        QString item;
        QString path;
    };
    std::vector<Trashing> toTrash;
    for (const QString& id : deleted) {
        const auto item = itemOf(id);
        for (qint64 image : item->images) {
            auto st = m_db->statement("SELECT filename, coalesce(version, 0), film_id FROM "
                                      "main.images WHERE id = ?");
            st.bind(1, image);
            if (!st.step())
                continue;
            const QString filename = st.text(0);
            const qint64 version = st.int64(1), film = st.int64(2);
            // A duplicate's file stays while another of darktable's versions of it remains.
            bool shared = false;
            auto others = m_db->statement(
                "SELECT id FROM main.images WHERE film_id = ? AND filename = ? AND id != ?");
            others.bind(1, film).bind(2, filename).bind(3, image);
            while (others.step())
                shared = shared || !deletedImages.contains(others.int64(0));
            const QString file = item->folder + QLatin1Char('/') + filename;
            if (!shared && QFileInfo::exists(file) &&
                std::none_of(toTrash.begin(), toTrash.end(),
                             [&](const Trashing& t) { return t.path == file; }))
                toTrash.push_back({id, file});
            const QString sidecar =
                item->folder + QLatin1Char('/') + sidecarName(filename, version);
            if (QFileInfo::exists(sidecar))
                toTrash.push_back({id, sidecar});
        }
    }

    // ---- Plan: the sidecars of existing images whose stars or tags change ----
    // darktable rewrites an image's sidecar at each change it makes; so does a change here,
    // unless darktable is told to keep none. New items get theirs whole.
    struct SidecarRewrite {
        qint64 image = 0;
        QString temp, final;
        QByteArray before;
    };
    std::vector<SidecarRewrite> rewrites;
    const SidecarWrites sidecarsWritten = sidecarWrites(m_dataDb);
    if (sidecarsWritten != SidecarWrites::Never) {
        QStringList touched;
        for (const AssetChangeRequest& change : changes.assetChanges())
            if (change.favorite)
                touched << change.assetIdentifier();
        for (const AssetCollectionChangeRequest& change : changes.collectionChanges())
            for (const auto& op : change.operations())
                touched << op.assetIdentifiers;
        touched.removeDuplicates();
        QSet<qint64> seen;
        for (const QString& id : touched) {
            const auto item = snapshot->byId.value(id);
            if (!item || deleted.contains(id))
                continue;
            for (qint64 image : item->images) {
                if (seen.contains(image))
                    continue;
                seen.insert(image);
                auto st = m_db->statement(
                    "SELECT filename, coalesce(version, 0) FROM main.images WHERE id = ?");
                st.bind(1, image);
                if (!st.step())
                    continue;
                const QString final =
                    item->folder + QLatin1Char('/') + sidecarName(st.text(0), st.int64(1));
                if (const auto before = readSidecar(final))
                    rewrites.push_back(
                        {image,
                         item->folder +
                             QStringLiteral("/.twinslim-%1-%2.tmp").arg(token).arg(tempCount++),
                         final, *before});
            }
        }
    }

    // ---- The journal names every file before it exists or moves ----
    QJsonArray operations;
    for (const NewImage& n : newImages)
        for (const auto& [temp, final] :
             {std::pair{n.temp, n.final}, std::pair{n.sidecarTemp, n.sidecarFinal}})
            operations.append(QJsonObject{{QStringLiteral("op"), QStringLiteral("place")},
                                          {QStringLiteral("temp"), n.folder + u'/' + temp},
                                          {QStringLiteral("final"), n.folder + u'/' + final}});
    // The originals' folders, so that a recovery finds a claim in the trash made just before
    // its journal line.
    for (const Trashing& t : toTrash)
        operations.append(QJsonObject{{QStringLiteral("op"), QStringLiteral("trash")},
                                      {QStringLiteral("original"), t.path}});
    for (const SidecarRewrite& r : rewrites)
        operations.append(QJsonObject{{QStringLiteral("op"), QStringLiteral("rewrite")},
                                      {QStringLiteral("temp"), r.temp},
                                      {QStringLiteral("final"), r.final},
                                      {QStringLiteral("before"), digestOf(r.before)}});
    qint64 journalId = 0;
    auto saveJournal = [&] {
        const QString text =
            QString::fromUtf8(QJsonDocument(operations).toJson(QJsonDocument::Compact));
        if (journalId == 0) {
            m_db->statement("INSERT INTO state.journal (state, operations) VALUES ('planned', ?)")
                .bind(1, text)
                .run();
            journalId = m_db->lastInsertRowId();
        } else {
            m_db->statement("UPDATE state.journal SET operations = ? WHERE id = ?")
                .bind(1, text)
                .bind(2, journalId)
                .run();
        }
    };
    saveJournal();

    std::vector<TrashEntry> claimed;
    std::vector<QString> placed;
    QSet<QString> folders;
    bool sidecarsRewritten = false;
    try {
        // ---- New files, written, flushed and put in place ----
        const LocalClock clock;
        const qint64 nowWallClock = clock.takenOf(now, std::nullopt);
        for (NewImage& n : newImages) {
            const QString temp = n.folder + u'/' + n.temp;
            if (!n.sourcePath.isEmpty()) {
                ResourceFiles::streamCopy(n.sourcePath, temp);
                flushFile(temp);
            } else {
                writeFlushed(temp, n.data);
            }
            folders.insert(n.folder);
        }
        // The sidecar darktable would write on import: rating, labels, tags, time, place.
        for (NewImage& n : newImages) {
            const AssetCreationRequest& request = *n.request;
            imaging::XmpSidecarEdit edit;
            int stars = request.favorite ? 5 : 1;
            QList<int> labels;
            if (n.origin) {
                auto st = m_db->statement(std::string("SELECT max(CASE WHEN ") + rejectedSql +
                                          " THEN 0 ELSE flags & 7 END), min(" + rejectedSql +
                                          ") FROM main.images WHERE id IN (SELECT value FROM "
                                          "json_each(?))");
                QJsonArray ids;
                for (qint64 image : n.origin->images)
                    ids.append(image);
                st.bind(1, QString::fromUtf8(QJsonDocument(ids).toJson(QJsonDocument::Compact)));
                // darktable writes a rejected picture's rating as -1.
                if (st.step() && !request.favorite)
                    stars = st.int64(1) != 0 ? -1 : int(st.int64(0));
                auto colours = m_db->statement(
                    "SELECT DISTINCT color FROM main.color_labels WHERE imgid IN (SELECT value "
                    "FROM json_each(?)) ORDER BY color");
                colours.bind(1,
                             QString::fromUtf8(QJsonDocument(ids).toJson(QJsonDocument::Compact)));
                while (colours.step())
                    labels << int(colours.int64(0));
                auto tags = m_db->statement(
                    "SELECT DISTINCT t.name FROM main.tagged_images ti JOIN data.tags t ON t.id = "
                    "ti.tagid WHERE ti.imgid IN (SELECT value FROM json_each(?)) AND t.name NOT "
                    "LIKE 'darktable|%' AND t.name NOT LIKE 'Twinslim|%' ORDER BY t.name");
                tags.bind(1, QString::fromUtf8(QJsonDocument(ids).toJson(QJsonDocument::Compact)));
                while (tags.step())
                    edit.addHierarchicalKeywords << tags.text(0);
            }
            // And the tags of the albums this change puts it in.
            for (const AssetCollectionChangeRequest& change : changes.collectionChanges()) {
                QString tag =
                    change.createdTitle() ? ownTagParent + *change.createdTitle() : QString();
                for (const auto& t : snapshot->tags)
                    if (t.identifier == change.collectionIdentifier())
                        tag = t.name;
                for (const auto& op : change.operations())
                    if (op.add && op.assetIdentifiers.contains(n.creation) && !tag.isEmpty() &&
                        !edit.addHierarchicalKeywords.contains(tag))
                        edit.addHierarchicalKeywords << tag;
            }
            edit.rating = stars;
            edit.colourLabels = labels;
            const std::optional<qint64> taken =
                request.creationDate ? std::optional(clock.takenOf(*request.creationDate,
                                                                   request.creationOffsetSeconds))
                                     : std::nullopt;
            if (taken)
                edit.properties.push_back(
                    {"Xmp.exif.DateTimeOriginal", LocalClock::sidecarText(*taken)});
            if (request.location)
                edit.location = std::pair{request.location->latitude, request.location->longitude};
            edit.properties.push_back({"Xmp.xmpMM.DerivedFrom", n.filename.toStdString()});
            edit.properties.push_back({"Xmp.darktable.xmp_version", "5"});
            edit.properties.push_back({"Xmp.darktable.history_end", "0"});
            edit.properties.push_back(
                {"Xmp.darktable.import_timestamp", std::to_string(nowWallClock)});
            // A new picture has no history: "after edit" gives it a sidecar for its tags alone.
            n.sidecar = sidecarsWritten == SidecarWrites::Always ||
                        (sidecarsWritten == SidecarWrites::AfterEdit &&
                         !edit.addHierarchicalKeywords.isEmpty());
            if (n.sidecar)
                writeFlushed(n.folder + u'/' + n.sidecarTemp, imaging::editXmpSidecar({}, edit));
        }
        for (const QString& f : folders)
            syncFolder(f);
        for (const NewImage& n : newImages)
            for (const auto& [temp, final] :
                 {std::pair{n.temp, n.final}, std::pair{n.sidecarTemp, n.sidecarFinal}}) {
                if (temp == n.sidecarTemp && !n.sidecar)
                    continue;
                const int err =
                    renameWithoutReplacing(n.folder + u'/' + temp, n.folder + u'/' + final);
                if (err == EEXIST)
                    throw storageError(QStringLiteral("“%1” cannot be put in place: another file "
                                                      "took its name.")
                                           .arg(n.folder + u'/' + final));
                if (err != 0)
                    throw storageError(QStringLiteral("“%1” cannot be put in place (%2).")
                                           .arg(n.folder + u'/' + final,
                                                QString::fromLocal8Bit(std::strerror(err))));
                placed.push_back(n.folder + u'/' + final);
            }
        for (const QString& f : folders)
            syncFolder(f);
        cutPoint("placed");

        // ---- Names in the trash claimed for the originals, each journalled. The files move
        // only once the rows naming them are gone: darktable, which opens its library without
        // this recovery, never lists a picture whose file is in the trash ----
        for (const Trashing& t : toTrash) {
            claimed.push_back(FreedesktopTrash::claim(t.path, now));
            const TrashEntry& e = claimed.back();
            operations.append(QJsonObject{{QStringLiteral("op"), QStringLiteral("trashed")},
                                          {QStringLiteral("item"), t.item},
                                          {QStringLiteral("folder"), e.trashFolder},
                                          {QStringLiteral("name"), e.name},
                                          {QStringLiteral("original"), e.originalPath}});
            saveJournal();
        }
        cutPoint("claimed");

        // ---- One transaction over library.db, data.db and the state ----
        inTransaction(*m_db, [&] {
            QHash<QString, qint64> createdFirstImage; // new item → its first image
            QHash<QString, qint64> filmOfFolder;
            for (NewImage& n : newImages) {
                if (n.filmId == 0) {
                    if (!filmOfFolder.contains(n.folder)) {
                        auto find =
                            m_db->statement("SELECT id FROM main.film_rolls WHERE folder = ?");
                        find.bind(1, n.folder);
                        if (find.step()) {
                            filmOfFolder.insert(n.folder, find.int64(0));
                        } else {
                            m_db->statement("INSERT INTO main.film_rolls (access_timestamp, "
                                            "folder) VALUES (?, ?)")
                                .bind(1, now.toSecsSinceEpoch())
                                .bind(2, n.folder)
                                .run();
                            filmOfFolder.insert(n.folder, m_db->lastInsertRowId());
                        }
                    }
                    n.filmId = filmOfFolder.value(n.folder);
                }
                const AssetCreationRequest& request = *n.request;
                const qint64 taken =
                    request.creationDate
                        ? clock.takenOf(*request.creationDate, request.creationOffsetSeconds)
                        : 0;
                QString uti;
                const int ldrOrRaw = fileKindOf(n.filename, &uti) == FileKind::Raw ? 64 : 32;
                // As darktable imports a file: no legacy presets, camera data of the shot.
                m_db->statement(
                        "INSERT INTO main.images (group_id, film_id, width, height, filename, "
                        "maker, model, lens, exposure, aperture, iso, focal_length, "
                        "focus_distance, datetime_taken, flags, output_width, output_height, "
                        "crop, raw_parameters, raw_denoise_threshold, raw_auto_bright_threshold, "
                        "raw_black, raw_maximum, orientation, longitude, latitude, altitude, "
                        "colorspace, version, max_version, history_end, position, aspect_ratio, "
                        "exposure_bias, import_timestamp) SELECT NULL, ?1, ?2, ?3, ?4, "
                        "coalesce(o.maker, ''), coalesce(o.model, ''), coalesce(o.lens, ''), "
                        "coalesce(o.exposure, 0), coalesce(o.aperture, 0), coalesce(o.iso, 0), "
                        "coalesce(o.focal_length, 0), coalesce(o.focus_distance, 0), ?5, ?6, 0, "
                        "0, 0, 0, 0, 0, 0, 0, ?11, ?7, ?8, o.altitude, 0, 0, 0, 0, "
                        "(SELECT (coalesce(max(position), 0) >> 32 << 32) + (1 << 32) FROM "
                        "main.images), 0, coalesce(o.exposure_bias, 0), ?9 FROM (SELECT 1) LEFT "
                        "JOIN main.images o ON o.id = ?10")
                    .bind(1, n.filmId)
                    .bind(2, qint64(n.meta.pixelSize.width()))
                    .bind(3, qint64(n.meta.pixelSize.height()))
                    .bind(4, n.filename)
                    .bind(5, taken)
                    .bind(6, qint64(1024 | ldrOrRaw))
                    .bind(7, request.location ? std::optional(request.location->longitude)
                                              : std::nullopt)
                    .bind(8, request.location ? std::optional(request.location->latitude)
                                              : std::nullopt)
                    .bind(9, nowWallClock)
                    .bind(10, n.originImage)
                    .bind(11, darktableOrientation(n.meta.orientation))
                    .run();
                const qint64 id = m_db->lastInsertRowId();
                const qint64 group = createdFirstImage.value(n.creation, id);
                createdFirstImage.insert(n.creation, group);
                m_db->statement("UPDATE main.images SET group_id = ? WHERE id = ?")
                    .bind(1, group)
                    .bind(2, id)
                    .run();
                QJsonArray originIds;
                if (n.origin)
                    for (qint64 image : n.origin->images)
                        originIds.append(image);
                const QString origins =
                    QString::fromUtf8(QJsonDocument(originIds).toJson(QJsonDocument::Compact));
                // The original's stars, its rejected members' left out; rejected as darktable
                // marks it when every member is; 5 stars for a favourite.
                m_db->statement(std::string("UPDATE main.images SET flags = (flags & ~15) | "
                                            "CASE WHEN ?2 THEN 5 ELSE coalesce((SELECT CASE "
                                            "WHEN min(") +
                                rejectedSql + ") THEN max(flags & 15) | 8 ELSE max(CASE WHEN " +
                                rejectedSql +
                                " THEN 0 ELSE flags & 7 END) END FROM main.images WHERE id IN "
                                "(SELECT value FROM json_each(?3))), 1) END WHERE id = ?1")
                    .bind(1, id)
                    .bind(2, qint64(request.favorite ? 1 : 0))
                    .bind(3, origins)
                    .run();
                m_db->statement("INSERT OR IGNORE INTO main.color_labels (imgid, color) SELECT "
                                "DISTINCT ?, color FROM main.color_labels WHERE imgid IN (SELECT "
                                "value FROM json_each(?))")
                    .bind(1, id)
                    .bind(2, origins)
                    .run();
                m_db->statement("INSERT OR IGNORE INTO main.meta_data (id, key, value) SELECT "
                                "DISTINCT ?, key, value FROM main.meta_data WHERE id IN (SELECT "
                                "value FROM json_each(?))")
                    .bind(1, id)
                    .bind(2, origins)
                    .run();
                // The user's tags of the original (the programs' own albums stay theirs).
                m_db->statement(
                        "INSERT OR IGNORE INTO main.tagged_images (imgid, tagid, position) "
                        "SELECT ?1, ti.tagid, (SELECT coalesce(max(position), 0) FROM "
                        "main.tagged_images) + (1 << 32) FROM main.tagged_images ti JOIN "
                        "data.tags t ON t.id = ti.tagid WHERE ti.imgid IN (SELECT value FROM "
                        "json_each(?2)) AND t.name NOT LIKE 'darktable|%' AND t.name NOT LIKE "
                        "'Twinslim|%'")
                    .bind(1, id)
                    .bind(2, origins)
                    .run();
                // darktable's own tag of the file's format, as its import sets it.
                const QString formatTag =
                    QStringLiteral("darktable|format|") + QFileInfo(n.filename).suffix().toLower();
                m_db->statement("INSERT OR IGNORE INTO data.tags (name) VALUES (?)")
                    .bind(1, formatTag)
                    .run();
                m_db->statement("INSERT OR IGNORE INTO main.tagged_images (imgid, tagid, "
                                "position) SELECT ?, id, (SELECT coalesce(max(position), 0) FROM "
                                "main.tagged_images) + (1 << 32) FROM data.tags WHERE name = ?")
                    .bind(1, id)
                    .bind(2, formatTag)
                    .run();
                // The item keeps the identifier its placeholder promised.
                m_db->statement("INSERT OR REPLACE INTO state.identities (image, identifier) "
                                "VALUES (?, ?)")
                    .bind(1, id)
                    .bind(2, n.creation)
                    .run();
            }
            // New items are known by their first image from here on.
            auto imageOfCreated = [&](const QString& id) -> std::vector<qint64> {
                if (createdFirstImage.contains(id)) {
                    std::vector<qint64> images;
                    auto st = m_db->statement("SELECT id FROM main.images WHERE group_id = ?");
                    st.bind(1, createdFirstImage.value(id));
                    while (st.step())
                        images.push_back(st.int64(0));
                    return images;
                }
                const auto images = itemOf(id)->images;
                return std::vector<qint64>(images.begin(), images.end());
            };

            // Favourites: 5 stars on every image of the item; unmarking lowers a 5 to 4.
            for (const AssetChangeRequest& change : changes.assetChanges()) {
                if (!change.favorite)
                    continue;
                for (qint64 image : imageOfCreated(change.assetIdentifier()))
                    m_db->statement(*change.favorite
                                        ? "UPDATE main.images SET flags = (flags & ~15) | 5 "
                                          "WHERE id = ?"
                                        : std::string("UPDATE main.images SET flags = "
                                                      "(flags & ~7) | 4 WHERE id = ? AND "
                                                      "flags & 7 = 5 AND NOT ") +
                                              rejectedSql)
                        .bind(1, image)
                        .run();
            }

            // Albums: tags. The programs' own are made under our parent.
            QSet<qint64> emptiedCandidates;
            for (const AssetCollectionChangeRequest& change : changes.collectionChanges()) {
                qint64 tagId = 0;
                if (change.createdTitle()) {
                    const QString title = *change.createdTitle();
                    if (change.requiresUniqueTitle()) {
                        auto same =
                            m_db->statement("SELECT 1 FROM data.tags WHERE name = ? OR name = ?");
                        same.bind(1, title).bind(2, ownTagParent + title);
                        if (same.step())
                            throw PhotoLibraryError(
                                PhotoLibraryError::Code::AlreadyExists,
                                QStringLiteral("An album titled “%1” exists already.").arg(title));
                    }
                    m_db->statement("INSERT OR IGNORE INTO data.tags (name, flags) VALUES (?, 0)")
                        .bind(1, ownTagParent + title)
                        .run();
                    // The album keeps the identifier its placeholder promised.
                    m_db->statement("INSERT OR REPLACE INTO state.album_identities (name, "
                                    "identifier) VALUES (?, ?)")
                        .bind(1, ownTagParent + title)
                        .bind(2, change.collectionIdentifier())
                        .run();
                    auto id = m_db->statement("SELECT id FROM data.tags WHERE name = ?");
                    id.bind(1, ownTagParent + title);
                    id.step();
                    tagId = id.int64(0);
                } else {
                    for (const auto& tag : snapshot->tags)
                        if (tag.identifier == change.collectionIdentifier())
                            tagId = tag.id;
                    if (tagId == 0)
                        throw notFound(QStringLiteral("album"), change.collectionIdentifier());
                }
                for (const auto& op : change.operations())
                    for (const QString& itemId : op.assetIdentifiers) {
                        const auto images = imageOfCreated(itemId);
                        if (op.add && op.mustBeNew) {
                            for (qint64 image : images) {
                                auto present = m_db->statement(
                                    "SELECT 1 FROM main.tagged_images WHERE imgid = ? AND "
                                    "tagid = ?");
                                present.bind(1, image).bind(2, tagId);
                                if (present.step())
                                    throw PhotoLibraryError(
                                        PhotoLibraryError::Code::AlreadyMember,
                                        QStringLiteral("The item %1 is in that album already.")
                                            .arg(itemId));
                            }
                        }
                        for (qint64 image : images) {
                            if (op.add)
                                m_db->statement(
                                        "INSERT OR IGNORE INTO main.tagged_images (imgid, tagid, "
                                        "position) VALUES (?1, ?2, (SELECT coalesce(max(position), "
                                        "0) FROM main.tagged_images) + (1 << 32))")
                                    .bind(1, image)
                                    .bind(2, tagId)
                                    .run();
                            else
                                m_db->statement("DELETE FROM main.tagged_images WHERE imgid = ? "
                                                "AND tagid = ?")
                                    .bind(1, image)
                                    .bind(2, tagId)
                                    .run();
                        }
                        if (!op.add)
                            emptiedCandidates.insert(tagId);
                    }
            }

            // Deletions: the rows, kept in the state for "Recently Deleted", then removed with
            // everything that refers to them, as darktable's "delete (trash)" removes them.
            const qint64 nowMs = now.toMSecsSinceEpoch();
            for (const QString& id : deleted) {
                const auto item = itemOf(id);
                QJsonArray resources;
                for (const ResourcePtr& r : item->asset->resources) {
                    QJsonObject resource{
                        {QStringLiteral("type"), int(r->type)},
                        {QStringLiteral("uti"), r->uniformTypeIdentifier},
                        {QStringLiteral("name"), r->originalFilename},
                        {QStringLiteral("size"),
                         r->fileSize ? QJsonValue(double(*r->fileSize)) : QJsonValue()}};
                    resources.append(resource);
                }
                QJsonArray entries;
                for (size_t i = 0; i < claimed.size(); ++i)
                    if (toTrash[i].item == id)
                        entries.append(
                            QJsonObject{{QStringLiteral("folder"), claimed[i].trashFolder},
                                        {QStringLiteral("name"), claimed[i].name},
                                        {QStringLiteral("original"), claimed[i].originalPath}});
                // The tags its images are in, by name: a restore links them only to a tag that
                // is still the same, never to a later one that took a deleted tag's id.
                QJsonArray tagsOfItem;
                {
                    QJsonArray ids;
                    for (qint64 image : item->images)
                        ids.append(image);
                    auto tags = m_db->statement(
                        "SELECT DISTINCT t.id, t.name FROM main.tagged_images ti JOIN data.tags t "
                        "ON t.id = ti.tagid WHERE ti.imgid IN (SELECT value FROM json_each(?)) "
                        "ORDER BY t.id");
                    tags.bind(1,
                              QString::fromUtf8(QJsonDocument(ids).toJson(QJsonDocument::Compact)));
                    while (tags.step())
                        tagsOfItem.append(QJsonArray{double(tags.int64(0)), tags.text(1)});
                }
                const Asset& a = *item->asset;
                const QJsonObject asset{
                    {QStringLiteral("tags"), tagsOfItem},
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
                                "folder, asset) VALUES (?, ?, ?, ?)")
                    .bind(1, id)
                    .bind(2, nowMs)
                    .bind(3, item->folder)
                    .bind(4, QString::fromUtf8(QJsonDocument(asset).toJson(QJsonDocument::Compact)))
                    .run();
                for (qint64 image : item->images) {
                    m_db->statement("INSERT INTO state.trashed_images SELECT ?, * FROM "
                                    "main.images WHERE id = ?")
                        .bind(1, id)
                        .bind(2, image)
                        .run();
                    for (const auto& [table, column] : imageTables) {
                        m_db->statement(QStringLiteral("INSERT INTO state.trashed_%1 SELECT ?, * "
                                                       "FROM main.%1 WHERE %2 = ?")
                                            .arg(QLatin1String(table), QLatin1String(column))
                                            .toStdString())
                            .bind(1, id)
                            .bind(2, image)
                            .run();
                        m_db->statement(QStringLiteral("DELETE FROM main.%1 WHERE %2 = ?")
                                            .arg(QLatin1String(table), QLatin1String(column))
                                            .toStdString())
                            .bind(1, image)
                            .run();
                    }
                }
                for (const auto& tag : snapshot->tags)
                    if (std::find(tag.members.begin(), tag.members.end(), id) != tag.members.end())
                        emptiedCandidates.insert(tag.id);
            }
            // A group that loses its leader is led by its next image, as darktable regroups.
            for (qint64 image : deletedImages) {
                auto next = m_db->statement("SELECT min(id) FROM main.images WHERE group_id = ?1 "
                                            "AND id != ?1 AND id NOT IN (SELECT value FROM "
                                            "json_each(?2))");
                QJsonArray all;
                for (qint64 d : deletedImages)
                    all.append(d);
                const QString allText =
                    QString::fromUtf8(QJsonDocument(all).toJson(QJsonDocument::Compact));
                next.bind(1, image).bind(2, allText);
                if (next.step() && !next.isNull(0)) {
                    const qint64 leader = next.int64(0);
                    m_db->statement("UPDATE main.images SET group_id = ?1 WHERE group_id = ?2 "
                                    "AND id NOT IN (SELECT value FROM json_each(?3))")
                        .bind(1, leader)
                        .bind(2, image)
                        .bind(3, allText)
                        .run();
                }
            }
            // Each leads itself first: a group's leader cannot go while others point at it.
            for (qint64 image : deletedImages)
                m_db->statement("UPDATE main.images SET group_id = id WHERE id = ?")
                    .bind(1, image)
                    .run();
            for (qint64 image : deletedImages)
                m_db->statement("DELETE FROM main.images WHERE id = ?").bind(1, image).run();
            // darktable drops a film roll that no longer holds an image.
            if (!deletedImages.isEmpty())
                m_db->exec("DELETE FROM main.film_rolls WHERE id NOT IN (SELECT DISTINCT film_id "
                           "FROM main.images WHERE film_id IS NOT NULL)");
            // The programs' own albums go when they empty.
            for (qint64 tag : emptiedCandidates) {
                m_db->statement("DELETE FROM state.album_identities WHERE name = (SELECT name "
                                "FROM data.tags WHERE id = ?1 AND name LIKE 'Twinslim|%' AND NOT "
                                "EXISTS (SELECT 1 FROM main.tagged_images WHERE tagid = ?1))")
                    .bind(1, tag)
                    .run();
                m_db->statement("DELETE FROM data.tags WHERE id = ?1 AND name LIKE 'Twinslim|%' "
                                "AND NOT EXISTS (SELECT 1 FROM main.tagged_images WHERE tagid = "
                                "?1)")
                    .bind(1, tag)
                    .run();
            }
            // The sidecars as darktable would write them from what the database now holds.
            // They are written beside the old ones and take their place only once this has
            // committed, so a change cut short leaves the old ones; one that committed is
            // finished from its journal, kept until then, at the next opening.
            const bool leavesOnly =
                darktableSetting(m_dataDb, "omit_tag_hierarchy") == QLatin1String("true");
            QSet<QString> rewrittenFolders;
            for (const SidecarRewrite& r : rewrites) {
                imaging::XmpSidecarEdit edit;
                auto flags = m_db->statement("SELECT flags FROM main.images WHERE id = ?");
                flags.bind(1, r.image);
                if (!flags.step())
                    continue;
                edit.rating = ratingOf(flags.int64(0));
                QStringList paths, words;
                auto tags = m_db->statement(
                    "SELECT t.name FROM main.tagged_images ti JOIN data.tags t ON t.id = "
                    "ti.tagid WHERE ti.imgid = ? AND t.name NOT LIKE 'darktable|%'");
                tags.bind(1, r.image);
                while (tags.step()) {
                    const QStringList parts = tags.text(0).split(u'|', Qt::SkipEmptyParts);
                    paths << tags.text(0);
                    words << (leavesOnly && !parts.isEmpty() ? QStringList{parts.last()} : parts);
                }
                // darktable lists them sorted byte by byte, each once.
                for (QStringList* list : {&paths, &words}) {
                    list->removeDuplicates();
                    std::sort(list->begin(), list->end(), [](const QString& a, const QString& b) {
                        return a.toUtf8() < b.toUtf8();
                    });
                }
                edit.subjects = words;
                edit.hierarchicalSubjects = paths;
                QByteArray after;
                try {
                    after = imaging::editXmpSidecar(r.before, edit);
                    if (after == imaging::editXmpSidecar(r.before, {}))
                        continue; // its stars and tags were as they are now
                } catch (const imaging::ImagingError&) {
                    continue; // not XMP: darktable replaces it when it next writes one
                }
                writeFlushed(r.temp, after);
                rewrittenFolders.insert(QFileInfo(r.final).path());
                sidecarsRewritten = true;
            }
            for (const QString& f : rewrittenFolders)
                syncFolder(f);
            if (sidecarsRewritten || !claimed.empty())
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
        for (const TrashEntry& e : claimed)
            FreedesktopTrash::unclaim(e);
        for (const QString& p : placed)
            QFile::remove(p);
        for (const NewImage& n : newImages) {
            QFile::remove(n.folder + u'/' + n.temp);
            QFile::remove(n.folder + u'/' + n.sidecarTemp);
        }
        for (const SidecarRewrite& r : rewrites)
            QFile::remove(r.temp);
        try {
            m_db->statement("DELETE FROM state.journal WHERE id = ?").bind(1, journalId).run();
        } catch (...) {
        }
        m_snapshot.reset();
        throw;
    }
    m_snapshot.reset();
    cutPoint("committed");
    if (sidecarsRewritten || !claimed.empty()) {
        // Committed: what is left undone here the next opening finishes.
        try {
            if (finishCommitted(operations))
                m_db->statement("DELETE FROM state.journal WHERE id = ?").bind(1, journalId).run();
        } catch (const std::exception& e) {
            qWarning().noquote() << QStringLiteral("darktable’s sidecars and the originals’ moves "
                                                   "to the trash are finished at the next "
                                                   "opening: %1")
                                        .arg(QString::fromUtf8(e.what()));
        }
    }
}

// The originals of a committed change to the trash, into the names it claimed there, and its
// rewritten sidecars in place; safe to repeat. False when an original could not move: the
// journal stays, and the next opening tries again.
bool DarktableStore::finishCommitted(const QJsonArray& operations) {
    bool done = true;
    for (const QJsonValue& value : operations) {
        const QJsonObject op = value.toObject();
        if (op.value(QStringLiteral("op")).toString() != QLatin1String("trashed"))
            continue;
        const TrashEntry entry{op.value(QStringLiteral("folder")).toString(),
                               op.value(QStringLiteral("name")).toString(),
                               op.value(QStringLiteral("original")).toString()};
        if (FreedesktopTrash::contains(entry))
            continue; // moved before an interruption
        if (!QFileInfo::exists(entry.originalPath)) {
            FreedesktopTrash::unclaim(entry); // gone meanwhile: nothing left to move
            continue;
        }
        try {
            if (FreedesktopTrash::isClaimed(entry)) {
                FreedesktopTrash::moveClaimed(entry);
            } else {
                // Its claim went with another change's undoing: the item's trash entry is
                // the new one.
                const TrashEntry now =
                    FreedesktopTrash::moveToTrash(entry.originalPath, QDateTime::currentDateTime());
                const QString item = op.value(QStringLiteral("item")).toString();
                auto st = m_db->statement("SELECT asset FROM state.trashed WHERE identifier = ?");
                st.bind(1, item);
                if (st.step()) {
                    QJsonObject asset = QJsonDocument::fromJson(st.text(0).toUtf8()).object();
                    QJsonArray entries;
                    for (const QJsonValue& e : asset.value(QStringLiteral("entries")).toArray())
                        entries.append(
                            e[QStringLiteral("name")].toString() == entry.name &&
                                    e[QStringLiteral("folder")].toString() == entry.trashFolder
                                ? QJsonObject{{QStringLiteral("folder"), now.trashFolder},
                                              {QStringLiteral("name"), now.name},
                                              {QStringLiteral("original"), now.originalPath}}
                                : e);
                    asset.insert(QStringLiteral("entries"), entries);
                    m_db->statement("UPDATE state.trashed SET asset = ? WHERE identifier = ?")
                        .bind(1, QString::fromUtf8(
                                     QJsonDocument(asset).toJson(QJsonDocument::Compact)))
                        .bind(2, item)
                        .run();
                }
            }
            cutPoint("moved");
        } catch (const std::exception& e) {
            qWarning().noquote() << QString::fromUtf8(e.what());
            done = false;
        }
    }
    placeRewrittenSidecars(operations);
    return done;
}

// Called with the change lock held.
void DarktableStore::recoverInterruptedChanges() {
    std::lock_guard lock(m_dbMutex);
    std::vector<std::tuple<qint64, QString, QString>> rows;
    {
        auto st = m_db->statement("SELECT id, state, operations FROM state.journal ORDER BY id");
        while (st.step())
            rows.emplace_back(st.int64(0), st.text(1), st.text(2));
    }
    // A journal entry is removed in the commit itself, or marked committed there when
    // sidecars wait to be put in place: any other that is left was never committed.
    for (const auto& [id, state, text] : rows) {
        const QJsonArray operations = QJsonDocument::fromJson(text.toUtf8()).array();
        if (state == QLatin1String("committed")) {
            try {
                if (finishCommitted(operations))
                    m_db->statement("DELETE FROM state.journal WHERE id = ?").bind(1, id).run();
            } catch (const std::exception& e) {
                qWarning().noquote() << QString::fromUtf8(e.what());
            }
            continue;
        }
        for (qsizetype i = operations.size() - 1; i >= 0; --i) {
            const QJsonObject op = operations[i].toObject();
            if (op.value(QStringLiteral("op")).toString() == QLatin1String("trash")) {
                continue; // its claim, if made, is a half-made entry of the trash
            } else if (op.value(QStringLiteral("op")).toString() == QLatin1String("rewrite")) {
                QFile::remove(op.value(QStringLiteral("temp")).toString()); // the old one stays
            } else if (op.value(QStringLiteral("op")).toString() == QLatin1String("trashed")) {
                const TrashEntry entry{op.value(QStringLiteral("folder")).toString(),
                                       op.value(QStringLiteral("name")).toString(),
                                       op.value(QStringLiteral("original")).toString()};
                if (FreedesktopTrash::contains(entry) && !QFileInfo::exists(entry.originalPath))
                    FreedesktopTrash::restore(entry);
            } else {
                QFile::remove(op.value(QStringLiteral("temp")).toString());
                QFile::remove(op.value(QStringLiteral("final")).toString());
            }
        }
        QSet<QString> folders;
        for (const QJsonValue& op : operations)
            if (op.toObject().contains(QStringLiteral("original")))
                folders.insert(
                    QFileInfo(op.toObject().value(QStringLiteral("original")).toString()).path());
        // A move cut short between its .trashinfo and its rename left an entry without a file.
        for (const QString& f : folders)
            FreedesktopTrash::removeHalfMadeEntries(f);
        m_db->statement("DELETE FROM state.journal WHERE id = ?").bind(1, id).run();
    }
    m_snapshot.reset();
}

} // namespace photos
