#include "CliTestSupport.h"

#include "core/AccessGateText.h"
#include "fixtures/DngFixture.h"
#include "fixtures/ImageFixtures.h"

#include <sqlite3.h>

using namespace clitest;

namespace {

QString gateMessage(photos::AuthorizationStatus status) {
    const auto text = twinslim::accessGateText(status);
    return text->title + ". " + text->caption;
}

QStringList lines(const QString& text) {
    return text.split('\n', Qt::SkipEmptyParts);
}

} // namespace

TEST_F(CliTest, UsageErrorsExitTwoWithOneLineAndTouchNothing) {
    const QList<QStringList> cases = {
        {},
        {"frobnicate"},
        {"scan", "--range", "decade"},
        {"scan", "extra"},
        {"albums"},
        {"albums", "--first", "0"},
        {"albums", "--ids"},
        {"ingest"},
        {"cleanup", "now"},
        {"--library"},
        {"--library", "a", "--library", "b", "scan"},
    };
    for (const QStringList& args : cases) {
        SCOPED_TRACE(args.join(' ').toStdString());
        const Result r = cli(args);
        EXPECT_EQ(r.status, 2);
        EXPECT_TRUE(r.out.isEmpty());
        EXPECT_EQ(lines(r.err).size(), 1) << r.err.toStdString();
        EXPECT_TRUE(r.err.startsWith("twinslim-cli: ")) << r.err.toStdString();
    }
    // No library was opened or created and no grant asked for.
    EXPECT_FALSE(QFileInfo::exists(library));
    EXPECT_FALSE(QFileInfo::exists(config));
    EXPECT_EQ(ok(cli({"--help"})).out.count("usage: twinslim-cli"), 1);
}

// The access gate: what is stored, what is said, for each grant a command starts with.
TEST_F(CliTest, LibraryAccessIsGrantedOnlyWithFullAccess) {
    using photos::AuthorizationStatus;
    struct Case {
        const char* grant; // photolib access STATUS before the run; null: none
        QStringList args;
        int status;
        QString message; // expected in standard error
        QString storedAfter;
    };
    const QString none = "No program has asked for access yet.";
    const QList<Case> cases = {
        {nullptr, {"scan"}, 1, "Photos access is not granted yet", none},
        {"denied", {"scan"}, 1, gateMessage(AuthorizationStatus::Denied), "twinslim: denied"},
        {"denied",
         {"--yes", "cleanup"},
         1,
         gateMessage(AuthorizationStatus::Denied),
         "twinslim: denied"},
        {"limited",
         {"albums", "--all"},
         1,
         gateMessage(AuthorizationStatus::Limited),
         "twinslim: limited"},
        {"authorized",
         {"--library", tmp.path() + "/Missing.photolibrary", "scan"},
         1,
         "There is no photo library at “" + tmp.path() + "/Missing.photolibrary”.",
         "twinslim: authorized"},
    };
    ok(photolib({"create", library}));
    for (const Case& c : cases) {
        SCOPED_TRACE(c.args.join(' ').toStdString());
        QDir(config).removeRecursively();
        if (c.grant)
            ok(photolib({"access", "twinslim", c.grant}));
        const Result r = cli(c.args);
        EXPECT_EQ(r.status, c.status) << r.err.toStdString();
        EXPECT_TRUE(r.err.contains(c.message)) << r.err.toStdString();
        EXPECT_EQ(ok(photolib({"access"})).out.trimmed(), c.storedAfter);
    }
    EXPECT_FALSE(QFileInfo::exists(tmp.path() + "/Missing.photolibrary"));

    // Granted, over a library without pairs: a selection of nothing fills no album, a failure.
    const Result nothing = cli({"albums", "--all"});
    EXPECT_EQ(nothing.status, 1) << nothing.err.toStdString();
    EXPECT_TRUE(nothing.out.isEmpty()) << nothing.out.toStdString();
}

