#include "platform/imaging/ExifDate.h"

#include <QTimeZone>
#include <cstdlib>

namespace imaging {

namespace {

// Removes what writers put around the text: trailing NULs of a fixed-size field, spaces.
QStringView trimmed(QStringView text) {
    while (!text.isEmpty() && (text.back() == QChar(0) || text.back().isSpace()))
        text.chop(1);
    while (!text.isEmpty() && text.front().isSpace())
        text = text.sliced(1);
    return text;
}

// Value of the `count` ASCII digits at `at`, or -1.
int digits(QStringView text, int at, int count) {
    int value = 0;
    for (int i = at; i < at + count; ++i) {
        const QChar c = text[i];
        if (c < u'0' || c > u'9')
            return -1;
        value = value * 10 + (c.unicode() - u'0');
    }
    return value;
}

constexpr int kMaxOffsetSeconds = 14 * 3600;

} // namespace

std::optional<QDateTime> parseExifDateTime(QStringView text, std::optional<int> offsetSeconds) {
    text = trimmed(text);
    // yyyy:MM:dd HH:mm:ss
    if (text.size() != 19 || text[4] != u':' || text[7] != u':' || text[10] != u' ' ||
        text[13] != u':' || text[16] != u':')
        return std::nullopt;
    const int year = digits(text, 0, 4), month = digits(text, 5, 2), day = digits(text, 8, 2);
    const int hour = digits(text, 11, 2), minute = digits(text, 14, 2),
              second = digits(text, 17, 2);
    const QDate date(year, month, day);
    const QTime time(hour, minute, second);
    if (year < 0 || month < 0 || day < 0 || hour < 0 || minute < 0 || second < 0 ||
        !date.isValid() || !time.isValid())
        return std::nullopt;
    if (offsetSeconds && std::abs(*offsetSeconds) > kMaxOffsetSeconds)
        offsetSeconds.reset();
    if (offsetSeconds)
        return QDateTime(date, time, QTimeZone(*offsetSeconds));
    QDateTime result(date, time, Qt::LocalTime);
    if (!result.isValid()) {
        // A wall-clock time the local zone skips (clocks put forward that night): a camera
        // whose clock was not yet put forward took it, so it is read with the offset before.
        const int before = QDateTime(date.addDays(-1), time, Qt::LocalTime).offsetFromUtc();
        result = QDateTime(date, time, QTimeZone(before)).toLocalTime();
    }
    if (!result.isValid())
        return std::nullopt;
    return result;
}

std::optional<int> parseExifOffset(QStringView text) {
    text = trimmed(text);
    if (text.size() != 6 || (text[0] != u'+' && text[0] != u'-') || text[3] != u':')
        return std::nullopt;
    const int hours = digits(text, 1, 2), minutes = digits(text, 4, 2);
    if (hours < 0 || minutes < 0 || minutes >= 60)
        return std::nullopt;
    const int seconds = hours * 3600 + minutes * 60;
    if (seconds > kMaxOffsetSeconds)
        return std::nullopt;
    return text[0] == u'-' ? -seconds : seconds;
}

QString formatExifDateTime(const QDateTime& dateTime) {
    // Numeric fields only, so the C locale of QDateTime::toString is right on every machine.
    return dateTime.toString(QStringLiteral("yyyy:MM:dd HH:mm:ss"));
}

QString formatExifOffset(int offsetSeconds) {
    const int minutes = std::abs(offsetSeconds) / 60;
    return QStringLiteral("%1%2:%3")
        .arg(QChar(offsetSeconds < 0 ? u'-' : u'+'))
        .arg(minutes / 60, 2, 10, QChar(u'0'))
        .arg(minutes % 60, 2, 10, QChar(u'0'));
}

} // namespace imaging
