// Everything import reads from a file: format, EXIF through Exiv2, libheif and LibRaw, CR3 blocks.
#include "platform/imaging/ImageMetadata.h"

#include <cmath>
#include <cstdlib>

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const QByteArray bytes(reinterpret_cast<const char*>(data), qsizetype(size));
    const imaging::ImageMetadata m = imaging::readImageMetadata(bytes);
    // Values a caller relies on stay in their ranges.
    if (m.orientation < 1 || m.orientation > 8 ||
        m.latitude.has_value() != m.longitude.has_value() ||
        std::fabs(m.latitude.value_or(0)) > 90 || std::fabs(m.longitude.value_or(0)) > 180)
        std::abort();
    return 0;
}
