// The whole workflow on a folder of camera files through the real programs, and ingests
// killed at random moments on one.
#include "CliTestSupport.h"
#include "fixtures/DngFixture.h"
#include "fixtures/ImageFixtures.h"
#include "support/Darktable.h"

#include <QStandardPaths>
#include <QThread>
#include <map>

using namespace clitest;

namespace {

// A sidecar as darktable writes one: rating, colour label, keywords and its edit history.
const QByteArray darktableSidecar =
    "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n<x:xmpmeta xmlns:x=\"adobe:ns:meta/\">"
    "<rdf:RDF xmlns:rdf=\"http://www.w3.org/1999/02/22-rdf-syntax-ns#\"><rdf:Description "
    "rdf:about=\"\" xmlns:xmp=\"http://ns.adobe.com/xap/1.0/\" "
    "xmlns:dc=\"http://purl.org/dc/elements/1.1/\" "
    "xmlns:lr=\"http://ns.adobe.com/lightroom/1.0/\" "
    "xmlns:darktable=\"http://darktable.sf.net/\" xmp:Rating=\"5\" xmp:Label=\"Blue\" "
    "darktable:history_end=\"1\"><darktable:colorlabels><rdf:Seq><rdf:li>2</rdf:li></rdf:Seq>"
    "</darktable:colorlabels><darktable:history><rdf:Seq><rdf:li darktable:operation=\"exposure\" "
    "darktable:enabled=\"1\"/></rdf:Seq></darktable:history><dc:subject><rdf:Bag><rdf:li>Lyon"
    "</rdf:li></rdf:Bag></dc:subject><lr:hierarchicalSubject><rdf:Bag><rdf:li>Places|France|Lyon"
    "</rdf:li></rdf:Bag></lr:hierarchicalSubject></rdf:Description></rdf:RDF></x:xmpmeta>\n";

// Two pairs in two camera folders, a lone JPEG; each shot at its own moment, as a camera
// writes them.
void makeCameraFolder(const QString& root) {
    const std::tuple<const char*, const char*, bool> shots[] = {
        {"/2024/06/IMG_0001", "2024:06:01 10:00:00", true},
        {"/2024/07/IMG_0002", "2024:07:02 11:00:00", true},
        {"/2024/07/IMG_0004", "2024:07:03 12:00:00", false}};
    for (const auto& [stem, date, raw] : shots) {
        imaging::ExifFields exif;
        exif.dateTimeOriginal = date;
        exif.offsetTimeOriginal = "+02:00";
        fixtures::makeJpegFile(root + stem + ".JPG", {96, 64}, exif);
        if (raw)
            testsupport::writeFile(root + stem + ".DNG",
                                   fixtures::makeDng({96, 64}, date, "+02:00"));
    }
}

// The camera files of the folder (sidecars included), by path below it.
QStringList cameraFiles(const QString& root) {
    QStringList files = filesUnder(root).keys();
    files.removeIf([](const QString& f) { return f.startsWith(".photolib/"); });
    files.sort();
    return files;
}

class FolderLibraryCli : public CliTest {
protected:
    void SetUp() override {
        CliTest::SetUp();
        folder = tmp.path() + "/Pictures";
        env.remove("PHOTOLIB_LIBRARY"); // chosen with `photolib use`, as a user does
        env.insert("XDG_DATA_HOME", tmp.path() + "/data");
    }

    // Makes the folder, marks its pictures with `mark` (by default the first pair rated 5 in
    // darktable), chooses it and the backup folder, fills the export albums and exports them.
    void prepare(const QString& exported, const std::function<void()>& mark = {}) {
        makeCameraFolder(folder);
        if (mark)
            mark();
        else
            testsupport::writeFile(folder + "/2024/06/IMG_0001.DNG.xmp", darktableSidecar);
        ok(photolib({"use", folder}));
        exportAlbums(exported);
    }

