#include "ImagingTestSupport.h"
#include "fixtures/DngFixture.h"
#include "fixtures/ImageFixtures.h"
#include "platform/imaging/HeifCodec.h"
#include "platform/imaging/JpegCodec.h"
#include "platform/imaging/RawDecoder.h"

#include <functional>
#include <gtest/gtest.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

using namespace imaging;

namespace {

// How much the peak resident memory grows while `work` runs, in MB (capped at 255), measured in
// a child process so that earlier tests' peaks do not hide it.
int peakGrowthMB(const std::function<bool()>& work) {
    const pid_t child = fork();
    if (child == 0) {
        rusage before{}, after{};
        getrusage(RUSAGE_SELF, &before);
        const bool nothing = work();
        getrusage(RUSAGE_SELF, &after);
        const long grownMB = (after.ru_maxrss - before.ru_maxrss) / 1024;
        // 255 also stands for "a picture came out".
        _exit(nothing ? int(std::min<long>(grownMB, 254)) : 255);
    }
    int status = 0;
    waitpid(child, &status, 0);
    return WIFEXITED(status) ? WEXITSTATUS(status) : 255;
}

// `data` with both sides, big-endian numbers of `bytesPerSide` bytes `skip` bytes after each
// `marker`, set to `side`.
QByteArray withDeclaredSize(QByteArray data, QByteArrayView marker, qsizetype skip,
                            int bytesPerSide, quint32 side) {
    for (qsizetype at = data.indexOf(marker); at >= 0; at = data.indexOf(marker, at + 1)) {
        qsizetype p = at + marker.size() + skip;
        for (int s = 0; s < 2; ++s)
            for (int b = bytesPerSide - 1; b >= 0; --b)
                data[p++] = char((side >> (8 * b)) & 0xFF);
    }
    return data;
}

} // namespace

// A tiny file that declares a huge picture (65500 × 65500; 30000 × 30000 for the HEIC, within
// libheif's own limit) is refused from its header: no image, and no gigabytes allocated on the way.
TEST(DecodeLimit, HugeDeclaredSizesAreRefusedBeforeDecoding) {
    const QSize size(64, 48);
    // SOF0: length (2), precision (1), then height and width.
    const QByteArray jpeg = withDeclaredSize(fixtures::makeJpeg(size), "\xFF\xC0", 3, 2, 65500);
    // ispe: version and flags (4), then width and height as 32-bit numbers.
    const QByteArray heic = withDeclaredSize(fixtures::makeHeic(size), "ispe", 4, 4, 30000);
    // The DNG's JPEG preview.
    const QByteArray dngSource = fixtures::makeDng(QSize(96, 64), {}, {}, 1, 64);
    const qsizetype preview = dngSource.indexOf("\xFF\xD8\xFF");
    ASSERT_GT(preview, 0);
    QByteArray dng = dngSource;
    dng.replace(preview, dng.size() - preview,
                withDeclaredSize(dngSource.mid(preview), "\xFF\xC0", 3, 2, 65500));
    ASSERT_FALSE(jpeg.isEmpty());
    ASSERT_FALSE(heic.isEmpty());

    const struct {
        const char* what;
        std::function<QImage(const DecodeTarget&)> decode;
    } cases[] = {{"JPEG", [&](const DecodeTarget& t) { return decodeJpeg(jpeg, t); }},
                 {"HEIC", [&](const DecodeTarget& t) { return decodeHeif(heic, t); }},
                 {"DNG preview", [&](const DecodeTarget& t) {
                      const QImage image = decodeRaw(dng, t);
                      // The sensor data may still give the picture; the preview must not.
                      return image.size() == QSize(96, 64) ? QImage() : image;
                  }}};
    for (const auto& c : cases)
        for (const DecodeTarget& target :
             {DecodeTarget::fit(QSize(88, 88)), DecodeTarget::fullSize()})
            EXPECT_LT(peakGrowthMB([&] { return c.decode(target).isNull(); }), 64)
                << c.what << (target.isFullSize() ? " full size" : " thumbnail");
}
