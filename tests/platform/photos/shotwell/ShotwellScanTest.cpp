// Reading a Shotwell library made from the empty library's dump, no Shotwell needed: the pairs'
// files and sizes across folders, and what is read once of each pair's picture, kept and read
// again when the picture changes.
#include "platform/photos/shotwell/ShotwellSnapshot.h"
#include "support/Shotwell.h"
#include "support/TestSupport.h"

#include "../shared/SqlRows.h"

#include <QDir>
#include <QFile>
#include <QSet>
#include <QTemporaryDir>
#include <algorithm>
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
    // The second folder's name is not ASCII: its files' names start after it all the same.
    const QString a = tmp.path() + "/photos/a", b = tmp.path() + QString::fromUtf8("/photos/b été");
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

// A library large enough to be read in two halves: each item has its own files, sizes, kept
// facts and tags, whichever half made it.
TEST(ShotwellScan, ManyPhotosKeepEachPairsOwnFilesSizesFactsAndTags) {
    QTemporaryDir tmp;
    const QString db = testsupport::makeEmptyShotwellLibrary(tmp.path() + "/shotwell");
    const QString folders[] = {tmp.path() + "/photos/a", tmp.path() + "/photos/b"};
    for (const QString& folder : folders)
        QDir().mkpath(folder);
    // Photo n: a RAW with its JPEG (two in three; the JPEG in the other folder every other
    // time) or a lone JPEG; the files' sizes tell them apart.
    constexpr int count = 2100;
    const auto isPair = [](int n) { return n % 3 != 0; };
    const auto folderOf = [&](int n, bool jpeg) { return folders[(n + (jpeg ? n / 2 : 0)) % 2]; };
    const auto sized = [](const QString& path, qint64 size) {
        QFile f(path);
        return f.open(QIODevice::WriteOnly) && f.resize(size);
    };
    QString sql = "BEGIN;";
    for (int n = 1; n <= count; ++n) {
        const QString own = QString("%1/IMG_%2.%3")
                                .arg(folderOf(n, !isPair(n)))
                                .arg(n)
                                .arg(isPair(n) ? "CR2" : "JPG");
        ASSERT_TRUE(sized(own, isPair(n) ? 5000 + n : n));
        if (isPair(n)) {
            const QString jpeg = QString("%1/IMG_%2.JPG").arg(folderOf(n, true)).arg(n);
            ASSERT_TRUE(sized(jpeg, n));
            sql += QString("INSERT INTO BackingPhotoTable (id, filepath) VALUES (%1, '%2');")
                       .arg(n)
                       .arg(jpeg);
        }
        sql += QString("INSERT INTO PhotoTable (id, filename, exposure_time, develop_camera_id, "
                       "flags) VALUES (%1, '%2', %3, %4, %5);")
                   .arg(n)
                   .arg(own)
                   .arg(1600000000 + n)
                   .arg(isPair(n) ? n : -1)
                   .arg(n == 9 ? 4 : 0); // 9 is in Shotwell's trash
    }
    // Every seventh photo in /Trips/Stop, once however often listed, hex digits of any case
    // and spaces around the keys; /Trips lists only its child's photos and is a heading,
    // /Misc lists one of its own and is an album. 9 is trashed, 2101 missing: in no album.
    QStringList stop, trips;
    QList<qint64> expectedStop;
    for (int n = 7; n <= count; n += 7) {
        stop << (n % 2 ? QString(" thumb%1 ").arg(n, 16, 16, QChar('0'))
                       : QString("thumb%1").arg(QString::number(n, 16).toUpper(), 16, QChar('0')));
        trips << QString("thumb%1").arg(n, 16, 16, QChar('0'));
        expectedStop << n;
    }
    stop << "thumb0000000000000007"
         << "video-0000000000000003";
    const QStringList misc{"thumb0000000000000009", "thumb0000000000000835",
                           "thumb000000000000081F", "thumb0000000000000001"};
    sql +=
        QString("INSERT INTO TagTable (name, photo_id_list) VALUES ('/Trips', '%1'), "
                "('/Trips/Stop', '%2'), ('/Misc', '%3'), ('/Misc/Sub', '%4');COMMIT;")
            .arg(trips.join(','), stop.join(',') + ",,", misc.join(','), "thumb0000000000000002");
    sqlRows(db, sql);

    const auto check = [&](bool withFacts) {
        ShotwellStore store(db);
        std::vector<AssetPtr> assets = store.assets(MediaType::Image, {});
        ASSERT_EQ(assets.size(), size_t(count - 1));
        std::sort(assets.begin(), assets.end(),
                  [](const AssetPtr& x, const AssetPtr& y) { return x->catalogId < y->catalogId; });
        QSet<QString> identifiers;
        for (const AssetPtr& asset : assets) {
            const int n = int(asset->catalogId);
            SCOPED_TRACE(n);
            identifiers.insert(asset->localIdentifier);
            ASSERT_EQ(asset->resources.size(), isPair(n) ? 2u : 1u);
            const ResourcePtr& first = asset->resources[0];
            EXPECT_EQ(first->assetLocalIdentifier, asset->localIdentifier);
            if (!isPair(n)) {
                EXPECT_EQ(first->storedPath,
                          QString("%1/IMG_%2.JPG").arg(folderOf(n, true)).arg(n));
                EXPECT_FALSE(first->fileSize);
                EXPECT_FALSE(asset->location);
                EXPECT_EQ(asset->creationDate, QDateTime::fromSecsSinceEpoch(1600000000 + n));
                continue;
            }
            const ResourcePtr& raw = asset->resources[1];
            EXPECT_EQ(first->originalFilename, QString("IMG_%1.JPG").arg(n));
            EXPECT_EQ(first->storedPath, folderOf(n, true) + "/" + first->originalFilename);
            EXPECT_EQ(first->fileSize, n);
            EXPECT_EQ(first->type, ResourceType::Photo);
            EXPECT_EQ(raw->originalFilename, QString("IMG_%1.CR2").arg(n));
            EXPECT_EQ(raw->storedPath, folderOf(n, false) + "/" + raw->originalFilename);
            EXPECT_EQ(raw->fileSize, 5000 + n);
            EXPECT_EQ(raw->type, ResourceType::AlternatePhoto);
            if (withFacts) {
                ASSERT_TRUE(asset->location);
                EXPECT_EQ(asset->location->latitude, n / 100.0);
                EXPECT_EQ(asset->creationOffsetSeconds, n % 5 * 3600);
            } else {
                EXPECT_FALSE(asset->location);
                EXPECT_FALSE(asset->creationOffsetSeconds);
            }
        }
        EXPECT_EQ(identifiers.size(), qsizetype(count - 1));
        std::map<QString, QList<qint64>> albums;
        for (const CollectionPtr& album :
             store.collections(CollectionType::Album, CollectionSubtype::Any, {})) {
            QList<qint64>& members = albums[*album->localizedTitle];
            for (const AssetPtr& member : store.assetsInCollection(*album, {}))
                members << member->catalogId;
            std::sort(members.begin(), members.end());
        }
        EXPECT_EQ(albums,
                  (std::map<QString, QList<qint64>>{
                      {"/Misc", {1, 2079}}, {"/Misc/Sub", {2}}, {"/Trips/Stop", expectedStop}}));
    };
    check(false);
    // Each pair's picture was read once and what it gave kept; what is kept then places it.
    const QString state = ShotwellStore::stateFolderOf(db) + "/state.sqlite";
    EXPECT_EQ(sqlRows(state, "SELECT count(*) FROM file_facts"),
              QString("%1\n").arg(count - count / 3));
    sqlRows(state, "UPDATE file_facts SET latitude = CAST(substr(path, instr(path, 'IMG_') + 4) "
                   "AS INTEGER) / 100.0, longitude = 0, offset = CAST(substr(path, instr(path, "
                   "'IMG_') + 4) AS INTEGER) % 5 * 3600");
    check(true);
}
