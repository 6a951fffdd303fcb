#include "platform/imaging/RawDecoder.h"
#include "ImagingTestSupport.h"
#include "fixtures/DngFixture.h"
#include "platform/imaging/DngWriter.h"
#include "platform/imaging/FileRead.h"
#include "platform/imaging/RawPreviewChoice.h"
#include "platform/imaging/SparseFile.h"

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

TEST(RawPreviewChoice, SmallestWithThePicturesAspectFirstLetterboxedLast) {
    using Order = std::vector<std::size_t>;
    // A camera's set: a 3:2 preview, a thumbnail letterboxed into 4:3, a full-size JPEG.
    const std::vector<QSize> camera = {{1616, 1080}, {160, 120}, {6000, 4000}};
    const QSize full(6000, 4000);
    const DecodeTarget small = DecodeTarget::fit({88, 88});
    const std::tuple<std::vector<QSize>, std::optional<QSize>, DecodeTarget, Order> cases[] = {
        {camera, full, small, {0, 2, 1}},
        {camera, full, DecodeTarget::fit({2400, 2400}), {2}}, // only what satisfies the target
        {camera, full, DecodeTarget::fit({8000, 8000}), {}},
        {{{160, 120}}, full, small, {0}}, // letterboxed, but all there is
        {{{160, 120}, {160, 107}}, QSize(1200, 800), small, {1, 0}}, // rounding keeps the aspect
        // Full size needs a preview of the picture's own size, which must be known.
        {camera, full, DecodeTarget::fullSize(), {2}},
        {camera, QSize(6048, 4024), DecodeTarget::fullSize(), {}},
        {camera, std::nullopt, DecodeTarget::fullSize(), {}},
        // Without the picture's size the largest preview sets the aspect.
        {camera, std::nullopt, small, {0, 2, 1}},
        {{{120, 160}, {1080, 1616}}, std::nullopt, DecodeTarget::fill({88, 88}), {1, 0}},
        {{}, std::nullopt, small, {}},
    };
    for (std::size_t i = 0; i < std::size(cases); ++i) {
        const auto& [previews, fullSize, target, expected] = cases[i];
        EXPECT_EQ(rawdetail::previewTrialOrder(previews, fullSize, target), expected) << i;
    }
}

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

// A thumbnail reads the headers and the preview of a file, not the megabytes of sensor data.
TEST(RawDecoder, AThumbnailReadsLittleOfTheFile) {
    QTemporaryDir dir;
    ASSERT_TRUE(dir.isValid());
    const QString path = dir.filePath(QStringLiteral("noise.dng"));
    // Noise does not compress: sensor data of some megabytes.
    const QByteArray noise = imagingtest::randomBytes(1200 * 800 * 3);
    const QImage stored(reinterpret_cast<const uchar*>(noise.constData()), 1200, 800, 1200 * 3,
                        QImage::Format_RGB888);
    DngOptions options;
    options.previewLongSide = 160;
    const QByteArray dng = writeDng(stored, options);
    testsupport::writeFile(path, dng);
    const int fd = openFile(path);
    std::size_t read = 0;
    detail::setSparseReadHook([&](std::size_t, std::size_t length) { read += length; });
    const DecodeTarget thumbnail = DecodeTarget::fill({88, 88});
    EXPECT_EQ(decodeRaw(fd, thumbnail), decodeRaw(dng, thumbnail));
    EXPECT_EQ(rawPreviewInfo(fd).value_or(RawPreviewInfo{}).size, QSize(160, 107));
    detail::setSparseReadHook({});
    ::close(fd);
    EXPECT_GT(read, 0u);
    EXPECT_LT(read, std::size_t(dng.size()) / 4);
}

// A file cut short after it was opened (a disk pulled out, another program) gives no picture or
// a correct one, wherever the cut falls.
TEST(RawDecoder, AFileCutWhileReadGivesNothingOrTheRightPicture) {
    QTemporaryDir dir;
    ASSERT_TRUE(dir.isValid());
    const QString path = dir.filePath(QStringLiteral("cut.dng"));
    const QByteArray dng = fixtures::makeDng(QSize(240, 160), {}, {}, 6, 120);
    int pictures = 0;
    for (qsizetype cut = 0; cut < dng.size(); cut += dng.size() / 16) {
        for (const DecodeTarget& target : {DecodeTarget::fit({44, 44}), DecodeTarget::fullSize()}) {
            testsupport::writeFile(path, dng);
            const int fd = openFile(path);
            detail::setFileOpenedHook(
                [&] { ASSERT_EQ(::truncate(QFile::encodeName(path).constData(), cut), 0); });
            const QImage image = decodeRaw(fd, target);
            detail::setFileOpenedHook({});
            ::close(fd);
            EXPECT_TRUE(image.isNull() || describeQuadrants(image) == "RG/BW") << cut;
            pictures += !image.isNull();
        }
    }
    EXPECT_GT(pictures, 0);
}
