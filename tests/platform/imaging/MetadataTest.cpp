#include "ImagingTestSupport.h"
#include "fixtures/ImageFixtures.h"
#include "platform/imaging/DngWriter.h"
#include "platform/imaging/ExifDate.h"
#include "platform/imaging/ImageFormat.h"
#include "platform/imaging/ImagingError.h"
#include "platform/imaging/JpegCodec.h"
#include "platform/imaging/XmpSidecar.h"

#include <QTemporaryDir>
#include <QTimeZone>
#include <cmath>
#include <gtest/gtest.h>

using namespace imaging;
using imagingtest::exif;
using imagingtest::summary;

TEST(ExifDate, ParsesOnlyTheExactFormsAndFormatsBack) {
    const QDateTime local(QDate(2023, 7, 14), QTime(10, 22, 33), Qt::LocalTime);
    // Fixed-size EXIF fields often carry NULs or padding.
    for (const QString& text :
         {QStringLiteral("2023:07:14 10:22:33"), QString::fromLatin1("2023:07:14 10:22:33\0\0", 21),
          QStringLiteral(" 2023:07:14 10:22:33 ")})
        EXPECT_EQ(parseExifDateTime(text), local);
    for (const char* text : {"", "2023-07-14 10:22:33", "2023:07:14T10:22:33", "2023:07:14 10:22",
                             "2023:7:14 10:22:33", "2023:07:14 10:22:33.5",
                             "    :  :     :  :  ", "0000:00:00 00:00:00", "2023:02:30 10:00:00",
                             "2023:13:01 10:00:00", "2023:07:14 24:00:00", "2023:07:14 10:60:00",
                             "２０２３:07:14 10:22:33", "+023:07:14 10:22:33"})
        EXPECT_FALSE(parseExifDateTime(QString::fromUtf8(text)).has_value()) << text;
    // An offset beyond any real zone is ignored rather than producing an invalid date.
    EXPECT_EQ(parseExifDateTime(u"2021:04:11 15:47:53", 20 * 3600).value_or(QDateTime()).timeSpec(),
              Qt::LocalTime);

    const std::pair<const char*, int> valid[] = {
        {"+02:00", 7200}, {"-05:30", -19800}, {"+00:00", 0}, {"-00:00", 0}, {"+14:00", 50400}};
    for (const auto& [text, seconds] : valid)
        EXPECT_EQ(parseExifOffset(QString::fromUtf8(text)), seconds) << text;
    EXPECT_EQ(parseExifOffset(QString::fromLatin1("+08:00\0", 7)), 8 * 3600);
    for (const char* text : {"", "   :  ", "Z", "+2:00", "+02:0", "0200", "+02:60", "+14:01",
                             "+25:00", "02:00", "+02:00:00", "±02:00"})
        EXPECT_FALSE(parseExifOffset(QString::fromUtf8(text)).has_value()) << text;

    EXPECT_EQ(formatExifDateTime(local), "2023:07:14 10:22:33");
    // The wall clock of the date's own zone, not the machine's.
    const QDateTime tokyo(QDate(2024, 1, 2), QTime(23, 0, 0), QTimeZone(9 * 3600));
    EXPECT_EQ(formatExifDateTime(tokyo), "2024:01:02 23:00:00");
    EXPECT_EQ(formatExifOffset(-(3 * 3600 + 30 * 60)), "-03:30");
    EXPECT_EQ(formatExifOffset(14 * 3600), "+14:00");
}

// 02:30 does not exist in Berlin on 31 March 2024; a camera clock still on winter time shows it.
TEST(ExifDate, ATimeTheLocalZoneSkipsIsReadWithTheOffsetBefore) {
    const QByteArray zone = qgetenv("TZ");
    qputenv("TZ", "Europe/Berlin");
    const auto parsed = parseExifDateTime(u"2024:03:31 02:30:00");
    const QDateTime utc = parsed.value_or(QDateTime()).toUTC();
    zone.isNull() ? qunsetenv("TZ") : qputenv("TZ", zone);
    EXPECT_EQ(utc, QDateTime(QDate(2024, 3, 31), QTime(1, 30), Qt::UTC))
        << utc.toString(Qt::ISODate).toStdString();
}

