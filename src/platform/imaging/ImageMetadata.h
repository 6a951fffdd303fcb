#pragma once

#include "platform/imaging/ImageFormat.h"

#include <QByteArray>
#include <QDateTime>
#include <QSize>
#include <QString>
#include <optional>

namespace imaging {

// What this system reads from an image file's header and EXIF data. A plain value.
struct ImageMetadata {
    ImageFormat format = ImageFormat::Unknown;
    // DateTimeOriginal as written, without trailing NULs or spaces ("yyyy:MM:dd HH:mm:ss" when
    // well formed). For RAW files whose EXIF Exiv2 cannot read, LibRaw's capture time written
    // back in that form.
    std::optional<QString> dateTimeOriginal;
    // OffsetTimeOriginal in seconds east of UTC; empty when absent or not "+HH:MM".
    std::optional<int> offsetSeconds;
    // The instant of dateTimeOriginal: at offsetSeconds when known, else as local wall-clock time.
    // Empty when there is no date or it is not in the exact EXIF form.
    std::optional<QDateTime> captureDate;
    // Signed decimal degrees; both or neither.
    std::optional<double> latitude;
    std::optional<double> longitude;
    // EXIF Orientation, 1..8; 1 when absent or out of range. For HEIF files this is the tag as
    // written: decodeHeif follows the file's own rotation and mirroring properties instead.
    int orientation = 1;
    // Stored pixel size (before orientation), from the container: JPEG frame header, HEIF
    // primary image extent (ispe), for other formats what Exiv2 reports. 0×0 when unknown.
    QSize pixelSize{0, 0};
    // The star rating in the file's own XMP (-1 rejected to 5), when it has one.
    std::optional<int> xmpRating;
};

// Readers. The format is judged from the content, never the file name. Anything that cannot be
// read (missing file, empty, truncated, corrupt or non-image data) yields empty values; nothing
// is thrown. Only header and metadata are parsed, never pixel data; a file is read into memory,
// never mapped.
//
// Thread-safe: every call uses its own Exiv2, libheif and LibRaw objects, and the libraries'
// process-wide set-up is done once under std::call_once. Call freely from a thread pool.
ImageMetadata readImageMetadata(const QString& path);
ImageMetadata readImageMetadata(const QByteArray& bytes);

} // namespace imaging
