#include "core/CatalogRows.h"
#include "core/EventLoop.h"
#include "core/LibraryModel.h"
#include "core/TestLibrary.h"
#include "core/TimeZoneScope.h"

#include <QElapsedTimer>
#include <QSignalSpy>
#include <QTimer>
#include <gtest/gtest.h>

using namespace twinslim;

namespace {

QStringList idList(const std::vector<PhotoPair>& pairs) {
    QStringList ids;
    for (const auto& p : pairs)
        ids << p.id;
    return ids;
}

TestLibrary::NewAsset pairAsset(std::optional<QDateTime> date, int rawSize = 10) {
    return {{TestLibrary::jpeg(5), TestLibrary::raw(rawSize)}, date};
}

// A model whose date window counts from a fixed instant.
struct ScanModel {
    explicit ScanModel(QDateTime now = QDateTime(QDate(2024, 6, 15), QTime(9, 30), Qt::UTC)) {
        model.setClock([now] { return now; });
    }
    void scanToEnd() { testloop::await(model.scan()); }
    LibraryModel model;
};

} // namespace

TEST(LibraryModelScan, StoresPairsLargestRawFirstTiesNewestFirstUnknownSizesLast) {
    TestLibrary lib;
    const QDateTime base(QDate(2024, 6, 1), QTime(12, 0), Qt::UTC);
    const QString olderTie = lib.add(pairAsset(base.addDays(1), 2500));
    const QString largest = lib.add(pairAsset(base.addDays(2), 3000));
    const QString newerTie = lib.add(pairAsset(base.addDays(3), 2500));
    const QString unknown = lib.add(pairAsset(base.addDays(4), 9999));
    CatalogRows(lib.path()).forgetResourceSize(unknown, 1);

    ScanModel s;
    QSignalSpy hasScanned(&s.model, &LibraryModel::hasScannedChanged);
    s.scanToEnd();
    EXPECT_EQ(idList(s.model.pairs()), (QStringList{largest, newerTie, olderTie, unknown}));
    EXPECT_TRUE(s.model.hasScanned());
    EXPECT_EQ(hasScanned.count(), 1);
    EXPECT_FALSE(s.model.isScanning());
    EXPECT_EQ(s.model.scanToken(), nullptr);
    EXPECT_EQ(s.model.totalRawBytes(), 8000);
    testloop::drain();
    EXPECT_EQ(s.model.scannedCount(), 4);
    EXPECT_EQ(s.model.totalCount(), 4);
}

TEST(LibraryModelScan, DateWindowsIncludeTheirBoundsAndCountCalendarDays) {
    TimeZoneScope zone("Europe/Berlin");
    const QDateTime now(QDate(2024, 6, 15), QTime(9, 30), Qt::LocalTime);
    TestLibrary lib;
    const QString d29 = lib.add(pairAsset(now.addDays(-29)));
    const QString d30 = lib.add(pairAsset(now.addDays(-30)));
    const QString d30plus = lib.add(pairAsset(now.addDays(-30).addSecs(-1)));
    const QString d364 = lib.add(pairAsset(now.addDays(-364)));
    const QString d365 = lib.add(pairAsset(now.addDays(-365)));
    const QString d365plus = lib.add(pairAsset(now.addDays(-365).addSecs(-1)));
    const QString undated = lib.add(pairAsset(std::nullopt));

    ScanModel s(now);
    const auto found = [&](DateRange range) {
        s.model.setDateRange(range);
        s.scanToEnd();
        QStringList ids = idList(s.model.pairs()); // equal sizes: fetch order, newest first
        return ids;
    };
    EXPECT_EQ(found(DateRange::last30Days), (QStringList{d29, d30}));
    EXPECT_EQ(found(DateRange::oneYearToMonth), (QStringList{d30, d30plus, d364, d365}));
    EXPECT_EQ(found(DateRange::last90Days), (QStringList{d29, d30, d30plus}));
    EXPECT_EQ(found(DateRange::all),
              (QStringList{d29, d30, d30plus, d364, d365, d365plus, undated}));
}

TEST(LibraryModelScan, StartingEmptiesTheSelectionAndACancelledScanKeepsThePreviousResult) {
    TestLibrary lib;
    const QDateTime date(QDate(2024, 6, 10), QTime(8, 0), Qt::UTC);
    lib.add(pairAsset(date, 100));
    ScanModel s;
    s.scanToEnd();
    const std::vector<PhotoPair> before = s.model.pairs();
    ASSERT_EQ(before.size(), 1u);

    lib.add(pairAsset(date.addSecs(60), 200)); // a finished scan would now find two
    s.model.selectAllVisible();
    QSignalSpy pairsChanged(&s.model, &LibraryModel::pairsChanged);
    QSignalSpy hasScannedChanged(&s.model, &LibraryModel::hasScannedChanged);

    QCoro::Task<> running = s.model.scan();
    EXPECT_TRUE(s.model.isScanning());
    EXPECT_TRUE(s.model.selectedIDs().isEmpty());
    ASSERT_NE(s.model.scanToken(), nullptr);
    s.model.scanToken()->cancel();
    testloop::await(std::move(running));

    EXPECT_EQ(s.model.pairs(), before);
    EXPECT_TRUE(s.model.hasScanned());
    EXPECT_EQ(pairsChanged.count(), 0);
    EXPECT_EQ(hasScannedChanged.count(), 0);
    EXPECT_TRUE(s.model.selectedIDs().isEmpty());
    EXPECT_FALSE(s.model.isScanning());
    EXPECT_EQ(s.model.scanToken(), nullptr);
}

