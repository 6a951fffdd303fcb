#include "platform/imaging/DecodeTarget.h"
#include "ImagingTestSupport.h"

#include <gtest/gtest.h>

using imaging::DecodeTarget;

TEST(DecodeTarget, SatisfiedByAndReducedSize) {
    // Whether a candidate satisfies the target; the reduced size keeps the aspect, never enlarges.
    const std::tuple<DecodeTarget, QSize, bool, QSize> cases[] = {
        {DecodeTarget::fill({88, 88}), {6000, 4000}, true, {132, 88}},
        {DecodeTarget::fill({88, 88}), {4000, 6000}, true, {88, 132}},
        {DecodeTarget::fill({88, 88}), {132, 87}, false, {132, 87}},      // fill needs both sides
        {DecodeTarget::longSide(2400), {3000, 4000}, true, {1800, 2400}}, // fit needs one side
        {DecodeTarget::longSide(2400), {2399, 1599}, false, {2399, 1599}},
        // The short side of an extreme aspect may not round down to nothing.
        {DecodeTarget::longSide(10), {10000, 3}, true, {10, 1}},
        // Full size is never satisfied by a reduced candidate: only the full picture will do.
        {DecodeTarget::fullSize(), {100000, 100000}, false, {100000, 100000}},
        {DecodeTarget::fill({0, 88}), {6000, 4000}, false, {6000, 4000}},
    };
    for (const auto& [target, image, satisfied, reduced] : cases) {
        SCOPED_TRACE(testing::PrintToString(target.size) + " for " + testing::PrintToString(image));
        EXPECT_EQ(target.isSatisfiedBy(image), satisfied);
        EXPECT_EQ(target.reducedSize(image), reduced);
    }
    // A fill result always covers the target even when the division is inexact.
    for (int w = 90; w < 400; w += 7)
        for (int h = 90; h < 400; h += 11) {
            const QSize r = DecodeTarget::fill(QSize(88, 89)).reducedSize(QSize(w, h));
            EXPECT_TRUE(r.width() >= 88 && r.height() >= 89) << w << "x" << h;
        }
}
