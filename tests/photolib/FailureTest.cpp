#include "PhotolibTestSupport.h"

#include "fixtures/ImageFixtures.h"
#include "platform/photos/PhotoLibrary.h"

#include <QFileInfo>
#include <csignal>
#include <sqlite3.h>
#include <sys/resource.h>

// Failures are reported (one line, non-zero exit), never passed off as success.

// create never makes a library over another; use chooses one for the later commands; a
// library that is not there is reported, never made.
TEST_F(PhotolibTest, TheChosenLibraryIsUsedAndOneThatIsNotThereIsNotMade) {
    const QString gone = tmp.path() + "/Gone.photolibrary";
    const QString notThere = "photolib: There is no photo library at “" + gone + "”.\n";
    fixtures::makeJpegFile(tmp.path() + "/cam/A.JPG", {32, 32});
    const struct {
        bool named; // PHOTOLIB_LIBRARY names the missing library
        QStringList args;
    } cases[] = {
        {true, {"list"}},
        {true, {"import", tmp.path() + "/cam"}},
        {false, {"--library", gone, "check"}},
        {false, {"use", gone}},
    };
    for (const auto& c : cases) {
        c.named ? env.insert("PHOTOLIB_LIBRARY", gone) : env.remove("PHOTOLIB_LIBRARY");
        const Result r = photolib(c.args);
        EXPECT_EQ(r.status, 1) << c.args.join(' ').toStdString();
        EXPECT_EQ(r.err, notThere);
        EXPECT_FALSE(QFileInfo::exists(gone));
    }
    env.remove("PHOTOLIB_LIBRARY");
    const QString other = tmp.path() + "/Other.photolibrary";
    EXPECT_EQ(photolib({"create", other}).status, 0);
    EXPECT_EQ(photolib({"create", other}).status, 1);
    EXPECT_EQ(photolib({"use", other}).status, 0);
    ASSERT_EQ(photolib({"import", tmp.path() + "/cam"}).status, 0);
    EXPECT_EQ(photolib({"--library", other, "list"}).out.count("A.JPG"), 1);
    EXPECT_FALSE(QFileInfo::exists(tmp.path() + "/home/Pictures"));
    // The chosen library's disk is no longer there.
    ASSERT_TRUE(QDir().rename(other, gone));
    EXPECT_EQ(photolib({"import", tmp.path() + "/cam"}).err,
              "photolib: There is no photo library at “" + other + "”.\n");
    EXPECT_FALSE(QFileInfo::exists(other));
    // Only the default location is made, on first use.
    env.insert("XDG_CONFIG_HOME", tmp.path() + "/fresh-config");
    EXPECT_EQ(photolib({"list"}).status, 0);
    EXPECT_TRUE(
        QFileInfo::exists(tmp.path() + "/home/Pictures/Photos.photolibrary/catalog.sqlite"));
}

// Other programs keep SQLite files named *.db too: only one with darktable's tables is taken
// for darktable's library; any other file is refused with the kinds Twinslim does open.
TEST_F(PhotolibTest, OnlyDarktablesDatabaseIsTakenForADarktableLibrary) {
    const auto database = [&](const QString& name, const char* sql) {
        const QString path = tmp.path() + "/other/" + name;
        QDir().mkpath(tmp.path() + "/other");
        sqlite3* db = nullptr;
        sqlite3_open(path.toUtf8(), &db);
        EXPECT_EQ(sqlite3_exec(db, sql, nullptr, nullptr, nullptr), SQLITE_OK)
            << name.toStdString();
        sqlite3_close(db);
        return path;
    };
    const QString digikam =
        database("digikam4.db", "CREATE TABLE Albums(id INTEGER PRIMARY KEY, relativePath TEXT);"
                                "CREATE TABLE Images(id INTEGER PRIMARY KEY, album INT, name TEXT);"
                                "CREATE TABLE ImageInformation(imageid INT, rating INT);"
                                "CREATE TABLE Tags(id INTEGER PRIMARY KEY, name TEXT);"
                                "CREATE TABLE ImageTags(imageid INT, tagid INT);"
                                "CREATE TABLE Settings(keyword TEXT, value TEXT);");
    const QString shotwell = database(
        "photo.db", "CREATE TABLE PhotoTable(id INTEGER PRIMARY KEY, filename TEXT, rating INT);"
                    "CREATE TABLE EventTable(id INTEGER PRIMARY KEY, name TEXT);"
                    "CREATE TABLE TagTable(id INTEGER PRIMARY KEY, name TEXT, photo_id_list TEXT);"
                    "CREATE TABLE VersionTable(id INTEGER PRIMARY KEY, schema_version INT);");
    // A table of darktable's name alone is not enough: many programs keep "images".
    const QString gallery =
        database("gallery.db", "CREATE TABLE images(id INTEGER PRIMARY KEY, path TEXT);");
    // darktable's tables are enough to be taken for its library (which then lacks its data.db).
    const QString darktable = database(
        "library.db", "CREATE TABLE images(id INTEGER PRIMARY KEY, film_id INT, filename TEXT);"
                      "CREATE TABLE film_rolls(id INTEGER PRIMARY KEY, folder TEXT);"
                      "CREATE TABLE tagged_images(imgid INT, tagid INT);"
                      "CREATE TABLE db_info(key TEXT, value TEXT);");
    testsupport::writeFile(tmp.path() + "/other/notes.db", "not a database at all");
    env.remove("PHOTOLIB_LIBRARY");
    for (const QString& path : {digikam, shotwell, gallery, tmp.path() + "/other/notes.db"}) {
        SCOPED_TRACE(path.toStdString());
        for (const QStringList& args : {QStringList{"use", path}, {"--library", path, "list"}}) {
            const Result r = photolib(args);
            EXPECT_EQ(r.status, 1);
            EXPECT_EQ(r.err, "photolib: “" + path +
                                 "” is not a photo library Twinslim knows: it is not a folder. "
                                 "Twinslim opens its own catalogue (a folder NAME.photolibrary), "
                                 "a folder of camera files, a darktable library (its "
                                 "library.db), a digiKam library (its digikam4.db) or a "
                                 "Shotwell library (its photo.db).\n");
        }
    }
    const Result r = photolib({"use", darktable});
    EXPECT_EQ(r.status, 1);
    EXPECT_TRUE(r.err.contains("The darktable library “" + darktable + "” has no data.db"))
        << r.err.toStdString();
    // Nothing was chosen, and the other programs' files are as they were.
    EXPECT_FALSE(QFileInfo::exists(tmp.path() + "/config/photolib/photolib.ini"));
    EXPECT_EQ(QDir(tmp.path() + "/other").entryList(QDir::Files).size(), 5);
}

