// The whole workflow on a collection real digiKam made, through the real programs, read back
// by real digiKam afterwards; a running digiKam refusing every change; ingests cut short.
#include "CliTestSupport.h"
#include "support/Digikam.h"

using namespace clitest;

namespace {

// Runs SQL on a database with the sqlite3 program; its output.
QString sql(const QString& database, const QString& query) {
    QProcess p;
    p.start("sqlite3", {database, query});
    p.waitForFinished(60000);
    return QString::fromUtf8(p.readAllStandardOutput());
}

// A camera folder (four RAW+JPEG pairs, a lone JPEG and HEIC) marked as a person's earlier work
// leaves it (IMG_0001.JPG 5 stars in Places|France|Lyon, IMG_0003 and IMG_0006 in Family, the
// latter 3 stars), made a digiKam library by digiKam itself.
class DigikamLibraryCli : public CliTest {
protected:
    void SetUp() override {
        TWINSLIM_REQUIRE_DIGIKAM();
        CliTest::SetUp();
        photos = tmp.path() + "/photos";
        database = photos + "/digikam4.db";
        testsupport::makeMarkedCameraFolder(photos);
        testsupport::makeDigikamLibrary(photos, tmp.path() + "/digikam", env);
        ASSERT_EQ(sql(database, "SELECT count(*) FROM Images").trimmed(), "10");
        env.insert("PHOTOLIB_LIBRARY", database);
        env.insert("XDG_DATA_HOME", tmp.path() + "/data");
    }

    // The pictures of the collection, digiKam's own files and folders left out.
    QStringList photoFiles() {
        QStringList files;
        for (const QString& f : QDir(photos).entryList(QDir::Files, QDir::Name))
            if (!f.endsWith(".db"))
                files << f;
        return files;
    }
    QStringList trashedFiles() {
        return QDir(photos + "/.dtrash/files").entryList(QDir::Files, QDir::Name);
    }

