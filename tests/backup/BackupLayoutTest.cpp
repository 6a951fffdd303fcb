#include "backup/BackupLayout.h"
#include "backup/DurableFile.h"
#include "backup/OriginalSidecar.h"
#include "support/TestSupport.h"

#include <QDir>
#include <QJsonDocument>
#include <QJsonObject>
#include <QRegularExpression>
#include <gtest/gtest.h>

using namespace twinslim;

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

TEST(OriginalSidecar, EncodesSortedKeysOnePerLineWithEscapedSlashes) {
    OriginalSidecar full;
    full.oldAssetID = "9F1C/L0/001";
    full.newAssetID = "77AB/L0/001";
    full.captureDate = QDateTime(QDate(2024, 5, 17), QTime(11, 30, 12, 999), Qt::OffsetFromUTC,
                                 2 * 3600); // milliseconds are dropped, the zone made UTC
    full.favorite = true;
    full.originalJPEGFilename = "IMG_1.JPG";
    full.originalRAWFilename = "IMG_1.CR3";
    full.backupJPEGFile = "9F1C_L0_001.JPG";
    full.backupRAWFile = "9F1C_L0_001.CR3";
    full.outputFormat = "heic";
    EXPECT_EQ(full.encoded(), QByteArray("{\n"
                                         "  \"backupJPEGFile\" : \"9F1C_L0_001.JPG\",\n"
                                         "  \"backupRAWFile\" : \"9F1C_L0_001.CR3\",\n"
                                         "  \"captureDate\" : \"2024-05-17T09:30:12Z\",\n"
                                         "  \"favorite\" : true,\n"
                                         "  \"newAssetID\" : \"77AB\\/L0\\/001\",\n"
                                         "  \"oldAssetID\" : \"9F1C\\/L0\\/001\",\n"
                                         "  \"originalJPEGFilename\" : \"IMG_1.JPG\",\n"
                                         "  \"originalRAWFilename\" : \"IMG_1.CR3\",\n"
                                         "  \"outputFormat\" : \"heic\"\n"
                                         "}"));

    // Absent optionals are left out; awkward text survives a JSON parser's round trip.
    OriginalSidecar sparse;
    sparse.oldAssetID = "a/b\"c\\d\n\te\x01 “ü”";
    sparse.originalJPEGFilename = "x.jpg";
    sparse.outputFormat = "jpeg";
    QJsonParseError error;
    const QJsonObject parsed = QJsonDocument::fromJson(sparse.encoded(), &error).object();
    ASSERT_EQ(error.error, QJsonParseError::NoError);
    EXPECT_EQ(parsed.keys(), (QStringList{"backupJPEGFile", "favorite", "oldAssetID",
                                          "originalJPEGFilename", "outputFormat"}));
    EXPECT_EQ(parsed["oldAssetID"].toString(), sparse.oldAssetID);
    EXPECT_EQ(parsed["favorite"], QJsonValue(false));
    EXPECT_EQ(parsed["backupJPEGFile"].toString(), "");
    const QString text = QString::fromUtf8(sparse.encoded());
    EXPECT_FALSE(text.contains(QRegularExpression("[^\\\\]/"))) << text.toStdString();
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
}
