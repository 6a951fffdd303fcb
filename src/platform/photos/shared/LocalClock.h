#pragma once

#include <QDateTime>
#include <QTimeZone>
#include <optional>
#include <string>
#include <unordered_map>
#include <vector>

namespace photos {

// A camera's wall-clock time, kept with no zone, taken as the local time of `zone`. The zone's
// offsets over the library's years are looked up once: asking the C library for each of 50,000
// pictures costs more than reading the whole library. Times are counted as darktable keeps
// them: microseconds since 0001-01-01.
class LocalClock {
public:
    explicit LocalClock(QTimeZone zone = QTimeZone::systemTimeZone());

    // The instant of a wall-clock reading given as milliseconds since 1970-01-01 00:00 of that
    // clock. In a gap the clocks jumped over it is the time after the jump; in an hour they
    // went through twice, the second.
    QDateTime instantOfWallClock(qint64 wallMs);
    // The wall-clock reading (milliseconds since 1970-01-01 00:00 of that clock) at an instant.
    qint64 wallClockOf(qint64 utcMs) { return utcMs + offsetAt(utcMs) * 1000LL; }
    // The instant of a darktable time; empty for darktable's "unknown" (0 or less).
    std::optional<QDateTime> instantOf(qint64 taken);
    // darktable's time of an instant: its wall-clock time at `offsetSeconds` when known,
    // else in the zone.
    qint64 takenOf(const QDateTime& instant, std::optional<int> offsetSeconds) const;
    // As darktable writes the time into a sidecar: "2019:10:26 16:07:24.540".
    static std::string sidecarText(qint64 taken);

private:
    int offsetAt(qint64 utcMs); // seconds east of UTC at an instant

    struct Year {
        int before = 0;
        std::vector<std::pair<qint64, int>> transitions; // instant (ms), offset after it
    };
    QTimeZone m_zone;
    std::unordered_map<qint64, Year> m_years;
};

} // namespace photos
