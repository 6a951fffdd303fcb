#include "ImagingTestSupport.h"
#include "fixtures/DngFixture.h"
#include "fixtures/ImageFixtures.h"
#include "platform/imaging/HeifCodec.h"
#include "platform/imaging/ImagingError.h"
#include "platform/imaging/JpegCodec.h"
#include "platform/imaging/RawDecoder.h"

#include <QTemporaryDir>
#include <cmath>
#include <gtest/gtest.h>

using namespace imaging;
using fixtures::describeQuadrants;
using imagingtest::exif;

namespace {

// The two codecs side by side, for the tests that ask both the same.
struct Codec {
    std::string name;
    QImage (*decode)(const QByteArray&, const DecodeTarget&);
    QByteArray (*encode)(const QImage&, double quality, const QByteArray& exifBlock);
};

const Codec kCodecs[] = {
    {"JPEG", &decodeJpeg,
     [](const QImage& i, double q, const QByteArray& b) { return encodeJpeg(i, q, b); }},
    {"HEIC", &decodeHeif,
     [](const QImage& i, double q, const QByteArray& b) { return encodeHeic(i, q, b); }},
};

} // namespace

// The cheapest decode that reaches the target: the smallest sufficient TurboJPEG scale (1/8, 1/4,
// 3/8, 1/2, 5/8, 3/4, 7/8, 1) of the upright picture, never enlarged; a stored thumbnail, drawn in
// the other palette so that its use shows, only when it is large enough; a RAW file's JPEG
// preview, at such a scale, while it satisfies the target, else its sensor data.
TEST(Codecs, ReducedDecodesPickTheCheapestSufficientSource) {
    using Decode = QImage (*)(const QByteArray&, const DecodeTarget&);
    const Decode raw = decodeRaw;
    const Decode exifThumbnail = [](const QByteArray& bytes, const DecodeTarget& target) {
        return decodeJpegExifThumbnail(bytes, target);
    };
    QList<QByteArray> jpegs, cameras, heics, dngs;
    for (int orientation : {1, 6}) {
        // Stored 600×800 and shown 800×600, 300 high upright needs half size, not 3/8.
        jpegs.append(fixtures::makeJpeg(QSize(800, 600), exif(orientation)));
        // A camera's 4:3 thumbnail of a 3:2 picture, served without its bars: 160 × 106.
        cameras.append(
            fixtures::makeJpegWithExifThumbnail({480, 320}, {160, 120}, exif(orientation)));
    }
    for (int orientation : {1, 6, 7})
        heics.append(fixtures::makeHeic(QSize(256, 192), exif(orientation), 0.6, QSize(64, 48)));
    // 240 × 160 with a 120 × 80 preview.
    for (int orientation = 1; orientation <= 8; ++orientation)
        dngs.append(fixtures::makeDng(QSize(240, 160), {}, {}, orientation, 120));
    const std::tuple<const QList<QByteArray>*, Decode, DecodeTarget, QSize, const char*> cases[] = {
        {&jpegs, decodeJpeg, DecodeTarget::fill({88, 88}), {200, 150}, "RG/BW"},
        {&jpegs, decodeJpeg, DecodeTarget::fit({88, 88}), {100, 75}, "RG/BW"},
        {&jpegs, decodeJpeg, DecodeTarget::longSide(400), {400, 300}, "RG/BW"},
        {&jpegs, decodeJpeg, DecodeTarget::longSide(401), {500, 375}, "RG/BW"},
        {&jpegs, decodeJpeg, DecodeTarget::fill({10, 300}), {400, 300}, "RG/BW"},
        {&jpegs, decodeJpeg, DecodeTarget::fill({2000, 2000}), {800, 600}, "RG/BW"},
        {&jpegs, decodeJpeg, DecodeTarget::fullSize(), {800, 600}, "RG/BW"},
        {&cameras, exifThumbnail, DecodeTarget::fill({106, 106}), {160, 106}, "CM/YK"},
        {&cameras, exifThumbnail, DecodeTarget::fit({150, 150}), {160, 106}, "CM/YK"},
        {&cameras, exifThumbnail, DecodeTarget::fill({107, 107}), {0, 0}, "null"},
        {&cameras, exifThumbnail, DecodeTarget::fill({88, 150}), {0, 0}, "null"}, // turned
        {&cameras, exifThumbnail, DecodeTarget::fullSize(), {0, 0}, "null"},
        {&heics, decodeHeif, DecodeTarget::fill({32, 24}), {32, 24}, "CM/YK"},
        {&heics, decodeHeif, DecodeTarget::longSide(64), {64, 48}, "CM/YK"},
        {&heics, decodeHeif, DecodeTarget::fill({65, 10}), {65, 48}, "RG/BW"},
        {&heics, decodeHeif, DecodeTarget::fill({88, 88}), {117, 88}, "RG/BW"},
        {&heics, decodeHeif, DecodeTarget::longSide(1000), {256, 192}, "RG/BW"},
        {&heics, decodeHeif, DecodeTarget::fullSize(), {256, 192}, "RG/BW"},
        {&dngs, raw, DecodeTarget::fit({44, 44}), {45, 30}, "RG/BW"},     // 3/8
        {&dngs, raw, DecodeTarget::fill({44, 44}), {75, 50}, "RG/BW"},    // 5/8
        {&dngs, raw, DecodeTarget::fit({100, 100}), {105, 70}, "RG/BW"},  // 7/8
        {&dngs, raw, DecodeTarget::fit({120, 120}), {120, 80}, "RG/BW"},  // the preview itself,
        {&dngs, raw, DecodeTarget::fit({121, 121}), {240, 160}, "RG/BW"}, // one pixel more: sensor
        {&dngs, raw, DecodeTarget::fill({120, 80}), {120, 80}, "RG/BW"},  // upright in any turn
        {&dngs, raw, DecodeTarget::fill({100, 100}), {240, 160}, "RG/BW"},
        {&dngs, raw, DecodeTarget::fullSize(), {240, 160}, "RG/BW"},
    };
    for (const auto& [inputs, decode, target, expected, quadrants] : cases) {
        for (qsizetype i = 0; i < inputs->size(); ++i) {
            SCOPED_TRACE(testing::PrintToString(target.size) + " input " + std::to_string(i));
            const QImage image = decode((*inputs)[i], target);
            EXPECT_EQ(image.size(), expected);
            EXPECT_EQ(describeQuadrants(image), quadrants);
            // The first row is the thumbnail's cyan, not a camera's black bar.
            if (inputs == &cameras && !image.isNull()) {
                EXPECT_GT(image.pixelColor(40, 0).blue(), 160);
            }
        }
    }
}

