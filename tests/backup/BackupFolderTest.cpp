#include "backup/BackupFolder.h"
#include "core/EventLoop.h"
#include "core/IsolatedSettings.h"
#include "platform/system/SystemLog.h"

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

TWINSLIM_ISOLATE_SETTINGS();

namespace {

const QString key = QStringLiteral("backupFolderBookmark");

QSettings preferences() {
    return QSettings(QStringLiteral("Twinslim"), QStringLiteral("Twinslim"));
}

QVariant stored() {
    return preferences().value(key);
}

// Answers the folder chooser as a test tells it to, and remembers what it was asked.
class ScriptedChooser : public FolderChooser {
public:
    enum class Mode { answerAtOnce, answerLater, dropAnswer };
    ScriptedChooser(std::optional<QString> answer, Mode mode = Mode::answerAtOnce)
        : m_answer(std::move(answer)), m_mode(mode) {}

    void chooseFolder(const FolderChoiceRequest& request, Answer answer) override {
        requests.push_back(request);
        switch (m_mode) {
        case Mode::answerAtOnce:
            answer(m_answer);
            break;
        case Mode::answerLater:
            QTimer::singleShot(10, [answer, folder = m_answer] { answer(folder); });
            break;
        case Mode::dropAnswer:
            break;
        }
    }
    std::vector<FolderChoiceRequest> requests;

private:
    std::optional<QString> m_answer;
    Mode m_mode;
};

// Collects the plain diagnostic lines of the system log while it lives.
class LoggedLines {
public:
    LoggedLines() {
        m_previous = sys::SystemLog::setObserver([this](const sys::SystemLogEntry& e) {
            if (e.category.isEmpty())
                lines << e.message;
        });
    }
    ~LoggedLines() { sys::SystemLog::setObserver(m_previous); }
    QStringList lines;

private:
    sys::SystemLog::Observer m_previous;
};

class BackupFolderTest : public ::testing::Test {
protected:
    void SetUp() override {
        preferences().remove(key);
        ASSERT_TRUE(tmp.isValid());
        // Characters the preferences file must keep as they are.
        folder = tmp.path() + "/@Backups, old; “ü” 100%";
        ASSERT_TRUE(QDir().mkpath(folder));
    }
    void TearDown() override {
        preferences().remove(key);
        FolderChooser::setShared(nullptr);
    }

    QStringList leftoverTestFiles(const QString& dir) {
        return QDir(dir).entryList({BackupFolder::writeTestPrefix() + "*"},
                                   QDir::Files | QDir::Hidden | QDir::System);
    }

    QTemporaryDir tmp;
    QString folder;
};

bool setImmutable(const QString& path, bool on) {
    const int fd = ::open(QFile::encodeName(path).constData(), O_RDONLY | O_DIRECTORY);
    if (fd < 0)
        return false;
    int flags = 0;
    bool ok = ::ioctl(fd, FS_IOC_GETFLAGS, &flags) == 0;
    if (ok) {
        flags = on ? (flags | FS_IMMUTABLE_FL) : (flags & ~FS_IMMUTABLE_FL);
        ok = ::ioctl(fd, FS_IOC_SETFLAGS, &flags) == 0;
    }
    ::close(fd);
    return ok;
}

// What creating a file in `dir` fails with, or nothing when it can be created.
std::optional<QString> writeFailure(const QString& dir) {
    QFile probe(dir + "/.probe");
    if (probe.open(QIODevice::WriteOnly)) {
        probe.close();
        probe.remove();
        return std::nullopt;
    }
    return probe.errorString();
}

} // namespace

// ---- Remembering the folder ----

TEST_F(BackupFolderTest, WithoutABookmarkThereIsNoFolder) {
    BackupFolder backup(key);
    EXPECT_EQ(backup.defaultsKey(), key);
    EXPECT_EQ(backup.url(), std::nullopt);
    EXPECT_EQ(backup.checkAccess(), "No backup folder is selected. Choose one first.");
    EXPECT_FALSE(stored().isValid());
}

TEST_F(BackupFolderTest, SavedBookmarkIsRestoredAtCreation) {
    BackupFolder first(key);
    first.saveBookmark(folder);
    EXPECT_EQ(stored().toString(), folder);
    EXPECT_EQ(first.url(), std::nullopt); // saving alone does not choose

    BackupFolder next(key);
    EXPECT_EQ(next.url(), folder);
    BackupFolder other(QStringLiteral("anotherKey"));
    EXPECT_EQ(other.url(), std::nullopt);
}

