#include "core/LibraryModel.h"
#include "backup/BackupFolder.h"
#include "core/IsolatedSettings.h"

#include <QSignalSpy>
#include <gtest/gtest.h>

using namespace twinslim;

TWINSLIM_ISOLATE_SETTINGS();

namespace {

PhotoPair makePair(const QString& id, std::optional<qint64> rawBytes, bool favorite = false) {
    PhotoPair pair;
    pair.id = id;
    pair.rawBytes = rawBytes;
    pair.jpegBytes = 1'000'000; // JPEG sizes never enter the totals
    pair.isFavorite = favorite;
    return pair;
}

// n pairs "p0", "p1", … with falling RAW sizes; every third is a favourite.
std::vector<PhotoPair> manyPairs(int n) {
    std::vector<PhotoPair> pairs;
    for (int i = 0; i < n; ++i)
        pairs.push_back(makePair(QStringLiteral("p%1").arg(i), 1'000'000 - i, i % 3 == 0));
    return pairs;
}

QSet<QString> idSet(const std::vector<PhotoPair>& pairs) {
    QSet<QString> ids;
    for (const auto& p : pairs)
        ids.insert(p.id);
    return ids;
}

QStringList idList(const std::vector<PhotoPair>& pairs) {
    QStringList ids;
    for (const auto& p : pairs)
        ids << p.id;
    return ids;
}

} // namespace

TEST(LibraryModel, StartsWithTheInitialValues) {
    QSettings(QStringLiteral("Twinslim"), QStringLiteral("Twinslim"))
        .remove("backupFolderBookmark");
    LibraryModel model;
    EXPECT_TRUE(model.pairs().empty());
    EXPECT_TRUE(model.selectedIDs().isEmpty());
    EXPECT_FALSE(model.isScanning());
    EXPECT_FALSE(model.hasScanned());
    EXPECT_EQ(model.scannedCount(), 0);
    EXPECT_EQ(model.totalCount(), 0);
    EXPECT_EQ(model.scanToken(), nullptr);
    EXPECT_EQ(model.dateRange(), DateRange::last30Days);
    EXPECT_EQ(model.favFilter(), FavFilter::all);
    ASSERT_NE(model.backup(), nullptr);
    EXPECT_EQ(model.backup()->defaultsKey(), "backupFolderBookmark");
    EXPECT_EQ(model.backup()->url(), std::nullopt);
    EXPECT_EQ(model.favAlbumTitle(), "Twinslim Favs");
    EXPECT_EQ(model.nonfavAlbumTitle(), "Twinslim NonFavs");
    EXPECT_EQ(model.infoMessage(), std::nullopt);
    EXPECT_FALSE(model.showInfoAlert());
    EXPECT_EQ(model.ingestReport(), std::nullopt);
    EXPECT_FALSE(model.showIngestReport());
    EXPECT_FALSE(model.isRunning());
    EXPECT_EQ(model.runIndex(), 0);
    EXPECT_EQ(model.runTotal(), 0);
    EXPECT_EQ(model.currentLabel(), QString());
    EXPECT_EQ(model.pendingRecoveryCount(), 0);
    EXPECT_FALSE(model.showRecoveryAlert());
}

TEST(LibraryModel, BackupFolderIsRestoredAsTheModelIsCreated) {
    QTemporaryDir folder;
    QSettings(QStringLiteral("Twinslim"), QStringLiteral("Twinslim"))
        .setValue("backupFolderBookmark", folder.path());
    LibraryModel model;
    EXPECT_EQ(model.backup()->url(), folder.path());
    QSettings(QStringLiteral("Twinslim"), QStringLiteral("Twinslim"))
        .remove("backupFolderBookmark");
}