// --library takes every kind of library PHOTOLIB_LIBRARY and `photolib --library` take: a
// folder of camera files, and a darktable library (here one without its data.db, which only
// the darktable kind can say).
TEST_F(CliTest, TheLibraryOptionTakesEveryKindOfLibrary) {
    const QString folder = tmp.path() + "/Pictures";
    imaging::ExifFields exif;
    exif.dateTimeOriginal = "2019:10:26 16:07:24";
    fixtures::makeJpegFile(folder + "/IMG_1.JPG", {64, 48}, exif);
    testsupport::writeFile(folder + "/IMG_1.DNG",
                           fixtures::makeDng({64, 48}, "2019:10:26 16:07:24"));
    const QString darktable = tmp.path() + "/darktable/library.db";
    QDir().mkpath(tmp.path() + "/darktable");
    sqlite3* db = nullptr;
    sqlite3_open(darktable.toUtf8(), &db);
    sqlite3_exec(db,
                 "CREATE TABLE images(id INTEGER PRIMARY KEY, film_id INT, filename TEXT);"
                 "CREATE TABLE film_rolls(id INTEGER PRIMARY KEY, folder TEXT);"
                 "CREATE TABLE tagged_images(imgid INT, tagid INT);"
                 "CREATE TABLE db_info(key TEXT, value TEXT);",
                 nullptr, nullptr, nullptr);
    sqlite3_close(db);
    grantAccess();
    const Result named = ok(cli({"--library", folder, "scan", "--range", "all"}));
    EXPECT_TRUE(named.out.contains("IMG_1.DNG")) << named.out.toStdString();
    env.insert("PHOTOLIB_LIBRARY", folder);
    EXPECT_EQ(ok(cli({"scan", "--range", "all"})).out, named.out);
    const Result refused = cli({"--library", darktable, "scan"});
    EXPECT_EQ(refused.status, 1);
    EXPECT_TRUE(refused.err.contains("The darktable library “" + darktable + "” has no data.db"))
        << refused.err.toStdString();
}

TEST_F(CliTest, BackupFolderIsShownChosenAndChecked) {
    const QString folder = tmp.path() + "/Backups";
    QDir().mkpath(folder);
    QDir().mkpath(library);
    const Result none = cli({"backup-folder"});
    EXPECT_EQ(none.status, 1);
    EXPECT_TRUE(none.err.contains("No backup folder is selected.")) << none.err.toStdString();
    EXPECT_EQ(ok(cli({"backup-folder", tmp.path() + "/./Backups/"})).out,
              "Backup folder: " + folder + "\n");
    // Backups inside the photo library would be files the library does not know.
    const Result inside = cli({"backup-folder", library});
    EXPECT_EQ(inside.status, 1);
    EXPECT_TRUE(inside.err.contains("The backup folder is inside the photo library"))
        << inside.err.toStdString();
    EXPECT_EQ(ok(cli({"backup-folder"})).out, folder + "\n"); // the choice before it stands
}

// Without a terminal the one deletion question is answered no: the originals wait in the
// marker album until a clean-up deletes them.
TEST_F(CliTest, UnansweredDeletionLeavesOriginalsForTheCleanup) {
    usePreparedLibrary();
    const QSet<QString> members =
        ids(items({"--album", "Twinslim Favs"})) + ids(items({"--album", "Twinslim NonFavs"}));

    // A run whose originals stay undeleted is no success to a script.
    const Result ingest = cli({"ingest", prepared().exported});
    EXPECT_EQ(ingest.status, 1);
    EXPECT_TRUE(ingest.out.contains("replaced originals were not deleted"));
    EXPECT_TRUE(ingest.err.contains(QString("They move to Recently Deleted, where they are kept "
                                            "for 30 days.")))
        << ingest.err.toStdString();
    EXPECT_TRUE(ingest.err.contains(QString("Delete %1 items? [y/N] no").arg(members.size())))
        << ingest.err.toStdString();
    EXPECT_EQ(waiting(), members);

    const Result refused = cli({"cleanup"});
    EXPECT_EQ(refused.status, 1);
    EXPECT_TRUE(refused.err.contains(
        QString("%1 originals from a previous run were replaced but not deleted. Delete them now "
                "to reclaim the space? [y/N] no")
            .arg(members.size())))
        << refused.err.toStdString();
    EXPECT_EQ(waiting(), members);

    const Result done = ok(cli({"cleanup", "--yes"}));
    EXPECT_TRUE(done.out.startsWith(QString("Deleted %1 originals.").arg(members.size())));
    EXPECT_TRUE(waiting().isEmpty());
    EXPECT_TRUE((ids(items()) & members).isEmpty());
}

