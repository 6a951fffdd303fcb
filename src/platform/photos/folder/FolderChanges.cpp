// The folder store's changes: planned, written under temporary names, committed in one state
// transaction, then put in place; and the recovery of a change cut short.
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

void FolderStore::apply(const ChangeRequests& changes, const QDateTime& now,
                        const std::function<void()>& beforeCommit) {
    if (changes.isEmpty())
        return;
    ChangeLock changeLock(stateFolder());
    const auto snapshot = rescan(); // decide on what is on disk now
    auto itemOf = [&](const QString& id) {
        const Item* item = snapshot->item(id);
        if (!item)
            throw notFound(QStringLiteral("item"), id);
        return item;
    };
    const qint64 nowMs = now.toMSecsSinceEpoch();
    const QString token = QUuid::createUuid().toString(QUuid::Id128).left(12);
    int tempCount = 0;
    auto tempFor = [&](const QString& finalPath) {
        return joined(folderOf(finalPath),
                      QStringLiteral(".photolib-%1-%2.tmp").arg(token).arg(tempCount++));
    };

    // Sidecar edits, per sidecar, applied in order onto what it holds now (or onto nothing).
    std::map<QString, std::vector<imaging::XmpSidecarEdit>> sidecarEdits;
    auto sidecarOf = [&](const Item& item) {
        if (!item.sidecars.isEmpty())
            return item.sidecars;
        const QString primaryName = nameOf(item.primary);
        const QString name =
            snapshot->sidecarStemFolders.contains(item.folder)
                ? QFileInfo(primaryName).completeBaseName() + QStringLiteral(".xmp")
                : primaryName + QStringLiteral(".xmp");
        return QStringList{joined(item.folder, name)};
    };

    // New items: their files beside the item they come from (else at the top), a sidecar
    // carrying that item's rating, label and keywords.
    struct Placement {
        QString uuid;
        QString temp, final;
        std::optional<QString> source; // a file to copy, else `data`
        QByteArray data;
    };
    std::vector<Placement> placements;
    QHash<QString, QString> newSidecars; // new item → its sidecar's final path
    QSet<QString> taken;
    // Names are compared without case: on the memory cards and disks photos live on,
    // "IMG_1.jpg" and "IMG_1.JPG" are often one name.
    QHash<QString, QSet<QString>> namesIn;
    auto folderHolds = [&](const QString& folder, const QString& name) {
        auto it = namesIn.find(folder);
        if (it == namesIn.end()) {
            QSet<QString> names;
            for (const QString& n : QDir(joined(m_root, folder))
                                        .entryList(QDir::AllEntries | QDir::Hidden | QDir::System |
                                                   QDir::NoDotAndDotDot))
                names.insert(n.toLower());
            it = namesIn.insert(folder, names);
        }
        return it->contains(name.toLower());
    };
    auto freeName = [&](const QString& folder, const QString& name) {
        const QFileInfo info(name);
        const QString suffix =
            info.suffix().isEmpty() ? QString() : QLatin1Char('.') + info.suffix();
        for (int n = 0;; ++n) {
            const QString candidate =
                n == 0
                    ? name
                    : QStringLiteral("%1 (%2)%3").arg(info.completeBaseName()).arg(n).arg(suffix);
            const QString rel = joined(folder, candidate);
            if (!taken.contains(rel.toLower()) && !folderHolds(folder, candidate) &&
                !folderHolds(folder, candidate + QStringLiteral(".xmp"))) {
                taken.insert(rel.toLower());
                return rel;
            }
        }
    };
    for (const AssetCreationRequest& creation : changes.assetCreations()) {
        if (creation.resources().empty())
            throw PhotoLibraryError(PhotoLibraryError::Code::InvalidResource,
                                    QStringLiteral("A new item needs at least one resource."));
        if (creation.hidden)
            throw PhotoLibraryError(PhotoLibraryError::Code::InvalidRequest,
                                    QStringLiteral("Items of a folder library cannot be hidden."));
        const QString uuid = creation.placeholderForCreatedAsset().localIdentifier;
        const Item* origin = nullptr;
        if (creation.derivedFrom)
            origin = itemOf(*creation.derivedFrom);
        const QString folder = origin ? origin->folder : QString();
        QString primaryFinal;
        for (const auto& res : creation.resources()) {
            const QString name = nameOf(res.options.originalFilename);
            QString kindUti;
            const FileKind kind = name.isEmpty() ? FileKind::Other : fileKindOf(name, &kindUti);
            if (kind != FileKind::Picture && kind != FileKind::Raw)
                throw PhotoLibraryError(
                    PhotoLibraryError::Code::InvalidResource,
                    QStringLiteral("“%1” is not a picture a folder library can hold.")
                        .arg(res.options.originalFilename));
            const QString final = freeName(folder, name);
            if (primaryFinal.isEmpty())
                primaryFinal = final;
            Placement p{uuid, tempFor(final), final, std::nullopt, res.data};
            if (!res.sourcePath.isEmpty())
                p.source = res.sourcePath;
            placements.push_back(std::move(p));
        }
        imaging::XmpSidecarEdit edit;
        if (origin) {
            QList<QByteArray> originSidecars;
            for (const QString& s : origin->sidecars) {
                QFile f(m_root + QLatin1Char('/') + s);
                QByteArray data;
                if (f.size() <= sidecarLimit && f.open(QIODevice::ReadOnly) &&
                    imaging::parseXmpSidecar(data = f.readAll()))
                    originSidecars << data;
            }
            edit.mergeFrom = originSidecars;
        }
        if (creation.favorite)
            edit.rating = 5;
        // The date and place travel in the file; when it has none, or its time or offset is
        // not the item's (exporters drop or change the offset), the sidecar carries them.
        const auto& first = creation.resources().front();
        const imaging::ImageMetadata meta = first.sourcePath.isEmpty()
                                                ? imaging::readImageMetadata(first.data)
                                                : imaging::readImageMetadata(first.sourcePath);
        if (creation.creationDate && creation.creationDate->isValid() &&
            (!meta.captureDate ||
             meta.captureDate->toSecsSinceEpoch() != creation.creationDate->toSecsSinceEpoch() ||
             meta.offsetSeconds != creation.creationOffsetSeconds)) {
            edit.captureDate = *creation.creationDate;
            edit.captureOffsetSeconds = creation.creationOffsetSeconds;
        }
        if (creation.location && !(meta.latitude && meta.longitude))
            edit.location = std::pair{creation.location->latitude, creation.location->longitude};
        const QString sidecar = primaryFinal + QStringLiteral(".xmp");
        newSidecars.insert(uuid, sidecar);
        sidecarEdits[sidecar].push_back(edit);
    }

    // Favourites.
    for (const AssetChangeRequest& change : changes.assetChanges()) {
        const auto item = itemOf(change.assetIdentifier());
        if (change.hidden && *change.hidden)
            throw PhotoLibraryError(PhotoLibraryError::Code::InvalidRequest,
                                    QStringLiteral("Items of a folder library cannot be hidden."));
        if (!change.favorite)
            continue;
        for (const QString& s : sidecarOf(*item)) {
            imaging::XmpSidecarEdit edit;
            if (*change.favorite) {
                edit.rating = 5;
            } else {
                // Only a 5 was a favourite; lowering it keeps the rest of the user's rating.
                QFile f(m_root + QLatin1Char('/') + s);
                std::optional<int> rating;
                if (f.open(QIODevice::ReadOnly))
                    if (auto data = imaging::parseXmpSidecar(f.readAll()))
                        rating = data->rating;
                if (rating && *rating != 5)
                    continue;
                edit.rating = 4;
            }
            sidecarEdits[s].push_back(edit);
        }
    }

    // Albums: keyword albums are written into sidecars, the programs' own ones into the state.
    const std::vector<CollectionPtr> existing = allAlbums(*snapshot);
    struct MemberChange {
        QString album;
        QString asset;
        bool add;
        bool mustBeNew;
    };
    std::vector<std::pair<QString, QString>> newAlbums; // uuid, title
    std::vector<MemberChange> memberChanges;
    for (const AssetCollectionChangeRequest& change : changes.collectionChanges()) {
        QString keyword;
        if (change.createdTitle()) {
            if (change.requiresUniqueTitle())
                for (const CollectionPtr& a : existing)
                    if (a->localizedTitle == *change.createdTitle())
                        throw PhotoLibraryError(
                            PhotoLibraryError::Code::AlreadyExists,
                            QStringLiteral("An album titled “%1” exists already.")
                                .arg(*change.createdTitle()));
            newAlbums.push_back({change.collectionIdentifier(), *change.createdTitle()});
        } else {
            const auto found = std::find_if(existing.begin(), existing.end(), [&](const auto& a) {
                return a->localIdentifier == change.collectionIdentifier();
            });
            if (found == existing.end())
                throw notFound(QStringLiteral("album"), change.collectionIdentifier());
            if ((*found)->localIdentifier ==
                keywordAlbumIdentifier(m_identity, *(*found)->localizedTitle))
                keyword = *(*found)->localizedTitle;
        }
        for (const auto& op : change.operations())
            for (const QString& id : op.assetIdentifiers) {
                const bool created = newSidecars.contains(id);
                if (keyword.isEmpty()) {
                    if (!created)
                        itemOf(id);
                    memberChanges.push_back(
                        {change.collectionIdentifier(), id, op.add, op.mustBeNew});
                    continue;
                }
                if (created) {
                    imaging::XmpSidecarEdit edit;
                    (op.add ? edit.addKeywords : edit.removeKeywords) << keyword;
                    sidecarEdits[newSidecars.value(id)].push_back(edit);
                    continue;
                }
                const auto item = itemOf(id);
                if (op.add && op.mustBeNew && item->keywords.contains(keyword))
                    throw PhotoLibraryError(
                        PhotoLibraryError::Code::AlreadyMember,
                        QStringLiteral("The item %1 is in that album already.").arg(id));
                for (const QString& s : op.add ? sidecarOf(*item) : item->sidecars) {
                    imaging::XmpSidecarEdit edit;
                    (op.add ? edit.addKeywords : edit.removeKeywords) << keyword;
                    sidecarEdits[s].push_back(edit);
                }
            }
    }

    // Deletions: every file of each item, sidecars included.
    QStringList deleted;
    for (const QString& id : QSet<QString>(changes.deletions().begin(), changes.deletions().end()))
        deleted << id;
    deleted.sort();
    for (const QString& id : deleted)
        itemOf(id);

    // The new content of every edited sidecar.
    struct Rewrite {
        QString temp, final;
        QByteArray data;
    };
    std::vector<Rewrite> rewrites;
    for (const auto& [path, edits] : sidecarEdits) {
        QByteArray data;
        QFile f(m_root + QLatin1Char('/') + path);
        if (f.exists()) {
            if (f.size() > sidecarLimit || !f.open(QIODevice::ReadOnly))
                throw storageError(QStringLiteral("The sidecar “%1” cannot be read.").arg(path));
            data = f.readAll();
        }
        try {
            for (const auto& edit : edits)
                data = imaging::editXmpSidecar(data, edit);
        } catch (const imaging::ImagingError&) {
            throw PhotoLibraryError(PhotoLibraryError::Code::InvalidResource,
                                    QStringLiteral("The sidecar “%1” is not XMP; it is left as it "
                                                   "is.")
                                        .arg(path));
        }
        // A new item whose origin had nothing to carry over gets no sidecar.
        if (!f.exists()) {
            const auto carried = imaging::parseXmpSidecar(data);
            if (!carried ||
                (!carried->rating && !carried->label && carried->keywords.isEmpty() &&
                 carried->hierarchicalKeywords.isEmpty() && carried->colourLabels.isEmpty() &&
                 !carried->captureDate && !carried->latitude))
                continue;
        }
        rewrites.push_back({tempFor(path), path, data});
    }

    // The journal names every temporary file before one exists.
    QJsonArray operations;
    for (const Placement& p : placements)
        operations.append(QJsonObject{{QStringLiteral("op"), QStringLiteral("place")},
                                      {QStringLiteral("temp"), p.temp},
                                      {QStringLiteral("final"), p.final}});
    for (const Rewrite& r : rewrites)
        operations.append(QJsonObject{{QStringLiteral("op"), QStringLiteral("replace")},
                                      {QStringLiteral("temp"), r.temp},
                                      {QStringLiteral("final"), r.final}});
    qint64 journalId = 0;
    auto saveJournal = [&](const char* state) {
        std::lock_guard lock(m_dbMutex);
        const QString text =
            QString::fromUtf8(QJsonDocument(operations).toJson(QJsonDocument::Compact));
        if (journalId == 0) {
            m_db->statement("INSERT INTO journal (state, operations) VALUES (?, ?)")
                .bind(1, QString::fromLatin1(state))
                .bind(2, text)
                .run();
            journalId = m_db->lastInsertRowId();
        } else {
            m_db->statement("UPDATE journal SET state = ?, operations = ? WHERE id = ?")
                .bind(1, QString::fromLatin1(state))
                .bind(2, text)
                .bind(3, journalId)
                .run();
        }
    };
    saveJournal("planned");

    QSet<QString> folders;
    std::vector<TrashEntry> moved;
    try {
        for (const Placement& p : placements) {
            const QString temp = m_root + QLatin1Char('/') + p.temp;
            if (p.source) {
                ResourceFiles::streamCopy(*p.source, temp);
                flushFile(temp);
            } else {
                writeFlushed(temp, p.data);
            }
            folders.insert(folderOf(p.temp));
        }
        for (const Rewrite& r : rewrites) {
            writeFlushed(m_root + QLatin1Char('/') + r.temp, r.data);
            folders.insert(folderOf(r.temp));
        }
        for (const QString& f : folders)
            syncFolder(joined(m_root, f));

        // Originals go to the trash before the commit, so a failure can still put them back;
        // each move is journalled, so an interruption can too.
        for (const QString& id : deleted)
            for (const ResourcePtr& file : itemOf(id)->asset->resources) {
                moved.push_back(FreedesktopTrash::moveToTrash(
                    m_root + QLatin1Char('/') + file->storedPath, now, [&](const TrashEntry& e) {
                        operations.append(
                            QJsonObject{{QStringLiteral("op"), QStringLiteral("trashed")},
                                        {QStringLiteral("folder"), e.trashFolder},
                                        {QStringLiteral("name"), e.name},
                                        {QStringLiteral("original"), e.originalPath}});
                        saveJournal("planned");
                    }));
            }

        std::lock_guard lock(m_dbMutex);
        inTransaction(*m_db, [&] {
            for (const Placement& p : placements)
                m_db->statement("INSERT OR REPLACE INTO identities (path, uuid, created) VALUES "
                                "(?, ?, 1)")
                    .bind(1, p.final)
                    .bind(2, p.uuid)
                    .run();
            for (const auto& [uuid, title] : newAlbums)
                m_db->statement("INSERT INTO albums (uuid, title, created_at) VALUES (?, ?, ?)")
                    .bind(1, uuid)
                    .bind(2, title)
                    .bind(3, nowMs)
                    .run();
            for (const MemberChange& m : memberChanges) {
                if (m.add && m.mustBeNew) {
                    auto present = m_db->statement(
                        "SELECT 1 FROM album_members WHERE album_uuid = ? AND asset_uuid = ?");
                    present.bind(1, m.album).bind(2, m.asset);
                    if (present.step())
                        throw PhotoLibraryError(
                            PhotoLibraryError::Code::AlreadyMember,
                            QStringLiteral("The item %1 is in that album already.").arg(m.asset));
                }
                if (m.add)
                    m_db->statement("INSERT OR IGNORE INTO album_members (album_uuid, asset_uuid, "
                                    "position) VALUES (?, ?, (SELECT coalesce(max(position), 0) + "
                                    "1 FROM album_members WHERE album_uuid = ?))")
                        .bind(1, m.album)
                        .bind(2, m.asset)
                        .bind(3, m.album)
                        .run();
                else
                    m_db->statement(
                            "DELETE FROM album_members WHERE album_uuid = ? AND asset_uuid = ?")
                        .bind(1, m.album)
                        .bind(2, m.asset)
                        .run();
            }
            size_t next = 0;
            for (const QString& id : deleted) {
                const auto item = itemOf(id);
                const Asset& a = *item->asset;
                m_db->statement("INSERT OR REPLACE INTO trashed_assets (uuid, trashed_at, "
                                "creation_ms, creation_offset, latitude, longitude, favorite) "
                                "VALUES (?, ?, ?, ?, ?, ?, ?)")
                    .bind(1, id)
                    .bind(2, nowMs)
                    .bind(3, a.creationDate ? std::optional(a.creationDate->toMSecsSinceEpoch())
                                            : std::nullopt)
                    .bind(4, a.creationOffsetSeconds)
                    .bind(5, a.location ? std::optional(a.location->latitude) : std::nullopt)
                    .bind(6, a.location ? std::optional(a.location->longitude) : std::nullopt)
                    .bind(7, a.isFavorite ? 1 : 0)
                    .run();
                m_db->statement("DELETE FROM trashed_files WHERE asset_uuid = ?").bind(1, id).run();
                // Its albums go with it to the trash: nothing else ever takes them.
                m_db->statement("INSERT OR REPLACE INTO trashed_members SELECT asset_uuid, "
                                "album_uuid, position FROM album_members WHERE asset_uuid = ?")
                    .bind(1, id)
                    .run();
                m_db->statement("DELETE FROM album_members WHERE asset_uuid = ?").bind(1, id).run();
                for (const ResourcePtr& r : a.resources) {
                    const TrashEntry& entry = moved[next++];
                    m_db->statement("INSERT INTO trashed_files (asset_uuid, ordinal, type, uti, "
                                    "size, original, trash_folder, trash_name) VALUES (?, ?, ?, "
                                    "?, ?, ?, ?, ?)")
                        .bind(1, id)
                        .bind(2, r->ordinal)
                        .bind(3, int(r->type))
                        .bind(4, r->uniformTypeIdentifier)
                        .bind(5, r->fileSize)
                        .bind(6, r->storedPath)
                        .bind(7, entry.trashFolder)
                        .bind(8, entry.name)
                        .run();
                }
            }
            m_db->statement("UPDATE journal SET state = 'committed' WHERE id = ?")
                .bind(1, journalId)
                .run();
            beforeCommit();
        });
    } catch (...) {
        // Not committed: put the originals back and leave no temporary file.
        FreedesktopTrash::restoreAll(moved);
        for (const Placement& p : placements)
            QFile::remove(m_root + QLatin1Char('/') + p.temp);
        for (const Rewrite& r : rewrites)
            QFile::remove(m_root + QLatin1Char('/') + r.temp);
        try {
            std::lock_guard lock(m_dbMutex);
            m_db->statement("DELETE FROM journal WHERE id = ?").bind(1, journalId).run();
        } catch (...) {
        }
        throw;
    }
    finishCommitted(journalId, QString::fromUtf8(QJsonDocument(operations).toJson()));
    rescan();
}

