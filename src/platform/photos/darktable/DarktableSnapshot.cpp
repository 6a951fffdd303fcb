// Reading a darktable library into a snapshot of its items and albums.
#include "platform/photos/darktable/DarktableSnapshot.h"

#include "platform/photos/FileKind.h"
#include "platform/photos/PhotoLibraryError.h"
#include "platform/photos/shared/LocalClock.h"
#include "platform/photos/shared/ScanFolders.h"
#include "platform/photos/shared/SnapshotBlocks.h"
#include "platform/photos/shared/SqliteDatabase.h"

#include <QFile>
#include <algorithm>
#include <dirent.h>
#include <exception>
#include <span>
#include <string_view>
#include <thread>

namespace photos {

using namespace darktable;
using namespace blocks;

namespace {

// The names of one folder's sidecars as the folder lists them: one block of text and an
// open-addressing table over it. A camera folder can hold 100,000 of them; a string object
// and a hash node each would cost more than the listing itself.
bool isAscii(QByteArrayView bytes) {
    return std::all_of(bytes.begin(), bytes.end(), [](char c) { return uchar(c) < 0x80; });
}

// Two ASCII letters alike but for case.
bool sameLetter(char a, char b) {
    const auto lower = [](char c) { return c >= 'A' && c <= 'Z' ? char(c - 'A' + 'a') : c; };
    return lower(a) == lower(b);
}

class NameSet {
public:
    void add(std::string_view name) {
        m_names.push_back({m_text.size(), uint32_t(name.size()), 0});
        m_text.append(name);
    }
    void seal() {
        size_t size = 16;
        while (size < 2 * m_names.size())
            size *= 2;
        m_slots.assign(size, Slot());
        for (const Slot& name : m_names) {
            const size_t h = hash(at(name));
            size_t s = h & (size - 1);
            while (m_slots[s].length != 0)
                s = (s + 1) & (size - 1);
            m_slots[s] = {name.start, name.length, uint32_t(h >> 32)};
        }
        m_names = {};
    }
    static size_t hash(std::string_view s) { return std::hash<std::string_view>{}(s); }
    // Asks the memory for the first slot a name of hash `h` would take, ahead of `contains`:
    // the table is larger than the caches and each lookup lands anywhere in it.
    void prefetch(size_t h) const {
        if (!m_slots.empty())
            __builtin_prefetch(&m_slots[h & (m_slots.size() - 1)]);
    }
    bool contains(std::string_view name) const { return contains(name, hash(name)); }
    bool contains(std::string_view name, size_t h) const {
        if (m_slots.empty())
            return false;
        const size_t mask = m_slots.size() - 1;
        for (size_t s = h & mask; m_slots[s].length != 0; s = (s + 1) & mask)
            if (m_slots[s].hash == uint32_t(h >> 32) && at(m_slots[s]) == name)
                return true;
        return false;
    }

private:
    // A name's place in the text, and the high half of its hash: a slot is told from the
    // others without reading the text. Names are never empty: a length of 0 is a free slot.
    struct Slot {
        size_t start = 0;
        uint32_t length = 0;
        uint32_t hash = 0;
    };
    std::string_view at(const Slot& s) const {
        return std::string_view(m_text).substr(s.start, s.length);
    }

