#include "platform/photos/catalog/Catalog.h"

#include "platform/photos/PhotoLibraryError.h"

#include <QTimeZone>
#include <algorithm>
#include <unordered_map>

namespace photos {

namespace {

// Each step takes the catalogue from version N to N + 1; a catalogue is migrated
// one step at a time so that any older version reaches the current one.
const std::vector<const char*>& migrations() {
    static const std::vector<const char*> steps = {
        // 0 → 1: assets, resources, albums and ordered membership.
        R"sql(
        CREATE TABLE assets (
            id INTEGER PRIMARY KEY,
            uuid TEXT NOT NULL UNIQUE,
            media_type INTEGER NOT NULL,
            creation_date INTEGER,
            creation_offset INTEGER,
            latitude REAL,
            longitude REAL,
            favorite INTEGER NOT NULL DEFAULT 0,
            hidden INTEGER NOT NULL DEFAULT 0,
            trashed_at INTEGER,
            added_at INTEGER NOT NULL
        );
        CREATE INDEX assets_by_date ON assets (media_type, creation_date);
        CREATE TABLE resources (
            id INTEGER PRIMARY KEY,
            asset_id INTEGER NOT NULL REFERENCES assets (id) ON DELETE CASCADE,
            ordinal INTEGER NOT NULL,
            type INTEGER NOT NULL,
            uti TEXT NOT NULL,
            original_filename TEXT NOT NULL,
            file_size INTEGER,
            stored_path TEXT NOT NULL UNIQUE,
            UNIQUE (asset_id, ordinal)
        );
        CREATE TABLE albums (
            id INTEGER PRIMARY KEY,
            uuid TEXT NOT NULL UNIQUE,
            title TEXT,
            type INTEGER NOT NULL,
            subtype INTEGER NOT NULL,
            created_at INTEGER NOT NULL
        );
        CREATE INDEX albums_by_title ON albums (type, subtype, title);
        CREATE TABLE album_members (
            album_id INTEGER NOT NULL REFERENCES albums (id) ON DELETE CASCADE,
            asset_id INTEGER NOT NULL REFERENCES assets (id) ON DELETE CASCADE,
            position INTEGER NOT NULL,
            PRIMARY KEY (album_id, asset_id)
        );
        CREATE INDEX members_by_asset ON album_members (asset_id);
        CREATE INDEX members_by_position ON album_members (album_id, position);
        )sql",
        // 1 → 2: files being written or removed by a change, so that an interrupted
        // change can be cleaned up; and the import's duplicate lookup.
        R"sql(
        CREATE TABLE pending_files (
            path TEXT PRIMARY KEY,
            owner TEXT NOT NULL,
            kind INTEGER NOT NULL
        );
        CREATE INDEX resources_by_name ON resources (original_filename, file_size);
        )sql",
    };
    return steps;
}

const char* assetColumns = "a.id, a.uuid, a.media_type, a.creation_date, a.creation_offset, "
                           "a.latitude, a.longitude, a.favorite, a.hidden";
const char* resourceColumns =
    "r.ordinal, r.type, r.uti, r.original_filename, r.file_size, r.stored_path";

void appendPredicate(const Predicate& p, std::string& sql, std::vector<qint64>& values) {
    switch (p.kind()) {
    case Predicate::Kind::CreationDateAtLeast:
        sql += "a.creation_date >= ?";
        values.push_back(toCatalogTime(p.instant()));
        return;
    case Predicate::Kind::CreationDateAtMost:
        sql += "a.creation_date <= ?";
        values.push_back(toCatalogTime(p.instant()));
        return;
    case Predicate::Kind::TitleEquals:
        throw PhotoLibraryError(PhotoLibraryError::Code::InvalidRequest,
                                QStringLiteral("Assets cannot be fetched by title."));
    case Predicate::Kind::And:
        if (p.subpredicates().empty()) {
            sql += "1";
            return;
        }
        sql += "(";
        for (size_t i = 0; i < p.subpredicates().size(); ++i) {
            if (i > 0)
                sql += " AND ";
            appendPredicate(p.subpredicates()[i], sql, values);
        }
        sql += ")";
        return;
    }
}