    QString photos, database;
};

TEST_F(DigikamLibraryCli, PairsLeaveForDigikamsTrashAndDigikamKeepsTheirReplacements) {
    const QString exported = tmp.path() + "/exported";
    exportAlbums(exported);
    const Result scan = ok(cli({"scan", "--range", "all"}));
    EXPECT_TRUE(scan.out.contains("4 pairs")) << scan.out.toStdString();
    const Result ingest = ok(cli({"ingest", "--yes", exported}));
    // Before a session's first change the database was copied, and the user told where.
    const QStringList copies = QDir(photos + "/.digikam4.db.twinslim")
                                   .entryList({"digikam4.db-twinslim-*"}, QDir::Files, QDir::Name);
    ASSERT_FALSE(copies.isEmpty());
    EXPECT_LE(copies.size(), 3);
    EXPECT_TRUE(ingest.err.contains(copies.last())) << ingest.err.toStdString();

    // Replacements beside their pairs; the originals in digiKam's trash, each with its record.
    EXPECT_EQ(photoFiles(), QStringList({"IMG_0001.heic", "IMG_0002.jpeg", "IMG_0003.jpeg",
                                         "IMG_0004.JPG", "IMG_0005.HEIC", "IMG_0006.jpeg"}));
    EXPECT_EQ(trashedFiles().size(), 8);
    EXPECT_EQ(QDir(photos + "/.dtrash/info").entryList(QDir::Files).size(), 8);

    // digiKam opens its collection again and scans it, while a change is refused.
    const QString hook = tmp.path() + "/while-digikam-runs.sh";
    testsupport::writeFile(hook, ("export PHOTOLIB_LIBRARY='" + database + "' XDG_CONFIG_HOME='" +
                                  env.value("XDG_CONFIG_HOME") + "'\n'" +
                                  testsupport::photolibPath() + "' album create Refused > '" +
                                  tmp.path() + "/refused.txt' 2>&1\necho \"exit $?\" >> '" +
                                  tmp.path() + "/refused.txt'\n")
                                     .toUtf8());
    testsupport::reopenWithDigikam(photos, tmp.path() + "/digikam", hook, env);
    const QString refused = QString::fromUtf8(testsupport::readFile(tmp.path() + "/refused.txt"));
    EXPECT_TRUE(refused.contains("close digiKam") && refused.contains("exit 1"))
        << refused.toStdString();
    EXPECT_FALSE(sql(database, "SELECT name FROM Tags").contains("Refused"));

    // What digiKam shows after its scan: one image per pair with the pair's rating and tags,
    // no original, nothing it added twice; the originals' rows kept as its trash keeps them.
    EXPECT_EQ(sql(database, "PRAGMA integrity_check"), "ok\n");
    EXPECT_EQ(sql(database, "SELECT count(*) FROM Images").trimmed(), "14");
    EXPECT_EQ(sql(database,
                  "SELECT i.name, ii.rating, (SELECT group_concat(t.name, ';') FROM ImageTags it "
                  "JOIN Tags t ON t.id = it.tagid WHERE it.imageid = i.id AND t.pid != (SELECT id "
                  "FROM Tags WHERE name = '_Digikam_Internal_Tags_')) FROM Images i JOIN "
                  "ImageInformation ii ON ii.imageid = i.id WHERE i.status = 1 ORDER BY i.name"),
              "IMG_0001.heic|5|Lyon\nIMG_0002.jpeg|0|\nIMG_0003.jpeg|-1|Family\nIMG_0004.JPG|5|\n"
              "IMG_0005.HEIC|-1|\nIMG_0006.jpeg|3|Family\n");
    EXPECT_EQ(
        sql(database, "SELECT count(*) FROM Images WHERE status = 3 AND album IS NULL").trimmed(),
        "8");
    // And the library as Twinslim reads it again: the replacements, no album of its own left
    // but the marker's emptied away.
    const Result list = ok(photolib({"list"}));
    EXPECT_EQ(list.out.count('\n'), 6) << list.out.toStdString();
    EXPECT_EQ(ok(photolib({"check"})).out, "The library is clean.\n");
    EXPECT_EQ(ok(photolib({"trash", "list"})).out.count('\n'), 4);
}

// Each point of the ingest's changes cut short in turn, as a crash would: nothing is lost, the
// database stays whole, and a second run with the clean-up finishes with one replacement per
// pair.
TEST_F(DigikamLibraryCli, IngestsCutShortLoseNoOriginalAndLeaveTheDatabaseWhole) {
    const QString exported = tmp.path() + "/exported";
    exportAlbums(exported);
    const QString made = tmp.path() + "/made";
    copyTree(photos, made);
    const QStringList originals = photoFiles();
    auto restore = [&] {
        for (const QString& d : {photos, tmp.path() + "/backup"})
            QDir(d).removeRecursively();
        QDir().mkpath(tmp.path() + "/backup");
        copyTree(made, photos);
    };
    auto expectNothingLost = [&](bool finished) {
        EXPECT_EQ(sql(database, "PRAGMA integrity_check"), "ok\n");
        const QStringList present = photoFiles();
        QStringList trashed;
        for (const QString& info : QDir(photos + "/.dtrash/info").entryList(QDir::Files))
            trashed << QFileInfo(QJsonDocument::fromJson(
                                     testsupport::readFile(photos + "/.dtrash/info/" + info))
                                     .object()["path"]
                                     .toString())
                           .fileName();
        const QStringList visible = sql(database, "SELECT name FROM Images WHERE status = 1")
                                        .split('\n', Qt::SkipEmptyParts);
        for (const QString& f : originals) {
            // Each original is in its folder or in digiKam's trash, and digiKam shows it exactly
            // while it is in its folder.
            EXPECT_NE(present.contains(f), trashed.contains(f) && trashedFiles().size() > 0)
                << f.toStdString();
            EXPECT_EQ(visible.contains(f), present.contains(f)) << f.toStdString();
        }
        if (finished) {
            EXPECT_EQ(photoFiles(),
                      QStringList({"IMG_0001.heic", "IMG_0002.jpeg", "IMG_0003.jpeg",
                                   "IMG_0004.JPG", "IMG_0005.HEIC", "IMG_0006.jpeg"}));
        }
    };
    int cuts = 0;
    for (const QString point : {"placed", "claimed", "commit", "committed", "moved"})
        for (int n = 1; n <= 8; ++n) {
            if ((point == "moved" || point == "claimed") && n != 1 && n != 5)
                continue;
            const QString where = QString("%1:%2").arg(point).arg(n);
            SCOPED_TRACE(("cut at " + where).toStdString());
            restore();
            QProcessEnvironment cutEnv = env;
            cutEnv.insert("TWINSLIM_DIGIKAM_CUT", where);
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
