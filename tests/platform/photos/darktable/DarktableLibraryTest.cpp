// A library real darktable made: what the service reads from it, and what its changes leave.
#include "../shared/SqlRows.h"
#include "fixtures/DngFixture.h"
#include "fixtures/ImageFixtures.h"
#include "platform/imaging/XmpSidecar.h"
#include "platform/photos/PhotoLibrary.h"
#include "platform/photos/shared/DurableWrites.h"
#include "support/Darktable.h"
#include "support/ExfatDrive.h"
#include "support/TestSupport.h"

#include <QCryptographicHash>
#include <QDir>
#include <QDirIterator>
#include <QTemporaryDir>
#include <exiv2/exiv2.hpp>
#include <gtest/gtest.h>

using namespace photos;

namespace {

// A RAW+JPEG pair (its JPEG 5 stars and red, its RAW rejected, both tagged "Places|Lyon"), a lone
// JPEG (rejected) with a duplicate darktable made of it, and a pair whose RAW darktable keeps in a
// group of its own (its JPEG green, given 5 stars, then rejected as darktable's reject key does:
// the stars stay beside the reject bit).
const QString setupLua = R"(
local lyon = dt.tags.create("Places|Lyon")
for i = 1, #dt.database do
  local im = dt.database[i]
  if im.filename:match("^IMG_0001%.") then dt.tags.attach(lyon, im) end
  if im.filename == "IMG_0001.JPG" then im.rating = 5; im.red = true end
  if im.filename == "IMG_0001.DNG" then im.rating = -1 end
  if im.filename == "IMG_0004.JPG" and im.duplicate_index == 0 then
    im.rating = -1
    dt.database.duplicate(im)
  end
  if im.filename == "IMG_0005.DNG" then im:group_with() end
  if im.filename == "IMG_0005.JPG" then
    im.green = true
    im.rating = 5
    dt.gui.selection({im})
    dt.gui.action("views/thumbtable/rating", 0, "reject", "activate", 1.0)
    dt.control.sleep(300)
    if im.rating ~= -1 then error("darktable did not reject IMG_0005.JPG") end
  end
end
)";

// A file system that cannot refuse to replace (exFAT, vfat, network shares), while it lives.
struct NoReplaceRefused {
    NoReplaceRefused() { refuseNoReplaceRename = true; }
    ~NoReplaceRefused() { refuseNoReplaceRename = false; }
};

class DarktableLibrary : public ::testing::Test {
protected:
    void SetUp() override {
        TWINSLIM_REQUIRE_DARKTABLE();
        ASSERT_TRUE(tmp.isValid());
        photos = tmp.path() + "/photos";
        libraryDb = tmp.path() + "/darktable/library.db";
        dataDb = tmp.path() + "/darktable/config/data.db";
        for (const auto& [stem, date, raw] :
             {std::tuple{"/IMG_0001", "2024:06:01 10:00:00", true},
              std::tuple{"/IMG_0004", "2024:07:03 12:00:00", false},
              std::tuple{"/IMG_0005", "2024:08:04 13:00:00", true}}) {
            imaging::ExifFields exif;
            exif.dateTimeOriginal = date;
            fixtures::makeJpegFile(photos + stem + ".JPG", {96, 64}, exif);
            if (raw)
                testsupport::writeFile(photos + stem + ".DNG", fixtures::makeDng({96, 64}, date));
        }
        testsupport::makeDarktableLibrary(libraryDb, {photos}, setupLua);
        qputenv("XDG_DATA_HOME", QFile::encodeName(tmp.path() + "/data"));
    }

    AssetPtr named(PhotoLibrary& lib, const QString& name, int version = 0) {
        for (const AssetPtr& a : lib.fetchAssets(MediaType::Image))
            if (a->resources.front()->originalFilename == name && version-- == 0)
                return a;
        return nullptr;
    }

    QByteArray digest(const QString& path) {
        return QCryptographicHash::hash(testsupport::readFile(path), QCryptographicHash::Sha1);
    }

