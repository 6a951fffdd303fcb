#include "platform/imaging/DngWriter.h"
#include "ImagingTestSupport.h"
#include "fixtures/DngFixture.h"
#include "platform/imaging/DngLosslessJpeg.h"
#include "platform/imaging/ImageMetadata.h"
#include "platform/imaging/Orientation.h"
#include "platform/imaging/RawJpeg.h"
#include "platform/imaging/RawOrientation.h"
#include "platform/imaging/RawPreviewScanner.h"

#include <cmath>
#include <exiv2/exiv2.hpp>
#include <gtest/gtest.h>
#include <libraw/libraw.h>
#include <memory>

using namespace imaging;

namespace {

// `dng` must outlive the LibRaw object, which reads it in place.
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

QImage noise(int width, int height, quint32 seed) {
    const QByteArray bytes = imagingtest::randomBytes(width * height * 3, seed);
    return QImage(reinterpret_cast<const uchar*>(bytes.data()), width, height, width * 3,
                  QImage::Format_RGB888)
        .copy();
}

DngOptions options(int previewLongSide, int thumbnailLongSide = 0, int orientation = 1) {
    DngOptions o;
    o.previewLongSide = previewLongSide;
    o.thumbnailLongSide = thumbnailLongSide;
    o.orientation = orientation;
    return o;
}

} // namespace

// Where the previews go (as the container walk finds them, stored), and that LibRaw opens,
// unpacks and develops every layout and orientation upright and sees the largest preview.
TEST(DngWriter, LayoutsLibRawReadsAndDevelops) {
    const std::tuple<QSize, DngOptions, const char*> cases[] = {
        {{640, 480}, options(320), "jpeg 320x240"},
        {{300, 450}, options(90, 0, 6), "jpeg 90x60"},
        {{120, 80}, options(5000, 0, 2), "jpeg 120x80"}, // not enlarged
        {{200, 100}, options(0, 0, 4), ""},              // sensor data in IFD0
        {{60, 40}, options(32, 0, 5), "jpeg 21x32"},
        {{60, 40}, options(32, 0, 7), "jpeg 21x32"},
        {{60, 40}, options(32, 0, 8), "jpeg 21x32"},
        // Laid out like a DNG converter's file: RGB thumbnail in IFD0, the rest in SubIFDs.
        {{1200, 800}, options(1024, 256, 3), "jpeg 1024x683 rgb 256x171"},
    };
    for (const auto& [upright, o, previews] : cases) {
        SCOPED_TRACE(testing::PrintToString(upright));
        QByteArray dng = writeDng(fixtures::makeStoredPattern(upright, o.orientation), o);
        const auto container = rawdetail::scanRawContainer(
            {reinterpret_cast<const std::uint8_t*>(dng.constData()), std::size_t(dng.size())});
        QStringList found;
        for (const auto& p : container.previews)
            found.append(QStringLiteral("%1 %2x%3")
                             .arg(p.kind == rawdetail::EmbeddedPreview::Kind::Jpeg ? "jpeg" : "rgb")
                             .arg(p.size.width())
                             .arg(p.size.height()));
        EXPECT_EQ(found.join(' '), previews);
        EXPECT_EQ(container.orientation, o.orientation);

        auto raw = openWithLibRaw(dng);
        EXPECT_EQ(QSize(raw->imgdata.sizes.width, raw->imgdata.sizes.height),
                  orientedSize(upright, o.orientation));
        EXPECT_EQ(rawdetail::exifOrientationFromLibRawFlip(raw->imgdata.sizes.flip), o.orientation);
        if (raw->unpack_thumb() == LIBRAW_SUCCESS) {
            const auto& thumb = raw->imgdata.thumbnail;
            const QSize size =
                rawdetail::jpegSize(
                    {reinterpret_cast<const std::uint8_t*>(thumb.thumb), thumb.tlength})
                    .value_or(QSize());
            EXPECT_EQ("jpeg " + testing::PrintToString(size), found.value(0).toStdString());
        } else {
            EXPECT_TRUE(found.isEmpty());
        }
        ASSERT_EQ(raw->unpack(), LIBRAW_SUCCESS);
        ASSERT_EQ(raw->dcraw_process(), LIBRAW_SUCCESS);
        int error = 0;
        libraw_processed_image_t* image = raw->dcraw_make_mem_image(&error);
        ASSERT_NE(image, nullptr);
        const QImage developed(image->data, image->width, image->height, image->width * 3,
                               QImage::Format_RGB888);
        EXPECT_EQ(developed.size(), upright);
        EXPECT_EQ(fixtures::describeQuadrants(developed), "RG/BW");
        LibRaw::dcraw_clear_mem(image);
    }
}

