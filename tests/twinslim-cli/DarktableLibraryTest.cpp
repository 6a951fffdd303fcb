// The whole workflow on a library real darktable made, through the real programs, read back
// by real darktable afterwards; a running darktable refusing every change; killed ingests.
#include "CliTestSupport.h"
#include "fixtures/DngFixture.h"
#include "fixtures/ImageFixtures.h"
#include "platform/imaging/XmpSidecar.h"
#include "support/Darktable.h"

#include <QElapsedTimer>
#include <QRegularExpression>
#include <QStandardPaths>
#include <QThread>

using namespace clitest;

namespace {

// Runs SQL on a database with the sqlite3 program; its output.
QString sql(const QString& database, const QString& query) {
    QProcess p;
    p.start("sqlite3", {database, query});
    p.waitForFinished(60000);
    return QString::fromUtf8(p.readAllStandardOutput());
}

// Two RAW+JPEG pairs and a lone JPEG, imported by darktable; the first pair tagged
// "Places|Lyon", its JPEG rated 5 with a red label, the second's JPEG 3 stars, the lone JPEG
// rejected.
struct DarktableLibrary {
    QString photos, libraryDb, config;
};

const QString setupLua = R"(
local lyon = dt.tags.create("Places|Lyon")
for i = 1, #dt.database do
  local im = dt.database[i]
  if im.filename:match("^IMG_0001%.") then dt.tags.attach(lyon, im) end
  if im.filename == "IMG_0001.JPG" then im.rating = 5; im.red = true end
  if im.filename == "IMG_0002.JPG" then im.rating = 3 end
  if im.filename == "IMG_0004.JPG" then im.rating = -1 end
end
)";

// What darktable itself reads from the library, after importing `importFirst`: per image,
// its name, stars, colour labels and tags (its own left out).
QStringList listedByDarktable(const DarktableLibrary& dt, const QStringList& importFirst = {}) {
    QStringList lines;
    const auto images = testsupport::darktableImages(dt.libraryDb, importFirst);
    for (auto it = images.begin(); it != images.end(); ++it)
        lines << QStringList{QFileInfo(it.key()).fileName(), QString::number(it->stars),
                             it->colors.join(','), it->tags.join(';')}
                     .join(' ');
    return lines;
}

class DarktableLibraryCli : public CliTest {
protected:
    void SetUp() override {
        TWINSLIM_REQUIRE_DARKTABLE();
        CliTest::SetUp();
        dt = {tmp.path() + "/photos", tmp.path() + "/darktable/library.db",
              tmp.path() + "/darktable/config"};
        const std::tuple<const char*, const char*, bool> shots[] = {
            {"/IMG_0001", "2024:06:01 10:00:00", true},
            {"/IMG_0002", "2024:07:02 11:00:00", true},
            {"/IMG_0004", "2024:07:03 12:00:00", false}};
        for (const auto& [stem, date, raw] : shots) {
            imaging::ExifFields exif;
            exif.dateTimeOriginal = date;
            fixtures::makeJpegFile(dt.photos + stem + ".JPG", {96, 64}, exif);
            if (raw)
                testsupport::writeFile(dt.photos + stem + ".DNG",
                                       fixtures::makeDng({96, 64}, date));
        }
        testsupport::makeDarktableLibrary(dt.libraryDb, {dt.photos}, setupLua);
        ASSERT_EQ(sql(dt.libraryDb, "SELECT count(*) FROM images").trimmed(), "5");
        env.insert("PHOTOLIB_LIBRARY", dt.libraryDb);
        env.insert("XDG_DATA_HOME", tmp.path() + "/data");
    }

    QStringList photoFiles() {
        QStringList files = filesUnder(dt.photos).keys();
        files.sort();
        return files;
    }

    DarktableLibrary dt;
};

