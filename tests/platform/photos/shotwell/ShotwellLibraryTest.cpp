// A Shotwell library as a photo library: what Twinslim reads of a library Shotwell itself
// made, which files it opens or refuses, and its changes as Shotwell reads them back.
#include "fixtures/ImageFixtures.h"
#include "platform/photos/ChangeRequests.h"
#include "platform/photos/PhotoLibrary.h"
#include "platform/photos/PhotoLibraryError.h"
#include "platform/photos/shotwell/ShotwellSnapshot.h"
#include "support/Digikam.h"
#include "support/Shotwell.h"
#include "support/TestSupport.h"

#include "../shared/SqlRows.h"

#include <QDir>
#include <QFile>
#include <QProcess>
#include <QTemporaryDir>
#include <gtest/gtest.h>
#include <map>
#include <memory>

using namespace photos;

namespace {

// One library for the whole suite: Shotwell takes a while to make one.
class ShotwellLibrary : public ::testing::Test {
protected:
    static void SetUpTestSuite() {
        if (!testsupport::shotwellMissing().isEmpty())
            return;
        tmp = std::make_unique<QTemporaryDir>();
        photos = tmp->path() + "/photos";
        testsupport::makeMarkedCameraFolder(photos);
        testsupport::runShotwell(photos, tmp->path() + "/made");
        database = tmp->path() + "/made/data/data/photo.db";
    }
    static void TearDownTestSuite() { tmp.reset(); }
    void SetUp() override { TWINSLIM_REQUIRE_SHOTWELL(); }

    // A copy of Shotwell's data folder to change; its photos stay where they are.
    QString copyOfLibrary(const QString& name) {
        const QString copy = tmp->path() + "/" + name;
        QDir(copy).removeRecursively();
        EXPECT_EQ(QProcess::execute("cp", {"-a", tmp->path() + "/made", copy}), 0);
        return copy;
    }

    static std::unique_ptr<QTemporaryDir> tmp;
    static QString photos, database;
};
std::unique_ptr<QTemporaryDir> ShotwellLibrary::tmp;
QString ShotwellLibrary::photos, ShotwellLibrary::database;

QString namesOf(const AssetPtr& asset) {
    QStringList names;
    for (const ResourcePtr& r : asset->resources)
        names << r->originalFilename;
    return names.join(' ');
}

std::map<QString, AssetPtr> byNames(const LibraryStore& store) {
    std::map<QString, AssetPtr> found;
    for (const AssetPtr& asset : store.assets(MediaType::Image, {}))
        found[namesOf(asset)] = asset;
    return found;
}

} // namespace

TEST_F(ShotwellLibrary, ReadsPairsDatesPlacesFavouritesAndTagAlbums) {
    ShotwellStore store(database);
    const auto items = byNames(store);
    // A RAW with its camera JPEG is one item, the JPEG first; what Shotwell did not import
    // (the CR3 and ARW it cannot read, the HEIC) is not there.
    QStringList names;
    for (const auto& [n, asset] : items)
        names << n;
    EXPECT_EQ(names, QStringList({"IMG_0001.JPG", "IMG_0003.JPG IMG_0003.DNG", "IMG_0004.JPG",
                                  "IMG_0006.JPG IMG_0006.DNG"}));
    const AssetPtr helsinki = items.at("IMG_0003.JPG IMG_0003.DNG");
    EXPECT_EQ(helsinki->resources[0]->type, ResourceType::Photo);
    EXPECT_EQ(helsinki->resources[1]->type, ResourceType::AlternatePhoto);
    EXPECT_EQ(helsinki->resources[0]->fileSize, QFileInfo(photos + "/IMG_0003.JPG").size());
    // Shotwell's time is the wall-clock time; a pair's offset and place come from its file.
    EXPECT_EQ(helsinki->creationDate,
              QDateTime::fromString("2025-08-10T19:02:53+03:00", Qt::ISODate));
    EXPECT_EQ(helsinki->creationOffsetSeconds, 3 * 3600);
    ASSERT_TRUE(helsinki->location);
    EXPECT_NEAR(helsinki->location->latitude, 60.1467, 1e-3);
    EXPECT_NEAR(helsinki->location->longitude, 24.9068, 1e-3);
    // Five stars make a favourite; fewer do not.
    EXPECT_TRUE(items.at("IMG_0004.JPG")->isFavorite);
    EXPECT_FALSE(helsinki->isFavorite);
    // Tags by their full paths; the headings of the tag tree are no albums.
    std::map<QString, QStringList> albums;
    for (const CollectionPtr& album :
         store.collections(CollectionType::Album, CollectionSubtype::Any, {}))
        for (const AssetPtr& member : store.assetsInCollection(*album, {}))
            albums[*album->localizedTitle] << namesOf(member);
    EXPECT_EQ(albums, (std::map<QString, QStringList>{{"/Family", {"IMG_0006.JPG IMG_0006.DNG"}},
                                                      {"/Places/France/Lyon", {"IMG_0001.JPG"}}}));
    EXPECT_TRUE(store.check().isEmpty()) << store.check().join('\n').toStdString();
}

