#include "LibraryFixture.h"

#include "platform/photos/ResourceFiles.h"
#include "support/TestSupport.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

using namespace photos;

using ResourceFilesTest = LibraryFixture;

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
    QTemporaryDir tmp;
    OwnerLock::beforeLockForTesting() = [&] { OwnerLock::removeStaleLocks(tmp.path(), {}); };
    OwnerLock lock(tmp.path());
    OwnerLock::beforeLockForTesting() = nullptr;
    EXPECT_TRUE(OwnerLock::isAlive(tmp.path(), lock.token()));
    OwnerLock::removeStaleLocks(tmp.path(), {});
    EXPECT_TRUE(OwnerLock::isAlive(tmp.path(), lock.token()));
    EXPECT_EQ(QDir(tmp.path() + "/locks").entryList(QDir::Files).join(","), lock.token() + ".lock");
}