TEST_F(DarktableLibraryCli, PairsLeaveDarktableForTheTrashAndDarktableSeesTheirReplacements) {
    const QString exported = tmp.path() + "/exported";
    exportAlbums(exported);
    const auto idOf = [&](const QString& name) {
        for (const QString& line : ok(photolib({"list"})).out.split('\n'))
            if (line.contains(name))
                return line.section(' ', 0, 0);
        return QString();
    };
    // The second pair is in an album of the programs' own too, which its replacement joins.
    ok(photolib({"album", "create", "Keep"}));
    ok(photolib({"album", "add", "Keep", idOf("IMG_0002.JPG")}));
    const Result scan = ok(cli({"scan", "--range", "all"}));
    EXPECT_TRUE(scan.out.contains("2 pairs")) << scan.out.toStdString();
    EXPECT_TRUE(scan.out.contains("Places|Lyon")) << scan.out.toStdString();
    const QStringList before = photoFiles();
    const QString lone = "SELECT * FROM images WHERE filename = 'IMG_0004.JPG'";
    const QString loneBefore = sql(dt.libraryDb, lone);
    const QString userTags = "SELECT * FROM tags WHERE name NOT LIKE 'Twinslim|%' AND name NOT "
                             "IN ('darktable|format|heic', 'darktable|format|jpeg')";
    const QString tagsBefore = sql(dt.config + "/data.db", userTags);
    const Result ingest = ok(cli({"ingest", "--yes", exported}));

    // Before a run's first change the library was copied beside itself, and the user told
    // where; the newest copies are kept.
    const QStringList copies = QDir(QFileInfo(dt.libraryDb).path())
                                   .entryList({"library.db-twinslim-*"}, QDir::Files, QDir::Name);
    ASSERT_FALSE(copies.isEmpty());
    EXPECT_LE(copies.size(), 3);
    EXPECT_TRUE(ingest.err.contains(copies.last())) << ingest.err.toStdString();

    // Replacements beside their pairs, with darktable's kind of sidecar.
    EXPECT_EQ(photoFiles(), QStringList({"IMG_0001.heic", "IMG_0001.heic.xmp", "IMG_0002.jpeg",
                                         "IMG_0002.jpeg.xmp", "IMG_0004.JPG", "IMG_0004.JPG.xmp"}));
    // The pairs' files and darktable's sidecars of them in the desktop's trash.
    QStringList gone;
    for (const QString& f : before)
        if (!f.startsWith("IMG_0004"))
            gone << dt.photos + "/" + f;
    EXPECT_EQ(trashedPaths(tmp.path() + "/data"), gone);
    testsupport::expectTrashListShows(gone, env);
    // Nothing else changed: the lone picture's row, the user's tags; the databases whole.
    EXPECT_EQ(sql(dt.libraryDb, lone), loneBefore);
    EXPECT_EQ(sql(dt.config + "/data.db", userTags), tagsBefore);
    EXPECT_EQ(sql(dt.libraryDb, "SELECT count(*) FROM film_rolls").trimmed(), "1");
    EXPECT_EQ(sql(dt.libraryDb, "PRAGMA integrity_check; PRAGMA foreign_key_check;"), "ok\n");
    // The programs' own albums went when they emptied; the one still holding an item stays.
    EXPECT_EQ(sql(dt.config + "/data.db", "SELECT name FROM tags WHERE name LIKE 'Twinslim|%'"),
              "Twinslim|Keep\n");
    EXPECT_EQ(ok(photolib({"check"})).out, "The library is clean.\n");

    // The lone picture becomes a favourite in an album. darktable opens the library: the
    // replacements there with the pairs' stars, label and tags, the originals gone. A copy of
    // the folder it imports afresh (into a copy of the library) reads the same from the
    // sidecars.
    const QString loneId = idOf("IMG_0004.JPG");
    ok(photolib({"favorite", loneId}));
    ok(photolib({"album", "add", "Places|Lyon", loneId}));
    copyTree(tmp.path() + "/darktable", tmp.path() + "/reread");
    copyTree(dt.photos, tmp.path() + "/reread/photos");
    const QStringList listed = {"IMG_0001.heic 5 0 Places|Lyon", "IMG_0002.jpeg 3  Twinslim|Keep",
                                "IMG_0004.JPG 5  Places|Lyon"};
    EXPECT_EQ(listedByDarktable({dt.photos, tmp.path() + "/reread/library.db", {}},
                                {tmp.path() + "/reread/photos"}),
              listed + listed);

    // An item comes back from the trash into darktable's library, files and rows.
    const QString first = ok(photolib({"trash", "list"})).out.section(' ', 0, 0);
    ok(photolib({"trash", "restore", first}));
    EXPECT_EQ(sql(dt.libraryDb, "SELECT count(*) FROM images").trimmed(), "5");
    EXPECT_EQ(sql(dt.libraryDb, "PRAGMA foreign_key_check"), "");
}

