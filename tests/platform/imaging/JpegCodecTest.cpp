#include "platform/imaging/JpegCodec.h"
#include "CodecTestSupport.h"
#include "fixtures/ImageFixtures.h"
#include "platform/imaging/ImagingError.h"

#include <QFileInfo>
#include <QProcess>
#include <QTemporaryDir>
#include <gtest/gtest.h>

using namespace imaging;
using fixtures::describeQuadrants;

namespace {

const QSize kUpright(128, 96);

imaging::ExifFields withOrientation(int orientation) {
    imaging::ExifFields fields;
    fields.orientation = orientation;
    return fields;
}

// The 64 luminance quantisation values of the first DQT segment.
QList<int> firstQuantTable(const QByteArray& jpeg) {
    const qsizetype at = jpeg.indexOf("\xFF\xDB");
    if (at < 0 || at + 5 + 64 > jpeg.size())
        return {};
    QList<int> values;
    for (int i = 0; i < 64; ++i)
        values.append(quint8(jpeg[at + 5 + i]));
    return values;
}

} // namespace

TEST(JpegDecode, EveryOrientationComesOutUpright) {
    for (int orientation = 1; orientation <= 8; ++orientation) {
        const QByteArray jpeg = fixtures::makeJpeg(kUpright, withOrientation(orientation));
        const QImage image = decodeJpeg(jpeg);
        EXPECT_EQ(image.size(), kUpright) << "orientation " << orientation;
        EXPECT_EQ(describeQuadrants(image), "RG/BW") << "orientation " << orientation;
        // Reduced decodes go through the same orientation step.
        const QImage small = decodeJpeg(jpeg, DecodeTarget::fill(QSize(16, 12)));
        EXPECT_EQ(small.size(), QSize(16, 12)) << "orientation " << orientation;
        EXPECT_EQ(describeQuadrants(small), "RG/BW") << "orientation " << orientation;
    }
}

// Checks the fixture itself against an independent reader, so the orientation test above cannot
// pass through one misunderstanding shared by fixture and decoder.
TEST(JpegDecode, FixtureOrientationAgreesWithImageMagick) {
    const QString convert = QStringLiteral("/usr/bin/convert");
    if (!QFileInfo(convert).isExecutable())
        GTEST_SKIP() << "ImageMagick's /usr/bin/convert is not installed";
    QTemporaryDir dir;
    ASSERT_TRUE(dir.isValid());
    for (int orientation = 1; orientation <= 8; ++orientation) {
        const QString path = dir.filePath(QStringLiteral("o%1.jpg").arg(orientation));
        fixtures::makeJpegFile(path, kUpright, withOrientation(orientation));
        QProcess process;
        process.start(convert, {path, QStringLiteral("-auto-orient"), QStringLiteral("ppm:-")});
        ASSERT_TRUE(process.waitForFinished(30000));
        QImage shown;
        ASSERT_TRUE(shown.loadFromData(process.readAllStandardOutput(), "PPM"))
            << "orientation " << orientation;
        EXPECT_EQ(shown.size(), kUpright) << "orientation " << orientation;
        EXPECT_EQ(describeQuadrants(shown), "RG/BW") << "orientation " << orientation;
    }
}

TEST(JpegDecode, PicksTheSmallestSufficientScale) {
    const QByteArray jpeg = fixtures::makeJpeg(QSize(800, 600));
    // TurboJPEG offers 1/8, 1/4, 3/8, 1/2, 5/8, 3/4, 7/8 and 1 below full size.
    EXPECT_EQ(decodeJpeg(jpeg, DecodeTarget::fill(QSize(88, 88))).size(), QSize(200, 150));
    EXPECT_EQ(decodeJpeg(jpeg, DecodeTarget::fit(QSize(88, 88))).size(), QSize(100, 75));
    EXPECT_EQ(decodeJpeg(jpeg, DecodeTarget::longSide(400)).size(), QSize(400, 300));
    EXPECT_EQ(decodeJpeg(jpeg, DecodeTarget::longSide(401)).size(), QSize(500, 375));
    EXPECT_EQ(decodeJpeg(jpeg, DecodeTarget::fill(QSize(800, 600))).size(), QSize(800, 600));
    // Never enlarged.
    EXPECT_EQ(decodeJpeg(jpeg, DecodeTarget::fill(QSize(2000, 2000))).size(), QSize(800, 600));
    EXPECT_EQ(decodeJpeg(jpeg, DecodeTarget::longSide(5000)).size(), QSize(800, 600));
    EXPECT_EQ(decodeJpeg(jpeg).size(), QSize(800, 600));
}

TEST(JpegDecode, ScaleIsChosenForTheUprightPicture) {
    // Stored 600×800, shown 800×600: a 300-pixel-high target needs half size, not 3/8.
    const QByteArray jpeg = fixtures::makeJpeg(QSize(800, 600), withOrientation(6));
    const QImage image = decodeJpeg(jpeg, DecodeTarget::fill(QSize(10, 300)));
    EXPECT_EQ(image.size(), QSize(400, 300));
    EXPECT_EQ(describeQuadrants(image), "RG/BW");
    EXPECT_EQ(decodeJpeg(jpeg, DecodeTarget::fill(QSize(88, 88))).size(), QSize(200, 150));
}