TEST(LibraryModelScan, CancelledFirstScanLeavesHasScannedFalse) {
    TestLibrary lib;
    lib.add(pairAsset(QDateTime(QDate(2024, 6, 10), QTime(8, 0), Qt::UTC)));
    ScanModel s;
    QCoro::Task<> running = s.model.scan();
    s.model.scanToken()->cancel();
    testloop::await(std::move(running));
    EXPECT_TRUE(s.model.pairs().empty());
    EXPECT_FALSE(s.model.hasScanned());
    EXPECT_FALSE(s.model.isScanning());

    // The next scan runs normally.
    s.scanToEnd();
    EXPECT_EQ(s.model.pairs().size(), 1u);
    EXPECT_TRUE(s.model.hasScanned());
}

TEST(LibraryModelScan, ScanWhileOneRunsChangesNothing) {
    TestLibrary lib;
    lib.add(pairAsset(QDateTime(QDate(2024, 6, 10), QTime(8, 0), Qt::UTC)));
    ScanModel s;
    QSignalSpy scanning(&s.model, &LibraryModel::isScanningChanged);
    QSignalSpy tokens(&s.model, &LibraryModel::scanTokenChanged);
    QCoro::Task<> first = s.model.scan();
    const auto token = s.model.scanToken();
    s.model.setSelectedIDs({"kept"});
    s.model.setScannedCount(7);

    QCoro::Task<> second = s.model.scan();
    EXPECT_TRUE(second.isReady());
    EXPECT_EQ(s.model.scanToken(), token);
    EXPECT_EQ(s.model.selectedIDs(), QSet<QString>{"kept"});
    EXPECT_EQ(s.model.scannedCount(), 7);

    testloop::await(std::move(first));
    EXPECT_EQ(s.model.pairs().size(), 1u);
    EXPECT_EQ(scanning.count(), 2); // on, then off: one scan only
    EXPECT_EQ(tokens.count(), 2);
}

TEST(LibraryModelScan, EmptyLibraryReplacesThePairsAndCountsAsAScan) {
    TestLibrary lib;
    ScanModel s;
    PhotoPair stale;
    stale.id = "stale";
    s.model.setPairs({stale});
    s.model.setScannedCount(5);
    s.model.setTotalCount(5);
    s.scanToEnd();
    testloop::drain();
    EXPECT_TRUE(s.model.pairs().empty());
    EXPECT_TRUE(s.model.hasScanned());
    EXPECT_EQ(s.model.scannedCount(), 0);
    EXPECT_EQ(s.model.totalCount(), 0);
}

TEST(LibraryModelScan, ProgressReachesTheModelAsQueuedReports) {
    TestLibrary lib;
    std::vector<TestLibrary::NewAsset> assets;
    const QDateTime base(QDate(2024, 6, 1), QTime(12, 0), Qt::UTC);
    for (int i = 0; i < 120; ++i)
        assets.push_back(pairAsset(base.addSecs(i)));
    lib.add(assets);

    ScanModel s;
    s.model.setDateRange(DateRange::all);
    std::vector<int> scanned;
    QObject::connect(&s.model, &LibraryModel::scannedCountChanged,
                     [&] { scanned.push_back(s.model.scannedCount()); });
    s.scanToEnd();
    testloop::drain();
    EXPECT_EQ(scanned, (std::vector<int>{1, 51, 101, 120}));
    EXPECT_EQ(s.model.totalCount(), 120);
}

TEST(LibraryModelScan, ModelDestroyedWhileScanningIsLeftAlone) {
    TestLibrary lib;
    CatalogRows(lib.path()).insertPairs(300, QDateTime(QDate(2024, 6, 1), QTime(), Qt::UTC));
    auto model = std::make_unique<LibraryModel>();
    model->setDateRange(DateRange::all);
    QCoro::Task<> running = model->scan();
    model.reset();
    // The reading finishes, its reports and result find no model, and nothing breaks.
    EXPECT_TRUE(testloop::spinUntil([&] { return running.isReady(); }));
    testloop::drain();
}

namespace {

// Runs one scan to its end while a timer on the GUI thread notes the longest gap
// between its ticks; returns that gap in milliseconds.
qint64 longestStallDuring(LibraryModel& model) {
    QElapsedTimer clock;
    qint64 last = 0;
    qint64 longest = 0;
    QTimer probe;
    QObject::connect(&probe, &QTimer::timeout, [&] {
        const qint64 now = clock.elapsed();
        longest = std::max(longest, now - last);
        last = now;
    });
    probe.start(5);
    clock.start();
    QCoro::Task<> running = model.scan();
    EXPECT_TRUE(testloop::spinUntil([&] { return !model.isScanning(); }, 120000));
    // The stretch that ends with the scan counts too.
    longest = std::max(longest, clock.elapsed() - last);
    std::printf("[ responsiveness ] scan of %zu pairs took %lld ms; longest stall %lld ms\n",
                model.pairs().size(), static_cast<long long>(clock.elapsed()),
                static_cast<long long>(longest));
    return longest;
}

} // namespace

// The GUI thread keeps serving its event loop while a large library is read, and
// while its result replaces an equally large previous one.
TEST(LibraryModelScan, GuiThreadStaysResponsiveDuringALargeScan) {
    TestLibrary lib;
    constexpr int count = 20000;
    CatalogRows(lib.path()).insertPairs(count, QDateTime(QDate(2024, 6, 1), QTime(), Qt::UTC));
    LibraryModel model;
    model.setDateRange(DateRange::all);

    EXPECT_LT(longestStallDuring(model), 50);
    EXPECT_EQ(model.pairs().size(), size_t(count));
    EXPECT_LT(longestStallDuring(model), 50);
    EXPECT_EQ(model.pairs().size(), size_t(count));
}
