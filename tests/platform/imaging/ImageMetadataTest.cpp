#include "platform/imaging/ImageMetadata.h"
#include "CodecTestSupport.h"
#include "ExiftoolSupport.h"
#include "fixtures/ImageFixtures.h"
#include "platform/imaging/Cr3Metadata.h"
#include "platform/imaging/ExifDate.h"
#include "platform/imaging/HeifCodec.h"
#include "platform/imaging/JpegCodec.h"
#include "platform/imaging/LibRawTimestamp.h"
#include "support/TestSupport.h"

#include <QDir>
#include <QFile>
#include <QJsonObject>
#include <QTemporaryDir>
#include <gtest/gtest.h>

using namespace imaging;

namespace {

struct SampleRow {
    QString path, format, pixels, dateTimeOriginal, offsetTimeOriginal;
};

QList<SampleRow> readManifest() {
    QList<SampleRow> rows;
    const QByteArray text =
        testsupport::readFile(QDir(testsupport::samplesDir()).filePath("manifest.tsv"));
    const QList<QByteArray> lines = text.split('\n');
    for (qsizetype i = 1; i < lines.size(); ++i) {
        const QList<QByteArray> cells = lines[i].split('\t');
        if (cells.size() < 8)
            continue;
        rows.append({QString::fromUtf8(cells[0]), QString::fromUtf8(cells[1]),
                     QString::fromUtf8(cells[3]), QString::fromUtf8(cells[6]),
                     QString::fromUtf8(cells[7])});
    }
    return rows;
}

ImageFormat expectedFormat(const QString& manifestFormat) {
    if (manifestFormat == "HEIC" || manifestFormat == "HEIF")
        return ImageFormat::Heif;
    if (manifestFormat == "JPEG")
        return ImageFormat::Jpeg;
    if (manifestFormat == "CR3")
        return ImageFormat::CameraRaw;
    return ImageFormat::Tiff; // DNG, ARW
}

void expectSame(const ImageMetadata& a, const ImageMetadata& b, const QString& what) {
    EXPECT_EQ(a.format, b.format) << what.toStdString();
    EXPECT_EQ(a.dateTimeOriginal, b.dateTimeOriginal) << what.toStdString();
    EXPECT_EQ(a.offsetSeconds, b.offsetSeconds) << what.toStdString();
    EXPECT_EQ(a.captureDate, b.captureDate) << what.toStdString();
    EXPECT_EQ(a.latitude, b.latitude) << what.toStdString();
    EXPECT_EQ(a.longitude, b.longitude) << what.toStdString();
    EXPECT_EQ(a.orientation, b.orientation) << what.toStdString();
    EXPECT_EQ(a.pixelSize, b.pixelSize) << what.toStdString();
}

bool isEmpty(const ImageMetadata& m) {
    return !m.dateTimeOriginal && !m.offsetSeconds && !m.captureDate && !m.latitude &&
           !m.longitude && m.orientation == 1 && m.pixelSize == QSize(0, 0);
}

ExifFields datedFields() {
    ExifFields fields;
    fields.dateTimeOriginal = QStringLiteral("2023:07:14 10:22:33");
    fields.offsetTimeOriginal = QStringLiteral("+02:00");
    fields.latitude = 48.8584;
    fields.longitude = 2.2945;
    fields.orientation = 6;
    return fields;
}

} // namespace

TEST(ImageMetadataSamples, AgreeWithManifest) {
    TWINSLIM_REQUIRE_SAMPLES();
    const QList<SampleRow> rows = readManifest();
    ASSERT_FALSE(rows.isEmpty());
    const QDir dir(testsupport::samplesDir());
    for (const SampleRow& row : rows) {
        SCOPED_TRACE(row.path.toStdString());
        const QString path = dir.filePath(row.path);
        ASSERT_TRUE(QFile::exists(path));
        const ImageMetadata m = readImageMetadata(path);
        expectSame(m, readImageMetadata(testsupport::readFile(path)), row.path);
        EXPECT_EQ(m.format, expectedFormat(row.format));

        const std::optional<int> offset =
            row.offsetTimeOriginal == "-" ? std::nullopt : parseExifOffset(row.offsetTimeOriginal);
        EXPECT_EQ(m.offsetSeconds, offset);
        if (row.dateTimeOriginal == "-") {
            EXPECT_FALSE(m.dateTimeOriginal.has_value());
        } else {
            EXPECT_EQ(m.dateTimeOriginal, row.dateTimeOriginal);
            ASSERT_TRUE(m.captureDate.has_value());
            EXPECT_EQ(*m.captureDate, *parseExifDateTime(row.dateTimeOriginal, offset));
            if (offset) {
                EXPECT_EQ(m.captureDate->offsetFromUtc(), *offset);
            }
        }

        if (row.pixels != "-") {
            const QStringList sides = row.pixels.split('x');
            const QSize expected(sides.value(0).toInt(), sides.value(1).toInt());
            EXPECT_EQ(m.pixelSize, expected);
        }
    }
}

