#include "support/BenchCatalogue.h"

#include "platform/photos/PhotoLibrary.h"

#include <QHash>
#include <QRandomGenerator>
#include <QUuid>
#include <sqlite3.h>
#include <stdexcept>

namespace bench {

namespace {

void check(int rc, sqlite3* db) {
    if (rc != SQLITE_OK && rc != SQLITE_DONE && rc != SQLITE_ROW)
        throw std::runtime_error(sqlite3_errmsg(db));
}

struct Stmt {
    Stmt(sqlite3* db, const char* sql) : db(db) {
        check(sqlite3_prepare_v2(db, sql, -1, &s, nullptr), db);
    }
    ~Stmt() { sqlite3_finalize(s); }
    void text(int i, const QByteArray& v) {
        sqlite3_bind_text(s, i, v.constData(), int(v.size()), SQLITE_TRANSIENT);
    }
    void num(int i, qint64 v) { sqlite3_bind_int64(s, i, v); }
    void real(int i, double v) { sqlite3_bind_double(s, i, v); }
    void null(int i) { sqlite3_bind_null(s, i); }
    void run() {
        check(sqlite3_step(s), db);
        sqlite3_reset(s);
    }
    sqlite3* db;
    sqlite3_stmt* s = nullptr;
};

const char* rawTypes[] = {"com.canon.cr3-raw-image", "com.sony.arw-raw-image",
                          "com.nikon.raw-image", "com.adobe.raw-image", "com.fuji.raw-image"};

} // namespace

int buildCatalogue(const QString& path, const CatalogueShape& shape) {
    photos::PhotoLibrary::create(path); // the service's schema, at its current version
    sqlite3* db = nullptr;
    check(sqlite3_open((path + "/catalog.sqlite").toUtf8().constData(), &db), db);
    check(sqlite3_exec(db, "BEGIN", nullptr, nullptr, nullptr), db);
    QRandomGenerator rnd(42);
    {
        Stmt asset(db, "INSERT INTO assets (id, uuid, media_type, creation_date, creation_offset, "
                       "favorite, hidden, added_at) VALUES (?, ?, 1, ?, 3600, ?, ?, 0)");
        Stmt res(db, "INSERT INTO resources (asset_id, ordinal, type, uti, original_filename, "
                     "file_size, stored_path) VALUES (?, ?, ?, ?, ?, ?, ?)");
        Stmt album(db, "INSERT INTO albums (id, uuid, title, type, subtype, created_at) VALUES (?, "
                       "?, ?, 1, 2, 0)");
        Stmt member(
            db,
            "INSERT OR IGNORE INTO album_members (album_id, asset_id, position) VALUES (?, ?, ?)");

        for (int a = 1; a <= shape.albums; ++a) {
            album.num(1, a);
            album.text(2, QUuid::createUuid().toString(QUuid::WithoutBraces).toUpper().toUtf8() +
                              "/L0/040");
            album.text(3, QByteArray("Album ") + QByteArray::number(a));
            album.run();
        }
        const qint64 newest = shape.newest.toMSecsSinceEpoch();
        const qint64 span = qint64(shape.yearsSpanned) * 365 * 24 * 3600 * 1000;
        int pairs = 0;
        qint64 position = 0;
        for (int i = 1; i <= shape.assets; ++i) {
            const bool isPair = rnd.bounded(100) < shape.pairPercent;
            const bool hidden = rnd.bounded(100) < shape.hiddenPercent;
            asset.num(1, i);
            asset.text(2, QUuid::createUuid().toString(QUuid::WithoutBraces).toUpper().toUtf8() +
                              "/L0/001");
            asset.num(3, newest - qint64(rnd.generateDouble() * double(span)));
            asset.num(4, rnd.bounded(100) < 8 ? 1 : 0);
            asset.num(5, hidden ? 1 : 0);
            asset.run();
            const QByteArray stem = "IMG_" + QByteArray::number(i);
            int ordinal = 0;
            auto addResource = [&](int type, const char* uti, const QByteArray& name, qint64 size) {
                res.num(1, i);
                res.num(2, ordinal);
                res.num(3, type);
                res.text(4, uti);
                res.text(5, name);
                res.num(6, size);
                res.text(7, "resources/" + QByteArray::number(i % 256, 16) + "/" + stem + "_" +
                                QByteArray::number(ordinal));
                res.run();
                ++ordinal;
            };
            if (isPair) {
                if (!hidden)
                    ++pairs;
                addResource(1, "public.jpeg", stem + ".JPG", 6000000 + rnd.bounded(4000000));
                addResource(4, rawTypes[i % 5], stem + ".RAW", 25000000 + rnd.bounded(35000000));
                if (rnd.bounded(10) == 0) {
                    addResource(7, "com.adobe.xmp", stem + ".XMP", 4000);
                    addResource(5, "public.jpeg", "FullSizeRender.jpg", 7000000);
                }
            } else if (rnd.bounded(3) == 0) {
                addResource(1, "public.heic", stem + ".HEIC", 2500000 + rnd.bounded(1500000));
            } else {
                addResource(1, "public.jpeg", stem + ".JPG", 3000000 + rnd.bounded(3000000));
            }
            // A third of the items are in one or two albums.
            const int memberships = rnd.bounded(3) == 0 ? 1 + rnd.bounded(2) : 0;
            for (int m = 0; m < memberships; ++m) {
                member.num(1, 1 + rnd.bounded(shape.albums));
                member.num(2, i);
                member.num(3, ++position);
                member.run();
            }
        }
        check(sqlite3_exec(db, "COMMIT", nullptr, nullptr, nullptr), db);
        sqlite3_exec(db, "ANALYZE", nullptr, nullptr, nullptr);
        // Into the database file, as a library long in use has it: readers then find no
        // pages in the write-ahead log.
        sqlite3_exec(db, "PRAGMA wal_checkpoint(TRUNCATE)", nullptr, nullptr, nullptr);
        sqlite3_close(db);
        return pairs;
    }
}

void buildCatalogueLike(const QString& path, photos::PhotoLibrary& source) {
    photos::PhotoLibrary::create(path);
    sqlite3* db = nullptr;
    check(sqlite3_open((path + "/catalog.sqlite").toUtf8().constData(), &db), db);
    check(sqlite3_exec(db, "BEGIN", nullptr, nullptr, nullptr), db);
    {
        Stmt asset(db, "INSERT INTO assets (id, uuid, media_type, creation_date, creation_offset, "
                       "latitude, longitude, favorite, hidden, added_at) VALUES (?, ?, 1, ?, ?, ?, "
                       "?, ?, 0, 0)");
        Stmt res(db, "INSERT INTO resources (asset_id, ordinal, type, uti, original_filename, "
                     "file_size, stored_path) VALUES (?, ?, ?, ?, ?, ?, ?)");
        Stmt album(db, "INSERT INTO albums (id, uuid, title, type, subtype, created_at) VALUES (?, "
                       "?, ?, 1, 2, 0)");
        Stmt member(
            db,
            "INSERT OR IGNORE INTO album_members (album_id, asset_id, position) VALUES (?, ?, ?)");
        QHash<QString, qint64> rowOf;
        qint64 row = 0;
        for (const photos::AssetPtr& a : source.fetchAssets(photos::MediaType::Image)) {
            rowOf.insert(a->localIdentifier, ++row);
            asset.num(1, row);
            asset.text(2, a->localIdentifier.toUtf8());
            asset.num(3, a->creationDate ? a->creationDate->toMSecsSinceEpoch() : 0);
            if (a->creationOffsetSeconds)
                asset.num(4, *a->creationOffsetSeconds);
            else
                asset.null(4);
            if (a->location) {
                asset.real(5, a->location->latitude);
                asset.real(6, a->location->longitude);
            } else {
                asset.null(5);
                asset.null(6);
            }
            asset.num(7, a->isFavorite ? 1 : 0);
            asset.run();
            for (const photos::ResourcePtr& r : a->resources) {
                res.num(1, row);
                res.num(2, r->ordinal);
                res.num(3, int(r->type));
                res.text(4, r->uniformTypeIdentifier.toUtf8());
                res.text(5, r->originalFilename.toUtf8());
                res.num(6, r->fileSize.value_or(0));
                res.text(7, "resources/" + QByteArray::number(row % 256, 16) + "/" +
                                QByteArray::number(row) + "_" + QByteArray::number(r->ordinal));
                res.run();
            }
        }
        qint64 albumRow = 0, position = 0;
        for (const photos::CollectionPtr& c : source.fetchAssetCollections(
                 photos::CollectionType::Album, photos::CollectionSubtype::Any)) {
            album.num(1, ++albumRow);
            album.text(2, c->localIdentifier.toUtf8());
            album.text(3, c->localizedTitle.value_or(QString()).toUtf8());
            album.run();
            for (const photos::AssetPtr& a : source.fetchAssetsInAssetCollection(c)) {
                member.num(1, albumRow);
                member.num(2, rowOf.value(a->localIdentifier));
                member.num(3, ++position);
                member.run();
            }
        }
    }
    check(sqlite3_exec(db, "COMMIT", nullptr, nullptr, nullptr), db);
    sqlite3_exec(db, "ANALYZE", nullptr, nullptr, nullptr);
    sqlite3_close(db);
}

int plainPairQuery(const QString& path, const QDateTime& newerThan) {
    sqlite3* db = nullptr;
    check(sqlite3_open_v2((path + "/catalog.sqlite").toUtf8().constData(), &db,
                          SQLITE_OPEN_READONLY, nullptr),
          db);
    const char* sql = R"(
        SELECT a.uuid, a.creation_date, a.favorite,
               raw.uti, raw.original_filename, raw.file_size,
               jpg.uti, jpg.original_filename, jpg.file_size,
               (SELECT group_concat(al.title, ', ') FROM album_members m JOIN albums al ON al.id = m.album_id
                 WHERE m.asset_id = a.id AND al.type = 1)
        FROM assets a
        JOIN resources raw ON raw.asset_id = a.id AND raw.ordinal = (SELECT min(ordinal) FROM resources
             WHERE asset_id = a.id AND uti IN ('com.canon.cr3-raw-image', 'com.sony.arw-raw-image',
             'com.nikon.raw-image', 'com.adobe.raw-image', 'com.fuji.raw-image'))
        JOIN resources jpg ON jpg.asset_id = a.id AND jpg.ordinal = (SELECT min(ordinal) FROM resources
             WHERE asset_id = a.id AND uti = 'public.jpeg')
        WHERE a.media_type = 1 AND a.trashed_at IS NULL AND a.hidden = 0 AND a.creation_date >= ?
        ORDER BY a.creation_date DESC)";
    sqlite3_stmt* st = nullptr;
    check(sqlite3_prepare_v2(db, sql, -1, &st, nullptr), db);
    sqlite3_bind_int64(st, 1, newerThan.toMSecsSinceEpoch());
    int rows = 0;
    qint64 sink = 0;
    while (sqlite3_step(st) == SQLITE_ROW) {
        ++rows;
        // Read every column as a caller would.
        for (int c = 0; c < 10; ++c)
            sink += sqlite3_column_bytes(st, c);
    }
    sqlite3_finalize(st);
    sqlite3_close(db);
    return sink >= 0 ? rows : -1;
}

} // namespace bench
