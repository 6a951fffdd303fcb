#include "backup/MarkerAlbum.h"
#include "core/LibraryModel.h"
#include "core/TestLibrary.h"
#include "library/PhotoLibraryOperations.h"
#include "support/AwaitTask.h"

using namespace twinslim;
using testsupport::awaitTask;

class DeferredDeletionTest : public ::testing::Test {
protected:
    QStringList addOriginals(int n) {
        return lib.add(std::vector<TestLibrary::NewAsset>(n, TestLibrary::pair(std::nullopt)));
    }
    TestLibrary lib;
    LibraryModel model;
};

TEST_F(DeferredDeletionTest, MissingOrEmptyMarkerAlbumOffersNothing) {
    for (int round = 0; round < 2; ++round) { // without the album, then with it empty
        model.refreshPendingRecovery();
        EXPECT_FALSE(model.pendingRecoveryCount() != 0 || model.showRecoveryAlert());
        lib.addAlbum(markerAlbumTitle(), {});
    }
    // Deleting from an empty album makes no change and leaves the count alone.
    model.setPendingRecoveryCount(7);
    lib.library().faults().failNextChangeWithError = true;
    awaitTask(model.deletePendingOriginals());
    EXPECT_EQ(model.pendingRecoveryCount(), 7);
    EXPECT_TRUE(lib.library().faults().failNextChangeWithError);
}

TEST_F(DeferredDeletionTest, CountsWaitingOriginalsAndDeletesThemInOneConfirmedChange) {
    lib.addAlbum(markerAlbumTitle(), addOriginals(3));
    addOriginals(1);
    model.refreshPendingRecovery();
    EXPECT_TRUE(model.pendingRecoveryCount() == 3 && model.showRecoveryAlert());

    std::vector<int> prompts;
    lib.library().setDeletionConfirmationHandler([&](int n, std::function<void(bool)> reply) {
        prompts.push_back(n);
        reply(true);
    });
    awaitTask(model.deletePendingOriginals());
    EXPECT_EQ(prompts, std::vector<int>({3}));
    EXPECT_EQ(model.pendingRecoveryCount(), 0);
    EXPECT_EQ(lib.library().trashedAssets().size(), 3u);
    EXPECT_EQ(lib.library().fetchAssets(photos::MediaType::Image).size(), 1u);
    EXPECT_TRUE(assetsInAlbumTitled(markerAlbumTitle()).empty());
    EXPECT_NE(album(markerAlbumTitle()), nullptr); // the album itself stays
}

TEST_F(DeferredDeletionTest, ARefusalKeepsTheItemsSilentlyAndTheNextStartOffersAgain) {
    lib.addAlbum(markerAlbumTitle(), addOriginals(2));
    model.refreshPendingRecovery();
    ASSERT_EQ(model.pendingRecoveryCount(), 2);
    model.setShowRecoveryAlert(false); // "Later"
    lib.library().faults().refuseNextDeletion = true;
    awaitTask(model.deletePendingOriginals());
    EXPECT_EQ(model.pendingRecoveryCount(), 0);
    EXPECT_FALSE(model.infoMessage().has_value() || model.showInfoAlert());
    EXPECT_EQ(assetsInAlbumTitled(markerAlbumTitle()).size(), 2u);

    LibraryModel nextStart;
    nextStart.refreshPendingRecovery();
    EXPECT_TRUE(nextStart.pendingRecoveryCount() == 2 && nextStart.showRecoveryAlert());
}
