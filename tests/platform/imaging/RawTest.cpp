#include "ImagingTestSupport.h"
#include "fixtures/DngFixture.h"
#include "platform/imaging/RawDecoder.h"

#include <QTemporaryDir>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <unistd.h>

using namespace imaging;
using fixtures::describeQuadrants;

namespace {

int openFile(const QString& path) {
    return ::open(QFile::encodeName(path).constData(), O_RDONLY | O_CLOEXEC);
}

} // namespace

// A 240 × 160 picture with a 120 × 80 JPEG preview, in every orientation, from bytes, from a
// descriptor (the same picture) and from a path: the preview at the smallest sufficient TurboJPEG
// scale while it satisfies the target, else the sensor data.
TEST(RawDecoder, PreviewWhileItSufficesInEveryOrientation) {
    const std::pair<DecodeTarget, QSize> cases[] = {
        {DecodeTarget::fit({44, 44}), {45, 30}},     // 3/8
        {DecodeTarget::fill({44, 44}), {75, 50}},    // 5/8
        {DecodeTarget::fit({100, 100}), {105, 70}},  // 7/8
        {DecodeTarget::fit({120, 120}), {120, 80}},  // the preview at its own size serves,
        {DecodeTarget::fit({121, 121}), {240, 160}}, // one pixel more needs the sensor data
        {DecodeTarget::fill({120, 80}), {120, 80}},  // meant upright in any orientation
        {DecodeTarget::fill({100, 100}), {240, 160}}, {DecodeTarget::fullSize(), {240, 160}},
    };
    QTemporaryDir dir;
    ASSERT_TRUE(dir.isValid());
    for (int orientation = 1; orientation <= 8; ++orientation) {
        const QByteArray dng = fixtures::makeDng(QSize(240, 160), {}, {}, orientation, 120);
        const QString path = dir.filePath(QStringLiteral("IMG_%1.DNG").arg(orientation));
        testsupport::writeFile(path, dng);
        const int fd = openFile(path);
        for (const auto& [target, expected] : cases) {
            SCOPED_TRACE(testing::PrintToString(target.size) + " orientation " +
                         std::to_string(orientation));
            const QImage image = decodeRaw(dng, target);
            EXPECT_EQ(image.size(), expected);
            EXPECT_EQ(describeQuadrants(image), "RG/BW");
            EXPECT_EQ(decodeRaw(fd, target), image);
        }
        ::close(fd);
        EXPECT_EQ(decodeRaw(path, DecodeTarget::fit({44, 44})).size(), QSize(45, 30));
        const auto info = rawPreviewInfo(path).value_or(RawPreviewInfo{});
        EXPECT_EQ(info.size, QSize(120, 80));
        EXPECT_EQ(info.orientation, orientation);
        // Without its sensor data only the preview is left, even for full size.
        EXPECT_EQ(decodeRaw(dng.left(dng.size() - 100)).size(), QSize(120, 80));
        // Without a preview only the sensor data is.
        const QByteArray bare = fixtures::makeDng(QSize(240, 160), {}, {}, orientation, 0);
        EXPECT_EQ(describeQuadrants(decodeRaw(bare, DecodeTarget::fit({44, 44}))), "RG/BW");
        EXPECT_FALSE(rawPreviewInfo(bare).has_value());
    }
    testsupport::writeFile(dir.filePath(QStringLiteral("empty.dng")), {});
    for (const QString& name :
         {QStringLiteral("empty.dng"), QStringLiteral("missing.dng"), QString()}) {
        EXPECT_TRUE(decodeRaw(dir.filePath(name), DecodeTarget::fit(QSize(88, 88))).isNull());
        EXPECT_FALSE(rawPreviewInfo(dir.filePath(name)).has_value());
    }
}
