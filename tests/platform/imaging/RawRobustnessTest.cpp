#include "ImagingTestSupport.h"
#include "fixtures/DngFixture.h"
#include "platform/imaging/DngWriter.h"
#include "platform/imaging/ImageMetadata.h"
#include "platform/imaging/RawDecoder.h"
#include "platform/imaging/RawPreviewScanner.h"

#include <QtEndian>
#include <future>
#include <gtest/gtest.h>

using namespace imaging;

namespace {

const QSize kSize(96, 64);

QByteArray smallDng() {
    return fixtures::makeDng(kSize, QStringLiteral("2020:02:02 02:02:02"), {}, 6, 48);
}

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

// Whatever a damaged file yields must be nothing or a correct picture: never garbage.
void expectNothingOrTheRightPicture(const QByteArray& bytes, const std::vector<QSize>& allowed,
                                    const std::string& what) {
    for (const QSize target : kTargets) {
        const QImage image = decodeRaw(bytes, DecodeTarget::fit(target));
        if (image.isNull())
            continue;
        EXPECT_NE(std::find(allowed.begin(), allowed.end(), image.size()), allowed.end())
            << what << ": " << testing::PrintToString(image.size());
        EXPECT_EQ(fixtures::describeQuadrants(image), "RG/BW") << what;
    }
}

} // namespace

// Both layouts, intact and cut anywhere: the smallest sufficient preview, the JPEG one at a
// reduced scale, else the sensor data.
TEST(RawRobustness, TruncatedFilesGiveNothingOrTheRightPicture) {
    // The converter layout: RGB thumbnail in IFD0, JPEG preview and sensor data in SubIFDs.
    DngOptions converter;
    converter.orientation = 8;
    converter.thumbnailLongSide = 40;
    converter.previewLongSide = 64;
    const std::pair<QByteArray, std::vector<QSize>> layouts[] = {
        {smallDng(), {{30, 20}, kSize, kSize, {48, 32}}}, // the preview at 5/8, or sensor data
        {writeDng(fixtures::makeStoredPattern(kSize, 8), converter),
         {{40, 27}, {56, 38}, kSize, {64, 43}}}, // the thumbnail, the preview at 7/8
    };
    for (const auto& [dng, sizes] : layouts) {
        ASSERT_EQ(correctSizes(dng), sizes);
        expectNothingOrTheRightPicture(dng, sizes, "intact");
        for (const QByteArray& cut : imagingtest::truncations(dng, 13, 600))
            expectNothingOrTheRightPicture(cut, sizes, "cut at " + std::to_string(cut.size()));
    }
}

TEST(RawRobustness, DamagedOrRandomBytesNeverCrash) {
    const QByteArray dng = smallDng();
    const std::vector<QSize> sizes = correctSizes(dng);
    int decoded = 0, round = 0;
    for (const QByteArray& damaged : imagingtest::mutations(dng, 300, 1234)) {
        // Damage may alter what is decoded (a JPEG's size, a strip's colours) in ways no reader
        // can notice, but must not crash or leave anything undefined (see the sanitizer build).
        const QSize target = ++round % 2 ? QSize(30, 30) : QSize(500, 500);
        decoded += !decodeRaw(damaged, DecodeTarget::fit(target)).isNull();
        (void)rawPreviewInfo(damaged);
    }
    EXPECT_GT(decoded, 0); // most damage is survivable
    // Scrambled sensor data (the last block): LibRaw carries on over it, the preview is better.
    QByteArray scrambled = dng;
    for (qsizetype i = dng.size() - 2000; i < dng.size() - 1900; ++i)
        scrambled[i] = char(scrambled[i] ^ 0x5A);
    EXPECT_EQ(decodeRaw(scrambled, DecodeTarget::fit(QSize(500, 500))).size(), QSize(48, 32));
    const std::tuple<const char*, qsizetype, QByteArray> patches[] = {
        {"wrong magic number", 2, "X"}, // LibRaw reads on regardless
        {"IFD0 pointing at itself", 4, QByteArray("\x04\0\0\0", 4)},
        {"huge entry count", 8, "\xFF\xFF"},
    };
    for (const auto& [what, at, patch] : patches)
        expectNothingOrTheRightPicture(QByteArray(dng).replace(at, patch.size(), patch), sizes,
                                       what);
    for (const qsizetype at : {0, 4}) // no TIFF header, no IFD0: nothing at all
        EXPECT_TRUE(decodeRaw(QByteArray(dng).replace(at, 4, "\x7F\x7F\x7F\x7F"),
                              DecodeTarget::fit(QSize(30, 30)))
                        .isNull());
    // Random bytes, some with a plausible start (TIFF, a CR3 ftyp box) to pass the first check.
    const QByteArray starts[] = {QByteArray(), QByteArray("II*\0", 4), QByteArray("MM\0*", 4),
                                 QByteArray::fromHex("000000186674797063727820")};
    for (int i = 0; i < 200; ++i) {
        QByteArray bytes = imagingtest::randomBytes(1 + i * 20, quint32(i));
        const QByteArray start = starts[i % 4].left(bytes.size());
        bytes.replace(0, start.size(), start);
        EXPECT_TRUE(decodeRaw(bytes, DecodeTarget::fit(QSize(88, 88))).isNull()) << i;
    }
    EXPECT_TRUE(decodeRaw(QByteArray(1 << 16, '\0'), DecodeTarget::fit(QSize(88, 88))).isNull());
}

// A CR3 box whose 64-bit size is 0 sent LibRaw's header parsing round the same box forever, on
// import (capture time) and on every thumbnail.
TEST(RawRobustness, ABoxThatNeverEndsStopsLibRawInsteadOfHangingIt) {
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
        const ImageMetadata m = readImageMetadata(cr3);
        EXPECT_FALSE(m.captureDate.has_value());
        EXPECT_TRUE(decodeRaw(cr3, DecodeTarget::fit(QSize(88, 88))).isNull());
        EXPECT_FALSE(rawPreviewInfo(cr3).has_value());
    });
    if (reading.wait_for(std::chrono::seconds(60)) == std::future_status::timeout) {
        ADD_FAILURE() << "LibRaw still parsing after a minute";
        std::_Exit(1); // the parse cannot be stopped from outside
    }
}

TEST(RawPreviewScanner, SkipsPreviewsThatRunPastTheEnd) {
    const QByteArray dng = smallDng();
    const std::span bytes(reinterpret_cast<const std::uint8_t*>(dng.constData()),
                          static_cast<std::size_t>(dng.size()));
    const auto whole = rawdetail::scanRawContainer(bytes);
    ASSERT_EQ(whole.previews.size(), 1u);
    EXPECT_EQ(whole.previews[0].size, QSize(32, 48)); // as stored
    const std::size_t end = whole.previews[0].offset + whole.previews[0].length;
    EXPECT_EQ(rawdetail::scanRawContainer(bytes.first(end)).previews.size(), 1u);
    EXPECT_TRUE(rawdetail::scanRawContainer(bytes.first(end - 1)).previews.empty());
}
