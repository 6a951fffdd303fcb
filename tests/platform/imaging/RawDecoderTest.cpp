#include "platform/imaging/RawDecoder.h"
#include "fixtures/DngFixture.h"
#include "platform/imaging/DngWriter.h"
#include "platform/imaging/RawOrientation.h"
#include "support/TestSupport.h"

#include <QTemporaryDir>
#include <QtConcurrent/QtConcurrentMap>
#include <gtest/gtest.h>
#include <vector>

using namespace imaging;

// Readable sizes in failure messages.
[[maybe_unused]] static void PrintTo(const QSize& size, std::ostream* out) {
    *out << size.width() << "x" << size.height();
}

namespace {

const QString kUpright = QStringLiteral("RG/BW");

// A 1200 × 800 picture (upright) with a 300-pixel preview.
QByteArray landscapeDng(int orientation = 1) {
    return fixtures::makeDng(QSize(1200, 800), QStringLiteral("2024:01:02 03:04:05"),
                             QStringLiteral("+01:00"), orientation, 300);
}

} // namespace

TEST(RawDecoder, SmallTargetsDecodeThePreviewAtAReducedScale) {
    // Of the 300 × 200 preview, fitting 88 × 88 needs 88 wide: TurboJPEG's 3/8.
    const QImage fit = decodeRaw(landscapeDng(), DecodeTarget::fit(QSize(88, 88)));
    EXPECT_EQ(fit.size(), QSize(113, 75));
    EXPECT_EQ(fixtures::describeQuadrants(fit), kUpright);
    // Filling it needs 88 high: 1/2.
    const QImage fill = decodeRaw(landscapeDng(), DecodeTarget::fill(QSize(88, 88)));
    EXPECT_EQ(fill.size(), QSize(150, 100));
    EXPECT_EQ(fixtures::describeQuadrants(fill), kUpright);
}

TEST(RawDecoder, TargetLargerThanThePreviewForcesAFullDecode) {
    const QImage image = decodeRaw(landscapeDng(), DecodeTarget::fit(QSize(1000, 1000)));
    EXPECT_EQ(image.size(), QSize(1200, 800));
    EXPECT_EQ(fixtures::describeQuadrants(image), kUpright);

    // At the preview's own size the preview still serves; one pixel more needs the sensor data.
    EXPECT_EQ(decodeRaw(landscapeDng(), DecodeTarget::fit(QSize(300, 300))).size(),
              QSize(300, 200));
    EXPECT_EQ(decodeRaw(landscapeDng(), DecodeTarget::fit(QSize(301, 301))).size(),
              QSize(1200, 800));
    // Fill on a wide target: 300 wide covers 300 × 200, not 300 × 201.
    EXPECT_EQ(decodeRaw(landscapeDng(), DecodeTarget::fill(QSize(300, 200))).size(),
              QSize(300, 200));
    EXPECT_EQ(decodeRaw(landscapeDng(), DecodeTarget::fill(QSize(250, 250))).size(),
              QSize(1200, 800));
}

TEST(RawDecoder, SmallestSufficientPreviewServes) {
    // Laid out like a DNG converter's file: 160-pixel RGB thumbnail, 600-pixel JPEG preview.
    for (int orientation : {1, 6}) {
        SCOPED_TRACE(orientation);
        DngOptions options;
        options.orientation = orientation;
        options.thumbnailLongSide = 160;
        options.previewLongSide = 600;
        const QByteArray dng =
            writeDng(fixtures::makeStoredPattern(QSize(1200, 800), orientation), options);
        const QImage thumb = decodeRaw(dng, DecodeTarget::fill(QSize(88, 88)));
        EXPECT_EQ(thumb.size(), QSize(160, 107)); // the thumbnail, as stored, turned upright
        EXPECT_EQ(fixtures::describeQuadrants(thumb), kUpright);
        const QImage preview = decodeRaw(dng, DecodeTarget::fit(QSize(200, 200)));
        EXPECT_EQ(preview.size(), QSize(225, 150)); // the preview at 3/8
        EXPECT_EQ(fixtures::describeQuadrants(preview), kUpright);
        EXPECT_EQ(decodeRaw(dng, DecodeTarget::fit(QSize(601, 601))).size(), QSize(1200, 800));
        const auto info = rawPreviewInfo(dng);
        ASSERT_TRUE(info.has_value());
        EXPECT_EQ(info->size, QSize(600, 400));
    }
}

TEST(RawDecoder, FullSizeMeansTheWholePicture) {
    // The preview is smaller than the picture, so full size needs the sensor data.
    EXPECT_EQ(decodeRaw(landscapeDng()).size(), QSize(1200, 800));
    EXPECT_EQ(decodeRaw(landscapeDng(), DecodeTarget::fullSize()).size(), QSize(1200, 800));
    const QByteArray noPreview = fixtures::makeDng(QSize(160, 120), {}, {}, 1, 0);
    EXPECT_EQ(decodeRaw(noPreview).size(), QSize(160, 120));
    // Without its sensor data only the preview is left.
    const QByteArray dng = landscapeDng();
    EXPECT_EQ(decodeRaw(dng.left(dng.size() - 100)).size(), QSize(300, 200));
}

