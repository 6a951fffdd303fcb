#pragma once

#include <QDateTime>
#include <QString>
#include <array>
#include <optional>

namespace twinslim {

// The window of creation dates a scan covers.
enum class DateRange { last30Days, last90Days, oneYearToMonth, all };

// Every case, in the order the scan window offers them.
inline constexpr std::array<DateRange, 4> allDateRanges = {
    DateRange::last30Days, DateRange::last90Days, DateRange::oneYearToMonth, DateRange::all};

QString identity(DateRange range);
QString label(DateRange range);
// What the label means, as the end of "Pairs …" or "Searched the photos …": "taken in the last
// 30 days", "of every date".
QString description(DateRange range);
std::optional<DateRange> dateRangeFromIdentity(const QString& identity);
size_t qHash(DateRange range, size_t seed = 0) noexcept;

// Inclusive creation-date bounds of one scan; an absent bound sets no condition.
struct DateBounds {
    std::optional<QDateTime> newerThan;
    std::optional<QDateTime> olderThan;
};

// Bounds for `range` at the instant `now`, counted in calendar days of the local time
// zone, so a daylight-saving change inside the window keeps the wall-clock time.
DateBounds dateBounds(DateRange range, const QDateTime& now);

} // namespace twinslim
