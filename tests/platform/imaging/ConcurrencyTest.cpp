#include "ImagingTestSupport.h"
#include "fixtures/DngFixture.h"
#include "fixtures/ImageFixtures.h"
#include "platform/imaging/HeifCodec.h"
#include "platform/imaging/JpegCodec.h"
#include "platform/imaging/RawDecoder.h"

#include <QTemporaryDir>
#include <atomic>
#include <gtest/gtest.h>
#include <thread>
#include <vector>

using namespace imaging;
using fixtures::describeQuadrants;

namespace {

// Every entry point on files of one orientation, as one line of text.
QString everyResult(int orientation, const QString& path) {
    const ExifFields fields =
        imagingtest::exif(orientation, "2022:08:14 14:12:31", "+03:00", 60.1699, 24.9384);
    const QByteArray jpeg = fixtures::makeJpeg(QSize(128, 96), fields);
    const QByteArray heic = fixtures::makeHeic(QSize(128, 96), fields, 0.6, QSize(32, 24));
    const QByteArray dng = fixtures::makeDng(QSize(96, 64), {}, {}, orientation, 48);
    testsupport::writeFile(path, jpeg);
    const auto image = [](const QImage& i) {
        return QString::fromStdString(testing::PrintToString(i.size())) + describeQuadrants(i);
    };
    const DecodeTarget small = DecodeTarget::fill({16, 12});
    return QStringList{imagingtest::summary(readImageMetadata(jpeg)),
                       imagingtest::summary(readImageMetadata(path)),
                       imagingtest::summary(readImageMetadata(heic)),
                       image(decodeJpeg(jpeg, small)),
                       image(decodeJpeg(jpeg, {})),
                       image(decodeHeif(heic)),
                       image(decodeHeif(heic, small)),
                       image(decodeRaw(dng, DecodeTarget::fit({30, 30}))),
                       image(decodeRaw(dng, DecodeTarget::fit({90, 90}))),
                       QString::number(rawPreviewInfo(dng).value_or(RawPreviewInfo{}).orientation),
                       QString::fromLatin1(encodeJpeg(fixtures::makePattern(QSize(48, 32)), 0.8,
                                                      buildExifBlock(fields))
                                               .toBase64())}
        .join(u'\n');
}

} // namespace

// Everything the imaging library offers, from several threads at once as the image manager's
// pool calls it, each thread with files of its own orientation: every result must be the one
// computed alone, so no reader, writer or decoder may share state between calls.
TEST(ImagingConcurrency, AllEntryPointsFromManyThreads) {
    QTemporaryDir dir;
    ASSERT_TRUE(dir.isValid());
    QStringList alone;
    for (int orientation = 1; orientation <= 8; ++orientation)
        alone.append(everyResult(orientation, dir.filePath("alone")));
    std::atomic<int> failures{0};
    std::vector<std::thread> threads;
    for (int orientation = 1; orientation <= 8; ++orientation) {
        threads.emplace_back([&, orientation] {
            const QString path = dir.filePath(QString::number(orientation));
            for (int round = 0; round < 4; ++round)
                failures += everyResult(orientation, path) != alone[orientation - 1];
        });
    }
    for (std::thread& thread : threads)
        thread.join();
    EXPECT_EQ(failures.load(), 0);
}
