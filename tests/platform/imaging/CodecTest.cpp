#include "ImagingTestSupport.h"
#include "fixtures/ImageFixtures.h"
#include "platform/imaging/HeifCodec.h"
#include "platform/imaging/ImagingError.h"
#include "platform/imaging/JpegCodec.h"
#include "platform/imaging/Orientation.h"

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

// The 64 luminance quantisation values of the first DQT segment.
QList<int> firstQuantTable(const QByteArray& jpeg) {
    const qsizetype at = jpeg.indexOf("\xFF\xDB");
    QList<int> values;
    for (int i = 0; at >= 0 && i < 64 && at + 5 + i < jpeg.size(); ++i)
        values.append(quint8(jpeg[at + 5 + i]));
    return values;
}

} // namespace

TEST(Codecs, EveryOrientationComesOutUprightOnce) {
    const QSize upright(128, 96);
    for (const Codec& codec : kCodecs) {
        for (int orientation = 1; orientation <= 8; ++orientation) {
            SCOPED_TRACE(codec.name + " orientation " + std::to_string(orientation));
            const QByteArray bytes = codec.encode(fixtures::makeStoredPattern(upright, orientation),
                                                  0.8, buildExifBlock(exif(orientation)));
            for (const DecodeTarget& target :
                 {DecodeTarget::fullSize(), DecodeTarget::fill({16, 12})}) {
                const QImage image = codec.decode(bytes, target);
                EXPECT_EQ(image.size(), target.isFullSize() ? upright : QSize(16, 12));
                EXPECT_EQ(describeQuadrants(image), "RG/BW");
            }
            // The tag as written; the size as stored for JPEG, while libheif 1.15 writes the
            // upright extent for a turned HEIC (phones write the stored one).
            const ImageMetadata m = readImageMetadata(bytes);
            EXPECT_EQ(m.orientation, orientation);
            EXPECT_EQ(m.pixelSize,
                      codec.name == "JPEG" ? orientedSize(upright, orientation) : upright);
        }
    }
}