namespace {

// The next name beside `relative` that neither a file nor its sidecar has, in the " (n)" style
// of new items' names, compared without case as on the disks photos live on.
QString nextFreeName(const QString& root, const QString& relative) {
    const QString folder = folderOf(relative);
    QSet<QString> names;
    for (const QString& n :
         QDir(joined(root, folder))
             .entryList(QDir::AllEntries | QDir::Hidden | QDir::System | QDir::NoDotAndDotDot))
        names.insert(n.toLower());
    const QFileInfo info(nameOf(relative));
    const QString suffix = info.suffix().isEmpty() ? QString() : QLatin1Char('.') + info.suffix();
    QString stem = info.completeBaseName();
    stem.remove(QRegularExpression(QStringLiteral(" \\(\\d+\\)$")));
    for (int n = 1;; ++n) {
        const QString candidate = QStringLiteral("%1 (%2)%3").arg(stem).arg(n).arg(suffix);
        if (!names.contains(candidate.toLower()) &&
            !names.contains((candidate + QStringLiteral(".xmp")).toLower()))
            return joined(folder, candidate);
    }
}

bool isEmptyFile(const QString& path) {
    struct stat st {};
    return ::lstat(QFile::encodeName(path).constData(), &st) == 0 && S_ISREG(st.st_mode) &&
           st.st_size == 0;
}

} // namespace