// Restored from the trash, the pairs are in darktable again as darktable had them: files,
// stars, labels, tags. From the backups alone they come back with their replacements' marks.
TEST_F(DarktableLibraryCli, RestoredPairsAreInDarktableAgainWithTheirStarsAndTags) {
    exportAlbums(tmp.path() + "/exported");
    const QStringList before = photoFiles();
    // As darktable had them before they were put into the export albums.
    QStringList listedBefore = listedByDarktable(dt);
    listedBefore.replaceInStrings(QRegularExpression(";?Twinslim\\|Twinslim (Non)?Favs"), "");
    ok(cli({"ingest", "--yes", tmp.path() + "/exported"}));
    ok(cli({"--yes", "restore", "--all"}));
    QStringList expected = before;
    expected << "IMG_0001.heic.xmp"
             << "IMG_0002.jpeg.xmp"; // darktable's, left by the replacements
    expected.sort();
    const QStringList after = photoFiles();
    EXPECT_TRUE(after == before || after == expected) << after.join(' ').toStdString();
    EXPECT_EQ(listedByDarktable(dt), listedBefore);
    EXPECT_EQ(sql(dt.libraryDb, "PRAGMA integrity_check; PRAGMA foreign_key_check;"), "ok\n");

    exportAlbums(tmp.path() + "/exported2");
    ok(cli({"ingest", "--yes", tmp.path() + "/exported2"}));
    ok(photolib({"trash", "empty"}));
    ok(cli({"--yes", "restore", "--all"}));
    for (const char* f : {"IMG_0001.DNG", "IMG_0001.JPG", "IMG_0002.JPG"})
        EXPECT_TRUE(QFile::exists(dt.photos + "/" + f)) << f;
    EXPECT_FALSE(QFile::exists(dt.photos + "/IMG_0002.DNG")); // a non-favourite's, never backed up
    EXPECT_EQ(listedByDarktable(dt),
              QStringList({"IMG_0001.DNG 5 0 Places|Lyon", "IMG_0001.JPG 5 0 Places|Lyon",
                           "IMG_0002.JPG 3  ", "IMG_0004.JPG -1  "}));
    EXPECT_EQ(sql(dt.libraryDb, "PRAGMA integrity_check; PRAGMA foreign_key_check;"), "ok\n");
    EXPECT_EQ(ok(photolib({"check"})).out, "The library is clean.\n");
}

// While darktable runs (its lock file names a live process), every change is refused with
// the message to close it and the library stays as it was; reading goes on. A lock left by
// a process that is gone does not hold anything up.
TEST_F(DarktableLibraryCli, ARunningDarktableMakesEveryChangeRefuse) {
    grantAccess();
    QProcess darktable; // stands in for darktable's process: only its id and life matter
    darktable.start("sleep", {"120"});
    ASSERT_TRUE(darktable.waitForStarted());
    testsupport::writeFile(dt.libraryDb + ".lock", QByteArray::number(darktable.processId()));
    const QByteArray library = testsupport::readFile(dt.libraryDb);
    const QByteArray data = testsupport::readFile(dt.config + "/data.db");

    EXPECT_TRUE(ok(cli({"scan", "--range", "all"})).out.contains("2 pairs"));
    const Result albums = cli({"albums", "--range", "all", "--all"});
    EXPECT_NE(albums.status, 0);
    EXPECT_TRUE(albums.err.contains("Close darktable")) << albums.err.toStdString();
    const Result favourite =
        photolib({"favorite", ok(photolib({"list"})).out.split('\n').first().section(' ', 0, 0)});
    EXPECT_NE(favourite.status, 0);
    EXPECT_TRUE(favourite.err.contains("Close darktable")) << favourite.err.toStdString();
    EXPECT_EQ(testsupport::readFile(dt.libraryDb), library);
    EXPECT_EQ(testsupport::readFile(dt.config + "/data.db"), data);
    EXPECT_EQ(testsupport::readFile(dt.libraryDb + ".lock"),
              QByteArray::number(darktable.processId()));

    darktable.kill();
    darktable.waitForFinished();
    ok(cli({"albums", "--range", "all", "--all"}));
    EXPECT_FALSE(QFileInfo::exists(dt.libraryDb + ".lock"));
}

