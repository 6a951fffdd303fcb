// The walk through a RAW file's container (TIFF IFDs, CR3 boxes) for its embedded previews.
#include "platform/imaging/RawPreviewScanner.h"

#include <cstdlib>

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const auto container = imaging::rawdetail::scanRawContainer({data, size});
    // Every preview it lists must lie inside the data.
    for (const auto& preview : container.previews)
        if (preview.offset > size || preview.length > size - preview.offset)
            std::abort();
    return 0;
}