// Renames a committed change's files into place; safe to repeat after an interruption.
void FolderStore::finishCommitted(qint64 journalId, const QString& operationsText) {
    QJsonArray operations = QJsonDocument::fromJson(operationsText.toUtf8()).array();
    QSet<QString> folders;
    for (qsizetype i = 0; i < operations.size(); ++i) {
        const QJsonObject op = operations[i].toObject();
        const QString kind = op.value(QStringLiteral("op")).toString();
        if (kind != QLatin1String("place") && kind != QLatin1String("replace"))
            continue;
        const QString temp = op.value(QStringLiteral("temp")).toString();
        const QString final = op.value(QStringLiteral("final")).toString();
        if (!isTreePath(temp) || !isTreePath(final))
            continue;
        const QString from = m_root + QLatin1Char('/') + temp;
        struct stat st {};
        if (::lstat(QFile::encodeName(from).constData(), &st) != 0)
            continue; // done before the interruption
        if (kind == QLatin1String("replace")) {
            if (::rename(QFile::encodeName(from).constData(),
                         QFile::encodeName(m_root + QLatin1Char('/') + final).constData()) != 0)
                throw storageError(QStringLiteral("“%1” cannot be put in place (%2).")
                                       .arg(final, QString::fromLocal8Bit(std::strerror(errno))));
            folders.insert(folderOf(final));
            continue;
        }
        // A new picture never replaces a file another program put in its place meanwhile.
        QString target = final;
        int err = renameWithoutReplacing(from, m_root + QLatin1Char('/') + target);
        // An empty file there is the placeholder of a placement cut short.
        if (err == EEXIST && isEmptyFile(m_root + QLatin1Char('/') + target))
            err = ::rename(QFile::encodeName(from).constData(),
                           QFile::encodeName(m_root + QLatin1Char('/') + target).constData()) == 0
                      ? 0
                      : errno;
        while (err == EEXIST) {
            // Another name, and the new item's sidecar with it, recorded before the file moves
            // so that a repeat after another interruption finishes the same way.
            const QString taken = target;
            target = nextFreeName(m_root, taken);
            QJsonObject moved = op;
            moved.insert(QStringLiteral("final"), target);
            operations[i] = moved;
            for (qsizetype j = i + 1; j < operations.size(); ++j) {
                QJsonObject later = operations[j].toObject();
                if (later.value(QStringLiteral("final")).toString() ==
                    taken + QStringLiteral(".xmp")) {
                    later.insert(QStringLiteral("final"), target + QStringLiteral(".xmp"));
                    operations[j] = later;
                }
            }
            {
                std::lock_guard lock(m_dbMutex);
                inTransaction(*m_db, [&] {
                    m_db->statement("UPDATE OR REPLACE identities SET path = ? WHERE path = ?")
                        .bind(1, target)
                        .bind(2, taken)
                        .run();
                    m_db->statement("UPDATE journal SET operations = ? WHERE id = ?")
                        .bind(1, QString::fromUtf8(
                                     QJsonDocument(operations).toJson(QJsonDocument::Compact)))
                        .bind(2, journalId)
                        .run();
                });
            }
            qWarning().noquote() << QStringLiteral("Another file took the name “%1”; the new "
                                                   "picture is “%2”.")
                                        .arg(taken, target);
            err = renameWithoutReplacing(from, m_root + QLatin1Char('/') + target);
        }
        if (err != 0)
            throw storageError(QStringLiteral("“%1” cannot be put in place (%2).")
                                   .arg(target, QString::fromLocal8Bit(std::strerror(err))));
        folders.insert(folderOf(target));
    }
    for (const QString& f : folders)
        syncFolder(joined(m_root, f));
    std::lock_guard lock(m_dbMutex);
    m_db->statement("DELETE FROM journal WHERE id = ?").bind(1, journalId).run();
}