    QString folder;
};

TEST_F(FolderLibraryCli, PairsLeaveForTheTrashAndTheirReplacementsKeepTheirMarks) {
    const QString exported = tmp.path() + "/exported";
    const QByteArray edit = "[Exposure]\nCompensation=0.5\n"; // RawTherapee's, of the RAW
    prepare(exported, [&] {
        testsupport::writeFile(folder + "/2024/06/IMG_0001.DNG.xmp", darktableSidecar);
        testsupport::writeFile(folder + "/2024/06/IMG_0001.DNG.pp3", edit);
    });
    const Result scan = ok(cli({"scan", "--range", "all"}));
    EXPECT_TRUE(scan.out.contains("2 pairs")) << scan.out.toStdString();
    const QStringList before = cameraFiles(folder);
    ok(cli({"ingest", "--yes", exported}));

    // Each replacement beside where its pair was; the lone JPEG untouched.
    EXPECT_EQ(cameraFiles(folder),
              QStringList({"2024/06/IMG_0001.heic", "2024/06/IMG_0001.heic.xmp",
                           "2024/07/IMG_0002.jpeg", "2024/07/IMG_0004.JPG"}));
    // Every original file, sidecar included, in the desktop's trash.
    QStringList gone;
    for (const QString& f : before)
        if (!f.endsWith("IMG_0004.JPG"))
            gone << folder + "/" + f;
    gone.sort();
    EXPECT_EQ(trashedPaths(tmp.path() + "/data"), gone);
    testsupport::expectTrashListShows(gone, env);

    // The new sidecar carries the pair's rating, label and keywords, as exiftool reads them.
    QProcess exif;
    exif.start("exiftool", {"-j", "-XMP:Rating", "-XMP:Label", "-XMP:Subject",
                            folder + "/2024/06/IMG_0001.heic.xmp"});
    ASSERT_TRUE(exif.waitForFinished(60000));
    const QJsonObject tags =
        QJsonDocument::fromJson(exif.readAllStandardOutput()).array().at(0).toObject();
    EXPECT_EQ(tags["Rating"].toInt(), 5);
    EXPECT_EQ(tags["Label"].toString(), "Blue");
    EXPECT_EQ(tags["Subject"].toString(), "Lyon");

    // The backups hold the RAW, the JPEG, the sidecar with darktable's history as it was and
    // the other editor's file, both listed in the backup's record.
    QStringList sidecarBackups, listed;
    for (const QString& backup : filesUnder(tmp.path() + "/backup").keys()) {
        const QByteArray data = testsupport::readFile(tmp.path() + "/backup/" + backup);
        if (backup.endsWith(".DNG.xmp") ? data == darktableSidecar
                                        : backup.endsWith(".DNG.pp3") && data == edit)
            sidecarBackups << QFileInfo(backup).fileName();
        for (const QJsonValue name :
             QJsonDocument::fromJson(data).object()["backupSidecarFiles"].toArray())
            listed << name.toString();
    }
    EXPECT_EQ(sidecarBackups.size(), 2) << sidecarBackups.join(' ').toStdString();
    listed.sort();
    EXPECT_EQ(listed, sidecarBackups);

    // Another pair copied in later under the deleted pair's names is a new item: in no album,
    // offered to no clean-up.
    fixtures::makeJpegFile(folder + "/2024/06/IMG_0001.JPG", {80, 60});
    testsupport::writeFile(folder + "/2024/06/IMG_0001.DNG",
                           fixtures::makeDng({80, 60}, "2024:08:01 10:00:00", "+02:00"));
    ok(cli({"cleanup", "--yes"}));
    EXPECT_TRUE(QFile::exists(folder + "/2024/06/IMG_0001.JPG"));
    EXPECT_TRUE(QFile::exists(folder + "/2024/06/IMG_0001.DNG"));
    EXPECT_EQ(trashedPaths(tmp.path() + "/data"), gone);
    QFile::remove(folder + "/2024/06/IMG_0001.JPG");
    QFile::remove(folder + "/2024/06/IMG_0001.DNG");

    // The programs' own albums are in no picture's metadata.
    QDirIterator sidecars(folder, {"*.xmp"}, QDir::Files, QDirIterator::Subdirectories);
    while (sidecars.hasNext())
        EXPECT_FALSE(testsupport::readFile(sidecars.next()).contains("Twinslim"));
    EXPECT_EQ(ok(photolib({"check"})).out, "The library is clean.\n");

    // The items can come back from the trash, to where they were.
    for (const QString& line : ok(photolib({"trash", "list"})).out.split('\n', Qt::SkipEmptyParts))
        ok(photolib({"trash", "restore", line.section(' ', 0, 0)}));
    EXPECT_TRUE(trashedPaths(tmp.path() + "/data").isEmpty());
    EXPECT_TRUE(QFile::exists(folder + "/2024/06/IMG_0001.DNG.xmp"));

    // Importing into a folder library, or making a catalogue over one, is refused with what
    // to do instead.
    const Result import = photolib({"import", tmp.path() + "/exported"});
    EXPECT_NE(import.status, 0);
    EXPECT_TRUE(import.err.contains("copy the pictures into it")) << import.err.toStdString();
    const Result create = photolib({"create", folder});
    EXPECT_NE(create.status, 0);
    EXPECT_TRUE(create.err.contains("“photolib use " + folder + "”")) << create.err.toStdString();
}

// Two camera folders with pictures of the same names, slimmed into one backup folder, each
// keep their own backups. The clean-up deletes nothing Twinslim did not back up. Exports
// inside a folder library are said to be a mistake, and an ingest from there is refused.
TEST_F(FolderLibraryCli, TwoLibrariesKeepTheirBackupsAndOnlyBackedUpItemsAreCleanedUp) {
    const QString exported = tmp.path() + "/exported";
    prepare(exported);
    const QString other = tmp.path() + "/Other";
    makeCameraFolder(other);
    // Other pictures under the same names: one byte more each.
    for (const QString& f : cameraFiles(other))
        testsupport::writeFile(other + "/" + f, testsupport::readFile(other + "/" + f) + "B");
    const QStringList jpegs = {"/2024/06/IMG_0001.JPG", "/2024/07/IMG_0002.JPG"};
    QList<QByteArray> originals;
    for (const QString& root : {folder, other})
        for (const QString& f : jpegs)
            originals << testsupport::readFile(root + f);

    const Result first = ok(cli({"ingest", "--yes", exported}));
    EXPECT_TRUE(first.err.contains("They move to the Trash. 1 RAW file among them has no backup "
                                   "(only a favourite’s RAW is backed up) and goes to the Trash "
                                   "with the rest.\nDelete 2 items? [y/N] yes"))
        << first.err.toStdString();
    EXPECT_TRUE(first.out.contains("Originals are in the Trash; space frees once it is emptied."))
        << first.out.toStdString();

    // A picture Twinslim never replaced, put into the marker album by hand, stays.
    QString lone;
    for (const Item& item : items())
        if (item.resources.front().name == "IMG_0004.JPG")
            lone = item.id;
    ok(photolib({"album", "add", "TwinslimOriginalsToDelete", lone}));
    const Result cleanup = cli({"--yes", "cleanup"});
    EXPECT_EQ(cleanup.status, 1);
    EXPECT_EQ(cleanup.out,
              "1 item in the album “TwinslimOriginalsToDelete” has no backup made by Twinslim, so "
              "it is not deleted: IMG_0004.JPG.\nNothing to clean up: no replaced originals are "
              "waiting to be deleted.\n");
    EXPECT_TRUE(QFile::exists(folder + "/2024/07/IMG_0004.JPG"));
    EXPECT_EQ(waiting(), QSet<QString>{lone});

    // The other folder, exported into itself first.
    ok(photolib({"use", other}));
    grantAccess();
    ok(cli({"albums", "--range", "all", "--all"}));
    const QString inside = other + "/Exported";
    const Result warned =
        ok(photolib({"export", "--album", "Twinslim NonFavs", "--format", "jpeg", inside}));
    const QString problem = "The folder of exported files is inside the photo library:\n" + inside +
                            "\n\nEvery file below “" + other + "” is a picture of the";
    EXPECT_TRUE(warned.err.contains("photolib: warning: " + problem)) << warned.err.toStdString();
    const QStringList before = cameraFiles(other);
    const Result refused = cli({"ingest", "--yes", inside});
    EXPECT_EQ(refused.status, 1);
    EXPECT_TRUE(refused.err.contains(problem)) << refused.err.toStdString();
    EXPECT_TRUE(refused.err.contains("Export to a folder outside the library"));
    EXPECT_EQ(cameraFiles(other), before);
    EXPECT_TRUE(waiting().isEmpty());
    QDir(inside).removeRecursively();

    const QString exportedOther = tmp.path() + "/exported-other";
    ok(photolib({"export", "--album", "Twinslim NonFavs", "--format", "jpeg", exportedOther}));
    ok(cli({"ingest", "--yes", exportedOther}));
    QList<QByteArray> backedUp;
    for (const QString& f : filesUnder(tmp.path() + "/backup").keys())
        if (f.endsWith(".JPG"))
            backedUp << testsupport::readFile(tmp.path() + "/backup/" + f);
    for (const QByteArray& original : originals)
        EXPECT_TRUE(backedUp.contains(original));
}

// An ingest killed at any moment loses no original file: each is in the folder, in the trash
// with its .trashinfo, or its item's backups are complete; a second run and the clean-up
// finish the job with one replacement per pair.
TEST_F(FolderLibraryCli, KilledIngestNeverLosesAnOriginalFile) {
    const QString exported = tmp.path() + "/exported";
    prepare(exported);
    const QString made = tmp.path() + "/made";
    copyTree(folder, made);
    const QStringList originals = cameraFiles(folder);
    auto restore = [&](int) {
        for (const QString& d : {folder, tmp.path() + "/data", tmp.path() + "/backup"})
            QDir(d).removeRecursively();
        QDir().mkpath(tmp.path() + "/backup");
        copyTree(made, folder);
    };
    auto expectNothingLost = [&](bool finished) {
        const QStringList present = cameraFiles(folder);
        QStringList halfMade;
        const QStringList trashed = trashedPaths(tmp.path() + "/data", &halfMade);
        const QMap<QString, qint64> backups = filesUnder(tmp.path() + "/backup");
        for (const QString& f : originals) {
            const bool inTree = present.contains(f);
            const bool inTrash = trashed.contains(folder + "/" + f);
            EXPECT_NE(inTree, inTrash) << f.toStdString();
            // What left the folder has its backup (the RAW of a favourite, each JPEG).
            if (inTrash && !f.endsWith(".xmp")) {
                const bool kept =
                    std::any_of(backups.keyBegin(), backups.keyEnd(), [&](const QString& b) {
                        return b.endsWith("." + QFileInfo(f).suffix());
                    });
                // Only a favourite keeps its RAW.
                EXPECT_TRUE(kept || f == "2024/07/IMG_0002.DNG") << f.toStdString();
            }
        }
        if (!finished) {
            EXPECT_EQ(photolib({"check"}).status, 0);
            return;
        }
        // A move to the trash cut short leaves no entry without its file once recovered.
        EXPECT_EQ(halfMade, QStringList());
        EXPECT_EQ(cameraFiles(folder),
                  QStringList({"2024/06/IMG_0001.heic", "2024/06/IMG_0001.heic.xmp",
                               "2024/07/IMG_0002.jpeg", "2024/07/IMG_0004.JPG"}));
    };
    killRounds(
        exported, 10, 20261207, restore, [](int) { return 3000; }, expectNothingLost);
}

// Restored pairs come back under their own names: from the trash exactly as they were, from
// the backups alone (a favourite whole, another as its JPEG); a name taken meanwhile is
// reported and never overwritten.
TEST_F(FolderLibraryCli, RestoredPairsComeBackUnderTheirNamesFromTheTrashOrTheBackups) {
    const QString exported = tmp.path() + "/exported";
    prepare(exported);
    const auto contents = [&] {
        QMap<QString, QByteArray> files;
        for (const QString& f : cameraFiles(folder))
            files.insert(f, testsupport::readFile(folder + "/" + f));
        return files;
    };
    const QMap<QString, QByteArray> before = contents();
    const auto dates = [&] {
        QMap<QString, QString> byStem;
        for (const Item& item : items())
            byStem.insert(item.stem(), item.date.toString());
        return byStem;
    };
    const QMap<QString, QString> datesBefore = dates();
    ok(cli({"ingest", "--yes", exported}));
    const Result listed = ok(cli({"restore", "--list"}));
    EXPECT_EQ(listed.out.count("from the Trash"), 2) << listed.out.toStdString();
    ok(cli({"--yes", "restore", "--all"}));
    EXPECT_EQ(contents(), before);
    EXPECT_EQ(trashedPaths(tmp.path() + "/data"),
              QStringList({folder + "/2024/06/IMG_0001.heic", folder + "/2024/06/IMG_0001.heic.xmp",
                           folder + "/2024/07/IMG_0002.jpeg"}));
    EXPECT_EQ(ok(photolib({"check"})).out, "The library is clean.\n");

    // Slimmed again, the trash emptied; meanwhile another picture took one pair's JPEG name.
    exportAlbums(tmp.path() + "/exported2");
    ok(cli({"ingest", "--yes", tmp.path() + "/exported2"}));
    ok(photolib({"trash", "empty"}));
    const QByteArray stranger = testsupport::readFile(folder + "/2024/07/IMG_0004.JPG");
    testsupport::writeFile(folder + "/2024/07/IMG_0002.JPG", stranger);
    const Result clash = cli({"--yes", "restore", "--all"});
    EXPECT_EQ(clash.status, 1);
    EXPECT_TRUE(clash.out.contains("“IMG_0002.JPG” is taken in " + folder + "/2024/07"))
        << clash.out.toStdString();
    EXPECT_EQ(testsupport::readFile(folder + "/2024/07/IMG_0002.JPG"), stranger);
    EXPECT_TRUE(QFile::exists(folder + "/2024/07/IMG_0002.jpeg"));
    // The favourite came back whole, byte for byte, and a favourite still.
    for (const char* f : {"2024/06/IMG_0001.DNG", "2024/06/IMG_0001.JPG"})
        EXPECT_EQ(testsupport::readFile(folder + "/" + f), before.value(f)) << f;
    EXPECT_FALSE(QFile::exists(folder + "/2024/06/IMG_0001.heic"));
    const auto favourites = items({"--favorites"});
    ASSERT_EQ(favourites.size(), 1u);
    EXPECT_EQ(favourites[0].stem(), "img_0001");

    QFile::remove(folder + "/2024/07/IMG_0002.JPG");
    ok(cli({"--yes", "restore", "--all"}));
    EXPECT_EQ(testsupport::readFile(folder + "/2024/07/IMG_0002.JPG"),
              before.value("2024/07/IMG_0002.JPG"));
    EXPECT_FALSE(QFile::exists(folder + "/2024/07/IMG_0002.DNG")); // never backed up
    EXPECT_FALSE(QFile::exists(folder + "/2024/07/IMG_0002.jpeg"));
    // Each at its own moment and offset, as before.
    EXPECT_EQ(dates(), datesBefore);
    EXPECT_EQ(ok(photolib({"check"})).out, "The library is clean.\n");
}

// darktable's marks, as darktable itself writes them, are read; and darktable, importing the
// folder afresh, reads the replacements' sidecars as it reads its own.
TEST_F(FolderLibraryCli, DarktableAndTwinslimReadEachOthersMarks) {
    TWINSLIM_REQUIRE_DARKTABLE();
    const QString exported = tmp.path() + "/exported";
    const QStringList cameraFolders = {folder + "/2024/06", folder + "/2024/07"};
    prepare(exported, [&] {
        testsupport::makeDarktableLibrary(
            tmp.path() + "/before/library.db", cameraFolders,
            "local lyon = dt.tags.create('Places|France|Lyon')\n"
            "local family = dt.tags.create('Family')\n"
            "for i = 1, #dt.database do\n"
            "  local im = dt.database[i]\n"
            "  if im.filename:match('^IMG_0001%.') then dt.tags.attach(lyon, im) end\n"
            "  if im.filename == 'IMG_0001.JPG' then im.blue = true; im.rating = 5 end\n"
            "  if im.filename == 'IMG_0002.JPG' then dt.tags.attach(family, im) end\n"
            "  if im.filename == 'IMG_0004.JPG' then im.rating = -1 end\n"
            "end\n");
    });
    QStringList albums = ok(photolib({"albums"})).out.split('\n', Qt::SkipEmptyParts);
    for (QString& line : albums)
        line = line.section(' ', 1).simplified();
    albums.sort();
    EXPECT_EQ(albums, QStringList({"1 Family", "1 Lyon", "1 Twinslim Favs", "1 Twinslim NonFavs"}));
    const auto listed = items();
    ASSERT_EQ(listed.size(), 3u); // the rejected picture is no less an item
    for (const Item& item : listed)
        EXPECT_EQ(item.favorite, item.resources.front().name == "IMG_0001.JPG");
    ok(cli({"ingest", "--yes", exported}));

    testsupport::makeDarktableLibrary(tmp.path() + "/after/library.db", cameraFolders);
    const auto images = testsupport::darktableImages(tmp.path() + "/after/library.db");
    ASSERT_TRUE(images.contains(folder + "/2024/06/IMG_0001.heic"))
        << images.keys().join(' ').toStdString();
    const testsupport::DarktableImage favourite = images[folder + "/2024/06/IMG_0001.heic"];
    EXPECT_EQ(favourite.stars, 5);
    EXPECT_EQ(favourite.colors, QStringList{"3"});
    EXPECT_EQ(favourite.tags, QStringList{"Places|France|Lyon"});
    EXPECT_EQ(images[folder + "/2024/07/IMG_0002.jpeg"].tags, QStringList{"Family"});
    EXPECT_EQ(images[folder + "/2024/07/IMG_0004.JPG"].stars, -1);
    EXPECT_EQ(images.size(), 3);
}

// A camera folder made by the real programs (RAWs of three makers, dates and offsets written
// by exiftool): after the whole workflow each replacement shows its original's local time and
// offset, to exiftool and to darktable importing the folder.
TEST_F(FolderLibraryCli, ReplacementsKeepTheirOriginalsLocalTimeAndOffset) {
    TWINSLIM_REQUIRE_SAMPLES();
    TWINSLIM_REQUIRE_DARKTABLE();
    if (QProcess::execute("/usr/bin/python3", {"-c", "import tifffile"}) != 0 ||
        QStandardPaths::findExecutable("exiftool").isEmpty())
        GTEST_SKIP() << "the camera folder needs exiftool and python3-tifffile";
    const QString script = testsupport::samplesDir() + "/../realworld/make-camera-folder.sh";
    ASSERT_EQ(QProcess::execute("bash", {script, folder, testsupport::samplesDir()}), 0);
    testsupport::writeFile(folder + "/IMG_0001.JPG.xmp", darktableSidecar); // one favourite
    // exiftool's reading of the capture time of each picture of `files`, by name stem.
    auto takenOf = [](const QStringList& files) {
        QProcess p;
        p.start("exiftool", QStringList{"-j", "-DateTimeOriginal", "-OffsetTimeOriginal"} + files);
        EXPECT_TRUE(p.waitForFinished(60000));
        std::map<QString, QString> taken;
        for (const auto& v : QJsonDocument::fromJson(p.readAllStandardOutput()).array()) {
            const QJsonObject o = v.toObject();
            taken[QFileInfo(o["SourceFile"].toString()).completeBaseName()] =
                o["DateTimeOriginal"].toString() + " " + o["OffsetTimeOriginal"].toString();
        }
        return taken;
    };
    QStringList originals;
    for (const char* stem : {"IMG_0001", "IMG_0002", "IMG_0003", "IMG_0006"})
        originals << folder + "/" + stem + ".JPG";
    const auto before = takenOf(originals);
    ASSERT_EQ(before.at("IMG_0001"), "2019:12:05 13:32:49 +08:00");

    const QString exported = tmp.path() + "/exported";
    ok(photolib({"use", folder}));
    exportAlbums(exported);
    ok(cli({"ingest", "--yes", exported}));

    const QStringList made = {folder + "/IMG_0001.heic", folder + "/IMG_0002.jpeg",
                              folder + "/IMG_0003.jpeg", folder + "/IMG_0006.jpeg"};
    EXPECT_EQ(takenOf(made), before);
    const auto images = testsupport::darktableImages(tmp.path() + "/dt/library.db", {folder});
    for (const QString& path : made) {
        const QString stem = QFileInfo(path).completeBaseName();
        ASSERT_TRUE(images.contains(path)) << images.keys().join(' ').toStdString();
        EXPECT_EQ(images[path].taken.left(19), before.at(stem).left(19)) << stem.toStdString();
    }
}

} // namespace
