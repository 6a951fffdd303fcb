#include "ImagingTestSupport.h"
#include "fixtures/ImageFixtures.h"
#include "platform/imaging/DngWriter.h"
#include "platform/imaging/ExifFields.h"
#include "platform/imaging/ImagingError.h"

#include <QTemporaryDir>
#include <cmath>
#include <gtest/gtest.h>

using namespace imaging;
using imagingtest::exif;

// What the encoders write, the reader gives back: dates, offsets (the instant crossing a day and
// a leap day), coordinates at the edges with their signs, and malformed tags kept as text; the
// EXIF writer refuses only coordinates that are incomplete or out of range.
TEST(ExifRoundTrip, ThroughBothEncodersAndRefusals) {
    const QString date = QStringLiteral("2023:07:14 10:22:33");
    const std::pair<ExifFields, const char*> cases[] = {
        {exif(6, date, "+02:00", 48.8584, 2.2945),
         "2023:07:14 10:22:33|7200|2023-07-14T08:22:33Z|48.8584000,2.2945000|o6|32x32"},
        {exif(8, "2024:02:29 23:59:59", "-03:30", -33.86882, 151.20929),
         "2024:02:29 23:59:59|-12600|2024-03-01T03:29:59Z|-33.8688200,151.2092900|o8|32x32"},
        {exif(1, date), "2023:07:14 10:22:33|-|local 2023-07-14T10:22:33|-|o1|32x32"},
        {exif(9, date, "+25:00"), "2023:07:14 10:22:33|-|local 2023-07-14T10:22:33|-|o1|32x32"},
        {exif(0, "2023-07-14 10:22:33", "+02:00"), "2023-07-14 10:22:33|7200|-|-|o1|32x32"},
        {exif(1, {}, "-04:00"), "-|-14400|-|-|o1|32x32"},
        {exif(0), "-|-|-|-|o1|32x32"},
        {exif(1, {}, {}, 0.0, 0.0), "-|-|-|0.0000000,0.0000000|o1|32x32"},
        {exif(1, {}, {}, -0.000001, -0.000001), "-|-|-|-0.0000010,-0.0000010|o1|32x32"},
        {exif(1, {}, {}, 89.99999999, 179.99999999), "-|-|-|90.0000000,180.0000000|o1|32x32"},
        {exif(1, {}, {}, -90.0, -180.0), "-|-|-|-90.0000000,-180.0000000|o1|32x32"},
        {exif(1, {}, {}, 10.99999999999, 20.5), "-|-|-|11.0000000,20.5000000|o1|32x32"},
    };
    for (const auto& [fields, expected] : cases) {
        const QByteArray jpeg = fixtures::makeJpeg(QSize(32, 32), fields);
        EXPECT_EQ(imagingtest::summary(readImageMetadata(jpeg)), expected);
        const QByteArray heic = fixtures::makeHeic(QSize(32, 32), fields, 0.3);
        EXPECT_EQ(imagingtest::summary(readImageMetadata(heic)), expected);
    }
    const std::pair<std::optional<double>, std::optional<double>> refused[] = {
        {10.0, {}}, {{}, 10.0}, {90.5, 0.0}, {0.0, -180.01}, {std::nan(""), 0.0}, {0.0, HUGE_VAL}};
    for (const auto& [latitude, longitude] : refused)
        EXPECT_THROW(buildExifBlock(exif(1, {}, {}, latitude, longitude)), ImagingError)
            << latitude.value_or(-1) << "," << longitude.value_or(-1);
}

// exiftool reads what all three writers wrote as this system does, without a warning.
TEST(ExifRoundTrip, ExiftoolAgreesOnAllWriters) {
    if (!imagingtest::exiftoolAvailable())
        GTEST_SKIP() << "exiftool is not installed";
    QTemporaryDir dir;
    ASSERT_TRUE(dir.isValid());
    ExifFields fields = exif(8, "2024:02:29 23:59:59", "-03:30", -33.86882, 151.20929);
    fields.pixelWidth = 64;
    fields.pixelHeight = 48;
    DngOptions dng;
    dng.dateTimeOriginal = *fields.dateTimeOriginal;
    dng.offsetTimeOriginal = *fields.offsetTimeOriginal;
    dng.orientation = 8;
    dng.gps = DngGps{*fields.latitude, *fields.longitude, std::nullopt};
    dng.thumbnailLongSide = 32;
    const QStringList paths = {dir.filePath("a.jpg"), dir.filePath("a.heic"),
                               dir.filePath("a.dng")};
    fixtures::makeJpegFile(paths[0], QSize(64, 48), fields);
    fixtures::makeHeicFile(paths[1], QSize(64, 48), fields);
    testsupport::writeFile(paths[2], writeDng(fixtures::makeStoredPattern({64, 48}, 8), dng));
    const QList<QJsonObject> tags = imagingtest::exiftoolRead(
        paths, {"-DateTimeOriginal", "-OffsetTimeOriginal", "-GPSLatitude", "-GPSLongitude",
                "-Orientation", "-ExifImageWidth", "-ExifImageHeight", "-FileType", "-DNGVersion",
                "-Warning"});
    ASSERT_EQ(tags.size(), 3);
    for (const QJsonObject& t : tags) {
        SCOPED_TRACE(t.value("SourceFile").toString().toStdString());
        EXPECT_EQ(t.value("DateTimeOriginal").toString(), "2024:02:29 23:59:59");
        EXPECT_EQ(t.value("OffsetTimeOriginal").toString(), "-03:30");
        EXPECT_NEAR(t.value("GPSLatitude").toDouble(), -33.86882, 1e-6);
        EXPECT_NEAR(t.value("GPSLongitude").toDouble(), 151.20929, 1e-6);
        EXPECT_EQ(t.value("Orientation").toInt(), 8);
        EXPECT_FALSE(t.contains("Warning")) << t.value("Warning").toString().toStdString();
    }
    EXPECT_EQ(tags[0].value("ExifImageWidth").toInt(), 64);
    EXPECT_EQ(tags[1].value("ExifImageHeight").toInt(), 48);
    EXPECT_EQ(tags[2].value("FileType").toString(), "DNG");
    EXPECT_EQ(tags[2].value("DNGVersion").toString(), "1 4 0 0");
}
