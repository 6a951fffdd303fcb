// digiKam's own trash of a collection, as digiKam lays it out and reads it back.
#include "platform/photos/digikam/DigikamTrash.h"
#include "platform/photos/PhotoLibraryError.h"
#include "support/TestSupport.h"

#include <QDir>
#include <QJsonDocument>
#include <QJsonObject>
#include <QRegularExpression>
#include <QTemporaryDir>
#include <gtest/gtest.h>

using namespace photos;
using testsupport::readFile;
using testsupport::writeFile;

TEST(DigikamTrash, MovesFilesUnderFreshNamesWithDigikamsRecordsAndPutsThemBack) {
    QTemporaryDir tmp;
    const QString collection = tmp.path(), original = collection + "/2024/IMG_1.tar.JPG";
    writeFile(original, "picture");
    const QDateTime when(QDate(2026, 12, 8), QTime(5, 13, 22), Qt::LocalTime);

    const DtrashEntry e = DigikamTrash::claim(collection, original, 13, when);
    EXPECT_TRUE(QFileInfo::exists(original)); // a claim moves nothing yet
    EXPECT_FALSE(DigikamTrash::contains(e));
    EXPECT_TRUE(QRegularExpression("^IMG_1-[0-9a-f]{8}$").match(e.name).hasMatch())
        << e.name.toStdString();
    EXPECT_EQ(e.fileName, e.name + ".tar.JPG");
    const QJsonObject record =
        QJsonDocument::fromJson(readFile(collection + "/.dtrash/info/" + e.name + ".dtrashinfo"))
            .object();
    EXPECT_EQ(record, QJsonObject({{"path", original},
                                   {"deletiontimestamp", "2026-12-08T05:13:22"},
                                   {"imageid", "13"}}));
    DigikamTrash::moveClaimed(e);
    DigikamTrash::moveClaimed(e); // again, as a recovery would: nothing more happens
    EXPECT_FALSE(QFileInfo::exists(original));
    EXPECT_EQ(readFile(collection + "/.dtrash/files/" + e.fileName), "picture");

    // A second file of the same name takes another; a claim given up leaves nothing.
    writeFile(original, "another");
    const DtrashEntry second = DigikamTrash::claim(collection, original, 14, when);
    EXPECT_NE(second.name, e.name);
    DigikamTrash::unclaim(second);
    EXPECT_EQ(QDir(collection + "/.dtrash/info").count(), 3u); // ., .. and the first record
    EXPECT_EQ(readFile(original), "another");

    // Never back over another file; once the name is free, back it goes and its record too.
    EXPECT_THROW(DigikamTrash::restore(e), PhotoLibraryError);
    EXPECT_TRUE(DigikamTrash::contains(e));
    QFile::remove(original);
    DigikamTrash::restore(e);
    EXPECT_EQ(readFile(original), "picture");
    EXPECT_FALSE(QFileInfo::exists(collection + "/.dtrash/info/" + e.name + ".dtrashinfo"));

    // A claim given up after its move puts the file back; erasing removes both for good.
    const DtrashEntry third = DigikamTrash::claim(collection, original, 15, when);
    DigikamTrash::moveClaimed(third);
    DigikamTrash::unclaim(third);
    EXPECT_EQ(readFile(original), "picture");
    const DtrashEntry fourth = DigikamTrash::claim(collection, original, 16, when);
    DigikamTrash::moveClaimed(fourth);
    DigikamTrash::erase(fourth);
    EXPECT_FALSE(DigikamTrash::contains(fourth));
    EXPECT_EQ(QDir(collection + "/.dtrash/files").count(), 2u);
    EXPECT_EQ(QDir(collection + "/.dtrash/info").count(), 2u);
}
