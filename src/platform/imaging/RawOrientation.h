#pragma once

namespace imaging::rawdetail {

// EXIF orientation (1..8) from LibRaw's `sizes.flip` bit set (1 mirror, 2 flip, 4 transpose).
int exifOrientationFromLibRawFlip(int flip);

} // namespace imaging::rawdetail
