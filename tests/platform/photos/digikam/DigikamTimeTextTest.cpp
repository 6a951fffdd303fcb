// digiKam's capture times: wall-clock text read by hand in the forms digiKam writes, by Qt in
// any other, and never a wrong time for text that is none.
#include "platform/photos/digikam/DigikamSnapshot.h"

#include <gtest/gtest.h>

using namespace photos;
using namespace photos::digikam;

namespace {

qint64 wall(QDate date, QTime time) {
    return (date.toJulianDay() - QDate(1970, 1, 1).toJulianDay()) * 86400000LL +
           time.msecsSinceStartOfDay();
}

TEST(DigikamTimeText, ReadsDigikamsWallClockTextAndNothingElse) {
    // Every field in its own place, with and without milliseconds, before 1970, on a leap day.
    EXPECT_EQ(wallClockOfFixedText("2019-10-26T16:07:24.540"),
              wall({2019, 10, 26}, {16, 7, 24, 540}));
    EXPECT_EQ(wallClockOfFixedText("2019-10-26T16:07:24"), wall({2019, 10, 26}, {16, 7, 24}));
    EXPECT_EQ(wallClockOfFixedText("1965-06-01T08:00:00.001"), wall({1965, 6, 1}, {8, 0, 0, 1}));
    EXPECT_EQ(wallClockOfFixedText("2024-02-29T23:59:59.999"),
              wall({2024, 2, 29}, {23, 59, 59, 999}));
    // Other forms are Qt's to read; the hand reader leaves them alone.
    EXPECT_FALSE(wallClockOfFixedText("2019-10-26T16:07"));
    EXPECT_EQ(wallClockOfText("2019-10-26T16:07"), wall({2019, 10, 26}, {16, 7}));
    EXPECT_EQ(wallClockOfText("2019-10-26T16:07:24.540"), wall({2019, 10, 26}, {16, 7, 24, 540}));
    // Nothing that is no time gives one.
    for (const char* text :
         {"", "2019-02-29T10:00:00", "2019-13-01T10:00:00", "2019-00-10T10:00:00",
          "2019-10-32T10:00:00", "2019-10-26T24:01:00", "2019-10-26T16:60:00",
          "2019-10-26T16:07:60", "2019-10-26T16:07:24.5x0", "0000-01-01T00:00:00",
          "2O19-10-26T16:07:24", "2019-1O-26T16:07:24", "2019-10-26X16:07:24", "yesterday"}) {
        EXPECT_FALSE(wallClockOfFixedText(text)) << text;
        EXPECT_FALSE(wallClockOfText(text)) << text;
    }
    // Other separators and fractions are not digiKam's: Qt reads them as it always did.
    for (const char* text :
         {"2019/10/26T16:07:24", "2019-10-26T16:07:24,540", "2019-10-26T16:07:24.54"})
        EXPECT_FALSE(wallClockOfFixedText(text)) << text;
}

} // namespace
