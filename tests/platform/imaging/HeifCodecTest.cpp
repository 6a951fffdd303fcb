#include "platform/imaging/HeifCodec.h"
#include "CodecTestSupport.h"
#include "fixtures/ImageFixtures.h"
#include "platform/imaging/ImageMetadata.h"
#include "platform/imaging/ImagingError.h"
#include "support/TestSupport.h"

#include <QDir>
#include <gtest/gtest.h>

using namespace imaging;
using fixtures::describeQuadrants;

namespace {

const QSize kUpright(128, 96);

ExifFields withOrientation(int orientation) {
    ExifFields fields;
    fields.orientation = orientation;
    return fields;
}

} // namespace

TEST(HeifDecode, EveryOrientationComesOutUprightOnce) {
    for (int orientation = 1; orientation <= 8; ++orientation) {
        const QByteArray heic = fixtures::makeHeic(kUpright, withOrientation(orientation));
        const QImage image = decodeHeif(heic);
        EXPECT_EQ(image.size(), kUpright) << "orientation " << orientation;
        EXPECT_EQ(describeQuadrants(image), "RG/BW") << "orientation " << orientation;
        // The EXIF tag is read as written. The extent is the container's: libheif 1.15 writes the
        // upright size there for a turned image (phones write the stored size, see the sample
        // test below).
        const ImageMetadata metadata = readImageMetadata(heic);
        EXPECT_EQ(metadata.orientation, orientation);
        EXPECT_EQ(metadata.pixelSize, kUpright);
    }
}

TEST(HeifDecode, UsesAThumbnailOnlyWhenItIsLargeEnough) {
    for (int orientation : {1, 6, 7}) {
        const QByteArray heic =
            fixtures::makeHeic(QSize(256, 192), withOrientation(orientation), 0.6, QSize(64, 48));
        // The thumbnail is drawn in the other palette, so its use shows in the colours.
        const QImage fromThumbnail = decodeHeif(heic, DecodeTarget::fill(QSize(32, 24)));
        EXPECT_EQ(fromThumbnail.size(), QSize(32, 24)) << "orientation " << orientation;
        EXPECT_EQ(describeQuadrants(fromThumbnail), "CM/YK") << "orientation " << orientation;
        const QImage exactThumbnail = decodeHeif(heic, DecodeTarget::longSide(64));
        EXPECT_EQ(exactThumbnail.size(), QSize(64, 48)) << "orientation " << orientation;
        EXPECT_EQ(describeQuadrants(exactThumbnail), "CM/YK") << "orientation " << orientation;

        const QImage fromPrimary = decodeHeif(heic, DecodeTarget::fill(QSize(65, 10)));
        EXPECT_EQ(fromPrimary.size(), QSize(65, 48)) << "orientation " << orientation;
        EXPECT_EQ(describeQuadrants(fromPrimary), "RG/BW") << "orientation " << orientation;
        const QImage full = decodeHeif(heic);
        EXPECT_EQ(full.size(), QSize(256, 192)) << "orientation " << orientation;
        EXPECT_EQ(describeQuadrants(full), "RG/BW") << "orientation " << orientation;
    }
}

TEST(HeifDecode, ReducesToTheTarget) {
    const QByteArray heic = fixtures::makeHeic(QSize(256, 192));
    EXPECT_EQ(decodeHeif(heic, DecodeTarget::fill(QSize(88, 88))).size(), QSize(117, 88));
    EXPECT_EQ(decodeHeif(heic, DecodeTarget::longSide(100)).size(), QSize(100, 75));
    EXPECT_EQ(decodeHeif(heic, DecodeTarget::longSide(1000)).size(), QSize(256, 192));
}

TEST(HeifDecode, PhoneFileRotatedByItsOwnPropertiesOnly) {
    TWINSLIM_REQUIRE_SAMPLES();
    // Stored 4000×3000 with irot 270° and EXIF orientation 6: upright it is portrait. Applying the
    // EXIF tag on top of libheif's rotation would turn it back to landscape.
    const QByteArray heic = testsupport::readFile(
        QDir(testsupport::samplesDir()).filePath("heic/immich__samsung-one-ui-6.heic"));
    ASSERT_FALSE(heic.isEmpty());
    EXPECT_EQ(readImageMetadata(heic).orientation, 6);
    EXPECT_EQ(readImageMetadata(heic).pixelSize, QSize(4000, 3000));
    EXPECT_EQ(decodeHeif(heic, DecodeTarget::longSide(512)).size(), QSize(384, 512)); // thumbnail
    EXPECT_EQ(decodeHeif(heic, DecodeTarget::longSide(600)).size(), QSize(450, 600)); // primary
}

