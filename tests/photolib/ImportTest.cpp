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

} // namespace

using tooltest::named;

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

    const std::vector<Item> all = items();
    ASSERT_EQ(all.size(), 5u);
    EXPECT_EQ(named(all, "IMG_0001.JPG").summary(),
              QStringList({"1:IMG_0001.JPG:public.jpeg", "4:img_0001.cr3:com.canon.cr3-raw-image",
                           "7:IMG_0001.XMP:com.adobe.xmp"}));
    EXPECT_EQ(named(all, "IMG_0002.HEIC").summary(), QStringList({"1:IMG_0002.HEIC:public.heic"}));
    EXPECT_EQ(named(all, "IMG_0003.ARW").summary(),
              QStringList({"1:IMG_0003.ARW:com.sony.arw-raw-image"}));
    EXPECT_EQ(named(all, "IMG_0001.DNG").summary(),
              QStringList({"1:IMG_0001.DNG:com.adobe.raw-image"}));
    EXPECT_EQ(named(all, "IMG_0001.JPG").sizeOf("com.canon.cr3-raw-image"), 5000);

    EXPECT_EQ(items({"--pairs"}).size(), 1u);
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
    const std::vector<Item> all = items();
    EXPECT_EQ(named(all, "withoffset.jpg").date.toString(), "2023-07-01T08:30:00-04:00");
    EXPECT_EQ(named(all, "local.jpg").date.toString(), "2023-01-15T12:00:00-05:00");
    EXPECT_EQ(named(all, "summer.jpg").date.toString(), "2023-07-15T12:00:00-04:00");
    EXPECT_EQ(named(all, "nodate.jpg").date.toString(), "2020-02-01T21:02:02-05:00");
    const QJsonValue where = named(all, "gps.jpg").location;
    EXPECT_NEAR(where["latitude"].toDouble(), -33.8568, 1e-4);
    EXPECT_NEAR(where["longitude"].toDouble(), 151.2153, 1e-4);
    EXPECT_TRUE(named(all, "local.jpg").location.isNull());
    EXPECT_EQ(all.front().resources.front().name, "nodate.jpg"); // by capture instant
    // A changed file under a known name is a different picture.
    fixtures::makeJpegFile(cam + "/local.jpg", {48, 48}, exifAt("2023:01:15 12:00:00"));
    EXPECT_EQ(photolib({"import", cam}).out, "Imported 1 item, 4 already in the library.\n");
}

