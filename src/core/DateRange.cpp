#include "core/DateRange.h"

#include <QHash>

namespace twinslim {

QString identity(DateRange range) {
    switch (range) {
    case DateRange::last30Days:
        return QStringLiteral("last30Days");
    case DateRange::last90Days:
        return QStringLiteral("last90Days");
    case DateRange::oneYearToMonth:
        return QStringLiteral("oneYearToMonth");
    case DateRange::all:
        break;
    }
    return QStringLiteral("all");
}

QString label(DateRange range) {
    switch (range) {
    case DateRange::last30Days:
        return QStringLiteral("Last 30 days");
    case DateRange::last90Days:
        return QStringLiteral("Last 90 days");
    case DateRange::oneYearToMonth:
        return QStringLiteral("1 year – 30 days");
    case DateRange::all:
        break;
    }
    return QStringLiteral("All");
}

QString description(DateRange range) {
    switch (range) {
    case DateRange::last30Days:
        return QStringLiteral("taken in the last 30 days");
    case DateRange::last90Days:
        return QStringLiteral("taken in the last 90 days");
    case DateRange::oneYearToMonth:
        // The label's dash reads as a span of age, not as a subtraction.
        return QStringLiteral("taken between one year and 30 days ago (the last 30 days left out)");
    case DateRange::all:
        break;
    }
    return QStringLiteral("of every date");
}

std::optional<DateRange> dateRangeFromIdentity(const QString& text) {
    for (DateRange range : allDateRanges)
        if (identity(range) == text)
            return range;
    return std::nullopt;
}

size_t qHash(DateRange range, size_t seed) noexcept {
    return ::qHash(identity(range), seed);
}

namespace {

std::optional<QDateTime> daysBefore(const QDateTime& localNow, int days) {
    const QDateTime bound = localNow.addDays(-days);
    if (!bound.isValid())
        return std::nullopt;
    return bound;
}

} // namespace

DateBounds dateBounds(DateRange range, const QDateTime& now) {
    // Calendar arithmetic happens in local time; a UTC instant would add plain 24-hour days.
    const QDateTime localNow = now.toLocalTime();
    switch (range) {
    case DateRange::last30Days:
        return {daysBefore(localNow, 30), std::nullopt};
    case DateRange::last90Days:
        return {daysBefore(localNow, 90), std::nullopt};
    case DateRange::oneYearToMonth:
        return {daysBefore(localNow, 365), daysBefore(localNow, 30)};
    case DateRange::all:
        break;
    }
    return {};
}

} // namespace twinslim
