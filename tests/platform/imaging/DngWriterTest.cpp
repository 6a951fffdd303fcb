#include "platform/imaging/DngWriter.h"
#include "fixtures/DngFixture.h"
#include "platform/imaging/DngLosslessJpeg.h"
#include "platform/imaging/RawJpeg.h"
#include "platform/imaging/RawPreviewScanner.h"
#include "support/TestSupport.h"

#include <QProcess>
#include <QRandomGenerator>
#include <QStandardPaths>
#include <QTemporaryDir>
#include <cmath>
#include <exiv2/exiv2.hpp>
#include <gtest/gtest.h>
#include <libraw/libraw.h>
#include <memory>

using namespace imaging;

// Readable sizes in failure messages.
[[maybe_unused]] static void PrintTo(const QSize& size, std::ostream* out) {
    *out << size.width() << "x" << size.height();
}

namespace {

std::unique_ptr<LibRaw> openWithLibRaw(QByteArray& dng) {
    auto raw = std::make_unique<LibRaw>(LIBRAW_OPIONS_NO_MEMERR_CALLBACK |
                                        LIBRAW_OPIONS_NO_DATAERR_CALLBACK);
    EXPECT_EQ(raw->open_buffer(dng.data(), static_cast<size_t>(dng.size())), LIBRAW_SUCCESS);
    return raw;
}

int linearized(int srgb) {
    const double c = srgb / 255.0;
    const double linear = c <= 0.04045 ? c / 12.92 : std::pow((c + 0.055) / 1.055, 2.4);
    return static_cast<int>(std::lround(linear * 65535.0));
}

QImage noise(QSize size, quint32 seed) {
    QImage image(size, QImage::Format_RGB888);
    QRandomGenerator rng(seed);
    for (int y = 0; y < size.height(); ++y)
        for (int x = 0; x < size.width() * 3; ++x)
            image.scanLine(y)[x] = static_cast<uchar>(rng.bounded(256));
    return image;
}

// The sensor values LibRaw reads back must be the linearized input samples, exactly.
void expectSensorDataRoundTrips(const QImage& input, int previewLongSide) {
    DngOptions options;
    options.previewLongSide = previewLongSide;
    QByteArray dng = writeDng(input, options);
    auto raw = openWithLibRaw(dng);
    ASSERT_EQ(raw->imgdata.sizes.raw_width, input.width());
    ASSERT_EQ(raw->imgdata.sizes.raw_height, input.height());
    ASSERT_EQ(raw->unpack(), LIBRAW_SUCCESS);
    EXPECT_EQ(raw->error_count(), 0);
    const auto* pixels = raw->imgdata.rawdata.color4_image;
    ASSERT_NE(pixels, nullptr);
    const int pitch = static_cast<int>(raw->imgdata.sizes.raw_pitch / 8);
    const QImage rgb = input.convertToFormat(QImage::Format_RGB888);
    int mismatches = 0;
    for (int y = 0; y < rgb.height(); ++y)
        for (int x = 0; x < rgb.width(); ++x)
            for (int c = 0; c < 3; ++c)
                if (pixels[y * pitch + x][c] != linearized(rgb.constScanLine(y)[3 * x + c]))
                    ++mismatches;
    EXPECT_EQ(mismatches, 0) << input.width() << "x" << input.height();
}

DngOptions withPreview(int longSide) {
    DngOptions options;
    options.previewLongSide = longSide;
    return options;
}

QString exiftool() {
    return QStandardPaths::findExecutable(QStringLiteral("exiftool"));
}

} // namespace

TEST(DngWriter, LibRawOpensUnpacksAndProcessesIt) {
    QByteArray dng = fixtures::makeDng(QSize(640, 480), QStringLiteral("2024:05:06 07:08:09"),
                                       QStringLiteral("+02:00"), 1, 320);
    auto raw = openWithLibRaw(dng);
    EXPECT_EQ(raw->imgdata.sizes.width, 640);
    EXPECT_EQ(raw->imgdata.sizes.height, 480);
    EXPECT_EQ(raw->imgdata.idata.colors, 3);
    EXPECT_EQ(raw->imgdata.idata.filters, 0u); // linear, no mosaic
    EXPECT_STREQ(raw->imgdata.idata.make, "Twinslim");
    EXPECT_STREQ(raw->imgdata.idata.model, "Linear DNG");
    ASSERT_EQ(raw->unpack(), LIBRAW_SUCCESS);
    ASSERT_EQ(raw->dcraw_process(), LIBRAW_SUCCESS);
    int error = 0;
    libraw_processed_image_t* image = raw->dcraw_make_mem_image(&error);
    ASSERT_NE(image, nullptr);
    EXPECT_EQ(image->width, 640);
    EXPECT_EQ(image->height, 480);
    LibRaw::dcraw_clear_mem(image);

    ASSERT_EQ(raw->unpack_thumb(), LIBRAW_SUCCESS);
    EXPECT_EQ(raw->imgdata.thumbnail.tformat, LIBRAW_THUMBNAIL_JPEG);
    const auto* thumb = reinterpret_cast<const std::uint8_t*>(raw->imgdata.thumbnail.thumb);
    EXPECT_EQ(rawdetail::jpegSize({thumb, raw->imgdata.thumbnail.tlength}), QSize(320, 240));
}

