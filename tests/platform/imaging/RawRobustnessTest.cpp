#include "fixtures/DngFixture.h"
#include "platform/imaging/DngWriter.h"
#include "platform/imaging/RawDecoder.h"
#include "platform/imaging/RawPreviewScanner.h"

#include <QRandomGenerator>
#include <gtest/gtest.h>

using namespace imaging;

// Readable sizes in failure messages.
[[maybe_unused]] static void PrintTo(const QSize& size, std::ostream* out) {
    *out << size.width() << "x" << size.height();
}

namespace {

// Whatever a damaged file yields must be nothing or a correct picture: never garbage.
void expectNothingOrTheRightPicture(const QByteArray& bytes, const DecodeTarget& target,
                                    const std::vector<QSize>& allowedSizes, const char* what,
                                    qsizetype where) {
    const QImage image = decodeRaw(bytes, target);
    if (image.isNull())
        return;
    EXPECT_NE(std::find(allowedSizes.begin(), allowedSizes.end(), image.size()), allowedSizes.end())
        << what << " at " << where << ": " << image.width() << "x" << image.height();
    EXPECT_EQ(fixtures::describeQuadrants(image), QStringLiteral("RG/BW"))
        << what << " at " << where;
}

const QSize kSize(96, 64);

QByteArray smallDng() {
    return fixtures::makeDng(kSize, QStringLiteral("2020:02:02 02:02:02"), {}, 6, 48);
}

// Sizes a correct answer may have: what the intact file gives for either target, and the
// preview at full scale (the fallback when the sensor data is lost).
std::vector<QSize> correctSizes(const QByteArray& dng) {
    return {decodeRaw(dng, DecodeTarget::fit(QSize(30, 30))).size(),
            decodeRaw(dng, DecodeTarget::fit(QSize(500, 500))).size(),
            rawPreviewInfo(dng).value_or(RawPreviewInfo{}).size};
}

} // namespace

TEST(RawRobustness, TruncatedFilesGiveNothingOrTheRightPicture) {
    const QByteArray dng = smallDng();
    const std::vector<QSize> anySize = correctSizes(dng);
    ASSERT_EQ(anySize[0], QSize(30, 20)); // preview at 5/8
    ASSERT_EQ(anySize[1], kSize);         // full decode
    ASSERT_EQ(anySize[2], QSize(48, 32)); // preview at full scale
    for (qsizetype length = 0; length < dng.size(); length += length < 600 ? 1 : 7) {
        const QByteArray cut = dng.left(length);
        expectNothingOrTheRightPicture(cut, DecodeTarget::fit(QSize(30, 30)), anySize,
                                       "small target", length);
        expectNothingOrTheRightPicture(cut, DecodeTarget::fit(QSize(500, 500)), anySize,
                                       "large target", length);
    }
    // The sensor data is the file's last block: cut inside it, the preview still serves.
    EXPECT_EQ(decodeRaw(dng.left(dng.size() - 200), DecodeTarget::fit(QSize(500, 500))).size(),
              QSize(48, 32));
    EXPECT_EQ(decodeRaw(dng.left(dng.size() - 200), DecodeTarget::fit(QSize(30, 30))).size(),
              QSize(30, 20));
}

TEST(RawRobustness, TruncatedConverterLayoutGivesNothingOrTheRightPicture) {
    // RGB thumbnail in IFD0, JPEG preview and sensor data in SubIFDs, in that order in the file.
    DngOptions options;
    options.orientation = 8;
    options.thumbnailLongSide = 40;
    options.previewLongSide = 64;
    const QByteArray dng = writeDng(fixtures::makeStoredPattern(kSize, 8), options);
    const std::vector<QSize> anySize = correctSizes(dng);
    ASSERT_EQ(anySize[0], QSize(40, 27)); // the thumbnail
    ASSERT_EQ(anySize[1], kSize);
    ASSERT_EQ(anySize[2], QSize(64, 43));
    for (qsizetype length = 0; length < dng.size(); length += length < 800 ? 1 : 5) {
        const QByteArray cut = dng.left(length);
        expectNothingOrTheRightPicture(cut, DecodeTarget::fit(QSize(30, 30)), anySize,
                                       "small target", length);
        expectNothingOrTheRightPicture(cut, DecodeTarget::fit(QSize(500, 500)), anySize,
                                       "large target", length);
    }
}

TEST(RawRobustness, CorruptBytesNeverCrash) {
    const QByteArray dng = smallDng();
    QRandomGenerator rng(1234);
    int decoded = 0;
    for (int round = 0; round < 300; ++round) {
        QByteArray damaged = dng;
        const int hits = 1 + rng.bounded(8);
        for (int i = 0; i < hits; ++i)
            damaged[rng.bounded(damaged.size())] = static_cast<char>(rng.bounded(256));
        // Damage can leave the picture intact (padding, unused tags) or alter what is decoded
        // (a JPEG's size, the colours of a strip) in ways no reader can notice; it must not
        // crash or leave anything undefined (the sanitizer build checks the latter).
        const QImage image =
            decodeRaw(damaged, DecodeTarget::fit(round % 2 ? QSize(30, 30) : QSize(500, 500)));
        if (!image.isNull()) {
            EXPECT_GT(image.width(), 0);
            ++decoded;
        }
        (void)rawPreviewInfo(damaged);
    }
    EXPECT_GT(decoded, 0); // most single-byte damage is survivable
}