// The cheapest decode that reaches the target: the smallest sufficient TurboJPEG scale (1/8, 1/4,
// 3/8, 1/2, 5/8, 3/4, 7/8, 1) of the upright picture, never enlarged; a stored HEIC thumbnail,
// drawn in the other palette so that its use shows, only when it is large enough.
TEST(Codecs, ReducedDecodesPickTheCheapestSufficientSource) {
    // Stored 600×800 and shown 800×600, 300 high upright needs half size, not 3/8.
    const QList<QByteArray> jpegs = {fixtures::makeJpeg(QSize(800, 600), exif(1)),
                                     fixtures::makeJpeg(QSize(800, 600), exif(6))};
    QList<QByteArray> heics;
    for (int orientation : {1, 6, 7})
        heics.append(fixtures::makeHeic(QSize(256, 192), exif(orientation), 0.6, QSize(64, 48)));
    const std::tuple<const QList<QByteArray>*, DecodeTarget, QSize, const char*> cases[] = {
        {&jpegs, DecodeTarget::fill({88, 88}), {200, 150}, "RG/BW"},
        {&jpegs, DecodeTarget::fit({88, 88}), {100, 75}, "RG/BW"},
        {&jpegs, DecodeTarget::longSide(400), {400, 300}, "RG/BW"},
        {&jpegs, DecodeTarget::longSide(401), {500, 375}, "RG/BW"},
        {&jpegs, DecodeTarget::fill({10, 300}), {400, 300}, "RG/BW"},
        {&jpegs, DecodeTarget::fill({2000, 2000}), {800, 600}, "RG/BW"},
        {&jpegs, DecodeTarget::fullSize(), {800, 600}, "RG/BW"},
        {&heics, DecodeTarget::fill({32, 24}), {32, 24}, "CM/YK"},
        {&heics, DecodeTarget::longSide(64), {64, 48}, "CM/YK"},
        {&heics, DecodeTarget::fill({65, 10}), {65, 48}, "RG/BW"},
        {&heics, DecodeTarget::fill({88, 88}), {117, 88}, "RG/BW"},
        {&heics, DecodeTarget::longSide(1000), {256, 192}, "RG/BW"},
        {&heics, DecodeTarget::fullSize(), {256, 192}, "RG/BW"},
    };
    for (const auto& [inputs, target, expected, quadrants] : cases) {
        for (qsizetype i = 0; i < inputs->size(); ++i) {
            SCOPED_TRACE(testing::PrintToString(target.size) + " input " + std::to_string(i));
            const QImage image = (inputs == &jpegs ? decodeJpeg : decodeHeif)((*inputs)[i], target);
            EXPECT_EQ(image.size(), expected);
            EXPECT_EQ(describeQuadrants(image), quadrants);
        }
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
    // libjpeg quality 100 quantises by 1, quality 1 by the baseline maximum of 255.
    EXPECT_EQ(firstQuantTable(encodeJpeg(picture, 1.0)), QList<int>(64, 1));
    EXPECT_TRUE(firstQuantTable(encodeJpeg(picture, 0.0)).contains(255));
}

TEST(JpegEncode, ExifSegmentFollowsJfifHeaderAndFitsOneSegment) {
    const QImage picture = fixtures::makePattern(QSize(16, 16));
    const QByteArray block = buildExifBlock(exif(1, "2020:01:02 03:04:05"));
    const QByteArray jpeg = encodeJpeg(picture, 0.8, block);
    EXPECT_EQ(jpeg.left(4), QByteArray("\xFF\xD8\xFF\xE0"));
    const qsizetype app1 = 4 + ((quint8(jpeg[4]) << 8) | quint8(jpeg[5]));
    EXPECT_EQ(jpeg.mid(app1, 2), QByteArray("\xFF\xE1"));
    EXPECT_EQ(jpeg.mid(app1 + 4, 10), QByteArray("Exif\0\0II*\0", 10));
    // A block that already carries the APP1 prefix is not prefixed twice.
    EXPECT_EQ(encodeJpeg(picture, 0.8, QByteArray("Exif\0\0", 6) + block), jpeg);
    // One APP1 segment holds at most 64 KB.
    const QByteArray huge = QByteArray("II*\0", 4) + QByteArray(70000, '\0');
    EXPECT_THROW(encodeJpeg(picture, 0.8, huge), ImagingError);
}

// Nothing for what is not a picture or is cut short (rather than a grey-filled picture), and no
// crash for damaged data, of which some still decodes: damage in the compressed data only
// garbles pixels.
TEST(Codecs, BadDataGivesNullImageNeverACrash) {
    const ExifFields fields = exif(5, "2020:01:02 03:04:05");
    const QByteArray files[] = {fixtures::makeJpeg(QSize(128, 96), fields),
                                fixtures::makeHeic(QSize(128, 96), fields, 0.6, QSize(32, 24))};
    for (int i = 0; i < 2; ++i) {
        const Codec& codec = kCodecs[i];
        for (const QByteArray& bytes :
             {QByteArray(), QByteArray("\xFF"), QByteArray("\xFF\xD8\xFF"),
              QByteArray("....ftypheic"), QByteArray("\x89PNG\r\n\x1A\n", 8),
              imagingtest::randomBytes(10000), files[1 - i]})
            EXPECT_TRUE(codec.decode(bytes, {}).isNull())
                << codec.name << " " << bytes.left(16).toHex().constData();
        // A JPEG's last bytes before its end marker may go unnoticed.
        const QByteArray whole =
            i == 0 ? files[0].left(files[0].lastIndexOf("\xFF\xD9") - 8) : files[1];
        for (const QByteArray& cut : imagingtest::truncations(whole, i == 0 ? 29 : 53))
            EXPECT_TRUE(codec.decode(cut, DecodeTarget::fill(QSize(16, 12))).isNull())
                << codec.name << " cut at " << cut.size();
        int decoded = 0;
        for (const QByteArray& copy : imagingtest::mutations(files[i], 200)) {
            decoded += !codec.decode(copy, DecodeTarget::fill(QSize(16, 12))).isNull();
            const int orientation = readImageMetadata(copy).orientation;
            EXPECT_TRUE(orientation >= 1 && orientation <= 8) << codec.name;
        }
        EXPECT_GT(decoded, 0) << codec.name;
    }
}
