// Changing a Shotwell library as Shotwell itself changes it: one journalled transaction a
// change, undone at the next opening when cut short.
#include "platform/photos/shotwell/ShotwellSnapshot.h"

#include "platform/imaging/ImageMetadata.h"
#include "platform/photos/FileKind.h"
#include "platform/photos/PhotoLibraryError.h"
#include "platform/photos/shared/ChangeLock.h"
#include "platform/photos/shared/DurableWrites.h"
#include "platform/photos/shared/FreedesktopTrash.h"
#include "platform/photos/shared/ResourceFiles.h"
#include "platform/photos/shared/SafetyCopy.h"
#include "platform/photos/shared/SqliteDatabase.h"

#include <QCryptographicHash>
#include <QDebug>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QSet>
#include <QStandardPaths>
#include <QUuid>
#include <unistd.h>

namespace photos {

using namespace shotwell;

namespace {

PhotoLibraryError notFound(const QString& what, const QString& id) {
    return PhotoLibraryError(PhotoLibraryError::Code::NotFound,
                             QStringLiteral("The %1 “%2” is not in the library.").arg(what, id));
}

PhotoLibraryError storageError(const QString& what) {
    return PhotoLibraryError(PhotoLibraryError::Code::StorageFailed, what);
}

// Where tests cut a change short as a crash would: TWINSLIM_SHOTWELL_CUT=POINT[:N] ends the
// process at once the N-th time (1 when not given) a change passes POINT: written, placed,
// commit, claimed (a purge) or committed (a purge).
void cutPoint(const char* point) {
    static const QStringList cut = qEnvironmentVariable("TWINSLIM_SHOTWELL_CUT").split(u':');
    static int passed = 0;
    if (cut.first() == QLatin1String(point) && ++passed == (cut.size() > 1 ? cut[1].toInt() : 1))
        ::_exit(137);
}

QString json(const QJsonArray& a) {
    return QString::fromUtf8(QJsonDocument(a).toJson(QJsonDocument::Compact));
}

QJsonObject entryJson(const TrashEntry& e) {
    return {{QStringLiteral("op"), QStringLiteral("trash")},
            {QStringLiteral("folder"), e.trashFolder},
            {QStringLiteral("name"), e.name},
            {QStringLiteral("original"), e.originalPath}};
}

TrashEntry entryOf(const QJsonObject& o) {
    return {o.value(QStringLiteral("folder")).toString(),
            o.value(QStringLiteral("name")).toString(),
            o.value(QStringLiteral("original")).toString()};
}

QString md5Of(const QString& path) {
    QFile file(path);
    QCryptographicHash md5(QCryptographicHash::Md5);
    if (!file.open(QIODevice::ReadOnly) || !md5.addData(&file))
        return {};
    return QString::fromLatin1(md5.result().toHex());
}

// Shotwell's time of a capture: its wall-clock time (at its own offset when known) read as
// the machine's local time, in seconds.
qint64 shotwellTimeOf(const QDateTime& instant, std::optional<int> offsetSeconds) {
    const QDateTime wall =
        offsetSeconds ? instant.toOffsetFromUtc(*offsetSeconds) : instant.toLocalTime();
    return QDateTime(wall.date(), wall.time(), Qt::LocalTime).toSecsSinceEpoch();
}

// A tag's member list as Shotwell writes it: "thumbA,thumbB,".
QStringList membersOf(const QString& list) {
    return list.split(u',', Qt::SkipEmptyParts);
}
QString listOf(const QStringList& members) {
    return members.isEmpty() ? QString() : members.join(u',') + u',';
}

} // namespace

// ---- Tags: a photo in a tag is in each of its parents too, as Shotwell keeps them ----

namespace {

struct Tags {
    SqliteDatabase& db;
    qint64 now;

