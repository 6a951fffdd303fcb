// The whole workflow on a library real Shotwell made, through the real programs, read back by
// real Shotwell afterwards; HEIC exports refused; a running Shotwell refusing every change;
// ingests cut short.
#include "CliTestSupport.h"
#include "support/Digikam.h"
#include "support/Shotwell.h"

using namespace clitest;

namespace {

QString sql(const QString& database, const QString& query) {
    QProcess p;
    p.start("sqlite3", {database, query});
    p.waitForFinished(60000);
    return QString::fromUtf8(p.readAllStandardOutput());
}

// A camera folder marked as a person's earlier work leaves it, made a Shotwell library by
// Shotwell's own watched-folder import: of its pairs Shotwell shows two (IMG_0003 and
// IMG_0006, the latter in Family) as photos of a RAW with its camera JPEG.
class ShotwellLibraryCli : public CliTest {
protected:
    void SetUp() override {
        TWINSLIM_REQUIRE_SHOTWELL();
        CliTest::SetUp();
        photos = tmp.path() + "/photos";
        out = tmp.path() + "/shotwell";
        database = out + "/data/data/photo.db";
        testsupport::makeMarkedCameraFolder(photos);
        testsupport::runShotwell(photos, out);
        env.insert("PHOTOLIB_LIBRARY", out + "/data");
        env.insert("XDG_DATA_HOME", tmp.path() + "/data");
        grantAccess();
        QDir().mkpath(tmp.path() + "/backup");
        ok(cli({"backup-folder", tmp.path() + "/backup"}));
    }

    QStringList photoFiles() { return QDir(photos).entryList(QDir::Files, QDir::Name); }
    // The photos Shotwell shows and those in its trash, by file name.
    QString rows() {
        return sql(database, "SELECT replace(filename, rtrim(filename, replace(filename, '/', "
                             "'')), ''), flags & 4, rating FROM PhotoTable ORDER BY filename");
    }

