#include "backup/BackupFolder.h"
#include "core/EventLoop.h"
#include "core/IsolatedEnvironment.h"
#include "support/ObservedLog.h"

#include <QDir>
#include <QFile>
#include <QSignalSpy>
#include <QTimer>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <linux/fs.h>
#include <sys/ioctl.h>
#include <unistd.h>

using namespace twinslim;

TWINSLIM_ISOLATE_ENVIRONMENT();

namespace {

const QString key = QStringLiteral("backupFolderBookmark");

QVariant stored() {
    return QSettings("Twinslim", "Twinslim").value(key);
}

// Answers after `delayMs` (at once for 0, never for -1) and remembers what it was asked.
struct ScriptedChooser : FolderChooser {
    ScriptedChooser(std::optional<QString> answer, int delayMs = 0)
        : answer(std::move(answer)), delayMs(delayMs) {}
    void chooseFolder(const FolderChoiceRequest& request, Answer reply) override {
        requests.push_back(request);
        if (delayMs == 0)
            reply(answer);
        else if (delayMs > 0)
            QTimer::singleShot(delayMs, [reply, folder = answer] { reply(folder); });
    }
    std::optional<QString> answer;
    int delayMs;
    std::vector<FolderChoiceRequest> requests;
};

// The superuser writes through permissions; an immutable folder stops it too.
void setImmutable(const QString& path, bool on) {
    const int fd = ::open(QFile::encodeName(path).constData(), O_RDONLY | O_DIRECTORY);
    int flags = 0;
    if (fd >= 0 && ::ioctl(fd, FS_IOC_GETFLAGS, &flags) == 0) {
        flags = on ? flags | FS_IMMUTABLE_FL : flags & ~FS_IMMUTABLE_FL;
        ::ioctl(fd, FS_IOC_SETFLAGS, &flags);
    }
    if (fd >= 0)
        ::close(fd);
}

class BackupFolderTest : public ::testing::Test {
protected:
    void SetUp() override {
        QSettings("Twinslim", "Twinslim").remove(key);
        ASSERT_TRUE(QDir().mkpath(folder));
    }
    void TearDown() override { FolderChooser::setShared(nullptr); }
    QStringList logged() { return log.lines({}); } // plain diagnostics
    testsupport::ObservedLog log;
    QTemporaryDir tmp;
    // With characters the preferences file must keep as they are.
    QString folder = tmp.path() + "/@Backups, old; “ü” 100%";
};

} // namespace

TEST_F(BackupFolderTest, BookmarkIsRestoredRefreshedWhenStaleAndIgnoredWhenUnusable) {
    BackupFolder first(key);
    EXPECT_EQ(first.url(), std::nullopt);
    first.saveBookmark(folder);
    EXPECT_EQ(first.url(), std::nullopt); // saving alone does not choose
    EXPECT_EQ(BackupFolder(key).url(), folder);
    EXPECT_EQ(BackupFolder("anotherKey").url(), std::nullopt);

    QSettings("Twinslim", "Twinslim").setValue(key, folder + "/./");
    EXPECT_EQ(BackupFolder(key).url(), folder);
    EXPECT_EQ(stored().toString(), folder);

    const QVariant bytes(QByteArray("\x01\x02 bookmark bytes", 17));
    for (const QVariant& value : {QVariant("relative/Backups"), QVariant(QString()), bytes}) {
        QSettings("Twinslim", "Twinslim").setValue(key, value);
        EXPECT_EQ(BackupFolder(key).url(), std::nullopt);
        EXPECT_EQ(stored(), value); // left for a later choice to overwrite
    }

    // A bookmark is made of an existing folder only; a failure is logged and stores nothing.
    first.saveBookmark(tmp.path() + "/gone");
    first.saveBookmark("relative");
    EXPECT_EQ(stored(), bytes);
    const QStringList failures = logged();
    ASSERT_EQ(failures.size(), 2);
    const QString prefix = QString::number(sys::SystemLog::defaultPriority) +
                           " Twinslim: failed to save backup bookmark: ";
    EXPECT_TRUE(failures[0].startsWith(prefix) && failures[0].contains(tmp.path() + "/gone"));
    EXPECT_TRUE(failures[1].startsWith(prefix) && failures[1].size() > prefix.size());
}

