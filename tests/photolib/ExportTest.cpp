#include "PhotolibTestSupport.h"

#include "fixtures/DngFixture.h"
#include "fixtures/ImageFixtures.h"
#include "platform/imaging/HeifCodec.h"
#include "platform/imaging/JpegCodec.h"
#include "platform/photos/PhotoLibrary.h"

#include <QCryptographicHash>
#include <QDir>
#include <QFileInfo>
#include <QMap>
#include <QStandardPaths>

using photos::ResourceType;

namespace {

struct Resource {
    ResourceType type;
    QString name;
    QString uti;
    QByteArray data;
};

QDateTime utc(const char* iso) {
    return QDateTime::fromString(QString::fromLatin1(iso), Qt::ISODate).toUTC();
}

QSet<QString> filesIn(const QString& dir) {
    const QStringList names = QDir(dir).entryList(QDir::Files | QDir::Hidden | QDir::System);
    return QSet<QString>(names.begin(), names.end());
}

// exiftool's numeric reading of each file, by file name.
QMap<QString, QJsonObject> exifOf(const QString& dir) {
    QProcess p;
    QStringList args = {"-j", "-n"};
    for (const QString& name : QDir(dir).entryList(QDir::Files))
        args << dir + "/" + name;
    p.start("exiftool", args);
    EXPECT_TRUE(p.waitForFinished(60000));
    QMap<QString, QJsonObject> out;
    for (const auto& v : QJsonDocument::fromJson(p.readAllStandardOutput()).array())
        out.insert(QFileInfo(v.toObject()["SourceFile"].toString()).fileName(), v.toObject());
    return out;
}

QByteArray sha(const QString& path) {
    return QCryptographicHash::hash(testsupport::readFile(path), QCryptographicHash::Sha1);
}

} // namespace

// A library made through the service itself, so that every shape of item can be had:
// pairs, HEIC, RAW-only (stored turned), an edited item, an undated one, a broken one.
class ExportTest : public PhotolibTest {
protected:
    void SetUp() override {
        PhotolibTest::SetUp();
        if (QStandardPaths::findExecutable("exiftool").isEmpty())
            GTEST_SKIP() << "exiftool is not installed";
        env.insert("TZ", "America/New_York");
    }

    QString create(const std::vector<Resource>& resources, std::optional<QDateTime> date,
                   std::optional<photos::Location> location = std::nullopt,
                   std::optional<int> offsetSeconds = std::nullopt) {
        auto lib = photos::PhotoLibrary::open(library);
        QString id;
        lib->performChangesAndWait([&](photos::ChangeRequests& c) {
            auto& req = c.creationRequestForAsset();
            for (const Resource& r : resources)
                req.addResource(r.type, r.data, {r.name, r.uti});
            req.creationDate = date;
            req.creationOffsetSeconds = offsetSeconds;
            req.location = location;
            id = req.placeholderForCreatedAsset().localIdentifier;
        });
        return id;
    }

    void album(const QString& title, const QStringList& ids) {
        ASSERT_EQ(photolib({"album", "create", title}).status, 0);
        if (!ids.isEmpty()) {
            ASSERT_EQ(photolib(QStringList{"album", "add", title} + ids).status, 0);
        }
    }

