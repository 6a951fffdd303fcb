#include "ImagingTestSupport.h"
#include "fixtures/ImageFixtures.h"
#include "platform/imaging/ExifFields.h"
#include "platform/imaging/HeifCodec.h"
#include "platform/imaging/ImagingError.h"
#include "platform/imaging/JpegCodec.h"
#include "platform/imaging/Orientation.h"
#include "platform/imaging/YuvImage.h"

#include <QColor>
#include <algorithm>
#include <cmath>
#include <gtest/gtest.h>
#include <turbojpeg.h>
#include <vector>

using namespace imaging;
using fixtures::describeQuadrants;
using fixtures::meanDifference;
using imagingtest::summary;

namespace {

QByteArray jpegOf(const QImage& stored, int subsampling, int orientation = 0, bool cmyk = false) {
    ExifFields fields;
    fields.orientation = orientation;
    return fixtures::makeJpegWithSampling(stored, subsampling, fields, cmyk);
}

// The planes as RGB, by the JFIF equations (full range, BT.601), each chroma sample covering
// its 2 × 2 block.
QImage rgbOf(const YuvImage& yuv) {
    QImage out(yuv.size(), QImage::Format_RGB888);
    for (int y = 0; y < yuv.height(); ++y) {
        const uint8_t* luma =
            yuv.constBits(YuvImage::Y) + size_t(y) * yuv.bytesPerLine(YuvImage::Y);
        const uint8_t* cb =
            yuv.constBits(YuvImage::Cb) + size_t(y / 2) * yuv.bytesPerLine(YuvImage::Cb);
        const uint8_t* cr =
            yuv.constBits(YuvImage::Cr) + size_t(y / 2) * yuv.bytesPerLine(YuvImage::Cr);
        uchar* line = out.scanLine(y);
        for (int x = 0; x < yuv.width(); ++x) {
            const double Y = luma[x], b = cb[x / 2] - 128.0, r = cr[x / 2] - 128.0;
            const auto clamp = [](double v) { return uchar(std::clamp(std::lround(v), 0L, 255L)); };
            line[3 * x] = clamp(Y + 1.402 * r);
            line[3 * x + 1] = clamp(Y - 0.344136 * b - 0.714136 * r);
            line[3 * x + 2] = clamp(Y + 1.772 * b);
        }
    }
    return out;
}

// Smooth colour everywhere, so that averaging chroma changes little, but no two places alike.
QImage gradient(QSize size) {
    QImage image(size, QImage::Format_RGB32);
    for (int y = 0; y < size.height(); ++y)
        for (int x = 0; x < size.width(); ++x)
            image.setPixel(x, y,
                           qRgb(40 + 180 * x / size.width(), 30 + 200 * y / size.height(),
                                200 - 150 * (x + y) / (size.width() + size.height())));
    return image;
}

const int kSubsamplings[] = {TJSAMP_420, TJSAMP_422, TJSAMP_440, TJSAMP_444};

} // namespace

// Every orientation, every chroma layout that can become 4:2:0, sizes that cut the JPEG's blocks
// and chroma pairs: the planes show the picture upright, in the colours the RGB decoder gives.
TEST(YuvDecode, UprightAndInTheRgbDecodersColoursForEveryLayoutAndOrientation) {
    for (const QSize size : {QSize(45, 33), QSize(64, 48), QSize(50, 31), QSize(17, 70)})
        for (const int subsampling : kSubsamplings)
            for (int orientation = 1; orientation <= 8; ++orientation) {
                SCOPED_TRACE(testing::Message() << size.width() << "x" << size.height() << " samp "
                                                << subsampling << " orientation " << orientation);
                const QByteArray pattern = jpegOf(fixtures::makeStoredPattern(size, orientation),
                                                  subsampling, orientation);
                const YuvImage planes = decodeJpegYuv420(pattern);
                ASSERT_FALSE(planes.isNull());
                EXPECT_EQ(planes.size(), size);
                EXPECT_EQ(planes.planeSize(YuvImage::Cb),
                          QSize((size.width() + 1) / 2, (size.height() + 1) / 2));
                EXPECT_EQ(describeQuadrants(rgbOf(planes)), "RG/BW");

                // The same stored pixels turned by the RGB decoder's own orientation code.
                const int undo = orientation == 6 ? 8 : orientation == 8 ? 6 : orientation;
                const QImage stored = applyOrientation(gradient(size), undo);
                const QByteArray smooth = jpegOf(stored, subsampling, orientation);
                const QImage reference = decodeJpeg(smooth);
                ASSERT_EQ(reference.size(), size);
                // The RGB decoder interpolates chroma where rgbOf repeats it, and a mirrored odd
                // side averages two stored samples: a little apart, but less than chroma one
                // pixel off (2.5 to 4 here). On a side of a few pixels the gradient is too steep
                // to tell.
                if (std::min(size.width(), size.height()) >= 30) {
                    EXPECT_LT(meanDifference(rgbOf(decodeJpegYuv420(smooth)), reference), 2.3);
                }
            }
}

