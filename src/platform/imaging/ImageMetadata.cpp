#include "platform/imaging/ImageMetadata.h"

#include "platform/imaging/Cr3Metadata.h"
#include "platform/imaging/ExifDate.h"
#include "platform/imaging/Exiv2Support.h"
#include "platform/imaging/FileRead.h"
#include "platform/imaging/LibRawTimestamp.h"
#include "platform/imaging/LibheifSupport.h"

#include <cmath>
#include <exiv2/exiv2.hpp>
#include <memory>

namespace imaging {

namespace {

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

// One GPS coordinate: three rationals (degrees, minutes, seconds; some phones write them signed)
// and an ASCII reference letter. Anything else gives none: coordinates written as text or shorts,
// read as numbers, would make up a place, and without its letter the hemisphere is unknown.
std::optional<double> coordinate(const Exiv2::ExifData& exif, const char* key, const char* refKey,
                                 char positiveRef, char negativeRef, double limit) {
    const Exiv2::Exifdatum* datum = find(exif, key);
    const Exiv2::Exifdatum* refDatum = find(exif, refKey);
    if (!datum ||
        (datum->typeId() != Exiv2::unsignedRational && datum->typeId() != Exiv2::signedRational) ||
        datum->count() != 3 || !refDatum || refDatum->typeId() != Exiv2::asciiString)
        return std::nullopt;
    const QString ref = asciiTag(exif, refKey).value_or(QString()).toUpper();
    if (ref != QLatin1Char(positiveRef) && ref != QLatin1Char(negativeRef))
        return std::nullopt;
    double value = 0;
    double unit = 1;
    for (long i = 0; i < 3; ++i) {
        const Exiv2::Rational part = datum->toRational(i);
        if (part.second == 0 || part.first < 0 || part.second < 0)
            return std::nullopt;
        value += static_cast<double>(part.first) / part.second / unit;
        unit *= 60;
    }
    if (!std::isfinite(value) || value > limit)
        return std::nullopt;
    return ref == QLatin1Char(negativeRef) ? -value : value;
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
        coordinate(exif, "Exif.GPSInfo.GPSLatitude", "Exif.GPSInfo.GPSLatitudeRef", 'N', 'S', 90);
    const auto longitude = coordinate(exif, "Exif.GPSInfo.GPSLongitude",
                                      "Exif.GPSInfo.GPSLongitudeRef", 'E', 'W', 180);
    if (latitude && longitude) {
        m.latitude = latitude;
        m.longitude = longitude;
    }
}

// True when Exiv2 could parse the file (whether or not it found any tags).
bool readWithExiv2(const QByteArray& bytes, ImageMetadata& m) {
    try {
        auto image =
            Exiv2::ImageFactory::open(reinterpret_cast<const Exiv2::byte*>(bytes.constData()),
                                      static_cast<long>(bytes.size()));
        if (!image.get())
            return false;
        image->readMetadata();
        fillFromExif(image->exifData(), m);
        const auto& xmp = image->xmpData();
        const auto rating = xmp.findKey(Exiv2::XmpKey("Xmp.xmp.Rating"));
        if (rating != xmp.end()) {
            bool ok = false;
            const int value = QString::fromStdString(rating->toString()).trimmed().toInt(&ok);
            if (ok && value >= -1 && value <= 5)
                m.xmpRating = value;
        }
        const int width = image->pixelWidth(), height = image->pixelHeight();
        if (width > 0 && height > 0)
            m.pixelSize = QSize(width, height);
        return true;
    } catch (...) {
        // Exiv2 throws for unreadable data (and the standard library for absurd sizes in
        // corrupt files): both mean "nothing readable".
        return false;
    }
}

// Decodes a TIFF-structured block and files its tags under `group` ("Image", "Photo", "GPSInfo"):
// a CR3 keeps each IFD in a TIFF of its own, whose tags Exiv2 would otherwise take for IFD0's.
void addRegrouped(Exiv2::ExifData& target, QByteArrayView tiff, const char* group) {
    if (tiff.isEmpty())
        return;
    Exiv2::ExifData decoded;
    Exiv2::ExifParser::decode(decoded, reinterpret_cast<const Exiv2::byte*>(tiff.data()),
                              static_cast<uint32_t>(tiff.size()));
    for (const Exiv2::Exifdatum& datum : decoded)
        if (datum.groupName() == "Image")
            target.add(Exiv2::ExifKey(datum.tag(), group), &datum.value());
}

// Canon CR3 whose container Exiv2 rejects (a cut-off file, for one): its EXIF blocks directly.
void readCr3Blocks(const QByteArray& bytes, ImageMetadata& m) {
    const detail::Cr3Blocks blocks = detail::cr3MetadataBlocks(bytes);
    try {
        Exiv2::ExifData exif;
        addRegrouped(exif, blocks.ifd0, "Image");
        addRegrouped(exif, blocks.exif, "Photo");
        addRegrouped(exif, blocks.gps, "GPSInfo");
        fillFromExif(exif, m);
        const Exiv2::Exifdatum* width = find(exif, "Exif.Photo.PixelXDimension");
        const Exiv2::Exifdatum* height = find(exif, "Exif.Photo.PixelYDimension");
        if (width && height && width->count() > 0 && height->count() > 0 && width->toLong(0) > 0 &&
            height->toLong(0) > 0)
            m.pixelSize =
                QSize(static_cast<int>(width->toLong(0)), static_cast<int>(height->toLong(0)));
    } catch (...) {
    }
}

void readWithLibheif(const QByteArray& bytes, ImageMetadata& m) {
    const detail::HeifPrimary primary = detail::openHeifPrimary(bytes);
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

ImageMetadata read(const QByteArray& bytes) {
    const ImageFormat format = sniffImageFormat(bytes.left(kSniffLength));
    detail::ensureExiv2Ready();
    ImageMetadata m;
    m.format = format;
    switch (format) {
    case ImageFormat::Heif:
        readWithLibheif(bytes, m);
        break;
    case ImageFormat::CameraRaw:
        if (!readWithExiv2(bytes, m))
            readCr3Blocks(bytes, m);
        break;
    case ImageFormat::Jpeg:
    case ImageFormat::Tiff:
    case ImageFormat::Unknown:
        // Unknown content still goes to Exiv2, which knows PNG, WebP and others and throws for
        // anything that is not an image.
        readWithExiv2(bytes, m);
        break;
    }
    // LibRaw reads the capture time of some RAW files neither of the above can.
    if (!m.dateTimeOriginal && (format == ImageFormat::Tiff || format == ImageFormat::CameraRaw))
        m.dateTimeOriginal = detail::libRawCaptureTime(bytes);
    if (m.dateTimeOriginal)
        m.captureDate = parseExifDateTime(*m.dateTimeOriginal, m.offsetSeconds);
    return m;
}

} // namespace

ImageMetadata readImageMetadata(const QString& path) {
    if (path.isEmpty())
        return {};
    // The libraries get the file's bytes, read, never the file: Exiv2 maps files, and touching a
    // mapping of a file on a disk that went away kills the process. Content of no known image
    // format, perhaps a large video, is read only as far as any metadata could be.
    constexpr qint64 kUnknownHeadLength = 64 * 1024 * 1024;
    const bool known = sniffImageFormatOfFile(path) != ImageFormat::Unknown;
    const QByteArray bytes = detail::readFileBytes(path, known ? -1 : kUnknownHeadLength);
    return bytes.isEmpty() ? ImageMetadata{} : read(bytes);
}

ImageMetadata readImageMetadata(const QByteArray& bytes) {
    if (bytes.isEmpty())
        return {};
    return read(bytes);
}

} // namespace imaging