std::string orderFor(const FetchOptions& options) {
    std::string order;
    for (const SortDescriptor& s : options.sortDescriptors) {
        if (s.key != QLatin1String("creationDate"))
            throw PhotoLibraryError(PhotoLibraryError::Code::InvalidRequest,
                                    QStringLiteral("Unknown sort key %1.").arg(s.key));
        if (!order.empty())
            order += ", ";
        order += s.ascending ? "a.creation_date ASC" : "a.creation_date DESC";
    }
    return order;
}

// Album title conditions; the only predicate albums understand.
void appendTitlePredicate(const Predicate& p, std::string& sql, QStringList& values) {
    switch (p.kind()) {
    case Predicate::Kind::TitleEquals:
        sql += "al.title = ?";
        values << p.text();
        return;
    case Predicate::Kind::And:
        sql += "(1";
        for (const Predicate& sub : p.subpredicates()) {
            sql += " AND ";
            appendTitlePredicate(sub, sql, values);
        }
        sql += ")";
        return;
    default:
        throw PhotoLibraryError(PhotoLibraryError::Code::InvalidRequest,
                                QStringLiteral("Albums can only be fetched by title."));
    }
}

// The conditions of a fetch of assets: the media type is the first value bound, then `values`.
std::string assetConditions(const FetchOptions& options, std::vector<qint64>& values) {
    std::string where = "a.trashed_at IS NULL AND a.media_type = ?";
    if (!options.includeHiddenAssets)
        where += " AND a.hidden = 0";
    if (options.predicate) {
        where += " AND ";
        appendPredicate(*options.predicate, where, values);
    }
    return where;
}

// An asset of the row's assetColumns, from column 0; without its resources.
std::shared_ptr<Asset> assetOfRow(const SqliteStatement& st) {
    auto asset = std::make_shared<Asset>();
    asset->catalogId = st.int64(0);
    asset->localIdentifier = st.text(1);
    asset->mediaType = MediaType(st.int64(2));
    if (!st.isNull(3))
        asset->creationDate = fromCatalogTime(st.int64(3));
    if (!st.isNull(4))
        asset->creationOffsetSeconds = int(st.int64(4));
    if (!st.isNull(5) && !st.isNull(6))
        asset->location = Location{st.real(5), st.real(6)};
    asset->isFavorite = st.int64(7) != 0;
    asset->isHidden = st.int64(8) != 0;
    return asset;
}

// Type identifiers repeat across thousands of resources: one string each, found by its bytes.
class UtiStrings {
public:
    const QString& of(QByteArrayView utf8) {
        for (const auto& [bytes, text] : m_known)
            if (bytes == utf8)
                return text;
        m_known.emplace_back(utf8.toByteArray(), QString::fromUtf8(utf8));
        return m_known.back().second;
    }

private:
    std::vector<std::pair<QByteArray, QString>> m_known;
};

// A resource of the row's resourceColumns, from column `at`, for `owner`.
ResourcePtr resourceOfRow(const SqliteStatement& st, int at, const Asset& owner, UtiStrings& utis) {
    auto r = std::make_shared<AssetResource>();
    r->assetLocalIdentifier = owner.localIdentifier;
    r->ordinal = int(st.int64(at));
    r->type = ResourceType(st.int64(at + 1));
    r->uniformTypeIdentifier = utis.of(st.utf8(at + 2));
    r->originalFilename = st.text(at + 3);
    r->fileSize = st.optionalInt64(at + 4);
    r->storedPath = st.text(at + 5);
    return r;
}

// An album of the row's collection columns, from column 0.
CollectionPtr collectionOfRow(const SqliteStatement& st) {
    auto c = std::make_shared<AssetCollection>();
    c->catalogId = st.int64(0);
    c->localIdentifier = st.text(1);
    if (!st.isNull(2))
        c->localizedTitle = st.text(2);
    c->type = CollectionType(st.int64(3));
    c->subtype = CollectionSubtype(st.int64(4));
    c->estimatedAssetCount = int(st.int64(5));
    return c;
}

} // namespace

qint64 toCatalogTime(const QDateTime& instant) {
    return instant.toMSecsSinceEpoch();
}

QDateTime fromCatalogTime(qint64 ms) {
    return QDateTime::fromMSecsSinceEpoch(ms, Qt::UTC);
}

