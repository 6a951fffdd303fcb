// Reading a Shotwell library made from the empty library's dump, no Shotwell needed: the pairs'
// files and sizes across folders, and what is read once of each pair's picture, kept and read
// again when the picture changes.
#include "platform/photos/shotwell/ShotwellSnapshot.h"
#include "support/Shotwell.h"
#include "support/TestSupport.h"

#include "../shared/SqlRows.h"

#include <QDir>
#include <QFile>
#include <QTemporaryDir>
#include <gtest/gtest.h>
#include <map>

using namespace photos;

namespace {

void writeFile(const QString& path, const QByteArray& bytes) {
    QFile f(path);
    ASSERT_TRUE(f.open(QIODevice::WriteOnly));
    f.write(bytes);
}

std::map<QString, AssetPtr> byFirstName(ShotwellStore& store) {
    std::map<QString, AssetPtr> found;
    for (const AssetPtr& a : store.assets(MediaType::Image, {}))
        found[a->resources.front()->originalFilename] = a;
    return found;
}

} // namespace

TEST(ShotwellScan, PairsSizesAcrossFoldersAndThePicturesFactsKeptUntilTheyChange) {
    TWINSLIM_REQUIRE_SAMPLES();
    QTemporaryDir tmp;
    const QString db = testsupport::makeEmptyShotwellLibrary(tmp.path() + "/shotwell");
    const QString a = tmp.path() + "/photos/a", b = tmp.path() + "/photos/b";
    QDir().mkpath(a);
    QDir().mkpath(b);
    // A camera JPEG taken at 14:12:31 (+03:00) heads the first pair; the others are empty.
    const QString nokia = testsupport::samplesDir() + "/jpeg/exifsamples__HMD_Nokia_8.3_5G.jpg";
    ASSERT_TRUE(QFile::copy(nokia, a + "/IMG_1.JPG"));
    writeFile(a + "/IMG_1.CR2", QByteArray(11, 'r'));
    writeFile(b + "/IMG_2.JPG", QByteArray(22, 'j'));
    writeFile(b + "/IMG_2.CR2", QByteArray(33, 'r'));
    writeFile(a + "/IMG_3.JPG", QByteArray(44, 'j'));
    writeFile(a + "/IMG_3.CR2", QByteArray(55, 'r'));
    writeFile(b + "/IMG_4.JPG", QByteArray(66, 'j'));
    const qint64 wall =
        QDateTime(QDate(2022, 8, 14), QTime(14, 12, 31), Qt::LocalTime).toSecsSinceEpoch();
    sqlRows(db, QString("INSERT INTO BackingPhotoTable (id, filepath) VALUES (1, '%1/IMG_1.JPG'), "
                        "(2, '%2/IMG_2.JPG'), (3, '%1/IMG_3.JPG');"
                        "INSERT INTO PhotoTable (id, filename, exposure_time, develop_camera_id) "
                        "VALUES (1, '%1/IMG_1.CR2', %3, 1), (2, '%2/IMG_2.CR2', %3, 2), "
                        "(3, '%1/IMG_3.CR2', %3, 3), (4, '%2/IMG_4.JPG', %3, -1)")
                    .arg(a, b)
                    .arg(wall));

    const QDateTime taken(QDate(2022, 8, 14), QTime(14, 12, 31), Qt::OffsetFromUTC, 3 * 3600);
    const qint64 jpegSize = QFileInfo(nokia).size();
    {
        ShotwellStore store(db);
        const auto items = byFirstName(store);
        ASSERT_EQ(items.size(), 4u);
        // Each pair's files in its own folder, the picture first, with their sizes as they are.
        const std::map<QString, std::pair<QString, qint64>> expected{
            {"IMG_1.JPG", {a, jpegSize}}, {"IMG_1.CR2", {a, 11}}, {"IMG_2.JPG", {b, 22}},
            {"IMG_2.CR2", {b, 33}},       {"IMG_3.JPG", {a, 44}}, {"IMG_3.CR2", {a, 55}}};
        for (const auto& [first, asset] : items) {
            if (first == "IMG_4.JPG") {
                ASSERT_EQ(asset->resources.size(), 1u);
                EXPECT_EQ(asset->resources[0]->storedPath, b + "/IMG_4.JPG");
                EXPECT_EQ(asset->resources[0]->type, ResourceType::Photo);
                EXPECT_EQ(asset->creationDate, QDateTime::fromSecsSinceEpoch(wall));
                continue;
            }
            ASSERT_EQ(asset->resources.size(), 2u) << first.toStdString();
            EXPECT_EQ(asset->resources[0]->type, ResourceType::Photo);
            EXPECT_EQ(asset->resources[1]->type, ResourceType::AlternatePhoto);
            for (const ResourcePtr& r : asset->resources) {
                const auto& [folder, size] = expected.at(r->originalFilename);
                EXPECT_EQ(r->storedPath, folder + "/" + r->originalFilename);
                EXPECT_EQ(r->fileSize, size) << r->originalFilename.toStdString();
            }
        }
        // The picture's offset places Shotwell's wall-clock time; an empty picture has none.
        EXPECT_EQ(items.at("IMG_1.JPG")->creationOffsetSeconds, 3 * 3600);
        EXPECT_EQ(items.at("IMG_1.JPG")->creationDate, taken);
        EXPECT_FALSE(items.at("IMG_2.JPG")->creationOffsetSeconds);
        EXPECT_EQ(items.at("IMG_2.JPG")->creationDate, QDateTime::fromSecsSinceEpoch(wall));
    }

    // What was read is kept and not read again while the picture is unchanged ...
    const QString state = ShotwellStore::stateFolderOf(db) + "/state.sqlite";
    EXPECT_EQ(sqlRows(state, "SELECT count(*) FROM file_facts"), "3\n");
    sqlRows(state, "UPDATE file_facts SET offset = 7200 WHERE path LIKE '%IMG_1.JPG'");
    {
        ShotwellStore store(db);
        EXPECT_EQ(byFirstName(store).at("IMG_1.JPG")->creationOffsetSeconds, 7200);
    }
    // ... and read again once it changed.
    {
        QFile f(a + "/IMG_1.JPG");
        ASSERT_TRUE(f.open(QIODevice::Append));
        f.write("\0", 1);
    }
    {
        ShotwellStore store(db);
        const AssetPtr first = byFirstName(store).at("IMG_1.JPG");
        EXPECT_EQ(first->creationOffsetSeconds, 3 * 3600);
        EXPECT_EQ(first->resources[0]->fileSize, jpegSize + 1);
    }
    EXPECT_EQ(sqlRows(state, "SELECT size, offset FROM file_facts WHERE path LIKE '%IMG_1.JPG'"),
              QString("%1|10800\n").arg(jpegSize + 1));
}
