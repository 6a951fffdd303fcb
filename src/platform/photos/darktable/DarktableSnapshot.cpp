// Reading a darktable library into a snapshot of its items and albums.
#include "platform/photos/darktable/DarktableSnapshot.h"

#include "platform/photos/FileKind.h"
#include "platform/photos/PhotoLibraryError.h"
#include "platform/photos/shared/LocalClock.h"
#include "platform/photos/shared/SnapshotBlocks.h"
#include "platform/photos/shared/SqliteDatabase.h"

#include <QFile>
#include <QFileInfo>
#include <QJsonObject>
#include <QSet>
#include <algorithm>
#include <array>
#include <atomic>
#include <dirent.h>
#include <exception>
#include <fcntl.h>
#include <span>
#include <string_view>
#include <sys/stat.h>
#include <thread>
#include <unistd.h>

namespace photos {

using namespace darktable;
using namespace blocks;

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
        LocalClock clock;
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
            asset.localIdentifier = identifierOf(identities, m_idPrefix, key);
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
                if ((r.flags & 7) == 5 && !isRejected(r.flags))
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

} // namespace photos