TEST(JpegEncode, QualityMapsOntoOneToHundredAndClamps) {
    const QImage picture = fixtures::makePattern(kUpright);
    const QByteArray best = encodeJpeg(picture, 1.0);
    const QByteArray worst = encodeJpeg(picture, 0.0);
    // libjpeg quality 100 quantises by 1, quality 1 by the baseline maximum of 255.
    EXPECT_EQ(firstQuantTable(best), QList<int>(64, 1));
    EXPECT_TRUE(firstQuantTable(worst).contains(255));
    EXPECT_EQ(encodeJpeg(picture, 7.5), best);
    EXPECT_EQ(encodeJpeg(picture, -3), worst);
    EXPECT_EQ(encodeJpeg(picture, std::numeric_limits<double>::quiet_NaN()), worst);
    EXPECT_EQ(qualityPercent(0.5), 50);
    EXPECT_EQ(qualityPercent(0.004), 1);
    EXPECT_EQ(qualityPercent(0.996), 100);
    for (const QByteArray& jpeg : {best, worst}) {
        const QImage decoded = decodeJpeg(jpeg);
        EXPECT_EQ(decoded.size(), kUpright);
    }
    EXPECT_EQ(describeQuadrants(decodeJpeg(best)), "RG/BW");
}

TEST(JpegEncode, KeepsAnyInputFormatAndOddSizes) {
    QImage argb(QSize(33, 17), QImage::Format_ARGB32_Premultiplied);
    argb.fill(qRgba(0, 0, 255, 255));
    QImage gray(QSize(1, 1), QImage::Format_Grayscale8);
    gray.fill(200);
    for (const QImage& image : {argb, gray}) {
        const QImage decoded = decodeJpeg(encodeJpeg(image, 0.8));
        EXPECT_EQ(decoded.size(), image.size());
    }
    const QRgb blue = decodeJpeg(encodeJpeg(argb, 0.9)).pixel(16, 8);
    EXPECT_LT(qRed(blue), 30);
    EXPECT_GT(qBlue(blue), 220);
}

TEST(JpegEncode, RejectsWhatItCannotWrite) {
    EXPECT_THROW(encodeJpeg(QImage(), 0.8), ImagingError);
    const QImage picture = fixtures::makePattern(QSize(16, 16));
    EXPECT_THROW(encodeJpeg(picture, 0.8, "not an exif block"), ImagingError);
    // One APP1 segment holds at most 64 KB.
    QByteArray huge("II*\0", 4);
    huge.append(QByteArray(70000, '\0'));
    EXPECT_THROW(encodeJpeg(picture, 0.8, huge), ImagingError);
}

TEST(JpegEncode, ExifSegmentFollowsJfifHeader) {
    ExifFields fields;
    fields.dateTimeOriginal = QStringLiteral("2020:01:02 03:04:05");
    const QByteArray jpeg =
        encodeJpeg(fixtures::makePattern(QSize(16, 16)), 0.8, buildExifBlock(fields));
    ASSERT_GT(jpeg.size(), 30);
    EXPECT_EQ(jpeg.left(4), QByteArray("\xFF\xD8\xFF\xE0"));
    const qsizetype app1 = 4 + ((quint8(jpeg[4]) << 8) | quint8(jpeg[5]));
    EXPECT_EQ(jpeg.mid(app1, 2), QByteArray("\xFF\xE1"));
    EXPECT_EQ(jpeg.mid(app1 + 4, 10), QByteArray("Exif\0\0II*\0", 10));
    // A block that already carries the APP1 prefix is not prefixed twice.
    const QByteArray prefixed = encodeJpeg(fixtures::makePattern(QSize(16, 16)), 0.8,
                                           QByteArray("Exif\0\0", 6) + buildExifBlock(fields));
    EXPECT_EQ(prefixed, jpeg);
}

TEST(JpegDecode, UnreadableDataGivesNullImage) {
    const QByteArray jpeg = fixtures::makeJpeg(kUpright, withOrientation(6));
    for (const QByteArray& bytes :
         {QByteArray(), QByteArray("\xFF"), QByteArray("\xFF\xD8\xFF"), QByteArray("hello, world"),
          QByteArray("\x89PNG\r\n\x1A\n", 8), codectest::randomBytes(10000),
          fixtures::makeHeic(QSize(32, 32))})
        EXPECT_TRUE(decodeJpeg(bytes).isNull()) << bytes.left(16).toHex().constData();
    // Cut anywhere before the end of the image data: nothing, rather than a grey-filled picture.
    const qsizetype endOfImage = jpeg.lastIndexOf("\xFF\xD9");
    for (const QByteArray& cut : codectest::truncations(jpeg.left(endOfImage - 8), 13))
        EXPECT_TRUE(decodeJpeg(cut, DecodeTarget::fill(QSize(16, 12))).isNull())
            << "cut at " << cut.size();
}

TEST(JpegDecode, DamagedDataNeverCrashes) {
    const QByteArray jpeg = fixtures::makeJpeg(kUpright, withOrientation(8));
    int decoded = 0;
    for (const QByteArray& copy : codectest::mutations(jpeg, 300)) {
        const QImage image = decodeJpeg(copy, DecodeTarget::fill(QSize(32, 24)));
        if (!image.isNull())
            ++decoded;
    }
    // Damage inside the entropy-coded data only garbles pixels, so some copies still decode.
    EXPECT_GT(decoded, 0);
}
