// A folder library's sidecars: which file a sidecar's marks belong to, the name a new sidecar
// takes in each folder, what the index keeps between openings, and what a change, the trash
// and an interrupted change leave behind.
#include "../shared/SqlRows.h"
#include "fixtures/DngFixture.h"
#include "fixtures/ImageFixtures.h"
#include "platform/imaging/XmpSidecar.h"
#include "platform/photos/PhotoLibrary.h"
#include "platform/photos/PhotoLibraryError.h"
#include "platform/photos/folder/FolderStore.h"
#include "platform/photos/shared/FreedesktopTrash.h"
#include "support/TestSupport.h"

#include <QDir>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QTemporaryDir>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

using namespace photos;
using testsupport::readFile;
using testsupport::writeFile;

namespace {

QByteArray sidecar(int rating, const QStringList& subjects, const QByteArray& extra = {}) {
    QByteArray bag;
    for (const QString& s : subjects)
        bag += "<rdf:li>" + s.toUtf8() + "</rdf:li>";
    return "<?xml version=\"1.0\"?>\n<x:xmpmeta xmlns:x=\"adobe:ns:meta/\"><rdf:RDF "
           "xmlns:rdf=\"http://www.w3.org/1999/02/22-rdf-syntax-ns#\"><rdf:Description "
           "rdf:about=\"\" xmlns:xmp=\"http://ns.adobe.com/xap/1.0/\" "
           "xmlns:exif=\"http://ns.adobe.com/exif/1.0/\" "
           "xmlns:dc=\"http://purl.org/dc/elements/1.1/\" xmp:Rating=\"" +
           QByteArray::number(rating) + "\"" + extra + "><dc:subject><rdf:Bag>" + bag +
           "</rdf:Bag></dc:subject></rdf:Description></rdf:RDF></x:xmpmeta>\n";
}

class FolderSidecar : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_TRUE(tmp.isValid());
        root = tmp.path() + "/Pictures";
        qputenv("XDG_DATA_HOME", QFile::encodeName(tmp.path() + "/data"));
        jpeg = tmp.path() + "/camera.jpg";
        fixtures::makeJpegFile(jpeg, {32, 24});
        imaging::ExifFields placed;
        placed.latitude = 45.5;
        placed.longitude = 4.75;
        fixtures::makeJpegFile(tmp.path() + "/placed.jpg", {32, 24}, placed);
        for (const char* folder : {"Stem", "Ext", "Other"})
            QDir().mkpath(root + "/" + folder);
        // A picture at the top, so that the folders' files are not the tree's first.
        QFile::copy(jpeg, root + "/A.JPG");
        // A folder whose sidecars are named NAME.xmp, one of them with 4 stars and a western place.
        picture("Stem/IMG_5.JPG");
        writeFile(
            root + "/Stem/IMG_5.xmp",
            sidecar(4, {"Birds"}, " exif:GPSLatitude=\"48,51.0N\" exif:GPSLongitude=\"2,21.0W\""));
        picture("Stem/IMG_6.JPG");
        // One whose sidecars are named NAME.EXT.xmp; a picture whose own place beats its
        // sidecar's.
        picture("Ext/IMG_7.JPG");
        writeFile(root + "/Ext/IMG_7.JPG.xmp", sidecar(5, {"Holiday", "Lyon"}));
        QFile::copy(tmp.path() + "/placed.jpg", root + "/Ext/IMG_8.JPG");
        writeFile(root + "/Ext/IMG_8.JPG.xmp",
                  sidecar(3, {}, " exif:GPSLatitude=\"10,0.0N\" exif:GPSLongitude=\"20,0.0E\""));
        picture("Ext/IMG_9.JPG");
        // A link named like a picture is none of the tree's.
        QFile::link(jpeg, root + "/Ext/LINK.JPG");
        // A sidecar left behind by a picture deleted elsewhere keeps its name taken.
        picture("Other/IMG_1.JPG");
        writeFile(root + "/Other/IMG_1 (1).JPG.xmp", sidecar(1, {"Stray"}));
    }
    void TearDown() override { qunsetenv("XDG_DATA_HOME"); }

    void picture(const QString& relative) { QFile::copy(jpeg, root + "/" + relative); }
    AssetPtr at(PhotoLibrary& lib, const QString& relative) {
        for (const AssetPtr& a : lib.fetchAssets(MediaType::Image))
            if (a->resources.front()->storedPath == relative)
                return a;
        ADD_FAILURE() << "no item at " << relative.toStdString();
        return nullptr;
    }
    std::optional<int> ratingIn(const QString& relative) {
        const auto data = imaging::parseXmpSidecar(readFile(root + "/" + relative));
        return data ? data->rating : std::nullopt;
    }
    QStringList albumTitles(PhotoLibrary& lib, const AssetPtr& asset) {
        QStringList titles;
        for (const auto& a : lib.fetchAssetCollectionsContainingAsset(asset, CollectionType::Album))
            titles << *a->localizedTitle;
        titles.sort();
        return titles;
    }

    QTemporaryDir tmp;
    QString root, jpeg;
};

} // namespace