Catalog::Lease::Lease(const Catalog& c) : catalog(c) {
    std::lock_guard lock(c.m_poolMutex);
    if (!c.m_pool.empty()) {
        db = std::move(c.m_pool.back());
        c.m_pool.pop_back();
    }
    if (!db)
        db = std::make_unique<SqliteDatabase>(c.m_path);
}

Catalog::Lease::~Lease() {
    std::lock_guard lock(catalog.m_poolMutex);
    catalog.m_pool.push_back(std::move(db));
}

Catalog::Catalog(const QString& databasePath) : m_path(databasePath) {
    m_writer = std::make_unique<SqliteDatabase>(databasePath);
    m_writer->exec("PRAGMA journal_mode = WAL");
    // In WAL mode only FULL flushes every commit: a change reported as done must survive a
    // power cut, and files are removed only after the change that forgets them is on disk.
    m_writer->exec("PRAGMA synchronous = FULL");
    migrate();
}

Catalog::~Catalog() = default;

int Catalog::currentVersion() {
    return int(migrations().size());
}

int Catalog::version() {
    return write([](SqliteDatabase& db) {
        auto exists = db.statement(
            "SELECT count(*) FROM sqlite_master WHERE type = 'table' AND name = 'schema_version'");
        exists.step();
        if (exists.int64(0) == 0)
            return 0;
        auto st = db.statement("SELECT version FROM schema_version");
        return st.step() ? int(st.int64(0)) : 0;
    });
}

void Catalog::migrate() {
    const int current = version();
    if (current > currentVersion())
        throw PhotoLibraryError(
            PhotoLibraryError::Code::NewerCatalog,
            QStringLiteral("This photo library was written by a newer version (catalogue %1).")
                .arg(current));
    for (int v = current; v < currentVersion(); ++v) {
        write([&](SqliteDatabase& db) {
            inTransaction(db, [&] {
                if (v == 0)
                    db.exec("CREATE TABLE schema_version (version INTEGER NOT NULL);"
                            "INSERT INTO schema_version VALUES (0)");
                db.exec(migrations()[v]);
                db.statement("UPDATE schema_version SET version = ?").bind(1, v + 1).run();
            });
        });
    }
}

std::vector<AssetPtr> Catalog::assetsFromQuery(SqliteDatabase& db, const std::string& where,
                                               const std::string& order,
                                               const std::function<void(SqliteStatement&)>& bind,
                                               const std::string& join) const {
    // Two statements rather than one join: the assets in their order (served by the
    // date index), then their resources, matched up in memory. Sorting the joined rows
    // would cost more than both.
    const std::string from = " FROM assets a " + join + " WHERE " + where;
    auto st = db.statement(std::string("SELECT ") + assetColumns + from + " ORDER BY " +
                           (order.empty() ? "" : order + ", ") + "a.id");
    if (bind)
        bind(st);
    std::vector<AssetPtr> result;
    std::unordered_map<qint64, Asset*> byId;
    while (st.step()) {
        auto asset = assetOfRow(st);
        byId.emplace(asset->catalogId, asset.get());
        result.push_back(std::move(asset));
    }
    if (result.empty())
        return result;

    auto rs = db.statement(std::string("SELECT r.asset_id, ") + resourceColumns +
                           " FROM resources r WHERE r.asset_id IN (SELECT a.id" + from +
                           ") ORDER BY r.asset_id, r.ordinal");
    if (bind)
        bind(rs);
    UtiStrings utis;
    while (rs.step()) {
        auto it = byId.find(rs.int64(0));
        if (it == byId.end())
            continue;
        Asset* owner = it->second;
        owner->resources.push_back(resourceOfRow(rs, 1, *owner, utis));
    }
    return result;
}

std::vector<AssetPtr> Catalog::assets(SqliteDatabase& db, MediaType mediaType,
                                      const FetchOptions& options) const {
    std::vector<qint64> values;
    const std::string where = assetConditions(options, values);
    return assetsFromQuery(db, where, orderFor(options), [&](SqliteStatement& st) {
        st.bind(1, int(mediaType));
        for (size_t i = 0; i < values.size(); ++i)
            st.bind(int(i) + 2, values[i]);
    });
}