// A RAW file from a descriptor or a path gives what its bytes give; without its sensor data only
// the preview is left, even for full size, and without a preview only the sensor data.
TEST(RawDecoder, EveryWayInAndWhatACutOrBareFileLeaves) {
    QTemporaryDir dir;
    ASSERT_TRUE(dir.isValid());
    const DecodeTarget small = DecodeTarget::fit({44, 44});
    for (int orientation = 1; orientation <= 8; ++orientation) {
        SCOPED_TRACE("orientation " + std::to_string(orientation));
        const QByteArray dng = fixtures::makeDng(QSize(240, 160), {}, {}, orientation, 120);
        const QString path = dir.filePath(QStringLiteral("IMG_%1.DNG").arg(orientation));
        testsupport::writeFile(path, dng);
        const int fd = imagingtest::openFile(path);
        for (const DecodeTarget& target : {small, DecodeTarget::fullSize()})
            EXPECT_EQ(decodeRaw(fd, target), decodeRaw(dng, target));
        ::close(fd);
        EXPECT_EQ(decodeRaw(path, small), decodeRaw(dng, small));
        const auto info = rawPreviewInfo(path).value_or(RawPreviewInfo{});
        EXPECT_EQ(info.size, QSize(120, 80));
        EXPECT_EQ(info.orientation, orientation);
        EXPECT_EQ(decodeRaw(dng.left(dng.size() - 100)).size(), QSize(120, 80));
        const QByteArray bare = fixtures::makeDng(QSize(240, 160), {}, {}, orientation, 0);
        EXPECT_EQ(describeQuadrants(decodeRaw(bare, small)), "RG/BW");
        EXPECT_FALSE(rawPreviewInfo(bare).has_value());
    }
    testsupport::writeFile(dir.filePath(QStringLiteral("empty.dng")), {});
    for (const QString& name :
         {QStringLiteral("empty.dng"), QStringLiteral("missing.dng"), QString()}) {
        EXPECT_TRUE(decodeRaw(dir.filePath(name), small).isNull());
        EXPECT_FALSE(rawPreviewInfo(dir.filePath(name)).has_value());
    }
}

// Quality extremes, clamped; tiny, odd and unusual input; refusals.
TEST(Codecs, EncoderEdges) {
    // Detail that the encoder cannot represent for free, so quality shows in the size.
    QImage picture = fixtures::makePattern(QSize(256, 192));
    const QByteArray noise = imagingtest::randomBytes(256 * 192);
    for (int y = 0; y < picture.height(); y += 2)
        for (int x = 0; x < picture.width(); ++x)
            picture.setPixel(x, y, qRgb(quint8(noise[y * 256 + x]), 128, 64));
    const std::tuple<QSize, QImage::Format, QRgb> images[] = {
        {{1, 1}, QImage::Format_RGB32, qRgb(0, 0, 255)},
        {{1000, 1}, QImage::Format_RGB16, qRgb(255, 0, 0)},
        {{33, 17}, QImage::Format_ARGB32_Premultiplied, qRgb(0, 0, 255)},
        {{17, 9}, QImage::Format_Grayscale8, qRgb(255, 255, 255)},
    };
    for (const Codec& codec : kCodecs) {
        SCOPED_TRACE(codec.name);
        const QByteArray worst = codec.encode(picture, 0.0, {});
        const QByteArray best = codec.encode(picture, 1.0, {});
        EXPECT_LT(worst.size() * 3, best.size());
        EXPECT_EQ(codec.encode(picture, -1.0, {}), worst);
        EXPECT_EQ(codec.encode(picture, std::nan(""), {}), worst);
        EXPECT_EQ(codec.encode(picture, 42.0, {}), best);
        EXPECT_EQ(codec.decode(worst, {}).size(), picture.size());
        for (const auto& [size, format, colour] : images) {
            QImage image(size, format);
            image.fill(colour);
            const QImage decoded = codec.decode(codec.encode(image, 0.9, {}), {});
            EXPECT_EQ(decoded.size(), size);
            EXPECT_EQ(describeQuadrants(decoded), describeQuadrants(image));
        }
        EXPECT_THROW(codec.encode(QImage(), 0.5, {}), ImagingError);
        EXPECT_THROW(codec.encode(picture, 0.5, "not an exif block"), ImagingError);
    }
    // One APP1 segment holds at most 64 KB; a block that already carries the APP1 prefix is not
    // prefixed twice.
    EXPECT_THROW(encodeJpeg(picture, 0.8, QByteArray("II*\0", 4) + QByteArray(70000, '\0')),
                 ImagingError);
    const QByteArray block = buildExifBlock(exif(1, "2020:01:02 03:04:05"));
    EXPECT_EQ(encodeJpeg(picture, 0.8, QByteArray("Exif\0\0", 6) + block),
              encodeJpeg(picture, 0.8, block));
}
