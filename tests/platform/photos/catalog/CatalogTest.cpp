#include "../LibraryFixture.h"

#include "core/CatalogRows.h"
#include "fixtures/ImageFixtures.h"
#include "platform/photos/shared/ResourceFiles.h"

#include <QFile>
#include <sqlite3.h>
#include <sys/stat.h>
#include <unistd.h>

using namespace photos;

// The catalogue's own storage: its schema, its pending files and its folder.
using CatalogTest = LibraryContract;
LIBRARY_TESTS(CatalogTest, std::vector{LibraryKind::Catalogue});

namespace {

int pendingRows(const QString& library) {
    sqlite3* db = nullptr;
    sqlite3_stmt* st = nullptr;
    sqlite3_open((library + "/catalog.sqlite").toUtf8(), &db);
    sqlite3_prepare_v2(db, "SELECT count(*) FROM pending_files", -1, &st, nullptr);
    const int n = sqlite3_step(st) == SQLITE_ROW ? sqlite3_column_int(st, 0) : -1;
    sqlite3_finalize(st);
    sqlite3_close(db);
    return n;
}

int failFolderFlush(int fd) {
    struct stat st {};
    ::fstat(fd, &st);
    return S_ISDIR(st.st_mode) ? (errno = EIO, -1) : ::fsync(fd);
}

} // namespace

TEST_P(CatalogTest, OlderCataloguesAreMigratedStepByStepAndNewerOnesRefused) {
    const QString dir = tmp.path() + "/Old.photolibrary";
    QDir().mkpath(dir);
    // A catalogue as the first version wrote it, with one asset.
    catalog::exec(dir, R"(
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
    )");
    testsupport::writeFile(dir + "/resources/AA/AAAAAAAA-0000-0000-0000-000000000000_0.jpg", "abc");

    auto old = PhotoLibrary::open(dir);
    auto assets = old->fetchAssets(MediaType::Image);
    ASSERT_EQ(assets.size(), 1u);
    EXPECT_TRUE(assets[0]->isFavorite);
    EXPECT_EQ(old->fetchAssetsWithResource("A.JPG", 3).size(), 1u); // needs the second step
    EXPECT_TRUE(old->check().isEmpty()) << old->check().join("\n").toStdString();
    old.reset();

    catalog::exec(dir, "UPDATE schema_version SET version = 99");
    try {
        PhotoLibrary::open(dir);
        FAIL() << "a newer catalogue must not be opened";
    } catch (const PhotoLibraryError& e) {
        EXPECT_EQ(e.code(), PhotoLibraryError::Code::NewerCatalog);
    }
}

// Other programs write to the same catalogue; a change waits for one that holds it briefly.
TEST_P(CatalogTest, AChangeWaitsForAnotherWriterInsteadOfFailing) {
    sqlite3* other = nullptr;
    ASSERT_EQ(sqlite3_open((path + "/catalog.sqlite").toUtf8(), &other), SQLITE_OK);
    ASSERT_EQ(sqlite3_exec(other, "BEGIN IMMEDIATE", nullptr, nullptr, nullptr), SQLITE_OK);
    auto done = std::make_shared<std::promise<bool>>();
    auto succeeded = done->get_future();
    lib->performChanges([](ChangeRequests& c) { c.creationRequestForAssetCollection("A"); },
                        [done](bool ok, std::optional<PhotoLibraryError>) { done->set_value(ok); });
    // A change that does not wait has failed by now, or at the latest when it meets the
    // commit below; either way the result is judged after it.
    succeeded.wait_for(std::chrono::milliseconds(300));
    EXPECT_EQ(sqlite3_exec(other, "COMMIT", nullptr, nullptr, nullptr), SQLITE_OK);
    sqlite3_close(other);
    EXPECT_TRUE(succeeded.get());
}

// The pending files of a change still under way in another process are its own: another
// opener leaves them alone, and only once their owner has gone are they cleaned up.
TEST_P(CatalogTest, PendingFilesOfALiveOwnerAreLeftAlone) {
    const QString owner = QDir(path + "/locks").entryList(QDir::Files).value(0).chopped(5);
    const QString stored = "resources/0A/0A1B2C3D-4E5F-6789-ABCD-EF0123456789_0.jpg";
    testsupport::writeFile(path + "/" + stored, "half written");
    catalog::exec(path,
                  QString("INSERT INTO pending_files VALUES ('%1', '%2', 0)").arg(stored, owner));
    PhotoLibrary::open(path);
    EXPECT_TRUE(QFile::exists(path + "/" + stored));
    reopen();
    EXPECT_FALSE(QFile::exists(path + "/" + stored));
    EXPECT_EQ(pendingRows(path), 0);
}

