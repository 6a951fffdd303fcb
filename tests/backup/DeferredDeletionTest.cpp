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
        QStringList out;
        for (int i = 0; i < n; ++i)
            out << lib.add(
                TestLibrary::NewAsset{{TestLibrary::raw(10), TestLibrary::jpeg(5)}, std::nullopt});
        return out;
    }
    TestLibrary lib;
    LibraryModel model;
};

TEST_F(DeferredDeletionTest, MissingOrEmptyMarkerAlbumOffersNothing) {
    EXPECT_EQ(markerAlbumTitle(), "TwinslimOriginalsToDelete");
    EXPECT_EQ(markerAlbumTitle().size(), 25);
    model.refreshPendingRecovery();
    EXPECT_EQ(model.pendingRecoveryCount(), 0);
    EXPECT_FALSE(model.showRecoveryAlert());
    lib.addAlbum(markerAlbumTitle(), {});
    model.refreshPendingRecovery();
    EXPECT_EQ(model.pendingRecoveryCount(), 0);
    EXPECT_FALSE(model.showRecoveryAlert());
    // Deleting from an empty album makes no change and leaves the count alone.
    model.setPendingRecoveryCount(7);
    lib.library().faults().failNextChangeWithError = true;
    awaitTask(model.deletePendingOriginals());
    EXPECT_EQ(model.pendingRecoveryCount(), 7);
    EXPECT_TRUE(lib.library().faults().failNextChangeWithError);
}

TEST_F(DeferredDeletionTest, CountsWaitingOriginalsAndDeletesThemInOneConfirmedChange) {
    const QStringList waiting = addOriginals(3);
    const QStringList other = addOriginals(1);
    lib.addAlbum(markerAlbumTitle(), waiting);
    model.refreshPendingRecovery();
    EXPECT_EQ(model.pendingRecoveryCount(), 3);
    EXPECT_TRUE(model.showRecoveryAlert());

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
    Q_UNUSED(other);
}

TEST_F(DeferredDeletionTest, ARefusalKeepsTheItemsSilentlyAndTheNextStartOffersAgain) {
    lib.addAlbum(markerAlbumTitle(), addOriginals(2));
    model.refreshPendingRecovery();
    ASSERT_EQ(model.pendingRecoveryCount(), 2);
    model.setShowRecoveryAlert(false); // "Later"
    lib.library().faults().refuseNextDeletion = true;
    awaitTask(model.deletePendingOriginals());
    EXPECT_EQ(model.pendingRecoveryCount(), 0);
    EXPECT_FALSE(model.infoMessage().has_value());
    EXPECT_FALSE(model.showInfoAlert());
    EXPECT_EQ(assetsInAlbumTitled(markerAlbumTitle()).size(), 2u);

    LibraryModel nextStart;
    nextStart.refreshPendingRecovery();
    EXPECT_EQ(nextStart.pendingRecoveryCount(), 2);
    EXPECT_TRUE(nextStart.showRecoveryAlert());
}
