#include "PhotolibTestSupport.h"

#include "fixtures/ImageFixtures.h"
#include "platform/photos/PhotoLibrary.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QSet>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

imaging::ExifFields exifAt(const char* date, std::optional<QString> offset = std::nullopt) {
    imaging::ExifFields f;
    f.dateTimeOriginal = QString::fromLatin1(date);
    f.offsetTimeOriginal = offset;
    return f;
}

QJsonObject byFirstName(const QJsonArray& items, const QString& name) {
    for (const auto& v : items)
        if (v.toObject()["resources"].toArray().at(0).toObject()["originalFilename"].toString() ==
            name)
            return v.toObject();
    return {};
}

QStringList resourceSummary(const QJsonObject& item) {
    QStringList out;
    for (const auto& r : item["resources"].toArray())
        out << QString("%1:%2:%3")
                   .arg(r.toObject()["type"].toInt())
                   .arg(r.toObject()["originalFilename"].toString(),
                        r.toObject()["uniformTypeIdentifier"].toString());
    return out;
}

} // namespace

TEST_F(PhotolibTest, PairsByStemWithinAFolderAndTakesSidecarsAlong) {
    const QString cam = tmp.path() + "/DCIM";
    fixtures::makeJpegFile(cam + "/IMG_0001.JPG", {64, 48},
                           exifAt("2024:05:01 10:00:00", "+02:00"));
    testsupport::writeFile(cam + "/img_0001.cr3", QByteArray(5000, 'r')); // stems match in any case
    testsupport::writeFile(cam + "/IMG_0001.XMP", "<x:xmpmeta/>");
    fixtures::makeHeicFile(cam + "/IMG_0002.HEIC", {64, 48}, exifAt("2024:05:02 10:00:00"));
    testsupport::writeFile(cam + "/IMG_0003.ARW", QByteArray(3000, 'a'));
    fixtures::makeJpegFile(cam + "/IMG_0004.jpeg", {64, 48});
    testsupport::writeFile(cam + "/IMG_0005.aae", "orphan sidecar");
    testsupport::writeFile(cam + "/notes.txt", "not a picture");
    testsupport::writeFile(cam + "/.hidden.jpg", "dot file");
    // Same stem in another folder: a separate item, never paired across folders.
    testsupport::writeFile(cam + "/101/IMG_0001.DNG", QByteArray(4000, 'd'));

    Result r = photolib({"import", cam});
    ASSERT_EQ(r.status, 0) << r.err.toStdString();
    EXPECT_EQ(r.out, "Imported 5 items, 2 files skipped.\n");

    const QJsonArray items = listJson();
    ASSERT_EQ(items.size(), 5);
    EXPECT_EQ(resourceSummary(byFirstName(items, "IMG_0001.JPG")),
              QStringList({"1:IMG_0001.JPG:public.jpeg", "4:img_0001.cr3:com.canon.cr3-raw-image",
                           "7:IMG_0001.XMP:com.adobe.xmp"}));
    EXPECT_EQ(resourceSummary(byFirstName(items, "IMG_0002.HEIC")),
              QStringList({"1:IMG_0002.HEIC:public.heic"}));
    EXPECT_EQ(resourceSummary(byFirstName(items, "IMG_0003.ARW")),
              QStringList({"1:IMG_0003.ARW:com.sony.arw-raw-image"}));
    EXPECT_EQ(resourceSummary(byFirstName(items, "IMG_0001.DNG")),
              QStringList({"1:IMG_0001.DNG:com.adobe.raw-image"}));
    EXPECT_EQ(byFirstName(items, "IMG_0001.JPG")["resources"]
                  .toArray()
                  .at(1)
                  .toObject()["fileSize"]
                  .toInt(),
              5000);

    EXPECT_EQ(listJson({"--pairs"}).size(), 1);
    EXPECT_EQ(photolib({"check"}).status, 0);
}