TEST_F(ShotwellLibrary, OpensItsDataFolderOrDatabaseKeepsItsIdentifiersAndRefusesTheRest) {
    const QString copy = copyOfLibrary("opening");
    const QString db = copy + "/data/data/photo.db";
    EXPECT_EQ(ShotwellStore::databaseFor(copy + "/data"), copy + "/data/data/photo.db");
    EXPECT_EQ(ShotwellStore::databaseFor(copy + "/data/data"), db);
    EXPECT_EQ(ShotwellStore::databaseFor(db), db);
    EXPECT_EQ(ShotwellStore::databaseFor(photos), QString());
    QStringList first, again, ofCopy;
    {
        auto library = PhotoLibrary::open(copy + "/data");
        EXPECT_TRUE(library->isShotwellLibrary());
        EXPECT_FALSE(library->holdsHeic());
        for (const AssetPtr& a : ShotwellStore(db).assets(MediaType::Image, {}))
            first << a->localIdentifier;
    }
    for (const AssetPtr& a : ShotwellStore(db).assets(MediaType::Image, {}))
        again << a->localIdentifier;
    EXPECT_EQ(first, again);
    const QString other = copyOfLibrary("opening-copy") + "/data/data/photo.db";
    for (const AssetPtr& a : ShotwellStore(other).assets(MediaType::Image, {}))
        ofCopy << a->localIdentifier;
    ASSERT_EQ(ofCopy.size(), first.size());
    for (const QString& id : ofCopy)
        EXPECT_FALSE(first.contains(id)) << "a copy of a library shares " << id.toStdString();

    // Photos in Shotwell's trash and offline ones are no items.
    sqlRows(db, "UPDATE PhotoTable SET flags = flags | 4 WHERE filename LIKE "
                "'%IMG_0004.JPG'; UPDATE PhotoTable SET flags = flags | 8 WHERE "
                "filename LIKE '%IMG_0001.JPG'");
    QStringList left;
    for (const auto& [n, asset] : byNames(ShotwellStore(db)))
        left << n;
    EXPECT_EQ(left, QStringList({"IMG_0003.JPG IMG_0003.DNG", "IMG_0006.JPG IMG_0006.DNG"}));
    ASSERT_EQ(ShotwellStore(db).trashed().size(), 1u);
    EXPECT_EQ(namesOf(ShotwellStore(db).trashed().front().asset), "IMG_0004.JPG");

    // Another schema version is refused, saying which.
    sqlRows(db, "UPDATE VersionTable SET schema_version = 24, app_version = '0.32.1'");
    try {
        ShotwellStore refused(db);
        ADD_FAILURE() << "a newer schema was opened";
    } catch (const PhotoLibraryError& e) {
        EXPECT_TRUE(e.description().contains("schema version 24 (Shotwell 0.32.1)"))
            << e.description().toStdString();
    }
}