TEST(ImageMetadataSamples, AgreeWithExiftool) {
    TWINSLIM_REQUIRE_SAMPLES();
    if (!exiftool::available())
        GTEST_SKIP() << "exiftool is not installed";
    const QDir dir(testsupport::samplesDir());
    QStringList paths;
    for (const SampleRow& row : readManifest())
        paths.append(dir.filePath(row.path));
    const QList<QJsonObject> tags = exiftool::read(paths);
    ASSERT_EQ(tags.size(), paths.size());
    int withLocation = 0;
    for (qsizetype i = 0; i < paths.size(); ++i) {
        SCOPED_TRACE(paths[i].toStdString());
        const ImageMetadata m = readImageMetadata(paths[i]);
        EXPECT_EQ(m.orientation, tags[i].value("Orientation").toInt(1));
        EXPECT_EQ(m.latitude.has_value(), tags[i].contains("GPSLatitude"));
        EXPECT_EQ(m.longitude.has_value(), tags[i].contains("GPSLongitude"));
        if (m.latitude && m.longitude) {
            ++withLocation;
            EXPECT_NEAR(*m.latitude, tags[i].value("GPSLatitude").toDouble(), 1e-6);
            EXPECT_NEAR(*m.longitude, tags[i].value("GPSLongitude").toDouble(), 1e-6);
        }
    }
    RecordProperty("samplesWithLocation", withLocation);
}

TEST(ImageMetadata, ReadsGeneratedJpegAndHeic) {
    const ExifFields fields = datedFields();
    const QByteArray jpeg = fixtures::makeJpeg(QSize(64, 48), fields);
    const QByteArray heic = fixtures::makeHeic(QSize(64, 48), fields);
    for (const QByteArray& bytes : {jpeg, heic}) {
        const ImageMetadata m = readImageMetadata(bytes);
        EXPECT_EQ(m.dateTimeOriginal, "2023:07:14 10:22:33");
        EXPECT_EQ(m.offsetSeconds, 7200);
        ASSERT_TRUE(m.captureDate.has_value());
        EXPECT_EQ(m.captureDate->toUTC(), QDateTime(QDate(2023, 7, 14), QTime(8, 22, 33), Qt::UTC));
        EXPECT_EQ(m.orientation, 6);
        EXPECT_NEAR(m.latitude.value_or(0), 48.8584, 1e-7);
        EXPECT_NEAR(m.longitude.value_or(0), 2.2945, 1e-7);
    }
    // Stored pixels of a JPEG turned by 90°: the frame header's size, not the upright one.
    EXPECT_EQ(readImageMetadata(jpeg).pixelSize, QSize(48, 64));
    EXPECT_EQ(readImageMetadata(jpeg).format, ImageFormat::Jpeg);
    EXPECT_EQ(readImageMetadata(heic).format, ImageFormat::Heif);
}

TEST(ImageMetadata, DateWithoutOffsetIsLocalWallClock) {
    ExifFields fields;
    fields.dateTimeOriginal = QStringLiteral("2023:07:14 10:22:33");
    const QByteArray heic = fixtures::makeHeic(QSize(32, 32), fields);
    const ImageMetadata m = readImageMetadata(heic);
    EXPECT_FALSE(m.offsetSeconds.has_value());
    ASSERT_TRUE(m.captureDate.has_value());
    EXPECT_EQ(*m.captureDate, QDateTime(QDate(2023, 7, 14), QTime(10, 22, 33), Qt::LocalTime));
}

TEST(ImageMetadata, MalformedTagsGiveEmptyValuesButKeepTheText) {
    ExifFields fields;
    fields.dateTimeOriginal = QStringLiteral("2023-07-14 10:22:33");
    fields.offsetTimeOriginal = QStringLiteral("+25:00");
    fields.orientation = 9;
    const ImageMetadata m = readImageMetadata(fixtures::makeJpeg(QSize(32, 32), fields));
    EXPECT_EQ(m.dateTimeOriginal, "2023-07-14 10:22:33");
    EXPECT_FALSE(m.captureDate.has_value());
    EXPECT_FALSE(m.offsetSeconds.has_value());
    EXPECT_EQ(m.orientation, 1);

    // A valid date with an unusable offset is still a date, read as local time.
    fields.dateTimeOriginal = QStringLiteral("2023:07:14 10:22:33");
    const ImageMetadata local = readImageMetadata(fixtures::makeJpeg(QSize(32, 32), fields));
    ASSERT_TRUE(local.captureDate.has_value());
    EXPECT_EQ(local.captureDate->timeSpec(), Qt::LocalTime);

    // Only an offset, no date.
    ExifFields offsetOnly;
    offsetOnly.offsetTimeOriginal = QStringLiteral("-04:00");
    offsetOnly.orientation = 0;
    const ImageMetadata noDate = readImageMetadata(fixtures::makeHeic(QSize(32, 32), offsetOnly));
    EXPECT_FALSE(noDate.dateTimeOriginal.has_value());
    EXPECT_FALSE(noDate.captureDate.has_value());
    EXPECT_EQ(noDate.offsetSeconds, -4 * 3600);
    EXPECT_EQ(noDate.orientation, 1);
}

