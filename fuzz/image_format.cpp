// Format sniffing, which decides which parser gets a file.
#include "platform/imaging/ImageFormat.h"

#include <cstdlib>

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const QByteArray bytes(reinterpret_cast<const char*>(data), qsizetype(size));
    // Only the first kSniffLength bytes count.
    if (imaging::sniffImageFormat(bytes) !=
        imaging::sniffImageFormat(bytes.left(imaging::kSniffLength)))
        std::abort();
    return 0;
}
