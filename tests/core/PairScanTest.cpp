#include "core/PairScan.h"
#include "core/CatalogRows.h"
#include "core/EventLoop.h"
#include "core/TestLibrary.h"

#include <QThread>
#include <gtest/gtest.h>
#include <mutex>

using namespace twinslim;
using photos::ResourceType;

namespace {

photos::ResourcePtr resource(ResourceType type, const QString& uti, const QString& name,
                             std::optional<qint64> size = 100) {
    auto r = std::make_shared<photos::AssetResource>();
    r->type = type;
    r->uniformTypeIdentifier = uti;
    r->originalFilename = name;
    r->fileSize = size;
    return r;
}

const QString cr3 = QStringLiteral("com.canon.cr3-raw-image");
const QString arw = QStringLiteral("com.sony.arw-raw-image");
const QString jpg = QStringLiteral("public.jpeg");

QDateTime at(int day, int hour = 12) {
    return QDateTime(QDate(2024, 5, day), QTime(hour, 0), Qt::UTC);
}

// Progress reports, collected from the reading's thread.
struct ProgressLog {
    std::mutex mutex;
    std::vector<std::pair<int, int>> reports;
    ScanProgress callback() {
        return [this](int handled, int total) {
            std::lock_guard lock(mutex);
            reports.emplace_back(handled, total);
        };
    }
};

std::vector<PhotoPair> scanAll(const std::optional<QDateTime>& newer = std::nullopt,
                               const std::optional<QDateTime>& older = std::nullopt) {
    return testloop::await(scan(
        newer, older, [] { return false; }, [](int, int) {}));
}

QStringList idsOf(const std::vector<PhotoPair>& pairs) {
    QStringList ids;
    for (const auto& p : pairs)
        ids << p.id;
    return ids;
}

} // namespace

// ---- The pair-detection rule ----

TEST(PairResources, NeedsBothARawAndAJpeg) {
    EXPECT_FALSE(pairResources({}));
    EXPECT_FALSE(pairResources({resource(ResourceType::Photo, cr3, "A.CR3")}));
    EXPECT_FALSE(pairResources({resource(ResourceType::Photo, jpg, "A.JPG")}));
    // HEIC is an image but neither kind.
    EXPECT_FALSE(pairResources({resource(ResourceType::Photo, cr3, "A.CR3"),
                                resource(ResourceType::Photo, "public.heic", "A.HEIC")}));
}

TEST(PairResources, OnlyTypeIdentifiersDecideNotResourceTypes) {
    // A full-size rendition can be the JPEG, and the RAW may be the primary photo.
    const auto raw = resource(ResourceType::Photo, arw, "A.ARW");
    const auto jpeg = resource(ResourceType::FullSizePhoto, jpg, "A_edit.JPG");
    const auto found = pairResources(
        {resource(ResourceType::AdjustmentData, "com.adobe.xmp", "A.XMP"), jpeg, raw});
    ASSERT_TRUE(found);
    EXPECT_EQ(found->raw, raw);
    EXPECT_EQ(found->jpeg, jpeg);
}

TEST(PairResources, FirstRawAndFirstJpegInLibraryOrderWin) {
    const auto jpeg1 = resource(ResourceType::Photo, jpg, "1.JPG");
    const auto raw1 = resource(ResourceType::AlternatePhoto, cr3, "1.CR3");
    const auto raw2 = resource(ResourceType::AlternatePhoto, arw, "2.ARW");
    const auto jpeg2 = resource(ResourceType::FullSizePhoto, jpg, "2.JPG");
    const auto found = pairResources({jpeg1, raw1, jpeg2, raw2});
    ASSERT_TRUE(found);
    EXPECT_EQ(found->raw, raw1);
    EXPECT_EQ(found->jpeg, jpeg1);
}

TEST(PairResources, UnknownIdentifiersArePassedOver) {
    const auto raw = resource(ResourceType::AlternatePhoto, cr3, "A.CR3");
    const auto jpeg = resource(ResourceType::Photo, jpg, "A.JPG");
    const auto found =
        pairResources({resource(ResourceType::AlternatePhoto, "com.example.raw", "X"),
                       resource(ResourceType::Photo, "", "Y"),
                       resource(ResourceType::Photo, "public.jpeg.x", "Z"), raw, jpeg});
    ASSERT_TRUE(found);
    EXPECT_EQ(found->raw, raw);
    EXPECT_EQ(found->jpeg, jpeg);
}

