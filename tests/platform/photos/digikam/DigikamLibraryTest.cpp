// A digiKam collection as a photo library: what Twinslim reads of a library digiKam itself
// made, and which files and configurations it opens or refuses.
#include "platform/photos/PhotoLibraryError.h"
#include "platform/photos/digikam/DigikamSnapshot.h"
#include "support/Digikam.h"
#include "support/TestSupport.h"

#include "../shared/SqlRows.h"

#include <QDir>
#include <QFile>
#include <QProcess>
#include <QTemporaryDir>
#include <QTimeZone>
#include <gtest/gtest.h>
#include <map>
#include <memory>

using namespace photos;

namespace {

// One library for the whole suite: digiKam takes a minute to make one.
class DigikamLibrary : public ::testing::Test {
protected:
    static void SetUpTestSuite() {
        if (!testsupport::digikamMissing().isEmpty())
            return;
        tmp = std::make_unique<QTemporaryDir>();
        photos = tmp->path() + "/photos";
        testsupport::makeMarkedCameraFolder(photos);
        // A five-star picture the person then rejected with digiKam's pick label.
        ASSERT_EQ(
            QProcess::execute("exiftool", {"-q", "-overwrite_original", "-XMP-xmp:Rating=5",
                                           "-XMP-digiKam:PickLabel=1", photos + "/IMG_0006.JPG"}),
            0);
        testsupport::makeDigikamLibrary(photos, tmp->path() + "/digikam");
        database = photos + "/digikam4.db";
    }
    static void TearDownTestSuite() { tmp.reset(); }
    void SetUp() override { TWINSLIM_REQUIRE_DIGIKAM(); }

    // A copy of the library's database to change, beside the photos so that it names them.
    QString copyOfDatabase(const QString& name) {
        const QString copy = photos + "/" + name;
        QFile::remove(copy);
        EXPECT_TRUE(QFile::copy(database, copy));
        return copy;
    }

    static std::unique_ptr<QTemporaryDir> tmp;
    static QString photos, database;
};
std::unique_ptr<QTemporaryDir> DigikamLibrary::tmp;
QString DigikamLibrary::photos, DigikamLibrary::database;

QString namesOf(const AssetPtr& asset) {
    QStringList names;
    for (const ResourcePtr& r : asset->resources)
        names << r->originalFilename;
    return names.join(' ');
}

} // namespace

TEST_F(DigikamLibrary, ReadsItemsDatesPlacesFavouritesAndTagAlbums) {
    DigikamStore store(database);
    std::map<QString, AssetPtr> byNames;
    for (const AssetPtr& asset : store.assets(MediaType::Image, {}))
        byNames[namesOf(asset)] = asset;
    // A RAW and a picture of one name are one item, the picture first; lone files stay alone.
    QStringList items;
    for (const auto& [names, asset] : byNames)
        items << names;
    EXPECT_EQ(items, QStringList({"IMG_0001.JPG IMG_0001.CR3", "IMG_0002.JPG IMG_0002.ARW",
                                  "IMG_0003.JPG IMG_0003.DNG", "IMG_0004.JPG", "IMG_0005.HEIC",
                                  "IMG_0006.JPG IMG_0006.DNG"}));
    const AssetPtr lyon = byNames.at("IMG_0001.JPG IMG_0001.CR3");
    EXPECT_EQ(lyon->resources[0]->type, ResourceType::Photo);
    EXPECT_EQ(lyon->resources[1]->type, ResourceType::AlternatePhoto);
    EXPECT_EQ(lyon->resources[1]->uniformTypeIdentifier, "com.canon.cr3-raw-image");
    EXPECT_EQ(lyon->resources[1]->storedPath, photos + "/IMG_0001.CR3");
    EXPECT_EQ(lyon->resources[0]->fileSize, QFileInfo(photos + "/IMG_0001.JPG").size());
    // digiKam keeps the camera's wall-clock time of the picture (its RAW was taken elsewhen).
    EXPECT_EQ(lyon->creationDate,
              QDateTime(QDate(2019, 10, 26), QTime(16, 7, 24), QTimeZone::systemTimeZone()));
    ASSERT_TRUE(lyon->location);
    EXPECT_NEAR(lyon->location->latitude, 1.2903, 1e-4);
    EXPECT_NEAR(lyon->location->longitude, 103.8519, 1e-4);
    // Five stars make a favourite; five stars then rejected do not; three stars do not.
    EXPECT_TRUE(lyon->isFavorite);
    EXPECT_TRUE(byNames.at("IMG_0004.JPG")->isFavorite);
    EXPECT_FALSE(byNames.at("IMG_0006.JPG IMG_0006.DNG")->isFavorite);
    EXPECT_FALSE(byNames.at("IMG_0003.JPG IMG_0003.DNG")->isFavorite);
    EXPECT_FALSE(byNames.at("IMG_0002.JPG IMG_0002.ARW")->location);

    // Albums: the user's tags by their whole path, digiKam's internal ones left out.
    std::map<QString, QStringList> albums;
    for (const CollectionPtr& album :
         store.collections(CollectionType::Album, CollectionSubtype::Any, {})) {
        QStringList members;
        for (const AssetPtr& asset : store.assetsInCollection(*album, {}))
            members << namesOf(asset);
        albums[*album->localizedTitle] = members;
        EXPECT_EQ(album->estimatedAssetCount, members.size());
    }
    EXPECT_EQ(albums.at("Places/France/Lyon"), QStringList{"IMG_0001.JPG IMG_0001.CR3"});
    EXPECT_EQ(albums.at("Family").size(), 2);
    for (const auto& [title, members] : albums)
        EXPECT_FALSE(title.startsWith("_Digikam_Internal_Tags_") || title.contains("Pick Label") ||
                     title.contains("Color Label") || title == "People/Unknown")
            << title.toStdString();
    const auto ofLyon = store.collectionsContaining(*lyon, CollectionType::Album);
    ASSERT_EQ(ofLyon.size(), 1u);
    EXPECT_EQ(*ofLyon.front()->localizedTitle, "Places/France/Lyon");

    // Only the library's own files are handed out.
    EXPECT_EQ(store.filePath(*lyon->resources[1]), photos + "/IMG_0001.CR3");
    AssetResource stranger = *lyon->resources[1];
    stranger.storedPath = "/etc/passwd";
    EXPECT_EQ(store.filePath(stranger), "");
    EXPECT_EQ(store.check(), QStringList());

    // digiKam knows a file by its fingerprint and its modification time, as written here.
    const QStringList rows =
        sqlRows(database, "SELECT name, uniqueHash, modificationDate FROM Images").split('\n');
    EXPECT_EQ(rows.size(), 11);
    for (const QString& row : rows) {
        const QStringList f = row.split('|');
        if (f.size() < 3)
            continue;
        EXPECT_EQ(digikam::uniqueHashOf(photos + "/" + f[0]), f[1]) << f[0].toStdString();
        EXPECT_EQ(digikam::modificationText(photos + "/" + f[0]), f[2]) << f[0].toStdString();
    }
}