// Settings or output that cannot be written fail the command, never pass for success.
TEST_F(PhotolibTest, SettingsOrOutputThatCannotBeWrittenAreAnError) {
    testsupport::writeFile(tmp.path() + "/config/photolib", "a file where the folder goes");
    const QStringList cases[] = {
        {"use", library},
        {"access", "twinslim", "authorized"},
    };
    for (const QStringList& args : cases) {
        const Result r = photolib(args);
        EXPECT_EQ(r.status, 1) << args.join(' ').toStdString();
        EXPECT_EQ(r.out, "");
        EXPECT_TRUE(r.err.startsWith("photolib: The settings file")) << r.err.toStdString();
    }
    fixtures::makeJpegFile(tmp.path() + "/cam/A.JPG", {32, 32});
    ASSERT_EQ(photolib({"import", tmp.path() + "/cam"}).status, 0);
    for (const QStringList& args : {QStringList{"list"}, {"list", "--json"}, {"check"}}) {
        QProcess p;
        p.setProcessEnvironment(env);
        p.setStandardOutputFile("/dev/full");
        p.start(testsupport::photolibPath(), args);
        ASSERT_TRUE(p.waitForFinished(60000));
        EXPECT_EQ(p.exitCode(), 1) << args.join(' ').toStdString();
        EXPECT_TRUE(p.readAllStandardError().startsWith("photolib: standard output cannot be"));
    }
}

// A write over the file-size limit, of a resource or of the catalogue, fails the command with
// one line; the library keeps whole items only, checks clean and takes the command later.
TEST_F(PhotolibTest, AWriteOverTheFileSizeLimitFailsCleanly) {
    const QByteArray jpeg = fixtures::makeJpeg({64, 64});
    auto pair = [&](const QString& stem, int rawSize) {
        testsupport::writeFile(tmp.path() + stem + ".JPG", jpeg);
        testsupport::writeFile(tmp.path() + stem + ".DNG", QByteArray(rawSize, 'r'));
    };
    pair("/one/A", 1000);
    for (int i = 0; i < 60; ++i) {
        pair(QString("/small/S_%1").arg(i, 2, 10, QChar('0')), 1000 + i);
        if (i < 30) // a late RAW is over the limit
            pair(QString("/big/B_%1").arg(i, 2, 10, QChar('0')), i == 28 ? 200000 : 1000 + i);
    }
    ASSERT_EQ(photolib({"import", tmp.path() + "/one"}).status, 0);
    const QString id = items()[0].id;
    const struct {
        QStringList args;
        rlim_t limit;
        bool causeKnown; // SQLite keeps no system error for a write to its log cut short
    } cases[] = {
        {{"import", tmp.path() + "/big"}, 100000, true},
        {{"import", tmp.path() + "/small"}, 48000, false}, // the catalogue's log outgrows it
        {{"favorite", id}, 16000, true},                   // the catalogue's index cannot be made
    };
    for (const auto& c : cases) {
        const std::string what = c.args.join(' ').toStdString();
        const Result r = photolib(c.args, [limit = c.limit] {
            const rlimit fsize{limit, limit};
            ::setrlimit(RLIMIT_FSIZE, &fsize);
            std::signal(SIGXFSZ, SIG_DFL); // as a shell leaves it
        });
        EXPECT_EQ(r.status, 1) << what;
        EXPECT_EQ(r.out, "") << what;
        // One line, naming the cause where the system gave one.
        EXPECT_TRUE(r.err.startsWith("photolib: ") && r.err.count('\n') == 1 &&
                    (!c.causeKnown || r.err.contains("File too large")))
            << what << ": " << r.err.toStdString();
        EXPECT_EQ(photolib({"check"}).status, 0) << what;
        for (const Item& item : items())
            EXPECT_EQ(item.resources.size(), 2u) << what;
        EXPECT_EQ(photolib(c.args).status, 0) << what;
    }
    EXPECT_EQ(items().size(), 91u);
    EXPECT_EQ(photolib({"check"}).status, 0);
}
