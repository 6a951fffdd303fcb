#include "LibraryFixture.h"

using namespace photos;

namespace {
QDateTime at(int day, int hour = 12) {
    return QDateTime(QDate(2024, 5, day), QTime(hour, 0), Qt::UTC);
}
} // namespace

using FetchTest = LibraryContract;
LIBRARY_CONTRACT(FetchTest);

TEST_P(FetchTest, DateConditionsAreInclusiveAtBothBoundsAndSortEitherWay) {
    // Shotwell keeps times to the second.
    const int tick = GetParam() == LibraryKind::Shotwell ? 1000 : 1;
    const QString before = add({at(1, 11).addMSecs(-tick)});
    const QString lower = add({at(1, 11)});
    const QString upper = add({at(5, 13)});
    const QString inside = add({at(3)});
    const QString after = add({at(5, 13).addMSecs(tick)});
    const QString undated = add({std::nullopt});

    FetchOptions o;
    o.sortDescriptors = {{"creationDate", true}};
    o.predicate = Predicate::andPredicate(
        {Predicate::creationDateAtLeast(at(1, 11)), Predicate::creationDateAtMost(at(5, 13))});
    EXPECT_EQ(ids(lib->fetchAssets(MediaType::Image, o)), QStringList({lower, inside, upper}));
    o.predicate = Predicate::creationDateAtMost(at(1, 11));
    EXPECT_EQ(ids(lib->fetchAssets(MediaType::Image, o)), QStringList({before, lower}));
    o.predicate = Predicate::creationDateAtLeast(at(5, 13));
    o.sortDescriptors = {{"creationDate", false}};
    // A folder dates a picture that says nothing by its file's time (now), as import does.
    QStringList latest = {after, upper};
    if (GetParam() == LibraryKind::Folder)
        latest.prepend(undated);
    EXPECT_EQ(ids(lib->fetchAssets(MediaType::Image, o)), latest);

    // Without a predicate every image asset comes back, the undated one included.
    o.predicate.reset();
    EXPECT_EQ(lib->fetchAssets(MediaType::Image, o).size(), 6u);
    EXPECT_TRUE(ids(lib->fetchAssets(MediaType::Image, o)).contains(undated));
    EXPECT_TRUE(lib->fetchAssets(MediaType::Video, o).empty());
    o.sortDescriptors = {{"title", true}};
    EXPECT_THROW(lib->fetchAssets(MediaType::Image, o), PhotoLibraryError);
}

TEST_P(FetchTest, HiddenExcludedUnlessAskedAndTrashedNeverAppear) {
    const QString shown = add({at(1)});
    NewAsset h{at(2)};
    // A folder of files or a darktable library has no hidden items: it refuses to make one,
    // and shows all.
    const bool hides = GetParam() == LibraryKind::Catalogue;
    h.hidden = true;
    if (!hides) {
        EXPECT_THROW(add(h), PhotoLibraryError);
        h.hidden = false;
    }
    const QString hidden = add(h);
    const QString trashed = add({at(3)});
    auto albumPtr = album("Trip");
    lib->performChangesAndWait([&](ChangeRequests& c) {
        c.changeRequestForAssetCollection(albumPtr)->addAssets(
            std::vector<AssetPtr>{asset(shown), asset(hidden), asset(trashed)});
    });
    lib->performChangesAndWait([&](ChangeRequests& c) { c.deleteAssets({asset(trashed)}); });

    EXPECT_EQ(ids(lib->fetchAssets(MediaType::Image)),
              hides ? QStringList({shown}) : QStringList({shown, hidden}));
    FetchOptions withHidden;
    withHidden.includeHiddenAssets = true;
    EXPECT_EQ(ids(lib->fetchAssets(MediaType::Image, withHidden)), QStringList({shown, hidden}));
    EXPECT_TRUE(lib->fetchAssetsWithLocalIdentifiers({trashed}).empty());
    // A folder holds one "IMG.JPG": the second file it was given became "IMG (1).JPG".
    EXPECT_EQ(lib->fetchAssetsWithResource("IMG.JPG", 9).size(), hides ? 2u : 1u);
    // Album members the user put there are listed even when hidden; trashed ones never.
    EXPECT_EQ(ids(lib->fetchAssetsInAssetCollection(albumPtr)), QStringList({shown, hidden}));
    EXPECT_EQ(lib->fetchAssetCollectionsWithLocalIdentifiers({albumPtr->localIdentifier})
                  .at(0)
                  ->estimatedAssetCount,
              2);
}