void Catalog::enumerateAssets(SqliteDatabase& db, MediaType mediaType, const FetchOptions& options,
                              const std::function<void(int total)>& counted,
                              const std::function<bool(const AssetPtr&)>& visit) const {
    std::vector<qint64> values;
    const std::string where = assetConditions(options, values);
    const std::string order = orderFor(options);
    const auto bind = [&](SqliteStatement& st) {
        st.bind(1, int(mediaType));
        for (size_t i = 0; i < values.size(); ++i)
            st.bind(int(i) + 2, values[i]);
    };
    // The count and the rows in one read transaction, so that both are of the same moment.
    inReadTransaction(db, [&] {
        {
            auto count = db.statement("SELECT count(*) FROM assets a WHERE " + where);
            bind(count);
            counted(count.step() ? int(count.int64(0)) : 0);
        }
        {
            // One pass in the assets' order, each asset's rows together: an asset is complete,
            // and handed over, when the next one's first row comes. The date index gives the
            // order, so the rows are not sorted.
            auto st = db.statement(std::string("SELECT ") + assetColumns + ", " + resourceColumns +
                                   " FROM assets a LEFT JOIN resources r ON r.asset_id = a.id "
                                   "WHERE " +
                                   where + " ORDER BY " + (order.empty() ? "" : order + ", ") +
                                   "a.id, r.ordinal");
            bind(st);
            constexpr int firstResourceColumn = 9;
            UtiStrings utis;
            std::shared_ptr<Asset> current;
            bool going = true;
            while (st.step()) {
                if (!current || current->catalogId != st.int64(0)) {
                    if (current && !visit(std::exchange(current, nullptr))) {
                        going = false;
                        break;
                    }
                    current = assetOfRow(st);
                }
                if (!st.isNull(firstResourceColumn))
                    current->resources.push_back(
                        resourceOfRow(st, firstResourceColumn, *current, utis));
            }
            if (going && current)
                visit(std::exchange(current, nullptr));
        }
    });
}

void Catalog::enumerateAssetsWithPictures(
    SqliteDatabase& db, MediaType mediaType, const FetchOptions& options, int minimumPictures,
    const std::function<void(int total)>& counted,
    const std::function<bool(const AssetPtr&, int)>& visit) const {
    if (minimumPictures <= 0) {
        int position = 0;
        enumerateAssets(db, mediaType, options, counted,
                        [&](const AssetPtr& asset) { return visit(asset, position++); });
        return;
    }
    std::vector<qint64> values;
    const std::string where = assetConditions(options, values);
    orderFor(options); // refuses what it does not know, as the fetch does
    const bool sorted = !options.sortDescriptors.empty();
    const bool ascending = sorted && options.sortDescriptors.front().ascending;
    const auto bind = [&](SqliteStatement& st) {
        st.bind(1, int(mediaType));
        for (size_t i = 0; i < values.size(); ++i)
            st.bind(int(i) + 2, values[i]);
    };

    struct Entry {
        qint64 date;
        qint64 id;
        bool dated;
        int wanted = -1; // index in `wanted`, if it is one of them
    };
    std::vector<std::pair<int, AssetPtr>> chosen; // position, asset
    inReadTransaction(db, [&] {                   // the dates and the assets of one moment
        // Every fetched asset's date and id, read in the order of the file and sorted here:
        // in date order through the index, nearly every row would be a page read of its own.
        std::vector<Entry> all;
        {
            auto st = db.statement("SELECT a.id, a.creation_date FROM assets a WHERE " + where);
            bind(st);
            while (st.step())
                all.push_back({st.isNull(1) ? 0 : st.int64(1), st.int64(0), !st.isNull(1)});
        }
        counted(int(all.size()));
        // The assets with enough files with their files, in one pass in the order of the file:
        // each asset's rows come together. Counting every file picks out those that may have
        // enough pictures from the index alone; the others are dropped once read.
        std::vector<AssetPtr> wanted;
        {
            auto st = db.statement(
                std::string("SELECT ") + assetColumns + ", " + resourceColumns +
                " FROM assets a JOIN resources r ON r.asset_id = a.id WHERE " + where +
                " AND a.id IN (SELECT asset_id FROM resources GROUP BY asset_id HAVING "
                "count(*) >= ?) ORDER BY a.id, r.ordinal");
            bind(st);
            st.bind(int(values.size()) + 2, minimumPictures);
            constexpr int firstResourceColumn = 9;
            UtiStrings utis;
            std::shared_ptr<Asset> current;
            const auto keep = [&] {
                if (current && pictureCount(*current) >= minimumPictures)
                    wanted.push_back(std::move(current));
                current = nullptr;
            };
            while (st.step()) {
                if (!current || current->catalogId != st.int64(0)) {
                    keep();
                    current = assetOfRow(st);
                }
                current->resources.push_back(
                    resourceOfRow(st, firstResourceColumn, *current, utis));
            }
            keep();
        }
        // Each wanted asset marked in `all`, both in id order, in one pass.
        if (!std::is_sorted(all.begin(), all.end(),
                            [](const Entry& x, const Entry& y) { return x.id < y.id; }))
            std::sort(all.begin(), all.end(),
                      [](const Entry& x, const Entry& y) { return x.id < y.id; });
        size_t next = 0;
        for (Entry& entry : all) {
            while (next < wanted.size() && wanted[next]->catalogId < entry.id)
                ++next;
            if (next < wanted.size() && wanted[next]->catalogId == entry.id)
                entry.wanted = int(next);
        }
        // The order of the fetch: by date (an undated item counts as the earliest, as in SQL),
        // then by id; by id alone without a sort descriptor.
        std::sort(all.begin(), all.end(), [sorted, ascending](const Entry& a, const Entry& b) {
            if (sorted && a.dated != b.dated)
                return ascending ? !a.dated : a.dated;
            if (sorted && a.dated && a.date != b.date)
                return ascending ? a.date < b.date : a.date > b.date;
            return a.id < b.id;
        });
        chosen.reserve(wanted.size());
        for (size_t position = 0; position < all.size(); ++position)
            if (all[position].wanted >= 0)
                chosen.emplace_back(int(position), wanted[size_t(all[position].wanted)]);
        wanted.clear(); // each asset lives on in `chosen` only, and goes when it was visited
    });
    for (auto& [position, asset] : chosen)
        if (!visit(std::exchange(asset, nullptr), position))
            return;
}

