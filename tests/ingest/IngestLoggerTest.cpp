#include "ingest/IngestLogger.h"
#include "backup/BackupFolder.h"
#include "core/EventLoop.h"
#include "core/IsolatedEnvironment.h"
#include "support/ObservedLog.h"
#include "support/TestSupport.h"

#include <QDir>
#include <gtest/gtest.h>

using namespace twinslim;

TWINSLIM_ISOLATE_ENVIRONMENT();

namespace {

QDateTime march5(int h, int m, int s, int ms, Qt::TimeSpec timeSpec = Qt::LocalTime) {
    return QDateTime(QDate(2024, 3, 5), QTime(h, m, s, ms), timeSpec);
}

std::optional<QString> write(IngestLogger& logger, BackupFolder* folder) {
    return testloop::await(logger.write(folder));
}

} // namespace

TEST(IngestLogger, LinesAreStampedInLocalTimeMirroredUnstampedAndWrittenExactly) {
    testsupport::ObservedLog observed;
    QDateTime now = march5(10, 22, 33, 47);
    IngestLogger logger(march5(7, 8, 9, 0), [&] { return now; });
    logger.log("Found 3 image files to ingest");
    now = march5(8, 0, 1, 5, Qt::UTC); // 09:00:01.005 in local (Berlin) time
    logger.log("  match IMG_1.heic → “Müller”");
    logger.log("Ingest done: matched=1");
    ASSERT_EQ(observed.entries().size(), 3u);
    const QStringList mirrored = observed.lines("ingest");
    ASSERT_EQ(mirrored.size(), 3);
    EXPECT_EQ(mirrored[1],
              QString::number(sys::SystemLog::defaultPriority) + "   match IMG_1.heic → “Müller”");

    // An earlier log of the same name (a run started in the same second) is kept; the folder
    // exists already.
    QTemporaryDir tmp;
    BackupFolder backup("ingestLoggerTestKey");
    backup.setUrl(tmp.path());
    const QString taken = tmp.path() + "/Twinslim-logs/ingest-20240305-070809.log";
    const QString path = tmp.path() + "/Twinslim-logs/ingest-20240305-070809-2.log";
    EXPECT_EQ(write(logger, &backup), taken); // the first of its second takes the plain name
    testsupport::writeFile(taken, QByteArray(500, 'o'));
    EXPECT_EQ(write(logger, &backup), path);
    EXPECT_EQ(testsupport::readFile(taken), QByteArray(500, 'o'));
    EXPECT_EQ(testsupport::readFile(path),
              QByteArray("[10:22:33.047] Found 3 image files to ingest\n"
                         "[09:00:01.005]   match IMG_1.heic → “Müller”\n"
                         "[09:00:01.005] Ingest done: matched=1\n"));
    // The file is named after the start in local time, across a year's end too.
    const QDateTime newYearsEveUtc(QDate(2024, 12, 31), QTime(23, 4, 5, 999), Qt::UTC);
    EXPECT_EQ(IngestLogger(newYearsEveUtc).fileName(), "ingest-20250101-000405.log");
}

TEST(IngestLogger, NothingIsWrittenWithoutLinesOrAUsableFolder) {
    QTemporaryDir tmp;
    BackupFolder backup("ingestLoggerTestKey"), unset("ingestLoggerUnsetKey");
    backup.setUrl(tmp.path());
    IngestLogger empty;
    EXPECT_EQ(write(empty, &backup), std::nullopt);
    EXPECT_TRUE(QDir(tmp.path()).isEmpty());

    IngestLogger logger;
    logger.log("line");
    EXPECT_EQ(write(logger, &unset), std::nullopt);
    // A backup folder that went away (an unplugged disk) is never created again.
    backup.setUrl(tmp.path() + "/unplugged");
    EXPECT_EQ(write(logger, &backup), std::nullopt);
    EXPECT_FALSE(QFileInfo::exists(tmp.path() + "/unplugged"));
}
