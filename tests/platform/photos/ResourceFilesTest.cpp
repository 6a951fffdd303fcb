#include "LibraryFixture.h"

#include "platform/photos/Catalog.h"
#include "platform/photos/ResourceFiles.h"

#include <fcntl.h>
#include <optional>
#include <sqlite3.h>
#include <sys/stat.h>
#include <unistd.h>

using namespace photos;

using ResourceFilesTest = LibraryFixture;

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

// When flushing or closing a new file fails, its descriptor is closed exactly once: a second
// close would hit whatever file another thread opened under the same number meanwhile.
TEST_F(ResourceFilesTest, AFailedFlushOrCloseClosesTheNewFileOnce) {
    const QString source = tmp.path() + "/source.jpg";
    testsupport::writeFile(source, "jpegbytes");
    const int keeper = ::open((tmp.path() + "/keeper").toUtf8(), O_RDWR | O_CREAT, 0600);
    ASSERT_GE(keeper, 0);
    struct stat kept {};
    ::fstat(keeper, &kept);
    auto& calls = ResourceFiles::syscallsForTesting();
    for (const bool failFlush : {true, false}) {
        for (const bool fromFile : {false, true}) {
            SCOPED_TRACE(testing::Message() << "flush " << failFlush << " file " << fromFile);
            int reused = -1;
            // The new file's number goes to another open file as soon as it is closed.
            calls.close = [&](int fd) {
                ::close(fd);
                reused = ::dup2(keeper, fd);
                errno = EIO;
                return failFlush ? 0 : -1;
            };
            if (failFlush)
                calls.fsync = [](int) { return errno = EIO, -1; };
            try {
                lib->performChangesAndWait([&](ChangeRequests& c) {
                    auto& req = c.creationRequestForAsset();
                    if (fromFile)
                        req.addResource(ResourceType::Photo, source, {"A.JPG", "public.jpeg"});
                    else
                        req.addResource(ResourceType::Photo, QByteArray("x"),
                                        {"A.JPG", "public.jpeg"});
                });
                ADD_FAILURE() << "the change must fail";
            } catch (const PhotoLibraryError& e) {
                EXPECT_EQ(e.code(), PhotoLibraryError::Code::StorageFailed);
            }
            calls = {};
            ASSERT_GE(reused, 0);
            struct stat st {};
            EXPECT_EQ(::fstat(reused, &st), 0) << "the other file was closed";
            EXPECT_EQ(st.st_ino, kept.st_ino);
            if (reused != keeper)
                ::close(reused);
            EXPECT_EQ(storedFileCount(), 0);
        }
    }
    ::close(keeper);
}

// Another opener that finds a lock file unlocked takes its owner for dead and removes it; a
// new owner's file must therefore never be visible before it is locked.
TEST(OwnerLockTest, ANewLockIsNeverSeenUnlocked) {
    for (const bool unnamedFiles : {true, false}) { // without them: a temporary name, renamed
        SCOPED_TRACE(unnamedFiles);
        QTemporaryDir tmp;
        OwnerLock::withoutUnnamedFilesForTesting() = !unnamedFiles;
        OwnerLock::beforeLockForTesting() = [&] { OwnerLock::removeStaleLocks(tmp.path(), {}); };
        std::optional<OwnerLock> lock(tmp.path());
        OwnerLock::beforeLockForTesting() = nullptr;
        OwnerLock::withoutUnnamedFilesForTesting() = false;
        EXPECT_TRUE(OwnerLock::isAlive(tmp.path(), lock->token()));
        OwnerLock::removeStaleLocks(tmp.path(), {});
        EXPECT_TRUE(OwnerLock::isAlive(tmp.path(), lock->token()));
        EXPECT_EQ(QDir(tmp.path() + "/locks").entryList(QDir::Files).join(","),
                  lock->token() + ".lock");
        const QString token = lock->token();
        lock.reset();
        EXPECT_FALSE(OwnerLock::isAlive(tmp.path(), token));
        EXPECT_TRUE(QDir(tmp.path() + "/locks").entryList(QDir::Files).isEmpty());
    }
}

TEST(CatalogDurability, CommitsAreFlushedToDisk) {
    QTemporaryDir tmp;
    Catalog catalog(tmp.path() + "/catalog.sqlite");
    const qint64 level = catalog.write([](SqliteDatabase& db) {
        auto st = db.statement("PRAGMA synchronous");
        return st.step() ? st.int64(0) : -1;
    });
    EXPECT_EQ(level, 2); // FULL
}

TEST_F(ResourceFilesTest, AFolderThatCannotBeFlushedFailsTheChange) {
    ResourceFiles::syscallsForTesting().fsync = failFolderFlush;
    EXPECT_THROW(add({}), PhotoLibraryError);
    ResourceFiles::syscallsForTesting() = {};
    EXPECT_EQ(storedFileCount(), 0);
    EXPECT_EQ(pendingRows(path), 1); // the removal is not known to be on disk either
    reopen();
    EXPECT_EQ(pendingRows(path), 0);
    EXPECT_TRUE(lib->check().isEmpty()) << lib->check().join("\n").toStdString();
}

// A purged file that could not be removed, or whose removal could not be flushed, keeps its
// pending row; the next opening removes it.
TEST_F(ResourceFilesTest, PurgedFilesKeepTheirPendingRowsUntilTheyAreGone) {
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
