#include "platform/photos/folder/FolderStore.h"

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

namespace {

const QUuid identifierSpace = QUuid::fromString(u"6f1c2f4e-3b0a-4d55-9a43-5c1d7e2f9b10");

// Sidecars above this size are not read: no photo program writes them.
constexpr qint64 sidecarLimit = 16 * 1024 * 1024;

PhotoLibraryError notFound(const QString& what, const QString& id) {
    return PhotoLibraryError(PhotoLibraryError::Code::NotFound,
                             QStringLiteral("The %1 “%2” is not in the library.").arg(what, id));
}

PhotoLibraryError storageError(const QString& what) {
    return PhotoLibraryError(PhotoLibraryError::Code::StorageFailed, what);
}

// Identifiers derived from a path or a title are the library's own: its random identity is
// mixed in, so that two libraries holding the same names never share one. A library made
// before it had an identity has none here and keeps the identifiers it gave.
QString derivedIdentifier(const QString& identity, const QString& key, const char* suffix) {
    const QString mixed = identity.isEmpty() ? key : identity + QLatin1Char('\n') + key;
    return QUuid::createUuidV5(identifierSpace, mixed).toString(QUuid::WithoutBraces).toUpper() +
           QLatin1String(suffix);
}

QString randomItemIdentifier() {
    return QUuid::createUuid().toString(QUuid::WithoutBraces).toUpper() + QStringLiteral("/L0/001");
}

// derivedIdentifier() of an item's path, made without a temporary copy: a scan makes one per
// item of the tree.
class ItemIdentifiers {
public:
    explicit ItemIdentifiers(const QString& identity)
        : m_identity(identity.isEmpty() ? QByteArray() : identity.toUtf8() + '\n') {}
    QString operator()(std::string_view utf8Path) {
        m_hash.reset();
        m_hash.addData(m_space);
        m_hash.addData(m_identity);
        m_hash.addData(QByteArrayView(utf8Path.data(), qsizetype(utf8Path.size())));
        uchar b[16];
        std::memcpy(b, m_hash.resultView().data(), sizeof b);
        b[6] = uchar((b[6] & 0x0F) | 0x50); // version 5
        b[8] = uchar((b[8] & 0x3F) | 0x80); // the variant of RFC 4122
        static constexpr char hex[] = "0123456789ABCDEF";
        static constexpr char suffix[] = "/L0/001";
        QString id(36 + qsizetype(sizeof suffix) - 1, Qt::Uninitialized);
        QChar* out = id.data();
        for (int i = 0; i < 16; ++i) {
            if (i == 4 || i == 6 || i == 8 || i == 10)
                *out++ = QLatin1Char('-');
            *out++ = QLatin1Char(hex[b[i] >> 4]);
            *out++ = QLatin1Char(hex[b[i] & 0xF]);
        }
        for (const char c : std::string_view(suffix))
            *out++ = QLatin1Char(c);
        return id;
    }

private:
    QCryptographicHash m_hash{QCryptographicHash::Sha1};
    const QByteArray m_space = identifierSpace.toRfc4122();
    const QByteArray m_identity;
};

QString keywordAlbumIdentifier(const QString& identity, const QString& title) {
    return derivedIdentifier(identity, QStringLiteral("keyword\n") + title, "/L0/040");
}

// A path inside the tree as stored: relative, no "..", no empty parts.
bool isTreePath(const QString& relative) {
    if (relative.isEmpty() || relative.startsWith(QLatin1Char('/')))
        return false;
    const QStringList parts = relative.split(QLatin1Char('/'));
    return std::none_of(parts.begin(), parts.end(), [](const QString& p) {
        return p.isEmpty() || p == QLatin1String(".") || p == QLatin1String("..");
    });
}

QString folderOf(const QString& relative) {
    const qsizetype slash = relative.lastIndexOf(QLatin1Char('/'));
    return slash < 0 ? QString() : relative.left(slash);
}

QString nameOf(const QString& relative) {
    return relative.mid(relative.lastIndexOf(QLatin1Char('/')) + 1);
}

QString joined(const QString& folder, const QString& name) {
    return folder.isEmpty() ? name : folder + QLatin1Char('/') + name;
}

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

std::function<void(const QString&)> FolderStore::beforeEnteringFolder;

// ---- Snapshot ----

struct FolderStore::Item {
    AssetPtr asset; // its resources are its files: pictures, then sidecars
    QString folder;
    QStringList sidecars; // relative paths of its sidecars
    QStringList keywords; // album titles its sidecars hold
    QString primary;
};

struct FolderStore::Snapshot {
    std::vector<Item> items;
    QSet<QString> sidecarStemFolders; // folders whose sidecars are named NAME.xmp