TEST(PairResources, FileSizeIsAbsentWhenTheLibraryHasNone) {
    EXPECT_EQ(resourceFileSize(resource(ResourceType::Photo, jpg, "A", 4'000'000'000LL)),
              4'000'000'000LL);
    EXPECT_EQ(resourceFileSize(resource(ResourceType::Photo, jpg, "A", std::nullopt)),
              std::nullopt);
    EXPECT_EQ(resourceFileSize(nullptr), std::nullopt);
}

// ---- Reading a real library ----

TEST(PairScan, BuildsEachPairFromItsAsset) {
    TestLibrary lib;
    const QString plain =
        lib.add({{TestLibrary::jpeg(300, "P1.JPG"), TestLibrary::raw(900, "P1.CR3")}, at(3)});
    const QString edited = lib.add({{TestLibrary::raw(700, "E1.ARW", arw),
                                     TestLibrary::jpeg(200, "E1.JPG"),
                                     {ResourceType::AdjustmentData, "com.adobe.xmp", "E1.XMP", 10},
                                     {ResourceType::FullSizePhoto, jpg, "FullSizeRender.JPG", 50}},
                                    at(2),
                                    /*favorite=*/true});
    lib.addAlbum("Trip", {edited});
    lib.addAlbum("Twinslim Favs", {edited, plain});

    const auto pairs = scanAll();
    ASSERT_EQ(idsOf(pairs), (QStringList{plain, edited})); // newest first

    const PhotoPair& p = pairs[0];
    EXPECT_EQ(p.asset->localIdentifier, plain);
    EXPECT_EQ(p.creationDate, at(3));
    EXPECT_FALSE(p.isFavorite);
    EXPECT_FALSE(p.isEdited);
    EXPECT_EQ(p.albumNames, QStringList{"Twinslim Favs"});
    EXPECT_EQ(p.rawUTI, cr3);
    EXPECT_EQ(p.jpegUTI, jpg);
    EXPECT_EQ(p.rawFilename, "P1.CR3");
    EXPECT_EQ(p.jpegFilename, "P1.JPG");
    EXPECT_EQ(p.rawBytes, 900);
    EXPECT_EQ(p.jpegBytes, 300);

    const PhotoPair& e = pairs[1];
    EXPECT_TRUE(e.isFavorite);
    EXPECT_TRUE(e.isEdited);
    EXPECT_EQ(e.albumNames, (QStringList{"Trip", "Twinslim Favs"}));
    EXPECT_EQ(e.albumsText(), "Trip, Twinslim Favs");
    EXPECT_EQ(e.rawUTI, arw);
    EXPECT_EQ(e.jpegFilename, "E1.JPG"); // the first JPEG, not the rendition
    EXPECT_EQ(e.rawBytes, 700);
    EXPECT_EQ(e.flagsRank(), 3);
}

TEST(PairScan, SkipsNonPairsHiddenAssetsAndAssetsOutsideTheWindow) {
    TestLibrary lib;
    const QString inside = lib.add({{TestLibrary::raw(10), TestLibrary::jpeg(5)}, at(10)});
    lib.add({{TestLibrary::raw(10)}, at(10)});
    lib.add({{TestLibrary::jpeg(5)}, at(10)});
    lib.add({{TestLibrary::raw(10), TestLibrary::jpeg(5)}, at(10), false, /*hidden=*/true});
    const QString early = lib.add({{TestLibrary::raw(10), TestLibrary::jpeg(5)}, at(1)});
    const QString undated = lib.add({{TestLibrary::raw(10), TestLibrary::jpeg(5)}, std::nullopt});

    EXPECT_EQ(idsOf(scanAll(at(5))), QStringList{inside});
    EXPECT_EQ(idsOf(scanAll(std::nullopt, at(5))), QStringList{early});
    // Without bounds the undated asset is found too, with no date.
    const auto all = scanAll();
    ASSERT_EQ(idsOf(all), (QStringList{inside, early, undated}));
    EXPECT_EQ(all[2].creationDate, std::nullopt);
}

TEST(PairScan, BoundsAreInclusive) {
    TestLibrary lib;
    const QString before =
        lib.add({{TestLibrary::raw(1), TestLibrary::jpeg(1)}, at(5).addMSecs(-1)});
    const QString lower = lib.add({{TestLibrary::raw(1), TestLibrary::jpeg(1)}, at(5)});
    const QString upper = lib.add({{TestLibrary::raw(1), TestLibrary::jpeg(1)}, at(9)});
    const QString after = lib.add({{TestLibrary::raw(1), TestLibrary::jpeg(1)}, at(9).addMSecs(1)});
    EXPECT_EQ(idsOf(scanAll(at(5), at(9))), (QStringList{upper, lower}));
    Q_UNUSED(before);
    Q_UNUSED(after);
}

TEST(PairScan, AbsentResourceSizeStaysAbsent) {
    TestLibrary lib;
    const QString id = lib.add({{TestLibrary::jpeg(5), TestLibrary::raw(10)}, at(3)});
    CatalogRows(lib.path()).forgetResourceSize(id, 1);
    const auto pairs = scanAll();
    ASSERT_EQ(pairs.size(), 1u);
    EXPECT_EQ(pairs[0].rawBytes, std::nullopt);
    EXPECT_EQ(pairs[0].rawSize(), 0);
    EXPECT_EQ(pairs[0].jpegBytes, 5);
}

TEST(PairScan, ProgressAfterEveryFiftiethAssetAndAtTheEnd) {
    TestLibrary lib;
    std::vector<TestLibrary::NewAsset> assets;
    for (int i = 0; i < 120; ++i) {
        // Non-pairs count as handled assets too.
        if (i % 3 == 0)
            assets.push_back({{TestLibrary::jpeg(1)}, at(1).addSecs(i)});
        else
            assets.push_back({{TestLibrary::raw(1), TestLibrary::jpeg(1)}, at(1).addSecs(i)});
    }
    lib.add(assets);
    ProgressLog log;
    const auto pairs = testloop::await(scan(
        {}, {}, [] { return false; }, log.callback()));
    EXPECT_EQ(pairs.size(), 80u);
    EXPECT_EQ(log.reports,
              (std::vector<std::pair<int, int>>{{1, 120}, {51, 120}, {101, 120}, {120, 120}}));
}

TEST(PairScan, CancelledAfterTenAssetsStopsAndReportsTheTotal) {
    TestLibrary lib;
    std::vector<TestLibrary::NewAsset> assets;
    for (int i = 0; i < 60; ++i)
        assets.push_back({{TestLibrary::raw(1), TestLibrary::jpeg(1)}, at(1).addSecs(-i)});
    const QStringList ids = lib.add(assets);
    ProgressLog log;
    int polls = 0;
    const auto pairs = testloop::await(scan(
        {}, {}, [&polls] { return ++polls > 10; }, log.callback()));
    EXPECT_EQ(polls, 11); // polled before each asset, and not after stopping
    EXPECT_EQ(idsOf(pairs), ids.mid(0, 10));
    EXPECT_EQ(log.reports, (std::vector<std::pair<int, int>>{{1, 60}, {60, 60}}));
}

TEST(PairScan, CancelledBeforeTheFirstAssetStillReportsTheEnd) {
    TestLibrary lib;
    lib.add({{TestLibrary::raw(1), TestLibrary::jpeg(1)}, at(1)});
    ProgressLog log;
    const auto pairs = testloop::await(scan(
        {}, {}, [] { return true; }, log.callback()));
    EXPECT_TRUE(pairs.empty());
    EXPECT_EQ(log.reports, (std::vector<std::pair<int, int>>{{1, 1}}));
}

TEST(PairScan, EmptyLibraryReportsZeroOfZero) {
    TestLibrary lib;
    ProgressLog log;
    EXPECT_TRUE(testloop::await(scan(
                                    {}, {}, [] { return false; }, log.callback()))
                    .empty());
    EXPECT_EQ(log.reports, (std::vector<std::pair<int, int>>{{0, 0}}));
}

TEST(PairScan, ReadsOffTheCallingThreadAndResumesOnIt) {
    TestLibrary lib;
    lib.add({{TestLibrary::raw(1), TestLibrary::jpeg(1)}, at(1)});
    std::atomic<QThread*> pollThread = nullptr;
    auto task = [](std::atomic<QThread*>* poll) -> QCoro::Task<QThread*> {
        IsCancelled isCancelled = [poll] {
            poll->store(QThread::currentThread());
            return false;
        };
        auto reading = scan({}, {}, std::move(isCancelled), {});
        co_await reading;
        co_return QThread::currentThread();
    }(&pollThread);
    QThread* resumedOn = testloop::await(std::move(task));
    EXPECT_EQ(resumedOn, QThread::currentThread());
    ASSERT_NE(pollThread.load(), nullptr);
    EXPECT_NE(pollThread.load(), QThread::currentThread());
}

TEST(PairScan, ManyPairsInsertedDirectlyAreAllFound) {
    TestLibrary lib;
    CatalogRows(lib.path()).insertPairs(500, at(20));
    const auto pairs = scanAll(at(20).addSecs(-99), at(20));
    ASSERT_EQ(pairs.size(), 100u);
    EXPECT_EQ(pairs.front().creationDate, at(20));
    EXPECT_EQ(pairs.back().creationDate, at(20).addSecs(-99));
    EXPECT_EQ(pairs.front().rawUTI, arw);
    EXPECT_EQ(pairs.front().jpegUTI, jpg);
}
