#include "backup/BackupFolder.h"
#include "backup/DurableFile.h"
#include "backup/MarkerAlbum.h"
#include "core/EventLoop.h"
#include "core/IsolatedEnvironment.h"
#include "core/LibraryModel.h"
#include "core/TestLibrary.h"
#include "fixtures/ImageFixtures.h"
#include "ingest/IngestLogger.h"
#include "library/PhotoLibraryOperations.h"
#include "support/ObservedLog.h"
#include "support/TestSupport.h"

#include <QCoreApplication>
#include <QDir>
#include <QDirIterator>
#include <QRegularExpression>
#include <QThread>
#include <mutex>
#include <sys/stat.h>

using namespace twinslim;
using photos::ResourceType;

TWINSLIM_ISOLATE_ENVIRONMENT();

namespace {

const QDateTime t0(QDate(2023, 7, 14), QTime(8, 22, 33), Qt::UTC); // 10:22:33 in Berlin

TestLibrary::NewAsset pairNamed(const QString& stem, bool favourite,
                                std::optional<QDateTime> date = t0) {
    return {{{ResourceType::Photo, "public.jpeg", stem + ".JPG", 300},
             {ResourceType::AlternatePhoto, "com.canon.cr3-raw-image", stem + ".CR3", 900}},
            date,
            favourite};
}

QDateTime march5(int h, int m, int s, int ms, Qt::TimeSpec timeSpec = Qt::LocalTime) {
    return QDateTime(QDate(2024, 3, 5), QTime(h, m, s, ms), timeSpec);
}

std::optional<QString> write(IngestLogger& logger, BackupFolder* folder) {
    return testloop::await(logger.write(folder));
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
    // An exported picture, taken at t0 unless undated.
    void exported(const QString& name, bool dated = true) {
        imaging::ExifFields exif;
        if (dated)
            exif.dateTimeOriginal = "2023:07:14 10:22:33"; // local wall-clock time
        fixtures::makeJpegFile(exports.filePath(name), QSize(32, 32), exif);
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
    // Three non-favourite pairs, each with its export.
    QStringList threeExportedPairs() {
        const QStringList ids = lib.add(
            {pairNamed("IMG_1", false), pairNamed("IMG_2", false), pairNamed("IMG_3", false)});
        lib.addAlbum("Twinslim NonFavs", ids);
        for (const char* name : {"IMG_1.heic", "IMG_2.heic", "IMG_3.heic"})
            exported(name);
        return ids;
    }
    // At the first log line holding `text`, the backup disk is unplugged: the folder moves
    // away and its mount point stays behind, empty.
    void unplugBackupAt(const QString& text) {
        QObject::connect(&model, &LibraryModel::ingestLineLogged, [this, text](const QString& l) {
            if (l.contains(text) && !std::exchange(unplugged, true)) {
                ASSERT_TRUE(QDir().rename(backup.path(), elsewhere.path() + "/disk"));
                ASSERT_TRUE(QDir().mkpath(backup.path()));
            }
        });
    }

    TestLibrary lib;
    LibraryModel model;
    QTemporaryDir backup, exports;
    std::vector<int> prompts;
    bool answer = true;
    QStringList lines;
    QTemporaryDir elsewhere; // where an unplugged backup folder goes
    bool unplugged = false;
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
    exported("DUP.heic", false);
    exported("Nobody.jpeg");
    testsupport::writeFile(exports.filePath("notes.txt"), "not a picture");
    QList<int> indices;
    QObject::connect(&model, &LibraryModel::runIndexChanged, [&] { indices << model.runIndex(); });
    // Backups, records and the log are flushed, and never on the window's thread, which a
    // flush waiting on the disk would freeze.
    std::mutex flushesMutex;
    QStringList flushes, flushesOnMainThread;
    durable::setFlushObserver([&](const QString& path) {
        const std::lock_guard lock(flushesMutex);
        flushes << path;
        if (QThread::currentThread() == qApp->thread())
            flushesOnMainThread << path;
    });

    ingest();
    durable::setFlushObserver({});
    EXPECT_GE(flushes.size(), 6);
    EXPECT_EQ(flushesOnMainThread, QStringList());

    const QString folder = QDir(exports.path()).canonicalPath();
    const QStringList log = logMessages();
    ASSERT_GE(log.size(), 12);
    EXPECT_EQ(log.mid(0, 3),
              (QStringList{"Ingest start: folder=" + folder, "Album members: 1 fav + 3 non-fav = 4",
                           "Found 4 image files to ingest"}));
    EXPECT_EQ(log[3], "AMBIGUOUS DUP.heic: base=\"dup\" matched 2 assets and file has no EXIF "
                      "date to disambiguate");
    EXPECT_EQ(log[4], "MATCH IMG_1.heic → asset " + ids[0] + " [fav]");
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
    ASSERT_TRUE(report.logPath);
    EXPECT_EQ(
        report.summaryMessage(),
        "Replaced 2 of 2 matched files. 1 unmatched (no photo of the export albums matches it): "
        "Nobody.jpeg. 1 ambiguous (skipped): DUP.heic. Originals are in Recently Deleted; "
        "space frees once it empties. Log: " +
            *report.logPath);
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
    // Nothing was deleted, so the report does not say so.
    const IngestReport report = *model.ingestReport();
    EXPECT_EQ(report.summaryMessage(),
              "Replaced 2 of 2 matched files. 2 replaced originals were not deleted; they wait in "
              "“TwinslimOriginalsToDelete” until the clean-up. Log: " +
                  *report.logPath);
}

// A run whose deletion was refused, as one cut short: its original waits in the marker album.
// A dry run then skips that original; the next run counts its files from the start again.
TEST_F(IngestRunTest, AfterARunThatDeletedNothingTheDryRunSkipsItsOriginalAndCountsStartAgain) {
    const QStringList ids = lib.add({pairNamed("IMG_1", false), pairNamed("IMG_2", false)});
    lib.addAlbum("Twinslim NonFavs", ids);
    exported("IMG_1.heic");
    QList<int> indices;
    QObject::connect(&model, &LibraryModel::runIndexChanged, [&] { indices << model.runIndex(); });
    answer = false;
    ingest();
    EXPECT_EQ(logMessages()[2], "Found 1 image file to ingest");
    EXPECT_EQ(indices, QList<int>{1});
    ASSERT_EQ(idsOf(assetsInAlbumTitled(markerAlbumTitle())), QStringList{ids[0]});

    exported("IMG_2.heic");
    const std::optional<IngestPlan> plan = model.planIngest(exports.path());
    ASSERT_TRUE(plan);
    EXPECT_EQ(plan->startLines.last(), "Found 2 image files to ingest");
    ASSERT_EQ(plan->entries.size(), 2u);
    using Outcome = IngestPlan::Entry::Outcome;
    EXPECT_EQ(plan->entries[0].outcome, Outcome::alreadyReplaced);
    EXPECT_EQ(plan->entries[1].outcome, Outcome::matched);
    EXPECT_EQ(itemCount(), 3);

    indices.clear();
    answer = true;
    ingest();
    EXPECT_EQ(indices, (QList<int>{0, 1, 2}));
    EXPECT_EQ(model.ingestReport()->replaced, 1);
}

TEST_F(IngestRunTest, FailuresAreCountedLoggedAndPassedOver) {
    const QStringList ids =
        lib.add({pairNamed("BROKEN", false), pairNamed("CUT", false), pairNamed("CUTJ", false),
                 pairNamed("EMPTY", false), pairNamed("FINE", false), pairNamed("HUGE", false),
                 pairNamed("JUNK", false), pairNamed("PIPE", false)});
    lib.addAlbum("Twinslim NonFavs", ids);
    scanAll();
    exported("BROKEN.jpg"); // the first to reach the library, whose change fails
    // Headers intact, pixels cut off.
    fixtures::makeHeicFile(exports.filePath("CUT.heic"), QSize(64, 64));
    testsupport::writeFile(exports.filePath("CUT.heic"),
                           testsupport::readFile(exports.filePath("CUT.heic")).left(300));
    const QByteArray jpeg = fixtures::makeJpeg(QSize(256, 256));
    testsupport::writeFile(exports.filePath("CUTJ.jpg"), jpeg.left(jpeg.size() / 2));
    testsupport::writeFile(exports.filePath("EMPTY.heic"), "");
    exported("FINE.jpg");
    QFile huge(exports.filePath("HUGE.heic")); // sparse: takes no room
    ASSERT_TRUE(huge.open(QIODevice::WriteOnly) && huge.resize(qint64(3) << 30));
    huge.close();
    testsupport::writeFile(exports.filePath("JUNK.heic"), "not a picture at all");
    ASSERT_EQ(::mkfifo(QFile::encodeName(exports.filePath("PIPE.heic")).constData(), 0644), 0);
    lib.library().faults().failNextChangeWithError = true;
    lib.library().faults().changesBeforeFailure = 1; // the marker album's creation passes
    ingest();
    const QStringList log = logMessages();
    const QString unreadable = "Could not find the RAW/JPEG resources.";
    const QString notAPicture =
        "The file is not a JPEG or HEIC picture that can be decoded (cut off or damaged?).";
    for (const QString& line : QStringList{
             "  FAILED BROKEN.jpg: The photo library change failed (injected).",
             "  FAILED CUT.heic: " + notAPicture, "  FAILED CUTJ.jpg: " + notAPicture,
             "  FAILED EMPTY.heic: " + unreadable,
             "  FAILED HUGE.heic: The file is larger than 2 GB, too large for an exported picture.",
             "  FAILED JUNK.heic: " + notAPicture, "  FAILED PIPE.heic: " + unreadable})
        EXPECT_TRUE(log.contains(line)) << line.toStdString();
    const IngestReport report = *model.ingestReport();
    // The report names the first five that failed, each with its reason.
    EXPECT_TRUE(report.summaryMessage().startsWith(
        "Replaced 1 of 8 matched files. 7 failed: BROKEN.jpg: The photo library change failed "
        "(injected); CUT.heic: " +
        notAPicture.chopped(1) + "; CUTJ.jpg: " + notAPicture.chopped(1) +
        "; EMPTY.heic: " + unreadable.chopped(1) +
        "; HUGE.heic: The file is larger than 2 GB, too large for an exported picture…. "))
        << report.summaryMessage().toStdString();
    EXPECT_EQ(report.failures.size(), 7);
    EXPECT_EQ(itemCount(), 8); // FINE's replacement in, its original out
    EXPECT_EQ(idsOf(model.pairs()).size(), 7);
}

TEST_F(IngestRunTest, ReasonsNotToStartAreMessagesAndChangeNothing) {
    const QString id = lib.add(pairNamed("IMG_1", false));
    exported("IMG_1.heic");
    ingest(); // no export album yet
    EXPECT_EQ(model.infoMessage(),
              QString("Both export albums are empty or missing — create them first."));
    lib.addAlbum("Twinslim NonFavs", {id});
    model.backup()->setUrl(backup.path() + "/gone");
    ingest();
    EXPECT_TRUE(model.infoMessage()->startsWith("The backup folder isn’t reachable:\n"));

    // Backups inside the library, or among the exported files, are refused.
    for (const QString& inside :
         {lib.library().path(), lib.library().path() + "/resources", exports.path() + "/backups"}) {
        QDir().mkpath(inside);
        model.backup()->setUrl(inside);
        ingest();
        EXPECT_TRUE(model.infoMessage()->startsWith("The backup folder is inside the "))
            << inside.toStdString();
    }
    EXPECT_EQ(album(markerAlbumTitle()), nullptr);

    model.backup()->setUrl(backup.path());
    lib.library().faults().failNextChangeWithError = true; // the marker album cannot be made
    ingest();
    EXPECT_EQ(
        model.infoMessage(),
        QString("Could not create the album “TwinslimOriginalsToDelete”, where replaced originals "
                "wait until they are deleted: The photo library change failed (injected)."));
    EXPECT_FALSE(model.isRunning() || model.ingestReport());
    // No log, and no trace of the check that the folder takes files.
    EXPECT_TRUE(
        QDir(backup.path()).isEmpty(QDir::AllEntries | QDir::Hidden | QDir::NoDotAndDotDot));
    EXPECT_EQ(itemCount(), 1);

    // Exported files inside a folder library would become its pictures, twice each.
    QTemporaryDir pictures;
    const QString inside = pictures.path() + "/2023/Exported";
    QDir().mkpath(inside);
    fixtures::makeJpegFile(inside + "/IMG_1.jpeg", QSize(32, 32));
    photos::PhotoLibrary::setShared(photos::PhotoLibrary::open(pictures.path()));
    testloop::await(model.ingest(inside));
    EXPECT_EQ(model.infoMessage(),
              "The folder of exported files is inside the photo library:\n" + inside +
                  "\n\nEvery file below “" + pictures.path() +
                  "” is a picture of the library, so the exported files would become duplicates "
                  "of their replacements. Export to a folder outside the library, then ingest "
                  "from there.");
    EXPECT_FALSE(model.planIngest(inside));
    EXPECT_EQ(album(markerAlbumTitle()), nullptr);
    // A folder beside the library whose name only starts like it is outside.
    QDir().mkpath(pictures.path() + "-exported");
    testloop::await(model.ingest(pictures.path() + "-exported"));
    EXPECT_EQ(model.infoMessage(),
              QString("Both export albums are empty or missing — create them first."));
    QDir(pictures.path() + "-exported").removeRecursively();
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

// An original another run parked meanwhile is not replaced a second time.
TEST_F(IngestRunTest, AnOriginalIsParkedOnlyOnce) {
    const QString id = lib.add(pairNamed("IMG_1", false));
    const CollectionPtr marker = testloop::await(findOrCreateAlbum(markerAlbumTitle()));
    ASSERT_TRUE(marker);
    const auto original = lib.library().fetchAssetsWithLocalIdentifiers({id});
    testloop::await(addAssets(original, marker));
    IngestLogger logger;
    EXPECT_THROW(
        testloop::await(model.replaceOriginal(original.front(), fixtures::makeJpeg(QSize(8, 8)),
                                              uti::UTType::jpeg(), marker, logger)),
        photos::PhotoLibraryError);
    EXPECT_EQ(itemCount(), 1);
}

// An unplugged backup disk leaves its mount point behind as an empty folder of the system disk.
TEST_F(IngestRunTest, ABackupFolderThatGoesAwayIsNeverRecreatedAndStopsTheRun) {
    threeExportedPairs();
    unplugBackupAt("  replaced with IMG_1");
    ingest();
    EXPECT_TRUE(
        QDir(backup.path()).isEmpty(QDir::AllEntries | QDir::Hidden | QDir::NoDotAndDotDot));
    const QStringList log = logMessages();
    EXPECT_EQ(log.filter(QRegularExpression("^  FAILED IMG_2.heic: The backup folder “")).size(),
              1);
    EXPECT_FALSE(log.join("\n").contains("IMG_3"));
    const IngestReport report = *model.ingestReport();
    EXPECT_EQ(report.summaryMessage(),
              "Replaced 1 of 2 matched files. 1 failed: IMG_2.heic: The backup folder “" +
                  backup.path() +
                  "” is gone or is no longer the folder this run started with (an unplugged disk "
                  "or an unmounted share?). Nothing more is changed in this run. 1 replaced "
                  "original was not deleted; it waits in “TwinslimOriginalsToDelete” until the "
                  "clean-up.");
    EXPECT_TRUE(prompts.empty()); // nothing deleted: the run stopped making changes
    EXPECT_EQ(itemCount(), 4);
    EXPECT_EQ(log.filter(QRegularExpression("^Ingest stopped after 2 of 3 files .*; the replaced "
                                            "originals wait in “TwinslimOriginalsToDelete”"))
                  .size(),
              1);
}

// The next pair's copies are made while the one before is replaced: when the folder goes away
// meanwhile, a copy that failed is reported as the folder gone, the cause, not as the copy.
TEST_F(IngestRunTest, ACopyThatFailsAfterTheFolderWentAwayIsReportedAsTheFolderGone) {
    const QStringList ids = threeExportedPairs();
    // IMG_2's copies fail whenever they are made: its files are gone from the library.
    const photos::AssetPtr second = lib.library().fetchAssetsWithLocalIdentifiers({ids[1]}).at(0);
    for (const photos::ResourcePtr& r : second->resources)
        ASSERT_TRUE(QFile::remove(lib.library().path() + "/" + r->storedPath));
    unplugBackupAt("  replaced with IMG_1");
    ingest();
    const QStringList log = logMessages();
    EXPECT_EQ(log.filter(QRegularExpression("^  FAILED IMG_2.heic: The backup folder “")).size(), 1)
        << log.join("\n").toStdString();
    EXPECT_FALSE(log.join("\n").contains("IMG_3"));
    EXPECT_TRUE(
        QDir(backup.path()).isEmpty(QDir::AllEntries | QDir::Hidden | QDir::NoDotAndDotDot));
}

// A run that stops before any original was replaced says so, not that originals wait.
TEST_F(IngestRunTest, AStopBeforeAnyReplacementSaysNoOriginalWaits) {
    lib.addAlbum("Twinslim NonFavs",
                 lib.add({pairNamed("IMG_1", false), pairNamed("IMG_2", false)}));
    exported("IMG_1.heic");
    unplugBackupAt("IMG_1");
    ingest();
    const QStringList log = logMessages();
    EXPECT_EQ(log.filter(QRegularExpression("^Ingest stopped after 1 of 1 files .*; no original "
                                            "was replaced$"))
                  .size(),
              1)
        << log.join("\n").toStdString();
    EXPECT_EQ(log.filter("wait in").size(), 0);
}

// The next file's originals are copied while the one in hand is replaced. A file whose export
// turns out broken, or that a stop keeps the run from, leaves none of those copies behind.
TEST_F(IngestRunTest, CopiesMadeAheadForAFileThatIsNotReplacedAreRemoved) {
    const QStringList ids = lib.add({pairNamed("IMG_1", true), pairNamed("IMG_2", true),
                                     pairNamed("IMG_3", true), pairNamed("IMG_4", true)});
    lib.addAlbum("Twinslim Favs", ids);
    exported("IMG_1.heic");
    testsupport::writeFile(exports.filePath("IMG_2.heic"), "not a picture at all");
    exported("IMG_3.heic");
    exported("IMG_4.heic");
    QObject::connect(&model, &LibraryModel::ingestLineLogged, [&](const QString& line) {
        if (line.contains("  replaced with IMG_3"))
            model.requestIngestStop();
    });
    ingest();
    const QStringList log = logMessages();
    EXPECT_TRUE(log.contains("  FAILED IMG_2.heic: The file is not a JPEG or HEIC picture that "
                             "can be decoded (cut off or damaged?)."));
    EXPECT_FALSE(log.join("\n").contains("IMG_4")) << log.join("\n").toStdString();
    EXPECT_EQ(model.ingestReport()->replaced, 2);

    QStringList found;
    QDirIterator it(backup.path(), QDir::Files | QDir::Hidden | QDir::System,
                    QDirIterator::Subdirectories);
    while (it.hasNext())
        found << QDir(backup.path()).relativeFilePath(it.next());
    found.sort();
    QStringList expected;
    for (const QString& id : {ids[0], ids[2]})
        for (const char* suffix : {".CR3", ".JPG", ".json"})
            expected << "2023-07/FAVS/" + QString(id).replace('/', '_') + suffix;
    expected.sort();
    ASSERT_EQ(found.size(), expected.size() + 1) << found.join("\n").toStdString();
    EXPECT_EQ(found.mid(0, expected.size()), expected);
    EXPECT_TRUE(found.last().startsWith("Twinslim-logs/ingest-"));
}

// "Backup Folder…" stays usable during a run: a new choice counts from the next run on.
TEST_F(IngestRunTest, AFolderChosenDuringARunTakesEffectAtTheNextRun) {
    const QStringList ids = lib.add({pairNamed("IMG_1", false), pairNamed("IMG_2", false)});
    lib.addAlbum("Twinslim NonFavs", ids);
    exported("IMG_1.heic");
    exported("IMG_2.heic");
    QTemporaryDir chosenLater;
    QObject::connect(&model, &LibraryModel::ingestLineLogged, [&](const QString& line) {
        if (line.contains("  replaced with IMG_1"))
            model.backup()->setUrl(chosenLater.path());
    });
    ingest();
    EXPECT_EQ(model.ingestReport()->replaced, 2);
    EXPECT_TRUE(model.ingestReport()->logPath->startsWith(backup.path()));
    EXPECT_TRUE(QDir(chosenLater.path()).isEmpty());
    EXPECT_EQ(QDir(backup.path() + "/2023-07/NONFAVS").entryList(QDir::Files).size(), 4u);
}

TEST_F(IngestRunTest, OddFileNamesAreEscapedOrListedNeverLost) {
    lib.addAlbum("Twinslim NonFavs", {lib.add(pairNamed("IMG_1", false))});
    exported("IMG_1.heic");
    exported("IMG\n[10:00:00.000] Ingest done.heic");
    const QByteArray latin1 = QFile::encodeName(exports.path()) + "/Caf\xe9.heic";
    QFile::copy(exports.filePath("IMG_1.heic"), exports.filePath("tmp"));
    ASSERT_EQ(::rename(QFile::encodeName(exports.filePath("tmp")).constData(), latin1.constData()),
              0);
    ingest();
    const IngestReport report = *model.ingestReport();
    EXPECT_EQ(report.badNames, QStringList{"Caf\\xe9.heic"});
    EXPECT_EQ(report.unmatched, QStringList{"IMG\\n[10:00:00.000] Ingest done.heic"});
    const QStringList log = logMessages();
    EXPECT_TRUE(log.contains("SKIPPED Caf\\xe9.heic: the file name is not valid UTF-8; rename the "
                             "file to ingest it"));
    // One line per message in the file, none of them forged.
    const QStringList written =
        QString::fromUtf8(testsupport::readFile(*report.logPath)).split('\n', Qt::SkipEmptyParts);
    EXPECT_EQ(written.size(), log.size());
    EXPECT_EQ(written.filter("Ingest done").size(), 2); // the real one and the escaped name
    EXPECT_EQ(written.filter(QRegularExpression("^\\[[0-9:.]+\\] Ingest done")).size(), 1);
}

TEST(IngestLogger, LinesAreStampedInLocalTimeMirroredUnstampedAndWrittenExactly) {
    testsupport::ObservedLog observed;
    QDateTime now = march5(10, 22, 33, 47);
    IngestLogger logger(march5(7, 8, 9, 0), [&] { return now; });
    logger.log("Found 3 image files to ingest");
    now = march5(8, 0, 1, 5, Qt::UTC); // 09:00:01.005 in local (Berlin) time
    logger.log("  match IMG_1.heic → “Müller”");
    logger.log("Ingest done: matched=1");
    ASSERT_EQ(observed.entries().size(), 3u);
    const QStringList mirrored = observed.lines("ingest");
    ASSERT_EQ(mirrored.size(), 3);
    EXPECT_EQ(mirrored[1],
              QString::number(sys::SystemLog::defaultPriority) + "   match IMG_1.heic → “Müller”");

    // An earlier log of the same name (a run started in the same second) is kept; the folder
    // exists already.
    QTemporaryDir tmp;
    BackupFolder backup("ingestLoggerTestKey");
    backup.setUrl(tmp.path());
    const QString taken = tmp.path() + "/Twinslim-logs/ingest-20240305-070809.log";
    const QString path = tmp.path() + "/Twinslim-logs/ingest-20240305-070809-2.log";
    EXPECT_EQ(write(logger, &backup), taken); // the first of its second takes the plain name
    testsupport::writeFile(taken, QByteArray(500, 'o'));
    EXPECT_EQ(write(logger, &backup), path);
    EXPECT_EQ(testsupport::readFile(taken), QByteArray(500, 'o'));
    EXPECT_EQ(testsupport::readFile(path),
              QByteArray("[10:22:33.047] Found 3 image files to ingest\n"
                         "[09:00:01.005]   match IMG_1.heic → “Müller”\n"
                         "[09:00:01.005] Ingest done: matched=1\n"));
    // The file is named after the start in local time, across a year's end too.
    const QDateTime newYearsEveUtc(QDate(2024, 12, 31), QTime(23, 4, 5, 999), Qt::UTC);
    EXPECT_EQ(IngestLogger(newYearsEveUtc).fileName(), "ingest-20250101-000405.log");
}