TEST_F(FolderSidecar, MarksBelongToTheirFilesAndSurviveReopeningAndInPlaceEdits) {
    auto lib = PhotoLibrary::open(root);
    EXPECT_EQ(lib->fetchAssets(MediaType::Image).size(), 7u);
    EXPECT_TRUE(at(*lib, "Ext/IMG_7.JPG")->isFavorite);
    EXPECT_FALSE(at(*lib, "Stem/IMG_5.JPG")->isFavorite); // 4 stars are no favourite
    const auto west = at(*lib, "Stem/IMG_5.JPG")->location;
    ASSERT_TRUE(west);
    EXPECT_NEAR(west->latitude, 48.85, 1e-9);
    EXPECT_NEAR(west->longitude, -2.35, 1e-9);
    const auto own = at(*lib, "Ext/IMG_8.JPG")->location;
    ASSERT_TRUE(own);
    EXPECT_NEAR(own->latitude, 45.5, 1e-4);
    EXPECT_NEAR(own->longitude, 4.75, 1e-4);

    // Read again from the index: the same marks and albums.
    lib.reset();
    lib = PhotoLibrary::open(root);
    EXPECT_TRUE(at(*lib, "Ext/IMG_7.JPG")->isFavorite);
    EXPECT_EQ(albumTitles(*lib, at(*lib, "Ext/IMG_7.JPG")), QStringList({"Holiday", "Lyon"}));

    // Another program changes a sidecar in place, at the same length: it is read again.
    const QString stem = root + "/Stem/IMG_5.xmp";
    QByteArray text = readFile(stem);
    text.replace("xmp:Rating=\"4\"", "xmp:Rating=\"5\"");
    struct stat before {};
    ASSERT_EQ(::stat(QFile::encodeName(stem).constData(), &before), 0);
    writeFile(stem, text);
    const timespec times[2] = {{before.st_mtim.tv_sec + 2, 0}, {before.st_mtim.tv_sec + 2, 0}};
    ASSERT_EQ(::utimensat(AT_FDCWD, QFile::encodeName(stem).constData(), times, 0), 0);
    struct stat after {};
    ASSERT_EQ(::stat(QFile::encodeName(stem).constData(), &after), 0);
    ASSERT_TRUE(after.st_ino == before.st_ino && after.st_size == before.st_size);
    EXPECT_TRUE(at(*lib, "Stem/IMG_5.JPG")->isFavorite);
}

