#include "platform/imaging/RawPreviewChoice.h"

#include <gtest/gtest.h>

using namespace imaging;
using rawdetail::previewTrialOrder;
using Order = std::vector<std::size_t>;

namespace {

// A camera's set: a 3:2 preview, a thumbnail letterboxed into 4:3, a full-size JPEG.
const std::vector<QSize> kCamera = {QSize(1616, 1080), QSize(160, 120), QSize(6000, 4000)};
const QSize kFull(6000, 4000);

} // namespace

TEST(RawPreviewChoice, SmallestWithThePicturesAspectFirstLetterboxedLast) {
    EXPECT_EQ(previewTrialOrder(kCamera, kFull, DecodeTarget::fit(QSize(88, 88))),
              (Order{0, 2, 1}));
    EXPECT_EQ(previewTrialOrder(kCamera, kFull, DecodeTarget::fill(QSize(88, 88))),
              (Order{0, 2, 1}));
    // Only what satisfies the target qualifies.
    EXPECT_EQ(previewTrialOrder(kCamera, kFull, DecodeTarget::fit(QSize(2400, 2400))), Order{2});
    EXPECT_EQ(previewTrialOrder(kCamera, kFull, DecodeTarget::fit(QSize(8000, 8000))), Order{});
    // Letterboxed thumbnails still serve when nothing else does.
    EXPECT_EQ(previewTrialOrder({QSize(160, 120)}, kFull, DecodeTarget::fit(QSize(88, 88))),
              Order{0});
}

TEST(RawPreviewChoice, FullSizeNeedsThePictureItsSize) {
    EXPECT_EQ(previewTrialOrder(kCamera, kFull, DecodeTarget::fullSize()), Order{2});
    EXPECT_EQ(previewTrialOrder(kCamera, QSize(6048, 4024), DecodeTarget::fullSize()), Order{});
    // Without the picture's size no preview can be known to be full size.
    EXPECT_EQ(previewTrialOrder(kCamera, std::nullopt, DecodeTarget::fullSize()), Order{});
}

TEST(RawPreviewChoice, WithoutThePictureTheLargestPreviewSetsTheAspect) {
    EXPECT_EQ(previewTrialOrder(kCamera, std::nullopt, DecodeTarget::fit(QSize(88, 88))),
              (Order{0, 2, 1}));
    // A portrait largest preview: the landscape thumbnail does not match it.
    const std::vector<QSize> portrait = {QSize(120, 160), QSize(1080, 1616)};
    EXPECT_EQ(previewTrialOrder(portrait, std::nullopt, DecodeTarget::fill(QSize(88, 88))),
              (Order{1, 0}));
    EXPECT_EQ(previewTrialOrder({}, std::nullopt, DecodeTarget::fit(QSize(88, 88))), Order{});
}

TEST(RawPreviewChoice, SameAspectAllowsRoundingOnly) {
    EXPECT_TRUE(rawdetail::sameAspect(QSize(160, 107), QSize(1200, 800)));
    EXPECT_TRUE(rawdetail::sameAspect(QSize(256, 171), QSize(6000, 4000)));
    EXPECT_FALSE(rawdetail::sameAspect(QSize(160, 120), QSize(6000, 4000)));
    EXPECT_FALSE(rawdetail::sameAspect(QSize(4000, 6000), QSize(6000, 4000)));
    EXPECT_FALSE(rawdetail::sameAspect(QSize(), QSize(6000, 4000)));
}