// A run in which a file fails is no success to a script either.
TEST_F(CliTest, AFileThatFailsMakesTheRunFail) {
    usePreparedLibrary();
    const QString exported = tmp.path() + "/exported";
    copyTree(prepared().exported, exported);
    const QString junk = QDir(exported).entryList(QDir::Files).front();
    testsupport::writeFile(exported + "/" + junk, "not a picture at all");
    const Result r = cli({"--yes", "ingest", exported});
    EXPECT_EQ(r.status, 1) << r.err.toStdString();
    EXPECT_TRUE(r.out.contains("   FAILED " + junk + ": ")) << r.out.toStdString();
}

// One pair through the commands `albums` prints, pasted into a shell as they are; every count of
// one is said in the singular.
TEST_F(CliTest, AlbumsPrintsCommandsThatWorkAndOneIsSingular) {
    ok(photolib({"demo", "--pairs", "1", library})); // and an edited pair: no favourite
    grantAccess();
    QDir().mkpath(tmp.path() + "/backup");
    ok(cli({"backup-folder", tmp.path() + "/backup"}));

    const QString albums = ok(cli({"albums", "--range", "all", "--first", "1"})).out;
    QDir().mkpath(env.value("HOME"));
    const QString folder = env.value("HOME") + "/Twinslim Export";
    // The photolib command (one album is empty), on lines a shell reads as one, then the ingest.
    QStringList lines = albums.section("outside the library:\n", 1).split('\n', Qt::SkipEmptyParts);
    ASSERT_EQ(lines.size(), 4) << albums.toStdString();
    const QString ingestCommand = lines.takeLast().trimmed();
    const QString exportCommand = lines.join('\n');
    const QString joined = QString(exportCommand).replace(" \\\n      ", " ").trimmed();
    EXPECT_TRUE(joined.startsWith("photolib --library " + library + " export --album "))
        << joined.toStdString();
    EXPECT_TRUE(joined.endsWith(" \"" + folder + "\"")) << joined.toStdString();
    EXPECT_EQ(ingestCommand, "twinslim-cli --library " + library + " ingest \"" + folder + "\"");
    EXPECT_TRUE(albums.contains("is empty: there is nothing to export from it"));

    // Without a terminal the deletion is refused: the one original waits for the clean-up.
    QProcessEnvironment shellEnv = env;
    shellEnv.insert("PATH", QFileInfo(testsupport::photolibPath()).absolutePath() + ":" +
                                QFileInfo(testsupport::twinslimCliPath()).absolutePath() + ":" +
                                env.value("PATH"));
    ok(run(shellEnv, "sh", {"-c", exportCommand}));
    const Result ingest = run(shellEnv, "sh", {"-c", ingestCommand});
    EXPECT_EQ(ingest.status, 1);
    EXPECT_TRUE(ingest.out.contains("1 item replaced but not deleted waits in the album"))
        << ingest.out.toStdString();
    EXPECT_TRUE(cli({"cleanup"})
                    .err.contains("1 original from a previous run was replaced but not deleted. "
                                  "Delete it now to reclaim "
                                  "the space? [y/N] no"));
    EXPECT_TRUE(ok(cli({"cleanup", "--yes"})).out.startsWith("Deleted 1 original. It is in "));
}
