#include "platform/photos/shared/LocalClock.h"

namespace photos {

namespace {

constexpr qint64 julianDayOfYearOne = 1721426; // 0001-01-01, proleptic Gregorian
constexpr qint64 microsecondsPerDay = 86400LL * 1000000;
constexpr qint64 yearMs = 365LL * 86400000;

} // namespace

LocalClock::LocalClock(QTimeZone zone) : m_zone(std::move(zone)) {}

std::optional<QDateTime> LocalClock::instantOf(qint64 taken) {
    if (taken <= 0)
        return std::nullopt;
    // The wall-clock reading as if it were UTC, in milliseconds since 1970.
    const qint64 wall =
        (taken / microsecondsPerDay + julianDayOfYearOne - QDate(1970, 1, 1).toJulianDay()) *
            86400000LL +
        taken % microsecondsPerDay / 1000;
    return instantOfWallClock(wall);
}

QDateTime LocalClock::instantOfWallClock(qint64 wallMs) {
    const qint64 guess = wallMs - offsetAt(wallMs) * 1000LL;
    return QDateTime::fromMSecsSinceEpoch(wallMs - offsetAt(guess) * 1000LL, Qt::UTC);
}

qint64 LocalClock::takenOf(const QDateTime& instant, std::optional<int> offsetSeconds) const {
    const QDateTime local =
        offsetSeconds ? instant.toOffsetFromUtc(*offsetSeconds) : instant.toTimeZone(m_zone);
    return (local.date().toJulianDay() - julianDayOfYearOne) * microsecondsPerDay +
           qint64(local.time().msecsSinceStartOfDay()) * 1000;
}

std::string LocalClock::sidecarText(qint64 taken) {
    const QDateTime t(QDate::fromJulianDay(julianDayOfYearOne + taken / microsecondsPerDay),
                      QTime::fromMSecsSinceStartOfDay(int(taken % microsecondsPerDay / 1000)),
                      Qt::UTC);
    return t.toString(QStringLiteral("yyyy:MM:dd HH:mm:ss.zzz")).toStdString();
}

int LocalClock::offsetAt(qint64 utcMs) {
    const qint64 year = utcMs >= 0 ? utcMs / yearMs : (utcMs - yearMs + 1) / yearMs;
    auto it = m_years.find(year);
    if (it == m_years.end()) {
        Year y;
        const QDateTime from = QDateTime::fromMSecsSinceEpoch(year * yearMs, Qt::UTC);
        y.before = m_zone.offsetFromUtc(from);
        for (const auto& t : m_zone.transitions(from, from.addDays(366)))
            y.transitions.push_back({t.atUtc.toMSecsSinceEpoch(), t.offsetFromUtc});
        it = m_years.emplace(year, std::move(y)).first;
    }
    int offset = it->second.before;
    for (const auto& [at, after] : it->second.transitions)
        if (utcMs >= at)
            offset = after;
    return offset;
}

} // namespace photos