    qint64 idOf(const QString& name) {
        auto st = db.statement("SELECT id FROM TagTable WHERE name = ?");
        st.bind(1, name);
        return st.step() ? st.int64(0) : 0;
    }
    qint64 make(const QString& name) {
        if (const qint64 id = idOf(name))
            return id;
        db.statement("INSERT INTO TagTable (name, photo_id_list, time_created) VALUES (?, '', ?)")
            .bind(1, name)
            .bind(2, now)
            .run();
        return db.lastInsertRowId();
    }
    QStringList members(qint64 tag) {
        auto st = db.statement("SELECT photo_id_list FROM TagTable WHERE id = ?");
        st.bind(1, tag);
        return st.step() ? membersOf(st.text(0)) : QStringList();
    }
    void setMembers(qint64 tag, const QStringList& members) {
        db.statement("UPDATE TagTable SET photo_id_list = ? WHERE id = ?")
            .bind(1, listOf(members))
            .bind(2, tag)
            .run();
    }
    // Adds the photo to the tag and to each of its parents.
    void add(const QString& name, const QString& key) {
        QString at = name;
        while (!at.isEmpty()) {
            const qint64 tag = make(at);
            QStringList m = members(tag);
            if (!m.contains(key)) {
                m << key;
                setMembers(tag, m);
            }
            const qsizetype slash = at.lastIndexOf(u'/');
            at = slash > 0 ? at.left(slash) : QString();
        }
    }
    bool contains(qint64 tag, const QString& key) { return members(tag).contains(key); }
    void remove(qint64 tag, const QString& key) {
        QStringList m = members(tag);
        if (m.removeAll(key))
            setMembers(tag, m);
    }
    // The names of the tags listing the photo.
    QStringList namesHolding(const QString& key) {
        QStringList names;
        auto st = db.statement("SELECT name FROM TagTable WHERE ',' || photo_id_list LIKE ? "
                               "ORDER BY id");
        st.bind(1, QStringLiteral("%,") + key + QStringLiteral(",%"));
        while (st.step())
            names << st.text(0);
        return names;
    }
    void removeEverywhere(const QString& key) {
        auto st = db.statement("SELECT id FROM TagTable WHERE ',' || photo_id_list LIKE ?");
        st.bind(1, QStringLiteral("%,") + key + QStringLiteral(",%"));
        std::vector<qint64> ids;
        while (st.step())
            ids.push_back(st.int64(0));
        for (qint64 id : ids)
            remove(id, key);
    }
};

} // namespace

void ShotwellStore::apply(const ChangeRequests& changes, const QDateTime& now,
                          const std::function<void()>& beforeCommit) {
    if (changes.isEmpty())
        return;
    for (const AssetCreationRequest& creation : changes.assetCreations())
        if (creation.hidden)
            throw PhotoLibraryError(
                PhotoLibraryError::Code::InvalidRequest,
                QStringLiteral("Items of a Shotwell library cannot be hidden."));
    for (const AssetChangeRequest& change : changes.assetChanges())
        if (change.hidden && *change.hidden)
            throw PhotoLibraryError(
                PhotoLibraryError::Code::InvalidRequest,
                QStringLiteral("Items of a Shotwell library cannot be hidden."));
    ChangeLock changeLock(stateFolder());
    refuseWhileShotwellRuns();
    std::lock_guard lock(m_dbMutex);
    recoverInterruptedChanges();
    if (m_safetyCopy.isEmpty()) {
        // In the store's hidden folder, beside Shotwell's own photo.db.bak.
        m_safetyCopy =
            saveDatabaseCopy(*m_db, "main", QFileInfo(m_database).fileName(), stateFolder(), now);
        qInfo().noquote() << QStringLiteral("Before changing the Shotwell library, Twinslim "
                                            "saved a copy of it: %1")
                                 .arg(m_safetyCopy);
    }
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
    struct NewFile {
        QString folder, temp, final;
        QString sourcePath;
        QByteArray data;
        bool raw = false;
        imaging::ImageMetadata meta;
        QString path() const { return folder + u'/' + final; }
    };
    struct NewPhoto {
        QString creation;             // identifier of the new item
        const Item* origin = nullptr; // in `snapshot`
        const AssetCreationRequest* request = nullptr;
        std::vector<NewFile> files; // the photo's file, then its camera JPEG when a RAW
    };
    std::vector<NewPhoto> newPhotos;
    QSet<QString> taken; // lower-case paths chosen in this change
    QHash<QString, QSet<QString>> namesIn;
    auto isFree = [&](const QString& folder, const QString& name) {
        const QString path = folder + QLatin1Char('/') + name;
        if (taken.contains(path.toLower()))
            return false;
        // Names are compared without case, as on the disks photos live on; and a name Shotwell
        // still keeps a row for (a photo in its trash) stays that row's.
        auto names = namesIn.find(folder);
        if (names == namesIn.end()) {
            QSet<QString> lower;
            for (const QString& n : QDir(folder).entryList(QDir::AllEntries | QDir::Hidden |
                                                           QDir::System | QDir::NoDotAndDotDot))
                lower.insert(n.toLower());
            names = namesIn.insert(folder, lower);
        }
        if (names->contains(name.toLower()))
            return false;
        auto st = m_db->statement("SELECT 1 FROM PhotoTable WHERE lower(filename) = lower(?1) "
                                  "UNION ALL SELECT 1 FROM BackingPhotoTable WHERE "
                                  "lower(filepath) = lower(?1)");
        st.bind(1, path);
        return !st.step();
    };
    const QString ownFolder = QStandardPaths::writableLocation(QStandardPaths::PicturesLocation) +
                              QStringLiteral("/Twinslim");
    for (const AssetCreationRequest& creation : changes.assetCreations()) {
        if (creation.resources().empty())
            throw PhotoLibraryError(PhotoLibraryError::Code::InvalidResource,
                                    QStringLiteral("A new item needs at least one resource."));
        NewPhoto photo;
        photo.creation = creation.placeholderForCreatedAsset().localIdentifier;
        photo.request = &creation;
        if (creation.derivedFrom)
            photo.origin = itemOf(*creation.derivedFrom);
        const QString folder =
            photo.origin
                ? QFileInfo(photo.origin->asset->resources.back()->storedPath).absolutePath()
                : ownFolder;
        if (!photo.origin && !QDir().mkpath(folder))
            throw storageError(QStringLiteral("The folder “%1” cannot be made.").arg(folder));
        int pictures = 0, raws = 0;
        for (const auto& res : creation.resources()) {
            const QString name = QFileInfo(res.options.originalFilename).fileName();
            QString uti;
            const FileKind kind = name.isEmpty() ? FileKind::Other : fileKindOf(name, &uti);
            if (kind == FileKind::Picture && uti != QLatin1String("public.jpeg"))
                throw PhotoLibraryError(
                    PhotoLibraryError::Code::InvalidResource,
                    QStringLiteral("Shotwell cannot show “%1”: it shows JPEG pictures and RAW "
                                   "files. Export that album as JPEG.")
                        .arg(res.options.originalFilename));
            if (kind != FileKind::Picture && kind != FileKind::Raw)
                throw PhotoLibraryError(
                    PhotoLibraryError::Code::InvalidResource,
                    QStringLiteral("“%1” is not a picture a Shotwell library can hold.")
                        .arg(res.options.originalFilename));
            (kind == FileKind::Raw ? raws : pictures)++;
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
                if (isFree(folder, final))
                    break;
            }
            taken.insert((folder + QLatin1Char('/') + final).toLower());
            NewFile file;
            file.folder = folder;
            file.final = final;
            file.temp = QStringLiteral(".twinslim-%1-%2.tmp").arg(token).arg(tempCount++);
            file.sourcePath = res.sourcePath;
            file.data = res.data;
            file.raw = kind == FileKind::Raw;
            file.meta = res.sourcePath.isEmpty() ? imaging::readImageMetadata(res.data)
                                                 : imaging::readImageMetadata(res.sourcePath);
            photo.files.push_back(std::move(file));
        }
        if (pictures > 1 || raws > 1)
            throw PhotoLibraryError(
                PhotoLibraryError::Code::InvalidResource,
                QStringLiteral("A Shotwell photo holds one picture, or a RAW file with its "
                               "JPEG."));
        // The RAW is the photo; its JPEG is its camera development.
        std::stable_sort(photo.files.begin(), photo.files.end(),
                         [](const NewFile& a, const NewFile& b) { return a.raw && !b.raw; });
        newPhotos.push_back(std::move(photo));
    }