// A deletion killed after claiming the originals' names in the trash, before its commit (held
// up by another connection's write lock on library.db), is undone at the next opening: the
// files never left their rows, the claims go, and a later clean-up deletes them whole.
TEST_F(DarktableLibraryCli, AChangeCutShortBeforeItsCommitIsUndoneAtTheNextOpening) {
    const QString exported = tmp.path() + "/exported";
    exportAlbums(exported);
    // No terminal, no --yes: the originals wait, and the run says so by its status.
    EXPECT_EQ(cli({"ingest", exported}).status, 1);
    const QStringList files = photoFiles();
    ASSERT_EQ(sql(dt.libraryDb, "SELECT count(*) FROM images").trimmed(), "7");

    QProcess holder;
    holder.start("sqlite3", {dt.libraryDb});
    holder.write("BEGIN IMMEDIATE;\nSELECT 'held';\n");
    ASSERT_TRUE(holder.waitForReadyRead(10000));
    QProcess cleanup;
    cleanup.setProcessEnvironment(env);
    cleanup.start(testsupport::twinslimCliPath(), {"cleanup", "--yes"});
    QElapsedTimer waited;
    waited.start();
    QStringList claimed;
    while ((claimed.clear(), trashedPaths(tmp.path() + "/data", &claimed), claimed.size() < 8) &&
           waited.elapsed() < 8000)
        QThread::msleep(20);
    ASSERT_EQ(claimed.size(), 8);
    cleanup.kill();
    cleanup.waitForFinished();
    EXPECT_EQ(trashedPaths(tmp.path() + "/data"), QStringList()); // no file moved yet
    EXPECT_EQ(photoFiles(), files);
    holder.write("ROLLBACK;\n.quit\n");
    holder.waitForFinished();

    EXPECT_EQ(ok(photolib({"check"})).out, "The library is clean.\n");
    EXPECT_EQ(photoFiles(), files);
    claimed.clear();
    EXPECT_EQ(trashedPaths(tmp.path() + "/data", &claimed), QStringList());
    EXPECT_EQ(claimed, QStringList());
    EXPECT_EQ(sql(dt.libraryDb, "SELECT count(*) FROM images").trimmed(), "7");
    ok(cli({"cleanup", "--yes"}));
    EXPECT_EQ(sql(dt.libraryDb, "SELECT filename FROM images ORDER BY filename"),
              "IMG_0001.heic\nIMG_0002.jpeg\nIMG_0004.JPG\n");
}

