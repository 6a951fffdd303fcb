#include "fixtures/ImageFixtures.h"
#include "platform/imaging/ExifFields.h"
#include "platform/imaging/HeifCodec.h"
#include "platform/imaging/ImageMetadata.h"
#include "platform/imaging/JpegCodec.h"
#include "support/TestSupport.h"

#include <QTemporaryDir>
#include <atomic>
#include <gtest/gtest.h>
#include <thread>
#include <vector>

using namespace imaging;

// Everything the imaging library offers, from several threads at once, as the image manager's
// pool does; each result must match the one computed alone.
TEST(ImagingConcurrency, AllEntryPointsFromManyThreads) {
    ExifFields fields;
    fields.dateTimeOriginal = QStringLiteral("2022:08:14 14:12:31");
    fields.offsetTimeOriginal = QStringLiteral("+03:00");
    fields.latitude = 60.1699;
    fields.longitude = 24.9384;
    fields.orientation = 6;
    const QByteArray jpeg = fixtures::makeJpeg(QSize(128, 96), fields);
    const QByteArray heic = fixtures::makeHeic(QSize(128, 96), fields, 0.6, QSize(32, 24));
    QTemporaryDir dir;
    ASSERT_TRUE(dir.isValid());
    const QString jpegPath = dir.filePath("a.jpg");
    testsupport::writeFile(jpegPath, jpeg);
    const QByteArray block = buildExifBlock(fields);
    const QByteArray encoded = encodeJpeg(fixtures::makePattern(QSize(48, 32)), 0.8, block);

    std::atomic<int> failures{0};
    const auto expect = [&](bool ok) {
        if (!ok)
            ++failures;
    };
    std::vector<std::thread> threads;
    for (int t = 0; t < 6; ++t) {
        threads.emplace_back([&] {
            for (int round = 0; round < 5; ++round) {
                for (const ImageMetadata& m : {readImageMetadata(jpeg), readImageMetadata(heic),
                                               readImageMetadata(jpegPath)}) {
                    expect(m.dateTimeOriginal == QStringLiteral("2022:08:14 14:12:31"));
                    expect(m.offsetSeconds == 3 * 3600);
                    expect(m.orientation == 6);
                }
                expect(fixtures::describeQuadrants(
                           decodeJpeg(jpeg, DecodeTarget::fill(QSize(16, 12)))) == "RG/BW");
                expect(fixtures::describeQuadrants(decodeHeif(heic)) == "RG/BW");
                expect(fixtures::describeQuadrants(
                           decodeHeif(heic, DecodeTarget::fill(QSize(16, 12)))) == "CM/YK");
                expect(buildExifBlock(fields) == block);
                expect(encodeJpeg(fixtures::makePattern(QSize(48, 32)), 0.8, block) == encoded);
            }
            expect(
                !decodeHeif(encodeHeic(fixtures::makePattern(QSize(64, 64)), 0.5, block)).isNull());
        });
    }
    for (std::thread& thread : threads)
        thread.join();
    EXPECT_EQ(failures.load(), 0);
}
