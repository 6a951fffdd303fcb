#include "ImagingTestSupport.h"
#include "platform/imaging/ExifDate.h"
#include "platform/imaging/HeifCodec.h"
#include "platform/imaging/JpegCodec.h"
#include "platform/imaging/Orientation.h"
#include "platform/imaging/RawDecoder.h"

#include <QMap>
#include <gtest/gtest.h>

// What phones and cameras really write. The RAW samples are trimmed to their metadata and
// previews: a full decode of them fails, so their pictures come from embedded previews.

using namespace imaging;
using imagingtest::samplePath;
using imagingtest::summary;

// Every sample as the manifest describes it, alike from path and bytes, with a thumbnail of the
// right shape (a phone's HEIC turned by its own properties only, never by the EXIF tag on top); a
// camera's EXIF thumbnail without its bars. The CR3 sample is cut off, so its date and offset come
// from its own EXIF boxes.
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
