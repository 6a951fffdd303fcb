#pragma once

#include <QDateTime>
#include <QString>
#include <QStringView>
#include <optional>

namespace imaging {

// EXIF date-time text, "yyyy:MM:dd HH:mm:ss", and offset text, "+HH:MM". All functions here are
// pure and thread-safe.

// The instant of an EXIF date-time text in exactly that form (surrounding NULs and spaces aside):
// at `offsetSeconds` east of UTC when given, else as local wall-clock time in the machine's
// current time zone. Empty for any other text or an impossible date.
std::optional<QDateTime> parseExifDateTime(QStringView text,
                                           std::optional<int> offsetSeconds = std::nullopt);

// Seconds east of UTC of "+HH:MM" / "-HH:MM" (at most 14 hours); empty for anything else,
// including the blank "   :  " some cameras write.
std::optional<int> parseExifOffset(QStringView text);

// The wall-clock time of `dateTime` in its own time zone, as EXIF date-time text.
QString formatExifDateTime(const QDateTime& dateTime);

// "+HH:MM" / "-HH:MM" for an offset in seconds east of UTC (rounded down to minutes).
QString formatExifOffset(int offsetSeconds);

} // namespace imaging