TEST(ImageMetadata, NoExifStillGivesTheSize) {
    const QImage picture = fixtures::makePattern(QSize(40, 24));
    for (const QByteArray& bytes : {encodeJpeg(picture, 0.8), encodeHeic(picture, 0.5)}) {
        const ImageMetadata m = readImageMetadata(bytes);
        EXPECT_EQ(m.pixelSize, QSize(40, 24));
        EXPECT_FALSE(m.dateTimeOriginal.has_value());
        EXPECT_EQ(m.orientation, 1);
    }
}

TEST(ImageMetadata, TypeComesFromContentNotName) {
    QTemporaryDir dir;
    ASSERT_TRUE(dir.isValid());
    fixtures::makeJpegFile(dir.filePath("looks-like.heic"), QSize(32, 16), datedFields());
    fixtures::makeHeicFile(dir.filePath("looks-like.jpg"), QSize(32, 16), datedFields());
    fixtures::makeHeicFile(dir.filePath("no-extension"), QSize(32, 16), datedFields());
    const ImageMetadata jpeg = readImageMetadata(dir.filePath("looks-like.heic"));
    EXPECT_EQ(jpeg.format, ImageFormat::Jpeg);
    EXPECT_EQ(jpeg.dateTimeOriginal, "2023:07:14 10:22:33");
    for (const char* name : {"looks-like.jpg", "no-extension"}) {
        const ImageMetadata heic = readImageMetadata(dir.filePath(name));
        EXPECT_EQ(heic.format, ImageFormat::Heif) << name;
        EXPECT_EQ(heic.dateTimeOriginal, "2023:07:14 10:22:33") << name;
    }
}

TEST(ImageMetadata, UnreadableSourcesGiveEmptyValues) {
    QTemporaryDir dir;
    ASSERT_TRUE(dir.isValid());
    testsupport::writeFile(dir.filePath("empty.jpg"), {});
    testsupport::writeFile(dir.filePath("notes.txt"),
                           "II*\0 is how a TIFF starts, but this is text");
    testsupport::writeFile(dir.filePath("noise.heic"), codectest::randomBytes(5000));
    for (const char* name : {"missing.jpg", "empty.jpg", "notes.txt", "noise.heic", ""})
        EXPECT_TRUE(isEmpty(readImageMetadata(dir.filePath(name)))) << name;
    EXPECT_TRUE(isEmpty(readImageMetadata(dir.path())));
    for (const QByteArray& bytes :
         {QByteArray(), QByteArray("\xFF\xD8\xFF"), QByteArray("....ftypheic", 12),
          QByteArray("II*\0\x08\0\0\0", 8), QByteArray("MM\0*", 4),
          codectest::randomBytes(100000, 3)})
        EXPECT_TRUE(isEmpty(readImageMetadata(bytes))) << bytes.left(12).toHex().constData();
}

TEST(ImageMetadata, TruncatedFilesNeverYieldAWrongDate) {
    const QByteArray jpeg = fixtures::makeJpeg(QSize(64, 48), datedFields());
    const QByteArray heic = fixtures::makeHeic(QSize(64, 48), datedFields());
    for (const QByteArray& file : {jpeg, heic}) {
        for (const QByteArray& cut : codectest::truncations(file, 23)) {
            const ImageMetadata m = readImageMetadata(cut);
            if (m.dateTimeOriginal) {
                EXPECT_EQ(*m.dateTimeOriginal, "2023:07:14 10:22:33") << "cut at " << cut.size();
            }
            EXPECT_TRUE(m.orientation == 1 || m.orientation == 6) << "cut at " << cut.size();
        }
    }
    // Cut inside the EXIF segment: nothing can be read.
    const qsizetype app1 = jpeg.indexOf("\xFF\xE1");
    ASSERT_GT(app1, 0);
    const qsizetype app1End = app1 + 2 + ((quint8(jpeg[app1 + 2]) << 8) | quint8(jpeg[app1 + 3]));
    for (qsizetype n = 0; n < app1End; n += 7)
        EXPECT_FALSE(readImageMetadata(jpeg.left(n)).dateTimeOriginal.has_value())
            << "cut at " << n;
}