    QStringList deleted;
    for (const QString& id : QSet<QString>(changes.deletions().begin(), changes.deletions().end()))
        deleted << id;
    deleted.sort();
    for (const QString& id : deleted)
        itemOf(id);

    // ---- The journal names every new file before it exists ----
    QJsonArray operations;
    for (const NewPhoto& p : newPhotos)
        for (const NewFile& f : p.files)
            operations.append(QJsonObject{{QStringLiteral("op"), QStringLiteral("place")},
                                          {QStringLiteral("temp"), f.folder + u'/' + f.temp},
                                          {QStringLiteral("final"), f.path()}});
    qint64 journalId = 0;
    QStringList placed;
    try {
        if (!operations.isEmpty()) {
            m_db->statement("INSERT INTO state.journal (state, operations) VALUES ('planned', ?)")
                .bind(1, json(operations))
                .run();
            journalId = m_db->lastInsertRowId();
        }
        // ---- New files, flushed, then put in place under their names ----
        QSet<QString> folders;
        for (const NewPhoto& p : newPhotos)
            for (const NewFile& f : p.files) {
                const QString temp = f.folder + u'/' + f.temp;
                if (!f.sourcePath.isEmpty()) {
                    ResourceFiles::streamCopy(f.sourcePath, temp);
                    flushFile(temp);
                } else {
                    writeFlushed(temp, f.data);
                }
                folders.insert(f.folder);
            }
        for (const QString& f : folders)
            syncFolder(f);
        cutPoint("written");
        for (const NewPhoto& p : newPhotos)
            for (const NewFile& f : p.files) {
                if (const int error = renameWithoutReplacing(f.folder + u'/' + f.temp, f.path()))
                    throw storageError(
                        error == EEXIST
                            ? QStringLiteral("Another file took the name “%1” meanwhile.")
                                  .arg(f.path())
                            : QStringLiteral("“%1” cannot be put in place.").arg(f.path()));
                placed << f.path();
            }
        for (const QString& f : folders)
            syncFolder(f);
        cutPoint("placed");

        inTransaction(*m_db, [&] {
            const qint64 nowSeconds = now.toSecsSinceEpoch();
            Tags tags{*m_db, nowSeconds};
            // ---- New photos: the rows Shotwell's import gives a file ----
            QHash<QString, qint64> photoOfCreated;
            for (const NewPhoto& p : newPhotos) {
                const AssetCreationRequest& request = *p.request;
                const NewFile& main = p.files.front();
                const QFileInfo info(main.path());
                qint64 backing = -1;
                if (p.files.size() > 1) {
                    const NewFile& jpeg = p.files.back();
                    const QFileInfo jpegInfo(jpeg.path());
                    m_db->statement(
                            "INSERT INTO BackingPhotoTable (filepath, timestamp, filesize, width, "
                            "height, original_orientation, file_format, time_created) VALUES (?, "
                            "?, ?, ?, ?, ?, 0, ?)")
                        .bind(1, jpeg.path())
                        .bind(2, jpegInfo.lastModified().toSecsSinceEpoch())
                        .bind(3, jpegInfo.size())
                        .bind(4, qint64(jpeg.meta.pixelSize.width()))
                        .bind(5, qint64(jpeg.meta.pixelSize.height()))
                        .bind(6, qint64(jpeg.meta.orientation))
                        .bind(7, nowSeconds)
                        .run();
                    backing = m_db->lastInsertRowId();
                }
                const QString md5 = md5Of(main.path());
                if (md5.isEmpty())
                    throw storageError(
                        QStringLiteral("“%1” cannot be read back.").arg(main.path()));
                // The original's event, rating (5 for a favourite), flag, title and comment.
                const qint64 originPhoto = p.origin ? p.origin->photo : 0;
                m_db->statement(
                        "INSERT INTO PhotoTable (filename, width, height, filesize, timestamp, "
                        "exposure_time, orientation, original_orientation, import_id, event_id, "
                        "md5, time_created, flags, rating, file_format, title, editable_id, "
                        "metadata_dirty, developer, develop_shotwell_id, develop_camera_id, "
                        "develop_embedded_id, comment) SELECT ?1, ?2, ?3, ?4, ?5, ?6, ?7, ?7, "
                        "?8, coalesce(o.event_id, -1), ?9, ?8, coalesce(o.flags & 16, 0), CASE "
                        "WHEN ?10 THEN 5 ELSE coalesce(o.rating, 0) END, ?11, o.title, -1, 0, "
                        "?12, -1, ?13, -1, o.comment FROM (SELECT 1) LEFT JOIN PhotoTable o ON "
                        "o.id = ?14")
                    .bind(1, main.path())
                    .bind(2, qint64(main.meta.pixelSize.width()))
                    .bind(3, qint64(main.meta.pixelSize.height()))
                    .bind(4, info.size())
                    .bind(5, info.lastModified().toSecsSinceEpoch())
                    .bind(6, request.creationDate ? shotwellTimeOf(*request.creationDate,
                                                                   request.creationOffsetSeconds)
                                                  : qint64(0))
                    .bind(7, qint64(main.meta.orientation))
                    .bind(8, nowSeconds)
                    .bind(9, md5)
                    .bind(10, qint64(request.favorite ? 1 : 0))
                    .bind(11, qint64(main.raw ? 1 : 0))
                    .bind(12, main.raw ? QStringLiteral("CAMERA") : QStringLiteral("SHOTWELL"))
                    .bind(13, backing)
                    .bind(14, originPhoto)
                    .run();
                const qint64 id = m_db->lastInsertRowId();
                photoOfCreated.insert(p.creation, id);
                // A photo Shotwell imports joins an event: its original's, else one of its own.
                auto event = m_db->statement("SELECT event_id FROM PhotoTable WHERE id = ?");
                event.bind(1, id);
                event.step();
                if (event.int64(0) < 0) {
                    m_db->statement("INSERT INTO EventTable (time_created, primary_source_id) "
                                    "VALUES (?, ?)")
                        .bind(1, nowSeconds)
                        .bind(2, photoKey(id))
                        .run();
                    m_db->statement("UPDATE PhotoTable SET event_id = ? WHERE id = ?")
                        .bind(1, m_db->lastInsertRowId())
                        .bind(2, id)
                        .run();
                }
                // The pair's tags, the programs' own albums left where they are.
                if (originPhoto)
                    for (const QString& name : tags.namesHolding(photoKey(originPhoto)))
                        if (name != ownTagParent && !name.startsWith(ownTagParent + u'/'))
                            tags.add(name, photoKey(id));
                m_db->statement("INSERT OR REPLACE INTO state.identities (photo, identifier) "
                                "VALUES (?, ?)")
                    .bind(1, id)
                    .bind(2, p.creation)
                    .run();
            }
            auto photoOf = [&](const QString& id) -> qint64 {
                if (photoOfCreated.contains(id))
                    return photoOfCreated.value(id);
                return itemOf(id)->photo;
            };

            // Favourites: 5 stars; unmarking lowers a 5 to 4.
            for (const AssetChangeRequest& change : changes.assetChanges()) {
                if (!change.favorite)
                    continue;
                m_db->statement(
                        *change.favorite
                            ? "UPDATE PhotoTable SET rating = 5 WHERE id = ?"
                            : "UPDATE PhotoTable SET rating = 4 WHERE id = ? AND rating = 5")
                    .bind(1, photoOf(change.assetIdentifier()))
                    .run();
            }

            // Albums: tags. The programs' own are made under our parent.
            QSet<QString> emptiedCandidates; // tags that lost photos in this change
            for (const AssetCollectionChangeRequest& change : changes.collectionChanges()) {
                QString name;
                if (change.createdTitle()) {
                    const QString title = *change.createdTitle();
                    if (change.requiresUniqueTitle())
                        for (const CollectionPtr& album : snapshot->albums)
                            if (album->localizedTitle == title)
                                throw PhotoLibraryError(
                                    PhotoLibraryError::Code::AlreadyExists,
                                    QStringLiteral("An album titled “%1” exists already.")
                                        .arg(title));
                    name = ownTagParent + u'/' + title;
                    tags.make(ownTagParent);
                    tags.make(name);
                    // The album keeps the identifier its placeholder promised.
                    m_db->statement("INSERT OR REPLACE INTO state.album_identities (name, "
                                    "identifier) VALUES (?, ?)")
                        .bind(1, name)
                        .bind(2, change.collectionIdentifier())
                        .run();
                } else {
                    for (const auto& tag : snapshot->tags)
                        if (tag.identifier == change.collectionIdentifier())
                            name = tag.name;
                    if (name.isEmpty() || !tags.idOf(name))
                        throw notFound(QStringLiteral("album"), change.collectionIdentifier());
                }
                const qint64 tagId = tags.idOf(name);
                for (const auto& op : change.operations())
                    for (const QString& itemId : op.assetIdentifiers) {
                        const QString key = photoKey(photoOf(itemId));
                        if (op.add && op.mustBeNew && tags.contains(tagId, key))
                            throw PhotoLibraryError(
                                PhotoLibraryError::Code::AlreadyMember,
                                QStringLiteral("The item %1 is in that album already.")
                                    .arg(itemId));
                        if (op.add) {
                            tags.add(name, key);
                        } else {
                            tags.remove(tagId, key);
                            emptiedCandidates.insert(name);
                        }
                    }
            }

            // Deletions: as Shotwell's "Move to Trash" leaves a photo: flagged as trashed, in no
            // event and no tag, its files where they are. What it was in is kept for a restore.
            const qint64 nowMs = now.toMSecsSinceEpoch();
            for (const QString& id : deleted) {
                const auto item = itemOf(id);
                const QString key = photoKey(item->photo);
                m_db->statement("INSERT OR REPLACE INTO state.trashed (photo, trashed_at, event, "
                                "tags) VALUES (?, ?, ?, ?)")
                    .bind(1, item->photo)
                    .bind(2, nowMs)
                    .bind(3, item->event)
                    .bind(4, json(QJsonArray::fromStringList(tags.namesHolding(key))))
                    .run();
                // The albums it was in when the change began may empty (one it joined in this
                // change keeps it for a restore).
                for (const auto& tag : snapshot->tags)
                    if (std::find(tag.members.begin(), tag.members.end(), id) != tag.members.end())
                        emptiedCandidates.insert(tag.name);
                tags.removeEverywhere(key);
                m_db->statement("UPDATE PhotoTable SET flags = flags | ?, event_id = -1 WHERE id = "
                                "?")
                    .bind(1, trashFlag)
                    .bind(2, item->photo)
                    .run();
                // An event shown by this photo is shown by its replacement, or another of its
                // photos.
                m_db->statement(
                        "UPDATE EventTable SET primary_source_id = (SELECT 'thumb' || "
                        "printf('%016x', p.id) FROM PhotoTable p WHERE p.event_id = EventTable.id "
                        "ORDER BY p.id DESC LIMIT 1) WHERE id = ? AND primary_source_id = ?")
                    .bind(1, item->event)
                    .bind(2, key)
                    .run();
            }
            // The programs' own albums go when they empty; their parent when it holds none. The
            // parent lists what its albums hold.
            for (const QString& name : emptiedCandidates) {
                const qint64 tag = tags.idOf(name);
                if (!name.startsWith(ownTagParent + u'/') || !tag || !tags.members(tag).isEmpty())
                    continue;
                m_db->statement("DELETE FROM state.album_identities WHERE name = ?")
                    .bind(1, name)
                    .run();
                m_db->statement("DELETE FROM TagTable WHERE id = ?").bind(1, tag).run();
            }
            if (const qint64 parent = tags.idOf(ownTagParent)) {
                QStringList keep;
                bool children = false;
                auto own = m_db->statement("SELECT photo_id_list FROM TagTable WHERE name LIKE ?");
                own.bind(1, ownTagParent + QStringLiteral("/%"));
                while (own.step()) {
                    children = true;
                    for (const QString& k : membersOf(own.text(0)))
                        if (!keep.contains(k))
                            keep << k;
                }
                if (children)
                    tags.setMembers(parent, keep);
                else
                    m_db->statement("DELETE FROM TagTable WHERE id = ?").bind(1, parent).run();
            }
            if (journalId)
                m_db->statement("DELETE FROM state.journal WHERE id = ?").bind(1, journalId).run();
            beforeCommit();
            cutPoint("commit");
        });
    } catch (...) {
        // Not committed: the new files go.
        for (const QString& p : placed)
            QFile::remove(p);
        for (const NewPhoto& p : newPhotos)
            for (const NewFile& f : p.files)
                QFile::remove(f.folder + u'/' + f.temp);
        try {
            if (journalId)
                m_db->statement("DELETE FROM state.journal WHERE id = ?").bind(1, journalId).run();
        } catch (...) {
        }
        m_snapshot.reset();
        throw;
    }
    m_snapshot.reset();
}