TEST_F(PhotolibTest, CreationDateFromExifOffsetElseLocalTimeElseFileTime) {
    const QString cam = tmp.path() + "/cam";
    fixtures::makeJpegFile(cam + "/withoffset.jpg", {32, 32},
                           exifAt("2023:07:01 08:30:00", "-04:00"));
    fixtures::makeJpegFile(cam + "/local.jpg", {32, 32}, exifAt("2023:01:15 12:00:00"));
    fixtures::makeJpegFile(cam + "/summer.jpg", {32, 32}, exifAt("2023:07:15 12:00:00"));
    fixtures::makeJpegFile(cam + "/nodate.jpg", {32, 32});
    imaging::ExifFields gps = exifAt("2023:03:03 03:03:03", QString("+00:00"));
    gps.latitude = -33.8568;
    gps.longitude = 151.2153;
    fixtures::makeJpegFile(cam + "/gps.jpg", {32, 32}, gps);
    QFile f(cam + "/nodate.jpg");
    ASSERT_TRUE(f.open(QIODevice::ReadWrite));
    ASSERT_TRUE(f.setFileTime(QDateTime(QDate(2020, 2, 2), QTime(2, 2, 2), Qt::UTC),
                              QFileDevice::FileModificationTime));
    f.close();

    env.insert("TZ", "America/New_York");
    ASSERT_EQ(photolib({"import", cam}).status, 0);
    const QJsonArray items = listJson();
    EXPECT_EQ(byFirstName(items, "withoffset.jpg")["creationDate"].toString(),
              "2023-07-01T08:30:00-04:00");
    EXPECT_EQ(byFirstName(items, "local.jpg")["creationDate"].toString(),
              "2023-01-15T12:00:00-05:00");
    EXPECT_EQ(byFirstName(items, "summer.jpg")["creationDate"].toString(),
              "2023-07-15T12:00:00-04:00");
    EXPECT_EQ(byFirstName(items, "nodate.jpg")["creationDate"].toString(),
              "2020-02-01T21:02:02-05:00");
    const QJsonObject where = byFirstName(items, "gps.jpg")["location"].toObject();
    EXPECT_NEAR(where["latitude"].toDouble(), -33.8568, 1e-4);
    EXPECT_NEAR(where["longitude"].toDouble(), 151.2153, 1e-4);
    EXPECT_TRUE(byFirstName(items, "local.jpg")["location"].isNull());
    // List order is by capture instant.
    EXPECT_EQ(items.at(0).toObject()["resources"].toArray().at(0).toObject()["originalFilename"],
              "nodate.jpg");
}

TEST_F(PhotolibTest, ReimportAddsNothingButAlbumMembership) {
    const QString cam = tmp.path() + "/cam";
    for (int i = 0; i < 3; ++i)
        fixtures::makeJpegFile(
            cam + QString("/P%1.JPG").arg(i), {32, 32},
            exifAt(QString("2022:01:0%1 00:00:00").arg(i + 1).toLatin1().constData()));
    ASSERT_EQ(photolib({"import", cam}).status, 0);
    Result again = photolib({"import", "--album", "Holiday", cam});
    ASSERT_EQ(again.status, 0) << again.err.toStdString();
    EXPECT_EQ(again.out, "Imported 0 items, 3 already in the library.\n");
    const QJsonArray items = listJson();
    ASSERT_EQ(items.size(), 3);
    for (const auto& v : items)
        EXPECT_EQ(v.toObject()["albums"].toArray(), QJsonArray({"Holiday"}));
    EXPECT_EQ(listJson({"--album", "Holiday"}).size(), 3);
    // A changed file with the same name is a different picture.
    fixtures::makeJpegFile(cam + "/P0.JPG", {48, 48}, exifAt("2022:01:01 00:00:00"));
    EXPECT_EQ(photolib({"import", cam}).out, "Imported 1 item, 2 already in the library.\n");
}