    // The usual test album: a pair and a HEIC taken in zones of their own, a turned RAW, a second
    // "IMG_0001", an undated JPEG and an edited JPEG, in that order.
    QStringList makeTripLibrary() {
        imaging::ExifFields camera;
        camera.dateTimeOriginal = "2024:07:14 10:22:33";
        camera.offsetTimeOriginal = "+02:00";
        QStringList ids;
        ids << create({{ResourceType::Photo, "IMG_0001.JPG", "public.jpeg",
                        fixtures::makeJpeg({640, 480}, camera)},
                       {ResourceType::AlternatePhoto, "IMG_0001.DNG", "com.adobe.raw-image",
                        fixtures::makeDng({640, 480}, "2024:07:14 10:22:33", "+02:00")}},
                      utc("2024-07-14T08:22:33Z"), photos::Location{48.8566, 2.3522}, 2 * 3600);
        ids << create(
            {{ResourceType::Photo, "IMG_0002.HEIC", "public.heic", fixtures::makeHeic({320, 240})}},
            utc("2024-01-05T05:32:49Z"), photos::Location{-33.8688, 151.2093}, 8 * 3600);
        // Stored turned (orientation 6), upright 96 × 128; no JPEG, so the RAW is rendered.
        ids << create({{ResourceType::Photo, "IMG_0003.DNG", "com.adobe.raw-image",
                        fixtures::makeDng({96, 128}, "2024:03:01 12:00:00", "+01:00", 6, 0)}},
                      utc("2024-03-01T11:00:00Z"), photos::Location{40.7128, -74.0060});
        ids << create(
            {{ResourceType::Photo, "IMG_0001.JPG", "public.jpeg", fixtures::makeJpeg({160, 120})}},
            utc("2024-07-20T12:00:00Z"));
        ids << create(
            {{ResourceType::Photo, "Undated.jpg", "public.jpeg", fixtures::makeJpeg({48, 32})}},
            std::nullopt);
        ids << create(
            {{ResourceType::Photo, "IMG_0006.JPG", "public.jpeg", fixtures::makeJpeg({128, 96})},
             {ResourceType::AdjustmentData, "IMG_0006.AAE",
              "com.apple.photos.apple-adjustment-envelope", "<plist/>"},
             {ResourceType::FullSizePhoto, "FullSizeRender.jpg", "public.jpeg",
              imaging::encodeJpeg(fixtures::makePattern({128, 96}, fixtures::Palette::Alternative),
                                  0.9)}},
            utc("2024-02-29T23:59:59Z"));
        album("Trip", ids);
        return ids;
    }
};