// A replacement made of a pair and the pair moved to Shotwell's trash, then Shotwell started
// again on the library: it shows the replacement once, with the pair's event, rating, flag,
// title and tags, and does not import its file again; the pair waits in its trash. A HEIC
// is refused before anything changes; a restore and an emptied trash do what Shotwell does.
TEST_F(ShotwellLibrary, ReplacementsAndTheTrashAreWhatShotwellReadsBack) {
    const QString copy = copyOfLibrary("change");
    const QString here = tmp->path() + "/photos-change";
    ASSERT_EQ(QProcess::execute("cp", {"-a", photos, here}), 0);
    const QString db = copy + "/data/data/photo.db";
    sqlRows(db, QString("UPDATE PhotoTable SET filename = replace(filename, '%1/', '%2/'); "
                        "UPDATE BackingPhotoTable SET filepath = replace(filepath, '%1/', '%2/'); "
                        "UPDATE PhotoTable SET flags = flags | 16, title = 'Harbour', rating = 3 "
                        "WHERE filename LIKE '%IMG_0006.DNG'")
                    .arg(photos, here));
    auto lib = PhotoLibrary::open(db);
    auto named = [&](const QString& names) {
        for (const AssetPtr& a : lib->fetchAssets(MediaType::Image, {}))
            if (namesOf(a) == names)
                return a;
        ADD_FAILURE() << "no item " << names.toStdString();
        return AssetPtr();
    };
    const AssetPtr paris = named("IMG_0006.JPG IMG_0006.DNG");
    ASSERT_TRUE(paris);
    const QString before = sqlRows(db, "SELECT count(*) FROM PhotoTable");
    const QString event =
        sqlRows(db, "SELECT event_id FROM PhotoTable WHERE filename LIKE '%IMG_0006.DNG'");

    // Shotwell shows no HEIC: refused before any file or row is made.
    EXPECT_THROW(lib->performChangesAndWait([&](ChangeRequests& c) {
        auto& made = c.creationRequestForAsset();
        made.addResource(ResourceType::Photo, QByteArray(64, 'h'),
                         {"IMG_0006.heic", "public.heic"});
        made.derivedFrom = paris->localIdentifier;
    }),
                 PhotoLibraryError);
    EXPECT_FALSE(QFileInfo::exists(here + "/IMG_0006.heic"));
    EXPECT_EQ(sqlRows(db, "SELECT count(*) FROM PhotoTable"), before);

    QString made;
    lib->performChangesAndWait([&](ChangeRequests& c) {
        auto& request = c.creationRequestForAsset();
        request.addResource(ResourceType::Photo, fixtures::makeJpeg({64, 48}),
                            {"IMG_0006.jpeg", "public.jpeg"});
        request.derivedFrom = paris->localIdentifier;
        request.creationDate = paris->creationDate;
        request.creationOffsetSeconds = paris->creationOffsetSeconds;
        made = request.placeholderForCreatedAsset().localIdentifier;
        c.deleteAssets({paris});
        c.creationRequestForAssetCollection("Twinslim Favs")
            .addAssets(std::vector<ObjectPlaceholder>{request.placeholderForCreatedAsset()});
    });
    EXPECT_FALSE(lib->safetyCopyPath().isEmpty());
    // The replacement keeps the identifier its placeholder promised, and the pair's time.
    const auto found = lib->fetchAssetsWithLocalIdentifiers({made});
    ASSERT_EQ(found.size(), 1u);
    EXPECT_EQ(namesOf(found.front()), "IMG_0006.jpeg");
    EXPECT_EQ(sqlRows(db, "SELECT p.rating, p.flags, p.title, p.event_id, "
                          "p.exposure_time = o.exposure_time, p.filesize, p.width, p.height, "
                          "p.md5 IS NOT NULL FROM PhotoTable p, PhotoTable o WHERE p.filename "
                          "LIKE '%IMG_0006.jpeg' AND o.filename LIKE '%IMG_0006.DNG'"),
              QString("3|16|Harbour|%1|1|%2|64|48|1\n")
                  .arg(event.trimmed())
                  .arg(QFileInfo(here + "/IMG_0006.jpeg").size()));
    // The original waits in Shotwell's trash, in no event and no tag, its files in place.
    EXPECT_EQ(sqlRows(db, "SELECT flags & 4, event_id FROM PhotoTable WHERE filename LIKE "
                          "'%IMG_0006.DNG'"),
              "4|-1\n");
    EXPECT_TRUE(QFileInfo::exists(here + "/IMG_0006.DNG"));
    EXPECT_EQ(sqlRows(db, "SELECT name, photo_id_list FROM TagTable WHERE name LIKE '/Family' OR "
                          "name LIKE '/Twinslim%' ORDER BY name"),
              QString("/Family|%1,\n/Twinslim|%1,\n/Twinslim/Twinslim Favs|%1,\n")
                  .arg(shotwell::photoKey(found.front()->catalogId)));
    ASSERT_EQ(lib->trashedAssets().size(), 1u);
    lib.reset();

    // Shotwell itself, started again (it looks at its watched folder): one row for the new
    // file, none added for it, the database whole.
    testsupport::runShotwell(here, copy, true);
    EXPECT_EQ(sqlRows(db, "SELECT count(*) FROM PhotoTable WHERE filename LIKE '%IMG_0006.jpeg'"),
              "1\n");
    EXPECT_EQ(sqlRows(db, "SELECT flags & 4 FROM PhotoTable WHERE filename LIKE '%IMG_0006.DNG'"),
              "4\n");
    EXPECT_EQ(sqlRows(db, "PRAGMA integrity_check"), "ok\n");

    // Emptied as Shotwell's "Empty Trash": the rows go, the files to the desktop's trash.
    lib = PhotoLibrary::open(db);
    EXPECT_EQ(lib->emptyTrash(), 1);
    EXPECT_EQ(sqlRows(db, "SELECT count(*) FROM PhotoTable WHERE filename LIKE '%IMG_0006.DNG'"),
              "0\n");
    EXPECT_EQ(sqlRows(db, "SELECT count(*) FROM BackingPhotoTable WHERE filepath LIKE "
                          "'%IMG_0006.JPG'"),
              "0\n");
    EXPECT_FALSE(QFileInfo::exists(here + "/IMG_0006.DNG"));
    EXPECT_FALSE(QFileInfo::exists(here + "/IMG_0006.JPG"));
}