// Sidecar dates as XMP writes them and as darktable does; the offset Twinslim writes outlives
// darktable's rewrite of the date without it.
TEST(XmpSidecarDate, IsoAndDarktableFormsAndTheOffsetKept) {
    auto dateIn = [](const QByteArray& packet) {
        const auto data = parseXmpSidecar(packet);
        return std::pair(data ? data->captureDate : std::nullopt,
                         data ? data->captureOffsetSeconds : std::nullopt);
    };
    auto dated = [&](const char* text) {
        XmpSidecarEdit edit;
        edit.properties = {{"Xmp.exif.DateTimeOriginal", text}};
        return editXmpSidecar({}, edit);
    };
    const QDateTime darktable(QDate(2019, 10, 26), QTime(16, 7, 24, 540), Qt::LocalTime);
    EXPECT_EQ(dateIn(dated("2019:10:26 16:07:24.540")),
              std::pair(std::optional(darktable.toUTC()), std::optional<int>()));
    const QDateTime taken(QDate(2019, 12, 5), QTime(5, 32, 49), Qt::UTC); // 13:32:49 +08:00
    EXPECT_EQ(dateIn(dated("2019-12-05T13:32:49+08:00")),
              std::pair(std::optional(taken), std::optional(8 * 3600)));

    XmpSidecarEdit edit;
    edit.captureDate = taken;
    edit.captureOffsetSeconds = 8 * 3600;
    QByteArray written = editXmpSidecar({}, edit);
    EXPECT_TRUE(written.contains("2019-12-05T13:32:49.000+08:00")) << written.toStdString();
    EXPECT_EQ(dateIn(written), std::pair(std::optional(taken), std::optional(8 * 3600)));
    // darktable writes the wall-clock time back without the offset, and keeps xmp:CreateDate.
    XmpSidecarEdit rewrite;
    rewrite.properties = {{"Xmp.exif.DateTimeOriginal", "2019:12:05 13:32:49.000"}};
    EXPECT_EQ(dateIn(editXmpSidecar(written, rewrite)),
              std::pair(std::optional(taken), std::optional(8 * 3600)));
    // A time changed in darktable is its own, the offset of the old one no longer its.
    rewrite.properties = {{"Xmp.exif.DateTimeOriginal", "2019:12:05 14:00:00.000"}};
    EXPECT_EQ(dateIn(editXmpSidecar(written, rewrite)).second, std::nullopt);

    // Without an offset: the machine's wall-clock time, with no offset made up.
    edit.captureOffsetSeconds.reset();
    written = editXmpSidecar({}, edit);
    EXPECT_FALSE(written.contains("xmp:CreateDate")) << written.toStdString();
    EXPECT_EQ(dateIn(written), std::pair(std::optional(taken), std::optional<int>()));
}

namespace {

// An ISO-BMFF file type box with the given brands, followed by the next box's header.
QByteArray ftyp(const QByteArray& major, const QList<QByteArray>& compatible, int size = 0) {
    QByteArray box = QByteArray(3, '\0') + char(size ? size : 16 + 4 * compatible.size());
    box += "ftyp" + major + QByteArray(4, '\0');
    for (const QByteArray& brand : compatible)
        box += brand;
    return box + QByteArray("\0\0\0\x08meta", 8);
}

} // namespace

TEST(ImageFormat, JudgedFromTheFirstBytes) {
    const std::pair<ImageFormat, QList<QByteArray>> cases[] = {
        {ImageFormat::Jpeg, {QByteArray("\xFF\xD8\xFF\xE1", 4)}},
        // A box claiming to be larger than the data still gives its brands; the last brand counts.
        {ImageFormat::Heif,
         {ftyp("heic", {"mif1", "heic"}), ftyp("mif1", {"mif1", "heic"}), ftyp("avif", {"mif1"}),
          ftyp("heic", {}, 200).left(12), ftyp("isom", {"mp41", "heic"})}},
        {ImageFormat::Tiff, {QByteArray("II*\0\x08\0\0\0", 8), QByteArray("MM\0*\0\0\0\x08", 8)}},
        // Canon lists ISO brands too; crx decides.
        {ImageFormat::CameraRaw,
         {ftyp("crx ", {"crx ", "isom"}), QByteArray("IIRO\x08\0\0\0", 8),
          QByteArray("IIU\0\x08\0\0\0", 8), QByteArray("FUJIFILMCCD-RAW 0201"),
          QByteArray("II\x1A\0\0\0HEAPCCDR", 14), QByteArray("FOVb"), QByteArray("\0MRM\0\0", 6)}},
        {ImageFormat::Unknown,
         {// Brands past the sniffed length do not count, however large the box claims to be.
          ftyp("isom", QList<QByteArray>(12, "isom") << "heic", 100),
          ftyp("isom", {"isom", "mp41"}), ftyp("qt  ", {}), QByteArray(), QByteArray("\xFF\xD8", 2),
          QByteArray("\x89PNG\r\n\x1A\n", 8), QByteArray("GIF89a"), QByteArray("II*"),
          QByteArray::fromHex("0000001866747970")}},
    };
    for (const auto& [expected, heads] : cases)
        for (const QByteArray& head : heads)
            EXPECT_EQ(imaging::sniffImageFormat(head), expected) << head.toHex().constData();
}

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
    const QString empty = summary(ImageMetadata{});
    for (const QString& path : {dir.filePath("missing.jpg"), dir.filePath("empty.jpg"),
                                dir.filePath("notes.txt"), dir.path(), QString()})
        EXPECT_EQ(summary(readImageMetadata(path)), empty) << path.toStdString();
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

