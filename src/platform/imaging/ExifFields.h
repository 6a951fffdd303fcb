#pragma once

#include <QByteArray>
#include <QString>
#include <optional>

namespace imaging {

// The EXIF tags this system writes into the files it creates.
struct ExifFields {
    // DateTimeOriginal, "yyyy:MM:dd HH:mm:ss" wall-clock text (see formatExifDateTime). Written
    // verbatim, so tests can also write malformed dates.
    std::optional<QString> dateTimeOriginal;
    // OffsetTimeOriginal, "+HH:MM" (see formatExifOffset). Written verbatim.
    std::optional<QString> offsetTimeOriginal;
    // Signed decimal degrees (south and west negative); both or neither.
    std::optional<double> latitude;
    std::optional<double> longitude;
    // Orientation tag; 0 leaves it out. Other values are written as given.
    int orientation = 1;
    // PixelXDimension / PixelYDimension; 0 leaves the tag out.
    int pixelWidth = 0;
    int pixelHeight = 0;
    // A small JPEG stored as the EXIF thumbnail (IFD1), as cameras do, in the same orientation as
    // the picture's pixels; empty leaves it out.
    QByteArray thumbnailJpeg;
};

// A little-endian TIFF-structured EXIF block ("II*\0…", without the "Exif\0\0" prefix of a JPEG
// APP1 segment) holding `fields`; encodeJpeg and encodeHeic take it as is. Empty when there is
// nothing to write. Throws ImagingError for a latitude without a longitude (or the reverse),
// coordinates out of range, or when Exiv2 cannot encode the data. Thread-safe.
QByteArray buildExifBlock(const ExifFields& fields);

} // namespace imaging
