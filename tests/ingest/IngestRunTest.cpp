#include "backup/BackupFolder.h"
#include "backup/MarkerAlbum.h"
#include "core/EventLoop.h"
#include "core/LibraryModel.h"
#include "core/TestLibrary.h"
#include "fixtures/ImageFixtures.h"
#include "ingest/IngestLogger.h"
#include "library/PhotoLibraryOperations.h"
#include "support/TestSupport.h"

#include <QDir>
#include <sys/stat.h>

using namespace twinslim;
using photos::ResourceType;

namespace {

const QDateTime t0(QDate(2023, 7, 14), QTime(8, 22, 33), Qt::UTC); // 10:22:33 in Berlin

TestLibrary::NewAsset pairNamed(const QString& stem, bool favourite,
                                std::optional<QDateTime> date = t0) {
    return {{{ResourceType::Photo, "public.jpeg", stem + ".JPG", 300},
             {ResourceType::AlternatePhoto, "com.canon.cr3-raw-image", stem + ".CR3", 900}},
            date,
            favourite};
}

} // namespace

class IngestRunTest : public ::testing::Test {
protected:
    void SetUp() override {
        model.backup()->setUrl(backup.path());
        lib.library().setDeletionConfirmationHandler([this](int n, auto reply) {
            prompts.push_back(n);
            reply(answer);
        });
    }
    // An exported picture; `exifDate` is local wall-clock EXIF text, empty for none.
    QString exported(const QString& name, const QString& exifDate = "2023:07:14 10:22:33") {
        imaging::ExifFields exif;
        if (!exifDate.isEmpty())
            exif.dateTimeOriginal = exifDate;
        const QString path = exports.filePath(name);
        fixtures::makeJpegFile(path, QSize(32, 32), exif);
        return path;
    }
    void scanAll() {
        model.setDateRange(DateRange::all);
        testloop::await(model.scan());
    }
    void ingest() { testloop::await(model.ingest(exports.path())); }
    QStringList logMessages() const {
        QStringList out;
        for (const QString& line : lines)
            out << line.section("] ", 1);
        return out;
    }
    int itemCount() { return int(lib.library().fetchAssets(photos::MediaType::Image).size()); }

    TestLibrary lib;
    LibraryModel model;
    QTemporaryDir backup, exports;
    std::vector<int> prompts;
    bool answer = true;
    QStringList lines;
    QMetaObject::Connection logged = QObject::connect(&model, &LibraryModel::ingestLineLogged,
                                                      [this](const QString& l) { lines << l; });
};

TEST_F(IngestRunTest, ReplacesMatchesDeletesOnceAndReports) {
    const QStringList ids =
        lib.add({pairNamed("IMG_1", true), pairNamed("IMG_2", false), pairNamed("DUP", false),
                 pairNamed("DUP", false), pairNamed("KEEP", false)});
    lib.addAlbum("Twinslim Favs", {ids[0]});
    lib.addAlbum("Twinslim NonFavs", {ids[1], ids[2], ids[3]});
    scanAll();
    model.setSelectedIDs({ids[0], ids[2], ids[4]});
    exported("IMG_1.heic");
    exported("IMG_2 (1).jpg");
    exported("DUP.heic", "");
    exported("Nobody.jpeg");
    testsupport::writeFile(exports.filePath("notes.txt"), "not a picture");
    QList<int> indices;
    QObject::connect(&model, &LibraryModel::runIndexChanged, [&] { indices << model.runIndex(); });

    ingest();

    const QString folder = QDir(exports.path()).canonicalPath();
    const QStringList log = logMessages();
    ASSERT_GE(log.size(), 12);
    EXPECT_EQ(log.mid(0, 3),
              (QStringList{"Ingest start: folder=" + folder, "Album members: 1 fav + 3 non-fav = 4",
                           "Found 4 image files to ingest"}));
    EXPECT_EQ(log[3], "AMBIGUOUS DUP.heic: base=\"dup\" matched 2 assets and file has no EXIF "
                      "date to disambiguate");
    EXPECT_EQ(log[4], "MATCH IMG_1.heic → asset " + ids[0] + " [fav]");
    EXPECT_TRUE(log[5].startsWith("  backup jpeg → 2023-07/FAVS/"));
    EXPECT_TRUE(log[6].startsWith("  backup raw → 2023-07/FAVS/"));
    EXPECT_TRUE(log[7].startsWith("  replaced with IMG_1.heic (new asset "));
    EXPECT_EQ(log[8], "MATCH IMG_2 (1).jpg → asset " + ids[1] + " [non-fav]");
    EXPECT_TRUE(log[10].startsWith("  replaced with IMG_2.jpeg (new asset "));
    EXPECT_EQ(log[11], "UNMATCHED Nobody.jpeg: base=\"nobody\" not found among any album "
                       "member's resource names");
    EXPECT_EQ(log.last(), "Ingest done: matched=2 replaced=2 failed=0 unmatched=1 ambiguous=1");
    EXPECT_EQ(indices, (QList<int>{1, 2, 3, 4}));
    EXPECT_TRUE(model.runTotal() == 4 && model.runIndex() == 4 && !model.isRunning());
    EXPECT_EQ(model.currentLabel(), "Nobody.jpeg");

    // One prompt for both originals; they leave the export albums, pairs and selection.
    EXPECT_EQ(prompts, std::vector<int>{2});
    EXPECT_EQ(lib.library().trashedAssets().size(), 2u);
    EXPECT_EQ(itemCount(), 5);
    EXPECT_EQ(idsOf(assetsInAlbumTitled("Twinslim NonFavs")), (QStringList{ids[2], ids[3]}));
    EXPECT_TRUE(assetsInAlbumTitled("Twinslim Favs").empty());
    EXPECT_EQ(idsOf(model.pairs()).size(), 3);
    EXPECT_FALSE(idsOf(model.pairs()).contains(ids[0]) || idsOf(model.pairs()).contains(ids[1]));
    EXPECT_EQ(model.selectedIDs(), (QSet<QString>{ids[2], ids[4]}));

    ASSERT_TRUE(model.ingestReport() && model.showIngestReport());
    const IngestReport& report = *model.ingestReport();
    EXPECT_EQ(report, (IngestReport{2, 2, 0, {"Nobody.jpeg"}, {"DUP.heic"}, report.logPath}));
    ASSERT_TRUE(report.logPath);
    EXPECT_TRUE(report.logPath->startsWith(backup.path() + "/Twinslim-logs/ingest-"));
    EXPECT_EQ(QString::fromUtf8(testsupport::readFile(*report.logPath)), lines.join("\n") + "\n");
}

