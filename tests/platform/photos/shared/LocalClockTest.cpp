#include "platform/photos/shared/LocalClock.h"

#include <gtest/gtest.h>

using namespace photos;

namespace {

// darktable's time of a wall-clock reading: microseconds since 0001-01-01.
qint64 taken(QDate date, QTime time) {
    return (date.toJulianDay() - QDate(1, 1, 1).toJulianDay()) * 86400LL * 1000000 +
           qint64(time.msecsSinceStartOfDay()) * 1000;
}

QDateTime utc(QDate date, QTime time) {
    return QDateTime(date, time, Qt::UTC);
}

// darktable's wall-clock times are local times: in summer and in winter, on both sides of a
// change of the clocks, before 1970, and back again.
TEST(LocalClock, TakesDarktableTimesAsLocalTimeOfTheZone) {
    LocalClock paris(QTimeZone("Europe/Paris"));
    const struct {
        QDate date;
        QTime wall, utcTime;
    } cases[] = {
        {{2024, 7, 1}, {12, 0, 0, 250}, {10, 0, 0, 250}},
        {{2024, 1, 15}, {12, 0}, {11, 0}},
        {{2024, 3, 31}, {1, 59}, {0, 59}}, // the last minute before the clocks go forward
        {{2024, 3, 31}, {3, 0}, {1, 0}},
        {{2024, 10, 27}, {4, 0}, {3, 0}}, // after they went back
        {{1965, 6, 1}, {8, 0}, {7, 0}},   // no summer time in France then
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.date.toString(Qt::ISODate).toStdString() + " " +
                     c.wall.toString().toStdString());
        const auto instant = paris.instantOf(taken(c.date, c.wall));
        ASSERT_TRUE(instant);
        EXPECT_EQ(*instant, utc(c.date, c.utcTime));
        EXPECT_EQ(paris.takenOf(*instant, std::nullopt), taken(c.date, c.wall));
    }
    EXPECT_FALSE(paris.instantOf(0));
    // A time the clocks jumped over is the time after the jump; one they went through twice,
    // the second.
    const auto wall = [](QDate date, QTime time) {
        return (date.toJulianDay() - QDate(1970, 1, 1).toJulianDay()) * 86400000LL +
               time.msecsSinceStartOfDay();
    };
    EXPECT_EQ(paris.instantOfWallClock(wall({2024, 3, 31}, {2, 30})), utc({2024, 3, 31}, {1, 30}));
    EXPECT_EQ(paris.instantOfWallClock(wall({2024, 10, 27}, {2, 30})),
              utc({2024, 10, 27}, {1, 30}));
    EXPECT_EQ(paris.instantOfWallClock(wall({1965, 6, 1}, {8, 0})), utc({1965, 6, 1}, {7, 0}));
    // A known offset wins over the zone.
    EXPECT_EQ(paris.takenOf(utc({2024, 7, 1}, {10, 0}), -4 * 3600), taken({2024, 7, 1}, {6, 0}));
    EXPECT_EQ(LocalClock::sidecarText(taken({2019, 10, 26}, {16, 7, 24, 540})),
              "2019:10:26 16:07:24.540");
}

} // namespace