TEST(YuvDecode, GreyPicturesGetNeutralChroma) {
    const QSize size(37, 29);
    const QByteArray jpeg = jpegOf(gradient(size), TJSAMP_GRAY, 6);
    const YuvImage planes = decodeJpegYuv420(jpeg);
    ASSERT_FALSE(planes.isNull());
    EXPECT_EQ(planes.size(), size.transposed());
    for (const YuvImage::Plane p : {YuvImage::Cb, YuvImage::Cr})
        for (int y = 0; y < planes.planeSize(p).height(); ++y)
            for (int x = 0; x < planes.planeSize(p).width(); ++x)
                ASSERT_EQ(planes.constBits(p)[y * planes.bytesPerLine(p) + x], 128);
    EXPECT_LT(meanDifference(rgbOf(planes), decodeJpeg(jpeg)), 1.0);
}

// What cannot become 4:2:0 Y'CbCr as it is answers null, for the caller to take decodeJpeg.
TEST(YuvDecode, RefusesWhatItCannotTakeAsItIs) {
    const QImage picture = gradient(QSize(48, 32));
    EXPECT_TRUE(decodeJpegYuv420(jpegOf(picture, TJSAMP_411)).isNull());
    EXPECT_FALSE(decodeJpeg(jpegOf(picture, TJSAMP_411)).isNull()); // the RGB way still works
    const QByteArray cmyk = jpegOf(picture, TJSAMP_444, 0, true);
    ASSERT_FALSE(cmyk.isEmpty());
    EXPECT_TRUE(decodeJpegYuv420(cmyk).isNull());
    // Too large for the caller's limit: known from the header, either way up.
    const QByteArray turned = jpegOf(picture, TJSAMP_420, 6);
    EXPECT_EQ(decodeJpegYuv420(turned, 48).size(), QSize(32, 48));
    EXPECT_TRUE(decodeJpegYuv420(turned, 47).isNull());
    EXPECT_FALSE(decodeJpegYuv420(turned, 0).isNull());
    EXPECT_TRUE(decodeJpegYuv420({}).isNull());
    EXPECT_TRUE(decodeJpegYuv420("\xFF\xD8\xFF").isNull());
    // Data that ends early would leave a grey band: refused, as decodeJpeg refuses it.
    const QByteArray whole = jpegOf(picture, TJSAMP_420);
    for (const QByteArray& cut : imagingtest::truncations(whole, 97))
        EXPECT_EQ(decodeJpegYuv420(cut).isNull(), decodeJpeg(cut).isNull()) << cut.size();
    for (const QByteArray& changed : imagingtest::mutations(whole, 200))
        (void)decodeJpegYuv420(changed); // anything, but no crash and no sanitizer report
}