TEST_F(ExportTest, KeepsNamesDatesPlacesAndNeverTouchesExistingFiles) {
    makeTripLibrary();
    const QString out = tmp.path() + "/out";
    testsupport::writeFile(out + "/IMG_0002.heic", "someone else's file");
    const QByteArray before = sha(out + "/IMG_0002.heic");

    Result r = photolib({"export", "--album", "Trip", "--format", "heic", out});
    ASSERT_EQ(r.status, 0) << r.err.toStdString();
    EXPECT_EQ(r.out, "Exported 6 items as HEIC to " + out + ".\n");
    EXPECT_EQ(r.err, ""); // no progress lines when stderr is not a terminal

    EXPECT_EQ(filesIn(out),
              QSet<QString>({"IMG_0001.heic", "IMG_0002.heic", "IMG_0002 (1).heic", "IMG_0003.heic",
                             "IMG_0001 (1).heic", "Undated.heic", "IMG_0006.heic"}));
    EXPECT_EQ(sha(out + "/IMG_0002.heic"), before);

    const auto exif = exifOf(out);
    // The wall-clock time where each was taken, with that offset, whatever the exporting
    // machine's zone (New York).
    const QJsonObject pair = exif["IMG_0001.heic"];
    EXPECT_EQ(pair["DateTimeOriginal"].toString(), "2024:07:14 10:22:33");
    EXPECT_EQ(pair["OffsetTimeOriginal"].toString(), "+02:00");
    EXPECT_NEAR(pair["GPSLatitude"].toDouble(), 48.8566, 1e-4);
    EXPECT_NEAR(pair["GPSLongitude"].toDouble(), 2.3522, 1e-4);

    const QJsonObject heic = exif["IMG_0002 (1).heic"];
    EXPECT_EQ(heic["DateTimeOriginal"].toString(), "2024:01:05 13:32:49");
    EXPECT_EQ(heic["OffsetTimeOriginal"].toString(), "+08:00");
    EXPECT_NEAR(heic["GPSLatitude"].toDouble(), -33.8688, 1e-4); // south
    EXPECT_NEAR(heic["GPSLongitude"].toDouble(), 151.2093, 1e-4);

    // An item of no known zone: the machine's wall-clock time, and no offset made up.
    const QJsonObject raw = exif["IMG_0003.heic"];
    EXPECT_EQ(raw["DateTimeOriginal"].toString(), "2024:03:01 06:00:00");
    EXPECT_FALSE(raw.contains("OffsetTimeOriginal"));
    EXPECT_NEAR(raw["GPSLongitude"].toDouble(), -74.0060, 1e-4); // west
    EXPECT_EQ(raw["Orientation"].toInt(), 1);
    EXPECT_EQ(raw["ImageWidth"].toInt(), 96); // written upright
    EXPECT_EQ(raw["ImageHeight"].toInt(), 128);

    EXPECT_FALSE(exif["IMG_0001 (1).heic"].contains("GPSLatitude"));
    EXPECT_FALSE(exif["Undated.heic"].contains("DateTimeOriginal"));
    EXPECT_FALSE(exif["Undated.heic"].contains("OffsetTimeOriginal"));
    // Across midnight at the end of February in a leap year.
    EXPECT_EQ(exif["IMG_0006.heic"]["DateTimeOriginal"].toString(), "2024:02:29 18:59:59");

    // The pixels: the turned RAW comes out upright, the edited item as its rendering.
    EXPECT_EQ(fixtures::describeQuadrants(
                  imaging::decodeHeif(testsupport::readFile(out + "/IMG_0003.heic"))),
              "RG/BW");
    EXPECT_EQ(fixtures::describeQuadrants(
                  imaging::decodeHeif(testsupport::readFile(out + "/IMG_0006.heic"))),
              "CM/YK");
    EXPECT_EQ(fixtures::describeQuadrants(
                  imaging::decodeHeif(testsupport::readFile(out + "/IMG_0001.heic"))),
              "RG/BW");

    // Again at the HEIC default quality, named: the same pictures, numbered on.
    QMap<QString, QByteArray> first;
    for (const QString& name : filesIn(out))
        first.insert(name, sha(out + "/" + name));
    r = photolib({"export", "--album", "Trip", "--format", "heic", "--quality", "0.5", out});
    ASSERT_EQ(r.status, 0) << r.err.toStdString();
    EXPECT_EQ(sha(out + "/IMG_0002 (2).heic"), first["IMG_0002 (1).heic"]);
    EXPECT_EQ(sha(out + "/Undated (1).heic"), first["Undated.heic"]);
    EXPECT_EQ(filesIn(out).size(), 13);
    EXPECT_TRUE(filesIn(out).contains("IMG_0001 (3).heic"));
    for (auto it = first.cbegin(); it != first.cend(); ++it)
        EXPECT_EQ(sha(out + "/" + it.key()), it.value()) << it.key().toStdString();

    // As JPEG, downscaled to the longest side and never enlarged.
    env.insert("TZ", "Asia/Kolkata");                   // another machine zone
    const QString jpegOut = tmp.path() + "/new folder"; // made, as its parent exists
    r = photolib({"export", "--album", "Trip", "--format", "jpeg", "--max-size", "120", "--quality",
                  "0.5", jpegOut});
    ASSERT_EQ(r.status, 0) << r.err.toStdString();
    EXPECT_EQ(filesIn(jpegOut),
              QSet<QString>({"IMG_0001.jpeg", "IMG_0002.jpeg", "IMG_0003.jpeg", "IMG_0001 (1).jpeg",
                             "Undated.jpeg", "IMG_0006.jpeg"}));
    const auto jpegExif = exifOf(jpegOut);
    auto size = [&](const char* name) {
        return QSize(jpegExif[name]["ImageWidth"].toInt(), jpegExif[name]["ImageHeight"].toInt());
    };
    EXPECT_EQ(size("IMG_0001.jpeg"), QSize(120, 90));
    EXPECT_EQ(size("IMG_0003.jpeg"), QSize(90, 120));     // portrait: the height is the long side
    EXPECT_EQ(size("IMG_0001 (1).jpeg"), QSize(120, 90)); // only its long side is over
    EXPECT_EQ(size("Undated.jpeg"), QSize(48, 32));       // smaller than the limit: as it is
    EXPECT_EQ(jpegExif["IMG_0001.jpeg"]["ExifImageWidth"].toInt(), 120);
    EXPECT_EQ(jpegExif["IMG_0001.jpeg"]["ExifImageHeight"].toInt(), 90);
    EXPECT_EQ(jpegExif["IMG_0001.jpeg"]["DateTimeOriginal"].toString(), "2024:07:14 10:22:33");
    EXPECT_EQ(jpegExif["IMG_0001.jpeg"]["OffsetTimeOriginal"].toString(), "+02:00");
    EXPECT_EQ(jpegExif["IMG_0003.jpeg"]["DateTimeOriginal"].toString(), "2024:03:01 16:30:00");
    EXPECT_FALSE(jpegExif["IMG_0003.jpeg"].contains("OffsetTimeOriginal"));
    EXPECT_EQ(fixtures::describeQuadrants(
                  imaging::decodeJpeg(testsupport::readFile(jpegOut + "/IMG_0003.jpeg"))),
              "RG/BW");
}

