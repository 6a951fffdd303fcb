#pragma once

#include <QImage>
#include <QSize>

// Orientation helpers shared by the RAW decoder and the DNG writer.
namespace imaging::rawdetail {

// EXIF orientation (1..8) from LibRaw's `sizes.flip` bit set (1 mirror, 2 flip, 4 transpose).
int exifOrientationFromLibRawFlip(int flip);

// True for the orientations that swap width and height (5..8).
bool orientationTransposes(int exifOrientation);

// The picture as it should be shown: `stored` transformed by `exifOrientation`.
// Values outside 1..8 count as 1.
QImage orientedForDisplay(const QImage& stored, int exifOrientation);

// The inverse: the stored pixels that `orientedForDisplay` turns into `upright`.
QImage storedForOrientation(const QImage& upright, int exifOrientation);

// `size` after the orientation's transposition, if any.
QSize orientedSize(QSize size, int exifOrientation);

} // namespace imaging::rawdetail
