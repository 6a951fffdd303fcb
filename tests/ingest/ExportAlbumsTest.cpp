#include "core/LibraryModel.h"
#include "core/TestLibrary.h"
#include "library/PhotoLibraryOperations.h"
#include "support/AwaitTask.h"

using namespace twinslim;
using testsupport::awaitTask;

namespace {

QString expectedMessage(int favs, int others) {
    return QString(
               "Added %1 to “Twinslim Favs” and %2 to “Twinslim NonFavs”.\n\n"
               "In Photos, export each album as HEIC or JPEG (keep original names) to a folder:\n"
               "• “Twinslim Favs” → Full Size\n"
               "• “Twinslim NonFavs” → Custom Size, max ~3120 px\n\n"
               "Then choose “Ingest Exported Folder…” for each.")
        .arg(favs)
        .arg(others);
}

} // namespace

class ExportAlbumsTest : public ::testing::Test {
protected:
    // Three favourite and two other pairs, scanned into the model.
    void SetUp() override {
        const QDateTime recent = QDateTime::currentDateTimeUtc().addDays(-1);
        for (int i = 0; i < 5; ++i)
            (i < 3 ? favIds : otherIds)
                << lib.add(TestLibrary::pair(recent, 1000 * (10 - i), i < 3));
        awaitTask(model.scan());
        ASSERT_EQ(model.pairs().size(), 5u);
    }
    TestLibrary lib;
    LibraryModel model;
    QStringList favIds, otherIds;
};

TEST_F(ExportAlbumsTest, SplitsBySelectedFavouritesKeepingOrderAndIsIdempotent) {
    // Nothing selected: a request for a selection, and the library is not touched.
    lib.library().faults().failNextChangeWithError = true;
    awaitTask(model.createExportAlbums());
    EXPECT_EQ(model.infoMessage(), QString("Select some pairs first."));
    EXPECT_TRUE(model.showInfoAlert());
    EXPECT_TRUE(lib.library().faults().failNextChangeWithError);
    EXPECT_EQ(album("Twinslim Favs"), nullptr);
    lib.library().faults().failNextChangeWithError = false;

    // A second run finds both albums full and changes nothing.
    model.selectAllVisible();
    for (int run = 0; run < 2; ++run) {
        model.setShowInfoAlert(false);
        awaitTask(model.createExportAlbums());
        EXPECT_EQ(model.infoMessage(), expectedMessage(3, 2));
        EXPECT_TRUE(model.showInfoAlert());
        // Largest RAW first, which is the creation order here.
        EXPECT_EQ(idsOf(assetsInAlbumTitled("Twinslim Favs")), favIds);
        EXPECT_EQ(idsOf(assetsInAlbumTitled("Twinslim NonFavs")), otherIds);
        EXPECT_EQ(lib.library()
                      .fetchAssetCollections(photos::CollectionType::Album,
                                             photos::CollectionSubtype::Any)
                      .size(),
                  2u);
    }
}

TEST_F(ExportAlbumsTest, OnlyFavouritesTouchOnlyTheFavouritesAlbumAndAnExistingOneIsReused) {
    lib.addAlbum("Twinslim Favs", {});
    lib.addAlbum("Twinslim Favs", {}); // a second of the same title is never used
    model.setSelectedIDs({favIds[1]});
    awaitTask(model.createExportAlbums());
    EXPECT_EQ(model.infoMessage(), expectedMessage(1, 0));
    EXPECT_EQ(album("Twinslim NonFavs"), nullptr);
    const auto albums = lib.library().fetchAssetCollections(photos::CollectionType::Album,
                                                            photos::CollectionSubtype::Any);
    ASSERT_EQ(albums.size(), 2u);
    EXPECT_EQ(idsOf(lib.library().fetchAssetsInAssetCollection(albums[0])),
              QStringList({favIds[1]}));
    EXPECT_TRUE(lib.library().fetchAssetsInAssetCollection(albums[1]).empty());
}

TEST_F(ExportAlbumsTest, ALibraryFailureIsReportedAndEarlierAlbumsStay) {
    model.selectAllVisible();
    // Creating and filling the favourites album pass; creating the other album fails.
    lib.library().faults().changesBeforeFailure = 2;
    lib.library().faults().failNextChangeWithoutError = true;
    awaitTask(model.createExportAlbums());
    EXPECT_EQ(model.infoMessage(),
              QString("Failed to create albums: The Photos library change failed."));
    EXPECT_TRUE(model.showInfoAlert());
    EXPECT_EQ(idsOf(assetsInAlbumTitled("Twinslim Favs")), favIds);
    EXPECT_EQ(album("Twinslim NonFavs"), nullptr);

    // The library's own error is passed on in its own words.
    lib.library().faults().failNextChangeWithError = true;
    awaitTask(model.createExportAlbums());
    EXPECT_EQ(model.infoMessage(),
              QString("Failed to create albums: The photo library change failed (injected)."));
    awaitTask(model.createExportAlbums());
    EXPECT_EQ(model.infoMessage(), expectedMessage(3, 2));
}
