#include "ImagingTestSupport.h"
#include "fixtures/DngFixture.h"
#include "fixtures/ImageFixtures.h"
#include "platform/imaging/DngWriter.h"
#include "platform/imaging/FileRead.h"
#include "platform/imaging/HeifCodec.h"
#include "platform/imaging/JpegCodec.h"
#include "platform/imaging/RawDecoder.h"

#include <QTemporaryDir>
#include <QtEndian>
#include <functional>
#include <future>
#include <gtest/gtest.h>
#include <sys/resource.h>
#include <sys/wait.h>

// Cut, damaged and foreign data: every reader gives nothing or the right answer, never garbage,
// and stays inside the data (the sanitizer build watches).

using namespace imaging;
using fixtures::describeQuadrants;
using imagingtest::exif;

namespace {

const QString kDate = QStringLiteral("2020:02:02 02:02:02");
const QSize kSize(96, 64);
const QSize kTargets[] = {QSize(30, 30), QSize(50, 50), QSize(500, 500)};

// Sizes a correct answer may have: what the intact file gives for a small, a middle and a large
// target, and the largest preview at full scale (the fallback when the sensor data is lost).
std::vector<QSize> correctSizes(const QByteArray& dng) {
    std::vector<QSize> sizes;
    for (const QSize target : kTargets)
        sizes.push_back(decodeRaw(dng, DecodeTarget::fit(target)).size());
    sizes.push_back(rawPreviewInfo(dng).value_or(RawPreviewInfo{}).size);
    return sizes;
}

void expectNothingOrTheRightPicture(const QByteArray& bytes, const std::vector<QSize>& allowed,
                                    const std::string& what) {
    for (const QSize target : kTargets) {
        const QImage image = decodeRaw(bytes, DecodeTarget::fit(target));
        if (image.isNull())
            continue;
        EXPECT_NE(std::find(allowed.begin(), allowed.end(), image.size()), allowed.end())
            << what << ": " << testing::PrintToString(image.size());
        EXPECT_EQ(describeQuadrants(image), "RG/BW") << what;
    }
}

void expectRightOrAbsent(const ImageMetadata& m, const QString& date, int orientation) {
    EXPECT_EQ(m.dateTimeOriginal.value_or(date), date);
    EXPECT_TRUE(m.orientation == 1 || m.orientation == orientation) << m.orientation;
}

// Every reader on `bytes`, which must stay inside the data and give possible metadata.
void readEverything(const QByteArray& bytes) {
    const ImageMetadata m = readImageMetadata(bytes);
    EXPECT_TRUE(m.orientation >= 1 && m.orientation <= 8);
    EXPECT_LE(std::abs(m.latitude.value_or(0)), 90.0);
    EXPECT_LE(std::abs(m.longitude.value_or(0)), 180.0);
    (void)rawPreviewInfo(bytes);
    const DecodeTarget small = DecodeTarget::fill({16, 12});
    (void)decodeJpeg(bytes, small);
    (void)decodeJpegExifThumbnail(bytes, small);
    (void)decodeHeif(bytes, small);
    (void)decodeRaw(bytes, DecodeTarget::fit({30, 30}));
}

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

// A cut-off JPEG or HEIC is nothing rather than a grey-filled picture; a RAW file gives the
// smallest sufficient preview (the JPEG one at a reduced scale), else the sensor data, or what a
// cut leaves of these.
TEST(Robustness, CutFilesGiveNothingOrTheRightAnswer) {
    const ExifFields fields = exif(6, kDate, "+02:00", 48.8584, 2.2945);
    const QByteArray jpeg = fixtures::makeJpegWithExifThumbnail({480, 320}, {160, 120}, fields);
    // A JPEG's last bytes before its end marker may go unnoticed.
    for (const QByteArray& cut :
         imagingtest::truncations(jpeg.left(jpeg.lastIndexOf("\xFF\xD9") - 8), 61)) {
        SCOPED_TRACE("JPEG cut at " + std::to_string(cut.size()));
        expectRightOrAbsent(readImageMetadata(cut), kDate, 6);
        EXPECT_TRUE(decodeJpeg(cut, DecodeTarget::fill({16, 12})).isNull());
        const QImage thumbnail = decodeJpegExifThumbnail(cut, DecodeTarget::fill({88, 88}));
        EXPECT_TRUE(thumbnail.isNull() || thumbnail.size() == QSize(160, 106));
    }
    const QByteArray heic = fixtures::makeHeic({128, 96}, fields, 0.6, {32, 24});
    EXPECT_TRUE(heifDecodes(heic));
    for (const QByteArray& cut : imagingtest::truncations(heic, 53)) {
        SCOPED_TRACE("HEIC cut at " + std::to_string(cut.size()));
        expectRightOrAbsent(readImageMetadata(cut), kDate, 6);
        EXPECT_TRUE(decodeHeif(cut, DecodeTarget::fill({16, 12})).isNull());
        // Its stored thumbnail may be whole; the picture itself is not.
        EXPECT_FALSE(heifDecodes(cut));
    }

    // The converter layout: RGB thumbnail in IFD0, JPEG preview and sensor data in SubIFDs.
    DngOptions converter;
    converter.orientation = 8;
    converter.thumbnailLongSide = 40;
    converter.previewLongSide = 64;
    const std::pair<QByteArray, std::vector<QSize>> layouts[] = {
        // The preview at 5/8, or the sensor data.
        {fixtures::makeDng(kSize, kDate, {}, 6, 48), {{30, 20}, kSize, kSize, {48, 32}}},
        {writeDng(fixtures::makeStoredPattern(kSize, 8), converter),
         {{40, 27}, {56, 38}, kSize, {64, 43}}}, // the thumbnail, the preview at 7/8
    };
    for (const auto& [dng, sizes] : layouts) {
        ASSERT_EQ(correctSizes(dng), sizes);
        for (const QByteArray& cut : imagingtest::truncations(dng, 29, 600))
            expectNothingOrTheRightPicture(cut, sizes, "cut at " + std::to_string(cut.size()));
    }
}

// Damage anywhere, and more of it in the metadata where parsers follow offsets.
TEST(Robustness, DamagedBytesNeverCrashAnyReader) {
    const ExifFields fields = exif(5, kDate, "+02:00", 48.8584, 2.2945);
    const QByteArray jpeg = fixtures::makeJpegWithExifThumbnail({128, 96}, {64, 48}, fields);
    const QByteArray dng = fixtures::makeDng(kSize, kDate, {}, 6, 48);
    for (const QByteArray& file : {jpeg, fixtures::makeHeic({128, 96}, fields, 0.6, {32, 24}), dng})
        for (const QByteArray& copy : imagingtest::mutations(file, 200))
            readEverything(copy);
    const QByteArray head = jpeg.left(jpeg.indexOf("\xFF\xDB"));
    for (const QByteArray& damaged : imagingtest::mutations(head, 300, 99))
        readEverything(damaged + jpeg.mid(head.size()));
    const std::tuple<const char*, qsizetype, QByteArray> patches[] = {
        {"wrong magic number", 2, "X"}, // LibRaw reads on regardless
        {"IFD0 pointing at itself", 4, QByteArray("\x04\0\0\0", 4)},
        {"huge entry count", 8, "\xFF\xFF"},
    };
    for (const auto& [what, at, patch] : patches)
        expectNothingOrTheRightPicture(QByteArray(dng).replace(at, patch.size(), patch),
                                       correctSizes(dng), what);
}

// A CR3 box whose 64-bit size is 0 sent LibRaw's header parsing round the same box forever, on
// import (capture time) and on every thumbnail.
TEST(Robustness, ABoxThatNeverEndsStopsLibRawInsteadOfHangingIt) {
    const auto be32 = [](quint32 v) {
        v = qToBigEndian(v);
        return QByteArray(reinterpret_cast<const char*>(&v), 4);
    };
    const auto box = [&](const char* type, const QByteArray& payload) {
        return be32(quint32(8 + payload.size())) + QByteArray(type, 4) + payload;
    };
    // Size 1: the real size follows in 64 bits, here 0.
    const QByteArray endless = be32(1) + "free" + QByteArray(8, '\0');
    const QByteArray cr3 =
        box("ftyp", "crx " + be32(1) + "crx isom") +
        box("moov", box("uuid", QByteArray::fromHex("85c0b687820f11e08111f4ce462b6a48") +
                                    box("CNCV", "CanonCR3_001/00.09.00/00.00.00") + endless)) +
        QByteArray(64, '\0');
    auto reading = std::async(std::launch::async, [&] {
        EXPECT_FALSE(readImageMetadata(cr3).captureDate.has_value());
        EXPECT_TRUE(decodeRaw(cr3, DecodeTarget::fit(QSize(88, 88))).isNull());
        EXPECT_FALSE(rawPreviewInfo(cr3).has_value());
    });
    if (reading.wait_for(std::chrono::seconds(60)) == std::future_status::timeout) {
        ADD_FAILURE() << "LibRaw still parsing after a minute";
        std::_Exit(1); // the parse cannot be stopped from outside
    }
}

// A file cut short after it was opened (a disk pulled out, another program) gives nothing or the
// right answer, wherever the cut falls: reading a mapping past the new end would kill the process
// with SIGBUS.
TEST(Robustness, AFileCutWhileReadGivesNothingOrTheRightAnswer) {
    QTemporaryDir dir;
    ASSERT_TRUE(dir.isValid());
    const QString path = dir.filePath(QStringLiteral("cut.dng"));
    const QByteArray dng = fixtures::makeDng(QSize(240, 160), kDate, {}, 6, 120);
    // Each reader's answer as text, "null" for none.
    const std::pair<const char*, std::function<QString()>> readers[] = {
        {"decodeRaw(fd)",
         [&] {
             const int fd = imagingtest::openFile(path);
             const QImage image = decodeRaw(fd, DecodeTarget::fullSize());
             ::close(fd);
             return describeQuadrants(image);
         }},
        {"decodeRaw",
         [&] {
             return describeQuadrants(decodeRaw(path, DecodeTarget::fit({44, 44})));
         }},
        {"readImageMetadata",
         [&] { return readImageMetadata(path).dateTimeOriginal.value_or("null"); }},
    };
    for (const auto& [what, read] : readers) {
        testsupport::writeFile(path, dng);
        const QString intact = read();
        EXPECT_NE(intact, "null") << what;
        int answers = 0;
        for (qsizetype cut = 0; cut < dng.size(); cut += dng.size() / 16) {
            testsupport::writeFile(path, dng);
            detail::setFileOpenedHook(
                [&] { ASSERT_EQ(::truncate(QFile::encodeName(path).constData(), cut), 0); });
            const QString answer = read();
            detail::setFileOpenedHook({});
            EXPECT_TRUE(answer == intact || answer == "null")
                << what << " cut at " << cut << ": " << answer.toStdString();
            if (cut == 0) {
                EXPECT_EQ(answer, "null") << what;
            }
            answers += answer != "null";
        }
        EXPECT_GT(answers, 0) << what;
    }
}

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
    const QByteArray dng =
        dngSource.left(preview) + withDeclaredSize(dngSource.mid(preview), "\xFF\xC0", 3, 2, 65500);

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
