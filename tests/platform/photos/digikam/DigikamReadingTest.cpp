// What a scan reads of a digiKam collection written here with SQL (no digiKam needed): pairs by
// folder and case-folded name, their files' sizes as the files are now, and capture times.
#include "platform/photos/digikam/DigikamSnapshot.h"
#include "support/Digikam.h"
#include "support/TestSupport.h"

#include "../shared/SqlRows.h"

#include <QDir>
#include <QFile>
#include <QTemporaryDir>
#include <QTimeZone>
#include <gtest/gtest.h>

using namespace photos;

TEST(DigikamReading, PairsByFolderAndNameWithTheFilesSizesAndTheirTimes) {
    QTemporaryDir tmp;
    const QString photos = tmp.path() + "/photos";
    testsupport::makeEmptyDigikamLibrary(photos);
    const QString database = photos + "/digikam4.db";
    struct Image {
        int album;
        QString name;
        QByteArray content; // empty: a link to trip/img_1.cr3
        const char* created;
    };
    const Image images[] = {
        {2, "IMG_1.JPG", "picture", "2019-10-26T16:07:24.540"},
        {2, "img_1.cr3", "the raw file", "2019-10-26T10:00:00"},
        {1, "IMG_1.DNG", "raw", "2019-10-26T16:07"}, // same name, other folder: alone
        {2, "ÉTÉ.JPG", "summer", nullptr},           // no time of its own: its RAW's
        {2, "été.NEF", "summer raw", "2019-07-01T12:00:00"},
        {1, "LINK.CR2", {}, "2019-10-27T07:59:00"}, // before its picture, still after it
        {1, "LINK.JPG", "four", "2019-10-27T08:00:00"},
        {1, "TWO.JPG", "two", nullptr},
        {1, "two.jpeg", "second two", nullptr}, // the RAW went with the first
        {1, "Two.ARW", "two raw", nullptr},
    };
    QString sql =
        QString("INSERT INTO Albums VALUES(2, 1, '/trip', NULL, NULL, NULL, NULL, NULL);");
    QDir().mkpath(photos + "/trip");
    int id = 0;
    for (const Image& image : images) {
        ++id;
        const QString path = photos + (image.album == 2 ? "/trip/" : "/") + image.name;
        if (image.content.isEmpty())
            ASSERT_TRUE(QFile::link(photos + "/trip/img_1.cr3", path));
        else
            testsupport::writeFile(path, image.content);
        sql += QString("INSERT INTO Images (id, album, name, status, category) VALUES (%1, %2, "
                       "'%3', 1, 1); INSERT INTO ImageInformation (imageid, creationDate) VALUES "
                       "(%1, %4);")
                   .arg(id)
                   .arg(image.album)
                   .arg(image.name)
                   .arg(image.created ? QString("'%1'").arg(image.created) : "NULL");
    }
    sqlRows(database, sql);

    DigikamStore store(database);
    QStringList items;
    for (const AssetPtr& asset : store.assets(MediaType::Image, {})) {
        QStringList files;
        for (const ResourcePtr& r : asset->resources)
            files << r->storedPath.mid(photos.size() + 1) + " " +
                         (r->fileSize ? QString::number(*r->fileSize) : "-");
        items << files.join(", ") + " @ " +
                     (asset->creationDate
                          ? asset->creationDate->toTimeZone(QTimeZone::systemTimeZone())
                                .toString("yyyy-MM-dd HH:mm:ss.zzz")
                          : "-");
    }
    items.sort();
    // A lone file's size is asked for when needed, not by the scan.
    EXPECT_EQ(items, QStringList({
                         "IMG_1.DNG - @ 2019-10-26 16:07:00.000",
                         "LINK.JPG 4, LINK.CR2 - @ 2019-10-27 08:00:00.000",
                         "TWO.JPG 3, Two.ARW 7 @ -",
                         "trip/IMG_1.JPG 7, trip/img_1.cr3 12 @ 2019-10-26 16:07:24.540",
                         "trip/ÉTÉ.JPG 6, trip/été.NEF 10 @ 2019-07-01 12:00:00.000",
                         "two.jpeg - @ -",
                     }));
}
