// The whole workflow on a collection real digiKam made, through the real programs, read back
// by real digiKam afterwards; a running digiKam refusing every change; ingests cut short.
#include "CliTestSupport.h"
#include "support/Digikam.h"

#include <QRegularExpression>

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
// latter 3 stars), made a digiKam library by digiKam itself; then labelled in digiKam (IMG_0001's
// RAW red, IMG_0003.JPG blue, IMG_0002's RAW accepted), and digiKam set to write ratings, labels
// and tags into the files and their sidecars, and to read sidecars.
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
        sql(database, "INSERT INTO ImageTags SELECT i.id, t.id FROM Images i, Tags t WHERE "
                      "(i.name, t.name) IN (VALUES ('IMG_0001.CR3', 'Color Label Red'), "
                      "('IMG_0003.JPG', 'Color Label Blue'), ('IMG_0002.ARW', 'Pick Label "
                      "Accepted'))");
        ASSERT_EQ(sql(database, "SELECT count(*) FROM ImageTags WHERE tagid IN (SELECT id FROM "
                                "Tags WHERE name LIKE '% Label %')")
                      .trimmed(),
                  "3");
        const QString config = tmp.path() + "/digikam/home/.config";
        QString rc = QString::fromUtf8(testsupport::readFile(config + "/digikamrc"));
        const std::pair<QString, QString> settings[] = {
            {"Save Rating", "true"},        {"Save Tags", "true"},
            {"Save Pick Label", "true"},    {"Save Color Label", "true"},
            {"Metadata Writing Mode", "2"}, {"Use XMP Sidecar For Reading", "true"}};
        for (const auto& [key, value] : settings) {
            const QRegularExpression line("^" + key + "=.*$", QRegularExpression::MultilineOption);
            const QString set = key + "=" + value;
            if (rc.contains(line))
                rc.replace(line, set);
            else
                rc.replace("[Metadata Settings]\n", "[Metadata Settings]\n" + set + "\n");
        }
        ASSERT_TRUE(rc.contains("Metadata Writing Mode=2")) << rc.toStdString();
        testsupport::writeFile(config + "/digikamrc", rc.toUtf8());
        // The user's own configuration, naming this library.
        env.insert("XDG_CONFIG_HOME", config);
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
    // The collection's files once every pair is replaced.
    const QStringList replaced{"IMG_0001.heic",     "IMG_0001.heic.xmp", "IMG_0002.jpeg",
                               "IMG_0002.jpeg.xmp", "IMG_0003.jpeg",     "IMG_0003.jpeg.xmp",
                               "IMG_0004.JPG",      "IMG_0005.HEIC",     "IMG_0006.jpeg",
                               "IMG_0006.jpeg.xmp"};
};

