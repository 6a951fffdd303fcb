#include "LibraryFixture.h"

#include "platform/photos/PhotoLibraryAccess.h"
#include "support/TestSupport.h"

#include <QFile>
#include <QProcess>
#include <atomic>
#include <csignal>
#include <sqlite3.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>

using namespace photos;

using CatalogTest = LibraryFixture;

TEST_F(CatalogTest, OlderCataloguesAreMigratedStepByStepAndNewerOnesRefused) {
    const QString dir = tmp.path() + "/Old.photolibrary";
    QDir().mkpath(dir);
    // A catalogue as the first version wrote it, with one asset.
    sqlite3* db = nullptr;
    ASSERT_EQ(sqlite3_open((dir + "/catalog.sqlite").toUtf8().constData(), &db), SQLITE_OK);
    const char* v1 = R"(
        CREATE TABLE schema_version (version INTEGER NOT NULL); INSERT INTO schema_version VALUES (1);
        CREATE TABLE assets (id INTEGER PRIMARY KEY, uuid TEXT NOT NULL UNIQUE, media_type INTEGER NOT NULL,
          creation_date INTEGER, creation_offset INTEGER, latitude REAL, longitude REAL,
          favorite INTEGER NOT NULL DEFAULT 0, hidden INTEGER NOT NULL DEFAULT 0, trashed_at INTEGER,
          added_at INTEGER NOT NULL);
        CREATE TABLE resources (id INTEGER PRIMARY KEY, asset_id INTEGER NOT NULL REFERENCES assets (id) ON DELETE CASCADE,
          ordinal INTEGER NOT NULL, type INTEGER NOT NULL, uti TEXT NOT NULL, original_filename TEXT NOT NULL,
          file_size INTEGER, stored_path TEXT NOT NULL UNIQUE, UNIQUE (asset_id, ordinal));
        CREATE TABLE albums (id INTEGER PRIMARY KEY, uuid TEXT NOT NULL UNIQUE, title TEXT, type INTEGER NOT NULL,
          subtype INTEGER NOT NULL, created_at INTEGER NOT NULL);
        CREATE TABLE album_members (album_id INTEGER NOT NULL, asset_id INTEGER NOT NULL, position INTEGER NOT NULL,
          PRIMARY KEY (album_id, asset_id));
        INSERT INTO assets VALUES (1, 'AAAA/L0/001', 1, 1000, NULL, NULL, NULL, 1, 0, NULL, 0);
        INSERT INTO resources VALUES (1, 1, 0, 1, 'public.jpeg', 'A.JPG', 3,
          'resources/AA/AAAAAAAA-0000-0000-0000-000000000000_0.jpg');
    )";
    ASSERT_EQ(sqlite3_exec(db, v1, nullptr, nullptr, nullptr), SQLITE_OK);
    sqlite3_close(db);
    testsupport::writeFile(dir + "/resources/AA/AAAAAAAA-0000-0000-0000-000000000000_0.jpg", "abc");

    auto old = PhotoLibrary::open(dir);
    auto assets = old->fetchAssets(MediaType::Image);
    ASSERT_EQ(assets.size(), 1u);
    EXPECT_TRUE(assets[0]->isFavorite);
    EXPECT_EQ(old->fetchAssetsWithResource("A.JPG", 3).size(), 1u); // needs the second step
    EXPECT_TRUE(old->check().isEmpty()) << old->check().join("\n").toStdString();
    old.reset();

    ASSERT_EQ(sqlite3_open((dir + "/catalog.sqlite").toUtf8().constData(), &db), SQLITE_OK);
    ASSERT_EQ(sqlite3_exec(db, "UPDATE schema_version SET version = 99", nullptr, nullptr, nullptr),
              SQLITE_OK);
    sqlite3_close(db);
    try {
        PhotoLibrary::open(dir);
        FAIL() << "a newer catalogue must not be opened";
    } catch (const PhotoLibraryError& e) {
        EXPECT_EQ(e.code(), PhotoLibraryError::Code::NewerCatalog);
    }
}