// The empty library the tests use where Shotwell is absent has the tables and version
// Shotwell writes.
TEST_F(ShotwellLibrary, TheEmptyLibraryOfTheTestsIsWhatShotwellWrites) {
    QTemporaryDir empty;
    const QString fixture = testsupport::makeEmptyShotwellLibrary(empty.path());
    const QString schema = "SELECT type, name, sql FROM sqlite_master ORDER BY type, name; "
                           "SELECT * FROM VersionTable";
    EXPECT_EQ(sqlRows(fixture, schema), sqlRows(database, schema));
}

// While Shotwell has its database open every change is refused, saying to close Shotwell,
// and nothing changes; opening and reading go on, the trash's clean-up waiting for later.
TEST(ShotwellRunning, RefusesEveryChangeButOpeningAndReadingGoOn) {
    QTemporaryDir tmp;
    qputenv("XDG_DATA_HOME", QFile::encodeName(tmp.path() + "/data"));
    qputenv("HOME", QFile::encodeName(tmp.path() + "/home"));
    const QString db = testsupport::makeEmptyShotwellLibrary(tmp.path() + "/shotwell");
    {
        auto lib = PhotoLibrary::open(db);
        lib->performChangesAndWait([](ChangeRequests& c) {
            c.creationRequestForAsset().addResource(
                ResourceType::Photo, fixtures::makeJpeg({32, 24}), {"old.jpg", "public.jpeg"});
        });
        lib->performChangesAndWait(
            [&](ChangeRequests& c) { c.deleteAssets(lib->fetchAssets(MediaType::Image)); });
    }
    // Trashed long ago: the next opening would empty it.
    sqlRows(QFileInfo(db).path() + "/.photo.db.twinslim/state.sqlite",
            "UPDATE trashed SET trashed_at = 0");
    const QString kept = tmp.path() + "/home/Pictures/Twinslim/old.jpg";
    ASSERT_TRUE(QFileInfo::exists(kept));
    const QString before = sqlRows(db, "SELECT id, flags, event_id FROM PhotoTable");

    QProcess shotwell;
    shotwell.start("bash", {"-c", "exec 3<\"$1\"; echo ready; read -r line", "_", db});
    ASSERT_TRUE(shotwell.waitForReadyRead(10000));
    {
        auto lib = PhotoLibrary::open(db);
        EXPECT_EQ(lib->trashedAssets().size(), 1u);
        EXPECT_TRUE(lib->fetchAssets(MediaType::Image).empty());
        try {
            lib->performChangesAndWait([](ChangeRequests& c) {
                c.creationRequestForAsset().addResource(
                    ResourceType::Photo, fixtures::makeJpeg({32, 24}), {"new.jpg", "public.jpeg"});
            });
            ADD_FAILURE() << "a change was made while Shotwell ran";
        } catch (const PhotoLibraryError& e) {
            EXPECT_TRUE(e.description().contains("close Shotwell"))
                << e.description().toStdString();
        }
        EXPECT_THROW(lib->emptyTrash(), PhotoLibraryError);
        EXPECT_THROW(lib->restoreFromTrash({lib->trashedAssets().front().asset->localIdentifier}),
                     PhotoLibraryError);
    }
    EXPECT_EQ(sqlRows(db, "SELECT id, flags, event_id FROM PhotoTable"), before);
    EXPECT_TRUE(QFileInfo::exists(kept));
    EXPECT_FALSE(QFileInfo::exists(tmp.path() + "/home/Pictures/Twinslim/new.jpg"));
    shotwell.closeWriteChannel();
    ASSERT_TRUE(shotwell.waitForFinished(10000));

    // Closed: the opening empties what waited, as Shotwell's "Empty Trash" would.
    PhotoLibrary::open(db);
    EXPECT_EQ(sqlRows(db, "SELECT count(*) FROM PhotoTable"), "0\n");
    EXPECT_FALSE(QFileInfo::exists(kept));
    EXPECT_EQ(QDir(tmp.path() + "/data/Trash/files").entryList(QDir::Files),
              QStringList({"old.jpg"}));
}

