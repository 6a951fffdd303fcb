#include "ImagingTestSupport.h"
#include "fixtures/DngFixture.h"
#include "fixtures/ImageFixtures.h"
#include "platform/imaging/ExifDate.h"
#include "platform/imaging/HeifCodec.h"
#include "platform/imaging/ImagingError.h"
#include "platform/imaging/JpegCodec.h"
#include "platform/imaging/Orientation.h"
#include "platform/imaging/RawDecoder.h"

#include <QMap>
#include <QTemporaryDir>
#include <atomic>
#include <cmath>
#include <gtest/gtest.h>
#include <thread>
#include <vector>

using namespace imaging;
using fixtures::describeQuadrants;
using imagingtest::exif;
using imagingtest::samplePath;
using imagingtest::summary;

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

// Every entry point on files of one orientation, as one line of text.
QString everyResult(int orientation, const QString& path) {
    const ExifFields fields =
        imagingtest::exif(orientation, "2022:08:14 14:12:31", "+03:00", 60.1699, 24.9384);
    const QByteArray jpeg = fixtures::makeJpeg(QSize(128, 96), fields);
    const QByteArray heic = fixtures::makeHeic(QSize(128, 96), fields, 0.6, QSize(32, 24));
    const QByteArray dng = fixtures::makeDng(QSize(96, 64), {}, {}, orientation, 48);
    testsupport::writeFile(path, jpeg);
    const auto image = [](const QImage& i) {
        return QString::fromStdString(testing::PrintToString(i.size())) + describeQuadrants(i);
    };
    const DecodeTarget small = DecodeTarget::fill({16, 12});
    return QStringList{summary(readImageMetadata(jpeg)),
                       summary(readImageMetadata(path)),
                       summary(readImageMetadata(heic)),
                       image(decodeJpeg(jpeg, small)),
                       image(decodeJpeg(jpeg, {})),
                       image(decodeHeif(heic)),
                       image(decodeHeif(heic, small)),
                       image(decodeRaw(dng, DecodeTarget::fit({30, 30}))),
                       image(decodeRaw(dng, DecodeTarget::fit({90, 90}))),
                       QString::number(rawPreviewInfo(dng).value_or(RawPreviewInfo{}).orientation),
                       QString::fromLatin1(encodeJpeg(fixtures::makePattern(QSize(48, 32)), 0.8,
                                                      buildExifBlock(fields))
                                               .toBase64())}
        .join(u'\n');
}

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
    QRandomGenerator noise(7);
    for (int y = 0; y < picture.height(); y += 2)
        for (int x = 0; x < picture.width(); ++x)
            picture.setPixel(x, y, qRgb(int(noise.bounded(256)), 128, 64));
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

// Everything the imaging library offers, from several threads at once as the image manager's
// pool calls it, each thread with files of its own orientation: every result must be the one
// computed alone, so no reader, writer or decoder may share state between calls.
TEST(ImagingConcurrency, AllEntryPointsFromManyThreads) {
    QTemporaryDir dir;
    ASSERT_TRUE(dir.isValid());
    QStringList alone;
    for (int orientation = 1; orientation <= 8; ++orientation)
        alone.append(everyResult(orientation, dir.filePath("alone")));
    std::atomic<int> failures{0};
    std::vector<std::thread> threads;
    for (int orientation = 1; orientation <= 8; ++orientation) {
        threads.emplace_back([&, orientation] {
            const QString path = dir.filePath(QString::number(orientation));
            for (int round = 0; round < 4; ++round)
                failures += everyResult(orientation, path) != alone[orientation - 1];
        });
    }
    for (std::thread& thread : threads)
        thread.join();
    EXPECT_EQ(failures.load(), 0);
}