TEST(DngWriter, OrientationReachesLibRaw) {
    // LibRaw's flip values for EXIF orientations 1..8.
    const int expectedFlip[] = {0, 1, 3, 2, 4, 6, 7, 5};
    for (int orientation = 1; orientation <= 8; ++orientation) {
        QByteArray dng = fixtures::makeDng(QSize(60, 40), {}, {}, orientation, 32);
        auto raw = openWithLibRaw(dng);
        EXPECT_EQ(raw->imgdata.sizes.flip, expectedFlip[orientation - 1]) << orientation;
        // Stored pixels are transposed for 5..8.
        EXPECT_EQ(raw->imgdata.sizes.width, orientation >= 5 ? 40 : 60) << orientation;
    }
}

TEST(DngWriter, SensorDataRoundTripsExactly) {
    // Noise exercises every difference category of the lossless JPEG coder.
    expectSensorDataRoundTrips(noise(QSize(257, 131), 7), 64);
    // The smallest sides LibRaw accepts, and odd sizes.
    expectSensorDataRoundTrips(noise(QSize(22, 22), 1), 0);
    expectSensorDataRoundTrips(noise(QSize(22, 37), 2), 0);
    expectSensorDataRoundTrips(noise(QSize(53, 23), 3), 16);
    // Flat areas: a single difference symbol.
    QImage flat(64, 48, QImage::Format_RGB32);
    flat.fill(QColor(255, 255, 255));
    expectSensorDataRoundTrips(flat, 0);
    flat.fill(QColor(0, 0, 0));
    expectSensorDataRoundTrips(flat, 20);
    expectSensorDataRoundTrips(fixtures::makeStoredPattern(QSize(300, 200), 6), 100);
}

TEST(DngWriter, PreviewSizeFollowsTheLongSideAndNeverEnlarges) {
    QByteArray portrait = writeDng(fixtures::makePattern(QSize(300, 450)), withPreview(90));
    auto raw = openWithLibRaw(portrait);
    ASSERT_EQ(raw->unpack_thumb(), LIBRAW_SUCCESS);
    const auto* thumb = reinterpret_cast<const std::uint8_t*>(raw->imgdata.thumbnail.thumb);
    EXPECT_EQ(rawdetail::jpegSize({thumb, raw->imgdata.thumbnail.tlength}), QSize(60, 90));

    QByteArray large = writeDng(fixtures::makePattern(QSize(120, 80)), withPreview(5000));
    auto raw2 = openWithLibRaw(large);
    ASSERT_EQ(raw2->unpack_thumb(), LIBRAW_SUCCESS);
    const auto* thumb2 = reinterpret_cast<const std::uint8_t*>(raw2->imgdata.thumbnail.thumb);
    EXPECT_EQ(rawdetail::jpegSize({thumb2, raw2->imgdata.thumbnail.tlength}), QSize(120, 80));
}

TEST(DngWriter, WithoutPreviewTheSensorDataIsInIfd0) {
    QByteArray dng = fixtures::makeDng(QSize(200, 100), {}, {}, 1, 0);
    auto raw = openWithLibRaw(dng);
    EXPECT_NE(raw->unpack_thumb(), LIBRAW_SUCCESS);
    ASSERT_EQ(raw->unpack(), LIBRAW_SUCCESS);
    EXPECT_EQ(raw->dcraw_process(), LIBRAW_SUCCESS);
}

TEST(DngWriter, ThumbnailLayoutOfDngConverters) {
    DngOptions options;
    options.thumbnailLongSide = 256;
    options.previewLongSide = 1024;
    options.orientation = 3;
    QByteArray dng = writeDng(fixtures::makeStoredPattern(QSize(1200, 800), 3), options);
    auto raw = openWithLibRaw(dng);
    EXPECT_EQ(raw->imgdata.sizes.width, 1200);
    EXPECT_EQ(raw->imgdata.sizes.flip, 3);
    ASSERT_EQ(raw->unpack(), LIBRAW_SUCCESS);
    EXPECT_EQ(raw->dcraw_process(), LIBRAW_SUCCESS);

    const auto bytes = std::span(reinterpret_cast<const std::uint8_t*>(dng.constData()),
                                 static_cast<std::size_t>(dng.size()));
    const auto container = rawdetail::scanRawContainer(bytes);
    ASSERT_EQ(container.previews.size(), 2u);
    EXPECT_EQ(container.previews[0].kind, rawdetail::EmbeddedPreview::Kind::Jpeg);
    EXPECT_EQ(container.previews[0].size, QSize(1024, 683));
    EXPECT_EQ(container.previews[1].kind, rawdetail::EmbeddedPreview::Kind::Rgb8);
    EXPECT_EQ(container.previews[1].size, QSize(256, 171));
    EXPECT_EQ(container.orientation, 3);
}

