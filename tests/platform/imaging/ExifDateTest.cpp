#include "platform/imaging/ExifDate.h"

#include <QTimeZone>
#include <gtest/gtest.h>

using namespace imaging;

TEST(ExifDate, ParsesOnlyTheExactForms) {
    const QDateTime local(QDate(2023, 7, 14), QTime(10, 22, 33), Qt::LocalTime);
    // Fixed-size EXIF fields often carry NULs or padding.
    for (const QString& text :
         {QStringLiteral("2023:07:14 10:22:33"), QString::fromLatin1("2023:07:14 10:22:33\0\0", 21),
          QStringLiteral(" 2023:07:14 10:22:33 ")}) {
        EXPECT_EQ(parseExifDateTime(text), local);
        EXPECT_EQ(parseExifDateTime(text).value_or(QDateTime()).timeSpec(), Qt::LocalTime);
    }
    for (const char* text : {"", "2023-07-14 10:22:33", "2023:07:14T10:22:33", "2023:07:14 10:22",
                             "2023:7:14 10:22:33", "2023:07:14 10:22:33.5",
                             "    :  :     :  :  ", "0000:00:00 00:00:00", "2023:02:30 10:00:00",
                             "2023:13:01 10:00:00", "2023:07:14 24:00:00", "2023:07:14 10:60:00",
                             "２０２３:07:14 10:22:33", "+023:07:14 10:22:33"})
        EXPECT_FALSE(parseExifDateTime(QString::fromUtf8(text)).has_value()) << text;
    // An offset fixes the instant; one beyond any real zone is ignored rather than producing an
    // invalid date.
    EXPECT_EQ(parseExifDateTime(u"2021:04:11 21:47:53", -5 * 3600).value_or(QDateTime()).toUTC(),
              QDateTime(QDate(2021, 4, 12), QTime(2, 47, 53), Qt::UTC));
    EXPECT_EQ(parseExifDateTime(u"2021:04:11 15:47:53", 20 * 3600).value_or(QDateTime()).timeSpec(),
              Qt::LocalTime);

    const std::pair<const char*, int> valid[] = {
        {"+02:00", 7200}, {"-05:30", -19800}, {"+00:00", 0}, {"-00:00", 0}, {"+14:00", 50400}};
    for (const auto& [text, seconds] : valid)
        EXPECT_EQ(parseExifOffset(QString::fromUtf8(text)), seconds) << text;
    EXPECT_EQ(parseExifOffset(QString::fromLatin1("+08:00\0", 7)), 8 * 3600);
    for (const char* text : {"", "   :  ", "Z", "+2:00", "+02:0", "0200", "+02:60", "+14:01",
                             "+25:00", "02:00", "+02:00:00", "±02:00"})
        EXPECT_FALSE(parseExifOffset(QString::fromUtf8(text)).has_value()) << text;
}

// 02:30 does not exist in Berlin on 31 March 2024; a camera clock still on winter time shows it.
TEST(ExifDate, ATimeTheLocalZoneSkipsIsReadWithTheOffsetBefore) {
    const QByteArray zone = qgetenv("TZ");
    qputenv("TZ", "Europe/Berlin");
    const auto parsed = parseExifDateTime(u"2024:03:31 02:30:00");
    const QDateTime utc = parsed.value_or(QDateTime()).toUTC();
    zone.isNull() ? qunsetenv("TZ") : qputenv("TZ", zone);
    EXPECT_EQ(utc, QDateTime(QDate(2024, 3, 31), QTime(1, 30), Qt::UTC))
        << utc.toString(Qt::ISODate).toStdString();
}

TEST(ExifDate, FormattingRoundTrips) {
    const QDateTime local(QDate(2024, 1, 2), QTime(3, 4, 5), Qt::LocalTime);
    EXPECT_EQ(formatExifDateTime(local), "2024:01:02 03:04:05");
    EXPECT_EQ(parseExifDateTime(formatExifDateTime(local)), local);
    // The wall clock of the date's own zone, not the machine's.
    const QDateTime tokyo(QDate(2024, 1, 2), QTime(23, 0, 0), QTimeZone(9 * 3600));
    EXPECT_EQ(formatExifDateTime(tokyo), "2024:01:02 23:00:00");
    EXPECT_EQ(formatExifOffset(-(3 * 3600 + 30 * 60)), "-03:30");
    for (int seconds : {-12 * 3600, -9 * 3600 - 30 * 60, 0, 5 * 3600 + 45 * 60, 14 * 3600})
        EXPECT_EQ(parseExifOffset(formatExifOffset(seconds)), seconds);
}