TEST_F(FolderSidecar, NewSidecarsAndFilesTakeTheFoldersFormAndFreeNames) {
    auto lib = PhotoLibrary::open(root);
    lib->setDeletionConfirmationHandler([](int, std::function<void(bool)> reply) { reply(true); });
    const QString dng = tmp.path() + "/camera.dng";
    writeFile(dng, fixtures::makeDng({32, 24}));
    QString fresh, pair, named;
    lib->performChangesAndWait([&](ChangeRequests& c) {
        c.changeRequestForAsset(at(*lib, "Stem/IMG_6.JPG")).favorite = true;
        c.changeRequestForAsset(at(*lib, "Ext/IMG_9.JPG")).favorite = true;
        c.changeRequestForAsset(at(*lib, "Ext/IMG_8.JPG")).favorite = false; // a 3 stays 3
        auto& made = c.creationRequestForAsset();
        made.addResource(ResourceType::Photo, jpeg, {"NEW.JPG", "public.jpeg"});
        made.derivedFrom = at(*lib, "Ext/IMG_9.JPG")->localIdentifier;
        made.favorite = true;
        fresh = made.placeholderForCreatedAsset().localIdentifier;
        auto& both = c.creationRequestForAsset();
        both.addResource(ResourceType::Photo, jpeg, {"PAIR.JPG", "public.jpeg"});
        both.addResource(ResourceType::AlternatePhoto, dng, {"PAIR.DNG", "com.adobe.raw-image"});
        both.derivedFrom = at(*lib, "Stem/IMG_6.JPG")->localIdentifier;
        pair = both.placeholderForCreatedAsset().localIdentifier;
        auto& other = c.creationRequestForAsset();
        other.addResource(ResourceType::Photo, jpeg, {"IMG_1.JPG", "public.jpeg"});
        other.derivedFrom = at(*lib, "Other/IMG_1.JPG")->localIdentifier;
        named = other.placeholderForCreatedAsset().localIdentifier;
    });
    EXPECT_EQ(ratingIn("Stem/IMG_6.xmp"), 5);
    EXPECT_FALSE(QFile::exists(root + "/Stem/IMG_6.JPG.xmp"));
    EXPECT_EQ(ratingIn("Ext/IMG_9.JPG.xmp"), 5);
    EXPECT_EQ(ratingIn("Ext/IMG_8.JPG.xmp"), 3);
    // A free name is kept; a favourite made from an item without a sidecar gets one.
    EXPECT_EQ(ratingIn("Ext/NEW.JPG.xmp"), 5);
    const auto made = [&](const QString& id) {
        const auto found = lib->fetchAssetsWithLocalIdentifiers({id});
        return found.size() == 1 ? found.front() : nullptr;
    };
    ASSERT_TRUE(made(fresh) && made(pair) && made(named));
    EXPECT_EQ(made(fresh)->resources.front()->storedPath, "Ext/NEW.JPG");
    EXPECT_TRUE(made(fresh)->isFavorite);
    // The picture first, then its RAW.
    ASSERT_EQ(made(pair)->resources.size(), 2u);
    EXPECT_EQ(made(pair)->resources[0]->storedPath, "Stem/PAIR.JPG");
    EXPECT_EQ(made(pair)->resources[1]->storedPath, "Stem/PAIR.DNG");
    EXPECT_EQ(made(named)->resources.front()->storedPath, "Other/IMG_1 (2).JPG");
    EXPECT_EQ(ratingIn("Other/IMG_1 (1).JPG.xmp"), 1);

    // An add that must be new fails for a member of a keyword album, and changes nothing.
    const AssetPtr member = at(*lib, "Ext/IMG_7.JPG");
    const QByteArray sidecarBefore = readFile(root + "/Ext/IMG_7.JPG.xmp");
    CollectionPtr holiday;
    for (const auto& a : lib->fetchAssetCollectionsContainingAsset(member, CollectionType::Album))
        if (*a->localizedTitle == "Holiday")
            holiday = a;
    ASSERT_TRUE(holiday);
    try {
        lib->performChangesAndWait([&](ChangeRequests& c) {
            c.changeRequestForAssetCollection(holiday)->addNewMembers({member});
        });
        ADD_FAILURE() << "a member was added again";
    } catch (const PhotoLibraryError& e) {
        EXPECT_EQ(e.code(), PhotoLibraryError::Code::AlreadyMember);
    }
    EXPECT_EQ(readFile(root + "/Ext/IMG_7.JPG.xmp"), sidecarBefore);

    // What the desktop's trash no longer holds is no longer listed as deleted.
    lib->performChangesAndWait([&](ChangeRequests& c) { c.deleteAssets({member}); });
    ASSERT_EQ(lib->trashedAssets().size(), 1u);
    QDir(tmp.path() + "/data/Trash").removeRecursively();
    EXPECT_TRUE(lib->trashedAssets().empty());
}