TEST_F(BackupFolderTest, StaleBookmarkIsUsedAndSavedAfresh) {
    preferences().setValue(key, folder + "/./");
    BackupFolder backup(key);
    EXPECT_EQ(backup.url(), folder);
    EXPECT_EQ(stored().toString(), folder);
    BackupFolder next(key);
    EXPECT_EQ(next.url(), folder);
}

TEST_F(BackupFolderTest, UnresolvableBookmarkLeavesNoFolderAndTheStoredValueAlone) {
    for (const QVariant& value : {QVariant(QStringLiteral("relative/Backups")), QVariant(QString()),
                                  QVariant(QByteArray("\x01\x02 bookmark bytes", 17))}) {
        preferences().setValue(key, value);
        BackupFolder backup(key);
        EXPECT_EQ(backup.url(), std::nullopt);
        EXPECT_EQ(stored(), value);
    }
}

TEST_F(BackupFolderTest, BookmarkOfAMissingFolderIsLoggedAndNotStored) {
    BackupFolder backup(key);
    backup.saveBookmark(folder);
    LoggedLines log;
    backup.saveBookmark(tmp.path() + "/gone");
    backup.saveBookmark("relative");
    EXPECT_EQ(stored().toString(), folder);
    ASSERT_EQ(log.lines.size(), 2);
    for (const QString& line : log.lines) {
        EXPECT_TRUE(line.startsWith("Twinslim: failed to save backup bookmark: "))
            << line.toStdString();
        EXPECT_GT(line.size(), QString("Twinslim: failed to save backup bookmark: ").size());
    }
    EXPECT_TRUE(log.lines[0].contains(tmp.path() + "/gone"));
}

TEST_F(BackupFolderTest, UrlSignalsOnlyRealChanges) {
    BackupFolder backup(key);
    QSignalSpy changed(&backup, &BackupFolder::urlChanged);
    backup.setUrl(std::nullopt);
    backup.setUrl(folder);
    backup.setUrl(folder);
    backup.setUrl(tmp.path());
    EXPECT_EQ(changed.count(), 2);
}

// ---- Choosing ----

TEST_F(BackupFolderTest, ChooserIsAskedForOneFolderWithTheFixedTexts) {
    auto chooser = std::make_shared<ScriptedChooser>(folder);
    BackupFolder backup(key);
    backup.setFolderChooser(chooser);
    QSignalSpy changed(&backup, &BackupFolder::urlChanged);
    testloop::await(backup.choose());

    ASSERT_EQ(chooser->requests.size(), 1u);
    const FolderChoiceRequest& r = chooser->requests[0];
    EXPECT_EQ(r.prompt, "Choose");
    EXPECT_EQ(r.message, "Choose a folder to store backed-up RAW files.");
    EXPECT_TRUE(r.canChooseDirectories);
    EXPECT_FALSE(r.canChooseFiles);
    EXPECT_FALSE(r.allowsMultipleSelection);

    EXPECT_EQ(backup.url(), folder);
    EXPECT_EQ(changed.count(), 1);
    EXPECT_EQ(stored().toString(), folder);
}

TEST_F(BackupFolderTest, CancellingTheChooserChangesNothing) {
    BackupFolder backup(key);
    backup.saveBookmark(folder);
    backup.setUrl(folder);
    QSignalSpy changed(&backup, &BackupFolder::urlChanged);
    for (auto mode : {ScriptedChooser::Mode::answerAtOnce, ScriptedChooser::Mode::answerLater}) {
        backup.setFolderChooser(std::make_shared<ScriptedChooser>(std::nullopt, mode));
        testloop::await(backup.choose());
    }
    backup.setFolderChooser(std::make_shared<ScriptedChooser>(QString()));
    testloop::await(backup.choose());
    // A panel that goes away without answering counts as cancelled, and does not hang.
    backup.setFolderChooser(
        std::make_shared<ScriptedChooser>(tmp.path(), ScriptedChooser::Mode::dropAnswer));
    testloop::await(backup.choose());

    EXPECT_EQ(backup.url(), folder);
    EXPECT_EQ(stored().toString(), folder);
    EXPECT_EQ(changed.count(), 0);
}

