#include "platform/photos/DarktableStore.h"

#include "platform/imaging/ImageMetadata.h"
#include "platform/imaging/ImagingError.h"
#include "platform/imaging/XmpSidecar.h"
#include "platform/photos/ChangeLock.h"
#include "platform/photos/DarktableClock.h"
#include "platform/photos/DarktableLock.h"
#include "platform/photos/DurableWrites.h"
#include "platform/photos/FileKind.h"
#include "platform/photos/FreedesktopTrash.h"
#include "platform/photos/PhotoLibraryError.h"
#include "platform/photos/ResourceFiles.h"
#include "platform/photos/SqliteDatabase.h"

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
#include <array>
#include <atomic>
#include <cstring>
#include <dirent.h>
#include <exception>
#include <fcntl.h>
#include <map>
#include <span>
#include <string_view>
#include <strings.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <thread>
#include <tuple>
#include <unistd.h>
#include <unordered_map>

namespace photos {

namespace {

const QUuid albumSpace = QUuid::fromString(u"0b9e3c56-6d1f-4f0e-8a39-2f7d5c41e8a2");
// The tags of the albums the programs make; darktable shows them under this one parent.
const QString ownTagParent = QStringLiteral("Twinslim|");
// The tables of library.db that hold rows of an image, and the column naming it.
const std::vector<std::pair<const char*, const char*>> imageTables = {
    {"tagged_images", "imgid"}, {"color_labels", "imgid"},   {"meta_data", "id"},
    {"history", "imgid"},       {"masks_history", "imgid"},  {"module_order", "imgid"},
    {"history_hash", "imgid"},  {"selected_images", "imgid"}};

PhotoLibraryError storageError(const QString& what) {
    return PhotoLibraryError(PhotoLibraryError::Code::StorageFailed, what);
}

PhotoLibraryError notFound(const QString& what, const QString& id) {
    return PhotoLibraryError(PhotoLibraryError::Code::NotFound,
                             QStringLiteral("The %1 “%2” is not in the library.").arg(what, id));
}

// darktable's flip bits (1 flip y, 2 flip x, 4 swap x and y) for an EXIF orientation. A
// known orientation also tells darktable that the file's EXIF was read: it would read it
// again at the first view, and the rating with it, losing the one carried over.
qint64 darktableOrientation(int exif) {
    switch (exif) {
    case 2:
        return 2;
    case 3:
        return 3;
    case 4:
        return 1;
    case 5:
        return 4;
    case 6:
        return 6;
    case 7:
        return 7;
    case 8:
        return 5;
    default:
        return 0;
    }
}

QString stemOf(const QString& name) {
    const qsizetype dot = name.lastIndexOf(QLatin1Char('.'));
    return dot > 0 ? name.left(dot) : name;
}

// darktable's sidecar of an image: NAME.EXT.xmp, or NAME_NN.EXT.xmp for its duplicates.
QString sidecarName(const QString& filename, qint64 version) {
    if (version <= 0)
        return filename + QStringLiteral(".xmp");
    const qsizetype dot = filename.lastIndexOf(QLatin1Char('.'));
    const QString suffix = dot > 0 ? filename.mid(dot) : QString();
    return QStringLiteral("%1_%2%3.xmp")
        .arg(stemOf(filename))
        .arg(version, 2, 10, QLatin1Char('0'))
        .arg(suffix);
}

std::optional<qint64> regularFileSize(const QString& path) {
    struct stat st {};
    if (::lstat(QFile::encodeName(path).constData(), &st) != 0 || !S_ISREG(st.st_mode))
        return std::nullopt;
    return qint64(st.st_size);
}

QString albumIdentifier(const QString& tagName) {
    return QUuid::createUuidV5(albumSpace, tagName).toString(QUuid::WithoutBraces).toUpper() +
           QStringLiteral("/L0/040");
}

// What an album is called: a user's tag by its whole path, one of ours by its own name.
QString titleOfTag(const QString& tagName) {
    return tagName.startsWith(ownTagParent) ? tagName.mid(ownTagParent.size()) : tagName;
}

} // namespace

// ---- Snapshot ----

struct DarktableStore::Item {
    AssetPtr asset;
    std::vector<qint64> images; // its darktable images, picture first
    qint64 filmId = 0;
    QString folder;
};

struct DarktableStore::Snapshot {
    std::vector<std::shared_ptr<const Item>> items; // by first image
    QHash<QString, std::shared_ptr<const Item>> byId;
    QHash<qint64, std::shared_ptr<const Item>> byImage;
    struct Tag {
        qint64 id;
        QString name;
        QString identifier;
        std::vector<QString> members; // item identifiers in darktable's order
    };
    std::vector<Tag> tags;             // oldest first
    std::vector<CollectionPtr> albums; // one per tag, with its count
    // The albums holding each item, as listed for one item (uncounted), oldest first.
    QHash<QString, std::vector<CollectionPtr>> albumsOfItem;
};

bool DarktableStore::isDarktableLibrary(const QString& path) {
    QFile f(path);
    if (!QFileInfo(path).isFile() || !path.endsWith(QStringLiteral(".db")) ||
        !f.open(QIODevice::ReadOnly))
        return false;
    return f.read(16) == QByteArray("SQLite format 3\0", 16);
}

QString DarktableStore::dataDatabaseFor(const QString& libraryDb) {
    const QString folder = QFileInfo(libraryDb).absolutePath();
    for (const QString& candidate :
         {folder + QStringLiteral("/data.db"), folder + QStringLiteral("/config/data.db"),
          QStandardPaths::writableLocation(QStandardPaths::GenericConfigLocation) +
              QStringLiteral("/darktable/data.db")})
        if (QFileInfo(candidate).isFile())
            return candidate;
    return {};
}

DarktableStore::DarktableStore(const QString& libraryDb)
    : m_libraryDb(libraryDb), m_dataDb(dataDatabaseFor(libraryDb)) {
    if (m_dataDb.isEmpty())
        throw PhotoLibraryError(
            PhotoLibraryError::Code::NotFound,
            QStringLiteral("The darktable library “%1” has no data.db beside it, in config/ beside "
                           "it, or in darktable’s configuration folder: it holds the tags.")
                .arg(libraryDb));
    const QByteArray digest =
        QCryptographicHash::hash(libraryDb.toUtf8(), QCryptographicHash::Sha1).toHex().toUpper();
    m_idPrefix =
        QStringLiteral("%1-%2-4%3-8%4-")
            .arg(QString::fromLatin1(digest.mid(0, 8)), QString::fromLatin1(digest.mid(8, 4)),
                 QString::fromLatin1(digest.mid(12, 3)), QString::fromLatin1(digest.mid(15, 3)));
    m_db = std::make_unique<SqliteDatabase>(libraryDb);
    auto version = [&](const char* schema) -> std::optional<qint64> {
        try {
            auto st = m_db->statement(std::string("SELECT CAST(value AS INTEGER) FROM ") + schema +
                                      ".db_info WHERE key = 'version'");
            if (st.step())
                return st.int64(0);
        } catch (const PhotoLibraryError&) {
        }
        return std::nullopt;
    };
    const auto library = version("main");
    if (!library)
        throw PhotoLibraryError(PhotoLibraryError::Code::InvalidRequest,
                                QStringLiteral("“%1” is not a darktable library.").arg(libraryDb));
    if (*library != libraryVersion)
        throw PhotoLibraryError(
            PhotoLibraryError::Code::NewerCatalog,
            QStringLiteral("The darktable library “%1” has schema version %2; Twinslim has been "
                           "tested with darktable 4.2 libraries (version %3) only and leaves this "
                           "one alone.")
                .arg(libraryDb)
                .arg(*library)
                .arg(libraryVersion));
    m_db->statement("ATTACH DATABASE ? AS data").bind(1, m_dataDb).run();
    const auto data = version("data");
    if (data != std::optional<qint64>(dataVersion))
        throw PhotoLibraryError(
            PhotoLibraryError::Code::NewerCatalog,
            QStringLiteral("darktable’s data.db “%1” has schema version %2; Twinslim has been "
                           "tested with darktable 4.2 (version %3) only and leaves it alone.")
                .arg(m_dataDb)
                .arg(data ? QString::number(*data) : QStringLiteral("unknown"))
                .arg(dataVersion));
    // darktable's own databases are written with a rollback journal; a commit spanning both
    // and the state is then atomic, and never left half-synced.
    m_db->exec("PRAGMA synchronous = FULL");
    const QString state = stateFolder();
    if (!QDir().mkpath(state + QStringLiteral("/locks")))
        throw PhotoLibraryError(
            PhotoLibraryError::Code::AccessDenied,
            QStringLiteral("The photo library’s own folder “%1” cannot be made.").arg(state));
    m_db->statement("ATTACH DATABASE ? AS state")
        .bind(1, state + QStringLiteral("/state.sqlite"))
        .run();
    m_db->exec("PRAGMA state.journal_mode = DELETE");
    m_db->exec(
        "CREATE TABLE IF NOT EXISTS state.journal (id INTEGER PRIMARY KEY, state TEXT NOT NULL, "
        "operations TEXT NOT NULL);"
        "CREATE TABLE IF NOT EXISTS state.identities (image INTEGER PRIMARY KEY, identifier TEXT "
        "NOT NULL);"
        "CREATE TABLE IF NOT EXISTS state.album_identities (name TEXT PRIMARY KEY, identifier "
        "TEXT NOT NULL);"
        "CREATE TABLE IF NOT EXISTS state.trashed (identifier TEXT PRIMARY KEY, trashed_at "
        "INTEGER NOT NULL, folder TEXT NOT NULL, asset TEXT NOT NULL);"
        "CREATE TABLE IF NOT EXISTS state.trashed_images AS SELECT '' AS trashed_item, * FROM "
        "main.images WHERE 0;");
    for (const auto& [table, column] : imageTables)
        m_db->exec(QStringLiteral("CREATE TABLE IF NOT EXISTS state.trashed_%1 AS SELECT '' AS "
                                  "trashed_item, * FROM main.%1 WHERE 0")
                       .arg(QLatin1String(table))
                       .toUtf8()
                       .constData());
    if (!DarktableLock::liveHolder(m_libraryDb)) {
        ChangeLock changeLock(state); // whoever holds it is still applying its change
        recoverInterruptedChanges();
    }
}

DarktableStore::~DarktableStore() = default;

QString DarktableStore::snapshotPath() const {
    std::lock_guard lock(m_dbMutex);
    return m_snapshotPath;
}

std::shared_ptr<const DarktableStore::Snapshot> DarktableStore::current() const {
    std::lock_guard lock(m_dbMutex);
    // Another connection's commit (darktable's, another program's) changes the data version;
    // it is asked at most every 0.2 s, so that a scan's many fetches read one snapshot.
    if (m_snapshot && m_checked.isValid() && m_checked.elapsed() < 200)
        return m_snapshot;
    m_checked.start();
    qint64 version = 0;
    for (const char* sql : {"PRAGMA main.data_version", "PRAGMA data.data_version"}) {
        auto st = m_db->statement(sql);
        if (st.step())
            version = version * 1000003 + st.int64(0);
    }
    if (!m_snapshot || version != m_snapshotVersion) {
        m_snapshot = load();
        m_snapshotVersion = version;
    }
    return m_snapshot;
}

namespace {

// The names of one folder's sidecars as the folder lists them: one block of text and an
// open-addressing table over it. A camera folder can hold 100,000 of them; a string object
// and a hash node each would cost more than the listing itself.
class NameSet {
public:
    void add(std::string_view name) {
        m_starts.push_back(m_text.size());
        m_text.append(name);
    }
    void seal() {
        const size_t count = m_starts.size();
        m_starts.push_back(m_text.size());
        size_t size = 16;
        while (size < 2 * count)
            size *= 2;
        m_slots.assign(size, 0);
        for (size_t i = 0; i < count; ++i) {
            size_t s = hash(at(i)) & (size - 1);
            while (m_slots[s] != 0)
                s = (s + 1) & (size - 1);
            m_slots[s] = uint32_t(i + 1);
        }
    }
    bool contains(std::string_view name) const {
        if (m_slots.empty())
            return false;
        const size_t mask = m_slots.size() - 1;
        for (size_t s = hash(name) & mask; m_slots[s] != 0; s = (s + 1) & mask)
            if (at(m_slots[s] - 1) == name)
                return true;
        return false;
    }

private:
    std::string_view at(size_t i) const {
        return std::string_view(m_text).substr(m_starts[i], m_starts[i + 1] - m_starts[i]);
    }
    static size_t hash(std::string_view s) { return std::hash<std::string_view>{}(s); }

