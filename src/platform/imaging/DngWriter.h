#pragma once

#include <QByteArray>
#include <QImage>
#include <QString>
#include <optional>

namespace imaging {

struct DngGps {
    double latitude = 0;            // degrees, north positive, -90..90
    double longitude = 0;           // degrees, east positive, -180..180
    std::optional<double> altitude; // metres above sea level
};

struct DngOptions {
    // Long side of the embedded JPEG preview in IFD0; 0 writes no preview (the sensor data then
    // sits in IFD0). Larger than the image means the image's own size.
    int previewLongSide = 1024;
    int previewQuality = 85;
    // Long side of an uncompressed RGB thumbnail in IFD0, as DNG converters write one; the preview
    // and the sensor data then both sit in SubIFDs. 0 writes none.
    int thumbnailLongSide = 0;
    // EXIF DateTimeOriginal ("yyyy:MM:dd HH:mm:ss") and OffsetTimeOriginal ("+02:00"), written as
    // given; empty leaves the tag out.
    QString dateTimeOriginal;
    QString offsetTimeOriginal;
    int orientation = 1; // EXIF orientation 1..8 of the stored pixels
    QString make = QStringLiteral("Twinslim");
    QString model = QStringLiteral("Linear DNG");
    std::optional<DngGps> gps;
};

// A small DNG 1.4 file: `stored` (pixels as the sensor recorded them; `orientation` says how to
// show them) as linear RGB sensor data, 8-bit samples with a linearization table, lossless-JPEG
// compressed; an optional baseline JPEG preview and RGB thumbnail of the same pixels; EXIF dates,
// orientation, make, model and GPS. LibRaw (like dcraw) refuses pictures with a side below 22
// pixels. Throws std::invalid_argument for a null image, a side above 65535, an orientation
// outside 1..8, a negative preview size or coordinates out of range.
QByteArray writeDng(const QImage& stored, const DngOptions& options = {});

} // namespace imaging