    std::string m_text;
    std::vector<Slot> m_names; // while adding
    std::vector<Slot> m_slots;
};

} // namespace

std::shared_ptr<const DarktableStore::Snapshot> DarktableStore::load() const {
    // The film rolls holding images; their folders are listed for sidecars and their pairs'
    // files asked for relative to them, each opened once.
    struct Film {
        qint64 id = 0;
        QString folder;
        QString prefix; // the folder and its slash: a file's path is it and the file's name
        NameSet sidecars;
    };
    std::vector<Film> films;
    QHash<qint64, size_t> filmIndex;
    {
        auto st = m_db->statement("SELECT id, folder FROM main.film_rolls f WHERE EXISTS (SELECT "
                                  "1 FROM main.images i WHERE i.film_id = f.id)");
        while (st.step()) {
            filmIndex.insert(st.int64(0), films.size());
            const QString folder = st.text(1);
            films.push_back({st.int64(0), folder, folder + QLatin1Char('/'), {}});
        }
    }
    std::vector<QByteArray> folderPaths;
    folderPaths.reserve(films.size());
    for (const Film& f : films)
        folderPaths.push_back(QFile::encodeName(f.folder));
    ScanFolders folders(folderPaths);
    // Every film's sidecars, from one listing of its folder, read on a second thread while
    // this one reads the images.
    std::jthread listing([&films, &folderPaths] {
        for (size_t i = 0; i < films.size(); ++i) {
            if (DIR* dir = ::opendir(folderPaths[i].constData())) {
                while (const dirent* e = ::readdir(dir)) {
                    const std::string_view name(e->d_name);
                    if (name.size() > 4 && name.ends_with(".xmp"))
                        films[i].sidecars.add(name);
                }
                ::closedir(dir);
            }
            films[i].sidecars.seal();
        }
    });

    // The images' rows, their names' bytes in one buffer, each ended by a NUL so that a file's
    // name goes to the system as it is; their strings are made with the items.
    struct Row {
        qint64 id, group, version, taken, flags;
        size_t film;   // index in films
        size_t name;   // where its UTF-8 name starts in `names`
        size_t length; // of its name, in bytes
        size_t kind;   // index in kinds
        bool ascii;    // its name is ASCII: its characters are its bytes
        std::optional<double> latitude, longitude;
    };
    std::vector<Row> rows;
    std::string names; // every image's file name as stored, each ended by a NUL
    struct Kind {
        std::string extension; // as spelled in the names
        FileKind kind;
        QString uti;
    };
    std::vector<Kind> kinds; // asked once per extension a scan meets
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
            const QByteArrayView utf8 = st.utf8(6);
            Row r{st.int64(0), st.int64(1),   st.int64(3),  st.int64(4),
                  st.int64(5), lastFilmIndex, names.size(), size_t(utf8.size()),
                  0,           isAscii(utf8), std::nullopt, std::nullopt};
            names.append(utf8.data(), size_t(utf8.size()));
            names.push_back('\0');
            if (!st.isNull(7) && !st.isNull(8)) {
                r.latitude = st.real(7);
                r.longitude = st.real(8);
            }
            const qsizetype dot = utf8.lastIndexOf('.');
            const std::string_view extension =
                dot >= 0 ? std::string_view(utf8.data() + dot + 1, size_t(utf8.size() - dot - 1))
                         : std::string_view();
            r.kind = size_t(std::find_if(kinds.begin(), kinds.end(),
                                         [&](const Kind& k) { return k.extension == extension; }) -
                            kinds.begin());
            if (r.kind == kinds.size()) {
                Kind kind{std::string(extension), FileKind::Other, QString()};
                kind.kind = fileKindOf(QString::fromUtf8(utf8), &kind.uti);
                kinds.push_back(std::move(kind));
            }
            rows.push_back(r);
        }
    }
    const auto isRaw = [&](size_t row) { return kinds[rows[row].kind].kind == FileKind::Raw; };
    const auto nameOf = [&](const Row& r) {
        return std::string_view(names).substr(r.name, r.length);
    };

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
    const auto stemOf = [&](size_t row) {
        const std::string_view name = nameOf(rows[row]);
        const size_t dot = name.rfind('.');
        return dot != std::string_view::npos && dot > 0 ? name.substr(0, dot) : name;
    };
    // Names are compared without case, as Qt folds them; ASCII ones letter by letter.
    const auto sameStem = [&](size_t a, size_t b) {
        const std::string_view x = stemOf(a), y = stemOf(b);
        if (rows[a].ascii && rows[b].ascii)
            return std::equal(x.begin(), x.end(), y.begin(), y.end(), sameLetter);
        return QString::fromUtf8(x).compare(QString::fromUtf8(y), Qt::CaseInsensitive) == 0;
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
                    rows[pic].film == rows[raw].film && sameStem(pic, raw)) {
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

    auto snapshot = std::make_shared<Snapshot>();
    snapshot->images.resize(members.size());
    // Each image's item, by index in `plans`: tags name images, albums list items. darktable
    // numbers its images one after the other, so a table by id is mostly full; a sparse one's
    // rows are searched instead.
    std::vector<uint32_t> itemOfRow(rows.size(), 0);
    const qint64 firstId = rows.empty() ? 0 : rows.front().id;
    const quint64 idSpan = rows.empty() ? 0 : quint64(rows.back().id) - quint64(firstId);
    std::vector<uint32_t> itemOfId(idSpan < 4 * rows.size() + 1024 ? idSpan + 1 : 0, 0); // + 1
    for (size_t p = 0; p < plans.size(); ++p)
        for (size_t k = plans[p].first; k < plans[p].first + plans[p].count; ++k) {
            snapshot->images[k] = rows[members[k]].id;
            itemOfRow[members[k]] = uint32_t(p);
            if (!itemOfId.empty())
                itemOfId[quint64(rows[members[k]].id) - quint64(firstId)] = uint32_t(p + 1);
        }
    const auto itemOfImage = [&](qint64 image) -> std::optional<size_t> {
        if (!itemOfId.empty()) {
            const quint64 at = quint64(image) - quint64(firstId);
            if (image < firstId || at >= itemOfId.size() || itemOfId[at] == 0)
                return std::nullopt;
            return itemOfId[at] - 1;
        }
        const auto it = std::lower_bound(rows.begin(), rows.end(), image,
                                         [](const Row& r, qint64 id) { return r.id < id; });
        if (it == rows.end() || it->id != image)
            return std::nullopt;
        return itemOfRow[size_t(it - rows.begin())];
    };

    listing.join();

    // The items in one array, made in two halves, the second on a second thread while this one
    // first reads the tags. What a pair would reclaim is the scan's
    // business: its files' sizes as they are, each asked relative to its folder; other sizes
    // are asked for when needed, as a stat per file would cost more than the whole library.
    const auto itemStore = std::make_shared<Item[]>(plans.size());
    std::vector<char> hasSidecar(members.size(), 0);
    // Made, not a literal: the type of an identifier is looked up once for its shared data.
    const QString xmpUti = QString::fromLatin1("public.xmp");
    const auto makeItems = [&](size_t from, size_t to) {
        LocalClock clock;
        // Which images have their sidecar, first: each half's assets and their files go in an
        // array of its own, fewer allocations to make and to free when the library closes, and
        // no count shared with the other thread.
        // Each sidecar's name is hashed first, and its slot asked for a few lookups ahead.
        struct Asked {
            size_t member, film, hash;
        };
        std::vector<Asked> asked;
        std::string sidecarKey;
        const auto keyOf = [&](const Row& r) -> const std::string& {
            if (r.version <= 0) {
                sidecarKey.assign(nameOf(r));
                sidecarKey.append(".xmp");
            } else {
                sidecarKey = sidecarName(QString::fromUtf8(nameOf(r)), r.version).toStdString();
            }
            return sidecarKey;
        };
        for (size_t p = from; p < to; ++p) {
            const size_t film = rows[members[plans[p].first]].film;
            for (size_t k = plans[p].first; k < plans[p].first + plans[p].count; ++k)
                asked.push_back({k, film, NameSet::hash(keyOf(rows[members[k]]))});
        }
        constexpr size_t ahead = 8;
        size_t fileCount = 0;
        for (size_t i = 0; i < asked.size(); ++i) {
            if (i + ahead < asked.size())
                films[asked[i + ahead].film].sidecars.prefetch(asked[i + ahead].hash);
            const Asked& a = asked[i];
            hasSidecar[a.member] =
                films[a.film].sidecars.contains(keyOf(rows[members[a.member]]), a.hash);
            fileCount += hasSidecar[a.member] ? 2 : 1;
        }
        const auto assets = std::make_shared<Asset[]>(to - from);
        const auto files = std::make_shared<AssetResource[]>(fileCount);
        size_t nextFile = 0;
        for (size_t p = from; p < to; ++p) {
            const Plan& plan = plans[p];
            const size_t filmOfItem = rows[members[plan.first]].film;
            const Film& film = films[filmOfItem];
            const qint64 key = rows[plan.key].id;
            Asset& asset = assets[p - from];

            // The item's identifier and its files' paths in one block; a file's name is the end
            // of its path. A name takes at most its bytes in characters; a duplicate's sidecar
            // adds "_" and its version.
            const bool ownId = key >= 0 && !identities.contains(key);
            qsizetype capacity = ownId ? m_idPrefix.size() + 16 + 8 : 0;
            size_t sidecars = 0;
            for (size_t k = plan.first; k < plan.first + plan.count; ++k) {
                const qsizetype path = film.folder.size() + 2 + qsizetype(rows[members[k]].length);
                capacity += path;
                if (hasSidecar[k]) {
                    capacity += path + 4 + 21;
                    ++sidecars;
                }
            }
            StringBlock strings(capacity);
            if (ownId) {
                char16_t digits[16];
                asset.localIdentifier = strings.add(
                    {m_idPrefix, QStringView(digits, hexDigitsOf(key, digits)), u"/L0/001"});
            } else {
                asset.localIdentifier = identifierOf(identities, m_idPrefix, key);
            }
            asset.catalogId = key;
            asset.resources.reserve(plan.count + sidecars);
            Item& item = itemStore[p];
            item.filmId = film.id;
            item.folder = film.folder;
            item.images = std::span<const qint64>(snapshot->images.data() + plan.first, plan.count);
            const auto addResource = [&](ResourceType type, const QString& uti, QString path) {
                AssetResource& r = files[nextFile++];
                r.assetLocalIdentifier = asset.localIdentifier;
                r.ordinal = int(asset.resources.size());
                r.type = type;
                r.uniformTypeIdentifier = uti;
                r.storedPath = std::move(path);
                r.originalFilename = tailOf(r.storedPath, film.folder.size() + 1);
                asset.resources.push_back(ResourcePtr(files, &r));
                return &r;
            };
            for (size_t k = plan.first; k < plan.first + plan.count; ++k) {
                const Row& r = rows[members[k]];
                const Kind& kind = kinds[r.kind];
                AssetResource* resource = addResource(
                    kind.kind == FileKind::Raw ? ResourceType::AlternatePhoto : ResourceType::Photo,
                    kind.uti, strings.addUtf8(film.prefix, nameOf(r), {}));
                if (plan.count > 1)
                    if (const FileStat stat = folders.statOf(filmOfItem, names.data() + r.name);
                        stat.size >= 0)
                        resource->fileSize = stat.size;
                if (!asset.creationDate)
                    asset.creationDate = clock.instantOf(r.taken);
                if (!asset.location && r.latitude)
                    asset.location = Location{*r.latitude, *r.longitude};
                if ((r.flags & 7) == 5 && !isRejected(r.flags))
                    asset.isFavorite = true;
            }
            for (size_t k = plan.first; k < plan.first + plan.count; ++k) {
                const Row& r = rows[members[k]];
                if (!hasSidecar[k])
                    continue;
                if (r.version <= 0) {
                    addResource(ResourceType::AdjustmentData, xmpUti,
                                strings.addUtf8(film.prefix, nameOf(r), u".xmp"));
                } else {
                    const QString sidecar = sidecarName(QString::fromUtf8(nameOf(r)), r.version);
                    addResource(ResourceType::AdjustmentData, xmpUti,
                                strings.add({film.prefix, sidecar}));
                }
            }
            item.asset = AssetPtr(assets, &asset);
        }
    };
    // Albums: the user's tags. Their rows are read while the second thread makes its half.
    QHash<QString, QString> albumIdentities;
    QHash<qint64, size_t> tagIndex;
    std::vector<std::pair<size_t, size_t>> tagged; // index in tags, item
    const auto readTags = [&] {
        auto named = m_db->statement("SELECT name, identifier FROM state.album_identities");
        while (named.step())
            albumIdentities.insert(named.text(0), named.text(1));
        auto tags =
            m_db->statement("SELECT id, name FROM data.tags WHERE name NOT LIKE 'darktable|%' "
                            "ORDER BY id");
        while (tags.step()) {
            tagIndex.insert(tags.int64(0), snapshot->tags.size());
            const QString name = tags.text(1);
            snapshot->tags.push_back(
                {tags.int64(0), name, albumIdentities.value(name, albumIdentifier(name)), {}});
        }
        // The albums' images, each tag's together: sorted whole, not walked through the index by
        // tag, which costs a lookup of every row.
        auto st = m_db->statement("SELECT tagid, imgid FROM main.tagged_images NOT INDEXED ORDER "
                                  "BY tagid, position, imgid");
        while (st.step()) {
            const auto t = tagIndex.constFind(st.int64(0));
            const std::optional<size_t> item = itemOfImage(st.int64(1));
            if (t != tagIndex.constEnd() && item)
                tagged.emplace_back(*t, *item);
        }
    };
    inTwoHalves(plans.size(), [&](size_t from, size_t to) {
        if (from == 0)
            readTags();
        makeItems(from, to);
    });
    snapshot->itemBlock = itemStore;

    // The items by identifier, listed on a second thread while this one fills the albums.
    std::exception_ptr listingFailed;
    std::jthread byId([&] {
        try {
            snapshot->items.reserve(plans.size());
            snapshot->byId.reserve(qsizetype(plans.size()));
            for (size_t p = 0; p < plans.size(); ++p) {
                const Item* item = &itemStore[p];
                snapshot->byId.insert(item->asset->localIdentifier, item);
                snapshot->items.push_back(item);
            }
        } catch (...) {
            listingFailed = std::current_exception();
        }
    });
    // An item once per tag, whichever of its images has it.
    std::vector<size_t> lastTagOf(plans.size(), SIZE_MAX);
    for (const auto& [t, item] : tagged) {
        if (lastTagOf[item] == t)
            continue;
        lastTagOf[item] = t;
        snapshot->tags[t].members.push_back(itemStore[item].asset->localIdentifier);
    }
    byId.join();
    if (listingFailed)
        std::rethrow_exception(listingFailed);
    size_t listings = 0;
    for (const auto& tag : snapshot->tags)
        listings += tag.members.size();
    snapshot->albumsOfItem.reserve(qsizetype(std::min(listings, plans.size())));
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