TEST_F(PhotolibTest, CommandsChangeFlagsAlbumsAndTrash) {
    const QString cam = tmp.path() + "/cam";
    fixtures::makeJpegFile(cam + "/A.JPG", {32, 32}, exifAt("2022:01:01 00:00:00"));
    fixtures::makeJpegFile(cam + "/B.JPG", {32, 32}, exifAt("2022:01:02 00:00:00"));
    ASSERT_EQ(photolib({"import", cam}).status, 0);
    std::vector<Item> all = items();
    const QString a = all[0].id;
    const QString b = all[1].id;

    EXPECT_EQ(photolib({"favorite", a}).status, 0);
    EXPECT_EQ(photolib({"hide", b}).status, 0);
    all = items();
    EXPECT_TRUE(all[0].favorite);
    EXPECT_TRUE(all[1].hidden);
    EXPECT_EQ(items({"--favorites"}).size(), 1u);
    EXPECT_EQ(photolib({"favorite", "--off", a}).status, 0);
    EXPECT_EQ(items({"--favorites"}).size(), 0u);

    EXPECT_EQ(photolib({"album", "create", "Best"}).status, 0);
    EXPECT_EQ(photolib({"album", "add", "Best", b, a}).status, 0);
    const std::vector<Item> best = items({"--album", "Best"});
    ASSERT_EQ(best.size(), 2u);
    EXPECT_EQ(best[0].id, b); // album order
    EXPECT_EQ(photolib({"album", "remove", "Best", b}).status, 0);
    EXPECT_EQ(items({"--album", "Best"}).size(), 1u);
    Result notMember = photolib({"album", "remove", "Best", b});
    EXPECT_EQ(notMember.status, 1);
    EXPECT_EQ(notMember.err, "photolib: Item “" + b + "” is not in the album “Best”.\n");

    // Mistakes change nothing and say why on one line.
    Result missing = photolib({"album", "add", "Nope", a});
    EXPECT_EQ(missing.status, 1);
    EXPECT_EQ(missing.err, "photolib: No album titled “Nope”.\n");
    Result wrongId = photolib({"favorite", a, "bogus/L0/001"});
    EXPECT_EQ(wrongId.status, 1);
    EXPECT_FALSE(items()[0].favorite); // a was not changed either
    for (const QStringList& args : {QStringList{}, QStringList{"--library", library}}) {
        const Result usage = photolib(args); // the usage on standard error
        EXPECT_EQ(usage.status, 2);
        EXPECT_EQ(usage.out, "");
        EXPECT_TRUE(usage.err.startsWith("usage: photolib")) << usage.err.toStdString();
    }
    EXPECT_EQ(photolib({"import", tmp.path() + "/absent"}).status, 1);

    // Trash: list, restore, empty. Deleting is the application's business; trash as it would.
    {
        auto lib = photos::PhotoLibrary::open(library);
        lib->performChangesAndWait([&](photos::ChangeRequests& c) {
            c.deleteAssets(lib->fetchAssetsWithLocalIdentifiers({a}));
        });
    }
    EXPECT_EQ(items().size(), 1u);
    Result notTrashed = photolib({"trash", "restore", a, b});
    EXPECT_EQ(notTrashed.status, 1);
    EXPECT_EQ(notTrashed.err, "photolib: No item “" + b + "” in Recently Deleted.\n");
    EXPECT_TRUE(photolib({"trash", "list"}).out.contains(a)); // a was not restored either
    EXPECT_EQ(photolib({"trash", "restore", a}).status, 0);
    EXPECT_EQ(items().size(), 2u);
    // Trashed 31 days ago: expired, yet only a change purges it, never a command that reads.
    {
        auto lib = photos::PhotoLibrary::open(library);
        lib->setClock([] { return QDateTime::currentDateTimeUtc().addDays(-31); });
        lib->performChangesAndWait([&](photos::ChangeRequests& c) {
            c.deleteAssets(lib->fetchAssetsWithLocalIdentifiers({a}));
        });
    }
    const QStringList readers[] = {
        {"list"},
        {"show", b},
        {"albums"},
        {"check"},
        {"export", "--album", "Best", "--format", "jpeg", tmp.path() + "/out"},
    };
    for (const QStringList& args : readers) {
        EXPECT_EQ(photolib(args).status, 0) << args.join(' ').toStdString();
        EXPECT_TRUE(photolib({"trash", "list"}).out.contains(a)) << args.join(' ').toStdString();
    }
    ASSERT_EQ(photolib({"favorite", b}).status, 0);
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
    const std::vector<Item> all = items();
    EXPECT_EQ(named(all, "A%FE.JPG").summary(),
              QStringList({"1:A%FE.JPG:public.jpeg", "4:A%FE.CR3:com.canon.cr3-raw-image"}));
    EXPECT_EQ(named(all, "A%FF.JPG").summary(), QStringList({"1:A%FF.JPG:public.jpeg"}));
    EXPECT_FALSE(named(all, "café.jpg").id.isEmpty());
    EXPECT_EQ(photolib({"check"}).status, 0);
    // Again: nothing new, but the album asked for takes every item.
    EXPECT_EQ(photolib({"import", "--album", "Holiday", tmp.path() + "/in"}).out,
              "Imported 0 items, 3 already in the library.\n");
    for (const Item& item : items())
        EXPECT_EQ(item.albums, QStringList{"Holiday"});
}