TEST_F(IngestRunTest, RefusedDeletionStillCleansAlbumsPairsAndSelection) {
    const QStringList ids = lib.add({pairNamed("IMG_1", true), pairNamed("IMG_2", false)});
    lib.addAlbum("Twinslim Favs", {ids[0]});
    lib.addAlbum("Twinslim NonFavs", {ids[1]});
    scanAll();
    model.setSelectedIDs({ids[0], ids[1]});
    exported("IMG_1.heic");
    exported("IMG_2.heic");
    answer = false;
    ingest();
    EXPECT_EQ(prompts, std::vector<int>{2});
    EXPECT_EQ(itemCount(), 4); // originals and their replacements
    EXPECT_EQ(idsOf(assetsInAlbumTitled(markerAlbumTitle())), ids);
    EXPECT_TRUE(assetsInAlbumTitled("Twinslim Favs").empty() &&
                assetsInAlbumTitled("Twinslim NonFavs").empty());
    EXPECT_TRUE(model.pairs().empty() && model.selectedIDs().isEmpty());
    EXPECT_TRUE(
        model.ingestReport()->summaryMessage().contains("Originals are in Recently Deleted"));

    // The next run finds them in the marker album and does not replace them again.
    // As a run interrupted before its end leaves them: still in an export album.
    testloop::await(
        addAssets(lib.library().fetchAssetsWithLocalIdentifiers(ids), album("Twinslim Favs")));
    lines.clear();
    answer = true;
    ingest();
    EXPECT_EQ(itemCount(), 4);
    EXPECT_EQ(model.ingestReport()->matched, 0);
    EXPECT_EQ(model.ingestReport()->unmatched, (QStringList{"IMG_1.heic", "IMG_2.heic"}));
}

