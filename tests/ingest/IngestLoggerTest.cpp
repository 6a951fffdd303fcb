#include "ingest/IngestLogger.h"
#include "backup/BackupFolder.h"
#include "core/EventLoop.h"
#include "core/IsolatedSettings.h"
#include "core/TimeZoneScope.h"
#include "platform/system/SystemLog.h"

#include <QDir>
#include <QFile>
#include <gtest/gtest.h>

using namespace twinslim;

TWINSLIM_ISOLATE_SETTINGS();

namespace {

QDateTime local(int h, int m, int s, int ms) {
    return QDateTime(QDate(2024, 3, 5), QTime(h, m, s, ms), Qt::LocalTime);
}

QByteArray contents(const QString& path) {
    QFile f(path);
    return f.open(QIODevice::ReadOnly) ? f.readAll() : QByteArray();
}

class IngestLoggerTest : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_TRUE(tmp.isValid());
        backup = std::make_unique<BackupFolder>(QStringLiteral("ingestLoggerTestKey"));
        backup->setUrl(tmp.path());
    }
    std::optional<QString> write(IngestLogger& logger) {
        return testloop::await(logger.write(backup.get()));
    }
    QString logFolder() const { return tmp.path() + "/Twinslim-logs"; }

    TimeZoneScope zone{"Europe/Berlin"};
    QTemporaryDir tmp;
    std::unique_ptr<BackupFolder> backup;
};

} // namespace

TEST_F(IngestLoggerTest, LinesAreStampedWithLocalTimeAndMirroredUnstamped) {
    std::vector<sys::SystemLogEntry> mirrored;
    auto previous =
        sys::SystemLog::setObserver([&](const sys::SystemLogEntry& e) { mirrored.push_back(e); });
    QDateTime now = local(10, 22, 33, 47);
    IngestLogger logger(local(10, 22, 30, 0), [&] { return now; });
    logger.log("Found 3 image files to ingest");
    now = QDateTime(QDate(2024, 3, 5), QTime(8, 0, 1, 5), Qt::UTC); // 09:00:01.005 in Berlin
    logger.log("    copy RAW → backup “ok”");
    sys::SystemLog::setObserver(previous);

    EXPECT_EQ(logger.lines(), (QStringList{"[10:22:33.047] Found 3 image files to ingest",
                                           "[09:00:01.005]     copy RAW → backup “ok”"}));
    ASSERT_EQ(mirrored.size(), 2u);
    EXPECT_EQ(mirrored[0].message, "Found 3 image files to ingest");
    EXPECT_EQ(mirrored[0].category, "ingest");
    EXPECT_EQ(mirrored[0].priority, sys::SystemLog::defaultPriority);
    EXPECT_EQ(mirrored[1].message, "    copy RAW → backup “ok”");
}

TEST_F(IngestLoggerTest, FileIsNamedAfterTheStartInLocalTime) {
    IngestLogger logger(QDateTime(QDate(2024, 12, 31), QTime(23, 4, 5, 999), Qt::UTC));
    EXPECT_EQ(logger.fileName(), "ingest-20250101-000405.log");
    EXPECT_EQ(IngestLogger(local(7, 8, 9, 0)).fileName(), "ingest-20240305-070809.log");
}

TEST_F(IngestLoggerTest, WritesTheExactBytes) {
    IngestLogger logger(local(7, 8, 9, 0), [] { return local(10, 22, 33, 47); });
    logger.log("Found 3 image files to ingest");
    logger.log("  match IMG_1.heic → “Müller”");
    logger.log("Ingest done: matched=1");
    const auto path = write(logger);
    ASSERT_TRUE(path);
    EXPECT_EQ(*path, logFolder() + "/ingest-20240305-070809.log");
    const QByteArray expected = QStringLiteral("[10:22:33.047] Found 3 image files to ingest\n"
                                               "[10:22:33.047]   match IMG_1.heic → “Müller”\n"
                                               "[10:22:33.047] Ingest done: matched=1\n")
                                    .toUtf8();
    EXPECT_EQ(contents(*path), expected);
    EXPECT_FALSE(contents(*path).startsWith("\xEF\xBB\xBF"));
    EXPECT_EQ(contents(*path).count('\n'), 3);
}

TEST_F(IngestLoggerTest, NoLinesWriteNothing) {
    IngestLogger logger;
    EXPECT_EQ(write(logger), std::nullopt);
    EXPECT_FALSE(QFileInfo::exists(logFolder()));
}

TEST_F(IngestLoggerTest, ExistingFolderAndSameNamedFileAreReused) {
    ASSERT_TRUE(QDir().mkpath(logFolder()));
    const QString path = logFolder() + "/ingest-20240305-070809.log";
    QFile old(path);
    ASSERT_TRUE(old.open(QIODevice::WriteOnly));
    old.write(QByteArray(500, 'o'));
    old.close();

    IngestLogger logger(local(7, 8, 9, 0), [] { return local(1, 2, 3, 4); });
    logger.log("second run");
    EXPECT_EQ(write(logger), path);
    EXPECT_EQ(contents(path), "[01:02:03.004] second run\n");
}

TEST_F(IngestLoggerTest, NoFolderOrAnUnusableOneGivesNoPath) {
    IngestLogger logger(local(7, 8, 9, 0));
    logger.log("line");

    EXPECT_EQ(testloop::await(logger.write(nullptr)), std::nullopt);
    BackupFolder unset(QStringLiteral("ingestLoggerUnsetKey"));
    EXPECT_EQ(testloop::await(logger.write(&unset)), std::nullopt);

    // The backup "folder" turned into a file.
    const QString file = tmp.path() + "/plain file";
    QFile f(file);
    ASSERT_TRUE(f.open(QIODevice::WriteOnly));
    f.close();
    backup->setUrl(file);
    EXPECT_EQ(write(logger), std::nullopt);

    // The log file's name is taken by a folder.
    backup->setUrl(tmp.path());
    ASSERT_TRUE(QDir().mkpath(logFolder() + "/" + logger.fileName()));
    EXPECT_EQ(write(logger), std::nullopt);
    EXPECT_EQ(logger.lines().size(), 1); // lines are kept
}