// Called with the change lock held.
void ShotwellStore::recoverInterruptedChanges() {
    std::lock_guard lock(m_dbMutex);
    std::vector<std::tuple<qint64, QString, QJsonArray>> journal;
    {
        auto st = m_db->statement("SELECT id, state, operations FROM state.journal ORDER BY id");
        while (st.step())
            journal.emplace_back(st.int64(0), st.text(1),
                                 QJsonDocument::fromJson(st.text(2).toUtf8()).array());
    }
    for (const auto& [id, state, operations] : journal) {
        bool done = true;
        for (const QJsonValue& v : operations) {
            const QJsonObject op = v.toObject();
            const QString kind = op.value(QStringLiteral("op")).toString();
            if (kind == QLatin1String("place")) {
                // A change cut short before its commit: its new files go (a committed one
                // left no journal).
                QFile::remove(op.value(QStringLiteral("temp")).toString());
                QFile::remove(op.value(QStringLiteral("final")).toString());
            } else if (kind == QLatin1String("trash")) {
                // A purge: committed, its files go on to the trash; else their claims go.
                const TrashEntry e = entryOf(op);
                try {
                    if (state == QLatin1String("committed"))
                        FreedesktopTrash::moveClaimed(e);
                    else
                        FreedesktopTrash::unclaim(e);
                } catch (const PhotoLibraryError& error) {
                    qWarning().noquote() << error.description();
                    done = false;
                }
            }
        }
        if (done)
            m_db->statement("DELETE FROM state.journal WHERE id = ?").bind(1, id).run();
    }
}

