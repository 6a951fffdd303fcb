#include "platform/imaging/ImageMetadata.h"

#include "platform/imaging/ExifDate.h"
#include "platform/imaging/Exiv2Support.h"
#include "platform/imaging/LibheifSupport.h"

#include <QFile>
#include <cmath>
#include <exiv2/exiv2.hpp>
#include <libraw/libraw.h>
#include <memory>

namespace imaging {

namespace {

// Where the data comes from: a file (read by the libraries themselves, so large RAW files are
// not loaded whole) or bytes in memory.
struct Source {
    QString path;
    const QByteArray* bytes = nullptr;

    QByteArray encodedPath() const { return QFile::encodeName(path); }
};

const Exiv2::Exifdatum* find(const Exiv2::ExifData& exif, const char* key) {
    const auto it = exif.findKey(Exiv2::ExifKey(key));
    return it == exif.end() ? nullptr : &*it;
}

std::optional<QString> asciiTag(const Exiv2::ExifData& exif, const char* key) {
    const Exiv2::Exifdatum* datum = find(exif, key);
    if (!datum || datum->count() == 0)
        return std::nullopt;
    QString text = QString::fromUtf8(datum->toString());
    while (!text.isEmpty() && (text.back() == QChar(0) || text.back().isSpace()))
        text.chop(1);
    return text;
}

// One GPS coordinate: up to three rationals (degrees, minutes, seconds) and its reference letter.
std::optional<double> coordinate(const Exiv2::ExifData& exif, const char* key, const char* refKey,
                                 char negativeRef, double limit) {
    const Exiv2::Exifdatum* datum = find(exif, key);
    if (!datum || datum->count() == 0)
        return std::nullopt;
    double value = 0;
    double unit = 1;
    for (long i = 0; i < std::min<long>(datum->count(), 3); ++i) {
        const Exiv2::Rational part = datum->toRational(i);
        if (part.second == 0 || part.first < 0 || part.second < 0)
            return std::nullopt;
        value += static_cast<double>(part.first) / part.second / unit;
        unit *= 60;
    }
    if (!std::isfinite(value) || value > limit)
        return std::nullopt;
    const std::optional<QString> ref = asciiTag(exif, refKey);
    if (ref && ref->startsWith(QLatin1Char(negativeRef), Qt::CaseInsensitive))
        value = -value;
    return value;
}

void fillFromExif(const Exiv2::ExifData& exif, ImageMetadata& m) {
    m.dateTimeOriginal = asciiTag(exif, "Exif.Photo.DateTimeOriginal");
    if (const auto offset = asciiTag(exif, "Exif.Photo.OffsetTimeOriginal"))
        m.offsetSeconds = parseExifOffset(*offset);

    if (const Exiv2::Exifdatum* datum = find(exif, "Exif.Image.Orientation");
        datum && datum->count() > 0) {
        const long value = datum->toLong(0);
        m.orientation = (value >= 1 && value <= 8) ? static_cast<int>(value) : 1;
    }

    const auto latitude =
        coordinate(exif, "Exif.GPSInfo.GPSLatitude", "Exif.GPSInfo.GPSLatitudeRef", 'S', 90);
    const auto longitude =
        coordinate(exif, "Exif.GPSInfo.GPSLongitude", "Exif.GPSInfo.GPSLongitudeRef", 'W', 180);
    if (latitude && longitude) {
        m.latitude = latitude;
        m.longitude = longitude;
    }
}

void readWithExiv2(const Source& source, ImageMetadata& m) {
    try {
        auto image = source.bytes
                         ? Exiv2::ImageFactory::open(
                               reinterpret_cast<const Exiv2::byte*>(source.bytes->constData()),
                               static_cast<long>(source.bytes->size()))
                         : Exiv2::ImageFactory::open(source.encodedPath().toStdString(), false);
        if (!image.get())
            return;
        image->readMetadata();
        fillFromExif(image->exifData(), m);
        const int width = image->pixelWidth(), height = image->pixelHeight();
        if (width > 0 && height > 0)
            m.pixelSize = QSize(width, height);
    } catch (...) {
        // Exiv2 throws for unreadable data (and the standard library for absurd sizes in
        // corrupt files): both mean "nothing readable".
    }
}

void readWithLibheif(const Source& source, ImageMetadata& m) {
    const detail::HeifPrimary primary = source.bytes
                                            ? detail::openHeifPrimary(*source.bytes)
                                            : detail::openHeifPrimaryFile(source.encodedPath());
    if (!primary)
        return;
    const int width = heif_image_handle_get_ispe_width(primary.handle.get());
    const int height = heif_image_handle_get_ispe_height(primary.handle.get());
    if (width > 0 && height > 0)
        m.pixelSize = QSize(width, height);

    // Exiv2 misreads the EXIF of some HEIF files when it parses the container itself, so only the
    // EXIF block libheif extracts is handed to it.
    const QByteArray tiff = detail::heifExifBlock(primary.handle.get());
    if (tiff.isEmpty())
        return;
    try {
        Exiv2::ExifData exif;
        const auto order =
            Exiv2::ExifParser::decode(exif, reinterpret_cast<const Exiv2::byte*>(tiff.constData()),
                                      static_cast<uint32_t>(tiff.size()));
        if (order != Exiv2::invalidByteOrder)
            fillFromExif(exif, m);
    } catch (...) {
    }
}

// LibRaw reads the capture time of some RAW files Exiv2 cannot parse (truncated CR3, for one).
// Only its metadata pass runs here; pixel data is never unpacked. LibRaw may give up after it has
// read the time (data missing further on), so a time it did read is used either way.
std::optional<QString> libRawCaptureTime(const Source& source) {
    try {
        auto processor = std::make_unique<LibRaw>(LIBRAW_OPIONS_NO_DATAERR_CALLBACK);
        if (source.bytes)
            processor->open_buffer(const_cast<char*>(source.bytes->constData()),
                                   static_cast<size_t>(source.bytes->size()));
        else
            processor->open_file(source.encodedPath().constData());
        const time_t timestamp = processor->imgdata.other.timestamp;
        if (timestamp <= 0)
            return std::nullopt;
        // LibRaw turned the camera's wall-clock text into time_t with mktime, in this process's
        // time zone; converting back in the same zone gives that text again.
        return formatExifDateTime(QDateTime::fromSecsSinceEpoch(timestamp, Qt::LocalTime));
    } catch (...) {
        return std::nullopt;
    }
}

ImageMetadata read(const Source& source, ImageFormat format) {
    detail::ensureExiv2Ready();
    ImageMetadata m;
    m.format = format;
    switch (format) {
    case ImageFormat::Heif:
        readWithLibheif(source, m);
        break;
    case ImageFormat::Jpeg:
    case ImageFormat::Tiff:
    case ImageFormat::CameraRaw:
    case ImageFormat::Unknown:
        // Unknown content still goes to Exiv2, which knows PNG, WebP and others and throws for
        // anything that is not an image.
        readWithExiv2(source, m);
        break;
    }
    if (!m.dateTimeOriginal && (format == ImageFormat::Tiff || format == ImageFormat::CameraRaw))
        m.dateTimeOriginal = libRawCaptureTime(source);
    if (m.dateTimeOriginal)
        m.captureDate = parseExifDateTime(*m.dateTimeOriginal, m.offsetSeconds);
    return m;
}

} // namespace

ImageMetadata readImageMetadata(const QString& path) {
    const ImageFormat format = sniffImageFormatOfFile(path);
    if (format == ImageFormat::Unknown && !QFile::exists(path))
        return {};
    return read(Source{path, nullptr}, format);
}

ImageMetadata readImageMetadata(const QByteArray& bytes) {
    if (bytes.isEmpty())
        return {};
    return read(Source{{}, &bytes}, sniffImageFormat(bytes.left(kSniffLength)));
}

} // namespace imaging