// The store itself: a purge at the moment of a deletion, paths out of the tree, and changes
// cut short before their commit.
TEST_F(FolderSidecar, PurgesAtTheCutOffNeverReadsOutOfTheTreeAndUndoesCutShortChanges) {
    const QDateTime now = QDateTime::currentDateTimeUtc();
    {
        FolderStore store(root);
        const auto items = store.assets(MediaType::Image, {});
        AssetPtr nine;
        for (const AssetPtr& a : items)
            if (a->resources.front()->storedPath == "Ext/IMG_9.JPG")
                nine = a;
        ASSERT_TRUE(nine);
        ChangeRequests c;
        c.deleteAssets({nine});
        store.apply(c, now, [] {});
        EXPECT_EQ(store.purgeTrashedBefore(now), 1);
        EXPECT_TRUE(store.trashed().empty());

        AssetResource outside;
        outside.storedPath = "../camera.jpg";
        const int fd = store.openForReading(outside);
        EXPECT_LT(fd, 0);
        if (fd >= 0)
            ::close(fd);
        EXPECT_TRUE(store.filePath(outside).isEmpty());
    }

    // A change cut short before its commit: a temporary file, an original in the trash, and
    // another whose place a new file took meanwhile. The next opening undoes what it can.
    const QString temp = "Stem/.photolib-cut-0.tmp";
    writeFile(root + "/" + temp, "half written");
    const TrashEntry moved = FreedesktopTrash::moveToTrash(root + "/Stem/IMG_6.JPG", now);
    const TrashEntry taken = FreedesktopTrash::moveToTrash(root + "/Ext/IMG_8.JPG", now);
    writeFile(root + "/Ext/IMG_8.JPG", "a newer file");
    QJsonArray operations{QJsonObject{{"op", "place"}, {"temp", temp}, {"final", "Stem/NEW.JPG"}}};
    for (const TrashEntry& e : {moved, taken})
        operations.append(QJsonObject{{"op", "trashed"},
                                      {"folder", e.trashFolder},
                                      {"name", e.name},
                                      {"original", e.originalPath}});
    sqlRows(root + "/.photolib/state.sqlite",
            "INSERT INTO journal (state, operations) VALUES ('planned', '" +
                QString::fromUtf8(QJsonDocument(operations).toJson(QJsonDocument::Compact)) + "')");

    FolderStore reopened(root);
    EXPECT_FALSE(QFile::exists(root + "/" + temp));
    EXPECT_TRUE(QFile::exists(root + "/Stem/IMG_6.JPG"));
    EXPECT_FALSE(FreedesktopTrash::contains(moved));
    EXPECT_EQ(readFile(root + "/Ext/IMG_8.JPG"), "a newer file");
    EXPECT_TRUE(FreedesktopTrash::contains(taken));
    EXPECT_TRUE(reopened.check().filter("interrupted").isEmpty());
}

// The sidecar code itself: a reject is read, merged sidecars take the highest rating and the
// first label, a parent another keyword still spells out stays, places keep their hemisphere.
TEST_F(FolderSidecar, XmpReadsRejectsMergesAndWritesPlacesInTheirHemisphere) {
    EXPECT_EQ(imaging::parseXmpSidecar(sidecar(-1, {}))->rating, -1);
    imaging::XmpSidecarEdit merge;
    merge.mergeFrom = QList<QByteArray>{sidecar(5, {}, " xmp:Label=\"Red\""), sidecar(2, {})};
    const auto merged = imaging::parseXmpSidecar(imaging::editXmpSidecar({}, merge));
    ASSERT_TRUE(merged);
    EXPECT_EQ(merged->rating, 5);
    EXPECT_EQ(merged->label, "Red");

    imaging::XmpSidecarEdit add, remove;
    add.addHierarchicalKeywords = {"Places|France|Lyon", "Places|France|Paris"};
    remove.removeKeywords = {"Lyon"};
    const auto left =
        imaging::parseXmpSidecar(imaging::editXmpSidecar(imaging::editXmpSidecar({}, add), remove));
    ASSERT_TRUE(left);
    EXPECT_EQ(left->keywords, QStringList({"Places", "France", "Paris"}));
    EXPECT_EQ(left->hierarchicalKeywords, QStringList{"Places|France|Paris"});

    imaging::XmpSidecarEdit place;
    place.location = std::pair{-33.5, -70.25};
    const auto placed = imaging::parseXmpSidecar(imaging::editXmpSidecar({}, place));
    ASSERT_TRUE(placed && placed->latitude && placed->longitude);
    EXPECT_NEAR(*placed->latitude, -33.5, 1e-6);
    EXPECT_NEAR(*placed->longitude, -70.25, 1e-6);
}