TEST(RawRobustness, DamagedSensorDataFallsBackToThePreview) {
    QByteArray dng = smallDng();
    const std::vector<QSize> sizes = correctSizes(dng);
    // The sensor data is the last block; scramble its middle.
    for (qsizetype i = dng.size() - 2000; i < dng.size() - 1900; ++i)
        dng[i] = static_cast<char>(dng[i] ^ 0x5A);
    EXPECT_EQ(decodeRaw(dng, DecodeTarget::fit(QSize(500, 500))).size(), sizes[2]);
}

TEST(RawRobustness, DamagedHeaderAndStructure) {
    const QByteArray dng = smallDng();
    // No byte order mark: no longer a TIFF file.
    QByteArray noByteOrder = dng;
    noByteOrder[0] = noByteOrder[1] = 'X';
    EXPECT_TRUE(decodeRaw(noByteOrder, DecodeTarget::fit(QSize(30, 30))).isNull());
    // A wrong magic number: LibRaw reads on regardless; what it finds must still be right.
    QByteArray wrongMagic = dng;
    wrongMagic[2] = 'X';
    expectNothingOrTheRightPicture(wrongMagic, DecodeTarget::fit(QSize(500, 500)),
                                   correctSizes(dng), "magic", 2);
    // IFD0 pointing past the end, or at itself.
    QByteArray farIfd = dng;
    farIfd[4] = farIfd[5] = farIfd[6] = farIfd[7] = char(0x7F);
    EXPECT_TRUE(decodeRaw(farIfd, DecodeTarget::fit(QSize(30, 30))).isNull());
    QByteArray loop = dng;
    loop[4] = 4;
    loop[5] = loop[6] = loop[7] = 0;
    expectNothingOrTheRightPicture(loop, DecodeTarget::fit(QSize(30, 30)), correctSizes(dng),
                                   "loop", 4);
    // A huge entry count.
    QByteArray entries = dng;
    entries[8] = entries[9] = char(0xFF);
    expectNothingOrTheRightPicture(entries, DecodeTarget::fit(QSize(30, 30)), correctSizes(dng),
                                   "entries", 8);
}

TEST(RawRobustness, RandomAndDegenerateInput) {
    QRandomGenerator rng(99);
    for (int round = 0; round < 200; ++round) {
        QByteArray bytes(rng.bounded(1, 4096), Qt::Uninitialized);
        for (char& c : bytes)
            c = static_cast<char>(rng.bounded(256));
        // Give some rounds a plausible start so parsers get past their first check.
        if (round % 4 == 1)
            bytes.replace(0, 4, QByteArray("II*\0", 4));
        if (round % 4 == 2)
            bytes.replace(0, 4, QByteArray("MM\0*", 4));
        if (round % 4 == 3 && bytes.size() > 12)
            bytes.replace(0, 12,
                          QByteArray("\0\0\0\x18"
                                     "ftypcrx ",
                                     12));
        EXPECT_TRUE(decodeRaw(bytes, DecodeTarget::fit(QSize(88, 88))).isNull())
            << "round " << round;
    }
    EXPECT_TRUE(decodeRaw(QByteArray(), DecodeTarget::fit(QSize(88, 88))).isNull());
    EXPECT_TRUE(decodeRaw(QByteArray(1, 'I'), DecodeTarget::fit(QSize(88, 88))).isNull());
    EXPECT_TRUE(decodeRaw(QByteArray(1 << 16, '\0'), DecodeTarget::fit(QSize(88, 88))).isNull());
    EXPECT_TRUE(
        decodeRaw(QByteArray("II*\0\x08\0\0\0", 8), DecodeTarget::fit(QSize(88, 88))).isNull());
}

TEST(RawPreviewScanner, SkipsPreviewsThatRunPastTheEnd) {
    const QByteArray dng = smallDng();
    const auto bytes = std::span(reinterpret_cast<const std::uint8_t*>(dng.constData()),
                                 static_cast<std::size_t>(dng.size()));
    const auto whole = rawdetail::scanRawContainer(bytes);
    ASSERT_EQ(whole.previews.size(), 1u);
    EXPECT_EQ(whole.previews[0].size, QSize(32, 48)); // as stored
    EXPECT_EQ(whole.orientation, 6);
    const std::size_t end = whole.previews[0].offset + whole.previews[0].length;
    EXPECT_EQ(rawdetail::scanRawContainer(bytes.first(end)).previews.size(), 1u);
    EXPECT_TRUE(rawdetail::scanRawContainer(bytes.first(end - 1)).previews.empty());
}
