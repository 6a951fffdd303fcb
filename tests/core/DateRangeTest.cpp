#include "core/DateRange.h"
#include "core/IsolatedEnvironment.h"

#include <gtest/gtest.h>

using namespace twinslim;

TWINSLIM_ISOLATE_ENVIRONMENT();

TEST(DateRange, BoundsKeepTheWallClockTimeAcrossDaylightSavingChanges) {
    // The test program runs in Berlin's time zone (IsolatedEnvironment).
    const auto local = [](int month, int day) {
        return QDateTime(QDate(2024, month, day), QTime(12, 0), Qt::LocalTime);
    };
    // Summer time began on 31 March 2024: 30 calendar days are one hour short of 720
    // hours. It ended on 27 October: there the window is one hour longer.
    for (auto [now, bound, shift] : {std::tuple{local(4, 10), local(3, 11), -3600},
                                     std::tuple{local(11, 10), local(10, 11), 3600}}) {
        const auto bounds = dateBounds(DateRange::last30Days, now);
        EXPECT_EQ(bounds.newerThan, bound);
        EXPECT_EQ(bounds.newerThan->secsTo(now), 30 * 86400 + shift);
        EXPECT_EQ(bounds.olderThan, std::nullopt);
        // The same instant given in UTC gives the same bounds: days are counted locally.
        EXPECT_EQ(dateBounds(DateRange::last30Days, now.toUTC()).newerThan, bound);
    }
    const auto year = dateBounds(DateRange::oneYearToMonth, local(6, 15));
    EXPECT_EQ(year.newerThan, QDateTime(QDate(2023, 6, 16), QTime(12, 0), Qt::LocalTime));
    EXPECT_EQ(year.olderThan, local(5, 16));
    EXPECT_EQ(dateBounds(DateRange::last90Days, local(6, 15)).newerThan, local(3, 17));
    EXPECT_FALSE(dateBounds(DateRange::all, local(6, 15)).newerThan);
}