    // Every file of the photo folder, hidden ones too, with a digest of its content.
    QMap<QString, QByteArray> photoFiles() {
        QMap<QString, QByteArray> files;
        for (const QString& name : QDir(photos).entryList(QDir::Files | QDir::Hidden))
            files.insert(name, digest(photos + "/" + name));
        return files;
    }

    // A sidecar's stars and tags as darktable lists them; everything else it holds apart.
    QString marks(const QString& sidecar, std::map<std::string, std::string>* rest = nullptr) {
        const auto data = imaging::parseXmpSidecar(testsupport::readFile(photos + "/" + sidecar));
        Exiv2::XmpData xmp;
        Exiv2::XmpParser::decode(xmp, testsupport::readFile(photos + "/" + sidecar).toStdString());
        for (const auto& d : xmp)
            if (rest && d.key() != "Xmp.xmp.Rating" && d.key() != "Xmp.dc.subject" &&
                d.key() != "Xmp.lr.hierarchicalSubject")
                (*rest)[d.key()] = d.toString();
        return data ? QString("%1 %2 %3")
                          .arg(data->rating.value_or(0))
                          .arg(data->keywords.join(','), data->hierarchicalKeywords.join(','))
                    : QString("not XMP");
    }

    QTemporaryDir tmp;
    QString photos, libraryDb, dataDb;
};

