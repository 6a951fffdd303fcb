#pragma once

#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QProcess>
#include <QStandardPaths>
#include <QStringList>

// exiftool as an independent reader of the files under test.
namespace exiftool {

inline bool available() {
    return !QStandardPaths::findExecutable(QStringLiteral("exiftool")).isEmpty();
}

// Numeric values (-n) of the tags this system reads, one object per file, in order; empty when
// exiftool fails.
inline QList<QJsonObject> read(const QStringList& paths) {
    QProcess process;
    QStringList arguments = {"-j",
                             "-n",
                             "-DateTimeOriginal",
                             "-OffsetTimeOriginal",
                             "-GPSLatitude",
                             "-GPSLongitude",
                             "-Orientation",
                             "-ExifImageWidth",
                             "-ExifImageHeight"};
    arguments += paths;
    process.start(QStringLiteral("exiftool"), arguments);
    if (!process.waitForFinished(60000))
        return {};
    QList<QJsonObject> objects;
    for (const QJsonValue& value : QJsonDocument::fromJson(process.readAllStandardOutput()).array())
        objects.append(value.toObject());
    return objects;
}

} // namespace exiftool
