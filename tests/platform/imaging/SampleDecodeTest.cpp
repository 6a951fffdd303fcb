#include "CodecTestSupport.h"
#include "platform/imaging/HeifCodec.h"
#include "platform/imaging/ImageMetadata.h"
#include "platform/imaging/JpegCodec.h"
#include "platform/imaging/Orientation.h"
#include "support/TestSupport.h"

#include <QDir>
#include <gtest/gtest.h>

using namespace imaging;

// Thumbnails of what phones and cameras write: reduced, upright, the picture's own aspect.
TEST(SampleDecode, ThumbnailsOfRealFiles) {
    TWINSLIM_REQUIRE_SAMPLES();
    const QDir dir(testsupport::samplesDir());
    int decoded = 0;
    for (const QString& folder : {QStringLiteral("jpeg"), QStringLiteral("heic")}) {
        for (const QString& name : QDir(dir.filePath(folder)).entryList(QDir::Files)) {
            SCOPED_TRACE((folder + "/" + name).toStdString());
            const QByteArray bytes = testsupport::readFile(dir.filePath(folder + "/" + name));
            const ImageMetadata m = readImageMetadata(bytes);
            const QSize upright = orientedSize(m.pixelSize, m.orientation);
            const auto target = DecodeTarget::fill(QSize(88, 88));
            const QImage image =
                folder == "jpeg" ? decodeJpeg(bytes, target) : decodeHeif(bytes, target);
            ASSERT_FALSE(image.isNull());
            ++decoded;
            EXPECT_GE(image.width(), 88);
            EXPECT_GE(image.height(), 88);
            EXPECT_LT(image.width(), upright.width());
            // Same aspect as the upright picture, give or take the rounding of a reduced size.
            EXPECT_NEAR(double(image.width()) / image.height(),
                        double(upright.width()) / upright.height(), 0.05);
        }
    }
    EXPECT_GE(decoded, 2);
}
