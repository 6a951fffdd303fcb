#include "core/PairScan.h"
#include "core/CatalogRows.h"
#include "core/EventLoop.h"
#include "core/TestLibrary.h"

#include <gtest/gtest.h>

using namespace twinslim;
using photos::ResourceType;
using Reports = std::vector<std::pair<int, int>>;

namespace {

const QString arw = "com.sony.arw-raw-image", jpg = "public.jpeg";

// Scans the shared library without bounds. The reports come from the reading's thread,
// which has finished with them before the scan's result arrives.
std::vector<PhotoPair> scanAll(Reports* reports = nullptr, IsCancelled cancelled = {}) {
    ScanProgress progress = [reports](int handled, int total) {
        if (reports)
            reports->emplace_back(handled, total);
    };
    if (!cancelled)
        cancelled = [] { return false; };
    return testloop::await(scan({}, {}, cancelled, progress));
}

} // namespace

TEST(PairScan, BuildsPairsOfVisibleAssetsWithBothKindsAndKeepsAnAbsentSizeAbsent) {
    TestLibrary lib;
    const QDateTime day(QDate(2024, 5, 3), QTime(12, 0), Qt::UTC);
    const QString plain =
        lib.add({{TestLibrary::jpeg(300, "P1.JPG"), TestLibrary::raw(900, "P1.CR3")}, day});
    const QString edited = lib.add({{TestLibrary::raw(700, "E1.ARW", arw),
                                     TestLibrary::jpeg(200, "E1.JPG"),
                                     {ResourceType::AdjustmentData, "com.adobe.xmp", "E1.XMP", 10},
                                     {ResourceType::FullSizePhoto, jpg, "FullSizeRender.JPG", 50}},
                                    std::nullopt,
                                    /*favorite=*/true});
    lib.add({{TestLibrary::raw(10)}, day});
    lib.add({{TestLibrary::jpeg(5)}, day});
    lib.add({{TestLibrary::raw(10), TestLibrary::jpeg(5)}, day, false, /*hidden=*/true});
    lib.addAlbum("Trip", {edited});
    lib.addAlbum("Twinslim Favs", {edited, plain});
    catalog::forgetResourceSize(lib.path(), edited, 0);

    const auto pairs = scanAll();
    ASSERT_EQ(idsOf(pairs), (QStringList{plain, edited})); // newest first, undated last
    const PhotoPair& p = pairs[0];
    EXPECT_EQ(p.asset->localIdentifier, plain);
    EXPECT_EQ(p.creationDate, day);
    EXPECT_EQ(p.flagsRank(), 0);
    EXPECT_EQ(p.albumNames, QStringList{"Twinslim Favs"});
    EXPECT_EQ(QStringList({p.rawUTI, p.jpegUTI, p.rawFilename, p.jpegFilename}),
              QStringList({"com.canon.cr3-raw-image", jpg, "P1.CR3", "P1.JPG"}));
    EXPECT_TRUE(p.rawBytes == 900 && p.jpegBytes == 300);

    const PhotoPair& e = pairs[1];
    EXPECT_EQ(e.creationDate, std::nullopt);
    EXPECT_EQ(e.flagsRank(), 3); // favourite and edited
    EXPECT_EQ(e.albumNames, (QStringList{"Trip", "Twinslim Favs"}));
    EXPECT_EQ(e.rawUTI, arw);
    EXPECT_EQ(e.jpegFilename, "E1.JPG"); // the first JPEG, not the rendition
    EXPECT_TRUE(e.rawBytes == std::nullopt && e.rawSize() == 0 && e.jpegBytes == 200);
}

TEST(PairScan, ProgressAfterEveryFiftiethAssetAndAtTheEndAlsoWhenCancelled) {
    TestLibrary lib;
    std::vector<TestLibrary::NewAsset> assets;
    for (int i = 0; i < 120; ++i) { // every third is no pair, but counts as handled too
        assets.push_back(TestLibrary::pair(QDateTime::fromSecsSinceEpoch(1'700'000'000 - i)));
        if (i % 3 == 0)
            assets.back().resources.pop_back();
    }
    const QStringList ids = lib.add(assets);
    Reports reports;
    EXPECT_EQ(scanAll(&reports).size(), 80u);
    EXPECT_EQ(reports, (Reports{{1, 120}, {51, 120}, {101, 120}, {120, 120}}));

    // Cancelled after ten assets: polled before each asset, and not after stopping.
    int polls = 0;
    reports.clear();
    const auto pairs = scanAll(&reports, [&polls] { return ++polls > 10; });
    EXPECT_EQ(polls, 11);
    EXPECT_EQ(idsOf(pairs), (QStringList{ids[1], ids[2], ids[4], ids[5], ids[7], ids[8]}));
    EXPECT_EQ(reports, (Reports{{1, 120}, {120, 120}}));
}

// The albums of many pairs are read a batch at a time: each pair still gets its own, also across
// batches, and the items between the pairs still count as handled.
TEST(PairScan, EveryPairOfALargeLibraryHasItsOwnAlbums) {
    TestLibrary lib;
    std::vector<TestLibrary::NewAsset> assets;
    for (int i = 0; i < 2600; ++i) {
        assets.push_back(TestLibrary::pair(QDateTime::fromSecsSinceEpoch(1'700'000'000 - i)));
        if (i % 5 == 4)
            assets.back().resources.pop_back(); // no pair
    }
    const QStringList ids = lib.add(assets);
    QStringList everyThird, everySeventh;
    for (int i = 0; i < ids.size(); ++i) {
        if (i % 3 == 0)
            everyThird << ids[i];
        if (i % 7 == 0)
            everySeventh << ids[i];
    }
    lib.addAlbum("Thirds", everyThird);
    lib.addAlbum("Sevenths", everySeventh);

    Reports reports;
    const auto pairs = scanAll(&reports);
    ASSERT_EQ(pairs.size(), 2080u);
    for (const PhotoPair& pair : pairs) {
        const int i = int(ids.indexOf(pair.id));
        ASSERT_NE(i % 5, 4);
        QStringList expected;
        if (i % 3 == 0)
            expected << "Thirds";
        if (i % 7 == 0)
            expected << "Sevenths";
        EXPECT_EQ(pair.albumNames, expected) << i;
    }
    ASSERT_EQ(reports.size(), 53u);
    EXPECT_EQ(reports[52], std::make_pair(2600, 2600));
    EXPECT_EQ(reports[51], std::make_pair(2551, 2600));
}
