#include "platform/imaging/ExifDate.h"

#include <QTimeZone>
#include <gtest/gtest.h>

using namespace imaging;

TEST(ExifDate, ExactFormIsLocalWallClock) {
    const auto date = parseExifDateTime(u"2023:07:14 10:22:33");
    ASSERT_TRUE(date.has_value());
    EXPECT_EQ(date->timeSpec(), Qt::LocalTime);
    EXPECT_EQ(date->date(), QDate(2023, 7, 14));
    EXPECT_EQ(date->time(), QTime(10, 22, 33));
    // Fixed-size EXIF fields often carry NULs or padding.
    EXPECT_EQ(parseExifDateTime(QString::fromLatin1("2023:07:14 10:22:33\0\0", 21)), date);
    EXPECT_EQ(parseExifDateTime(u" 2023:07:14 10:22:33 "), date);
}

TEST(ExifDate, OffsetFixesTheInstant) {
    const auto date = parseExifDateTime(u"2019:10:20 18:34:30", 2 * 3600);
    ASSERT_TRUE(date.has_value());
    EXPECT_EQ(date->toUTC(), QDateTime(QDate(2019, 10, 20), QTime(16, 34, 30), Qt::UTC));
    const auto west = parseExifDateTime(u"2021:04:11 15:47:53", -5 * 3600);
    ASSERT_TRUE(west.has_value());
    EXPECT_EQ(west->toUTC(), QDateTime(QDate(2021, 4, 11), QTime(20, 47, 53), Qt::UTC));
    // An offset beyond any real zone is ignored rather than producing an invalid date.
    const auto absurd = parseExifDateTime(u"2021:04:11 15:47:53", 20 * 3600);
    ASSERT_TRUE(absurd.has_value());
    EXPECT_EQ(absurd->timeSpec(), Qt::LocalTime);
}

TEST(ExifDate, AnythingButTheExactFormIsNoDate) {
    for (const char* text : {"", "2023-07-14 10:22:33", "2023:07:14T10:22:33", "2023:07:14 10:22",
                             "2023:7:14 10:22:33", "2023:07:14 10:22:33.5",
                             "    :  :     :  :  ", "0000:00:00 00:00:00", "2023:02:30 10:00:00",
                             "2023:13:01 10:00:00", "2023:07:14 24:00:00", "2023:07:14 10:60:00",
                             "２０２３:07:14 10:22:33", "+023:07:14 10:22:33"})
        EXPECT_FALSE(parseExifDateTime(QString::fromUtf8(text)).has_value()) << text;
}

TEST(ExifDate, Offsets) {
    EXPECT_EQ(parseExifOffset(u"+02:00"), 7200);
    EXPECT_EQ(parseExifOffset(u"-05:30"), -(5 * 3600 + 30 * 60));
    EXPECT_EQ(parseExifOffset(u"+00:00"), 0);
    EXPECT_EQ(parseExifOffset(u"-00:00"), 0);
    EXPECT_EQ(parseExifOffset(u"+14:00"), 14 * 3600);
    EXPECT_EQ(parseExifOffset(QString::fromLatin1("+08:00\0", 7)), 8 * 3600);
    for (const char* text : {"", "   :  ", "Z", "+2:00", "+02:0", "0200", "+02:60", "+14:01",
                             "+25:00", "02:00", "+02:00:00", "±02:00"})
        EXPECT_FALSE(parseExifOffset(QString::fromUtf8(text)).has_value()) << text;
}

TEST(ExifDate, FormattingRoundTrips) {
    const QDateTime local(QDate(2024, 1, 2), QTime(3, 4, 5), Qt::LocalTime);
    EXPECT_EQ(formatExifDateTime(local), "2024:01:02 03:04:05");
    EXPECT_EQ(parseExifDateTime(formatExifDateTime(local)), local);
    // The wall clock of the date's own zone, not the machine's.
    const QDateTime tokyo(QDate(2024, 1, 2), QTime(23, 0, 0), QTimeZone(9 * 3600));
    EXPECT_EQ(formatExifDateTime(tokyo), "2024:01:02 23:00:00");
    EXPECT_EQ(formatExifOffset(9 * 3600), "+09:00");
    EXPECT_EQ(formatExifOffset(-(3 * 3600 + 30 * 60)), "-03:30");
    EXPECT_EQ(formatExifOffset(0), "+00:00");
    for (int seconds : {-12 * 3600, -9 * 3600 - 30 * 60, 0, 5 * 3600 + 45 * 60, 14 * 3600})
        EXPECT_EQ(parseExifOffset(formatExifOffset(seconds)), seconds);
}