TEST(ImageMetadata, TruncatedSamplesNeverYieldAWrongDate) {
    TWINSLIM_REQUIRE_SAMPLES();
    const QDir dir(testsupport::samplesDir());
    for (const SampleRow& row : readManifest()) {
        const QByteArray whole = testsupport::readFile(dir.filePath(row.path));
        for (int part = 0; part < 16; ++part) {
            const ImageMetadata m = readImageMetadata(whole.left(whole.size() * part / 16));
            if (m.dateTimeOriginal) {
                EXPECT_EQ(*m.dateTimeOriginal, row.dateTimeOriginal)
                    << row.path.toStdString() << " " << part;
            }
        }
    }
}

TEST(ImageMetadata, DamagedDataNeverCrashes) {
    ExifFields fields = datedFields();
    fields.pixelWidth = 64;
    fields.pixelHeight = 48;
    const QByteArray jpeg = fixtures::makeJpeg(QSize(64, 48), fields);
    // Damage concentrated on the metadata, where parsers follow offsets.
    const QByteArray head = jpeg.left(jpeg.indexOf("\xFF\xDB"));
    for (const QByteArray& damagedHead : codectest::mutations(head, 400, 99)) {
        const ImageMetadata m = readImageMetadata(damagedHead + jpeg.mid(head.size()));
        EXPECT_TRUE(m.orientation >= 1 && m.orientation <= 8);
        EXPECT_LE(std::abs(m.latitude.value_or(0)), 90.0);
        EXPECT_LE(std::abs(m.longitude.value_or(0)), 180.0);
    }
}

TEST(ImageMetadata, DamagedRawHeadersNeverCrash) {
    TWINSLIM_REQUIRE_SAMPLES();
    const QDir dir(testsupport::samplesDir());
    for (const SampleRow& row : readManifest()) {
        if (!row.path.startsWith("raw/"))
            continue;
        const QByteArray whole = testsupport::readFile(dir.filePath(row.path));
        const QByteArray head = whole.left(8192);
        for (const QByteArray& damaged : codectest::mutations(head, 60, 5)) {
            const ImageMetadata m = readImageMetadata(damaged + whole.mid(head.size()));
            EXPECT_TRUE(m.orientation >= 1 && m.orientation <= 8) << row.path.toStdString();
        }
    }
}

// A cut-off CR3 that Exiv2 rejects still has its EXIF boxes, with offset and orientation that
// LibRaw's bare capture time would lack.
TEST(ImageMetadataRaw, TruncatedCr3FromItsOwnExifBoxes) {
    TWINSLIM_REQUIRE_SAMPLES();
    const QString path = QDir(testsupport::samplesDir()).filePath("raw/filetype__fixture.cr3");
    const QByteArray bytes = testsupport::readFile(path);
    ASSERT_FALSE(bytes.isEmpty());
    const detail::Cr3Blocks blocks = detail::cr3MetadataBlocks(bytes);
    EXPECT_FALSE(blocks.ifd0.isEmpty());
    EXPECT_FALSE(blocks.exif.isEmpty());
    const ImageMetadata m = readImageMetadata(path);
    EXPECT_EQ(m.format, ImageFormat::CameraRaw);
    EXPECT_EQ(m.dateTimeOriginal, "2019:12:05 13:32:49");
    EXPECT_EQ(m.offsetSeconds, 8 * 3600);
    EXPECT_EQ(m.orientation, 6);
    EXPECT_EQ(m.pixelSize, QSize(6720, 4480));
    // A box cut off halfway is not read.
    const qsizetype exifAt = blocks.exif.data() - bytes.constData();
    EXPECT_TRUE(detail::cr3MetadataBlocks(bytes.left(exifAt + 10)).exif.isEmpty());
    EXPECT_FALSE(detail::cr3MetadataBlocks(bytes.left(exifAt + 10)).ifd0.isEmpty());
    EXPECT_TRUE(detail::cr3MetadataBlocks(codectest::randomBytes(4096)).ifd0.isEmpty());
}

TEST(ImageMetadataRaw, LibRawCaptureTimeAsFallback) {
    TWINSLIM_REQUIRE_SAMPLES();
    const QString path = QDir(testsupport::samplesDir()).filePath("raw/filetype__fixture.cr3");
    const QByteArray bytes = testsupport::readFile(path);
    // LibRaw rejects this cut-off file but has read its capture time by then.
    EXPECT_EQ(detail::libRawCaptureTime(path, nullptr), "2019:12:05 13:32:49");
    EXPECT_EQ(detail::libRawCaptureTime({}, &bytes), "2019:12:05 13:32:49");
    const QByteArray noise = codectest::randomBytes(4096);
    EXPECT_FALSE(detail::libRawCaptureTime({}, &noise).has_value());
    EXPECT_FALSE(
        detail::libRawCaptureTime(QStringLiteral("/nonexistent/file.cr3"), nullptr).has_value());
}
