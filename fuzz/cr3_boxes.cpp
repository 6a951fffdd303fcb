// The CR3 box walk that finds the TIFF-structured metadata blocks.
#include "platform/imaging/Cr3Metadata.h"

#include <cstdlib>

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const QByteArrayView file(reinterpret_cast<const char*>(data), qsizetype(size));
    const auto blocks = imaging::detail::cr3MetadataBlocks(file);
    // The blocks are views into the file.
    for (const QByteArrayView block : {blocks.ifd0, blocks.exif, blocks.gps})
        if (!block.isEmpty() &&
            (block.data() < file.data() || block.data() + block.size() > file.data() + file.size()))
            std::abort();
    return 0;
}