    // Made when first asked: opening a library and listing it needs neither.
    const QHash<QString, const Item*>& byId() const {
        std::call_once(m_indexed, [this] { index(); });
        return m_byId;
    }
    const QMap<QString, QStringList>& keywordMembers() const { // title → item identifiers
        std::call_once(m_indexed, [this] { index(); });
        return m_keywordMembers;
    }
    const Item* item(const QString& id) const { return byId().value(id); }

    // The programs' own albums each item is in, oldest first: filled once asked.
    mutable std::once_flag programAlbumsRead;
    mutable QHash<QString, std::vector<CollectionPtr>> programAlbumsOf;

private:
    void index() const {
        m_byId.reserve(qsizetype(items.size()));
        for (const Item& item : items) {
            m_byId.insert(item.asset->localIdentifier, &item);
            for (const QString& k : item.keywords)
                m_keywordMembers[k] << item.asset->localIdentifier;
        }
    }
    mutable std::once_flag m_indexed;
    mutable QHash<QString, const Item*> m_byId;
    mutable QMap<QString, QStringList> m_keywordMembers;
};

struct FolderStore::Album {
    QString uuid;
    QString title;
    qint64 seq = 0;
};

QString FolderStore::stateFolderOf(const QString& root) {
    return root + QStringLiteral("/.photolib");
}

FolderStore::FolderStore(const QString& root) : m_root(root) {
    const QString state = stateFolderOf(root);
    if (!QDir().mkpath(state + QStringLiteral("/locks")))
        throw PhotoLibraryError(
            PhotoLibraryError::Code::AccessDenied,
            QStringLiteral("The photo library’s own folder “%1” cannot be made.").arg(state));
    m_db = std::make_unique<SqliteDatabase>(state + QStringLiteral("/state.sqlite"));
    m_db->exec("PRAGMA journal_mode = WAL");
    // A scan reads the whole index once in order; keeping it in the page cache would only
    // cost memory, and other queries touch a few pages.
    m_db->exec("PRAGMA cache_size = -1024");
    m_db->exec(
        "CREATE TABLE IF NOT EXISTS identities (path TEXT PRIMARY KEY, uuid TEXT NOT NULL, "
        "created INTEGER NOT NULL DEFAULT 0);"
        "CREATE TABLE IF NOT EXISTS albums (seq INTEGER PRIMARY KEY, uuid TEXT NOT NULL UNIQUE, "
        "title TEXT NOT NULL, created_at INTEGER NOT NULL);"
        "CREATE TABLE IF NOT EXISTS album_members (album_uuid TEXT NOT NULL REFERENCES "
        "albums(uuid) ON DELETE CASCADE, asset_uuid TEXT NOT NULL, position INTEGER NOT NULL, "
        "PRIMARY KEY (album_uuid, asset_uuid));"
        "CREATE TABLE IF NOT EXISTS trashed_assets (uuid TEXT PRIMARY KEY, trashed_at INTEGER "
        "NOT NULL, creation_ms INTEGER, creation_offset INTEGER, latitude REAL, longitude REAL, "
        "favorite INTEGER NOT NULL);"
        "CREATE TABLE IF NOT EXISTS trashed_files (asset_uuid TEXT NOT NULL REFERENCES "
        "trashed_assets(uuid) ON DELETE CASCADE, ordinal INTEGER NOT NULL, type INTEGER NOT "
        "NULL, uti TEXT, size INTEGER, original TEXT NOT NULL, trash_folder TEXT, trash_name "
        "TEXT, PRIMARY KEY (asset_uuid, ordinal));"
        "CREATE TABLE IF NOT EXISTS journal (id INTEGER PRIMARY KEY, state TEXT NOT NULL, "
        "operations TEXT NOT NULL);"
        // The albums an item in the trash was in, given back when it is restored.
        "CREATE TABLE IF NOT EXISTS trashed_members (asset_uuid TEXT NOT NULL REFERENCES "
        "trashed_assets(uuid) ON DELETE CASCADE, album_uuid TEXT NOT NULL, position INTEGER NOT "
        "NULL, PRIMARY KEY (asset_uuid, album_uuid));"
        // The identity a file that left its path had, with its size and modification time:
        // the same file coming back takes it again, another file never does.
        "CREATE TABLE IF NOT EXISTS retired (path TEXT PRIMARY KEY, uuid TEXT NOT NULL, "
        "created INTEGER NOT NULL, size INTEGER, mtime_ns INTEGER);"
        "CREATE TABLE IF NOT EXISTS settings (key TEXT PRIMARY KEY, value TEXT NOT NULL);");
    // The index is kept in the order of its paths, which a scan reads it in. An older index
    // is copied over once; where the state cannot be written it is read as it is, only slower.
    const auto indexTable = [&] {
        auto table = m_db->statement("SELECT sql FROM sqlite_master WHERE name = 'files'");
        return table.step() ? table.text(0) : QString();
    };
    static const char* const createIndex =
        "CREATE TABLE IF NOT EXISTS %1 (path TEXT PRIMARY KEY, size INTEGER NOT NULL, "
        "mtime_ns INTEGER NOT NULL, inode INTEGER NOT NULL, capture_ms INTEGER, "
        "capture_offset INTEGER, latitude REAL, longitude REAL, rating INTEGER, label TEXT, "
        "keywords TEXT, readable INTEGER NOT NULL) WITHOUT ROWID";
    const QString existing = indexTable();
    if (existing.isEmpty()) {
        m_db->exec(
            QString::fromLatin1(createIndex).arg(QLatin1String("files")).toUtf8().constData());
    } else if (!existing.contains(QLatin1String("WITHOUT ROWID"))) {
        try {
            inTransaction(*m_db, [&] {
                if (indexTable().contains(QLatin1String("WITHOUT ROWID")))
                    return; // another program was first
                m_db->exec(QString::fromLatin1(createIndex)
                               .arg(QLatin1String("files_by_path"))
                               .toUtf8()
                               .constData());
                m_db->exec("INSERT INTO files_by_path SELECT path, size, mtime_ns, inode, "
                           "capture_ms, capture_offset, latitude, longitude, rating, label, "
                           "keywords, readable FROM files; DROP TABLE files; ALTER TABLE "
                           "files_by_path RENAME TO files;");
            });
        } catch (const PhotoLibraryError&) {
        }
    }
    takeIdentity();
    recoverInterruptedChanges();
}

void FolderStore::takeIdentity() {
    const auto stored = [&] {
        auto st = m_db->statement("SELECT value FROM settings WHERE key = 'identity'");
        return st.step() ? st.text(0) : QString();
    };
    m_identity = stored();
    if (!m_identity.isEmpty())
        return;
    try {
        inTransaction(*m_db, [&] {
            m_identity = stored();
            if (!m_identity.isEmpty())
                return; // another program was first
            // A state from before identities: the items its albums name keep the identifiers
            // they had, pinned to their paths; every other item takes one of this library's.
            const QString identity = QUuid::createUuid().toString(QUuid::WithoutBraces);
            m_db->exec("INSERT OR IGNORE INTO trashed_members SELECT m.asset_uuid, "
                       "m.album_uuid, m.position FROM album_members m JOIN trashed_assets t ON "
                       "t.uuid = m.asset_uuid; DELETE FROM album_members WHERE asset_uuid IN "
                       "(SELECT uuid FROM trashed_assets);");
            QSet<QString> named;
            auto members = m_db->statement("SELECT DISTINCT asset_uuid FROM album_members");
            while (members.step())
                named.insert(members.text(0));
            if (!named.isEmpty()) {
                ItemIdentifiers legacy{QString()};
                std::vector<std::pair<QString, QString>> pins;
                auto files = m_db->statement("SELECT path FROM files");
                while (files.step()) {
                    const QByteArrayView path = files.utf8(0);
                    const QString id = legacy(std::string_view(path.data(), size_t(path.size())));
                    if (named.contains(id))
                        pins.emplace_back(QString::fromUtf8(path), id);
                }
                for (const auto& [path, id] : pins)
                    m_db->statement("INSERT OR IGNORE INTO identities (path, uuid, created) "
                                    "VALUES (?, ?, 0)")
                        .bind(1, path)
                        .bind(2, id)
                        .run();
            }
            // Identities of files gone from the tree (made items in the trash) stay with those
            // files, not with their paths.
            auto journal = m_db->statement("SELECT 1 FROM journal");
            if (!journal.step())
                m_db->exec("INSERT OR REPLACE INTO retired (path, uuid, created) SELECT path, "
                           "uuid, created FROM identities WHERE path NOT IN (SELECT path FROM "
                           "files); DELETE FROM identities WHERE path NOT IN (SELECT path FROM "
                           "files);");
            m_db->statement("INSERT INTO settings (key, value) VALUES ('identity', ?)")
                .bind(1, identity)
                .run();
            m_identity = identity;
        });
    } catch (const PhotoLibraryError&) {
        m_identity.clear(); // read as it is, with the identifiers it gave
    }
}

FolderStore::~FolderStore() = default;

std::shared_ptr<const FolderStore::Snapshot> FolderStore::current() const {
    {
        std::lock_guard lock(m_snapshotMutex);
        if (m_snapshot)
            return m_snapshot;
    }
    return rescan();
}

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

// ---- Fetches ----

std::vector<AssetPtr> FolderStore::assets(MediaType mediaType, const FetchOptions& options) const {
    const auto snapshot = rescan(); // the top-level listing sees what other programs did
    std::vector<AssetPtr> all;
    all.reserve(snapshot->items.size());
    for (const Item& item : snapshot->items)
        all.push_back(item.asset);
    return applyFetchOptions(std::move(all), mediaType, options, options.includeHiddenAssets);
}

std::vector<AssetPtr> FolderStore::assetsWithIdentifiers(const QStringList& ids) const {
    const auto snapshot = current();
    std::vector<AssetPtr> result;
    for (const QString& id : ids)
        if (const Item* item = snapshot->item(id))
            result.push_back(item->asset);
    return result;
}

std::vector<FolderStore::Album> FolderStore::programAlbums() const {
    std::lock_guard lock(m_dbMutex);
    std::vector<Album> albums;
    auto st = m_db->statement("SELECT uuid, title, seq FROM albums ORDER BY seq");
    while (st.step())
        albums.push_back({st.text(0), st.text(1), st.int64(2)});
    return albums;
}

std::vector<AssetPtr> FolderStore::assetsInCollection(const AssetCollection& collection,
                                                      const FetchOptions& options) const {
    const auto snapshot = current();
    QStringList ids;
    if (collection.localIdentifier ==
        keywordAlbumIdentifier(m_identity, collection.localizedTitle.value_or(QString()))) {
        ids = snapshot->keywordMembers().value(*collection.localizedTitle);
    } else {
        std::lock_guard lock(m_dbMutex);
        auto st = m_db->statement(
            "SELECT asset_uuid FROM album_members WHERE album_uuid = ? ORDER BY position");
        st.bind(1, collection.localIdentifier);
        while (st.step())
            ids << st.text(0);
    }
    std::vector<AssetPtr> members;
    for (const QString& id : ids)
        if (const Item* item = snapshot->item(id))
            members.push_back(item->asset);
    return applyFetchOptions(std::move(members), MediaType::Image, options, true);
}

std::vector<AssetPtr> FolderStore::assetsWithResource(const QString& originalFilename,
                                                      qint64 fileSize) const {
    std::vector<AssetPtr> result;
    for (const Item& item : current()->items)
        for (const ResourcePtr& r : item.asset->resources)
            if (r->originalFilename == originalFilename && r->fileSize == fileSize) {
                result.push_back(item.asset);
                break;
            }
    return result;
}

std::vector<CollectionPtr> FolderStore::allAlbums(const Snapshot& snapshot) const {
    std::vector<CollectionPtr> albums;
    const auto& keywordMembers = snapshot.keywordMembers();
    for (auto it = keywordMembers.cbegin(); it != keywordMembers.cend(); ++it) {
        auto album = std::make_shared<AssetCollection>();
        album->localIdentifier = keywordAlbumIdentifier(m_identity, it.key());
        album->localizedTitle = it.key();
        album->estimatedAssetCount = int(it.value().size());
        albums.push_back(std::move(album));
    }
    std::lock_guard lock(m_dbMutex);
    for (const Album& a : programAlbums()) {
        auto album = std::make_shared<AssetCollection>();
        album->localIdentifier = a.uuid;
        album->localizedTitle = a.title;
        album->catalogId = a.seq;
        int count = 0;
        auto st = m_db->statement("SELECT asset_uuid FROM album_members WHERE album_uuid = ?");
        st.bind(1, a.uuid);
        while (st.step())
            count += snapshot.byId().contains(st.text(0)) ? 1 : 0;
        album->estimatedAssetCount = count;
        albums.push_back(std::move(album));
    }
    return albums;
}

std::vector<CollectionPtr> FolderStore::collectionsContaining(const Asset& asset,
                                                              CollectionType type) const {
    if (type != CollectionType::Album)
        return {};
    const auto snapshot = current();
    const Item* item = snapshot->item(asset.localIdentifier);
    std::vector<CollectionPtr> result;
    if (item)
        for (const QString& k : item->keywords) {
            auto album = std::make_shared<AssetCollection>();
            album->localIdentifier = keywordAlbumIdentifier(m_identity, k);
            album->localizedTitle = k;
            result.push_back(std::move(album));
        }
    // A scan asks this of every item: the state is read once for all of them, per snapshot.
    std::call_once(snapshot->programAlbumsRead, [&] {
        std::lock_guard lock(m_dbMutex);
        auto st = m_db->statement("SELECT m.asset_uuid, a.uuid, a.title, a.seq FROM albums a "
                                  "JOIN album_members m ON m.album_uuid = a.uuid ORDER BY a.seq");
        QHash<QString, CollectionPtr> albums;
        while (st.step()) {
            CollectionPtr& album = albums[st.text(1)];
            if (!album) {
                auto made = std::make_shared<AssetCollection>();
                made->localIdentifier = st.text(1);
                made->localizedTitle = st.text(2);
                made->catalogId = st.int64(3);
                album = std::move(made);
            }
            snapshot->programAlbumsOf[st.text(0)].push_back(album);
        }
    });
    const auto programAlbums = snapshot->programAlbumsOf.constFind(asset.localIdentifier);
    if (programAlbums != snapshot->programAlbumsOf.cend())
        result.insert(result.end(), programAlbums->begin(), programAlbums->end());
    return result;
}

std::vector<CollectionPtr> FolderStore::collections(CollectionType type, CollectionSubtype subtype,
                                                    const FetchOptions& options) const {
    if (type != CollectionType::Album ||
        (subtype != CollectionSubtype::AlbumRegular && subtype != CollectionSubtype::Any))
        return {};
    auto albums = allAlbums(*rescan());
    if (options.predicate)
        std::erase_if(albums, [&](const CollectionPtr& a) {
            return !titleMatches(*options.predicate, a->localizedTitle.value_or(QString()));
        });
    return albums;
}

std::vector<CollectionPtr> FolderStore::collectionsWithIdentifiers(const QStringList& ids) const {
    const auto albums = allAlbums(*current());
    std::vector<CollectionPtr> result;
    for (const QString& id : ids)
        for (const CollectionPtr& a : albums)
            if (a->localIdentifier == id)
                result.push_back(a);
    return result;
}

// ---- Files ----

QString FolderStore::filePath(const AssetResource& resource) const {
    if (!isTreePath(resource.storedPath))
        return {};
    // No part of the way may be a link: nothing outside the tree is read through it.
    QString path = m_root;
    const QStringList parts = resource.storedPath.split(QLatin1Char('/'));
    for (qsizetype i = 0; i < parts.size(); ++i) {
        path += QLatin1Char('/') + parts[i];
        struct stat st {};
        if (::lstat(QFile::encodeName(path).constData(), &st) != 0)
            return i + 1 == parts.size() && errno == ENOENT ? path : QString();
        if (S_ISLNK(st.st_mode) ||
            (i + 1 < parts.size() ? !S_ISDIR(st.st_mode) : !S_ISREG(st.st_mode)))
            return {};
    }
    return path;
}

int FolderStore::openForReading(const AssetResource& resource) const {
    if (!isTreePath(resource.storedPath)) {
        errno = EINVAL;
        return -1;
    }
    // Component by component from the top, so that no link anywhere on the way is followed.
    int dir = ::open(QFile::encodeName(m_root).constData(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    const QStringList parts = resource.storedPath.split(QLatin1Char('/'));
    for (qsizetype i = 0; dir >= 0 && i + 1 < parts.size(); ++i) {
        const int next = ::openat(dir, QFile::encodeName(parts[i]).constData(),
                                  O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
        const int saved = errno;
        ::close(dir);
        errno = saved;
        dir = next;
    }
    if (dir < 0)
        return -1;
    const int fd = ResourceFiles::openPlainFileAt(dir, QFile::encodeName(parts.last()).constData());
    const int saved = errno;
    ::close(dir);
    errno = saved;
    return fd;
}

void FolderStore::copyOut(const AssetResource& resource, const QString& destination) const {
    const QString source = filePath(resource);
    if (source.isEmpty())
        throw PhotoLibraryError(PhotoLibraryError::Code::InvalidResource,
                                QStringLiteral("The stored file of “%1” is not in the library.")
                                    .arg(resource.originalFilename));
    ResourceFiles::streamCopy(source, destination);
}

// ---- Changes ----

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

// ---- Recently Deleted ----

std::vector<TrashedAsset> FolderStore::trashed() const {
    std::lock_guard lock(m_dbMutex);
    std::vector<TrashedAsset> result;
    auto st = m_db->statement("SELECT uuid, trashed_at, creation_ms, creation_offset, latitude, "
                              "longitude, favorite FROM trashed_assets ORDER BY trashed_at, uuid");
    while (st.step()) {
        auto asset = std::make_shared<Asset>();
        asset->localIdentifier = st.text(0);
        if (auto ms = st.optionalInt64(2))
            asset->creationDate = QDateTime::fromMSecsSinceEpoch(*ms, Qt::UTC);
        if (auto o = st.optionalInt64(3))
            asset->creationOffsetSeconds = int(*o);
        if (!st.isNull(4) && !st.isNull(5))
            asset->location = Location{st.real(4), st.real(5)};
        asset->isFavorite = st.int64(6) != 0;
        bool present = false;
        auto files = m_db->statement("SELECT ordinal, type, uti, size, original, trash_folder, "
                                     "trash_name FROM trashed_files WHERE asset_uuid = ? ORDER "
                                     "BY ordinal");
        files.bind(1, asset->localIdentifier);
        while (files.step()) {
            auto r = std::make_shared<AssetResource>();
            r->assetLocalIdentifier = asset->localIdentifier;
            r->ordinal = int(files.int64(0));
            r->type = ResourceType(files.int64(1));
            r->uniformTypeIdentifier = files.text(2);
            r->fileSize = files.optionalInt64(3);
            r->originalFilename = nameOf(files.text(4));
            present =
                present || FreedesktopTrash::contains({files.text(5), files.text(6), QString()});
            asset->resources.push_back(std::move(r));
        }
        // What the desktop has restored or emptied meanwhile is no longer ours to list.
        if (present)
            result.push_back({asset, QDateTime::fromMSecsSinceEpoch(st.int64(1), Qt::UTC)});
    }
    return result;
}

int FolderStore::restore(const QStringList& identifiers) {
    ChangeLock changeLock(stateFolder());
    int restored = 0;
    for (const QString& id : identifiers) {
        std::vector<TrashEntry> entries;
        {
            std::lock_guard lock(m_dbMutex);
            auto st = m_db->statement("SELECT trash_folder, trash_name, original FROM "
                                      "trashed_files WHERE asset_uuid = ? ORDER BY ordinal");
            st.bind(1, id);
            while (st.step())
                entries.push_back({st.text(0), st.text(1), m_root + QLatin1Char('/') + st.text(2)});
        }
        QStringList back; // paths in the tree, the item's primary file first
        for (const TrashEntry& e : entries)
            if (FreedesktopTrash::contains(e) && !QFileInfo::exists(e.originalPath)) {
                FreedesktopTrash::restore(e);
                back << e.originalPath.mid(m_root.size() + 1);
            }
        std::lock_guard lock(m_dbMutex);
        inTransaction(*m_db, [&] {
            // The files put back are this item's whatever the trash did to their times; the
            // next scan reads them as new at their paths and finds their identity here.
            for (const QString& path : back) {
                auto before = m_db->statement("SELECT uuid, created FROM retired WHERE path = ?");
                before.bind(1, path);
                const bool retired = before.step();
                const QString uuid = path == back.front() || !retired ? id : before.text(0);
                const bool made = retired && before.text(0) == uuid && before.int64(1) != 0;
                if (path == back.front() || retired)
                    m_db->statement("INSERT OR REPLACE INTO identities (path, uuid, created) "
                                    "VALUES (?, ?, ?)")
                        .bind(1, path)
                        .bind(2, uuid)
                        .bind(3, made ? 1 : 0)
                        .run();
                m_db->statement("DELETE FROM retired WHERE path = ?").bind(1, path).run();
                m_db->statement("DELETE FROM files WHERE path = ?").bind(1, path).run();
            }
            if (!back.isEmpty())
                m_db->statement("INSERT OR IGNORE INTO album_members (album_uuid, asset_uuid, "
                                "position) SELECT album_uuid, asset_uuid, position FROM "
                                "trashed_members WHERE asset_uuid = ? AND album_uuid IN (SELECT "
                                "uuid FROM albums)")
                    .bind(1, id)
                    .run();
            m_db->statement("DELETE FROM trashed_assets WHERE uuid = ?").bind(1, id).run();
        });
        restored += back.isEmpty() ? 0 : 1;
    }
    rescan();
    return restored;
}

int FolderStore::purgeTrashedBefore(const std::optional<QDateTime>& cutoff) {
    ChangeLock changeLock(stateFolder());
    const qint64 limit = cutoff ? cutoff->toMSecsSinceEpoch() : std::numeric_limits<qint64>::max();
    std::vector<std::pair<QString, std::vector<TrashEntry>>> purge;
    {
        std::lock_guard lock(m_dbMutex);
        auto st = m_db->statement("SELECT uuid FROM trashed_assets WHERE trashed_at <= ?");
        st.bind(1, limit);
        while (st.step())
            purge.push_back({st.text(0), {}});
        for (auto& [id, entries] : purge) {
            auto files = m_db->statement("SELECT trash_folder, trash_name, original FROM "
                                         "trashed_files WHERE asset_uuid = ?");
            files.bind(1, id);
            while (files.step())
                entries.push_back({files.text(0), files.text(1), files.text(2)});
        }
    }
    int purged = 0;
    for (const auto& [id, entries] : purge) {
        bool any = false;
        for (const TrashEntry& e : entries)
            if (FreedesktopTrash::contains(e)) {
                FreedesktopTrash::erase(e);
                any = true;
            }
        // Its albums went to the trash with it. Its identity stays with the files that left, so
        // that no other file ever takes it; an item the desktop put back meanwhile keeps both.
        std::lock_guard lock(m_dbMutex);
        m_db->statement("DELETE FROM trashed_assets WHERE uuid = ?").bind(1, id).run();
        purged += any ? 1 : 0;
    }
    return purged;
}

// ---- Integrity ----

QStringList FolderStore::check() const {
    const auto snapshot = rescan();
    QStringList problems;
    {
        std::lock_guard lock(m_snapshotMutex);
        problems = m_scanProblems;
    }
    std::lock_guard lock(m_dbMutex);
    auto integrity = m_db->statement("PRAGMA integrity_check");
    while (integrity.step())
        if (integrity.text(0) != QLatin1String("ok"))
            problems << QStringLiteral("state: %1").arg(integrity.text(0));
    auto unreadable = m_db->statement("SELECT path FROM files WHERE readable = 0 ORDER BY path");
    while (unreadable.step())
        problems << QStringLiteral("sidecar %1 is not XMP").arg(unreadable.text(0));
    auto journal = m_db->statement("SELECT id FROM journal");
    while (journal.step())
        problems
            << QStringLiteral("interrupted change %1 waits to be finished").arg(journal.int64(0));
    return problems;
}

} // namespace photos