// ---- Shotwell's trash ----

std::vector<TrashedAsset> ShotwellStore::trashed() const {
    std::lock_guard lock(m_dbMutex);
    QHash<qint64, QString> identities;
    {
        auto st = m_db->statement("SELECT photo, identifier FROM state.identities");
        while (st.step())
            identities.insert(st.int64(0), st.text(1));
    }
    std::vector<TrashedAsset> result;
    auto st = m_db->statement(
        "SELECT p.id, p.filename, b.filepath, p.exposure_time, p.rating, t.trashed_at FROM "
        "PhotoTable p LEFT JOIN BackingPhotoTable b ON b.id = p.develop_camera_id LEFT JOIN "
        "state.trashed t ON t.photo = p.id WHERE p.flags & ? != 0 ORDER BY t.trashed_at, p.id");
    st.bind(1, trashFlag);
    const QDateTime now = QDateTime::currentDateTimeUtc();
    while (st.step()) {
        auto asset = std::make_shared<Asset>();
        asset->localIdentifier =
            identities.value(st.int64(0), itemIdentifier(m_idPrefix, st.int64(0)));
        asset->catalogId = st.int64(0);
        if (st.int64(3) > 0)
            asset->creationDate = QDateTime::fromSecsSinceEpoch(st.int64(3), Qt::UTC);
        asset->isFavorite = st.int64(4) == 5;
        QStringList paths;
        if (!st.isNull(2))
            paths << st.text(2);
        paths << st.text(1);
        for (const QString& path : paths) {
            auto r = std::make_shared<AssetResource>();
            r->assetLocalIdentifier = asset->localIdentifier;
            r->ordinal = int(asset->resources.size());
            QString uti;
            r->type = fileKindOf(path, &uti) == FileKind::Raw ? ResourceType::AlternatePhoto
                                                              : ResourceType::Photo;
            r->uniformTypeIdentifier = uti;
            r->originalFilename = QFileInfo(path).fileName();
            r->storedPath = path;
            asset->resources.push_back(std::move(r));
        }
        // A photo trashed in Shotwell itself has no known moment: it counts as trashed now, so
        // that only an emptying of the whole trash removes it.
        result.push_back(
            {asset, st.isNull(5) ? now : QDateTime::fromMSecsSinceEpoch(st.int64(5), Qt::UTC)});
    }
    return result;
}