TEST(HeifEncode, QualityExtremesAndClamping) {
    // Detail that the encoder cannot represent for free, so quality shows in the size.
    QImage picture = fixtures::makePattern(QSize(256, 192));
    const QByteArray noise = codectest::randomBytes(256 * 192);
    for (int y = 0; y < picture.height(); y += 2)
        for (int x = 0; x < picture.width(); ++x)
            picture.setPixel(x, y, qRgb(quint8(noise[y * 256 + x]), 128, 64));
    const QByteArray worst = encodeHeic(picture, 0.0);
    const QByteArray best = encodeHeic(picture, 1.0);
    EXPECT_LT(worst.size() * 3, best.size());
    EXPECT_EQ(encodeHeic(picture, -1.0), worst);
    EXPECT_EQ(encodeHeic(picture, 42.0), best);
    for (const QByteArray& heic : {worst, best})
        EXPECT_EQ(decodeHeif(heic).size(), QSize(256, 192));
    const QImage clean = decodeHeif(encodeHeic(fixtures::makePattern(kUpright), 1.0));
    EXPECT_EQ(describeQuadrants(clean), "RG/BW");
}

TEST(HeifEncode, TinyAndOddSizes) {
    for (const QSize size : {QSize(1, 1), QSize(2, 2), QSize(3, 5), QSize(17, 9), QSize(1000, 1)}) {
        QImage image(size, QImage::Format_RGB32);
        image.fill(qRgb(0, 0, 255));
        const QImage decoded = decodeHeif(encodeHeic(image, 0.8));
        EXPECT_EQ(decoded.size(), size);
        if (!decoded.isNull()) {
            EXPECT_GT(qBlue(decoded.pixel(0, 0)), 200) << size.width() << "x" << size.height();
        }
    }
}

TEST(HeifEncode, RejectsWhatItCannotWrite) {
    EXPECT_THROW(encodeHeic(QImage(), 0.5), ImagingError);
    EXPECT_THROW(encodeHeic(fixtures::makePattern(QSize(16, 16)), 0.5, "garbage"), ImagingError);
}

TEST(HeifEncode, CameraSizedImageFinishes) {
    // 12 MP with texture everywhere, as a photo would have.
    QImage picture(QSize(4000, 3000), QImage::Format_RGB32);
    const QByteArray noise = codectest::randomBytes(4096);
    for (int y = 0; y < picture.height(); ++y) {
        auto* line = reinterpret_cast<QRgb*>(picture.scanLine(y));
        for (int x = 0; x < picture.width(); ++x)
            line[x] = qRgb(x * 255 / 4000, y * 255 / 3000, quint8(noise[(x * 7 + y * 13) & 4095]));
    }
    const QByteArray heic = encodeHeic(picture, 0.8);
    EXPECT_GT(heic.size(), 10000);
    EXPECT_EQ(readImageMetadata(heic).pixelSize, QSize(4000, 3000));
}

TEST(HeifDecode, UnreadableDataGivesNullImage) {
    const QByteArray heic = fixtures::makeHeic(kUpright, withOrientation(3));
    for (const QByteArray& bytes :
         {QByteArray(), QByteArray("....ftypheic"), QByteArray("hello, world"),
          codectest::randomBytes(10000), fixtures::makeJpeg(QSize(32, 32))})
        EXPECT_TRUE(decodeHeif(bytes).isNull()) << bytes.left(16).toHex().constData();
    for (const QByteArray& cut : codectest::truncations(heic, 31))
        EXPECT_TRUE(decodeHeif(cut).isNull()) << "cut at " << cut.size();
}

TEST(HeifDecode, DamagedDataNeverCrashes) {
    const QByteArray heic = fixtures::makeHeic(kUpright, withOrientation(5), 0.6, QSize(32, 24));
    int decoded = 0;
    for (const QByteArray& copy : codectest::mutations(heic, 300)) {
        const QImage image = decodeHeif(copy, DecodeTarget::fill(QSize(16, 12)));
        const ImageMetadata metadata = readImageMetadata(copy);
        if (!image.isNull())
            ++decoded;
        EXPECT_TRUE(metadata.orientation >= 1 && metadata.orientation <= 8);
    }
    EXPECT_GT(decoded, 0);
}