TEST(DngWriter, SizesArePlausibleForPictures) {
    const QByteArray small = fixtures::makeDng(QSize(1200, 800), {}, {}, 1, 600);
    EXPECT_GT(small.size(), 20 * 1024);
    EXPECT_LT(small.size(), 1024 * 1024);
    const QByteArray six = fixtures::makeDng(QSize(3000, 2000), {}, {}, 1, 1024);
    EXPECT_GT(six.size(), 200 * 1024);
    EXPECT_LT(six.size(), 8 * 1024 * 1024);
    // Noise does not compress: about three bytes a pixel, never much more.
    const QByteArray noisy = writeDng(noise(QSize(300, 200), 5), withPreview(0));
    EXPECT_GT(noisy.size(), 300 * 200 * 3 * 9 / 10);
    EXPECT_LT(noisy.size(), 300 * 200 * 3 * 13 / 10);
}

TEST(DngWriter, Exiv2ReadsTheMetadata) {
    DngOptions options;
    options.dateTimeOriginal = QStringLiteral("2021:07:24 14:23:06");
    options.offsetTimeOriginal = QStringLiteral("-07:00");
    options.orientation = 8;
    options.make = QStringLiteral("SONY");
    options.model = QStringLiteral("ZV-E10");
    options.gps = DngGps{-33.8568, 151.2153, -12.5};
    const QByteArray dng = writeDng(fixtures::makeStoredPattern(QSize(90, 60), 8), options);

    auto image = Exiv2::ImageFactory::open(reinterpret_cast<const Exiv2::byte*>(dng.constData()),
                                           static_cast<long>(dng.size()));
    ASSERT_TRUE(image.get() != nullptr);
    image->readMetadata();
    const Exiv2::ExifData& exif = image->exifData();
    const auto text = [&](const char* key) {
        const auto it = exif.findKey(Exiv2::ExifKey(key));
        return it == exif.end() ? std::string() : it->toString();
    };
    EXPECT_EQ(text("Exif.Photo.DateTimeOriginal"), "2021:07:24 14:23:06");
    EXPECT_EQ(text("Exif.Photo.OffsetTimeOriginal"), "-07:00");
    EXPECT_EQ(text("Exif.Image.Orientation"), "8");
    EXPECT_EQ(text("Exif.Image.Make"), "SONY");
    EXPECT_EQ(text("Exif.Image.Model"), "ZV-E10");
    EXPECT_EQ(text("Exif.GPSInfo.GPSLatitudeRef"), "S");
    EXPECT_EQ(text("Exif.GPSInfo.GPSLongitudeRef"), "E");
    EXPECT_EQ(text("Exif.GPSInfo.GPSAltitudeRef"), "1");
    const auto latitude = exif.findKey(Exiv2::ExifKey("Exif.GPSInfo.GPSLatitude"));
    ASSERT_NE(latitude, exif.end());
    ASSERT_EQ(latitude->count(), 3);
    const double degrees =
        latitude->toFloat(0) + latitude->toFloat(1) / 60.0 + latitude->toFloat(2) / 3600.0;
    EXPECT_NEAR(degrees, 33.8568, 1e-5);
    const auto altitude = exif.findKey(Exiv2::ExifKey("Exif.GPSInfo.GPSAltitude"));
    ASSERT_NE(altitude, exif.end());
    EXPECT_NEAR(altitude->toFloat(0), 12.5, 1e-6);
}

