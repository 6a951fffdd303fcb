// The EXIF reading the decoders do on every picture: the APP1 segment of a JPEG, the TIFF
// structure in it, the orientation and the thumbnail IFD1 points at.
#include "platform/imaging/ExifBlockReader.h"

#include <cstddef>
#include <cstdint>

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const QByteArrayView bytes(reinterpret_cast<const char*>(data), qsizetype(size));
    using namespace imaging::detail;
    for (const QByteArrayView tiff : {tiffStart(jpegExifPayload(bytes)), tiffStart(bytes)}) {
        (void)tiffOrientation(tiff);
        (void)tiffJpegThumbnail(tiff);
    }
    return 0;
}