TEST_F(ExportTest, FailuresAndMistakesAreReportedAndTouchNothingElse) {
    const QString good =
        create({{ResourceType::Photo, "IMG_0001.JPG", "public.jpeg", fixtures::makeJpeg({64, 48})}},
               utc("2024-05-01T10:00:00Z"));
    const QString broken = create({{ResourceType::Photo, "IMG_0002.JPG", "public.jpeg",
                                    QByteArray::fromHex("ffd8ffe0") + "not really a JPEG"}},
                                  utc("2024-05-02T10:00:00Z"));
    const QString noPicture = create({{ResourceType::AdjustmentData, "IMG_0003.AAE",
                                       "com.apple.photos.apple-adjustment-envelope", "<plist/>"}},
                                     utc("2024-05-03T10:00:00Z"));
    const QString last = create(
        {{ResourceType::Photo, "IMG_0004.HEIC", "public.heic", fixtures::makeHeic({64, 48})}},
        utc("2024-05-04T10:00:00Z"));
    album("Mixed", {good, broken, noPicture, last});
    QString out = tmp.path() + "/out";

    Result r = photolib({"export", "--album", "Mixed", "--format", "heic", out});
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.out, "Exported 2 of 4 items as HEIC to " + out + "; 2 failed.\n");
    const QStringList errors = r.err.split('\n', Qt::SkipEmptyParts);
    ASSERT_EQ(errors.size(), 2) << r.err.toStdString();
    EXPECT_TRUE(errors[0].startsWith("photolib: cannot export “IMG_0002.JPG” (" + broken + "): "))
        << errors[0].toStdString();
    EXPECT_TRUE(errors[1].startsWith("photolib: cannot export “IMG_0003.AAE” (" + noPicture))
        << errors[1].toStdString();
    EXPECT_EQ(filesIn(out), QSet<QString>({"IMG_0001.heic", "IMG_0004.heic"}));

    // Command-line mistakes: usage status, nothing made.
    album("One", {good});
    album("Empty", {});
    out = tmp.path() + "/mistakes";
    for (const QStringList& args :
         {QStringList{"export", "--album", "One", out},
          QStringList{"export", "--album", "One", "--format", "jpeg", "--quality", "1.5", out},
          QStringList{"export", "--album", "One", "--format", "jpeg"}}) {
        const Result usage = photolib(args);
        EXPECT_EQ(usage.status, 2) << args.join(' ').toStdString();
        EXPECT_TRUE(usage.err.startsWith("photolib: ")) << usage.err.toStdString();
    }
    EXPECT_FALSE(QFileInfo::exists(out));

    EXPECT_EQ(photolib({"export", "--album", "Nope", "--format", "heic", out}).status, 1);
    EXPECT_FALSE(QFileInfo::exists(out)); // no folder made for nothing

    Result noParent =
        photolib({"export", "--album", "One", "--format", "heic", tmp.path() + "/a/b"});
    EXPECT_EQ(noParent.status, 1);
    EXPECT_EQ(noParent.err, "photolib: “" + tmp.path() + "/a” does not exist.\n");
    EXPECT_FALSE(QFileInfo::exists(tmp.path() + "/a"));

    testsupport::writeFile(tmp.path() + "/plain", "a file");
    Result notFolder =
        photolib({"export", "--album", "One", "--format", "heic", tmp.path() + "/plain"});
    EXPECT_EQ(notFolder.status, 1);
    EXPECT_EQ(notFolder.err, "photolib: “" + tmp.path() + "/plain” is not a folder.\n");
    EXPECT_EQ(testsupport::readFile(tmp.path() + "/plain"), "a file");

    Result empty = photolib({"export", "--album", "Empty", "--format", "heic", out});
    EXPECT_EQ(empty.status, 0) << empty.err.toStdString();
    EXPECT_EQ(empty.out, "Exported 0 items as HEIC to " + out + ".\n");
    EXPECT_TRUE(QFileInfo(out).isDir());

    Result one = photolib({"export", "--album", "One", "--format", "jpeg", out});
    EXPECT_EQ(one.out, "Exported 1 item as JPEG to " + out + ".\n");
}