    QString photos, out, database;
};

TEST_F(ShotwellLibraryCli, PairsLeaveForShotwellsTrashAndShotwellKeepsTheirReplacements) {
    const Result albums = ok(cli({"albums", "--range", "all", "--all"}));
    // Shotwell shows no HEIC: the albums are to be exported as JPEG.
    EXPECT_TRUE(albums.out.contains("--format jpeg") && !albums.out.contains("--format heic"))
        << albums.out.toStdString();

    // An export as HEIC fails its items before anything is backed up or changed.
    const QString heic = tmp.path() + "/heic";
    ok(photolib({"export", "--album", "Twinslim NonFavs", "--format", "heic", heic}));
    const QString before = rows();
    const Result refused = cli({"ingest", "--yes", heic});
    EXPECT_EQ(refused.status, 1);
    EXPECT_TRUE(refused.out.contains("export that album as JPEG") ||
                refused.err.contains("export that album as JPEG"))
        << refused.out.toStdString() << refused.err.toStdString();
    EXPECT_EQ(rows(), before);
    EXPECT_TRUE(QDir(tmp.path() + "/backup")
                    .entryList({"*.DNG", "*.JPG"}, QDir::Files, QDir::NoSort)
                    .isEmpty());

    const QString exported = tmp.path() + "/exported";
    ok(photolib({"export", "--album", "Twinslim NonFavs", "--format", "jpeg", exported}));
    const Result ingest = ok(cli({"ingest", "--yes", exported}));
    EXPECT_TRUE(ingest.out.contains("Shotwell’s trash")) << ingest.out.toStdString();
    EXPECT_TRUE(photoFiles().contains("IMG_0003.jpeg") && photoFiles().contains("IMG_0006.jpeg"));

    // Shotwell opens its library again, looks at its watched folder, while a change is refused.
    const QString hook = tmp.path() + "/while-shotwell-runs.sh";
    testsupport::writeFile(hook, ("export PHOTOLIB_LIBRARY='" + out + "/data' XDG_CONFIG_HOME='" +
                                  env.value("XDG_CONFIG_HOME") + "'\n'" +
                                  testsupport::photolibPath() + "' album create Refused > '" +
                                  tmp.path() + "/refused.txt' 2>&1\necho \"exit $?\" >> '" +
                                  tmp.path() + "/refused.txt'\n")
                                     .toUtf8());
    testsupport::runShotwell(photos, out, true, hook);
    const QString said = QString::fromUtf8(testsupport::readFile(tmp.path() + "/refused.txt"));
    EXPECT_TRUE(said.contains("close Shotwell") && said.contains("exit 1")) << said.toStdString();
    EXPECT_FALSE(sql(database, "SELECT name FROM TagTable").contains("Refused"));

    // One photo per replaced pair, in its event, with its tags; the originals in the trash;
    // nothing imported twice.
    EXPECT_EQ(sql(database, "PRAGMA integrity_check"), "ok\n");
    EXPECT_EQ(sql(database, "SELECT count(*), count(DISTINCT filename) FROM PhotoTable WHERE "
                            "filename LIKE '%.jpeg'"),
              "2|2\n");
    EXPECT_EQ(sql(database, "SELECT count(*) FROM PhotoTable WHERE flags & 4 AND (filename LIKE "
                            "'%IMG_0003.DNG' OR filename LIKE '%IMG_0006.DNG')"),
              "2\n");
    EXPECT_EQ(sql(database, "SELECT count(*) FROM PhotoTable p WHERE filename LIKE '%.jpeg' AND "
                            "event_id > 0 AND EXISTS (SELECT 1 FROM EventTable e WHERE e.id = "
                            "p.event_id)"),
              "2\n");
    EXPECT_TRUE(sql(database, "SELECT photo_id_list FROM TagTable WHERE name LIKE '%Family'")
                    .contains(sql(database, "SELECT printf('thumb%016x,', id) FROM PhotoTable "
                                            "WHERE filename LIKE '%IMG_0006.jpeg'")
                                  .trimmed()));
    EXPECT_EQ(sql(database, "SELECT group_concat(n.rating = o.rating) FROM PhotoTable n JOIN "
                            "PhotoTable o ON replace(o.filename, '.DNG', '.jpeg') = n.filename "
                            "WHERE n.filename LIKE '%.jpeg' AND o.filename LIKE '%.DNG'"),
              "1,1\n");
    // (Shotwell's start-up look at its watched folder imports IMG_0003's camera JPEG as a
    // photo of its own, with or without Twinslim; that photo keeps its file when the trash is
    // emptied.)
    EXPECT_EQ(ok(photolib({"trash", "list"})).out.count('\n'), 2);
    ok(photolib({"trash", "empty"}));
    EXPECT_TRUE(photoFiles().contains("IMG_0003.JPG"));
    EXPECT_FALSE(photoFiles().contains("IMG_0003.DNG") || photoFiles().contains("IMG_0006.DNG") ||
                 photoFiles().contains("IMG_0006.JPG"));
    const Result list = ok(photolib({"list"}));
    EXPECT_FALSE(list.out.contains(".DNG")) << list.out.toStdString();
    EXPECT_TRUE(ok(photolib({"trash", "list"})).out.isEmpty());

    // Restored from the backups alone: IMG_0006 as its JPEG, in its event and tags, the
    // replacement into Shotwell's trash. IMG_0003's camera JPEG is in the library already, the
    // very bytes of its backup, as the photo Shotwell imported: it stands for the pair, and
    // nothing is made twice.
    const QString event =
        sql(database, "SELECT event_id FROM PhotoTable WHERE filename LIKE '%IMG_0006.jpeg'");
    const Result restored = cli({"--yes", "restore", "--all"});
    EXPECT_EQ(restored.status, 0);
    EXPECT_TRUE(restored.out.contains("the originals are in the library already"))
        << restored.out.toStdString();
    EXPECT_EQ(sql(database, "SELECT count(*) FROM PhotoTable WHERE filename LIKE '%IMG_0003.JPG' "
                            "AND flags & 4 = 0"),
              "1\n");
    EXPECT_TRUE(photoFiles().contains("IMG_0006.JPG"));
    EXPECT_EQ(sql(database, "SELECT flags & 4 FROM PhotoTable WHERE filename LIKE "
                            "'%IMG_0006.JPG' UNION ALL SELECT flags & 4 FROM PhotoTable WHERE "
                            "filename LIKE '%IMG_0006.jpeg'"),
              "0\n4\n");
    EXPECT_TRUE(sql(database, "SELECT photo_id_list FROM TagTable WHERE name LIKE '%Family'")
                    .contains(sql(database, "SELECT printf('thumb%016x,', id) FROM PhotoTable "
                                            "WHERE filename LIKE '%IMG_0006.JPG'")
                                  .trimmed()));
    EXPECT_EQ(sql(database, "SELECT event_id FROM PhotoTable WHERE filename LIKE '%IMG_0006.JPG'"),
              event);
    EXPECT_EQ(sql(database, "PRAGMA integrity_check"), "ok\n");
    EXPECT_EQ(ok(photolib({"check"})).out, "The library is clean.\n");
}

// Each point of the ingest's changes cut short in turn, as a crash would: nothing is lost,
// Shotwell's database stays whole, and a second run with the clean-up finishes with one
// replacement per pair.
TEST_F(ShotwellLibraryCli, IngestsCutShortLoseNoOriginalAndLeaveTheDatabaseWhole) {
    ok(cli({"albums", "--range", "all", "--all"}));
    const QString exported = tmp.path() + "/exported";
    ok(photolib({"export", "--album", "Twinslim NonFavs", "--format", "jpeg", exported}));
    const QString made = tmp.path() + "/made";
    copyTree(tmp.path(), made);
    const QStringList originals = photoFiles();
    auto restore = [&] {
        for (const QString& d : {photos, out, tmp.path() + "/backup"}) {
            QDir(d).removeRecursively();
            copyTree(made + d.mid(tmp.path().size()), d);
        }
    };
    auto expectNothingLost = [&](bool finished) {
        EXPECT_EQ(sql(database, "PRAGMA integrity_check"), "ok\n");
        // Shotwell's trash keeps its files in place: every original stays, and no new file is
        // left that Shotwell does not list.
        const QStringList present = photoFiles();
        for (const QString& f : originals)
            EXPECT_TRUE(present.contains(f)) << f.toStdString();
        const QString listed = sql(database, "SELECT filename FROM PhotoTable");
        for (const QString& f : present)
            if (!originals.contains(f)) {
                EXPECT_TRUE(listed.contains("/" + f + "\n")) << f.toStdString();
            }
        EXPECT_TRUE(QDir(photos).entryList({".twinslim*"}, QDir::Files | QDir::Hidden).isEmpty());
        if (finished) {
            EXPECT_EQ(sql(database, "SELECT count(*) FROM PhotoTable WHERE flags & 4 = 0 AND "
                                    "filename LIKE '%.DNG'"),
                      "0\n");
            EXPECT_EQ(sql(database, "SELECT count(*) FROM PhotoTable WHERE filename LIKE "
                                    "'%.jpeg'"),
                      "2\n");
        }
    };
    int cuts = 0;
    for (const QString point : {"written", "placed", "commit"})
        for (int n = 1; n <= 8; ++n) {
            const QString where = QString("%1:%2").arg(point).arg(n);
            SCOPED_TRACE(("cut at " + where).toStdString());
            restore();
            QProcessEnvironment cutEnv = env;
            cutEnv.insert("TWINSLIM_SHOTWELL_CUT", where);
            const Result r =
                run(cutEnv, testsupport::twinslimCliPath(), {"ingest", "--yes", exported});
            const bool killed = r.status == -1 || r.status == 137;
            EXPECT_EQ(photolib({"check"}).status, 0);
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
    EXPECT_GE(cuts, 10);
}

} // namespace