// The images digiKam no longer shows (in its trash, obsolete) are no items; identifiers are the
// library's own, and a second library holding the same rows gives others.
TEST_F(DigikamLibrary, LeavesOutWhatDigikamHidesAndKeepsIdentifiersItsOwn) {
    const QString copy = copyOfDatabase("other.db");
    sqlRows(copy, "UPDATE Images SET status = 3 WHERE name = 'IMG_0004.JPG'; UPDATE Images SET "
                  "status = 4 WHERE name = 'IMG_0001.CR3'");
    DigikamStore original(database), changed(copy);
    QStringList names, ids, otherIds;
    for (const AssetPtr& a : changed.assets(MediaType::Image, {})) {
        names << namesOf(a);
        otherIds << a->localIdentifier;
    }
    for (const AssetPtr& a : original.assets(MediaType::Image, {}))
        ids << a->localIdentifier;
    EXPECT_FALSE(names.contains("IMG_0004.JPG"));
    EXPECT_TRUE(names.contains("IMG_0001.JPG"));
    for (const QString& id : otherIds) {
        EXPECT_FALSE(ids.contains(id));
        EXPECT_TRUE(id.endsWith("/L0/001"));
    }
    EXPECT_EQ(DigikamStore(database).assets(MediaType::Image, {}).front()->localIdentifier,
              ids.front());
}

TEST_F(DigikamLibrary, OpensTheDatabaseItsFolderOrDigikamsConfigurationAndRefusesTheRest) {
    EXPECT_EQ(DigikamStore::databaseFor(photos), database);
    EXPECT_EQ(DigikamStore::databaseFor(database), database);
    const QString rc = tmp->path() + "/digikam/home/.config/digikamrc";
    ASSERT_TRUE(QFileInfo(rc).isFile());
    EXPECT_EQ(QDir::cleanPath(DigikamStore::databaseFor(rc)), database);

    // digiKam on a database server, and a library of another schema, are refused with reasons.
    const QString server = tmp->path() + "/server/digikamrc";
    QDir().mkpath(tmp->path() + "/server");
    testsupport::writeFile(server, testsupport::readFile(rc).replace("QSQLITE", "QMYSQL"));
    try {
        DigikamStore::databaseFor(server);
        ADD_FAILURE() << "a MySQL set-up was taken";
    } catch (const PhotoLibraryError& e) {
        EXPECT_TRUE(e.description().contains("MySQL or MariaDB")) << e.description().toStdString();
    }
    const QString newer = copyOfDatabase("newer.db");
    sqlRows(newer, "UPDATE Settings SET value = '16' WHERE keyword = 'DBVersion'");
    try {
        DigikamStore store(newer);
        ADD_FAILURE() << "a newer schema was opened";
    } catch (const PhotoLibraryError& e) {
        EXPECT_TRUE(e.description().contains("schema version 16")) << e.description().toStdString();
    }
    // Other SQLite files and plain files are no digiKam library.
    const QString other = tmp->path() + "/other.db";
    sqlRows(other, "CREATE TABLE images (id INTEGER)");
    EXPECT_EQ(DigikamStore::databaseFor(other), "");
    EXPECT_EQ(DigikamStore::databaseFor(photos + "/IMG_0004.JPG"), "");
    EXPECT_EQ(DigikamStore::databaseFor(tmp->path()), "");
    EXPECT_THROW(DigikamStore{other}, PhotoLibraryError);
}

// The empty library the other kinds' tests share with this one is what digiKam writes: the same
// schema, settings and tags as one digiKam makes here now.
TEST_F(DigikamLibrary, TheEmptyLibraryOfTheTestsIsWhatDigikamWrites) {
    const QString kept = tmp->path() + "/kept";
    testsupport::makeEmptyDigikamLibrary(kept);
    const QString made = testsupport::emptyDigikamDatabase();
    for (const char* query :
         {"SELECT sql FROM sqlite_master ORDER BY name",
          "SELECT keyword FROM Settings WHERE keyword NOT IN ('databaseUUID', 'Scanned') ORDER BY "
          "keyword",
          "SELECT keyword, value FROM Settings WHERE keyword LIKE 'DBVersion%' OR keyword = "
          "'uniqueHashVersion' ORDER BY keyword",
          "SELECT id, pid, name FROM Tags ORDER BY id", "SELECT count(*) FROM Images"})
        EXPECT_EQ(sqlRows(kept + "/digikam4.db", query), sqlRows(made, query)) << query;
}