// An emptying of Shotwell's trash cut short, as a crash would: before its commit the photos
// stay in the trash with their files and no claim is left in the desktop's trash; after it,
// the next opening moves the files on.
TEST(ShotwellTrash, AnEmptyingCutShortIsUndoneOrFinishedAtTheNextOpening) {
    QTemporaryDir tmp;
    qputenv("XDG_DATA_HOME", QFile::encodeName(tmp.path() + "/data"));
    qputenv("HOME", QFile::encodeName(tmp.path() + "/home"));
    const QString db = testsupport::makeEmptyShotwellLibrary(tmp.path() + "/shotwell");
    {
        auto lib = PhotoLibrary::open(db);
        lib->performChangesAndWait([](ChangeRequests& c) {
            for (const char* name : {"a.jpg", "b.jpg"})
                c.creationRequestForAsset().addResource(
                    ResourceType::Photo, fixtures::makeJpeg({32, 24}), {name, "public.jpeg"});
        });
        lib->performChangesAndWait(
            [&](ChangeRequests& c) { c.deleteAssets(lib->fetchAssets(MediaType::Image)); });
    }
    const QString pictures = tmp.path() + "/home/Pictures/Twinslim";
    const QString trash = tmp.path() + "/data/Trash";
    auto emptyCutAt = [&](const char* point) {
        QProcess p;
        QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
        env.insert("PHOTOLIB_LIBRARY", db);
        env.insert("TWINSLIM_SHOTWELL_CUT", point);
        p.setProcessEnvironment(env);
        p.start(testsupport::photolibPath(), {"trash", "empty"});
        EXPECT_TRUE(p.waitForFinished(60000));
        EXPECT_EQ(p.exitCode(), 137) << p.readAllStandardError().toStdString();
    };

    emptyCutAt("claimed:2");
    EXPECT_EQ(QDir(pictures).entryList(QDir::Files), QStringList({"a.jpg", "b.jpg"}));
    EXPECT_EQ(QDir(trash + "/info").entryList(QDir::Files).size(), 2); // the claims
    PhotoLibrary::open(db, {.purgeExpiredTrash = false});
    EXPECT_TRUE(QDir(trash + "/info").entryList(QDir::Files).isEmpty());
    EXPECT_EQ(sqlRows(db, "SELECT count(*) FROM PhotoTable WHERE flags & 4"), "2\n");

    emptyCutAt("committed");
    EXPECT_EQ(sqlRows(db, "SELECT count(*) FROM PhotoTable"), "0\n");
    EXPECT_EQ(QDir(pictures).entryList(QDir::Files), QStringList({"a.jpg", "b.jpg"}));
    auto lib = PhotoLibrary::open(db, {.purgeExpiredTrash = false});
    EXPECT_TRUE(QDir(pictures).entryList(QDir::Files).isEmpty());
    EXPECT_EQ(QDir(trash + "/files").entryList(QDir::Files), QStringList({"a.jpg", "b.jpg"}));
    EXPECT_TRUE(lib->check().isEmpty()) << lib->check().join('\n').toStdString();
}