// The sensor values LibRaw reads back must be the linearized input samples, exactly.
TEST(DngWriter, SensorDataRoundTripsExactly) {
    QImage white(64, 48, QImage::Format_RGB32), black(64, 48, QImage::Format_RGB32);
    white.fill(Qt::white); // flat areas: a single difference symbol
    black.fill(Qt::black);
    const std::pair<QImage, int> cases[] = {
        // Noise exercises every difference category of the lossless JPEG coder.
        {noise(257, 131, 7), 64},
        // The smallest sides LibRaw accepts, and odd sizes.
        {noise(22, 22, 1), 0},
        {noise(22, 37, 2), 0},
        {noise(53, 23, 3), 16},
        {white, 0},
        {black, 20},
        {fixtures::makeStoredPattern(QSize(300, 200), 6), 100},
    };
    for (const auto& [input, previewLongSide] : cases) {
        SCOPED_TRACE(testing::PrintToString(input.size()));
        QByteArray dng = writeDng(input, options(previewLongSide));
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
                    mismatches +=
                        pixels[y * pitch + x][c] != linearized(rgb.constScanLine(y)[3 * x + c]);
        EXPECT_EQ(mismatches, 0);
    }
    // Noise does not compress: about three bytes a pixel, never much more.
    EXPECT_LT(writeDng(noise(300, 200, 5), options(0)).size(), 300 * 200 * 3 * 13 / 10);
}

// Exiv2, as this system's reader uses it, finds the tags written and none that were not.
TEST(DngWriter, Exiv2ReadsTheMetadataAndNothingMore) {
    DngOptions full = options(0, 0, 8);
    full.dateTimeOriginal = QStringLiteral("2021:07:24 14:23:06");
    full.offsetTimeOriginal = QStringLiteral("-07:00");
    full.make = QStringLiteral("SONY");
    full.model = QStringLiteral("ZV-E10");
    full.gps = DngGps{-33.8568, 151.2153, -12.5};
    DngOptions dated = options(0); // a date without an offset, as cameras write
    dated.dateTimeOriginal = QStringLiteral("2019:12:05 13:32:49");
    const QImage picture = fixtures::makeStoredPattern(QSize(90, 60), 8);
    const std::pair<DngOptions, const char*> cases[] = {
        {full, "2021:07:24 14:23:06|-25200|2021-07-24T21:23:06Z|-33.8568000,151.2153000|o8|60x90"},
        {dated, "2019:12:05 13:32:49|-|local 2019-12-05T13:32:49|-|o1|60x90"},
        {options(0), "-|-|-|-|o1|60x90"}, // absent tags are left out
    };
    for (const auto& [o, expected] : cases)
        EXPECT_EQ(imagingtest::summary(readImageMetadata(writeDng(picture, o))), expected);
    // What the reader has no use for.
    const QByteArray dng = writeDng(picture, full);
    auto image = Exiv2::ImageFactory::open(reinterpret_cast<const Exiv2::byte*>(dng.constData()),
                                           static_cast<long>(dng.size()));
    image->readMetadata();
    Exiv2::ExifData& exif = image->exifData();
    EXPECT_EQ(exif["Exif.Image.Make"].toString(), "SONY");
    EXPECT_EQ(exif["Exif.Image.Model"].toString(), "ZV-E10");
    EXPECT_EQ(exif["Exif.GPSInfo.GPSAltitudeRef"].toLong(), 1); // below sea level
    EXPECT_FLOAT_EQ(exif["Exif.GPSInfo.GPSAltitude"].toFloat(), 12.5f);
}

TEST(DngWriter, RejectsWhatItCannotWrite) {
    const QImage image = fixtures::makePattern(QSize(20, 10));
    std::vector<DngOptions> refused = {options(16, 0, 0), options(16, 0, 9), options(-1)};
    refused.emplace_back().previewQuality = 0;
    for (const DngGps gps : {DngGps{91, 0, {}}, DngGps{0, -180.5, {}}, DngGps{0, 0, std::nan("")}})
        refused.emplace_back().gps = gps;
    for (const DngOptions& o : refused)
        EXPECT_THROW(writeDng(image, o), std::invalid_argument);
    EXPECT_THROW(writeDng(QImage(), {}), std::invalid_argument);
    EXPECT_THROW(rawdetail::encodeLosslessJpeg({}, 2, 2, 3), std::invalid_argument);
    // A sliver still gets a preview of at least one pixel.
    EXPECT_NO_THROW(writeDng(QImage(500, 1, QImage::Format_RGB32), options(16)));
}