TEST(YuvImage, OrientedPlanesAndEdges) {
    EXPECT_TRUE(YuvImage(QSize()).isNull());
    EXPECT_TRUE(YuvImage(QSize(0, 10)).isNull());
    EXPECT_TRUE(YuvImage(QSize(70000, 2)).isNull());
    EXPECT_TRUE(YuvImage().oriented(6).isNull());
    // A 3 × 2 luma plane numbered in reading order, turned every way.
    YuvImage image(QSize(3, 2));
    ASSERT_FALSE(image.isNull());
    for (int i = 0; i < 6; ++i)
        image.bits(YuvImage::Y)[(i / 3) * image.bytesPerLine(YuvImage::Y) + i % 3] = uint8_t(i);
    for (const YuvImage::Plane p : {YuvImage::Cb, YuvImage::Cr})
        for (int x = 0; x < 2; ++x)
            image.bits(p)[x] = uint8_t(10 * x + p);
    const auto read = [](const YuvImage& yuv) {
        QString text;
        for (int y = 0; y < yuv.height(); ++y) {
            for (int x = 0; x < yuv.width(); ++x)
                text += QString::number(
                    yuv.constBits(YuvImage::Y)[y * yuv.bytesPerLine(YuvImage::Y) + x]);
            text += '/';
        }
        for (const YuvImage::Plane p : {YuvImage::Cb, YuvImage::Cr}) {
            text += ' ';
            for (int y = 0; y < yuv.planeSize(p).height(); ++y)
                for (int x = 0; x < yuv.planeSize(p).width(); ++x)
                    text += QString::number(yuv.constBits(p)[y * yuv.bytesPerLine(p) + x]) + ',';
        }
        return text;
    };
    // 012     as stored; the chroma samples cover columns 0-1 and 2. Where the odd side is
    // mirrored, the lone column comes first and the first chroma sample covers two stored ones.
    // 345
    EXPECT_EQ(read(image.oriented(1)), "012/345/ 1,11, 2,12,");
    EXPECT_EQ(read(image.oriented(2)), "210/543/ 6,1, 7,2,");
    EXPECT_EQ(read(image.oriented(3)), "543/210/ 6,1, 7,2,");
    EXPECT_EQ(read(image.oriented(4)), "345/012/ 1,11, 2,12,");
    EXPECT_EQ(read(image.oriented(5)), "03/14/25/ 1,11, 2,12,");
    EXPECT_EQ(read(image.oriented(6)), "30/41/52/ 1,11, 2,12,");
    EXPECT_EQ(read(image.oriented(7)), "52/41/30/ 6,1, 7,2,");
    EXPECT_EQ(read(image.oriented(8)), "25/14/03/ 6,1, 7,2,");
    EXPECT_EQ(read(image.oriented(0)), read(image.oriented(1)));
}

// The planes make the same HEIC picture as the RGB decode they stand for: the encoder reads them
// with the matrix and range the RGB way converts with.
TEST(YuvDecode, PlanesEncodeToTheSamePictureAsRgb) {
    const QSize size(96, 80);
    for (const int subsampling : {TJSAMP_420, TJSAMP_422}) {
        const QByteArray jpeg = jpegOf(applyOrientation(gradient(size), 8), subsampling, 6);
        const QByteArray exifBlock = buildExifBlock(imagingtest::exif(1, "2023:05:06 07:08:09"));
        const QImage thumbnail = decodeJpeg(jpeg, DecodeTarget::longSide(24));
        const QByteArray fromPlanes = encodeHeic(decodeJpegYuv420(jpeg), 0.9, exifBlock, thumbnail);
        const QByteArray fromRgb = encodeHeic(decodeJpeg(jpeg), 0.9, exifBlock, thumbnail);
        const QImage a = decodeHeif(fromPlanes), b = decodeHeif(fromRgb);
        ASSERT_EQ(a.size(), size);
        EXPECT_LT(meanDifference(a, b), 2.0);
        EXPECT_LT(meanDifference(a, decodeJpeg(jpeg)), 3.0);
        EXPECT_EQ(summary(readImageMetadata(fromPlanes)), summary(readImageMetadata(fromRgb)));
    }
    EXPECT_THROW(encodeHeic(YuvImage(), 0.5), ImagingError);
}
