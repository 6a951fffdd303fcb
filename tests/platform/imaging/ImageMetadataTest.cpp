#include "platform/imaging/ImageMetadata.h"
#include "ImagingTestSupport.h"
#include "fixtures/ImageFixtures.h"
#include "platform/imaging/JpegCodec.h"

#include <QTemporaryDir>
#include <gtest/gtest.h>

using namespace imaging;
using imagingtest::summary;

TEST(ImageMetadata, ContentDecidesNotNameAndUnreadableGivesEmptyValues) {
    const ExifFields fields = imagingtest::exif(1, "2023:07:14 10:22:33");
    QTemporaryDir dir;
    ASSERT_TRUE(dir.isValid());
    fixtures::makeJpegFile(dir.filePath("looks-like.heic"), QSize(32, 16), fields);
    fixtures::makeHeicFile(dir.filePath("looks-like.jpg"), QSize(32, 16), fields);
    fixtures::makeHeicFile(dir.filePath("no-extension"), QSize(32, 16), fields);
    for (const auto& [name, format] : {std::pair{"looks-like.heic", ImageFormat::Jpeg},
                                       std::pair{"looks-like.jpg", ImageFormat::Heif},
                                       std::pair{"no-extension", ImageFormat::Heif}}) {
        const ImageMetadata m = readImageMetadata(dir.filePath(name));
        EXPECT_EQ(m.format, format) << name;
        EXPECT_EQ(m.dateTimeOriginal, "2023:07:14 10:22:33") << name;
    }
    testsupport::writeFile(dir.filePath("empty.jpg"), {});
    testsupport::writeFile(dir.filePath("notes.txt"), QByteArray("II*\0", 4) + " but then text");
    testsupport::writeFile(dir.filePath("noise.heic"), imagingtest::randomBytes(5000));
    const QString empty = summary(ImageMetadata{});
    for (const QString& path :
         {dir.filePath("missing.jpg"), dir.filePath("empty.jpg"), dir.filePath("notes.txt"),
          dir.filePath("noise.heic"), dir.path(), QString()})
        EXPECT_EQ(summary(readImageMetadata(path)), empty) << path.toStdString();
    for (const QByteArray& bytes :
         {QByteArray(), QByteArray("\xFF\xD8\xFF"), QByteArray("....ftypheic", 12),
          QByteArray("II*\0\x08\0\0\0", 8), QByteArray("MM\0*", 4),
          imagingtest::randomBytes(100000, 3)})
        EXPECT_EQ(summary(readImageMetadata(bytes)), empty) << bytes.left(12).toHex().constData();
}

// Cut or damaged files never yield a wrong date or an impossible value, and never crash.
TEST(ImageMetadata, CutOrDamagedFilesNeverYieldWrongValues) {
    ExifFields fields = imagingtest::exif(6, "2023:07:14 10:22:33", "+02:00", 48.8584, 2.2945);
    fields.pixelWidth = 64;
    fields.pixelHeight = 48;
    const QByteArray jpeg = fixtures::makeJpeg(QSize(64, 48), fields);
    for (const QByteArray& file : {jpeg, fixtures::makeHeic(QSize(64, 48), fields)})
        for (const QByteArray& cut : imagingtest::truncations(file, 37)) {
            const ImageMetadata m = readImageMetadata(cut);
            EXPECT_EQ(m.dateTimeOriginal.value_or("2023:07:14 10:22:33"), "2023:07:14 10:22:33")
                << "cut at " << cut.size();
            EXPECT_TRUE(m.orientation == 1 || m.orientation == 6) << "cut at " << cut.size();
        }
    // Cut inside the EXIF segment: nothing can be read.
    const qsizetype app1 = jpeg.indexOf("\xFF\xE1");
    ASSERT_GT(app1, 0);
    const qsizetype app1End = app1 + 2 + ((quint8(jpeg[app1 + 2]) << 8) | quint8(jpeg[app1 + 3]));
    for (qsizetype n = 0; n < app1End; n += 7)
        EXPECT_FALSE(readImageMetadata(jpeg.left(n)).dateTimeOriginal.has_value()) << n;
    // Damage concentrated on the metadata, where parsers follow offsets.
    const QByteArray head = jpeg.left(jpeg.indexOf("\xFF\xDB"));
    for (const QByteArray& damagedHead : imagingtest::mutations(head, 400, 99)) {
        const ImageMetadata m = readImageMetadata(damagedHead + jpeg.mid(head.size()));
        EXPECT_TRUE(m.orientation >= 1 && m.orientation <= 8);
        EXPECT_LE(std::abs(m.latitude.value_or(0)), 90.0);
        EXPECT_LE(std::abs(m.longitude.value_or(0)), 180.0);
    }
}

// GPS tags of the wrong type or count (coordinates as text, two rationals, a numeric reference)
// give no location: read as numbers, their bytes would make up a place.
TEST(ImageMetadata, MistypedGpsTagsGiveNoLocation) {
    const QByteArray block = buildExifBlock(imagingtest::exif(1, {}, {}, 48.8584, 2.2945));
    // IFD entries: tag, type, count (little-endian); a reference's letter is stored inline.
    const QByteArray lat("\x02\0\x05\0\x03\0\0\0", 8), lon("\x04\0\x05\0\x03\0\0\0", 8);
    const QByteArray latRef("\x01\0\x02\0\x02\0\0\0N", 9);
    const struct {
        const char* what;
        QByteArray from, to;
        const char* place;
    } cases[] = {
        {"as written", lat, lat, "48.8584000,2.2945000"},
        {"latitude as text", lat, QByteArray("\x02\0\x02\0\x18\0\0\0", 8), "-"},
        {"latitude of two rationals", lat, QByteArray("\x02\0\x05\0\x02\0\0\0", 8), "-"},
        {"longitude of four rationals", lon, QByteArray("\x04\0\x05\0\x04\0\0\0", 8), "-"},
        {"longitude as shorts", lon, QByteArray("\x04\0\x03\0\x03\0\0\0", 8), "-"},
        {"latitude signed, as some phones write it", lat, QByteArray("\x02\0\x0A\0\x03\0\0\0", 8),
         "48.8584000,2.2945000"},
        {"reference as a byte", latRef, QByteArray("\x01\0\x01\0\x02\0\0\0N", 9), "-"},
        {"reference not a direction", latRef, QByteArray("\x01\0\x02\0\x02\0\0\0X", 9), "-"},
    };
    for (const auto& c : cases) {
        QByteArray patched = block;
        const qsizetype at = patched.indexOf(c.from);
        ASSERT_GE(at, 0) << c.what;
        patched.replace(at, c.to.size(), c.to);
        const QByteArray jpeg = encodeJpeg(QImage(16, 16, QImage::Format_RGB32), 0.9, patched);
        const ImageMetadata m = readImageMetadata(jpeg);
        EXPECT_EQ(summary(m).section('|', 3, 3), c.place) << c.what;
    }
}