TEST_F(PhotolibTest, CommandsChangeFlagsAlbumsAndTrash) {
    const QString cam = tmp.path() + "/cam";
    fixtures::makeJpegFile(cam + "/A.JPG", {32, 32}, exifAt("2022:01:01 00:00:00"));
    fixtures::makeJpegFile(cam + "/B.JPG", {32, 32}, exifAt("2022:01:02 00:00:00"));
    ASSERT_EQ(photolib({"import", cam}).status, 0);
    QJsonArray items = listJson();
    const QString a = items[0].toObject()["localIdentifier"].toString();
    const QString b = items[1].toObject()["localIdentifier"].toString();

    EXPECT_EQ(photolib({"favorite", a}).status, 0);
    EXPECT_EQ(photolib({"hide", b}).status, 0);
    items = listJson();
    EXPECT_TRUE(items[0].toObject()["isFavorite"].toBool());
    EXPECT_TRUE(items[1].toObject()["isHidden"].toBool());
    EXPECT_EQ(listJson({"--favorites"}).size(), 1);
    EXPECT_EQ(photolib({"favorite", "--off", a}).status, 0);
    EXPECT_EQ(listJson({"--favorites"}).size(), 0);

    EXPECT_EQ(photolib({"album", "create", "Best"}).status, 0);
    EXPECT_EQ(photolib({"album", "add", "Best", b, a}).status, 0);
    QJsonArray best = listJson({"--album", "Best"});
    ASSERT_EQ(best.size(), 2);
    EXPECT_EQ(best[0].toObject()["localIdentifier"].toString(), b); // album order
    EXPECT_EQ(photolib({"album", "remove", "Best", b}).status, 0);
    EXPECT_EQ(listJson({"--album", "Best"}).size(), 1);
    Result notMember = photolib({"album", "remove", "Best", b});
    EXPECT_EQ(notMember.status, 1);
    EXPECT_EQ(notMember.err, "photolib: Item “" + b + "” is not in the album “Best”.\n");
    EXPECT_TRUE(photolib({"albums"}).out.contains("Best"));

    // Mistakes change nothing and say why on one line.
    Result missing = photolib({"album", "add", "Nope", a});
    EXPECT_EQ(missing.status, 1);
    EXPECT_EQ(missing.err, "photolib: No album titled “Nope”.\n");
    Result wrongId = photolib({"favorite", a, "bogus/L0/001"});
    EXPECT_EQ(wrongId.status, 1);
    EXPECT_FALSE(listJson()[0].toObject()["isFavorite"].toBool()); // a was not changed either
    for (const QStringList& args : {QStringList{}, QStringList{"--library", library}}) {
        const Result usage = photolib(args); // the usage on standard error
        EXPECT_EQ(usage.status, 2);
        EXPECT_EQ(usage.out, "");
        EXPECT_TRUE(usage.err.startsWith("usage: photolib")) << usage.err.toStdString();
    }
    EXPECT_EQ(photolib({"frobnicate"}).status, 2);
    EXPECT_EQ(photolib({"import", tmp.path() + "/absent"}).status, 1);
    EXPECT_EQ(photolib({"list", "--bogus"}).status, 2);

    // Trash: list, restore, empty. Deleting is the application's business; trash as it would.
    {
        auto lib = photos::PhotoLibrary::open(library);
        lib->performChangesAndWait([&](photos::ChangeRequests& c) {
            c.deleteAssets(lib->fetchAssetsWithLocalIdentifiers({a}));
        });
    }
    EXPECT_EQ(listJson().size(), 1);
    Result notTrashed = photolib({"trash", "restore", a, b});
    EXPECT_EQ(notTrashed.status, 1);
    EXPECT_EQ(notTrashed.err, "photolib: No item “" + b + "” in Recently Deleted.\n");
    EXPECT_TRUE(photolib({"trash", "list"}).out.contains(a)); // a was not restored either
    EXPECT_EQ(photolib({"trash", "restore", a}).status, 0);
    EXPECT_EQ(listJson().size(), 2);
    {
        auto lib = photos::PhotoLibrary::open(library);
        lib->performChangesAndWait([&](photos::ChangeRequests& c) {
            c.deleteAssets(lib->fetchAssetsWithLocalIdentifiers({a}));
        });
    }
    EXPECT_EQ(photolib({"trash", "empty"}).out, "Removed 1 item for good.\n");
    EXPECT_EQ(photolib({"trash", "list"}).out, "");
    EXPECT_EQ(photolib({"check"}).status, 0);
}

TEST_F(PhotolibTest, NamesThatAreNotUtf8AreImportedAndKeptApart) {
    ASSERT_TRUE(QDir().mkpath(tmp.path() + "/in"));
    const QByteArray cam = QFile::encodeName(tmp.path()) + "/in/cam\xe9"; // a folder too
    ASSERT_EQ(::mkdir(cam.constData(), 0755), 0);
    auto put = [&](const QByteArray& name, const QByteArray& bytes) {
        const int fd = ::open((cam + "/" + name).constData(), O_WRONLY | O_CREAT | O_EXCL, 0644);
        ASSERT_GE(fd, 0);
        ASSERT_EQ(::write(fd, bytes.constData(), size_t(bytes.size())), bytes.size());
        ::close(fd);
    };
    put("A\xff.JPG", fixtures::makeJpeg({32, 32}));
    put("A\xfe.JPG", fixtures::makeJpeg({48, 32}));
    put("A\xfe.CR3", QByteArray(3000, 'r'));
    put("caf\xc3\xa9.jpg", fixtures::makeJpeg({16, 16})); // valid UTF-8 stays as it is
    Result r = photolib({"import", tmp.path() + "/in"});
    ASSERT_EQ(r.status, 0) << r.err.toStdString();
    EXPECT_EQ(r.out, "Imported 3 items.\n");
    const QJsonArray items = listJson();
    EXPECT_EQ(resourceSummary(byFirstName(items, "A%FE.JPG")),
              QStringList({"1:A%FE.JPG:public.jpeg", "4:A%FE.CR3:com.canon.cr3-raw-image"}));
    EXPECT_EQ(resourceSummary(byFirstName(items, "A%FF.JPG")),
              QStringList({"1:A%FF.JPG:public.jpeg"}));
    EXPECT_FALSE(byFirstName(items, "café.jpg").isEmpty());
    EXPECT_EQ(photolib({"check"}).status, 0);
    EXPECT_EQ(photolib({"import", tmp.path() + "/in"}).out,
              "Imported 0 items, 3 already in the library.\n");
}