std::vector<AssetPtr> Catalog::assetsWithIdentifiers(SqliteDatabase& db, const QStringList& ids,
                                                     bool includeTrashed) const {
    std::vector<AssetPtr> result;
    const std::string where = includeTrashed ? "a.uuid = ?" : "a.uuid = ? AND a.trashed_at IS NULL";
    for (const QString& id : ids) {
        auto found = assetsFromQuery(db, where, {}, [&](SqliteStatement& st) { st.bind(1, id); });
        result.insert(result.end(), found.begin(), found.end());
    }
    return result;
}

std::vector<AssetPtr> Catalog::assetsInCollection(SqliteDatabase& db, qint64 collectionId,
                                                  const FetchOptions& options) const {
    // Membership is the user's explicit choice, so hidden members are listed too.
    std::string where = "a.trashed_at IS NULL AND m.album_id = ?";
    std::vector<qint64> values;
    if (options.predicate) {
        where += " AND ";
        appendPredicate(*options.predicate, where, values);
    }
    std::string order = orderFor(options);
    if (order.empty())
        order = "m.position";
    return assetsFromQuery(
        db, where, order,
        [&](SqliteStatement& st) {
            st.bind(1, collectionId);
            for (size_t i = 0; i < values.size(); ++i)
                st.bind(int(i) + 2, values[i]);
        },
        "JOIN album_members m ON m.asset_id = a.id");
}

std::vector<AssetPtr> Catalog::assetsWithResource(SqliteDatabase& db, const QString& filename,
                                                  qint64 size) const {
    return assetsFromQuery(db,
                           "a.trashed_at IS NULL AND a.id IN (SELECT asset_id FROM resources WHERE "
                           "original_filename = ? AND file_size = ?)",
                           {}, [&](SqliteStatement& st) { st.bind(1, filename).bind(2, size); });
}