// A file whose creation or removal is not known to be on disk keeps its pending row, and the
// next opening finishes the job: a new file whose folder cannot be flushed, a purged file
// that cannot be removed, and one whose removal cannot be flushed.
TEST_P(CatalogTest, FilesNotKnownToBeOnDiskKeepTheirPendingRowsUntilTheNextOpening) {
    ResourceFiles::syscallsForTesting().fsync = failFolderFlush;
    EXPECT_THROW(add({}), PhotoLibraryError);
    ResourceFiles::syscallsForTesting() = {};
    EXPECT_EQ(storedFileCount(), 0);
    EXPECT_EQ(pendingRows(path), 1);
    reopen();
    EXPECT_EQ(pendingRows(path), 0);

    for (const bool failFlush : {false, true}) {
        SCOPED_TRACE(failFlush);
        const AssetPtr a = asset(add({}));
        const QString file = lib->storedFilePath(a->resources[0]);
        lib->performChangesAndWait([&](ChangeRequests& c) { c.deleteAssets({a}); });
        if (failFlush)
            ResourceFiles::syscallsForTesting().fsync = failFolderFlush;
        else
            ASSERT_TRUE(QFile::remove(file) && QDir().mkdir(file)); // cannot be unlinked
        EXPECT_EQ(lib->emptyTrash(), 1);
        EXPECT_EQ(pendingRows(path), 1);
        ResourceFiles::syscallsForTesting() = {};
        QDir().rmdir(file);
        reopen();
        EXPECT_EQ(pendingRows(path), 0);
        EXPECT_EQ(storedFileCount(), 0);
        EXPECT_TRUE(lib->check().isEmpty()) << lib->check().join("\n").toStdString();
    }
}

// A damaged or crafted catalogue leads the library's readers and removals out of its folder:
// by "..", by a link in place of a stored file, or by a linked folder under resources/.
TEST_P(CatalogTest, FilesOutsideTheLibraryAreNeitherReadNorRemoved) {
    enum Escape { DotDot, FileLink, FolderLink };
    for (Escape escape : {DotDot, FileLink, FolderLink}) {
        SCOPED_TRACE(int(escape));
        const QString outside = tmp.path() + QString("/outside%1").arg(escape);
        lib = PhotoLibrary::create(tmp.path() + QString("/L%1.photolibrary").arg(escape));
        const QString root = lib->path();
        const QString id = add({});
        QString stored = asset(id)->resources[0]->storedPath;
        const QString folder = stored.section('/', 0, 1);
        QString victim = outside + "/victim.jpg";
        if (escape == FolderLink)
            victim = outside + "/" + stored.section('/', 2);
        const QByteArray picture = fixtures::makeJpeg({64, 64});
        testsupport::writeFile(victim, picture);
        if (escape == DotDot) {
            stored = "resources/../../" + QFileInfo(outside).fileName() + "/victim.jpg";
            catalog::exec(root, QString("UPDATE resources SET stored_path = '%1'").arg(stored));
        } else if (escape == FileLink) {
            QFile::remove(root + "/" + stored);
            ASSERT_EQ(symlink(victim.toUtf8(), (root + "/" + stored).toUtf8()), 0);
        } else {
            QDir(root + "/" + folder).removeRecursively();
            ASSERT_EQ(symlink(outside.toUtf8(), (root + "/" + folder).toUtf8()), 0);
        }

        const AssetPtr a = asset(id);
        EXPECT_TRUE(lib->storedFilePath(a->resources[0]).isEmpty());
        ImageManager manager(lib);
        EXPECT_TRUE(
            request(manager, a, {64, 64}, ImageContentMode::AspectFit, {}).back().image.isNull());
        const QString out = tmp.path() + QString("/out%1.jpg").arg(escape);
        EXPECT_TRUE(writeOut(a->resources[0], out).has_value());
        EXPECT_FALSE(QFile::exists(out));
        EXPECT_FALSE(lib->check().filter(stored).filter("not a file of the library").isEmpty())
            << lib->check().join("\n").toStdString();

        lib->performChangesAndWait([&](ChangeRequests& c) { c.deleteAssets({a}); });
        EXPECT_EQ(lib->emptyTrash(), 1);
        EXPECT_EQ(testsupport::readFile(victim), picture);
    }
}