TEST_F(DarktableLibrary, ReadsPairsStarsAndTagsAsDarktableWroteThem) {
    // darktable's configuration folder stands for its library.
    auto lib = PhotoLibrary::open(QFileInfo(libraryDb).path() + "/config/..");
    ASSERT_TRUE(lib->isDarktableLibrary());
    EXPECT_EQ(lib->path(), QFileInfo(libraryDb).absolutePath() + "/library.db");

    // The grouped pair is one item; the lone JPEG and its duplicate two; the pair darktable
    // does not group stays two items.
    const auto assets = lib->fetchAssets(MediaType::Image);
    ASSERT_EQ(assets.size(), 5u)
        << sqlRows(libraryDb, "SELECT id, group_id, filename FROM images").toStdString();
    const AssetPtr pair = named(*lib, "IMG_0001.JPG");
    ASSERT_TRUE(pair);
    ASSERT_GE(pair->resources.size(), 2u);
    EXPECT_EQ(pair->resources[1]->originalFilename, "IMG_0001.DNG");
    EXPECT_EQ(pair->resources[1]->type, ResourceType::AlternatePhoto);
    EXPECT_EQ(pair->resources[0]->fileSize, QFileInfo(photos + "/IMG_0001.JPG").size());
    EXPECT_EQ(pair->resources[1]->fileSize, QFileInfo(photos + "/IMG_0001.DNG").size());
    // Then the sidecars darktable wrote, in the order of their pictures; sizes are asked for
    // the pairs' pictures only.
    ASSERT_EQ(pair->resources.size(), 4u);
    EXPECT_EQ(pair->resources[2]->originalFilename, "IMG_0001.JPG.xmp");
    EXPECT_EQ(pair->resources[3]->originalFilename, "IMG_0001.DNG.xmp");
    EXPECT_EQ(pair->resources[3]->type, ResourceType::AdjustmentData);
    EXPECT_EQ(pair->resources[3]->fileSize, std::nullopt);
    for (int i = 0; i < 4; ++i) {
        const ResourcePtr& r = pair->resources[size_t(i)];
        EXPECT_EQ(r->ordinal, i);
        EXPECT_EQ(r->assetLocalIdentifier, pair->localIdentifier);
        EXPECT_TRUE(r->storedPath.endsWith("/" + r->originalFilename))
            << r->storedPath.toStdString();
        EXPECT_TRUE(QFileInfo(r->storedPath).isFile()) << r->storedPath.toStdString();
    }
    EXPECT_TRUE(pair->localIdentifier.endsWith("/L0/001"));
    // A duplicate's sidecar carries its version; a lone picture's size is not asked for.
    const AssetPtr duplicate = named(*lib, "IMG_0004.JPG", 1);
    ASSERT_TRUE(duplicate);
    ASSERT_EQ(duplicate->resources.size(), 2u);
    EXPECT_EQ(duplicate->resources[1]->originalFilename, "IMG_0004_01.JPG.xmp");
    EXPECT_EQ(duplicate->resources[0]->fileSize, std::nullopt);
    EXPECT_TRUE(pair->isFavorite);
    // The camera's wall-clock time, taken as local time (UTC in the tests).
    EXPECT_EQ(pair->creationDate, QDateTime(QDate(2024, 6, 1), QTime(10, 0), Qt::UTC));
    ASSERT_TRUE(named(*lib, "IMG_0004.JPG", 1));
    EXPECT_FALSE(named(*lib, "IMG_0004.JPG")->isFavorite); // rejected, and not hidden
    // Rejected with its 5 stars kept: no favourite.
    ASSERT_EQ(sqlRows(libraryDb, "SELECT flags & 15 FROM images WHERE filename = 'IMG_0005.JPG'"),
              "13\n");
    ASSERT_TRUE(named(*lib, "IMG_0005.JPG"));
    EXPECT_FALSE(named(*lib, "IMG_0005.JPG")->isFavorite);
    EXPECT_TRUE(named(*lib, "IMG_0005.DNG"));

    // Tags are albums by their whole path; darktable's own are none.
    QStringList titles;
    for (const CollectionPtr& c :
         lib->fetchAssetCollectionsContainingAsset(pair, CollectionType::Album))
        titles << *c->localizedTitle;
    EXPECT_EQ(titles, QStringList({"Places|Lyon"}));
    const auto albums =
        lib->fetchAssetCollections(CollectionType::Album, CollectionSubtype::AlbumRegular, {});
    ASSERT_EQ(albums.size(), 1u);
    EXPECT_EQ(albums[0]->estimatedAssetCount, 1);

    // A picture made from a rejected one is rejected too, in its row and in its sidecar; one
    // made from a pair with a rejected member takes the other's stars. A reject as darktables
    // before 3.0 marked it (6 alone) is one too. They land also where the file system refuses a
    // rename that cannot replace, as exFAT and network shares do.
    sqlRows(libraryDb,
            "UPDATE images SET flags = (flags & ~15) | 6 WHERE filename = 'IMG_0004.JPG' "
            "AND version = 0");
    auto refused = std::make_optional<NoReplaceRefused>();
    lib->performChangesAndWait([&](ChangeRequests& c) {
        for (const char* name : {"IMG_0004", "IMG_0001"}) {
            auto& made = c.creationRequestForAsset();
            made.addResource(ResourceType::Photo, fixtures::makeJpeg({32, 24}),
                             {QString(name) + ".jpeg", "public.jpeg"});
            made.derivedFrom = named(*lib, QString(name) + ".JPG")->localIdentifier;
        }
    });
    EXPECT_EQ(sqlRows(libraryDb, "SELECT flags & 15 FROM images WHERE filename LIKE '%.jpeg' ORDER "
                                 "BY filename"),
              "5\n14\n"); // 14: as darktable marks a rejected picture
    refused.reset();
    EXPECT_EQ(QDir(photos).entryList({".twinslim*"}, QDir::Files | QDir::Hidden), QStringList());
    EXPECT_EQ(marks("IMG_0004.jpeg.xmp"), "-1  ");
    EXPECT_EQ(marks("IMG_0001.jpeg.xmp"), "5 Places,Lyon Places|Lyon");

    // A schema darktable 4.2 did not write is left alone, with why.
    lib.reset();
    sqlRows(libraryDb, "UPDATE db_info SET value = '38' WHERE key = 'version'");
    try {
        PhotoLibrary::open(libraryDb);
        ADD_FAILURE() << "a newer schema was opened";
    } catch (const PhotoLibraryError& e) {
        EXPECT_EQ(e.code(), PhotoLibraryError::Code::NewerCatalog);
        EXPECT_TRUE(e.description().contains("schema version 38")) << e.what();
    }
}