int ShotwellStore::restore(const QStringList& identifiers) {
    ChangeLock changeLock(stateFolder());
    refuseWhileShotwellRuns();
    std::lock_guard lock(m_dbMutex);
    QHash<QString, qint64> photoOf;
    for (const TrashedAsset& t : trashed())
        photoOf.insert(t.asset->localIdentifier, t.asset->catalogId);
    int restored = 0;
    inTransaction(*m_db, [&] {
        Tags tags{*m_db, QDateTime::currentSecsSinceEpoch()};
        for (const QString& id : identifiers) {
            const qint64 photo = photoOf.value(id);
            if (!photo)
                continue;
            qint64 event = -1;
            QStringList names;
            auto record = m_db->statement("SELECT event, tags FROM state.trashed WHERE photo = ?");
            record.bind(1, photo);
            if (record.step()) {
                event = record.isNull(0) ? -1 : record.int64(0);
                for (const QJsonValue& v : QJsonDocument::fromJson(record.text(1).toUtf8()).array())
                    names << v.toString();
            }
            auto exists = m_db->statement("SELECT 1 FROM EventTable WHERE id = ?");
            exists.bind(1, event);
            if (!exists.step()) {
                m_db->statement("INSERT INTO EventTable (time_created, primary_source_id) VALUES "
                                "(?, ?)")
                    .bind(1, QDateTime::currentSecsSinceEpoch())
                    .bind(2, photoKey(photo))
                    .run();
                event = m_db->lastInsertRowId();
            }
            m_db->statement("UPDATE PhotoTable SET flags = flags & ~?, event_id = ? WHERE id = ?")
                .bind(1, trashFlag)
                .bind(2, event)
                .bind(3, photo)
                .run();
            // Back into the tags it was in that still exist.
            for (const QString& name : names)
                if (tags.idOf(name))
                    tags.add(name, photoKey(photo));
            m_db->statement("DELETE FROM state.trashed WHERE photo = ?").bind(1, photo).run();
            ++restored;
        }
    });
    m_snapshot.reset();
    return restored;
}