TEST(RawDecoder, WithoutAPreviewItDecodesTheSensorData) {
    const QByteArray dng = fixtures::makeDng(QSize(160, 120), {}, {}, 6, 0);
    const QImage image = decodeRaw(dng, DecodeTarget::fit(QSize(88, 88)));
    EXPECT_EQ(image.size(), QSize(160, 120));
    EXPECT_EQ(fixtures::describeQuadrants(image), kUpright);
    EXPECT_FALSE(rawPreviewInfo(dng).has_value());
}

TEST(RawDecoder, EveryOrientationComesOutUpright) {
    for (int orientation = 1; orientation <= 8; ++orientation) {
        SCOPED_TRACE(orientation);
        const QByteArray dng = fixtures::makeDng(QSize(240, 160), {}, {}, orientation, 120);
        const QImage preview = decodeRaw(dng, DecodeTarget::fit(QSize(100, 100)));
        EXPECT_EQ(preview.size(), QSize(105, 70)); // 7/8 of the 120 × 80 preview
        EXPECT_EQ(fixtures::describeQuadrants(preview), kUpright);
        const QImage full = decodeRaw(dng, DecodeTarget::fit(QSize(200, 200)));
        EXPECT_EQ(full.size(), QSize(240, 160));
        EXPECT_EQ(fixtures::describeQuadrants(full), kUpright);
        // A non-square target is meant upright too: 120 × 80 covers 120 × 80 in any orientation.
        EXPECT_EQ(decodeRaw(dng, DecodeTarget::fill(QSize(120, 80))).size(), QSize(120, 80));
    }
}

TEST(RawDecoder, PreviewInfoIsUprightAndNeedsNoDecode) {
    const auto info = rawPreviewInfo(fixtures::makeDng(QSize(600, 400), {}, {}, 8, 150));
    ASSERT_TRUE(info.has_value());
    EXPECT_EQ(info->size, QSize(150, 100));
    EXPECT_EQ(info->orientation, 8);
    EXPECT_FALSE(rawPreviewInfo(QByteArray()).has_value());
    EXPECT_FALSE(rawPreviewInfo(QByteArray(4096, 'x')).has_value());
}

TEST(RawDecoder, FilesAndBytesAgree) {
    QTemporaryDir dir;
    ASSERT_TRUE(dir.isValid());
    const QByteArray dng = landscapeDng(6);
    const QString path = dir.filePath(QStringLiteral("IMG_0042.DNG"));
    testsupport::writeFile(path, dng);
    const QImage fromFile = decodeRaw(path, DecodeTarget::fit(QSize(88, 88)));
    const QImage fromBytes = decodeRaw(dng, DecodeTarget::fit(QSize(88, 88)));
    ASSERT_FALSE(fromFile.isNull());
    EXPECT_EQ(fromFile, fromBytes);
    EXPECT_EQ(fromFile.size(), QSize(113, 75));
    EXPECT_EQ(fixtures::describeQuadrants(fromFile), kUpright);
    const auto info = rawPreviewInfo(path);
    ASSERT_TRUE(info.has_value());
    EXPECT_EQ(info->size, QSize(300, 200)); // stored 200 × 300, turned
    EXPECT_EQ(info->orientation, 6);

    const QString empty = dir.filePath(QStringLiteral("empty.dng"));
    testsupport::writeFile(empty, {});
    EXPECT_TRUE(decodeRaw(empty, DecodeTarget::fit(QSize(88, 88))).isNull());
    EXPECT_TRUE(
        decodeRaw(dir.filePath(QStringLiteral("missing.dng")), DecodeTarget::fit(QSize(88, 88)))
            .isNull());
    EXPECT_TRUE(decodeRaw(dir.path(), DecodeTarget::fit(QSize(88, 88))).isNull());
    EXPECT_FALSE(rawPreviewInfo(dir.filePath(QStringLiteral("missing.dng"))).has_value());
}

TEST(RawDecoder, ConcurrentDecodesStayIndependent) {
    struct Job {
        QByteArray dng;
        DecodeTarget target;
        QSize expected;
    };
    std::vector<Job> jobs;
    for (int i = 0; i < 24; ++i) {
        const int orientation = 1 + i % 8;
        const bool full = i % 3 == 0;
        const QSize upright(180 + 4 * i, 120);
        const QByteArray dng = fixtures::makeDng(upright, {}, {}, orientation, 90);
        const QSize expected = full ? upright
                                    : decodeRaw(dng, DecodeTarget::fit(QSize(60, 60)))
                                          .size(); // the single-thread answer
        jobs.push_back({dng, DecodeTarget::fit(full ? QSize(170, 170) : QSize(60, 60)), expected});
    }
    QThreadPool pool;
    pool.setMaxThreadCount(4);
    const QList<QString> results =
        QtConcurrent::blockingMapped<QList<QString>>(&pool, jobs, [](const Job& job) {
            QString outcome;
            for (int round = 0; round < 3; ++round) {
                const QImage image = decodeRaw(job.dng, job.target);
                if (image.size() != job.expected)
                    return QStringLiteral("wrong size");
                outcome = fixtures::describeQuadrants(image);
            }
            return outcome;
        });
    for (const QString& outcome : results)
        EXPECT_EQ(outcome, kUpright);
}

TEST(RawOrientation, UndoesLibRawsFlipCodes) {
    // LibRaw's flip for each EXIF orientation 1..8.
    const int flipOf[] = {0, 1, 3, 2, 4, 6, 7, 5};
    for (int orientation = 1; orientation <= 8; ++orientation)
        EXPECT_EQ(rawdetail::exifOrientationFromLibRawFlip(flipOf[orientation - 1]), orientation);
}