TEST_F(IngestRunTest, FailuresAreCountedLoggedAndPassedOver) {
    const QStringList ids =
        lib.add({pairNamed("EMPTY", false), pairNamed("JUNK", false), pairNamed("PIPE", false),
                 pairNamed("BROKEN", false), pairNamed("FINE", false)});
    lib.addAlbum("Twinslim NonFavs", ids);
    scanAll();
    testsupport::writeFile(exports.filePath("EMPTY.heic"), "");
    testsupport::writeFile(exports.filePath("JUNK.heic"), "not a picture at all");
    ASSERT_EQ(::mkfifo(QFile::encodeName(exports.filePath("PIPE.heic")).constData(), 0644), 0);
    exported("BROKEN.jpg");
    exported("FINE.jpg");
    lib.library().faults().failNextChangeWithError = true;
    lib.library().faults().changesBeforeFailure = 1; // the marker album's creation passes
    ingest();
    const QStringList log = logMessages();
    const QString unreadable = "Could not find the RAW/JPEG resources.";
    EXPECT_TRUE(log.contains("  FAILED EMPTY.heic: " + unreadable));
    EXPECT_TRUE(log.contains("  FAILED JUNK.heic: " + unreadable));
    EXPECT_TRUE(log.contains("  FAILED PIPE.heic: " + unreadable));
    EXPECT_TRUE(log.contains("  FAILED BROKEN.jpg: The photo library change failed (injected)."));
    const IngestReport report = *model.ingestReport();
    EXPECT_TRUE(report.matched == 5 && report.replaced == 1 && report.failed == 4);
    EXPECT_EQ(itemCount(), 5); // FINE's replacement in, its original out
    EXPECT_EQ(idsOf(model.pairs()).size(), 4);
}

TEST_F(IngestRunTest, ReasonsNotToStartAreMessagesAndChangeNothing) {
    const QString id = lib.add(pairNamed("IMG_1", false));
    exported("IMG_1.heic");
    model.setIsRunning(true); // a run in progress: nothing at all
    ingest();
    EXPECT_FALSE(model.showInfoAlert() || model.ingestReport());
    model.setIsRunning(false);

    ingest(); // no export album yet
    EXPECT_EQ(model.infoMessage(),
              QString("Both export albums are empty or missing — create them first."));
    lib.addAlbum("Twinslim NonFavs", {id});
    model.backup()->setUrl(backup.path() + "/gone");
    ingest();
    EXPECT_TRUE(model.infoMessage()->startsWith("The backup folder isn’t reachable:\n"));

    model.backup()->setUrl(backup.path());
    lib.library().faults().failNextChangeWithError = true; // the marker album cannot be made
    ingest();
    EXPECT_EQ(
        model.infoMessage(),
        QString("Failed to create marker album: The photo library change failed (injected)."));
    EXPECT_FALSE(model.isRunning() || model.ingestReport());
    EXPECT_FALSE(QFileInfo::exists(backup.path() + "/Twinslim-logs"));
    EXPECT_EQ(itemCount(), 1);
}

TEST_F(IngestRunTest, AFolderWithoutPicturesStillMakesTheMarkerAlbumLogAndReport) {
    lib.addAlbum("Twinslim Favs", {lib.add(pairNamed("IMG_1", true))});
    testsupport::writeFile(exports.filePath("IMG_1.xmp"), "sidecar");
    ingest();
    EXPECT_NE(album(markerAlbumTitle()), nullptr);
    EXPECT_EQ(logMessages().mid(1),
              (QStringList{"Album members: 1 fav + 0 non-fav = 1", "Found 0 image files to ingest",
                           "Ingest done: matched=0 replaced=0 failed=0 "
                           "unmatched=0 ambiguous=0"}));
    const IngestReport report = *model.ingestReport();
    EXPECT_EQ(report.summaryMessage(), "Replaced 0 of 0 matched files. Log: " + *report.logPath);
    EXPECT_TRUE(prompts.empty());
}

TEST_F(IngestRunTest, DryRunMatchesLikeARunAndChangesNothing) {
    const QStringList ids = lib.add({pairNamed("IMG_1", true), pairNamed("IMG_2", false)});
    lib.addAlbum("Twinslim Favs", {ids[0]});
    lib.addAlbum("Twinslim NonFavs", {ids[1]});
    const qint64 exportedBytes = QFileInfo(exported("IMG_1.heic")).size();
    exported("Other.heic");
    const std::optional<IngestPlan> plan = model.planIngest(exports.path());
    ASSERT_TRUE(plan);
    EXPECT_EQ(plan->startLines.last(), "Found 2 image files to ingest");
    ASSERT_EQ(plan->entries.size(), 2u);
    EXPECT_EQ(plan->entries[0].message, "MATCH IMG_1.heic → asset " + ids[0] + " [fav]");
    EXPECT_EQ(plan->count(IngestPlan::Entry::Outcome::unmatched), 1);
    EXPECT_EQ(plan->reclaimedBytes(), 1200 - exportedBytes);
    EXPECT_EQ(album(markerAlbumTitle()), nullptr);
    EXPECT_TRUE(
        QDir(backup.path()).isEmpty(QDir::AllEntries | QDir::Hidden | QDir::NoDotAndDotDot));
    EXPECT_EQ(itemCount(), 2);
    EXPECT_FALSE(model.ingestReport() || model.isRunning());
}