int ShotwellStore::purgeTrashedBefore(const std::optional<QDateTime>& cutoff) {
    ChangeLock changeLock(stateFolder());
    std::lock_guard lock(m_dbMutex);
    // As Shotwell's "Empty Trash": the photos leave the library, their files go to the
    // desktop's trash; a file another photo still shows stays.
    std::vector<qint64> photos;
    QSet<QString> files;
    for (const TrashedAsset& t : trashed())
        if (!cutoff || t.trashedAt <= *cutoff) {
            photos.push_back(t.asset->catalogId);
            for (const ResourcePtr& r : t.asset->resources)
                files.insert(r->storedPath);
        }
    if (photos.empty())
        return 0;
    refuseWhileShotwellRuns();
    QJsonArray keep;
    for (qint64 p : photos)
        keep.append(p);
    {
        auto st = m_db->statement(
            "SELECT p.filename, b.filepath FROM PhotoTable p LEFT JOIN BackingPhotoTable b ON "
            "b.id = p.develop_camera_id WHERE p.id NOT IN (SELECT value FROM json_each(?))");
        st.bind(1, json(keep));
        while (st.step()) {
            files.remove(st.text(0));
            if (!st.isNull(1))
                files.remove(st.text(1));
        }
    }
    QStringList sorted(files.begin(), files.end());
    sorted.sort();
    const QDateTime now = QDateTime::currentDateTimeUtc();
    QJsonArray operations;
    std::vector<TrashEntry> claimed;
    qint64 journalId = 0;
    try {
        m_db->statement("INSERT INTO state.journal (state, operations) VALUES ('planned', '[]')")
            .run();
        journalId = m_db->lastInsertRowId();
        for (const QString& file : sorted) {
            if (!QFileInfo(file).isFile())
                continue;
            claimed.push_back(FreedesktopTrash::claim(file, now));
            operations.append(entryJson(claimed.back()));
            m_db->statement("UPDATE state.journal SET operations = ? WHERE id = ?")
                .bind(1, json(operations))
                .bind(2, journalId)
                .run();
            cutPoint("claimed");
        }
        inTransaction(*m_db, [&] {
            for (qint64 photo : photos) {
                m_db->statement("DELETE FROM BackingPhotoTable WHERE id IN (SELECT "
                                "develop_camera_id FROM PhotoTable WHERE id = ?)")
                    .bind(1, photo)
                    .run();
                m_db->statement("DELETE FROM PhotoTable WHERE id = ?").bind(1, photo).run();
                m_db->statement("DELETE FROM state.trashed WHERE photo = ?").bind(1, photo).run();
                m_db->statement("DELETE FROM state.identities WHERE photo = ?")
                    .bind(1, photo)
                    .run();
            }
            m_db->statement("UPDATE state.journal SET state = 'committed' WHERE id = ?")
                .bind(1, journalId)
                .run();
        });
    } catch (...) {
        for (const TrashEntry& e : claimed)
            FreedesktopTrash::unclaim(e);
        try {
            m_db->statement("DELETE FROM state.journal WHERE id = ?").bind(1, journalId).run();
        } catch (...) {
        }
        m_snapshot.reset();
        throw;
    }
    m_snapshot.reset();
    cutPoint("committed");
    bool done = true;
    for (const TrashEntry& e : claimed)
        try {
            FreedesktopTrash::moveClaimed(e);
        } catch (const PhotoLibraryError& error) {
            qWarning().noquote() << error.description();
            done = false;
        }
    if (done)
        m_db->statement("DELETE FROM state.journal WHERE id = ?").bind(1, journalId).run();
    // Shotwell's thumbnails of the photos that left.
    const QFileInfo db(m_database);
    QStringList thumbRoots{db.absoluteDir().absolutePath() + QStringLiteral("/../thumbs"),
                           QStandardPaths::writableLocation(QStandardPaths::GenericCacheLocation) +
                               QStringLiteral("/shotwell/thumbs")};
    for (const QString& root : thumbRoots)
        for (const QString& size : {QStringLiteral("thumbs128"), QStringLiteral("thumbs360")})
            for (qint64 photo : photos) {
                QDir dir(root + u'/' + size);
                for (const QString& name : dir.entryList({photoKey(photo) + QStringLiteral(".*")}))
                    dir.remove(name);
            }
    return int(photos.size());
}

} // namespace photos