// An ingest cut short at any point of its changes (as a crash would, at each point in turn)
// leaves darktable's databases whole, with no picture darktable lists whose file is gone,
// loses no original (each is in the folder or in the trash), and once the library is opened
// again each picture is in darktable's library exactly while its file is in the folder; a
// second run with the clean-up finishes with one replacement per pair.
TEST_F(DarktableLibraryCli, KilledIngestLeavesTheLibraryWholeAndLosesNoOriginal) {
    const QString exported = tmp.path() + "/exported";
    exportAlbums(exported);
    const QString made = tmp.path() + "/made";
    copyTree(tmp.path() + "/darktable", made + "/darktable");
    copyTree(dt.photos, made + "/photos");
    const QStringList originals = photoFiles();
    auto restore = [&](int) {
        for (const QString& d :
             {QString("/darktable"), QString("/photos"), QString("/data"), QString("/backup")})
            QDir(tmp.path() + d).removeRecursively();
        QDir().mkpath(tmp.path() + "/backup");
        copyTree(made + "/darktable", tmp.path() + "/darktable");
        copyTree(made + "/photos", dt.photos);
    };
    auto inLibrary = [&] {
        return sql(dt.libraryDb, "SELECT filename FROM images").split('\n', Qt::SkipEmptyParts);
    };
    auto expectNothingLost = [&](bool finished) {
        EXPECT_EQ(sql(dt.libraryDb, "PRAGMA integrity_check; PRAGMA foreign_key_check;"), "ok\n");
        const QStringList present = photoFiles();
        const QStringList trashed = trashedPaths(tmp.path() + "/data");
        const QStringList listed = inLibrary();
        for (const QString& f : originals) {
            EXPECT_NE(present.contains(f), trashed.contains(dt.photos + "/" + f))
                << f.toStdString();
            // What darktable, opening its library as it is, would list has its file.
            if (listed.contains(f)) {
                EXPECT_TRUE(present.contains(f)) << f.toStdString();
            }
        }
        if (!finished) {
            EXPECT_EQ(photolib({"check"}).status, 0);
            // Opened again: a picture is in darktable's library exactly while its file is in
            // the folder, and each original's sidecar has its row's tags.
            const QStringList now = photoFiles(), listedNow = inLibrary();
            for (const QString& f : originals)
                if (!f.endsWith(".xmp")) {
                    EXPECT_EQ(listedNow.contains(f), now.contains(f)) << f.toStdString();
                }
            const QString tagsOf =
                "ATTACH '" + dt.config +
                "/data.db' AS d; SELECT group_concat(name, ';') FROM (SELECT t.name FROM images i "
                "JOIN tagged_images ti ON ti.imgid = i.id JOIN d.tags t ON t.id = ti.tagid WHERE "
                "i.filename = '%1' AND t.name NOT LIKE 'darktable|%' ORDER BY t.name)";
            for (const QString& f : now)
                if (f.endsWith(".xmp") && originals.contains(f)) {
                    EXPECT_EQ(imaging::parseXmpSidecar(testsupport::readFile(dt.photos + "/" + f))
                                  ->hierarchicalKeywords.join(';'),
                              sql(dt.libraryDb, tagsOf.arg(f.chopped(4))).trimmed())
                        << f.toStdString();
                }
            return;
        }
        EXPECT_EQ(photoFiles(),
                  QStringList({"IMG_0001.heic", "IMG_0001.heic.xmp", "IMG_0002.jpeg",
                               "IMG_0002.jpeg.xmp", "IMG_0004.JPG", "IMG_0004.JPG.xmp"}));
        EXPECT_EQ(sql(dt.libraryDb, "SELECT filename FROM images ORDER BY filename"),
                  "IMG_0001.heic\nIMG_0002.jpeg\nIMG_0004.JPG\n");
    };
    // Each point of every change the ingest makes in turn, until a run passes it no more; of
    // the originals' moves to the trash, the first and a later one.
    int cuts = 0;
    for (const QString point : {"placed", "claimed", "commit", "committed", "moved"})
        for (int n = 1; n <= 8; ++n) {
            if (point == "moved" && n != 1 && n != 4)
                continue;
            const QString where = QString("%1:%2").arg(point).arg(n);
            SCOPED_TRACE(("cut at " + where).toStdString());
            restore(0);
            QProcessEnvironment cutEnv = env;
            cutEnv.insert("TWINSLIM_DARKTABLE_CUT", where);
            const Result r =
                run(cutEnv, testsupport::twinslimCliPath(), {"ingest", "--yes", exported});
            const bool killed = r.status == -1;
            expectNothingLost(false);
            const Result again = cli({"ingest", "--yes", exported});
            EXPECT_TRUE(again.status == 0 ||
                        (again.status == 1 && again.err.contains("Both export albums are empty")))
                << again.err.toStdString();
            ok(cli({"cleanup", "--yes"}));
            expectNothingLost(true);
            if (HasFailure())
                return;
            if (!killed) {
                EXPECT_EQ(r.status, 0) << r.err.toStdString();
                break;
            }
            ++cuts;
        }
    EXPECT_GE(cuts, 8); // the points were reached
    // More rounds, killed at random moments, when asked for (scripts/kill-ingest-rounds).
    if (qEnvironmentVariableIsSet("TWINSLIM_KILL_ROUNDS"))
        killRounds(
            exported, 0, 20261207, restore, [](int round) { return round % 2 ? 200000ul : 3000ul; },
            expectNothingLost);
}

} // namespace
