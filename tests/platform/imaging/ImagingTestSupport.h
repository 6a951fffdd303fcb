#pragma once

#include "platform/imaging/ExifFields.h"
#include "platform/imaging/ImageMetadata.h"
#include "support/TestSupport.h"

#include <QDir>
#include <QRandomGenerator>
#include <fcntl.h>
#include <ostream>
#include <unistd.h>

// Readable failure messages for sizes (TestSupport.h has the strings).
inline void PrintTo(const QSize& size, std::ostream* os) {
    *os << size.width() << "x" << size.height();
}

namespace imagingtest {

inline QString samplePath(const QString& relative) {
    return QDir(testsupport::samplesDir()).filePath(relative);
}

inline int openFile(const QString& path) {
    return ::open(QFile::encodeName(path).constData(), O_RDONLY | O_CLOEXEC);
}

inline imaging::ExifFields exif(int orientation, std::optional<QString> date = {},
                                std::optional<QString> offset = {},
                                std::optional<double> latitude = {},
                                std::optional<double> longitude = {}) {
    imaging::ExifFields fields;
    fields.orientation = orientation;
    fields.dateTimeOriginal = std::move(date);
    fields.offsetTimeOriginal = std::move(offset);
    fields.latitude = latitude;
    fields.longitude = longitude;
    return fields;
}

// Cuts at a spread of lengths: every length below `dense`, then every `step` bytes, then the
// last few.
inline QList<QByteArray> truncations(const QByteArray& data, int step, int dense = 40) {
    QList<QByteArray> cuts;
    for (qsizetype n = 0; n < data.size(); n += n < dense ? 1 : step)
        cuts.append(data.left(n));
    for (qsizetype n = std::max<qsizetype>(0, data.size() - 4); n < data.size(); ++n)
        cuts.append(data.left(n));
    return cuts;
}

// `count` copies with a few random bytes overwritten each, reproducibly.
inline QList<QByteArray> mutations(const QByteArray& data, int count, quint32 seed = 20240607) {
    QRandomGenerator random(seed);
    QList<QByteArray> copies;
    for (int i = 0; i < count; ++i) {
        QByteArray copy = data;
        const int changes = 1 + int(random.bounded(8));
        for (int c = 0; c < changes && !copy.isEmpty(); ++c)
            copy[qsizetype(random.bounded(quint32(copy.size())))] = char(random.bounded(256));
        copies.append(copy);
    }
    return copies;
}

// Everything readImageMetadata gives, as one line, so a table can state it and a failure shows
// it: "date|offset|instant|lat,lon|orientation|size". A local-time instant reads "local …".
inline QString summary(const imaging::ImageMetadata& m) {
    const QString none = QStringLiteral("-");
    const QString format = QStringLiteral("yyyy-MM-dd'T'HH:mm:ss");
    QString instant = none;
    if (m.captureDate)
        instant = m.captureDate->timeSpec() == Qt::LocalTime
                      ? QStringLiteral("local ") + m.captureDate->toString(format)
                      : m.captureDate->toUTC().toString(format) + QLatin1Char('Z');
    const QString place =
        m.latitude && m.longitude
            ? QStringLiteral("%1,%2").arg(*m.latitude, 0, 'f', 7).arg(*m.longitude, 0, 'f', 7)
            : none;
    return QStringLiteral("%1|%2|%3|%4|o%5|%6")
        .arg(m.dateTimeOriginal.value_or(none),
             m.offsetSeconds ? QString::number(*m.offsetSeconds) : none, instant, place,
             QString::number(m.orientation),
             QString::fromStdString(testing::PrintToString(m.pixelSize)));
}

} // namespace imagingtest
