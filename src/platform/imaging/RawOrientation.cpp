#include "platform/imaging/RawOrientation.h"

#include <QTransform>

namespace imaging::rawdetail {

int exifOrientationFromLibRawFlip(int flip) {
    // LibRaw maps the TIFF orientation 1..8 to flip values "0 1 3 2 4 6 7 5"; this undoes it.
    switch (flip & 7) {
    case 1:
        return 2;
    case 2:
        return 4;
    case 3:
        return 3;
    case 4:
        return 5;
    case 5:
        return 8;
    case 6:
        return 6;
    case 7:
        return 7;
    default:
        return 1;
    }
}

bool orientationTransposes(int exifOrientation) {
    return exifOrientation >= 5 && exifOrientation <= 8;
}

QSize orientedSize(QSize size, int exifOrientation) {
    return orientationTransposes(exifOrientation) ? size.transposed() : size;
}

namespace {

// Display transform for each orientation, as a mapping of stored pixels to shown pixels.
QImage applyTransform(const QImage& image, int exifOrientation) {
    switch (exifOrientation) {
    case 2:
        return image.mirrored(true, false);
    case 3:
        return image.mirrored(true, true);
    case 4:
        return image.mirrored(false, true);
    case 5: // transpose
        return image.mirrored(true, false).transformed(QTransform().rotate(270));
    case 6:
        return image.transformed(QTransform().rotate(90));
    case 7: // transverse
        return image.mirrored(true, false).transformed(QTransform().rotate(90));
    case 8:
        return image.transformed(QTransform().rotate(270));
    default:
        return image;
    }
}

int inverseOrientation(int exifOrientation) {
    // Mirrors and 180° are their own inverse; the two quarter turns swap.
    if (exifOrientation == 6)
        return 8;
    if (exifOrientation == 8)
        return 6;
    return exifOrientation;
}

} // namespace

QImage orientedForDisplay(const QImage& stored, int exifOrientation) {
    return applyTransform(stored, exifOrientation);
}

QImage storedForOrientation(const QImage& upright, int exifOrientation) {
    return applyTransform(upright, inverseOrientation(exifOrientation));
}

} // namespace imaging::rawdetail