TEST_F(DigikamLibraryCli, PairsLeaveForDigikamsTrashAndDigikamKeepsTheirReplacements) {
    const QString exported = tmp.path() + "/exported";
    exportAlbums(exported);
    const QStringList before = photoFiles();
    const Result scan = ok(cli({"scan", "--range", "all"}));
    EXPECT_TRUE(scan.out.contains("4 pairs")) << scan.out.toStdString();
    const Result ingest = ok(cli({"ingest", "--yes", exported}));
    // Before a session's first change the database was copied, and the user told where.
    const QStringList copies = QDir(photos + "/.digikam4.db.twinslim")
                                   .entryList({"digikam4.db-twinslim-*"}, QDir::Files, QDir::Name);
    ASSERT_FALSE(copies.isEmpty());
    EXPECT_LE(copies.size(), 3);
    EXPECT_TRUE(ingest.err.contains(copies.last())) << ingest.err.toStdString();

    // Replacements beside their pairs, each with the sidecar digiKam would write; the originals
    // in digiKam's trash, each with its record.
    EXPECT_EQ(photoFiles(), replaced);
    EXPECT_EQ(trashedFiles().size(), 8);
    EXPECT_EQ(QDir(photos + "/.dtrash/info").entryList(QDir::Files).size(), 8);

    // Copies of the replacements with their sidecars, new to digiKam, in a folder of their own:
    // what digiKam reads of them is what the files and sidecars say.
    QDir().mkpath(photos + "/Copies");
    for (const QString& f : replaced)
        if (f.endsWith(".xmp") || QFile::exists(photos + "/" + f + ".xmp")) {
            ASSERT_TRUE(QFile::copy(photos + "/" + f, photos + "/Copies/" + f));
        }

    // digiKam opens its collection again and scans it, while a change is refused.
    const QString hook = tmp.path() + "/while-digikam-runs.sh";
    // On a busy machine digiKam may pause between folders longer than the reopening waits
    // for a quiet database: the copies' rows are awaited before digiKam is asked to quit.
    testsupport::writeFile(
        hook, ("for i in $(seq 1 120); do [ \"$(sqlite3 -readonly '" + database +
               "' 'SELECT count(*) FROM Images' 2>/dev/null)\" -ge 18 ] "
               "2>/dev/null && break; sleep 1; done\nsleep 2\n"
               "export PHOTOLIB_LIBRARY='" +
               database + "' XDG_CONFIG_HOME='" + env.value("XDG_CONFIG_HOME") + "'\n'" +
               testsupport::photolibPath() + "' album create Refused > '" + tmp.path() +
               "/refused.txt' 2>&1\necho \"exit $?\" >> '" + tmp.path() + "/refused.txt'\n")
                  .toUtf8());
    testsupport::reopenWithDigikam(photos, tmp.path() + "/digikam", hook, env);
    const QString refused = QString::fromUtf8(testsupport::readFile(tmp.path() + "/refused.txt"));
    EXPECT_TRUE(refused.contains("close digiKam") && refused.contains("exit 1"))
        << refused.toStdString();
    EXPECT_FALSE(sql(database, "SELECT name FROM Tags").contains("Refused"));

    // What digiKam shows after its scan: one image per pair with the pair's rating and tags,
    // no original, nothing it added twice; the originals' rows kept as its trash keeps them.
    EXPECT_EQ(sql(database, "PRAGMA integrity_check"), "ok\n");
    EXPECT_EQ(sql(database, "SELECT count(*) FROM Images").trimmed(), "18");
    const auto shown = [&](const QString& folder) {
        return sql(
            database,
            "SELECT i.name, ii.rating, (SELECT group_concat(t.name, ';') FROM (SELECT t.name "
            "FROM ImageTags it JOIN Tags t ON t.id = it.tagid WHERE it.imageid = i.id AND "
            "(t.pid != (SELECT id FROM Tags WHERE name = '_Digikam_Internal_Tags_') OR "
            "t.name LIKE '% Label %') ORDER BY t.name) t) FROM Images i JOIN "
            "ImageInformation ii ON ii.imageid = i.id JOIN Albums a ON a.id = i.album "
            "WHERE i.status = 1 AND a.relativePath = '" +
                folder + "' ORDER BY i.name");
    };
    EXPECT_EQ(shown("/"),
              "IMG_0001.heic|5|Color Label Red;Lyon\nIMG_0002.jpeg|0|Pick Label Accepted\n"
              "IMG_0003.jpeg|-1|Color Label Blue;Family\nIMG_0004.JPG|5|\nIMG_0005.HEIC|-1|\n"
              "IMG_0006.jpeg|3|Family\n");
    // The copies: digiKam read the same rating, labels and tags in the files and sidecars.
    EXPECT_EQ(shown("/Copies"), "IMG_0001.heic|5|Color Label Red;Lyon\nIMG_0002.jpeg|0|Pick "
                                "Label Accepted\nIMG_0003.jpeg|-1|Color Label Blue;Family\n"
                                "IMG_0006.jpeg|3|Family\n");
    EXPECT_EQ(
        sql(database, "SELECT count(*) FROM Images WHERE status = 3 AND album IS NULL").trimmed(),
        "8");
    // And the library as Twinslim reads it again: the replacements, no album of its own left
    // but the marker's emptied away.
    const Result list = ok(photolib({"list"}));
    EXPECT_EQ(list.out.count('\n'), 10) << list.out.toStdString();
    EXPECT_EQ(ok(photolib({"check"})).out, "The library is clean.\n");
    EXPECT_EQ(ok(photolib({"trash", "list"})).out.count('\n'), 4);

    // Restored, the pairs come back from digiKam's trash as they were, with their marks; the
    // replacements take their place there.
    ok(cli({"--yes", "restore", "--all"}));
    EXPECT_EQ(photoFiles(), before);
    EXPECT_EQ(shown("/"),
              "IMG_0001.CR3|0|Color Label Red\nIMG_0001.JPG|5|Lyon\n"
              "IMG_0002.ARW|0|Pick Label Accepted\nIMG_0002.JPG|-1|\nIMG_0003.DNG|-1|\n"
              "IMG_0003.JPG|-1|Color Label Blue;Family\nIMG_0004.JPG|5|\nIMG_0005.HEIC|-1|\n"
              "IMG_0006.DNG|-1|\nIMG_0006.JPG|3|Family\n");
    EXPECT_EQ(sql(database, "PRAGMA integrity_check"), "ok\n");
    EXPECT_EQ(ok(photolib({"check"})).out, "The library is clean.\n");
    EXPECT_EQ(ok(photolib({"trash", "list"})).out.count('\n'), 4);
    EXPECT_TRUE(ok(cli({"restore", "--list"})).out.startsWith("No replaced pairs to restore"));
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
            EXPECT_EQ(photoFiles(), replaced);
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
