#include "ImagingTestSupport.h"
#include "fixtures/DngFixture.h"
#include "fixtures/ImageFixtures.h"
#include "platform/imaging/HeifCodec.h"
#include "platform/imaging/JpegCodec.h"
#include "platform/imaging/Orientation.h"
#include "platform/imaging/RawDecoder.h"

#include <QTemporaryDir>
#include <atomic>
#include <gtest/gtest.h>
#include <thread>
#include <vector>

using namespace imaging;
using fixtures::describeQuadrants;

// Everything the imaging library offers, from several threads at once as the image manager's
// pool calls it, each thread with files of its own orientation: every result must be the one
// computed alone, so no reader, writer or decoder may share state between calls.
TEST(ImagingConcurrency, AllEntryPointsFromManyThreads) {
    QTemporaryDir dir;
    ASSERT_TRUE(dir.isValid());
    const auto fieldsFor = [](int orientation) {
        return imagingtest::exif(orientation, "2022:08:14 14:12:31", "+03:00", 60.1699, 24.9384);
    };
    const QImage pattern = fixtures::makePattern(QSize(48, 32));
    std::vector<QByteArray> encodedAlone;
    for (int orientation = 1; orientation <= 8; ++orientation)
        encodedAlone.push_back(encodeJpeg(pattern, 0.8, buildExifBlock(fieldsFor(orientation))));

    const DecodeTarget small = DecodeTarget::fill({16, 12});
    std::atomic<int> failures{0};
    const auto expect = [&](bool ok) { failures += ok ? 0 : 1; };
    std::vector<std::thread> threads;
    for (int orientation = 1; orientation <= 8; ++orientation) {
        threads.emplace_back([&, orientation] {
            const ExifFields fields = fieldsFor(orientation);
            const QByteArray jpeg = fixtures::makeJpeg(QSize(128, 96), fields);
            const QByteArray heic = fixtures::makeHeic(QSize(128, 96), fields, 0.6, QSize(32, 24));
            const QByteArray dng = fixtures::makeDng(QSize(96, 64), {}, {}, orientation, 48);
            const QString path = dir.filePath(QString::number(orientation));
            testsupport::writeFile(path, jpeg);
            // The size as stored for JPEG; libheif 1.15 writes the upright extent for a turned
            // HEIC.
            const QString metadata = QStringLiteral(
                "2022:08:14 14:12:31|10800|2022-08-14T11:12:31Z|60.1699000,24.9384000|o%1|%2");
            const auto size = [](QSize s) {
                return QString::fromStdString(testing::PrintToString(s));
            };
            const QString jpegMetadata =
                metadata.arg(orientation).arg(size(orientedSize({128, 96}, orientation)));
            for (int round = 0; round < 4; ++round) {
                for (const ImageMetadata& m : {readImageMetadata(jpeg), readImageMetadata(path)})
                    expect(imagingtest::summary(m) == jpegMetadata);
                expect(imagingtest::summary(readImageMetadata(heic)) ==
                       metadata.arg(orientation).arg(size({128, 96})));
                expect(describeQuadrants(decodeJpeg(jpeg, small)) == "RG/BW");
                const QImage jpegFull = decodeJpeg(jpeg, {});
                expect(jpegFull.size() == QSize(128, 96) && describeQuadrants(jpegFull) == "RG/BW");
                expect(describeQuadrants(decodeHeif(heic)) == "RG/BW");
                expect(describeQuadrants(decodeHeif(heic, small)) == "CM/YK");
                const QImage preview = decodeRaw(dng, DecodeTarget::fit({30, 30}));
                expect(preview.size() == QSize(30, 20) && describeQuadrants(preview) == "RG/BW");
                const QImage full = decodeRaw(dng, DecodeTarget::fit({90, 90}));
                expect(full.size() == QSize(96, 64) && describeQuadrants(full) == "RG/BW");
                expect(rawPreviewInfo(dng).value_or(RawPreviewInfo{}).orientation == orientation);
                expect(encodeJpeg(pattern, 0.8, buildExifBlock(fields)) ==
                       encodedAlone[orientation - 1]);
            }
        });
    }
    for (std::thread& thread : threads)
        thread.join();
    EXPECT_EQ(failures.load(), 0);
}
