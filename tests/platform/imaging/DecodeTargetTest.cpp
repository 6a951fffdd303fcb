#include "platform/imaging/DecodeTarget.h"

#include <gtest/gtest.h>

using imaging::DecodeTarget;

TEST(DecodeTarget, FillNeedsBothSidesFitNeedsOne) {
    const auto fill = DecodeTarget::fill(QSize(88, 88));
    EXPECT_TRUE(fill.isSatisfiedBy(QSize(132, 88)));
    EXPECT_FALSE(fill.isSatisfiedBy(QSize(132, 87)));
    EXPECT_FALSE(fill.isSatisfiedBy(QSize(87, 500)));
    const auto fit = DecodeTarget::longSide(2400);
    EXPECT_TRUE(fit.isSatisfiedBy(QSize(2400, 1600)));
    EXPECT_TRUE(fit.isSatisfiedBy(QSize(1600, 2400)));
    EXPECT_FALSE(fit.isSatisfiedBy(QSize(2399, 1599)));
    // Full size is never "satisfied" by a reduced candidate: only the full picture will do.
    EXPECT_TRUE(DecodeTarget::fullSize().isFullSize());
    EXPECT_TRUE(DecodeTarget::fill(QSize(0, 88)).isFullSize());
    EXPECT_FALSE(DecodeTarget::fullSize().isSatisfiedBy(QSize(100000, 100000)));
}

TEST(DecodeTarget, ReducedSizeKeepsAspectAndNeverEnlarges) {
    EXPECT_EQ(DecodeTarget::fill(QSize(88, 88)).reducedSize(QSize(6000, 4000)), QSize(132, 88));
    EXPECT_EQ(DecodeTarget::fill(QSize(88, 88)).reducedSize(QSize(4000, 6000)), QSize(88, 132));
    EXPECT_EQ(DecodeTarget::longSide(2400).reducedSize(QSize(6000, 4000)), QSize(2400, 1600));
    EXPECT_EQ(DecodeTarget::longSide(2400).reducedSize(QSize(3000, 4000)), QSize(1800, 2400));
    EXPECT_EQ(DecodeTarget::longSide(2400).reducedSize(QSize(800, 600)), QSize(800, 600));
    EXPECT_EQ(DecodeTarget::fill(QSize(100, 100)).reducedSize(QSize(400, 50)), QSize(400, 50));
    EXPECT_EQ(DecodeTarget::fullSize().reducedSize(QSize(6000, 4000)), QSize(6000, 4000));
    // Extreme aspect: the short side may not round down to nothing.
    EXPECT_EQ(DecodeTarget::longSide(10).reducedSize(QSize(10000, 3)), QSize(10, 1));
    // A fill result always covers the target even when the division is inexact.
    for (int w = 90; w < 400; w += 7)
        for (int h = 90; h < 400; h += 11) {
            const QSize r = DecodeTarget::fill(QSize(88, 89)).reducedSize(QSize(w, h));
            EXPECT_GE(r.width(), 88) << w << "x" << h;
            EXPECT_GE(r.height(), 89) << w << "x" << h;
        }
}