// What the encoders write, the reader gives back: dates, offsets (the instant crossing a day and
// a leap day), coordinates at the edges with their signs, and malformed tags kept as text; the
// EXIF writer refuses only coordinates that are incomplete or out of range.
TEST(ExifRoundTrip, ThroughBothEncodersAndRefusals) {
    const QString date = QStringLiteral("2023:07:14 10:22:33");
    const std::pair<ExifFields, const char*> cases[] = {
        {exif(6, date, "+02:00", 48.8584, 2.2945),
         "2023:07:14 10:22:33|7200|2023-07-14T08:22:33Z|48.8584000,2.2945000|o6|32x32"},
        {exif(8, "2024:02:29 23:59:59", "-03:30", -33.86882, 151.20929),
         "2024:02:29 23:59:59|-12600|2024-03-01T03:29:59Z|-33.8688200,151.2092900|o8|32x32"},
        {exif(1, date), "2023:07:14 10:22:33|-|local 2023-07-14T10:22:33|-|o1|32x32"},
        {exif(9, date, "+25:00"), "2023:07:14 10:22:33|-|local 2023-07-14T10:22:33|-|o1|32x32"},
        {exif(0, "2023-07-14 10:22:33", "+02:00"), "2023-07-14 10:22:33|7200|-|-|o1|32x32"},
        {exif(1, {}, "-04:00"), "-|-14400|-|-|o1|32x32"},
        {exif(0), "-|-|-|-|o1|32x32"},
        {exif(1, {}, {}, 0.0, 0.0), "-|-|-|0.0000000,0.0000000|o1|32x32"},
        {exif(1, {}, {}, -0.000001, -0.000001), "-|-|-|-0.0000010,-0.0000010|o1|32x32"},
        {exif(1, {}, {}, 89.99999999, 179.99999999), "-|-|-|90.0000000,180.0000000|o1|32x32"},
        {exif(1, {}, {}, -90.0, -180.0), "-|-|-|-90.0000000,-180.0000000|o1|32x32"},
        {exif(1, {}, {}, 10.99999999999, 20.5), "-|-|-|11.0000000,20.5000000|o1|32x32"},
    };
    for (const auto& [fields, expected] : cases) {
        EXPECT_EQ(summary(readImageMetadata(fixtures::makeJpeg(QSize(32, 32), fields))), expected);
        EXPECT_EQ(summary(readImageMetadata(fixtures::makeHeic(QSize(32, 32), fields, 0.3))),
                  expected);
    }
    DngOptions dng; // the third writer
    dng.dateTimeOriginal = QStringLiteral("2024:02:29 23:59:59");
    dng.offsetTimeOriginal = QStringLiteral("-03:30");
    dng.orientation = 8;
    dng.gps = DngGps{-33.86882, 151.20929, {}};
    EXPECT_EQ(summary(readImageMetadata(writeDng(fixtures::makeStoredPattern({32, 32}, 8), dng))),
              cases[1].second);
    const std::pair<std::optional<double>, std::optional<double>> refused[] = {
        {10.0, {}}, {{}, 10.0}, {90.5, 0.0}, {0.0, -180.01}, {std::nan(""), 0.0}, {0.0, HUGE_VAL}};
    for (const auto& [latitude, longitude] : refused)
        EXPECT_THROW(buildExifBlock(exif(1, {}, {}, latitude, longitude)), ImagingError)
            << latitude.value_or(-1) << "," << longitude.value_or(-1);
}
