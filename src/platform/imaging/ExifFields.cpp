#include "platform/imaging/ExifFields.h"

#include "platform/imaging/Exiv2Support.h"
#include "platform/imaging/ImagingError.h"

#include <cmath>
#include <exiv2/exiv2.hpp>

namespace imaging {

namespace {

// Degrees, minutes and seconds as the three rationals of a GPS coordinate; seconds to 1/10000.
Exiv2::URationalValue toDms(double degrees) {
    const double absolute = std::fabs(degrees);
    auto tenThousandths = static_cast<long long>(std::llround(absolute * 3600.0 * 10000.0));
    const auto whole = static_cast<uint32_t>(tenThousandths / (3600LL * 10000));
    tenThousandths -= whole * 3600LL * 10000;
    const auto minutes = static_cast<uint32_t>(tenThousandths / (60LL * 10000));
    tenThousandths -= minutes * 60LL * 10000;
    Exiv2::URationalValue value;
    value.value_.push_back({whole, 1});
    value.value_.push_back({minutes, 1});
    value.value_.push_back({static_cast<uint32_t>(tenThousandths), 10000});
    return value;
}

void setAscii(Exiv2::ExifData& exif, const char* key, const QString& text) {
    exif[key] = std::string(text.toUtf8().constData());
}

} // namespace

QByteArray buildExifBlock(const ExifFields& fields) {
    if (fields.latitude.has_value() != fields.longitude.has_value())
        throw ImagingError("EXIF location needs both latitude and longitude");
    if (fields.latitude &&
        !(std::fabs(*fields.latitude) <= 90.0 && std::fabs(*fields.longitude) <= 180.0))
        throw ImagingError("EXIF location out of range");

    detail::ensureExiv2Ready();
    try {
        Exiv2::ExifData exif;
        if (fields.orientation != 0)
            exif["Exif.Image.Orientation"] = static_cast<uint16_t>(fields.orientation);
        if (fields.dateTimeOriginal)
            setAscii(exif, "Exif.Photo.DateTimeOriginal", *fields.dateTimeOriginal);
        if (fields.offsetTimeOriginal)
            setAscii(exif, "Exif.Photo.OffsetTimeOriginal", *fields.offsetTimeOriginal);
        if (fields.pixelWidth > 0)
            exif["Exif.Photo.PixelXDimension"] = static_cast<uint32_t>(fields.pixelWidth);
        if (fields.pixelHeight > 0)
            exif["Exif.Photo.PixelYDimension"] = static_cast<uint32_t>(fields.pixelHeight);
        if (fields.latitude) {
            Exiv2::DataValue version(Exiv2::unsignedByte);
            version.read("2 3 0 0");
            exif.add(Exiv2::ExifKey("Exif.GPSInfo.GPSVersionID"), &version);
            exif["Exif.GPSInfo.GPSLatitudeRef"] = std::string(*fields.latitude < 0 ? "S" : "N");
            const auto latitude = toDms(*fields.latitude);
            exif.add(Exiv2::ExifKey("Exif.GPSInfo.GPSLatitude"), &latitude);
            exif["Exif.GPSInfo.GPSLongitudeRef"] = std::string(*fields.longitude < 0 ? "W" : "E");
            const auto longitude = toDms(*fields.longitude);
            exif.add(Exiv2::ExifKey("Exif.GPSInfo.GPSLongitude"), &longitude);
        }
        if (!fields.thumbnailJpeg.isEmpty()) {
            Exiv2::ExifThumb thumbnail(exif);
            thumbnail.setJpegThumbnail(
                reinterpret_cast<const Exiv2::byte*>(fields.thumbnailJpeg.constData()),
                static_cast<long>(fields.thumbnailJpeg.size()));
        }
        if (exif.empty())
            return {};
        if (exif.findKey(Exiv2::ExifKey("Exif.Photo.DateTimeOriginal")) != exif.end() ||
            fields.pixelWidth > 0 || fields.pixelHeight > 0 || fields.offsetTimeOriginal) {
            Exiv2::DataValue exifVersion(Exiv2::undefined);
            exifVersion.read("48 50 51 49"); // "0231", the version that has OffsetTimeOriginal
            exif.add(Exiv2::ExifKey("Exif.Photo.ExifVersion"), &exifVersion);
        }
        Exiv2::Blob blob;
        Exiv2::ExifParser::encode(blob, Exiv2::littleEndian, exif);
        if (blob.empty())
            throw ImagingError("Exiv2 produced no EXIF data");
        return QByteArray(reinterpret_cast<const char*>(blob.data()),
                          static_cast<qsizetype>(blob.size()));
    } catch (const Exiv2::AnyError& error) {
        throw ImagingError(std::string("cannot build EXIF block: ") + error.what());
    }
}

} // namespace imaging
