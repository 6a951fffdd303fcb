#include "core/LibraryModel.h"
#include "backup/BackupFolder.h"
#include "core/CatalogRows.h"
#include "core/EventLoop.h"
#include "core/IsolatedEnvironment.h"
#include "core/TestLibrary.h"

#include <QSignalSpy>
#include <gtest/gtest.h>

using namespace twinslim;

TWINSLIM_ISOLATE_ENVIRONMENT();

namespace {

const QDateTime june(QDate(2024, 6, 10), QTime(8, 0), Qt::UTC);

void scanToEnd(LibraryModel& model) {
    testloop::await(model.scan());
}

} // namespace

TEST(LibraryModel, StartsIdleAndRestoresTheBackupFolder) {
    QTemporaryDir folder;
    QSettings("Twinslim", "Twinslim").setValue("backupFolderBookmark", folder.path());
    LibraryModel model;
    QSettings("Twinslim", "Twinslim").remove("backupFolderBookmark");
    EXPECT_EQ(model.backup()->url(), folder.path());
    EXPECT_FALSE(model.isScanning() || model.hasScanned() || model.scanToken());
    EXPECT_TRUE(model.dateRange() == DateRange::last30Days && model.favFilter() == FavFilter::all);
}

TEST(LibraryModel, SelectionOperationsAgainstHiddenPairs) {
    LibraryModel model;
    std::vector<PhotoPair> pairs; // p0 … p9; p0, p3, p6, p9 are favourites; p9's size unknown
    for (int i = 0; i < 10; ++i) {
        pairs.emplace_back();
        pairs.back().id = QStringLiteral("p%1").arg(i);
        pairs.back().isFavorite = i % 3 == 0;
        pairs.back().jpegBytes = 1'000'000; // JPEG sizes never enter the totals
        if (i < 9)
            pairs.back().rawBytes = i == 0 ? 3'000'000'000LL : 1000 - i;
    }
    model.setPairs(pairs);
    const QStringList all = idsOf(pairs);
    const auto selected = [&] { return idsOf(model.selectedPairs()); };
    EXPECT_EQ(model.totalRawBytes(), 3'000'000'000LL + 8 * 1000 - 36);
    model.setSelectedIDs({"p9", "gone"}); // an id with no pair adds nothing
    EXPECT_TRUE(model.selectedRawBytes() == 0 && model.selectedFavoriteCount() == 1);
    model.selectFirst(4);
    EXPECT_EQ(selected(), all.mid(0, 4));
    model.selectFirst(200); // fewer pairs than asked for: all of them
    EXPECT_EQ(selected(), all);
    EXPECT_EQ(model.selectedRawBytes(), model.totalRawBytes());

    model.setFavFilter(FavFilter::nonFavorites);
    EXPECT_EQ(idsOf(model.visiblePairs()), (QStringList{"p1", "p2", "p4", "p5", "p7", "p8"}));
    model.selectFirst(3); // hidden selections are discarded
    EXPECT_EQ(selected(), (QStringList{"p1", "p2", "p4"}));
    model.selectFirst(0);
    EXPECT_TRUE(model.selectedIDs().isEmpty());

    model.setSelectedIDs({"p8"});
    model.setFavFilter(FavFilter::favorites);
    EXPECT_EQ(idsOf(model.visiblePairs()), (QStringList{"p0", "p3", "p6", "p9"}));
    model.selectAllVisible(); // hidden selections stay and count
    EXPECT_EQ(selected(), (QStringList{"p0", "p3", "p6", "p8", "p9"}));
    EXPECT_EQ(model.selectedRawBytes(), 3'000'000'000LL + 997 + 994 + 992);
    EXPECT_EQ(model.selectedFavoriteCount(), 4);
    QSignalSpy changed(&model, &LibraryModel::selectedIDsChanged);
    model.selectAllVisible(); // nothing new to add
    model.selectNone();
    EXPECT_TRUE(model.selectedIDs().isEmpty());
    EXPECT_EQ(changed.count(), 1);
}

TEST(LibraryModelScan, DateWindowsIncludeTheirBoundsAndCountCalendarDays) {
    // In local (Berlin) time the year's window holds both daylight-saving changes.
    const QDateTime now(QDate(2024, 6, 15), QTime(9, 30), Qt::LocalTime);
    TestLibrary lib;
    QStringList ids; // for 29, 30, 364 and 365 days back: that instant, then one second earlier
    for (int days : {29, 30, 364, 365})
        ids << lib.add(TestLibrary::pair(now.addDays(-days)))
            << lib.add(TestLibrary::pair(now.addDays(-days).addSecs(-1)));
    ids << lib.add(TestLibrary::pair(std::nullopt));

    LibraryModel model;
    model.setClock([now] { return now; }); // the date window counts from there
    // Equal sizes keep the fetch order: newest first.
    for (const auto& [range, expected] :
         std::vector<std::pair<DateRange, QStringList>>{{DateRange::last30Days, ids.mid(0, 3)},
                                                        {DateRange::oneYearToMonth, ids.mid(2, 5)},
                                                        {DateRange::last90Days, ids.mid(0, 4)},
                                                        {DateRange::all, ids}}) {
        model.setDateRange(range);
        scanToEnd(model);
        EXPECT_EQ(idsOf(model.pairs()), expected) << identity(range).toStdString();
    }
}

TEST(LibraryModelScan, StoresLargestRawFirstWhileCancelledOrRepeatedScansChangeNothing) {
    TestLibrary lib;
    LibraryModel model;
    model.setClock([] { return june.addDays(5); }); // the date window counts from there
    const auto cancelledScan = [&] {
        QCoro::Task<> running = model.scan();
        EXPECT_TRUE(model.isScanning() && model.selectedIDs().isEmpty());
        ASSERT_NE(model.scanToken(), nullptr);
        model.scanToken()->cancel();
        testloop::await(std::move(running));
        EXPECT_FALSE(model.isScanning() || model.scanToken());
    };
    model.setPairs({PhotoPair{}});
    cancelledScan(); // nothing scanned yet
    EXPECT_EQ(model.pairs().size(), 1u);
    EXPECT_FALSE(model.hasScanned());
    scanToEnd(model); // an empty result replaces the previous one
    EXPECT_TRUE(model.pairs().empty() && model.hasScanned());

    const QStringList ids = lib.add(
        {TestLibrary::pair(june.addDays(-4), 2500), TestLibrary::pair(june.addDays(-3), 3000),
         TestLibrary::pair(june.addDays(-2), 2500), TestLibrary::pair(june.addDays(-1), 9999),
         TestLibrary::pair(june.addDays(-5), 1)}); // smaller than any JPEG
    catalog::forgetResourceSize(lib.path(), ids[3], 1);
    scanToEnd(model); // ties newest first, an unknown size counts as 0
    const std::vector<PhotoPair> before = model.pairs();
    EXPECT_EQ(idsOf(before), (QStringList{ids[1], ids[2], ids[0], ids[4], ids[3]}));
    EXPECT_EQ(model.totalRawBytes(), 8001);
    testloop::drain(); // the progress reports are queued
    EXPECT_TRUE(model.scannedCount() == 5 && model.totalCount() == 5);

    lib.add(TestLibrary::pair(june, 200)); // a finished scan would now find six
    model.selectAllVisible();
    QSignalSpy pairsChanged(&model, &LibraryModel::pairsChanged);
    QSignalSpy hasScannedChanged(&model, &LibraryModel::hasScannedChanged);
    cancelledScan();
    EXPECT_EQ(model.pairs(), before);
    EXPECT_TRUE(model.hasScanned());
    EXPECT_EQ(pairsChanged.count() + hasScannedChanged.count(), 0);

    // A scan asked for while one runs does nothing.
    QSignalSpy scanning(&model, &LibraryModel::isScanningChanged);
    QCoro::Task<> first = model.scan();
    const auto token = model.scanToken();
    model.setSelectedIDs({"kept"});
    model.setScannedCount(7);
    EXPECT_TRUE(model.scan().isReady());
    EXPECT_EQ(model.scanToken(), token);
    EXPECT_EQ(model.selectedIDs(), QSet<QString>{"kept"});
    EXPECT_EQ(model.scannedCount(), 7);
    testloop::await(std::move(first));
    EXPECT_EQ(model.pairs().size(), 6u);
    EXPECT_EQ(scanning.count(), 2); // on, then off: one scan only
}

// The GUI thread keeps serving its event loop while a large library is read and sorted,
// and while its result replaces an equally large previous one.
TEST(LibraryModelScan, GuiThreadStaysResponsiveDuringALargeScan) {
    TestLibrary lib;
    constexpr int count = 20000;
    catalog::insertPairs(lib.path(), count, june);
    auto model = std::make_unique<LibraryModel>();
    model->setDateRange(DateRange::all);
    for (int round = 0; round < 2; ++round) {
        // A timer on the GUI thread notes the longest gap between its ticks.
        QElapsedTimer clock;
        qint64 last = 0, longest = 0;
        QTimer probe;
        QObject::connect(&probe, &QTimer::timeout, [&] {
            longest = std::max(longest, clock.elapsed() - last);
            last = clock.elapsed();
        });
        probe.start(5);
        clock.start();
        QCoro::Task<> running = model->scan();
        EXPECT_TRUE(testloop::spinUntil([&] { return !model->isScanning(); }, 120000));
        longest = std::max(longest, clock.elapsed() - last); // the stretch the scan ended
        EXPECT_LT(longest, 50);
        EXPECT_EQ(model->pairs().size(), size_t(count));
    }
    // A model that goes away while it scans: the reading finishes, its reports and result
    // find no model, and nothing breaks.
    QCoro::Task<> running = model->scan();
    model.reset();
    EXPECT_TRUE(testloop::spinUntil([&] { return running.isReady(); }));
    testloop::drain();
}
