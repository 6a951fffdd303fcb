#include "ExiftoolSupport.h"
#include "fixtures/ImageFixtures.h"
#include "platform/imaging/ExifFields.h"
#include "platform/imaging/HeifCodec.h"
#include "platform/imaging/ImageMetadata.h"
#include "platform/imaging/ImagingError.h"
#include "platform/imaging/JpegCodec.h"
#include "support/TestSupport.h"

#include <QTemporaryDir>
#include <QTimeZone>
#include <cmath>
#include <gtest/gtest.h>

using namespace imaging;

namespace {

ExifFields fullFields() {
    ExifFields fields;
    fields.dateTimeOriginal = QStringLiteral("2024:02:29 23:59:59");
    fields.offsetTimeOriginal = QStringLiteral("-03:30");
    fields.latitude = -33.868820;
    fields.longitude = 151.209290;
    fields.orientation = 8;
    fields.pixelWidth = 4000;
    fields.pixelHeight = 3000;
    return fields;
}

} // namespace

TEST(ExifBlock, ShapeAndRefusals) {
    const QByteArray block = buildExifBlock(fullFields());
    EXPECT_TRUE(block.startsWith(QByteArray("II*\0", 4)));
    EXPECT_LT(block.size(), 1024);
    ExifFields nothing;
    nothing.orientation = 0;
    EXPECT_TRUE(buildExifBlock(nothing).isEmpty());

    ExifFields latitudeOnly;
    latitudeOnly.latitude = 10;
    EXPECT_THROW(buildExifBlock(latitudeOnly), ImagingError);
    ExifFields longitudeOnly;
    longitudeOnly.longitude = 10;
    EXPECT_THROW(buildExifBlock(longitudeOnly), ImagingError);
    for (const auto& [lat, lon] : {std::pair{90.5, 0.0}, std::pair{0.0, -180.01},
                                   std::pair{std::nan(""), 0.0}, std::pair{0.0, HUGE_VAL}}) {
        ExifFields bad;
        bad.latitude = lat;
        bad.longitude = lon;
        EXPECT_THROW(buildExifBlock(bad), ImagingError) << lat << "," << lon;
    }
}

TEST(ExifRoundTrip, ThroughBothEncoders) {
    const ExifFields fields = fullFields();
    const QByteArray block = buildExifBlock(fields);
    const QImage picture = fixtures::makeStoredPattern(QSize(64, 48), fields.orientation);
    for (const QByteArray& file :
         {encodeJpeg(picture, 0.7, block), encodeHeic(picture, 0.5, block)}) {
        const ImageMetadata m = readImageMetadata(file);
        EXPECT_EQ(m.dateTimeOriginal, "2024:02:29 23:59:59");
        EXPECT_EQ(m.offsetSeconds, -(3 * 3600 + 30 * 60));
        ASSERT_TRUE(m.captureDate.has_value());
        EXPECT_EQ(m.captureDate->toUTC(), QDateTime(QDate(2024, 3, 1), QTime(3, 29, 59), Qt::UTC));
        EXPECT_NEAR(m.latitude.value_or(0), -33.868820, 1e-7);
        EXPECT_NEAR(m.longitude.value_or(0), 151.209290, 1e-7);
        EXPECT_EQ(m.orientation, 8);
    }
}

TEST(ExifRoundTrip, CoordinatesAtTheEdges) {
    const std::pair<double, double> places[] = {
        {0, 0},      {-0.000001, -0.000001}, {89.99999999, 179.99999999},
        {-90, -180}, {51.477928, -0.001545}, {10.99999999999, 20.5}};
    for (const auto& [lat, lon] : places) {
        ExifFields fields;
        fields.latitude = lat;
        fields.longitude = lon;
        const ImageMetadata m = readImageMetadata(fixtures::makeJpeg(QSize(16, 16), fields));
        ASSERT_TRUE(m.latitude.has_value()) << lat << "," << lon;
        EXPECT_NEAR(*m.latitude, lat, 1e-7) << lat << "," << lon;
        EXPECT_NEAR(*m.longitude, lon, 1e-7) << lat << "," << lon;
        EXPECT_EQ(*m.latitude < 0, lat < 0);
        EXPECT_EQ(*m.longitude < 0, lon < 0);
    }
}

// exiftool reads what the encoders wrote exactly as this reader does.
TEST(ExifRoundTrip, ExiftoolAgrees) {
    if (!exiftool::available())
        GTEST_SKIP() << "exiftool is not installed";
    QTemporaryDir dir;
    ASSERT_TRUE(dir.isValid());
    const ExifFields fields = fullFields();
    const QStringList paths = {dir.filePath("a.jpg"), dir.filePath("a.heic")};
    fixtures::makeJpegFile(paths[0], QSize(64, 48), fields);
    fixtures::makeHeicFile(paths[1], QSize(64, 48), fields);
    const QList<QJsonObject> tags = exiftool::read(paths);
    ASSERT_EQ(tags.size(), 2);
    for (const QJsonObject& t : tags) {
        SCOPED_TRACE(t.value("SourceFile").toString().toStdString());
        EXPECT_EQ(t.value("DateTimeOriginal").toString(), "2024:02:29 23:59:59");
        EXPECT_EQ(t.value("OffsetTimeOriginal").toString(), "-03:30");
        EXPECT_NEAR(t.value("GPSLatitude").toDouble(), -33.868820, 1e-7);
        EXPECT_NEAR(t.value("GPSLongitude").toDouble(), 151.209290, 1e-7);
        EXPECT_EQ(t.value("Orientation").toInt(), 8);
        EXPECT_EQ(t.value("ExifImageWidth").toInt(), 4000);
        EXPECT_EQ(t.value("ExifImageHeight").toInt(), 3000);
    }
    for (const QString& path : paths) {
        const ImageMetadata m = readImageMetadata(path);
        EXPECT_EQ(m.dateTimeOriginal, "2024:02:29 23:59:59");
        EXPECT_EQ(m.orientation, 8);
    }
}
