#include "ImagingTestSupport.h"
#include "fixtures/ImageFixtures.h"
#include "platform/imaging/JpegCodec.h"

#include <QProcess>
#include <gtest/gtest.h>

using namespace imaging;
using fixtures::describeQuadrants;
using imagingtest::exif;

namespace {

// True when the row is the thumbnail's cyan/magenta, not a camera's black bar.
bool rowIsPicture(const QImage& image, int y) {
    const QColor left = image.pixelColor(image.width() / 4, y);
    return left.green() > 160 && left.blue() > 160; // cyan
}

} // namespace

// A 3:2 picture with a camera's 4:3 160 × 120 thumbnail: the bars are cut off (160 × 106) and
// the result is turned upright by the picture's orientation, or nothing when it is too small.
TEST(ExifThumbnail, ServedUprightWithoutBarsWhileItCoversTheTarget) {
    struct Case {
        int orientation;
        DecodeTarget target;
        QSize expected; // 0 × 0: no thumbnail answer
    };
    const Case cases[] = {
        {1, DecodeTarget::fill({88, 88}), {160, 106}},
        {6, DecodeTarget::fill({88, 88}), {160, 106}},
        {8, DecodeTarget::fill({88, 88}), {160, 106}},
        {3, DecodeTarget::fit({150, 150}), {160, 106}},
        {1, DecodeTarget::fill({106, 106}), {160, 106}},
        {1, DecodeTarget::fill({107, 107}), {0, 0}}, // the cut thumbnail is 106 high
        {6, DecodeTarget::fill({150, 88}), {160, 106}},
        {6, DecodeTarget::fill({88, 150}), {0, 0}}, // would need the picture turned the other way
        {1, DecodeTarget::fit({161, 161}), {0, 0}},
        {1, DecodeTarget::fullSize(), {0, 0}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(testing::Message() << "orientation " << c.orientation << " target "
                                        << c.target.size.width() << "x" << c.target.size.height());
        const QByteArray jpeg =
            fixtures::makeJpegWithExifThumbnail({480, 320}, {160, 120}, exif(c.orientation));
        const QImage image = decodeJpegExifThumbnail(jpeg, c.target);
        EXPECT_EQ(image.size(), c.expected);
        if (image.isNull())
            continue;
        EXPECT_EQ(describeQuadrants(image), "CM/YK");
        EXPECT_TRUE(rowIsPicture(image, 0));
        EXPECT_TRUE(rowIsPicture(image, 1));
    }
    // A thumbnail of the picture's own aspect is taken whole.
    const QImage whole = decodeJpegExifThumbnail(
        fixtures::makeJpegWithExifThumbnail({400, 300}, {160, 120}), DecodeTarget::fill({88, 88}));
    EXPECT_EQ(whole.size(), QSize(160, 120));
}

TEST(ExifThumbnail, AbsentOrDamagedGivesNothingNeverACrash) {
    for (const QByteArray& bytes :
         {fixtures::makeJpeg({480, 320}, exif(1)), fixtures::makeJpeg({480, 320}), QByteArray()})
        EXPECT_TRUE(decodeJpegExifThumbnail(bytes, DecodeTarget::fill({88, 88})).isNull());

    const QByteArray jpeg = fixtures::makeJpegWithExifThumbnail({480, 320}, {160, 120}, exif(6));
    // A cut file gives the whole answer or none: without the frame header after the EXIF block
    // it is not a picture.
    for (const QByteArray& bytes : imagingtest::truncations(jpeg, 97)) {
        const QImage image = decodeJpegExifThumbnail(bytes, DecodeTarget::fill({88, 88}));
        if (!image.isNull()) {
            EXPECT_EQ(image.size(), QSize(160, 106)) << bytes.size() << " bytes";
        }
    }
    // Damaged offsets, lengths and markers stay inside the data (the sanitizers watch).
    for (const QByteArray& bytes : imagingtest::mutations(jpeg, 400))
        decodeJpegExifThumbnail(bytes, DecodeTarget::fill({88, 88}));
}

// exiftool writes the thumbnail its own way (and a camera's sample has one): both are found.
TEST(ExifThumbnail, ReadsThumbnailsOtherWritersStored) {
    if (!imagingtest::exiftoolAvailable())
        GTEST_SKIP() << "exiftool is not installed";
    QTemporaryDir dir;
    ASSERT_TRUE(dir.isValid());
    const QString picture = dir.filePath("picture.jpg");
    const QString thumbnail = dir.filePath("thumbnail.jpg");
    fixtures::makeJpegFile(picture, {640, 480}, exif(1));
    testsupport::writeFile(
        thumbnail,
        encodeJpeg(fixtures::makePattern({160, 120}, fixtures::Palette::Alternative), 0.8));
    QProcess exiftool;
    exiftool.start("exiftool",
                   {"-q", "-overwrite_original", "-ThumbnailImage<=" + thumbnail, picture});
    ASSERT_TRUE(exiftool.waitForFinished(60000));
    ASSERT_EQ(exiftool.exitCode(), 0) << exiftool.readAllStandardError().toStdString();
    const QImage image =
        decodeJpegExifThumbnail(testsupport::readFile(picture), DecodeTarget::fill({88, 88}));
    EXPECT_EQ(image.size(), QSize(160, 120));
    EXPECT_EQ(describeQuadrants(image), "CM/YK");

    if (testsupport::samplesDir().isEmpty())
        return;
    // An 18 MP Canon picture (3:2) with a 160 × 120 thumbnail.
    const QImage canon = decodeJpegExifThumbnail(
        testsupport::readFile(imagingtest::samplePath("jpeg/exifr__canon-dslr.jpg")),
        DecodeTarget::fill({88, 88}));
    EXPECT_EQ(canon.size(), QSize(160, 106));
}
