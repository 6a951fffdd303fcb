#pragma once

#include <QtGlobal>

namespace imaging {

// The largest picture the decoders accept, judged from the file's header before anything is
// allocated: well beyond the largest camera sensors (about 150 megapixels), yet far below what a
// tiny hostile file can declare (65500 × 65500 pixels would take 17 GB to decode).
inline constexpr qint64 kMaxDecodedPixels = 200'000'000;
inline constexpr qint64 kMaxDecodedSide = 65535;

inline bool isDecodableSize(qint64 width, qint64 height) {
    return width > 0 && height > 0 && width <= kMaxDecodedSide && height <= kMaxDecodedSide &&
           width * height <= kMaxDecodedPixels;
}

} // namespace imaging