TEST(LibraryModel, SettersSignalOnlyRealChanges) {
    LibraryModel model;
    QSignalSpy pairs(&model, &LibraryModel::pairsChanged);
    QSignalSpy selected(&model, &LibraryModel::selectedIDsChanged);
    QSignalSpy scanning(&model, &LibraryModel::isScanningChanged);
    QSignalSpy token(&model, &LibraryModel::scanTokenChanged);
    QSignalSpy info(&model, &LibraryModel::infoMessageChanged);
    QSignalSpy report(&model, &LibraryModel::ingestReportChanged);
    QSignalSpy label(&model, &LibraryModel::currentLabelChanged);
    QSignalSpy range(&model, &LibraryModel::dateRangeChanged);

    model.setPairs({});
    model.setSelectedIDs({});
    model.setIsScanning(false);
    model.setScanToken(nullptr);
    model.setInfoMessage(std::nullopt);
    model.setIngestReport(std::nullopt);
    model.setCurrentLabel(QString());
    model.setDateRange(DateRange::last30Days);
    for (QSignalSpy* spy : {&pairs, &selected, &scanning, &token, &info, &report, &label, &range})
        EXPECT_EQ(spy->count(), 0);

    model.setPairs(manyPairs(2));
    model.setPairs(manyPairs(2));
    model.setSelectedIDs({"p0"});
    model.setSelectedIDs({"p0"});
    model.setIsScanning(true);
    model.setIsScanning(true);
    auto t = std::make_shared<ScanCancellation>();
    model.setScanToken(t);
    model.setScanToken(t);
    model.setScanToken(std::make_shared<ScanCancellation>()); // another token is a change
    model.setInfoMessage(QString());                          // an empty text is not nothing
    model.setInfoMessage(QString());
    model.setIngestReport(IngestReport{});
    model.setIngestReport(IngestReport{});
    model.setIngestReport(IngestReport{1, 1, 0, {}, {}, std::nullopt});
    model.setCurrentLabel("a.heic");
    model.setCurrentLabel("a.heic");
    model.setDateRange(DateRange::all);
    EXPECT_EQ(pairs.count(), 1);
    EXPECT_EQ(selected.count(), 1);
    EXPECT_EQ(scanning.count(), 1);
    EXPECT_EQ(token.count(), 2);
    EXPECT_EQ(info.count(), 1);
    EXPECT_EQ(report.count(), 2);
    EXPECT_EQ(label.count(), 1);
    EXPECT_EQ(range.count(), 1);
}

TEST(LibraryModel, EveryTrackedFieldSignalsItsOwnChange) {
    LibraryModel model;
    int changes = 0;
    const auto count = [&] { ++changes; };
    for (auto signal : {&LibraryModel::hasScannedChanged, &LibraryModel::scannedCountChanged,
                        &LibraryModel::totalCountChanged, &LibraryModel::favFilterChanged,
                        &LibraryModel::showInfoAlertChanged, &LibraryModel::showIngestReportChanged,
                        &LibraryModel::isRunningChanged, &LibraryModel::runIndexChanged,
                        &LibraryModel::runTotalChanged, &LibraryModel::pendingRecoveryCountChanged,
                        &LibraryModel::showRecoveryAlertChanged})
        QObject::connect(&model, signal, count);
    model.setHasScanned(true);
    model.setScannedCount(5);
    model.setTotalCount(9);
    model.setFavFilter(FavFilter::favorites);
    model.setShowInfoAlert(true);
    model.setShowIngestReport(true);
    model.setIsRunning(true);
    model.setRunIndex(2);
    model.setRunTotal(3);
    model.setPendingRecoveryCount(4);
    model.setShowRecoveryAlert(true);
    EXPECT_EQ(changes, 11);
    model.setHasScanned(true);
    model.setScannedCount(5);
    model.setTotalCount(9);
    model.setFavFilter(FavFilter::favorites);
    model.setShowInfoAlert(true);
    model.setShowIngestReport(true);
    model.setIsRunning(true);
    model.setRunIndex(2);
    model.setRunTotal(3);
    model.setPendingRecoveryCount(4);
    model.setShowRecoveryAlert(true);
    EXPECT_EQ(changes, 11);
    EXPECT_EQ(model.runTotal(), 3);
    EXPECT_EQ(model.pendingRecoveryCount(), 4);
}

// ---- Derived values ----