TEST_F(BackupFolderTest, LaterAnswerAndTheSharedChooserAreUsed) {
    const QString second = tmp.path() + "/Second";
    ASSERT_TRUE(QDir().mkpath(second));
    FolderChooser::setShared(
        std::make_shared<ScriptedChooser>(second, ScriptedChooser::Mode::answerLater));
    BackupFolder backup(key);
    testloop::await(backup.choose());
    EXPECT_EQ(backup.url(), second);
    EXPECT_EQ(stored().toString(), second);
}

TEST_F(BackupFolderTest, ChosenFolderIsTakenEvenWhenItsBookmarkFails) {
    BackupFolder backup(key);
    backup.saveBookmark(folder);
    const QString vanished = tmp.path() + "/Vanished";
    backup.setFolderChooser(std::make_shared<ScriptedChooser>(vanished));
    LoggedLines log;
    testloop::await(backup.choose());
    EXPECT_EQ(backup.url(), vanished);
    EXPECT_EQ(stored().toString(), folder);
    EXPECT_EQ(log.lines.size(), 1);
}

// ---- Checking access ----

TEST_F(BackupFolderTest, MissingFolderIsNotReachable) {
    BackupFolder backup(key);
    const QString gone = tmp.path() + "/Ejected Disk/Backups";
    backup.setUrl(gone);
    EXPECT_EQ(backup.checkAccess(),
              "The backup folder isn’t reachable:\n" + gone +
                  "\n\nIf it’s on a network share, mount it first — or choose a local folder.");
}

TEST_F(BackupFolderTest, FileInsteadOfAFolderIsNotReachableRatherThanNotWritable) {
    const QString file = tmp.path() + "/not a folder";
    QFile f(file);
    ASSERT_TRUE(f.open(QIODevice::WriteOnly));
    f.close();
    BackupFolder backup(key);
    backup.setUrl(file);
    const auto message = backup.checkAccess();
    ASSERT_TRUE(message);
    EXPECT_TRUE(message->startsWith("The backup folder isn’t reachable:\n" + file + "\n\n"));
}

TEST_F(BackupFolderTest, UsableFolderPassesAndKeepsNoTestFile) {
    const QString odd = tmp.path() + "/Backups 100% “ü”";
    ASSERT_TRUE(QDir().mkpath(odd));
    BackupFolder backup(key);
    backup.setUrl(odd);
    const QStringList before =
        QDir(odd).entryList(QDir::AllEntries | QDir::Hidden | QDir::NoDotAndDotDot);
    EXPECT_EQ(backup.checkAccess(), std::nullopt);
    EXPECT_TRUE(leftoverTestFiles(odd).isEmpty());
    EXPECT_EQ(QDir(odd).entryList(QDir::AllEntries | QDir::Hidden | QDir::NoDotAndDotDot), before);
}

TEST_F(BackupFolderTest, ReadOnlyFolderIsNotWritableWithTheSystemsReason) {
    const QString locked = tmp.path() + "/Locked Backups";
    ASSERT_TRUE(QDir().mkpath(locked));
    ASSERT_TRUE(QFile::setPermissions(locked, QFile::ReadOwner | QFile::ExeOwner |
                                                  QFile::ReadGroup | QFile::ExeGroup));
    // The superuser writes through permissions; an immutable folder stops it too.
    bool immutable = false;
    if (!writeFailure(locked))
        immutable = setImmutable(locked, true);
    struct Unlock {
        QString path;
        bool immutable;
        ~Unlock() {
            if (immutable)
                setImmutable(path, false);
            QFile::setPermissions(path, QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner);
        }
    } unlock{locked, immutable};
    const std::optional<QString> reason = writeFailure(locked);
    if (!reason)
        GTEST_SKIP() << "cannot make a folder read-only here (running as the superuser on a "
                        "file system without the immutable attribute)";

    BackupFolder backup(key);
    backup.setUrl(locked);
    EXPECT_EQ(backup.checkAccess(),
              "The backup folder isn’t writable:\n" + locked + "\n\n" + *reason);
    EXPECT_TRUE(leftoverTestFiles(locked).isEmpty());
}