    std::string m_text;
    std::vector<size_t> m_starts;
    std::vector<uint32_t> m_slots; // index + 1 of a name; 0 is free
};

// An item's files in one allocation, shared by the pointers to each. Its asset is one of its
// own: the asset holds those pointers, and a block holding both would keep itself alive.
template <size_t N> struct Files { std::array<AssetResource, N> files; };
struct FileBlock {
    std::shared_ptr<void> owner;
    AssetResource* files;
};
template <size_t N> FileBlock makeFiles() {
    auto p = std::make_shared<Files<N>>();
    return {p, p->files.data()};
}
FileBlock makeFiles(size_t count) {
    switch (count) {
    case 1:
        return makeFiles<1>();
    case 2:
        return makeFiles<2>();
    case 3:
        return makeFiles<3>();
    case 4:
        return makeFiles<4>();
    default: {
        auto p = std::make_shared<std::vector<AssetResource>>(count);
        return {p, p->data()};
    }
    }
}

// a + b + c in one allocation, with no intermediate string.
QString joined(QStringView a, QStringView b, QStringView c) {
    QString s(a.size() + b.size() + c.size(), Qt::Uninitialized);
    QChar* out = s.data();
    out = std::copy(a.begin(), a.end(), out);
    out = std::copy(b.begin(), b.end(), out);
    std::copy(c.begin(), c.end(), out);
    return s;
}

// The identifier of an item not made by the programs: the library's prefix, its first
// image's id in (at least 12) upper-case hex digits, and "/L0/001".
QString itemIdentifier(const QString& prefix, qint64 key) {
    if (key < 0)
        return prefix + QStringLiteral("%1/L0/001").arg(key, 12, 16, QLatin1Char('0')).toUpper();
    int digits = 12;
    while (digits < 16 && (quint64(key) >> (4 * digits)) != 0)
        ++digits;
    static constexpr char16_t hex[] = u"0123456789ABCDEF";
    static constexpr char16_t suffix[] = u"/L0/001";
    QString id(prefix.size() + digits + 7, Qt::Uninitialized);
    QChar* out = id.data();
    std::copy(prefix.constData(), prefix.constData() + prefix.size(), out);
    out += prefix.size();
    for (int d = digits - 1; d >= 0; --d)
        *out++ = QChar(hex[(quint64(key) >> (4 * d)) & 15]);
    std::copy(suffix, suffix + 7, out);
    return id;
}

} // namespace

std::shared_ptr<const DarktableStore::Snapshot> DarktableStore::load() const {
    // Each film roll's folder is opened once: its sidecars read from one listing, its files'
    // sizes asked relative to it.
    struct Film {
        qint64 id = 0;
        QString folder;
        int fd = -1;
        NameSet sidecars;
    };
    std::vector<Film> films;
    QHash<qint64, size_t> filmIndex;
    struct CloseFilms {
        std::vector<Film>& films;
        ~CloseFilms() {
            for (const Film& f : films)
                if (f.fd >= 0)
                    ::close(f.fd);
        }
    } closeFilms{films};
    {
        auto st = m_db->statement("SELECT id, folder FROM main.film_rolls f WHERE EXISTS (SELECT "
                                  "1 FROM main.images i WHERE i.film_id = f.id)");
        while (st.step()) {
            filmIndex.insert(st.int64(0), films.size());
            films.push_back({st.int64(0), st.text(1), -1, {}});
        }
    }
    // Every film's sidecars, from one listing of its folder, read on a second thread while
    // this one reads the images.
    std::jthread listing([&films] {
        for (Film& f : films) {
            f.fd =
                ::open(QFile::encodeName(f.folder).constData(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
            if (f.fd >= 0)
                if (DIR* dir = ::fdopendir(::dup(f.fd))) {
                    while (const dirent* e = ::readdir(dir)) {
                        const std::string_view name(e->d_name);
                        if (name.size() > 4 && name.ends_with(".xmp"))
                            f.sidecars.add(name);
                    }
                    ::closedir(dir);
                }
            f.sidecars.seal();
        }
    });

    struct Row {
        qint64 id, group, version, taken, flags;
        size_t film; // index in films
        size_t name; // where its UTF-8 name starts in `names`
        size_t kind; // index in kinds
        QString filename;
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
        auto count = m_db->statement("SELECT count(*) FROM main.images");
        if (count.step())
            rows.reserve(size_t(std::max<qint64>(count.int64(0), 0)));
        auto st = m_db->statement(
            "SELECT id, coalesce(group_id, id), film_id, coalesce(version, 0), "
            "coalesce(datetime_taken, 0), coalesce(flags, 0), filename, latitude, longitude FROM "
            "main.images ORDER BY id");
        qint64 lastFilm = 0;
        size_t lastFilmIndex = SIZE_MAX;
        while (st.step()) {
            if (st.isNull(2))
                continue; // in no film roll: not an image of the library
            const qint64 film = st.int64(2);
            if (lastFilmIndex == SIZE_MAX || film != lastFilm) {
                const auto f = filmIndex.constFind(film);
                if (f == filmIndex.constEnd())
                    continue;
                lastFilm = film;
                lastFilmIndex = *f;
            }
            Row r{st.int64(0),  st.int64(1), st.int64(3), st.int64(4),  st.int64(5), lastFilmIndex,
                  names.size(), 0,           st.text(6),  std::nullopt, std::nullopt};
            const QByteArrayView utf8 = st.utf8(6);
            names.append(utf8.data(), size_t(utf8.size()));
            names.push_back('\0');
            if (!st.isNull(7) && !st.isNull(8)) {
                r.latitude = st.real(7);
                r.longitude = st.real(8);
            }
            const qsizetype dot = r.filename.lastIndexOf(QLatin1Char('.'));
            const QStringView extension =
                dot >= 0 ? QStringView(r.filename).mid(dot + 1) : QStringView();
            r.kind = kinds.size();
            for (size_t k = 0; k < kinds.size(); ++k)
                if (kinds[k].extension == extension) {
                    r.kind = k;
                    break;
                }
            if (r.kind == kinds.size()) {
                Kind kind{extension.toString(), FileKind::Other, QString()};
                kind.kind = fileKindOf(r.filename, &kind.uti);
                kinds.push_back(std::move(kind));
            }
            rows.push_back(std::move(r));
        }
    }
    const auto isRaw = [&](size_t row) { return kinds[rows[row].kind].kind == FileKind::Raw; };

    // Items the programs made keep their images together, under the identifiers their
    // placeholders promised.
    QHash<qint64, QString> identities;
    auto made = m_db->statement("SELECT image, identifier FROM state.identities");
    while (made.step())
        identities.insert(made.int64(0), made.text(1));
    std::vector<std::vector<size_t>> madeRows;
    std::vector<bool> placed(rows.size(), false);
    if (!identities.isEmpty()) {
        QHash<QString, size_t> madeItems;
        for (size_t i = 0; i < rows.size(); ++i) {
            const auto id = identities.constFind(rows[i].id);
            if (id == identities.constEnd())
                continue;
            auto it = madeItems.find(*id);
            if (it == madeItems.end()) {
                it = madeItems.insert(*id, madeRows.size());
                madeRows.emplace_back();
            }
            madeRows[*it].push_back(i);
            placed[i] = true;
        }
    }

    // Pairs: a RAW and a picture of one name in one folder and one group. The rows sorted by
    // group, each group's in id order, stand for a table of groups.
    std::vector<std::pair<qint64, size_t>> byGroup;
    byGroup.reserve(rows.size());
    for (size_t i = 0; i < rows.size(); ++i)
        if (!placed[i])
            byGroup.emplace_back(rows[i].group, i);
    // darktable's import groups an image with the one before it: the table is mostly in
    // order already.
    if (!std::is_sorted(byGroup.begin(), byGroup.end()))
        std::sort(byGroup.begin(), byGroup.end());
    const auto stemOfRow = [&](size_t row) {
        const QString& name = rows[row].filename;
        const qsizetype dot = name.lastIndexOf(QLatin1Char('.'));
        return dot > 0 ? QStringView(name).left(dot) : QStringView(name);
    };
    std::vector<qsizetype> partner(rows.size(), -1);
    for (size_t begin = 0, end = 0; begin < byGroup.size(); begin = end) {
        for (end = begin + 1; end < byGroup.size() && byGroup[end].first == byGroup[begin].first;)
            ++end;
        if (end - begin < 2)
            continue;
        for (size_t a = begin; a < end; ++a) {
            const size_t raw = byGroup[a].second;
            if (!isRaw(raw))
                continue;
            for (size_t b = begin; b < end; ++b) {
                const size_t pic = byGroup[b].second;
                if (kinds[rows[pic].kind].kind == FileKind::Picture && partner[pic] < 0 &&
                    rows[pic].film == rows[raw].film &&
                    stemOfRow(pic).compare(stemOfRow(raw), Qt::CaseInsensitive) == 0) {
                    partner[pic] = qsizetype(raw);
                    partner[raw] = qsizetype(pic);
                    break;
                }
            }
        }
    }

    // The items, oldest first, each as a run of `members`; within one, its pictures before
    // its RAW files.
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
            continue; // made with its partner
        plans.push_back({members.size(), partner[i] >= 0 ? 2u : 1u, i});
        members.push_back(i);
        if (partner[i] >= 0)
            members.push_back(size_t(partner[i]));
    }
    for (const Plan& plan : plans) // a stable insertion sort: at most a few members each
        for (size_t k = plan.first + 1; k < plan.first + plan.count; ++k)
            for (size_t j = k; j > plan.first && isRaw(members[j - 1]) && !isRaw(members[j]); --j)
                std::swap(members[j - 1], members[j]);
    if (!madeRows.empty())
        std::sort(plans.begin(), plans.end(),
                  [](const Plan& a, const Plan& b) { return a.key < b.key; });

    listing.join();

    // What a pair would reclaim is the scan's business; other sizes are asked for when
    // needed: a stat per file would cost a scan more than reading the whole library.
    struct Stat {
        int folder; // the item's folder: its files are all asked for there
        const char* name;
    };
    std::vector<Stat> statted; // the pairs' files
    // The items are made in two halves, the second on a second thread: their few hundred
    // thousand allocations are most of a scan, and a second thread allocates from an arena of
    // its own. Both threads then share the stats.
    const size_t half = plans.size() >= 2048 ? plans.size() / 2 : plans.size();
    size_t statsBeforeHalf = 0;
    for (size_t p = 0; p < plans.size(); ++p) {
        if (p == half)
            statsBeforeHalf = statted.size();
        const Plan& plan = plans[p];
        if (plan.count > 1) {
            const int folder = films[rows[members[plan.first]].film].fd;
            for (size_t k = plan.first; k < plan.first + plan.count; ++k)
                statted.push_back({folder, names.c_str() + rows[members[k]].name});
        }
    }
    std::vector<qint64> sizes(statted.size(), -1);
    std::atomic<size_t> nextStat{0};
    const auto statFiles = [&] {
        constexpr size_t chunk = 256;
        for (size_t begin; (begin = nextStat.fetch_add(chunk)) < statted.size();)
            for (size_t k = begin; k < std::min(begin + chunk, statted.size()); ++k) {
                struct stat st {};
                if (statted[k].folder >= 0 &&
                    ::fstatat(statted[k].folder, statted[k].name, &st, AT_SYMLINK_NOFOLLOW) == 0 &&
                    S_ISREG(st.st_mode))
                    sizes[k] = qint64(st.st_size);
            }
    };

    // The items in one array, each shared by pointers into it.
    const auto itemStore = std::make_shared<Item[]>(plans.size());
    const QString xmpUti = QStringLiteral("public.xmp");
    using Sized = std::vector<std::pair<AssetResource*, size_t>>; // resource, index in `statted`
    const auto makeItems = [&](size_t from, size_t to, size_t statIndex, Sized& sized) {
        DarktableClock clock;
        std::vector<QString> sidecarsOfItem;
        std::string sidecarKey;
        for (size_t p = from; p < to; ++p) {
            const Plan& plan = plans[p];
            const std::span<const size_t> rowsOfItem(members.data() + plan.first, plan.count);
            const Film& film = films[rows[rowsOfItem[0]].film];
            sidecarsOfItem.clear();
            for (size_t m : rowsOfItem) {
                const Row& r = rows[m];
                if (r.version <= 0) {
                    sidecarKey.assign(names.c_str() + r.name);
                    sidecarKey.append(".xmp");
                    if (film.sidecars.contains(sidecarKey))
                        sidecarsOfItem.push_back(joined(r.filename, {}, u".xmp"));
                } else {
                    QString sidecar = sidecarName(r.filename, r.version);
                    if (film.sidecars.contains(sidecar.toUtf8().toStdString()))
                        sidecarsOfItem.push_back(std::move(sidecar));
                }
            }

            const qint64 key = rows[plan.key].id;
            const FileBlock files = makeFiles(plan.count + sidecarsOfItem.size());
            const auto assetObject = std::make_shared<Asset>();
            Asset& asset = *assetObject;
            const auto identity = identities.constFind(key);
            asset.localIdentifier =
                identity != identities.constEnd() ? *identity : itemIdentifier(m_idPrefix, key);
            asset.catalogId = key;
            asset.resources.reserve(plan.count + sidecarsOfItem.size());
            Item& item = itemStore[p];
            item.filmId = film.id;
            item.folder = film.folder;
            item.images.reserve(plan.count);
            int ordinal = 0;
            auto addResource = [&](ResourceType type, const QString& uti, const QString& name) {
                AssetResource& r = files.files[ordinal];
                r.assetLocalIdentifier = asset.localIdentifier;
                r.ordinal = ordinal++;
                r.type = type;
                r.uniformTypeIdentifier = uti;
                r.originalFilename = name;
                r.storedPath = joined(film.folder, u"/", name);
                asset.resources.push_back(ResourcePtr(files.owner, &r));
                return &r;
            };
            for (size_t m : rowsOfItem) {
                const Row& r = rows[m];
                item.images.push_back(r.id);
                const Kind& kind = kinds[r.kind];
                AssetResource* resource = addResource(
                    kind.kind == FileKind::Raw ? ResourceType::AlternatePhoto : ResourceType::Photo,
                    kind.uti, r.filename);
                if (plan.count > 1)
                    sized.emplace_back(resource, statIndex++);
                if (!asset.creationDate)
                    asset.creationDate = clock.instantOf(r.taken);
                if (!asset.location && r.latitude)
                    asset.location = Location{*r.latitude, *r.longitude};
                if ((r.flags & 7) == 5)
                    asset.isFavorite = true;
            }
            for (const QString& sidecar : sidecarsOfItem)
                addResource(ResourceType::AdjustmentData, xmpUti, sidecar);
            item.asset = assetObject;
        }
    };
    Sized sizedFirst, sizedSecond;
    std::exception_ptr secondFailed;
    std::jthread second;
    if (half < plans.size())
        second = std::jthread([&] {
            try {
                makeItems(half, plans.size(), statsBeforeHalf, sizedSecond);
                statFiles();
            } catch (...) {
                secondFailed = std::current_exception();
            }
        });
    makeItems(0, half, 0, sizedFirst);
    statFiles();
    if (second.joinable())
        second.join();
    if (secondFailed)
        std::rethrow_exception(secondFailed);
    for (const Sized* sized : {&sizedFirst, &sizedSecond})
        for (const auto& [resource, k] : *sized)
            if (sizes[k] >= 0)
                resource->fileSize = sizes[k];

    auto snapshot = std::make_shared<Snapshot>();
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

    QHash<QString, QString> albumIdentities;
    auto named = m_db->statement("SELECT name, identifier FROM state.album_identities");
    while (named.step())
        albumIdentities.insert(named.text(0), named.text(1));
    QHash<qint64, size_t> tagIndex;
    auto tags = m_db->statement("SELECT id, name FROM data.tags WHERE name NOT LIKE 'darktable|%' "
                                "ORDER BY id");
    while (tags.step()) {
        tagIndex.insert(tags.int64(0), snapshot->tags.size());
        const QString name = tags.text(1);
        snapshot->tags.push_back(
            {tags.int64(0), name, albumIdentities.value(name, albumIdentifier(name)), {}});
    }
    auto tagged = m_db->statement(
        "SELECT tagid, imgid FROM main.tagged_images ORDER BY tagid, position, imgid");
    QSet<std::pair<size_t, const Item*>> seen; // an item once per tag, whichever image has it
    while (tagged.step()) {
        const auto t = tagIndex.find(tagged.int64(0));
        const auto item = snapshot->byImage.value(tagged.int64(1));
        if (t == tagIndex.end() || !item || seen.contains({*t, item.get()}))
            continue;
        seen.insert({*t, item.get()});
        snapshot->tags[*t].members.push_back(item->asset->localIdentifier);
    }
    for (const auto& tag : snapshot->tags) {
        auto album = std::make_shared<AssetCollection>();
        album->localIdentifier = tag.identifier;
        album->localizedTitle = titleOfTag(tag.name);
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

// ---- Fetches ----

std::vector<AssetPtr> DarktableStore::assets(MediaType mediaType,
                                             const FetchOptions& options) const {
    const auto snapshot = current();
    std::vector<AssetPtr> all;
    all.reserve(snapshot->items.size());
    for (const auto& item : snapshot->items)
        all.push_back(item->asset);
    return applyFetchOptions(std::move(all), mediaType, options, options.includeHiddenAssets);
}

std::vector<AssetPtr> DarktableStore::assetsWithIdentifiers(const QStringList& ids) const {
    const auto snapshot = current();
    std::vector<AssetPtr> found;
    for (const QString& id : ids)
        if (const auto item = snapshot->byId.value(id))
            found.push_back(item->asset);
    return found;
}

std::vector<CollectionPtr> DarktableStore::albumsOf(const Snapshot& snapshot) const {
    return snapshot.albums;
}

std::vector<AssetPtr> DarktableStore::assetsInCollection(const AssetCollection& collection,
                                                         const FetchOptions& options) const {
    const auto snapshot = current();
    std::vector<AssetPtr> members;
    for (const auto& tag : snapshot->tags)
        if (tag.identifier == collection.localIdentifier)
            for (const QString& id : tag.members)
                members.push_back(snapshot->byId.value(id)->asset);
    FetchOptions unsorted = options;
    return applyFetchOptions(std::move(members), MediaType::Image, unsorted, true);
}

std::vector<AssetPtr> DarktableStore::assetsWithResource(const QString& originalFilename,
                                                         qint64 fileSize) const {
    const auto snapshot = current();
    std::vector<AssetPtr> found;
    for (const auto& item : snapshot->items)
        for (const ResourcePtr& r : item->asset->resources)
            if (r->originalFilename == originalFilename &&
                (r->fileSize ? r->fileSize : regularFileSize(r->storedPath)) == fileSize) {
                found.push_back(item->asset);
                break;
            }
    return found;
}

std::vector<CollectionPtr> DarktableStore::collectionsContaining(const Asset& asset,
                                                                 CollectionType type) const {
    if (type != CollectionType::Album)
        return {};
    const auto snapshot = current();
    return snapshot->albumsOfItem.value(asset.localIdentifier);
}

std::vector<CollectionPtr> DarktableStore::collections(CollectionType type,
                                                       CollectionSubtype subtype,
                                                       const FetchOptions& options) const {
    if (type != CollectionType::Album ||
        (subtype != CollectionSubtype::Any && subtype != CollectionSubtype::AlbumRegular))
        return {};
    std::vector<CollectionPtr> found;
    for (const CollectionPtr& album : albumsOf(*current()))
        if (!options.predicate || titleMatches(*options.predicate, *album->localizedTitle))
            found.push_back(album);
    return found;
}

std::vector<CollectionPtr>
DarktableStore::collectionsWithIdentifiers(const QStringList& ids) const {
    std::vector<CollectionPtr> found;
    const auto albums = albumsOf(*current());
    for (const QString& id : ids)
        for (const CollectionPtr& album : albums)
            if (album->localIdentifier == id)
                found.push_back(album);
    return found;
}

// ---- Files ----

QString DarktableStore::filePath(const AssetResource& resource) const {
    // Only the files of the library's own items are handed out.
    const auto snapshot = current();
    const auto item = snapshot->byId.value(resource.assetLocalIdentifier);
    if (!item)
        return {};
    for (const ResourcePtr& r : item->asset->resources)
        if (r->storedPath == resource.storedPath)
            return r->storedPath;
    return {};
}

int DarktableStore::openForReading(const AssetResource& resource) const {
    const QString path = filePath(resource);
    if (path.isEmpty()) {
        errno = ENOENT;
        return -1;
    }
    return ResourceFiles::openPlainFileAt(AT_FDCWD, QFile::encodeName(path).constData());
}

void DarktableStore::copyOut(const AssetResource& resource, const QString& destination) const {
    const QString source = filePath(resource);
    if (source.isEmpty())
        throw PhotoLibraryError(PhotoLibraryError::Code::InvalidResource,
                                QStringLiteral("The stored file of “%1” is not in the library.")
                                    .arg(resource.originalFilename));
    ResourceFiles::streamCopy(source, destination);
}

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
    const QString stamp = now.toLocalTime().toString(QStringLiteral("yyyyMMdd-HHmmss"));
    const QString base = m_libraryDb + QStringLiteral("-twinslim-") + stamp;
    const QString dataCopy =
        QFileInfo(m_dataDb).absolutePath() + QStringLiteral("/data.db-twinslim-") + stamp;
    for (const auto& [schema, target] : {std::pair{"main", base}, std::pair{"data", dataCopy}}) {
        if (QFileInfo::exists(target))
            continue;
        const QString temp = target + QStringLiteral(".tmp");
        QFile::remove(temp);
        m_db->statement(std::string("VACUUM ") + schema + " INTO ?").bind(1, temp).run();
        flushFile(temp);
        if (::rename(QFile::encodeName(temp).constData(), QFile::encodeName(target).constData()) !=
            0)
            throw storageError(QStringLiteral("The copy “%1” cannot be made.").arg(target));
        syncFolder(QFileInfo(target).absolutePath());
    }
    m_snapshotPath = base;
    // The three newest copies are kept: a library can be large, and every run is a session.
    for (const QString& pattern :
         {QFileInfo(m_libraryDb).fileName() + QStringLiteral("-twinslim-*"),
          QStringLiteral("data.db-twinslim-*")}) {
        const QString folder = pattern.startsWith(QStringLiteral("data.db"))
                                   ? QFileInfo(m_dataDb).absolutePath()
                                   : QFileInfo(m_libraryDb).absolutePath();
        QStringList copies = QDir(folder).entryList({pattern}, QDir::Files, QDir::Name);
        copies.removeIf([](const QString& n) { return n.endsWith(QStringLiteral(".tmp")); });
        while (copies.size() > 3)
            QFile::remove(folder + u'/' + copies.takeFirst());
    }
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
        std::shared_ptr<const Item> origin;
        const AssetCreationRequest* request = nullptr;
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
        std::shared_ptr<const Item> origin;
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
    if (darktableSetting(m_dataDb, "write_sidecar_files") != QLatin1String("never")) {
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

    std::vector<TrashEntry> moved;
    std::vector<QString> placed;
    QSet<QString> folders;
    bool sidecarsRewritten = false;
    try {
        // ---- New files, written, flushed and put in place ----
        const DarktableClock clock;
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
                auto st = m_db->statement(
                    "SELECT max(flags & 7), min(flags & 8) FROM main.images WHERE id IN (SELECT "
                    "value FROM json_each(?))");
                QJsonArray ids;
                for (qint64 image : n.origin->images)
                    ids.append(image);
                st.bind(1, QString::fromUtf8(QJsonDocument(ids).toJson(QJsonDocument::Compact)));
                if (st.step())
                    stars = request.favorite ? 5 : int(st.int64(0));
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
                    {"Xmp.exif.DateTimeOriginal", DarktableClock::sidecarText(*taken)});
            if (request.location)
                edit.location = std::pair{request.location->latitude, request.location->longitude};
            edit.properties.push_back({"Xmp.xmpMM.DerivedFrom", n.filename.toStdString()});
            edit.properties.push_back({"Xmp.darktable.xmp_version", "5"});
            edit.properties.push_back({"Xmp.darktable.history_end", "0"});
            edit.properties.push_back(
                {"Xmp.darktable.import_timestamp", std::to_string(nowWallClock)});
            writeFlushed(n.folder + u'/' + n.sidecarTemp, imaging::editXmpSidecar({}, edit));
        }
        for (const QString& f : folders)
            syncFolder(f);
        for (const NewImage& n : newImages)
            for (const auto& [temp, final] :
                 {std::pair{n.temp, n.final}, std::pair{n.sidecarTemp, n.sidecarFinal}}) {
                const QByteArray from = QFile::encodeName(n.folder + u'/' + temp);
                const QByteArray to = QFile::encodeName(n.folder + u'/' + final);
                if (::renameat2(AT_FDCWD, from.constData(), AT_FDCWD, to.constData(),
                                RENAME_NOREPLACE) != 0)
                    throw storageError(QStringLiteral("“%1” cannot be put in place: another file "
                                                      "took its name.")
                                           .arg(n.folder + u'/' + final));
                placed.push_back(n.folder + u'/' + final);
            }
        for (const QString& f : folders)
            syncFolder(f);

        // ---- Originals to the trash, each move journalled before the file moves, so an
        // interruption at any point can be undone ----
        for (const Trashing& t : toTrash)
            moved.push_back(FreedesktopTrash::moveToTrash(t.path, now, [&](const TrashEntry& e) {
                operations.append(QJsonObject{{QStringLiteral("op"), QStringLiteral("trashed")},
                                              {QStringLiteral("item"), t.item},
                                              {QStringLiteral("folder"), e.trashFolder},
                                              {QStringLiteral("name"), e.name},
                                              {QStringLiteral("original"), e.originalPath}});
                saveJournal();
            }));

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
                // Stars and the rejected mark of the original; 5 stars for a favourite.
                m_db->statement("UPDATE main.images SET flags = (flags & ~15) | CASE WHEN ?2 "
                                "THEN 5 ELSE coalesce((SELECT max(flags & 7) | min(flags & 8) "
                                "FROM main.images WHERE id IN (SELECT value FROM json_each(?3))), "
                                "1) END WHERE id = ?1")
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
                return itemOf(id)->images;
            };

            // Favourites: 5 stars on every image of the item; unmarking lowers a 5 to 4.
            for (const AssetChangeRequest& change : changes.assetChanges()) {
                if (!change.favorite)
                    continue;
                for (qint64 image : imageOfCreated(change.assetIdentifier()))
                    m_db->statement(*change.favorite
                                        ? "UPDATE main.images SET flags = (flags & ~15) | 5 "
                                          "WHERE id = ?"
                                        : "UPDATE main.images SET flags = (flags & ~7) | 4 "
                                          "WHERE id = ? AND flags & 7 = 5")
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
                for (size_t i = 0; i < moved.size(); ++i)
                    if (toTrash[i].item == id)
                        entries.append(
                            QJsonObject{{QStringLiteral("folder"), moved[i].trashFolder},
                                        {QStringLiteral("name"), moved[i].name},
                                        {QStringLiteral("original"), moved[i].originalPath}});
                const Asset& a = *item->asset;
                const QJsonObject asset{
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
                edit.rating = flags.int64(0) & 8 ? -1 : int(flags.int64(0) & 7);
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
            if (sidecarsRewritten)
                m_db->statement("UPDATE state.journal SET state = 'committed' WHERE id = ?")
                    .bind(1, journalId)
                    .run();
            else
                m_db->statement("DELETE FROM state.journal WHERE id = ?").bind(1, journalId).run();
            beforeCommit();
        });
    } catch (...) {
        // Not committed: the originals come back, the new files go.
        for (auto it = moved.rbegin(); it != moved.rend(); ++it) {
            try {
                FreedesktopTrash::restore(*it);
            } catch (...) {
            }
        }
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
    if (sidecarsRewritten) {
        // Committed: what is left undone here the next opening finishes.
        try {
            placeRewrittenSidecars(operations);
            m_db->statement("DELETE FROM state.journal WHERE id = ?").bind(1, journalId).run();
        } catch (const std::exception& e) {
            qWarning().noquote() << QStringLiteral("darktable’s sidecars are put in place at the "
                                                   "next opening: %1")
                                        .arg(QString::fromUtf8(e.what()));
        }
    }
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
            placeRewrittenSidecars(operations);
            m_db->statement("DELETE FROM state.journal WHERE id = ?").bind(1, id).run();
            continue;
        }
        for (qsizetype i = operations.size() - 1; i >= 0; --i) {
            const QJsonObject op = operations[i].toObject();
            if (op.value(QStringLiteral("op")).toString() == QLatin1String("rewrite")) {
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

// ---- Recently Deleted ----

std::vector<TrashedAsset> DarktableStore::trashed() const {
    std::lock_guard lock(m_dbMutex);
    std::vector<TrashedAsset> result;
    auto st = m_db->statement(
        "SELECT identifier, trashed_at, asset FROM state.trashed ORDER BY trashed_at, identifier");
    while (st.step()) {
        const QJsonObject json = QJsonDocument::fromJson(st.text(2).toUtf8()).object();
        auto asset = std::make_shared<Asset>();
        asset->localIdentifier = st.text(0);
        if (json.value(QStringLiteral("date")).isDouble())
            asset->creationDate = QDateTime::fromMSecsSinceEpoch(
                qint64(json.value(QStringLiteral("date")).toDouble()), Qt::UTC);
        if (json.value(QStringLiteral("latitude")).isDouble())
            asset->location = Location{json.value(QStringLiteral("latitude")).toDouble(),
                                       json.value(QStringLiteral("longitude")).toDouble()};
        asset->isFavorite = json.value(QStringLiteral("favorite")).toBool();
        int ordinal = 0;
        for (const QJsonValue& v : json.value(QStringLiteral("resources")).toArray()) {
            const QJsonObject o = v.toObject();
            auto r = std::make_shared<AssetResource>();
            r->assetLocalIdentifier = asset->localIdentifier;
            r->ordinal = ordinal++;
            r->type = ResourceType(o.value(QStringLiteral("type")).toInt());
            r->uniformTypeIdentifier = o.value(QStringLiteral("uti")).toString();
            r->originalFilename = o.value(QStringLiteral("name")).toString();
            if (o.value(QStringLiteral("size")).isDouble())
                r->fileSize = qint64(o.value(QStringLiteral("size")).toDouble());
            asset->resources.push_back(std::move(r));
        }
        bool present = false;
        for (const QJsonValue& v : json.value(QStringLiteral("entries")).toArray())
            present = present || FreedesktopTrash::contains({v[QStringLiteral("folder")].toString(),
                                                             v[QStringLiteral("name")].toString(),
                                                             {}});
        // What the desktop has restored or emptied meanwhile is no longer ours to list.
        if (present)
            result.push_back({asset, QDateTime::fromMSecsSinceEpoch(st.int64(1), Qt::UTC)});
    }
    return result;
}

int DarktableStore::restore(const QStringList& identifiers) {
    ChangeLock changeLock(stateFolder());
    DarktableLock darktableLock(m_libraryDb);
    std::lock_guard lock(m_dbMutex);
    int restored = 0;
    for (const QString& id : identifiers) {
        auto st = m_db->statement("SELECT folder, asset FROM state.trashed WHERE identifier = ?");
        st.bind(1, id);
        if (!st.step())
            continue;
        const QString folder = st.text(0);
        const QJsonObject json = QJsonDocument::fromJson(st.text(1).toUtf8()).object();
        std::vector<TrashEntry> entries;
        for (const QJsonValue& v : json.value(QStringLiteral("entries")).toArray())
            entries.push_back({v[QStringLiteral("folder")].toString(),
                               v[QStringLiteral("name")].toString(),
                               v[QStringLiteral("original")].toString()});
        bool any = false;
        std::vector<TrashEntry> back;
        for (const TrashEntry& e : entries)
            if (FreedesktopTrash::contains(e) && !QFileInfo::exists(e.originalPath)) {
                FreedesktopTrash::restore(e);
                back.push_back(e);
                any = true;
            }
        if (!any)
            continue;
        try {
            inTransaction(*m_db, [&] {
                m_db->statement("INSERT INTO main.film_rolls (access_timestamp, folder) SELECT "
                                "strftime('%s', 'now'), ?1 WHERE NOT EXISTS (SELECT 1 FROM "
                                "main.film_rolls WHERE folder = ?1)")
                    .bind(1, folder)
                    .run();
                auto film = m_db->statement("SELECT id FROM main.film_rolls WHERE folder = ?");
                film.bind(1, folder);
                film.step();
                const qint64 filmId = film.int64(0);
                m_db->statement("UPDATE state.trashed_images SET film_id = ? WHERE trashed_item "
                                "= ?")
                    .bind(1, filmId)
                    .bind(2, id)
                    .run();
                std::vector<std::pair<const char*, const char*>> tables{{"images", "id"}};
                tables.insert(tables.end(), imageTables.begin(), imageTables.end());
                for (const auto& [table, column] : tables) {
                    QStringList columns;
                    auto info = m_db->statement(QStringLiteral("PRAGMA main.table_info(%1)")
                                                    .arg(QLatin1String(table))
                                                    .toStdString());
                    while (info.step())
                        columns << info.text(1);
                    const QString list = columns.join(QStringLiteral(", "));
                    m_db->statement(QStringLiteral("INSERT OR IGNORE INTO main.%1 (%2) SELECT %2 "
                                                   "FROM state.trashed_%1 WHERE trashed_item = ?")
                                        .arg(QLatin1String(table), list)
                                        .toStdString())
                        .bind(1, id)
                        .run();
                    m_db->statement(QStringLiteral("DELETE FROM state.trashed_%1 WHERE "
                                                   "trashed_item = ?")
                                        .arg(QLatin1String(table))
                                        .toStdString())
                        .bind(1, id)
                        .run();
                }
                m_db->statement("DELETE FROM state.trashed WHERE identifier = ?").bind(1, id).run();
            });
        } catch (...) {
            for (const TrashEntry& e : back) {
                try {
                    FreedesktopTrash::moveToTrash(e.originalPath, QDateTime::currentDateTimeUtc());
                } catch (...) {
                }
            }
            m_snapshot.reset();
            throw;
        }
        ++restored;
    }
    m_snapshot.reset();
    return restored;
}

int DarktableStore::purgeTrashedBefore(const std::optional<QDateTime>& cutoff) {
    ChangeLock changeLock(stateFolder());
    std::lock_guard lock(m_dbMutex);
    const qint64 limit = cutoff ? cutoff->toMSecsSinceEpoch() : std::numeric_limits<qint64>::max();
    std::vector<std::pair<QString, std::vector<TrashEntry>>> purge;
    {
        auto st = m_db->statement("SELECT identifier, asset FROM state.trashed WHERE trashed_at "
                                  "<= ?");
        st.bind(1, limit);
        while (st.step()) {
            std::vector<TrashEntry> entries;
            const QJsonObject json = QJsonDocument::fromJson(st.text(1).toUtf8()).object();
            for (const QJsonValue& v : json.value(QStringLiteral("entries")).toArray())
                entries.push_back({v[QStringLiteral("folder")].toString(),
                                   v[QStringLiteral("name")].toString(),
                                   v[QStringLiteral("original")].toString()});
            purge.push_back({st.text(0), entries});
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
        inTransaction(*m_db, [&] {
            m_db->statement("DELETE FROM state.trashed WHERE identifier = ?").bind(1, id).run();
            m_db->statement("DELETE FROM state.trashed_images WHERE trashed_item = ?")
                .bind(1, id)
                .run();
            m_db->statement("DELETE FROM state.identities WHERE identifier = ?").bind(1, id).run();
            for (const auto& [table, column] : imageTables)
                m_db->statement(QStringLiteral("DELETE FROM state.trashed_%1 WHERE trashed_item "
                                               "= ?")
                                    .arg(QLatin1String(table))
                                    .toStdString())
                    .bind(1, id)
                    .run();
        });
        purged += any ? 1 : 0;
    }
    return purged;
}

// ---- Integrity ----

QStringList DarktableStore::check() const {
    const auto snapshot = current();
    std::lock_guard lock(m_dbMutex);
    QStringList problems;
    for (const char* schema : {"main", "data", "state"}) {
        auto st = m_db->statement(std::string("PRAGMA ") + schema + ".integrity_check");
        while (st.step())
            if (st.text(0) != QLatin1String("ok"))
                problems << QStringLiteral("%1: %2").arg(QLatin1String(schema), st.text(0));
    }
    for (const auto& item : snapshot->items)
        for (const ResourcePtr& r : item->asset->resources)
            if (!r->fileSize && !regularFileSize(r->storedPath))
                problems << QStringLiteral("%1 of %2 is missing")
                                .arg(r->storedPath, item->asset->localIdentifier);
    auto journal = m_db->statement("SELECT id FROM state.journal");
    while (journal.step())
        problems
            << QStringLiteral("interrupted change %1 waits to be undone").arg(journal.int64(0));
    return problems;
}

} // namespace photos