std::vector<CollectionPtr>
Catalog::collectionsFromQuery(SqliteDatabase& db, const std::string& sql,
                              const std::function<void(SqliteStatement&)>& bind) const {
    auto st = db.statement(sql);
    bind(st);
    std::vector<CollectionPtr> result;
    while (st.step())
        result.push_back(collectionOfRow(st));
    return result;
}

static const char* collectionColumns =
    "SELECT al.id, al.uuid, al.title, al.type, al.subtype, (SELECT count(*) FROM album_members mm "
    "JOIN assets aa ON aa.id = mm.asset_id WHERE mm.album_id = al.id AND aa.trashed_at IS NULL) "
    "FROM albums al ";
// Listing the albums of one asset is on the scan's path: no member count there.
static const char* uncountedCollectionColumns =
    "SELECT al.id, al.uuid, al.title, al.type, al.subtype, -1 FROM albums al ";

// The albums of one asset of one type, oldest first: the asset's id and the type bound.
static const std::string& albumsOfAnAsset() {
    static const std::string sql =
        std::string(uncountedCollectionColumns) +
        "JOIN album_members m ON m.album_id = al.id WHERE m.asset_id = ? AND al.type = ? "
        "ORDER BY al.id";
    return sql;
}

std::vector<CollectionPtr> Catalog::collectionsContaining(SqliteDatabase& db, qint64 assetId,
                                                          CollectionType type) const {
    return collectionsFromQuery(db, albumsOfAnAsset(), [&](SqliteStatement& st) {
        st.bind(1, assetId).bind(2, int(type));
    });
}

std::vector<std::vector<CollectionPtr>>
Catalog::collectionsContainingEach(SqliteDatabase& db, const std::vector<qint64>& assetIds,
                                   CollectionType type) const {
    std::vector<std::vector<CollectionPtr>> result(assetIds.size());
    std::unordered_map<qint64, CollectionPtr> made;
    // One read transaction for all: each statement on its own would take and drop the
    // database's lock.
    inReadTransaction(db, [&] {
        for (size_t i = 0; i < assetIds.size(); ++i) {
            if (assetIds[i] == 0)
                continue;
            auto st = db.statement(albumsOfAnAsset());
            st.bind(1, assetIds[i]).bind(2, int(type));
            while (st.step()) {
                CollectionPtr& album = made[st.int64(0)];
                if (!album)
                    album = collectionOfRow(st);
                result[i].push_back(album);
            }
        }
    });
    return result;
}

std::vector<CollectionPtr> Catalog::collections(SqliteDatabase& db, CollectionType type,
                                                CollectionSubtype subtype,
                                                const FetchOptions& options) const {
    std::string where = "al.type = ?";
    if (subtype != CollectionSubtype::Any)
        where += " AND al.subtype = ?";
    QStringList values;
    if (options.predicate) {
        where += " AND ";
        appendTitlePredicate(*options.predicate, where, values);
    }
    return collectionsFromQuery(
        db, std::string(collectionColumns) + "WHERE " + where + " ORDER BY al.id",
        [&](SqliteStatement& st) {
            int n = 1;
            st.bind(n++, int(type));
            if (subtype != CollectionSubtype::Any)
                st.bind(n++, int(subtype));
            for (const QString& v : values)
                st.bind(n++, v);
        });
}

std::vector<CollectionPtr> Catalog::collectionsWithIdentifiers(SqliteDatabase& db,
                                                               const QStringList& ids) const {
    std::vector<CollectionPtr> result;
    for (const QString& id : ids) {
        auto found = collectionsFromQuery(db, std::string(collectionColumns) + "WHERE al.uuid = ?",
                                          [&](SqliteStatement& st) { st.bind(1, id); });
        result.insert(result.end(), found.begin(), found.end());
    }
    return result;
}

std::vector<std::pair<AssetPtr, qint64>> Catalog::trashed(SqliteDatabase& db) const {
    std::vector<std::pair<AssetPtr, qint64>> result;
    auto assets = assetsFromQuery(db, "a.trashed_at IS NOT NULL", "a.trashed_at ASC", {});
    for (auto& a : assets) {
        auto st = db.statement("SELECT trashed_at FROM assets WHERE id = ?");
        st.bind(1, a->catalogId);
        result.emplace_back(a, st.step() ? st.int64(0) : 0);
    }
    return result;
}

} // namespace photos