// What the library hands out is freed with it: no item, asset or file keeps itself alive.
TEST_F(DarktableLibrary, ItemsAndTheirFilesAreFreedWithTheLibrary) {
    std::vector<std::weak_ptr<const Asset>> assets;
    std::vector<std::weak_ptr<const AssetResource>> files;
    {
        auto lib = PhotoLibrary::open(libraryDb);
        for (const AssetPtr& a : lib->fetchAssets(MediaType::Image)) {
            assets.push_back(a);
            for (const ResourcePtr& r : a->resources)
                files.push_back(r);
        }
    }
    ASSERT_EQ(assets.size(), 5u);
    ASSERT_GE(files.size(), 5u);
    for (const auto& a : assets)
        EXPECT_TRUE(a.expired());
    for (const auto& r : files)
        EXPECT_TRUE(r.expired());
}

// Deleting one of darktable's duplicates removes its rows and its own sidecar only: the
// picture file stays for the version that remains. Deleting a pair removes every row that
// refers to it. The stars and tags a change gives pictures that stay reach their sidecars as
// darktable writes them, all else there kept, unless darktable is set to write none. A
// failing change leaves both databases and every file as they were.
TEST_F(DarktableLibrary, DeletionKeepsFilesOtherVersionsUseSidecarsFollowAndFailuresChangeNothing) {
    auto lib = PhotoLibrary::open(libraryDb);
    const AssetPtr duplicate = named(*lib, "IMG_0004.JPG", 1);
    const AssetPtr pair = named(*lib, "IMG_0001.JPG");
    const AssetPtr lone = named(*lib, "IMG_0004.JPG"), single = named(*lib, "IMG_0005.JPG");
    ASSERT_TRUE(duplicate && pair && lone && single);
    const CollectionPtr lyon =
        lib->fetchAssetCollections(CollectionType::Album, CollectionSubtype::AlbumRegular, {})
            .at(0);
    std::map<std::string, std::string> loneRest, singleRest, after;
    ASSERT_EQ(marks("IMG_0004.JPG.xmp", &loneRest), "-1  ");
    ASSERT_EQ(marks("IMG_0005.JPG.xmp", &singleRest), "-1  ");
    const auto change = [&](ChangeRequests& c) {
        c.deleteAssets({duplicate, pair});
        c.changeRequestForAsset(lone).favorite = true;
        c.creationRequestForAssetCollection("Picks").addAssets(std::vector{lone});
        c.changeRequestForAssetCollection(lyon)->addAssets(std::vector{single});
    };

    const QByteArray libraryBefore = digest(libraryDb), dataBefore = digest(dataDb);
    const QMap<QString, QByteArray> filesBefore = photoFiles();
    lib->faults().failNextChangeWithError = true;
    EXPECT_THROW(lib->performChangesAndWait(change), PhotoLibraryError);
    EXPECT_EQ(digest(libraryDb), libraryBefore);
    EXPECT_EQ(digest(dataDb), dataBefore);
    EXPECT_EQ(photoFiles(), filesBefore);
    for (const char* part : {"/data/Trash/files", "/data/Trash/info"})
        EXPECT_FALSE(QDir(tmp.path() + part).exists() && !QDir(tmp.path() + part).isEmpty())
            << part;

    lib->performChangesAndWait(change);
    EXPECT_EQ(marks("IMG_0004.JPG.xmp", &after), "5 Picks,Twinslim Twinslim|Picks");
    EXPECT_EQ(after, loneRest);
    after.clear();
    EXPECT_EQ(marks("IMG_0005.JPG.xmp", &after), "-1 Lyon,Places Places|Lyon");
    EXPECT_EQ(after, singleRest);
    EXPECT_EQ(QDir(photos).entryList({".twinslim*"}, QDir::Files | QDir::Hidden), QStringList());
    lib->performChangesAndWait([&](ChangeRequests& c) {
        c.changeRequestForAssetCollection(lyon)->removeAssets({single});
    });
    EXPECT_EQ(marks("IMG_0005.JPG.xmp"), "-1  ");
    const QString rc = QFileInfo(dataDb).path() + "/darktablerc";
    testsupport::writeFile(rc, testsupport::readFile(rc).replace("write_sidecar_files=on import",
                                                                 "write_sidecar_files=never"));
    lib->performChangesAndWait(
        [&](ChangeRequests& c) { c.changeRequestForAsset(lone).favorite = false; });
    EXPECT_EQ(marks("IMG_0004.JPG.xmp"), "5 Picks,Twinslim Twinslim|Picks");

    EXPECT_TRUE(QFile::exists(photos + "/IMG_0004.JPG"));
    EXPECT_TRUE(QFile::exists(photos + "/IMG_0004.JPG.xmp"));
    EXPECT_FALSE(QFile::exists(photos + "/IMG_0004_01.JPG.xmp"));
    for (const char* gone : {"IMG_0001.JPG", "IMG_0001.DNG", "IMG_0001.JPG.xmp"})
        EXPECT_FALSE(QFile::exists(photos + "/" + gone)) << gone;
    EXPECT_EQ(sqlRows(libraryDb, "SELECT filename, version FROM images ORDER BY filename"),
              "IMG_0004.JPG|0\nIMG_0005.DNG|0\nIMG_0005.JPG|0\n");
    for (const char* table :
         {"tagged_images", "color_labels", "meta_data", "history", "history_hash", "module_order"})
        EXPECT_EQ(
            sqlRows(libraryDb, QString("SELECT count(*) FROM %1 WHERE %2 NOT IN (SELECT id "
                                       "FROM images)")
                                   .arg(table, QString(table) == "meta_data" ? "id" : "imgid")),
            "0\n")
            << table;
    EXPECT_EQ(sqlRows(libraryDb, "PRAGMA foreign_key_check"), "");
    EXPECT_TRUE(lib->check().isEmpty()) << lib->check().join('\n').toStdString();

    // Set to write no sidecars, darktable gives a new picture none either; set to write them
    // "after edit", only to one that carries tags.
    const auto makeFrom = [&](const AssetPtr& origin, const QString& name, bool inPicks) {
        lib->performChangesAndWait([&](ChangeRequests& c) {
            auto& made = c.creationRequestForAsset();
            made.addResource(ResourceType::Photo, fixtures::makeJpeg({32, 24}),
                             {name, "public.jpeg"});
            made.derivedFrom = origin->localIdentifier;
            if (inPicks)
                c.changeRequestForAssetCollection(
                     lib->fetchAssetCollections(CollectionType::Album,
                                                CollectionSubtype::AlbumRegular, {})
                         .back())
                    ->addAssets(std::vector{made.placeholderForCreatedAsset()});
        });
    };
    makeFrom(single, "IMG_0005.jpeg", true);
    testsupport::writeFile(rc, testsupport::readFile(rc).replace("write_sidecar_files=never",
                                                                 "write_sidecar_files=after edit"));
    makeFrom(single, "IMG_0006.jpeg", false);
    makeFrom(single, "IMG_0007.jpeg", true);
    EXPECT_EQ(
        QDir(photos).entryList({"*.jpeg*"}, QDir::Files | QDir::Hidden),
        QStringList({"IMG_0005.jpeg", "IMG_0006.jpeg", "IMG_0007.jpeg", "IMG_0007.jpeg.xmp"}));

    // An album of ours goes when its picture is deleted; a later one takes its tag's id. The
    // picture put back from the trash keeps the tags that still exist and joins no other.
    lib->performChangesAndWait([&](ChangeRequests& c) {
        c.creationRequestForAssetCollection("Gone").addAssets(std::vector{lone});
    });
    const QString goneId = sqlRows(dataDb, "SELECT id FROM tags WHERE name = 'Twinslim|Gone'");
    lib->performChangesAndWait([&](ChangeRequests& c) { c.deleteAssets({lone}); });
    lib->performChangesAndWait(
        [&](ChangeRequests& c) { c.creationRequestForAssetCollection("Later"); });
    ASSERT_EQ(sqlRows(dataDb, "SELECT id FROM tags WHERE name = 'Twinslim|Later'"), goneId);
    EXPECT_EQ(lib->restoreFromTrash({lone->localIdentifier}), 1);
    EXPECT_EQ(sqlRows(libraryDb, "ATTACH '" + dataDb +
                                     "' AS d; SELECT t.name FROM images i JOIN "
                                     "tagged_images ti ON ti.imgid = i.id JOIN d.tags t ON t.id = "
                                     "ti.tagid WHERE i.filename = 'IMG_0004.JPG' ORDER BY t.name"),
              "Twinslim|Picks\ndarktable|format|jpg\n");

    // A change cut short after its commit is finished at the next opening: a sidecar it
    // rewrote takes its new content unless it changed since. One cut short before its commit
    // leaves the old one.
    lib.reset();
    const QMap<QString, QByteArray> files = photoFiles();
    const auto rewrite = [&](const QString& temp, const QString& sidecar, const QByteArray& was) {
        testsupport::writeFile(photos + "/" + temp, "<new/>");
        return QString(R"({"op":"rewrite","temp":"%1/%2","final":"%1/%3","before":"%4"})")
            .arg(photos, temp, sidecar, QString(was.toHex()));
    };
    sqlRows(libraryDb + ".twinslim/state.sqlite",
            QString("INSERT INTO journal (state, operations) VALUES ('committed', '[%1,%2]'), "
                    "('planned', '[%3]')")
                .arg(rewrite(".t1", "IMG_0005.JPG.xmp", files["IMG_0005.JPG.xmp"]),
                     rewrite(".t2", "IMG_0004.JPG.xmp", "changed since"),
                     rewrite(".t3", "IMG_0005.DNG.xmp", files["IMG_0005.DNG.xmp"])));
    lib = PhotoLibrary::open(libraryDb);
    QMap<QString, QByteArray> expected = files;
    expected["IMG_0005.JPG.xmp"] = QCryptographicHash::hash("<new/>", QCryptographicHash::Sha1);
    EXPECT_EQ(photoFiles(), expected);
}