TEST(DngWriter, AbsentDateAndOffsetAreLeftOut) {
    const QByteArray dng = fixtures::makeDng(QSize(40, 30), {}, {}, 1, 0);
    auto image = Exiv2::ImageFactory::open(reinterpret_cast<const Exiv2::byte*>(dng.constData()),
                                           static_cast<long>(dng.size()));
    image->readMetadata();
    const Exiv2::ExifData& exif = image->exifData();
    EXPECT_EQ(exif.findKey(Exiv2::ExifKey("Exif.Photo.DateTimeOriginal")), exif.end());
    EXPECT_EQ(exif.findKey(Exiv2::ExifKey("Exif.Photo.OffsetTimeOriginal")), exif.end());
    EXPECT_EQ(exif.findKey(Exiv2::ExifKey("Exif.GPSInfo.GPSLatitude")), exif.end());

    // A date without an offset, as many cameras write.
    const QByteArray dated =
        fixtures::makeDng(QSize(40, 30), QStringLiteral("2019:12:05 13:32:49"), {}, 1, 0);
    auto image2 = Exiv2::ImageFactory::open(reinterpret_cast<const Exiv2::byte*>(dated.constData()),
                                            static_cast<long>(dated.size()));
    image2->readMetadata();
    const Exiv2::ExifData& exif2 = image2->exifData();
    EXPECT_NE(exif2.findKey(Exiv2::ExifKey("Exif.Photo.DateTimeOriginal")), exif2.end());
    EXPECT_EQ(exif2.findKey(Exiv2::ExifKey("Exif.Photo.OffsetTimeOriginal")), exif2.end());
}

TEST(DngWriter, ExiftoolReadsTheDateAndSeesAValidDng) {
    if (exiftool().isEmpty())
        GTEST_SKIP() << "exiftool is not installed";
    QTemporaryDir dir;
    ASSERT_TRUE(dir.isValid());
    const QString path = dir.filePath(QStringLiteral("IMG_0001.DNG"));
    DngOptions options;
    options.dateTimeOriginal = QStringLiteral("2019:12:05 13:32:49");
    options.offsetTimeOriginal = QStringLiteral("+08:00");
    options.orientation = 6;
    options.gps = DngGps{48.8584, 2.2945, std::nullopt};
    options.thumbnailLongSide = 64;
    testsupport::writeFile(path, writeDng(fixtures::makeStoredPattern(QSize(80, 120), 6), options));

    QProcess process;
    process.start(exiftool(),
                  {QStringLiteral("-s3"), QStringLiteral("-n"), QStringLiteral("-DateTimeOriginal"),
                   QStringLiteral("-OffsetTimeOriginal"), QStringLiteral("-Orientation"),
                   QStringLiteral("-FileType"), QStringLiteral("-DNGVersion"),
                   QStringLiteral("-GPSLatitude"), QStringLiteral("-GPSLongitude"),
                   QStringLiteral("-Warning"), path});
    ASSERT_TRUE(process.waitForFinished(30000));
    const QStringList lines = QString::fromUtf8(process.readAllStandardOutput())
                                  .split(QLatin1Char('\n'), Qt::SkipEmptyParts);
    ASSERT_GE(lines.size(), 7) << lines.join(QLatin1Char('|')).toStdString();
    EXPECT_EQ(lines[0], QStringLiteral("2019:12:05 13:32:49"));
    EXPECT_EQ(lines[1], QStringLiteral("+08:00"));
    EXPECT_EQ(lines[2], QStringLiteral("6"));
    EXPECT_EQ(lines[3], QStringLiteral("DNG"));
    EXPECT_EQ(lines[4], QStringLiteral("1 4 0 0"));
    EXPECT_NEAR(lines[5].toDouble(), 48.8584, 1e-5);
    EXPECT_NEAR(lines[6].toDouble(), 2.2945, 1e-5);
    EXPECT_EQ(lines.size(), 7) << "exiftool warns: "
                               << lines.mid(7).join(QLatin1Char('|')).toStdString();
}

TEST(DngWriter, RejectsWhatItCannotWrite) {
    const QImage image = fixtures::makePattern(QSize(20, 10));
    EXPECT_THROW(writeDng(QImage(), {}), std::invalid_argument);
    DngOptions orientation;
    orientation.orientation = 0;
    EXPECT_THROW(writeDng(image, orientation), std::invalid_argument);
    orientation.orientation = 9;
    EXPECT_THROW(writeDng(image, orientation), std::invalid_argument);
    EXPECT_THROW(writeDng(image, withPreview(-1)), std::invalid_argument);
    DngOptions quality;
    quality.previewQuality = 0;
    EXPECT_THROW(writeDng(image, quality), std::invalid_argument);
    DngOptions gps;
    gps.gps = DngGps{91, 0, std::nullopt};
    EXPECT_THROW(writeDng(image, gps), std::invalid_argument);
    gps.gps = DngGps{0, -180.5, std::nullopt};
    EXPECT_THROW(writeDng(image, gps), std::invalid_argument);
    gps.gps = DngGps{0, 0, std::nan("")};
    EXPECT_THROW(writeDng(image, gps), std::invalid_argument);
    EXPECT_THROW(rawdetail::encodeLosslessJpeg({}, 2, 2, 3), std::invalid_argument);
    // A sliver still gets a preview of at least one pixel.
    EXPECT_NO_THROW(writeDng(QImage(500, 1, QImage::Format_RGB32), withPreview(16)));
}