TEST_F(BackupFolderTest, ChosenFolderIsTakenAndStoredAndCancellingChangesNothing) {
    auto chooser = std::make_shared<ScriptedChooser>(folder);
    BackupFolder backup(key);
    backup.setFolderChooser(chooser);
    QSignalSpy changed(&backup, &BackupFolder::urlChanged);
    testloop::await(backup.choose());
    ASSERT_EQ(chooser->requests.size(), 1u);
    const FolderChoiceRequest& r = chooser->requests[0];
    EXPECT_EQ(r.prompt, "Choose");
    EXPECT_EQ(r.message, "Choose a folder to store backed-up RAW files.");
    EXPECT_TRUE(r.canChooseDirectories && !r.canChooseFiles && !r.allowsMultipleSelection);
    EXPECT_EQ(backup.url(), folder);
    EXPECT_EQ(changed.count(), 1);
    EXPECT_EQ(stored().toString(), folder);

    // Without a chooser of its own the shared one is asked.
    FolderChooser::setShared(chooser);
    BackupFolder other(key);
    testloop::await(other.choose());
    EXPECT_EQ(chooser->requests.size(), 2u);
    EXPECT_EQ(other.url(), folder);

    // A folder whose bookmark cannot be made is still taken until quit.
    backup.setFolderChooser(std::make_shared<ScriptedChooser>(tmp.path() + "/Vanished"));
    testloop::await(backup.choose());
    EXPECT_EQ(backup.url(), tmp.path() + "/Vanished");
    EXPECT_EQ(stored().toString(), folder);
    EXPECT_EQ(logged().size(), 1);

    // Cancelling changes nothing; a panel that goes away without answering counts as
    // cancelled, and does not hang.
    for (auto [answer, delay] : std::vector<std::pair<std::optional<QString>, int>>{
             {std::nullopt, 0}, {std::nullopt, 10}, {QString(), 0}, {folder, -1}}) {
        backup.setFolderChooser(std::make_shared<ScriptedChooser>(answer, delay));
        testloop::await(backup.choose());
    }
    EXPECT_EQ(backup.url(), tmp.path() + "/Vanished");
    EXPECT_EQ(stored().toString(), folder);
    EXPECT_EQ(changed.count(), 2);
}

TEST_F(BackupFolderTest, CheckAccessOutcomes) {
    BackupFolder backup(key);
    EXPECT_EQ(backup.checkAccess(), "No backup folder is selected. Choose one first.");

    const QString file = tmp.path() + "/not a folder";
    ASSERT_TRUE(QFile(file).open(QIODevice::WriteOnly));
    for (const QString& unreachable : {tmp.path() + "/Ejected Disk/Backups", file}) {
        backup.setUrl(unreachable);
        EXPECT_EQ(backup.checkAccess(), "The backup folder isn’t reachable:\n" + unreachable +
                                            "\n\nIf it’s on a network share, mount it first — or "
                                            "choose a local folder.");
    }

    backup.setUrl(folder);
    EXPECT_EQ(backup.checkAccess(), std::nullopt);
    // No test file is left behind.
    EXPECT_TRUE(QDir(folder).isEmpty(QDir::AllEntries | QDir::Hidden | QDir::NoDotAndDotDot));

    const QString locked = tmp.path() + "/Locked Backups";
    ASSERT_TRUE(QDir().mkpath(locked));
    ASSERT_TRUE(QFile::setPermissions(locked, QFile::ReadOwner | QFile::ExeOwner));
    setImmutable(locked, true);
    QFile probe(locked + "/probe"); // what the system says to writing there
    const bool writable = probe.open(QIODevice::WriteOnly);
    const QString reason = probe.errorString();
    backup.setUrl(locked);
    const std::optional<QString> message = backup.checkAccess();
    setImmutable(locked, false);
    QFile::setPermissions(locked, QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner);
    if (writable)
        GTEST_SKIP() << "cannot make a folder read-only here";
    EXPECT_EQ(message, "The backup folder isn’t writable:\n" + locked + "\n\n" + reason);
}