TEST_F(CatalogTest, OpeningRefusesWhatIsNotALibrary) {
    testsupport::writeFile(tmp.path() + "/file", "x");
    EXPECT_THROW(PhotoLibrary::open(tmp.path() + "/file"), PhotoLibraryError);
    testsupport::writeFile(tmp.path() + "/full/other.txt", "x");
    EXPECT_THROW(PhotoLibrary::open(tmp.path() + "/full"), PhotoLibraryError);
    EXPECT_THROW(PhotoLibrary::create(path), PhotoLibraryError); // exists already
    EXPECT_NO_THROW(PhotoLibrary::open(tmp.path() + "/a/b/New.photolibrary"));
}

TEST_F(CatalogTest, CheckFindsMissingResizedAndOrphanFiles) {
    auto a = asset(add({}));
    auto b = asset(add({}));
    EXPECT_TRUE(lib->check().isEmpty());
    QFile::remove(lib->storedFilePath(a->resources[0]));
    testsupport::writeFile(lib->storedFilePath(b->resources[0]), "much longer than before");
    testsupport::writeFile(path + "/resources/ZZ/stray.jpg", "x");
    const QStringList problems = lib->check();
    ASSERT_EQ(problems.size(), 3) << problems.join("\n").toStdString();
    EXPECT_TRUE(problems.join("\n").contains("missing file"));
    EXPECT_TRUE(problems.join("\n").contains("bytes"));
    EXPECT_TRUE(problems.join("\n").contains("orphan file resources/ZZ/stray.jpg"));
}

// Changes that add, trash and purge items while check looks are not damage.
TEST_F(CatalogTest, CheckWhileChangesRunReportsNothing) {
    std::atomic<bool> done = false;
    std::thread changer([&] {
        for (int round = 0; round < 40; ++round) {
            std::vector<AssetPtr> added;
            NewAsset pair;
            pair.resources = {{ResourceType::Photo, "public.jpeg", QByteArray(20000, 'j')},
                              {ResourceType::AlternatePhoto, "com.adobe.raw-image",
                               QByteArray(50000 + round, 'r')}};
            for (int i = 0; i < 3; ++i)
                added.push_back(asset(add(pair)));
            lib->performChangesAndWait([&](ChangeRequests& c) { c.deleteAssets(added); });
            lib->emptyTrash();
        }
        done = true;
    });
    int checks = 0;
    while (!done) {
        const QStringList problems = lib->check();
        ++checks;
        EXPECT_TRUE(problems.isEmpty()) << problems.join("\n").toStdString();
        if (!problems.isEmpty())
            break;
    }
    changer.join();
    EXPECT_GT(checks, 1);
}

TEST_F(CatalogTest, AChangeKilledHalfWayIsCleanedUpAtTheNextOpen) {
    const int keptFiles = (add({}), storedFileCount());
    lib.reset();
    // The child's second resource comes from a pipe nobody writes to, so the child is
    // stuck after its first file is on disk and before the commit; then it is killed.
    const QString fifo = tmp.path() + "/stuck";
    ASSERT_EQ(mkfifo(fifo.toUtf8().constData(), 0600), 0);
    const pid_t child = fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
        auto l = PhotoLibrary::open(path);
        l->performChangesAndWait([&](ChangeRequests& c) {
            auto& req = c.creationRequestForAsset();
            req.addResource(ResourceType::Photo, QByteArray(1000, 'k'), {"K.JPG", "public.jpeg"});
            req.addResource(ResourceType::AlternatePhoto, fifo, {"K.DNG", "com.adobe.raw-image"});
        });
        _exit(1);
    }
    for (int i = 0; i < 500 && storedFileCount() < keptFiles + 1; ++i)
        usleep(10000);
    usleep(50000);
    EXPECT_EQ(storedFileCount(), keptFiles + 1); // the first resource is on disk
    kill(child, SIGKILL);
    int status = 0;
    waitpid(child, &status, 0);
    ASSERT_TRUE(WIFSIGNALED(status));

    lib = PhotoLibrary::open(path);
    EXPECT_EQ(storedFileCount(), keptFiles);
    EXPECT_EQ(lib->fetchAssets(MediaType::Image).size(), 1u);
    EXPECT_TRUE(lib->check().isEmpty()) << lib->check().join("\n").toStdString();
    EXPECT_EQ(QDir(path + "/locks").entryList(QDir::Files).size(), 1u); // only ours
}