void FolderStore::recoverInterruptedChanges() {
    ChangeLock changeLock(stateFolder()); // whoever holds it is still applying its change
    std::vector<std::tuple<qint64, QString, QString>> rows;
    {
        std::lock_guard lock(m_dbMutex);
        auto st = m_db->statement("SELECT id, state, operations FROM journal ORDER BY id");
        while (st.step())
            rows.emplace_back(st.int64(0), st.text(1), st.text(2));
    }
    for (const auto& [id, state, text] : rows) {
        // What cannot be finished now waits in the journal, and check() reports it: the
        // library opens all the same.
        try {
            recoverInterruptedChange(id, state, text);
        } catch (const std::exception& e) {
            qWarning().noquote() << QStringLiteral("The interrupted change %1 cannot be finished "
                                                   "yet: %2")
                                        .arg(id)
                                        .arg(QString::fromUtf8(e.what()));
        }
    }
}

void FolderStore::recoverInterruptedChange(qint64 id, const QString& state, const QString& text) {
    if (state == QLatin1String("committed")) {
        finishCommitted(id, text);
        return;
    }
    // Never committed: the originals come back, the new files go.
    const QJsonArray operations = QJsonDocument::fromJson(text.toUtf8()).array();
    for (qsizetype i = operations.size() - 1; i >= 0; --i) {
        const QJsonObject op = operations[i].toObject();
        const QString kind = op.value(QStringLiteral("op")).toString();
        if (kind == QLatin1String("trashed")) {
            const TrashEntry entry{op.value(QStringLiteral("folder")).toString(),
                                   op.value(QStringLiteral("name")).toString(),
                                   op.value(QStringLiteral("original")).toString()};
            if (FreedesktopTrash::contains(entry) && !QFileInfo::exists(entry.originalPath))
                FreedesktopTrash::restore(entry);
        } else if (isTreePath(op.value(QStringLiteral("temp")).toString())) {
            QFile::remove(m_root + QLatin1Char('/') + op.value(QStringLiteral("temp")).toString());
        }
    }
    // A move cut short between its .trashinfo and its rename left an entry without a
    // file; the desktop would list it, and nothing could restore it.
    FreedesktopTrash::removeHalfMadeEntries(m_root);
    std::lock_guard lock(m_dbMutex);
    m_db->statement("DELETE FROM journal WHERE id = ?").bind(1, id).run();
}

} // namespace photos
