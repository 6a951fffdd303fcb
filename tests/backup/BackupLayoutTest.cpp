#include "backup/BackupLayout.h"
#include "backup/DurableFile.h"
#include "core/IsolatedEnvironment.h"
#include "support/TestSupport.h"

#include <QDir>
#include <cerrno>
#include <gtest/gtest.h>
#include <linux/filter.h>
#include <linux/seccomp.h>
#include <stddef.h>
#include <sys/prctl.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

using namespace twinslim;

TWINSLIM_ISOLATE_ENVIRONMENT();

namespace {

// Runs `work` in a child process whose fsync() fails with EIO, as on a failing disk, and gives
// its exit status; 255 when the kernel does not filter system calls here.
int withFailingFsync(const std::function<int()>& work) {
    const pid_t child = ::fork();
    if (child == 0) {
        sock_filter filter[] = {
            BPF_STMT(BPF_LD | BPF_W | BPF_ABS, offsetof(seccomp_data, nr)),
            BPF_JUMP(BPF_JMP | BPF_JEQ | BPF_K, __NR_fsync, 0, 1),
            BPF_STMT(BPF_RET | BPF_K, SECCOMP_RET_ERRNO | EIO),
            BPF_STMT(BPF_RET | BPF_K, SECCOMP_RET_ALLOW),
        };
        sock_fprog program{sizeof filter / sizeof filter[0], filter};
        if (::prctl(PR_SET_NO_NEW_PRIVS, 1, 0, 0, 0) != 0 ||
            ::prctl(PR_SET_SECCOMP, SECCOMP_MODE_FILTER, &program) != 0)
            ::_exit(255);
        ::_exit(work());
    }
    int status = 0;
    ::waitpid(child, &status, 0);
    return WIFEXITED(status) ? WEXITSTATUS(status) : 254;
}

} // namespace

// Local time is Berlin's (the test program's isolated environment).
TEST(BackupLayout, MonthFolderFollowsLocalTimeAcrossMonthEnds) {
    const struct {
        std::optional<QDateTime> date;
        const char* folder;
    } cases[] = {
        {QDateTime(QDate(2024, 5, 31), QTime(21, 59, 59), Qt::UTC), "2024-05"},
        {QDateTime(QDate(2024, 5, 31), QTime(22, 0, 0), Qt::UTC), "2024-06"}, // 00:00 CEST
        {QDateTime(QDate(2023, 12, 31), QTime(23, 30), Qt::UTC), "2024-01"},
        {QDateTime(QDate(999, 3, 1), QTime(12, 0), Qt::UTC), "0999-03"},
        {std::nullopt, "unknown-date"},
    };
    for (const auto& c : cases)
        EXPECT_EQ(monthFolderName(c.date), c.folder);
}

TEST(BackupLayout, FileNamesKeepTheOriginalExtensionAsSpelled) {
    EXPECT_EQ(safeID("A1B2/L0/001"), "A1B2_L0_001");
    const struct {
        const char* original;
        const char* backup;
    } cases[] = {
        {"IMG_0001.CR3", "A_L0_001.CR3"},  {"img.jpeg", "A_L0_001.jpeg"},
        {"photo.JPG.dng", "A_L0_001.dng"}, {"NOEXT", "A_L0_001"},
        {"trailing.", "A_L0_001"},         {".hidden", "A_L0_001"},
    };
    for (const auto& c : cases) {
        photos::AssetResource resource;
        resource.originalFilename = c.original;
        EXPECT_EQ(backupFileName(resource, "A_L0_001"), c.backup) << c.original;
    }
    EXPECT_EQ(deletingPathExtension("IMG_0001.CR3"), "IMG_0001");
    EXPECT_EQ(deletingPathExtension(".hidden"), ".hidden");
}

TEST(DurableFile, ReplacesWholeFilesAndLeavesTheOldOneOnFailure) {
    QTemporaryDir dir;
    const QString path = dir.filePath("a.json");
    durable::writeFile(path, "first");
    durable::writeFile(path, "second, longer");
    EXPECT_EQ(testsupport::readFile(path), "second, longer");
    EXPECT_EQ(QDir(dir.path()).entryList(QDir::Files | QDir::Hidden), QStringList{"a.json"});

    // A leftover of an interrupted attempt does not get in the way.
    testsupport::writeFile(durable::temporaryPathFor(path), "half");
    durable::writeFile(path, "third");
    EXPECT_EQ(testsupport::readFile(path), "third");

    // A rename that cannot happen (a folder holds the name) leaves no temporary file.
    const QString blocked = dir.filePath("b.json");
    ASSERT_TRUE(QDir().mkpath(blocked + "/inside"));
    EXPECT_THROW(durable::writeFile(blocked, "x"), std::exception);
    EXPECT_FALSE(QFileInfo::exists(durable::temporaryPathFor(blocked)));
    EXPECT_TRUE(QFileInfo(blocked).isDir());

    // A new file whose bytes the disk could not flush never takes its name: a log that looks
    // written could be empty after a power cut.
    const QString fresh = dir.filePath("c.log");
    const int status = withFailingFsync([&] {
        try {
            durable::writeNewFile(fresh, "lost at a power cut");
        } catch (const std::exception&) {
            return 0;
        }
        return 1;
    });
    if (status == 255)
        GTEST_SKIP() << "system calls cannot be filtered here";
    EXPECT_EQ(status, 0);
    EXPECT_FALSE(QFileInfo::exists(fresh));
}