// What phones and cameras really write, as the manifest describes it, alike from path and bytes,
// with a thumbnail of the right shape (a phone's HEIC turned by its own properties only, never by
// the EXIF tag on top); a camera's EXIF thumbnail without its bars. The CR3 sample is cut off, so
// its date and offset come from its own EXIF boxes.
TEST(Samples, AgreeWithTheManifest) {
    TWINSLIM_REQUIRE_SAMPLES();
    QList<QStringList> rows; // path, format, bytes, pixels, make, model, date, offset, …
    for (const QByteArray& line : testsupport::readFile(samplePath("manifest.tsv")).split('\n'))
        if (const QStringList cells = QString::fromUtf8(line).split('\t'); cells.size() >= 8)
            rows.append(cells);
    ASSERT_GT(rows.size(), 10);
    rows.removeFirst(); // the header
    QStringList paths;
    for (const QStringList& row : rows)
        paths.append(samplePath(row[0]));
    int exifThumbnails = 0;
    const QMap<QString, ImageFormat> formats = {
        {"HEIC", ImageFormat::Heif},     {"HEIF", ImageFormat::Heif}, {"JPEG", ImageFormat::Jpeg},
        {"CR3", ImageFormat::CameraRaw}, {"DNG", ImageFormat::Tiff},  {"ARW", ImageFormat::Tiff}};
    for (qsizetype i = 0; i < rows.size(); ++i) {
        const QStringList& row = rows[i];
        SCOPED_TRACE(row[0].toStdString());
        const QByteArray bytes = testsupport::readFile(paths[i]);
        ASSERT_FALSE(bytes.isEmpty());
        const ImageMetadata m = readImageMetadata(paths[i]);
        EXPECT_EQ(summary(m), summary(readImageMetadata(bytes)));
        EXPECT_EQ(m.format, formats.value(row[1], ImageFormat::Unknown));
        const std::optional<int> offset = row[7] == "-" ? std::nullopt : parseExifOffset(row[7]);
        EXPECT_EQ(m.offsetSeconds, offset);
        EXPECT_EQ(m.dateTimeOriginal.value_or("-"), row[6]);
        EXPECT_EQ(m.captureDate, parseExifDateTime(row[6], offset));
        if (offset) {
            EXPECT_EQ(m.captureDate.value_or(QDateTime()).offsetFromUtc(), *offset);
        }
        if (row[3] != "-") {
            EXPECT_EQ(m.pixelSize,
                      QSize(row[3].section('x', 0, 0).toInt(), row[3].section('x', 1, 1).toInt()));
        }

        // Thumbnails: reduced, upright, the picture's own aspect give or take rounding.
        const bool raw = row[0].startsWith("raw/");
        if (!raw) {
            const QSize upright = orientedSize(m.pixelSize, m.orientation);
            const QImage image = (row[1] == "JPEG" ? decodeJpeg : decodeHeif)(
                bytes, DecodeTarget::fill(QSize(88, 88)));
            EXPECT_TRUE(image.width() >= 88 && image.height() >= 88);
            EXPECT_LT(image.width(), upright.width());
            EXPECT_NEAR(image.width() / std::max(1.0, double(image.height())),
                        double(upright.width()) / upright.height(), 0.05);
            const QImage thumbnail = decodeJpegExifThumbnail(bytes, DecodeTarget::fill({88, 88}));
            exifThumbnails += !thumbnail.isNull();
            if (!thumbnail.isNull()) {
                EXPECT_NEAR(thumbnail.width() / double(thumbnail.height()),
                            double(upright.width()) / upright.height(), 0.05);
            }
        }
    }
    EXPECT_GT(exifThumbnails, 0);
}

// The RAW samples are trimmed to their metadata and previews: a full decode of them fails, so
// their pictures come from embedded previews.
TEST(Samples, RawPreviews) {
    TWINSLIM_REQUIRE_SAMPLES();
    // Preview info, then the sizes decoded for fill 88, fit 64, fit 2400 and full size.
    const std::pair<const char*, const char*> cases[] = {
        // The 1616 × 1080 preview lies beyond the cut; the 160 × 120 IFD1 thumbnail is whole.
        {"filetype__fixture-sony-zv-e10.arw", "120x160 o6: 90x120 60x80 120x160 120x160"},
        // The THMB box, turned by the orientation of CMT1.
        {"filetype__fixture.cr3", "120x160 o6: 90x120 60x80 120x160 120x160"},
        // LibRaw cannot open this DNG (JPEG XL sensor data); nothing better than its IFD0 preview.
        {"exifpy__nikon_z_9_he_dx_cropped.dng", "256x171 o1: 160x107 64x43 256x171 256x171"},
        // 8 KB whose preview offset points far beyond its end.
        {"exifpy__sony_alpha_a7iii_raw_image.ARW", "none: 0x0 0x0 0x0 0x0"},
    };
    for (const auto& [name, expected] : cases) {
        const QString path = samplePath(QStringLiteral("raw/") + name);
        const auto info = rawPreviewInfo(path);
        std::string found = info ? testing::PrintToString(info->size) + " o" +
                                       std::to_string(info->orientation) + ":"
                                 : "none:";
        for (const DecodeTarget& target :
             {DecodeTarget::fill({88, 88}), DecodeTarget::fit({64, 64}),
              DecodeTarget::fit({2400, 2400}), DecodeTarget::fullSize()}) {
            const QImage image = decodeRaw(path, target);
            found += " " + testing::PrintToString(image.size());
            // A photograph, not the black of sensor data read past the end of a cut-off file.
            const QImage average =
                image.scaled(1, 1, Qt::IgnoreAspectRatio, Qt::SmoothTransformation);
            EXPECT_TRUE(image.isNull() || qGray(average.pixel(0, 0)) > 40) << name;
        }
        EXPECT_EQ(found, expected);
    }
}
