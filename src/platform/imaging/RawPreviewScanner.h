#pragma once

#include <QSize>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <span>
#include <vector>

// Finds the JPEG previews of a RAW file by walking its container, without LibRaw. This covers
// files LibRaw refuses (newer compressions, files cut short after their previews) and gives the
// sizes of all previews, where LibRaw offers one.
namespace imaging::rawdetail {

struct EmbeddedPreview {
    enum class Kind {
        Jpeg, // a baseline JPEG
        Rgb8, // uncompressed 8-bit RGB rows, no padding (TIFF thumbnails)
    };
    Kind kind = Kind::Jpeg;
    std::size_t offset = 0;
    std::size_t length = 0;
    QSize size; // as stored, before orientation
};

struct RawContainer {
    std::vector<EmbeddedPreview> previews; // complete and plausible by header, largest first
    int orientation = 0;                   // EXIF orientation of the main image; 0 when unknown
};

// Makes `length` bytes at `offset` of the data readable; false when they cannot be read.
using EnsureBytes = std::function<bool(std::size_t offset, std::size_t length)>;

// TIFF-based files (DNG, ARW, NEF, CR2, ORF, RW2, PEF, …) and Canon CR3. A preview whose bytes
// run past the end of `data` is left out. With `ensure`, `data` is a file read on demand: only
// the bytes ensure() answered true for are looked at, which are the headers and the head of each
// JPEG preview, not the previews' pixels. Never throws.
RawContainer scanRawContainer(std::span<const std::uint8_t> data, const EnsureBytes& ensure = {});

} // namespace imaging::rawdetail
