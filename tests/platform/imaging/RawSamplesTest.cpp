#include "platform/imaging/RawDecoder.h"
#include "support/TestSupport.h"

#include <QDir>
#include <QElapsedTimer>
#include <gtest/gtest.h>

using namespace imaging;

// Readable sizes in failure messages.
[[maybe_unused]] static void PrintTo(const QSize& size, std::ostream* out) {
    *out << size.width() << "x" << size.height();
}

// The sample RAW files are trimmed to their metadata and previews: a full decode of them fails,
// so every picture below comes from an embedded preview.

namespace {

QString sample(const char* name) {
    return QDir(testsupport::samplesDir()).filePath(QStringLiteral("raw/") + QLatin1String(name));
}

// Mean brightness of a picture; the trimmed previews are real photographs, neither black nor
// uniformly grey.
double meanLuma(const QImage& image) {
    double sum = 0;
    for (int y = 0; y < image.height(); ++y)
        for (int x = 0; x < image.width(); ++x)
            sum += qGray(image.pixel(x, y));
    return sum / (double(image.width()) * image.height());
}

} // namespace

TEST(RawSamples, SonyArwCutShortStillShowsItsThumbnailUpright) {
    TWINSLIM_REQUIRE_SAMPLES();
    // The 1616 × 1080 preview lies beyond the file's end; the 160 × 120 IFD1 thumbnail is whole.
    // The camera was turned (orientation 6), so upright the picture is portrait.
    const QString path = sample("filetype__fixture-sony-zv-e10.arw");
    const auto info = rawPreviewInfo(path);
    ASSERT_TRUE(info.has_value());
    EXPECT_EQ(info->size, QSize(120, 160));
    EXPECT_EQ(info->orientation, 6);
    const QImage thumb = decodeRaw(path, DecodeTarget::fill(QSize(88, 88)));
    EXPECT_EQ(thumb.size(), QSize(90, 120));
    const QImage large = decodeRaw(path, DecodeTarget::fit(QSize(2400, 2400)));
    EXPECT_EQ(large.size(), QSize(120, 160));
    EXPECT_GT(meanLuma(large), 40);
    EXPECT_LT(meanLuma(large), 220);
}

TEST(RawSamples, CanonCr3ThumbnailFromItsBoxes) {
    TWINSLIM_REQUIRE_SAMPLES();
    const QString path = sample("filetype__fixture.cr3");
    const auto info = rawPreviewInfo(path);
    ASSERT_TRUE(info.has_value());
    EXPECT_EQ(info->size, QSize(120, 160)); // 160 × 120 THMB, orientation from CMT1
    EXPECT_EQ(info->orientation, 6);
    const QImage image = decodeRaw(path, DecodeTarget::fit(QSize(88, 88)));
    ASSERT_FALSE(image.isNull());
    EXPECT_LT(image.width(), image.height());
    EXPECT_GE(image.height(), 88);
}

TEST(RawSamples, NikonJpegXlDngShowsItsIfd0Preview) {
    TWINSLIM_REQUIRE_SAMPLES();
    // LibRaw 0.20 cannot open this DNG (JPEG XL sensor data); its IFD0 preview is 256 × 171.
    const QString path = sample("exifpy__nikon_z_9_he_dx_cropped.dng");
    const auto info = rawPreviewInfo(path);
    ASSERT_TRUE(info.has_value());
    EXPECT_EQ(info->size, QSize(256, 171));
    EXPECT_EQ(info->orientation, 1);
    EXPECT_EQ(decodeRaw(path).size(), QSize(256, 171)); // full size: nothing better exists
    EXPECT_EQ(decodeRaw(path, DecodeTarget::fit(QSize(4000, 4000))).size(), QSize(256, 171));
    EXPECT_EQ(decodeRaw(path, DecodeTarget::fit(QSize(64, 64))).size(), QSize(64, 43)); // 1/4 scale
}

TEST(RawSamples, MetadataOnlyArwHasNoPicture) {
    TWINSLIM_REQUIRE_SAMPLES();
    // An 8 KB file whose preview offset points far beyond its end.
    const QString path = sample("exifpy__sony_alpha_a7iii_raw_image.ARW");
    EXPECT_FALSE(rawPreviewInfo(path).has_value());
    EXPECT_TRUE(decodeRaw(path, DecodeTarget::fit(QSize(88, 88))).isNull());
}

TEST(RawSamples, EverySampleSurvivesTruncation) {
    TWINSLIM_REQUIRE_SAMPLES();
    const QStringList names =
        QDir(testsupport::samplesDir() + QStringLiteral("/raw"))
            .entryList({QStringLiteral("*.dng"), QStringLiteral("*.DNG"), QStringLiteral("*.arw"),
                        QStringLiteral("*.ARW"), QStringLiteral("*.cr3"), QStringLiteral("*.CR3")},
                       QDir::Files);
    ASSERT_FALSE(names.isEmpty());
    for (const QString& name : names) {
        const QByteArray bytes =
            testsupport::readFile(testsupport::samplesDir() + QStringLiteral("/raw/") + name);
        const QSize whole = decodeRaw(bytes, DecodeTarget::fit(QSize(88, 88))).size();
        for (qsizetype length = 0; length < bytes.size(); length += 1 + bytes.size() / 97) {
            const QImage image = decodeRaw(bytes.left(length), DecodeTarget::fit(QSize(88, 88)));
            // A prefix holds at most what the whole file holds.
            if (!image.isNull()) {
                EXPECT_EQ(image.size(), whole) << name.toStdString() << " cut at " << length;
            }
        }
    }
}