// Photos on a real exFAT drive, where nothing refuses to replace: a new picture still lands,
// with its sidecar and no temporary left, and the library opens again.
TEST(DarktableOnExfat, NewPicturesLandOnADriveThatCannotRefuseToReplace) {
    TWINSLIM_REQUIRE_DARKTABLE();
    QTemporaryDir tmp;
    const testsupport::ExfatDrive drive(tmp.path() + "/drive");
    if (!drive.unusable().isEmpty())
        GTEST_SKIP() << drive.unusable().toStdString();
    const QString photos = drive.path() + "/photos";
    const QString libraryDb = tmp.path() + "/darktable/library.db";
    QDir().mkpath(photos);
    fixtures::makeJpegFile(photos + "/IMG_0001.JPG", {96, 64}, {});
    testsupport::makeDarktableLibrary(libraryDb, {photos});
    qputenv("XDG_DATA_HOME", QFile::encodeName(tmp.path() + "/data"));
    auto lib = PhotoLibrary::open(libraryDb);
    const auto assets = lib->fetchAssets(MediaType::Image);
    ASSERT_EQ(assets.size(), 1u);
    lib->performChangesAndWait([&](ChangeRequests& c) {
        auto& made = c.creationRequestForAsset();
        made.addResource(ResourceType::Photo, fixtures::makeJpeg({32, 24}),
                         {"IMG_0001.jpeg", "public.jpeg"});
        made.derivedFrom = assets.front()->localIdentifier;
    });
    EXPECT_TRUE(QFile::exists(photos + "/IMG_0001.jpeg"));
    EXPECT_TRUE(QFile::exists(photos + "/IMG_0001.jpeg.xmp"));
    EXPECT_EQ(QDir(photos).entryList({".twinslim*"}, QDir::Files | QDir::Hidden), QStringList());
    lib.reset();
    EXPECT_EQ(PhotoLibrary::open(libraryDb)->fetchAssets(MediaType::Image).size(), 2u);
    qunsetenv("XDG_DATA_HOME");
}

} // namespace