TEST(LibraryModel, VisiblePairsFollowTheFilterInPairsOrder) {
    LibraryModel model;
    model.setPairs(manyPairs(7));
    EXPECT_EQ(idList(model.visiblePairs()), idList(model.pairs()));
    model.setFavFilter(FavFilter::favorites);
    EXPECT_EQ(idList(model.visiblePairs()), (QStringList{"p0", "p3", "p6"}));
    model.setFavFilter(FavFilter::nonFavorites);
    EXPECT_EQ(idList(model.visiblePairs()), (QStringList{"p1", "p2", "p4", "p5"}));
}

TEST(LibraryModel, TotalsCountOnlyRawSizesAndAbsentSizesAddZero) {
    LibraryModel model;
    EXPECT_EQ(model.selectedRawBytes(), 0);
    EXPECT_EQ(model.totalRawBytes(), 0);
    model.setPairs({makePair("big", 3'000'000'000LL, true), makePair("unknown", std::nullopt, true),
                    makePair("small", 25)});
    EXPECT_EQ(model.totalRawBytes(), 3'000'000'025LL);
    EXPECT_EQ(model.selectedRawBytes(), 0);
    model.setSelectedIDs({"unknown"});
    EXPECT_EQ(model.selectedRawBytes(), 0);
    EXPECT_EQ(model.selectedFavoriteCount(), 1);
    model.setSelectedIDs({"unknown", "big", "small", "gone"}); // an id with no pair adds nothing
    EXPECT_EQ(model.selectedRawBytes(), 3'000'000'025LL);
    EXPECT_EQ(model.selectedFavoriteCount(), 2);
    EXPECT_EQ(idList(model.selectedPairs()), (QStringList{"big", "unknown", "small"}));
}

// ---- Selection ----

TEST(LibraryModel, SelectFirstTakesAllWhenThereAreFewer) {
    LibraryModel model;
    model.setPairs(manyPairs(150));
    model.setSelectedIDs({"stale"});
    model.selectFirst(200);
    EXPECT_EQ(model.selectedIDs(), idSet(model.pairs()));
}

TEST(LibraryModel, SelectFirstTakesTheFirstVisibleInPairsOrder) {
    LibraryModel model;
    auto pairs = manyPairs(500);
    model.setPairs(pairs);
    model.selectFirst(200);
    EXPECT_EQ(model.selectedIDs(), idSet({pairs.begin(), pairs.begin() + 200}));

    model.setFavFilter(FavFilter::nonFavorites);
    model.selectFirst(3);
    EXPECT_EQ(model.selectedIDs(), (QSet<QString>{"p1", "p2", "p4"}));
    model.selectFirst(0);
    EXPECT_TRUE(model.selectedIDs().isEmpty());
}

TEST(LibraryModel, SelectFirstDiscardsHiddenSelections) {
    LibraryModel model;
    model.setPairs(manyPairs(10));
    model.setSelectedIDs({"p1", "p2"}); // non-favourites
    model.setFavFilter(FavFilter::favorites);
    model.selectFirst(200);
    EXPECT_EQ(model.selectedIDs(), (QSet<QString>{"p0", "p3", "p6", "p9"}));
}

TEST(LibraryModel, SelectAllVisibleKeepsHiddenSelectionsAndCountsThem) {
    LibraryModel model;
    model.setPairs({makePair("fav1", 100, true), makePair("non1", 50), makePair("fav2", 10, true),
                    makePair("non2", 5)});
    model.setSelectedIDs({"non2"});
    model.setFavFilter(FavFilter::favorites);
    model.selectAllVisible();
    EXPECT_EQ(model.selectedIDs(), (QSet<QString>{"fav1", "fav2", "non2"}));
    EXPECT_EQ(idList(model.selectedPairs()), (QStringList{"fav1", "fav2", "non2"}));
    EXPECT_EQ(model.selectedRawBytes(), 115);
    EXPECT_EQ(model.selectedFavoriteCount(), 2);

    QSignalSpy changed(&model, &LibraryModel::selectedIDsChanged);
    model.selectAllVisible(); // nothing new to add
    EXPECT_EQ(changed.count(), 0);
    model.selectNone();
    EXPECT_TRUE(model.selectedIDs().isEmpty());
    EXPECT_EQ(model.selectedRawBytes(), 0);
    EXPECT_EQ(changed.count(), 1);
}
