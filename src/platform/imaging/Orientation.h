#pragma once

#include <QImage>
#include <QSize>

namespace imaging {

// EXIF orientation values 1..8: how the stored pixels must be transformed to be shown upright
// (1 as stored, 2 mirrored left-right, 3 turned 180°, 4 mirrored top-bottom, 5 transposed,
// 6 turned 90° clockwise, 7 transversed, 8 turned 90° counter-clockwise). All functions here are
// pure and thread-safe.

bool isValidOrientation(int orientation);

// True for 5..8, whose upright picture has width and height exchanged.
bool orientationSwapsSides(int orientation);

// `stored` as it is meant to be seen. Values outside 1..8 count as 1.
QImage applyOrientation(const QImage& stored, int orientation);

// `size` of the stored pixels → size of the upright picture.
QSize orientedSize(QSize size, int orientation);

} // namespace imaging
